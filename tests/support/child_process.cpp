#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "net/socket.h"
#include "support/wait.h"

namespace vs::test {

ChildProcess::ChildProcess(std::string name, std::vector<std::string> argv,
                           const std::filesystem::path& logDir,
                           const std::map<std::string, std::string>& env)
    : name_(std::move(name)),
      out_(logDir / (name_ + ".stdout.txt")),
      err_(logDir / (name_ + ".stderr.txt")) {
    // Emptied before the child runs: a process of the same name before it
    // must not be read as this one (its "listening" taken for this one's).
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (auto& [key, value] : env) {
            ::setenv(key.c_str(), value.c_str(), 1);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (auto& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
}

ChildProcess::~ChildProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
}

void ChildProcess::Signal(int signal) const {
    ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    WaitUntil(
        [this] {
            int status = 0;
            if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return status_.has_value();
        },
        limit);
    return status_;
}

std::string ChildProcess::Stdout() const {
    return ReadBytes(out_);
}
std::string ChildProcess::Stderr() const {
    return ReadBytes(err_);
}

bool ChildProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds limit) const {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; }, limit);
}

int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logDir,
               std::chrono::milliseconds limit) {
    ChildProcess child("run", argv, logDir);
    auto status = child.Wait(limit);
    return status ? *status : -1;
}

int FreePort() {
    // Below the range the system hands out to outgoing connections: a port
    // from there may be some client's by the time the test's server binds
    // it.
    std::random_device seed;
    std::mt19937 pick(seed());
    std::uniform_int_distribution<int> ports(10000, 32767);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = ports(pick);
        try {
            net::ListenTcp(std::string(net::kAnyAddress), static_cast<std::uint16_t>(port), 1);
            return port;
        } catch (const net::SocketError&) {
            // Taken; try another.
        }
    }
    net::Socket s = net::ListenTcp("127.0.0.1", 0, 1);
    return net::LocalPort(s);
}

}  // namespace vs::test
