#include "gui/show_requests.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace vs::gui {

namespace {

// The folder's name as both starts spell it, hashed: a path may be longer
// than a socket's name, and a hash stays the same from build to build.
sockaddr_un AddressOf(const std::filesystem::path& dataDir) {
    std::error_code ignored;
    const std::string folder = std::filesystem::weakly_canonical(dataDir, ignored).string();
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : folder.empty() ? dataDir.string() : folder) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace.
    std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "vellostore/%016llx",
                  static_cast<unsigned long long>(hash));
    return address;
}

socklen_t LengthOf(const sockaddr_un& address) {
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                  std::char_traits<char>::length(address.sun_path + 1));
}

}  // namespace

ShowRequests::ShowRequests(const std::filesystem::path& dataDir, std::function<void()> show)
    : show_(std::move(show)) {
    net::Socket listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_un address = AddressOf(dataDir);
    if (!listening.IsOpen() ||
        ::bind(listening.Fd(), reinterpret_cast<const sockaddr*>(&address), LengthOf(address)) !=
            0 ||
        ::listen(listening.Fd(), 4) != 0) {
        return;
    }
    listening_ = std::move(listening);
    notifier_ = std::make_unique<QSocketNotifier>(listening_.Fd(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { TakeRequests(); });
}

void ShowRequests::TakeRequests() {
    // The connection is the request: nothing is read from it.
    bool asked = false;
    while (net::Socket(::accept4(listening_.Fd(), nullptr, nullptr, SOCK_CLOEXEC)).IsOpen()) {
        asked = true;
    }
    if (asked && show_) {
        show_();
    }
}

bool ShowRequests::AskRunningCopy(const std::filesystem::path& dataDir,
                                  std::chrono::milliseconds patience) {
    const sockaddr_un address = AddressOf(dataDir);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    do {
        const net::Socket asking(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!asking.IsOpen()) {
            return false;
        }
        if (::connect(asking.Fd(), reinterpret_cast<const sockaddr*>(&address),
                      LengthOf(address)) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace vs::gui
