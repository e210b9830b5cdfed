#pragma once
// Starts real programs (the daemon, curl, openssl) for end-to-end tests.

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"

namespace vs::test {

class ChildProcess {
public:
    // Output goes to files in `logDir` (stdout.txt, stderr.txt, prefixed by
    // `name`). Extra environment variables are added to the test's own.
    ChildProcess(std::string name, std::vector<std::string> argv,
                 const std::filesystem::path& logDir,
                 const std::map<std::string, std::string>& env = {});
    ~ChildProcess();  // kills the process if it still runs

    void Signal(int signal) const;
    pid_t Pid() const { return pid_; }
    // Exit status, or nullopt when it did not end in time. A death by signal
    // gives 128 + the signal number.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until `text` appears in the standard error output.
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds limit) const;

private:
    std::string name_;
    std::filesystem::path out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to its end and returns its exit status (-1 on time-out).
int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logDir,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// A port nothing listens on right now.
int FreePort();

// Sets an environment variable of this process for one test and puts it
// back after, so that the other tests see the environment they started
// with. Local time follows TZ only from the next tzset, hence the call.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            saved_ = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(saved_ ? saved_->c_str() : nullptr); }
    void Set(const char* value) {
        value ? ::setenv(name_, value, 1) : ::unsetenv(name_);
        ::tzset();
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace vs::test
