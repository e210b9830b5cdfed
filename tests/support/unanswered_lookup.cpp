// Loaded into a program under test with LD_PRELOAD: a name lookup of any
// name under "unanswered.test" never returns, as when the name servers are
// down and the resolver goes on waiting. The file the environment variable
// VELLOSTORE_TEST_LOOKUP_MARK names is made once such a lookup waits, so a
// test knows when to act. Other lookups go to the system as usual.

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool Unanswered(const char* node) {
    constexpr char kDomain[] = "unanswered.test";
    const std::size_t length = node != nullptr ? std::strlen(node) : 0;
    return length >= sizeof kDomain - 1 &&
           std::strcmp(node + length - (sizeof kDomain - 1), kDomain) == 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    if (Unanswered(node) && (hints == nullptr || (hints->ai_flags & AI_NUMERICHOST) == 0)) {
        if (const char* mark = std::getenv("VELLOSTORE_TEST_LOOKUP_MARK")) {
            const int fd = ::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::close(fd);
            }
        }
        for (;;) {
            ::pause();
        }
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(node, service, hints, result);
}
