// The application thread's background jobs when the account may start no
// more threads (a service at its thread limit): the post that found no
// thread fails, and the next one, once a thread can start, runs.

#include "shell/background_jobs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

namespace vs {
namespace {

// In a child, as nobody where the test runs as root (whom the thread limit
// does not bind); its exit code says what went wrong.
TEST(BackgroundJobs, APostThatFoundNoThreadLeavesTheNextOneToRun) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(10);
        }
        rlimit limit{};
        ::getrlimit(RLIMIT_NPROC, &limit);
        const rlim_t usual = limit.rlim_cur;
        limit.rlim_cur = 0;
        ::setrlimit(RLIMIT_NPROC, &limit);
        BackgroundJobs jobs;
        std::atomic<int> ran = 0;
        bool refused = false;
        try {
            jobs.Post([&] { ++ran; });
        } catch (const std::system_error&) {
            refused = true;
        }
        limit.rlim_cur = usual;
        ::setrlimit(RLIMIT_NPROC, &limit);
        jobs.Post([&] { ++ran; });
        jobs.Wait();
        ::_exit(!refused ? 11 : ran != 1 ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // 11: a thread started beyond the limit (nothing tested); 12: the job
    // after the refusal never ran, or the refused one ran too.
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vs
