// vellostored as a user runs it: a real process with its data directory,
// driven by curl against real origins (an HTTP origin in this process, an
// openssl TLS server), alone and behind a second instance as its parent.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "cache/cache_paths.h"
#include "rules/grid_text.h"
#include "rules/password.h"
#include "rules/regex.h"
#include "rules/rule_list.h"
#include "rules/users_list.h"
#include "shell/ini_file.h"
#include "shell/settings.h"
#include "shell/statistics.h"
#include "support/child_process.h"
#include "support/list_file.h"
#include "support/net_helpers.h"
#include "support/origin_process.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Daemon {
public:
    // `wrapper` runs the daemon (prlimit with its options, say).
    Daemon(const std::string& name, const fs::path& home, int port,
           const std::string& extraSettings = "", std::vector<std::string> wrapper = {})
        : port_(port) {
        WriteBytes(home / "Vellostore.ini",
                   "[TMainForm]\r\nPortEd_Text=" + std::to_string(port) + "\r\n" + extraSettings);
        if (!fs::exists(home / "users.lst")) {
            // Admits this machine without a password ("0000000" is the
            // stored form of an empty one).
            WriteBytes(home / "users.lst",
                       ListFile({{"1", "True", "local", "0000000", "127.0.0.1"}}));
        }
        wrapper.push_back(VELLOSTORED_PATH);
        process_.emplace(name, std::move(wrapper), home,
                         std::map<std::string, std::string>{{"VELLOSTORE_HOME", home.string()}});
    }
    bool Ready() { return process_->WaitForStderr("listening on", 10s); }
    std::optional<int> Stop(int signal = SIGTERM) {
        process_->Signal(signal);
        return process_->Wait(15s);
    }
    int Port() const { return port_; }
    ChildProcess& Process() { return *process_; }
    std::string Proxy() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int port_;
    std::optional<ChildProcess> process_;
};

bool FileHoldsBody(const fs::path& path, std::size_t size) {
    std::ifstream in(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    std::size_t position = 0;
    while (in.read(block.data(), block.size()) || in.gcount() > 0) {
        std::size_t n = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < n; ++i) {
            if (block[i] != BodyByte(position + i)) {
                return false;
            }
        }
        position += n;
    }
    return position == size;
}

int Curl(const TempDir& dir, const std::string& proxy, const std::string& url,
         const fs::path& out) {
    return RunProgram(
        {"curl", "-sS", "-k", "--max-time", "60", "-x", proxy, "-o", out.string(), url},
        dir.Path());
}

// An openssl TLS server with a fresh self-signed certificate.
class TlsOrigin {
public:
    explicit TlsOrigin(const TempDir& dir) : port_(FreePort()) {
        auto key = dir.Path() / "key.pem", cert = dir.Path() / "cert.pem";
        int rc = RunProgram(
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
             "-days", "1", "-keyout", key.string(), "-out", cert.string()},
            dir.Path());
        if (rc != 0) {
            throw std::runtime_error("openssl req failed");
        }
        server_.emplace("tls",
                        std::vector<std::string>{"openssl", "s_server", "-accept",
                                                 std::to_string(port_), "-cert", cert.string(),
                                                 "-key", key.string(), "-www", "-quiet"},
                        dir.Path());
        const bool listening = WaitUntil([this] {
            try {
                ConnectLoopback(static_cast<std::uint16_t>(port_));
                return true;
            } catch (const std::exception&) {
                return false;
            }
        });
        if (!listening) {
            throw std::runtime_error("openssl s_server did not start");
        }
    }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int port_;
    std::optional<ChildProcess> server_;
};

// Settings, lists and statistics as a start-up would read them: complete
// files, or none.
void ExpectWholeFiles(const fs::path& home) {
    EXPECT_NO_THROW(LoadSettings(home / "Vellostore.ini"));
    IniFile ini = IniFile::Load(home / "Vellostore.ini");
    for (const SettingsKey& key : StoredSettingsKeys()) {
        EXPECT_TRUE(ini.Get("TMainForm", key.key).has_value()) << key.key;
    }
    RuleList black(ListKind::Black);
    EXPECT_TRUE(black.Load(home / "black.lst"));
    EXPECT_EQ(black.Count(), 1u);
    UsersList users;
    EXPECT_TRUE(users.Load(home / "users.lst"));
    EXPECT_EQ(users.Count(), 1u);
    const std::string stat = ReadBytes(home / "stat.txt");
    EXPECT_TRUE(stat.starts_with("\xff\xfe") && stat.ends_with(std::string("\r\0\n\0", 4)));
}

class DaemonTest : public ::testing::Test {
protected:
    // Runs the daemon with its cache folder on a disk of `size` (as mount
    // takes it) that only it sees, in a mount namespace of its own; caching
    // every URL.
    Daemon& OnASmallCacheDisk(const std::string& size) {
        return OnACacheDisk("-t tmpfs -o size=" + size + " tmpfs");
    }
    // The same with the cache folder mounted as `mount` takes `source`.
    Daemon& OnACacheDisk(const std::string& source) {
        WriteBytes(home / "cache.lst", ListFile({{"1", "True", ".", "0"}}));
        fs::create_directories(cache);
        return smallDisk.emplace(
            "proxy", home, FreePort(), "",
            std::vector<std::string>{"unshare", "-m", "sh", "-c",
                                     "mount " + source + " \"$0\" && exec \"$@\"", cache.string()});
    }
    // `path` of the cache folder as the daemon that mounted a disk there sees it.
    fs::path OnTheCacheDisk(Daemon& proxy, const std::string& path = "") {
        return "/proc/" + std::to_string(proxy.Process().Pid()) + "/root" + cache.string() + path;
    }
    // The entry of the origin's `path` there.
    fs::path OriginEntryOnTheCacheDisk(Daemon& proxy, const std::string& path) {
        return OnTheCacheDisk(proxy, "/127.0.0.1!" + std::to_string(origin.Port()) + path);
    }
    // The free bytes of that disk.
    std::uint64_t CacheDiskRoom(Daemon& proxy) {
        struct statvfs room {};
        EXPECT_EQ(::statvfs(OnTheCacheDisk(proxy).c_str(), &room), 0);
        return room.f_bavail * room.f_frsize;
    }
    bool MayMount() {
        return ::geteuid() == 0 && RunProgram({"unshare", "-m", "true"}, dir.Path()) == 0;
    }

    TempDir dir;
    HttpOrigin origin;
    const fs::path home = dir.Path() / "home";
    const fs::path cache = home / "Cache";
    std::optional<Daemon> smallDisk;
};

// A disk of a test's own needs root and a mount namespace.
#define SKIP_UNLESS_MAY_MOUNT() \
    if (!MayMount())            \
    GTEST_SKIP() << "needs root and a mount namespace"

TEST_F(DaemonTest, RelaysALargeBodyByteForByteAndLogsWithTimes) {
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();

    constexpr std::size_t kSize = 100u << 20;
    const std::string url = origin.Url("/size/" + std::to_string(kSize));
    ASSERT_EQ(Curl(dir, proxy.Proxy(), url, dir.Path() / "big"), 0);
    EXPECT_TRUE(FileHoldsBody(dir.Path() / "big", kSize));
    // A header that would command the admin's terminal (clear the screen).
    auto client = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    SendText(client, "GET " + origin.Url("/size/10") +
                         " HTTP/1.1\r\nUser-Agent: \x1b[2J\x1b]0;owned\x1b\\\r\n\r\n");
    ReadResponse(client);
    // An answer's header line shaped like an entry of the log.
    LoopbackServer forger([](net::Socket& s) {
        ReadUntil(s, "\r\n\r\n");
        net::SendAll(s,
                     "HTTP/1.1 200 OK\r\n01.01.2030 00:00:00 # 999: Connection from boss/10.0.0.9"
                     "\r\nContent-Length: 2\r\n\r\nok");
    });
    // Its URL in raw UTF-8, as curl and wget send letters.
    SendText(client, "GET " + LoopbackUrl(forger.Port(), "/путь") + " HTTP/1.1\r\n\r\n");
    ReadResponse(client);
    ASSERT_EQ(proxy.Stop(), 0);

    const std::string log = proxy.Process().Stdout();
    // Each entry starts with its time, "dd.MM.yyyy hh:mm:ss".
    EXPECT_TRUE(
        Pattern::Compile(R"((^|\n)\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d # 0:  Outbound Connection\n)")
            ->Matches(log))
        << log;
    EXPECT_TRUE(Has(log, "# 0 >>> URL: " + url + "\n  GET " + url + " HTTP/1.1\n"));
    EXPECT_TRUE(Has(log, "\n  User-Agent: .[2J.]0;owned.\\\n"));
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    // A header line shaped like an entry stays inside its own.
    EXPECT_TRUE(Has(log, "\n  01.01.2030 00:00:00 # 999: Connection from boss/"));
    EXPECT_FALSE(Has(log, "\n01.01.2030"));
    EXPECT_TRUE(Has(log, "URL: " + LoopbackUrl(forger.Port(), "/путь") + "\n"));
}

TEST_F(DaemonTest, TunnelsHttpsDirectlyAndThroughAParent) {
    TlsOrigin tls(dir);
    Daemon parent("parent", dir.Path() / "parent", FreePort());
    ASSERT_TRUE(parent.Ready()) << parent.Process().Stderr();
    Daemon child("child", dir.Path() / "child", FreePort(),
                 "UseParentProxy_Checked=True\r\nMappedHostEd_Text=127.0.0.1\r\n"
                 "MappedPortEd_Text=" +
                     std::to_string(parent.Port()) + "\r\n");
    ASSERT_TRUE(child.Ready()) << child.Process().Stderr();

    ASSERT_EQ(Curl(dir, parent.Proxy(), tls.Url(), dir.Path() / "direct.html"), 0);
    EXPECT_TRUE(Has(ReadBytes(dir.Path() / "direct.html"), "s_server"));
    ASSERT_EQ(Curl(dir, child.Proxy(), tls.Url(), dir.Path() / "chained.html"), 0);
    EXPECT_TRUE(Has(ReadBytes(dir.Path() / "chained.html"), "s_server"));

    ASSERT_EQ(Curl(dir, child.Proxy(), origin.Url("/size/1000"), dir.Path() / "plain"), 0);
    EXPECT_TRUE(FileHoldsBody(dir.Path() / "plain", 1000));
    ASSERT_EQ(origin.Requests().size(), 1u);
    EXPECT_TRUE(origin.Requests()[0].starts_with("GET /size/1000 HTTP/1.1\r\n"));
}

// The receive queue of this machine's live TCP socket from localPort (-1:
// any) to remotePort and whether it is in CLOSE_WAIT, if there is one.
struct TcpState {
    long receiveQueue = 0;
    bool closeWait = false;
};
std::optional<TcpState> FindTcp(int localPort, int remotePort) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const auto port = [](const std::string& address) {
                return std::stoi(address.substr(address.rfind(':') + 1), nullptr, 16);
            };
            // A connection of an earlier test that ended between the same
            // ports lingers in TIME_WAIT ("06") and is no one's now.
            if ((localPort < 0 || port(local) == localPort) && port(remote) == remotePort &&
                state != "06") {
                return TcpState{std::stol(queues.substr(queues.find(':') + 1), nullptr, 16),
                                state == "08"};
            }
        }
    }
    return std::nullopt;
}

// A kept-alive browser asks another host just as the origin of its last
// request closes that idle connection, both seen in one wait (the daemon is
// held stopped until both have arrived): the upload still goes whole to
// its own origin, which answers only once it has all of it.
TEST_F(DaemonTest, ABrowserTurningToAnotherHostAsTheLastOneClosesStillSendsItsBody) {
    constexpr std::size_t kSize = 1 << 20;
    std::atomic<bool> closeFirst{false};
    LoopbackServer first([&closeFirst](net::Socket& s) {
        ReadUntil(s, "\r\n\r\n");
        net::SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na");
        WaitUntil([&closeFirst] { return closeFirst.load(); });
    });
    LoopbackServer second([](net::Socket& s) {
        ReadUntil(s, "\r\n\r\n");
        const std::size_t got = ReadExactly(s, kSize).size();
        const std::string body = "got " + std::to_string(got);
        net::SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body);
    });
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    auto client = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    test::LimitWaits(client);
    SendText(client, "GET " + LoopbackUrl(first.Port(), "/") + " HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(Has(ReadResponse(client), "\r\n\r\na"));

    const pid_t pid = proxy.Process().Pid();
    ::kill(pid, SIGSTOP);
    // Every thread stopped, the worker too: the process's own state says only
    // that its first thread has, and a worker still running would meet the
    // origin's close before the browser's request.
    ASSERT_TRUE(WaitUntil([pid] {
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
            std::ifstream stat(task.path() / "stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            if (text.substr(text.rfind(')') + 2, 1) != "T") {
                return false;
            }
        }
        return true;
    }));
    closeFirst = true;
    ASSERT_TRUE(WaitUntil([&] {
        auto toFirst = FindTcp(-1, first.Port());
        return toFirst && toFirst->closeWait;
    }));
    std::thread upload([&] {
        try {
            SendText(client, "POST " + LoopbackUrl(second.Port(), "/up") +
                                 " HTTP/1.1\r\nHost: b\r\nContent-Length: " +
                                 std::to_string(kSize) + "\r\n\r\n" + MakeBody(kSize));
        } catch (const net::SocketError&) {
            // The proxy closed on the browser: the check below tells.
        }
    });
    const int browserPort = net::LocalPort(client);
    EXPECT_TRUE(WaitUntil([&] {
        auto fromBrowser = FindTcp(proxy.Port(), browserPort);
        return fromBrowser && fromBrowser->receiveQueue > 0;
    }));
    ::kill(pid, SIGCONT);
    std::string answer;
    try {
        answer = ReadResponse(client);
    } catch (const net::SocketError&) {
        // Nothing came within the receive limit.
    }
    EXPECT_TRUE(Has(answer, "got " + std::to_string(kSize))) << "the upload stalled";
    ::shutdown(client.Fd(), SHUT_RDWR);
    upload.join();
}

// A first start without a users list answers 407 to everybody, and one
// without a cache list stores nothing: it says so. A busy port is told too,
// and the daemon keeps running for a free one.
TEST_F(DaemonTest, WhatTheStartCannotDoIsToldAndTheDaemonKeepsRunning) {
    WriteBytes(home / "users.lst", ListFile({{"1", "False", "local", "0000000", "127.0.0.1"}}));
    WriteBytes(home / "cache.lst", ListFile({{"1", "False", ".", "0"}}));
    // A cache folder that cannot be made is named in its own letters.
    const std::string folder = (home / "没有" / "キャッシュ").string();
    net::Socket taken = net::ListenTcp("0.0.0.0", 0, 1);
    // So is a value it does not understand, which the next save replaces.
    Daemon proxy(
        "proxy", home, net::LocalPort(taken),
        "CacheDir_Text=" + folder + "\r\nOffLine_Checked=yes\r\nMaxConnections=100 ; LAN\r\n");
    ASSERT_TRUE(
        proxy.Process().WaitForStderr("Порт " + std::to_string(proxy.Port()) + " уже занят", 10s))
        << proxy.Process().Stderr();
    ASSERT_TRUE(proxy.Process().WaitForStderr("никого не допускает", 10s))
        << proxy.Process().Stderr();
    ASSERT_TRUE(proxy.Process().WaitForStderr("ответы не сохраняются в кеш", 10s))
        << proxy.Process().Stderr();
    ASSERT_TRUE(proxy.Process().WaitForStderr("Нет папки кеша " + folder +
                                                  "/ (создать её не удалось: нет папки " +
                                                  (home / "没有").string() + ")",
                                              10s))
        << proxy.Process().Stderr();
    ASSERT_TRUE(proxy.Process().WaitForStderr(
        "не поняты значения (взяты исходные): OffLine_Checked=yes; MaxConnections=100 ; LAN", 10s))
        << proxy.Process().Stderr();
    // The port let go (by a program still stopping), the proxy listens on
    // its own: a service has nobody to press Apply.
    taken.Close();
    EXPECT_TRUE(proxy.Process().WaitForStderr("listening on", 10s)) << proxy.Process().Stderr();
    const std::string told = proxy.Process().Stderr();
    EXPECT_EQ(told.find("уже занят"), told.rfind("уже занят")) << told;
    EXPECT_EQ(proxy.Stop(), 0);
}

// A cache folder the service cannot write (left by a first try as root, a
// read-only disk) or whose files take no extended attributes (a share, a FAT
// disk, an older tmpfs; ramfs here) stores nothing: the start says so.
TEST_F(DaemonTest, ACacheDiskThatCannotStoreIsToldAtTheStart) {
    SKIP_UNLESS_MAY_MOUNT();
    for (const auto& [disk, told] :
         {std::pair{"-t tmpfs -o ro tmpfs", "В папку кеша " + cache.string()},
          {"-t ramfs ramfs",
           "Файлы в папке кеша " + cache.string() + "/ не хранят расширенных атрибутов"}}) {
        Daemon& proxy = OnACacheDisk(disk);
        ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
        EXPECT_TRUE(proxy.Process().WaitForStderr(told, 10s)) << proxy.Process().Stderr();
        EXPECT_EQ(proxy.Stop(), 0);
    }
    // A cache copied from elsewhere to such a disk is used as it is: a visit
    // online, whose answer the disk cannot keep, leaves the copy in place.
    Daemon& proxy = OnACacheDisk("-t ramfs ramfs");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const fs::path copied = OriginEntryOnTheCacheDisk(proxy, "/size/10");
    fs::create_directories(copied.parent_path());
    WriteBytes(copied, "copied");
    ASSERT_EQ(Curl(dir, proxy.Proxy(), origin.Url("/size/10"), dir.Path() / "b"), 0);
    EXPECT_TRUE(FileHoldsBody(dir.Path() / "b", 10));
    EXPECT_EQ(ReadBytes(copied), "copied");
}

// A second start on a data folder in use ends at once: it would serve
// nothing and, at its end, write its stale settings, lists and counts over
// the first one's. SIGINT stops the first as SIGTERM does, its history kept.
TEST_F(DaemonTest, ASecondStartOnTheSameDataFolderEndsAndLeavesTheFirstsFilesAlone) {
    const std::vector<std::string> earlier = {"01.02.2026", "5000/0"};
    WriteBytes(home / "stat.txt", ListFile({earlier}));
    Daemon first("first", home, FreePort());
    ASSERT_TRUE(first.Ready()) << first.Process().Stderr();
    Daemon second("second", home, first.Port());
    EXPECT_EQ(second.Process().Wait(10s), 1);
    EXPECT_TRUE(Has(second.Process().Stderr(), "уже занята другим запуском"))
        << second.Process().Stderr();
    ASSERT_EQ(Curl(dir, first.Proxy(), origin.Url("/size/" + std::to_string(300 * 1024)),
                   dir.Path() / "got"),
              0);
    ASSERT_EQ(first.Stop(SIGINT), 0);
    EXPECT_EQ(ReadBytes(home / "stat.txt"),
              ListFile({earlier, {StatDateText(std::chrono::system_clock::now()), "300/0"}}));
}

// The lists as the desktop program writes them: a user admitted by proxy
// credentials, a wrong password refused with 407, a black-listed URL
// refused by its rule; on SIGTERM the hit count and the users are saved, the
// password scrambled (the file is UTF-16) and the file owner-only.
TEST_F(DaemonTest, ListsAdmitAndRefuseAndAreSavedOnSigterm) {
    auto rules = [](const std::string& hits) {
        return ListFile({{"1", "True", "nothing-here", "0"},
                         {"2", "False", "blocked", "0"},
                         {"3", "True", "blocked", hits}});
    };
    WriteBytes(home / "black.lst", rules("41"));
    WriteBytes(home / "users.lst",
               ListFile({{"1", "True", "anna", EncodeStoredPassword("pa:ss"), ""}}));
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready());
    auto fetch = [&](const std::string& user, const std::string& name, const std::string& path) {
        return RunProgram({"curl", "-sS", "--max-time", "20", "-x", proxy.Proxy(), "--proxy-user",
                           user, "-D", (dir.Path() / (name + ".head")).string(), "-o",
                           (dir.Path() / name).string(), origin.Url(path)},
                          dir.Path());
    };
    ASSERT_EQ(fetch("anna:pa:ss", "good", "/size/10"), 0);
    EXPECT_TRUE(FileHoldsBody(dir.Path() / "good", 10));
    ASSERT_EQ(fetch("anna:wrong", "bad", "/size/10"), 0);
    const std::string head = ReadBytes(dir.Path() / "bad.head");
    EXPECT_TRUE(head.starts_with("HTTP/1.0 407 Proxy Authentication Required\r\n")) << head;
    ASSERT_EQ(fetch("anna:pa:ss", "page.html", "/blocked/"), 0);
    const std::string page = ReadBytes(dir.Path() / "page.html");
    EXPECT_TRUE(page.ends_with("(rule #3).\r\n</BODY></HTML>\r\n\r\n")) << page;
    EXPECT_EQ(origin.Requests().size(), 1u);

    ASSERT_EQ(proxy.Stop(), 0);
    EXPECT_EQ(ReadBytes(home / "black.lst"), rules("42"));
    EXPECT_FALSE(Has(ReadBytes(home / "users.lst"), std::string("p\0a\0:\0s\0s\0", 10)));
    EXPECT_EQ(fs::status(home / "users.lst").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DaemonTest, AKilledDownloadNeverLeavesAnEntryToServe) {
    OriginProcess slow(dir.Path());
    WriteBytes(home / "cache.lst", ListFile({{"1", "True", ".", "0"}}));
    const int port = FreePort();
    {
        Daemon proxy("first", home, port);
        ASSERT_TRUE(proxy.Ready());
        auto client = ConnectLoopback(static_cast<std::uint16_t>(port));
        SendText(client, "GET " + slow.Url("/slow") + " HTTP/1.1\r\n\r\n");
        std::string got = ReadUntil(client, "\r\n\r\n");
        got += ReadExactly(client, 1000);  // the entry is being written now
        ASSERT_EQ(got.size() - got.find("\r\n\r\n") - 4, 1000u);
        proxy.Stop(SIGKILL);
    }
    const std::string folder = "127.0.0.1!" + std::to_string(slow.Port());
    EXPECT_FALSE(fs::exists(home / "Cache" / folder / "slow"));

    Daemon again("second", home, port, "OffLine_Checked=True\r\n");
    ASSERT_TRUE(again.Ready());
    auto client = ConnectLoopback(static_cast<std::uint16_t>(port));
    SendText(client, "GET " + slow.Url("/slow") + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(ReadAll(client).starts_with("HTTP/1.0 404 Not found\r\n"));
}

// A LAN server has no page to clean its cache from: SIGUSR1 cleans by the
// settings file's keys as they stand then, and says when the run has ended.
TEST_F(DaemonTest, SigusrCleansTheCacheByTheSettingsFilesKeys) {
    WriteBytes(home / "cache.lst", ListFile({{"1", "True", ".", "0"}}));
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready());
    const fs::path site = cache / ("127.0.0.1!" + std::to_string(origin.Port()));
    for (const std::string size : {"300000", "1000"}) {
        ASSERT_EQ(Curl(dir, proxy.Proxy(), origin.Url("/size/" + size), dir.Path() / "got"), 0);
        ASSERT_TRUE(WaitUntil([&] { return fs::exists(site / "size" / size); }));
    }
    proxy.Process().Signal(SIGUSR1);
    EXPECT_TRUE(proxy.Process().WaitForStderr("nothing to clean by", 10s));
    WriteBytes(home / "Vellostore.ini",
               ReadBytes(home / "Vellostore.ini") + "CleanLargerThanKB=100\r\n");
    proxy.Process().Signal(SIGUSR1);
    EXPECT_TRUE(proxy.Process().WaitForStderr("cache cleaning ended", 10s))
        << proxy.Process().Stderr();
    EXPECT_FALSE(fs::exists(site / "size/300000"));
    EXPECT_TRUE(fs::exists(site / "size/1000"));
    // A folder gone (emptied by hand) is waited for, and said to be.
    fs::remove_all(cache);
    proxy.Process().Signal(SIGUSR1);
    EXPECT_TRUE(proxy.Process().WaitForStderr("the cleaning waits for the cache folder", 10s))
        << proxy.Process().Stderr();
    fs::create_directories(cache);
    EXPECT_TRUE(WaitUntil([&] {
        const std::string told = proxy.Process().Stderr();
        return told.find("cache cleaning ended") != told.rfind("cache cleaning ended");
    })) << proxy.Process().Stderr();
}

// A data folder made by root for the service's account: the start says the
// saves will fail, rather than the first save minutes later.
TEST_F(DaemonTest, ADataFolderItCannotWriteIsToldAtTheStart) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "runs the daemon as another account";
    }
    fs::create_directories(home);
    fs::permissions(dir.Path(),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    Daemon proxy("proxy", home, FreePort(), "",
                 {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    EXPECT_TRUE(WaitUntil([&] {
        return Has(proxy.Process().Stderr(), "В папку данных " + home.string() + " нельзя писать");
    })) << proxy.Process().Stderr();
}

// A cache folder on a disk that fills up: answers still arrive whole, the
// log says once, not once per answer, that entries are not stored, and the
// disk keeps room for the settings and counts saved at the end.
TEST_F(DaemonTest, AFullCacheDiskIsToldInTheLogOnceAndKeepsRoomForTheSettings) {
    SKIP_UNLESS_MAY_MOUNT();
    Daemon& proxy = OnASmallCacheDisk("1m");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();

    for (const char* size : {"3000000", "2500000", "1000"}) {
        const std::string url = origin.Url(std::string("/size/") + size);
        ASSERT_EQ(Curl(dir, proxy.Proxy(), url, dir.Path() / "b"), 0);
        EXPECT_TRUE(FileHoldsBody(dir.Path() / "b", std::stoul(size))) << size;
    }
    const std::string told =
        "Cache entries are not stored: No space left on device (" + cache.string() + "/)";
    EXPECT_TRUE(WaitUntil([&] { return Has(proxy.Process().Stdout(), "/size/1000"); }));
    auto client = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    for (int i = 0; i < 300; ++i) {
        SendText(client,
                 "GET " + origin.Url("/size/4000?" + std::to_string(i)) + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(ReadResponse(client).starts_with("HTTP/1.1 200 OK\r\n"));
    }
    EXPECT_GE(CacheDiskRoom(proxy), 1u << 20 >> 6);
    // A reload the full disk cannot store leaves the stored copy.
    ASSERT_TRUE(fs::exists(OriginEntryOnTheCacheDisk(proxy, "/size/1000")));
    SendText(client, "GET " + origin.Url("/size/1000") + " HTTP/1.1\r\nPragma: no-cache\r\n\r\n");
    ASSERT_TRUE(ReadResponse(client).starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(fs::exists(OriginEntryOnTheCacheDisk(proxy, "/size/1000")));
    ASSERT_EQ(proxy.Stop(), 0);
    const std::string log = proxy.Process().Stdout();
    EXPECT_TRUE(Has(log, told)) << log;
    EXPECT_EQ(log.find(told), log.rfind(told));
}

// Answers that announce a body and stall (a site's trick, or a slow one)
// set room aside for it on the cache disk: together a quarter of it at
// most, not each a quarter of what the ones before left.
TEST_F(DaemonTest, StalledAnswersTogetherHoldAQuarterOfTheCacheDisk) {
    SKIP_UNLESS_MAY_MOUNT();
    Daemon& proxy = OnASmallCacheDisk("16m");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    LoopbackServer stalling([](net::Socket& s) {
        ReadUntil(s, "\r\n\r\n");
        net::SendAll(s,
                     "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + std::string(1000, 's'));
        ReadAll(s);  // until the proxy lets go
    });
    std::vector<net::Socket> clients;
    for (int i = 0; i < 14; ++i) {
        clients.push_back(ConnectLoopback(static_cast<std::uint16_t>(proxy.Port())));
        SendText(clients.back(), "GET " + LoopbackUrl(stalling.Port(), "/" + std::to_string(i)) +
                                     " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(ReadUntil(clients.back(), "\r\n\r\n").starts_with("HTTP/1.1 200 OK"));
    }
    EXPECT_GE(CacheDiskRoom(proxy), 11u << 20);
}

// A page a fifth of the disk or more is replaced by a reload: the room its
// old copy gives back counts, though that copy goes only at the end.
TEST_F(DaemonTest, ALargePageIsReplacedByItsReload) {
    SKIP_UNLESS_MAY_MOUNT();
    Daemon& proxy = OnASmallCacheDisk("100m");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const std::string url = origin.Url("/size/" + std::to_string(22 << 20));
    const fs::path entry = OriginEntryOnTheCacheDisk(proxy, "/size/" + std::to_string(22 << 20));
    ASSERT_EQ(Curl(dir, proxy.Proxy(), url, dir.Path() / "b"), 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(entry); }));
    struct stat stored {};
    ASSERT_EQ(::stat(entry.c_str(), &stored), 0);
    ASSERT_EQ(RunProgram({"curl", "-sS", "-H", "Pragma: no-cache", "-x", proxy.Proxy(), "-o",
                          (dir.Path() / "b").string(), url},
                         dir.Path()),
              0);
    struct stat reloaded {};
    EXPECT_TRUE(WaitUntil([&] {
        return ::stat(entry.c_str(), &reloaded) == 0 && reloaded.st_ino != stored.st_ino;
    }));
}

// An answer given room when it began grows into it to its end, whatever
// other answers stored meanwhile.
TEST_F(DaemonTest, AnAnswerGivenRoomIsStoredWhileOthersFillTheDisk) {
    SKIP_UNLESS_MAY_MOUNT();
    Daemon& proxy = OnASmallCacheDisk("128m");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const std::size_t large = CacheDiskRoom(proxy) / 4 - (64u << 10);  // about 32 MiB
    std::atomic<bool> othersDone{false};
    LoopbackServer announced([&](net::Socket& s) {
        ReadUntil(s, "\r\n\r\n");
        net::SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(large) + "\r\n\r\n" +
                            std::string(large / 2, 'a'));
        WaitUntil([&] { return othersDone.load(); });
        net::SendAll(s, std::string(large - large / 2, 'a'));
        ReadAll(s);
    });
    auto client = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    SendText(client, "GET " + LoopbackUrl(announced.Port(), "/large") + " HTTP/1.1\r\n\r\n");
    ReadUntil(client, "\r\n\r\n");
    // 16 MiB stored unannounced, and not given up either.
    ASSERT_EQ(Curl(dir, proxy.Proxy(), origin.Url("/size/16777216"), dir.Path() / "b"), 0);
    othersDone = true;
    EXPECT_EQ(ReadExactly(client, large).size(), large);
    const fs::path seen =
        "/proc/" + std::to_string(proxy.Process().Pid()) + "/root" + cache.string();
    const auto storedOfSize = [&](std::uintmax_t size) {
        return std::ranges::any_of(test::FilesUnder(seen), [&](const fs::path& file) {
            std::error_code gone;
            return !file.filename().string().starts_with(".") &&
                   fs::file_size(seen / file, gone) == size;
        });
    };
    EXPECT_TRUE(WaitUntil([&] { return storedOfSize(large); }));
    EXPECT_TRUE(storedOfSize(16777216));
}

// An answer without end (a live stream sent chunked) goes on to the
// browser, but its entry is given up before it fills the disk.
TEST_F(DaemonTest, AnEndlessAnswerNeverFillsTheCacheDisk) {
    SKIP_UNLESS_MAY_MOUNT();
    Daemon& proxy = OnASmallCacheDisk("64m");
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const std::string chunk = "10000\r\n" + std::string(0x10000, 's') + "\r\n";
    LoopbackServer stream([&](net::Socket& socket) {
        ReadUntil(socket, "\r\n\r\n");
        try {
            net::SendAll(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
            for (;;) {
                net::SendAll(socket, chunk);
            }
        } catch (const net::SocketError&) {
            // the browser left
        }
    });
    auto client = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    SendText(client, "GET " + LoopbackUrl(stream.Port(), "/live") + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadExactly(client, 60u << 20).size(), 60u << 20);
    // The cache folder as the daemon sees it, on its own small disk.
    const fs::path seen =
        "/proc/" + std::to_string(proxy.Process().Pid()) + "/root" + cache.string();
    std::uintmax_t held = 0;
    for (const std::string& file : test::FilesUnder(seen)) {
        held += fs::file_size(seen / file);
    }
    EXPECT_LT(held, 32u << 20);
    client.Close();
    ASSERT_EQ(proxy.Stop(), 0);
    EXPECT_FALSE(Has(proxy.Process().Stdout(), "Cache entries are not stored"));
}

// A name lookup that never returns (the name servers down, the resolver
// waiting on) holds its worker past the stop's wait: the stop still saves
// everything and then ends the process instead of waiting for the resolver.
TEST_F(DaemonTest, AStopEndsTheProcessWhileANameLookupHangs) {
    const fs::path mark = dir.Path() / "lookup-waits";
    const char* asan = std::getenv("ASAN_OPTIONS");
    Daemon proxy("proxy", home, FreePort(), "",
                 {"env", std::string("LD_PRELOAD=") + UNANSWERED_LOOKUP_PATH,
                  "VELLOSTORE_TEST_LOOKUP_MARK=" + mark.string(),
                  // The lookup's library comes before the sanitizer's.
                  "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const std::string url = origin.Url("/size/" + std::to_string(300 * 1024));
    ASSERT_EQ(Curl(dir, proxy.Proxy(), url, dir.Path() / "body"), 0);
    auto waiting = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
    SendText(waiting,
             "GET http://www.unanswered.test/ HTTP/1.1\r\nHost: www.unanswered.test\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(mark); }, 10s));
    EXPECT_EQ(proxy.Stop(), 0) << proxy.Process().Stderr();
    EXPECT_TRUE(Has(proxy.Process().Stderr(), "Terminate Thread Timeout"));
    EXPECT_EQ(ReadBytes(home / "stat.txt"),
              ListFile({{StatDateText(std::chrono::system_clock::now()), "300/0"}}));
}

// A daemon run under a service account may find the history it cannot
// read: it says so and leaves it, rather than saving today's row over it.
// The files it does save keep the stricter mode the user gave them.
TEST_F(DaemonTest, FilesItCannotReadAreToldOfAndKeptAndSavedFilesKeepTheirMode) {
    const std::string history = ListFile({{"01.02.2026", "5000/0"}, {"02.02.2026", "7000/0"}});
    const std::string rules = ListFile({{"1", "True", "\\.iso$", "0"}});
    fs::create_directories(home);
    WriteBytes(home / "stat.txt", history);
    fs::permissions(home / "stat.txt", fs::perms::none);
    WriteBytes(home / "cache.lst", rules);
    fs::permissions(home / "cache.lst", fs::perms::none);
    WriteBytes(home / "black.lst", ListFile({{"1", "True", "blocked", "0"}}));
    const fs::perms fromTheGroupOnly =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(home / "black.lst", fromTheGroupOnly);
    // Root reads any file; without these two capabilities it reads as its owner.
    std::vector<std::string> asOwner;
    if (::geteuid() == 0) {
        asOwner = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    Daemon proxy("proxy", home, FreePort(), "", asOwner);
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    ASSERT_EQ(Curl(dir, proxy.Proxy(), origin.Url("/size/2048"), dir.Path() / "b"), 0);
    EXPECT_EQ(proxy.Stop(), 0);

    EXPECT_TRUE(Has(proxy.Process().Stderr(), "Файл stat.txt не прочитан"))
        << proxy.Process().Stderr();
    EXPECT_TRUE(Has(proxy.Process().Stderr(), "Список cache.lst не прочитан (нет прав на чтение)"))
        << proxy.Process().Stderr();
    fs::permissions(home / "stat.txt", fs::perms::owner_read);
    EXPECT_EQ(ReadBytes(home / "stat.txt"), history);
    fs::permissions(home / "cache.lst", fs::perms::owner_read);
    EXPECT_EQ(ReadBytes(home / "cache.lst"), rules);
    EXPECT_EQ(fs::status(home / "black.lst").permissions(), fromTheGroupOnly);
}

// A daemon's lists and settings are edited by hand while it runs: SIGHUP
// takes the edit, and the stop never writes the rows in memory over a newer
// edit, over the lines after one it could not read, or over a file cut short.
TEST_F(DaemonTest, FilesEditedByHandAreTakenOnSighupAndNeverOverwrittenByTheStop) {
    const std::string partly =
        ListFile({{"1", "True", "a", "0"}, {"2", "True", "b", "many"}, {"3", "True", "c", "0"}});
    WriteBytes(home / "cache.lst", partly);
    WriteBytes(home / "black.lst", ListFile({{"1", "True", "nothing-here", "0"}}));
    // Cut short in the middle of the second row's password, half a
    // character included.
    const std::string users = ListFile({{"1", "True", "local", "0000000", "127.0.0.1"},
                                        {"2", "True", "kitchen", "0000000", "192.168.1.20"}});
    const std::string cut = users.substr(0, 101);
    WriteBytes(home / "users.lst", cut);
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready());
    EXPECT_TRUE(proxy.Process().WaitForStderr("cache.lst", 10s));
    EXPECT_TRUE(proxy.Process().WaitForStderr("users.lst прочитан не до конца", 10s))
        << proxy.Process().Stderr();
    std::string at = proxy.Proxy();
    auto blocked = [&] {
        EXPECT_EQ(Curl(dir, at, origin.Url("/blocked/"), dir.Path() / "page"), 0);
        return Has(ReadBytes(dir.Path() / "page"), "(rule #1)");
    };
    EXPECT_FALSE(blocked());

    // A rule the matcher refuses is named where the file holds it, so that
    // the user learns it is dead, and so is one edged with an unseen blank;
    // the others act. So is one that refuses
    // pages it does not name, as it cannot decide ordinary URLs. A new port
    // listens in place of the old one.
    WriteBytes(home / "black.lst",
               ListFile({{"; by hand"},
                         {"1", "True", "blocked", "5"},
                         {"2", "True", "bad(unclosed", "0"},
                         {"3", "True", "^(\\w+\\.?)+\\.doubleclick\\.net/", "0"},
                         {"4", "True", "^(\\w+\\.)+doubleclick\\.net/", "0"},
                         {"5", "True", "(\\d+)*\\.exe$", "0"},
                         {"6", "True", "tracker ", "0"}}));
    const int second = FreePort();
    const std::string edited = "[TMainForm]\r\nPortEd_Text=" + std::to_string(second);
    WriteBytes(home / "Vellostore.ini", edited);
    proxy.Process().Signal(SIGHUP);
    ASSERT_TRUE(proxy.Process().WaitForStderr(":" + std::to_string(second) + ",", 10s));
    // Taken, not written back: an edit made meanwhile would be lost.
    EXPECT_EQ(ReadBytes(home / "Vellostore.ini"), edited);
    EXPECT_TRUE(Has(proxy.Process().Stderr(), "black.lst, строка 3 (№2), правило не действует: "))
        << proxy.Process().Stderr();
    EXPECT_TRUE(Has(proxy.Process().Stderr(),
                    "black.lst, строка 4 (№3): проверка правила не успевает завершиться"));
    EXPECT_FALSE(Has(proxy.Process().Stderr(), "строка 5 (№4)"));
    EXPECT_TRUE(Has(proxy.Process().Stderr(), "строка 6 (№5): проверка правила"));
    EXPECT_TRUE(Has(proxy.Process().Stderr(),
                    "строка 7 (№6), правило не действует: \"tracker \" начинается или кончается "
                    "пробелом"));
    EXPECT_THROW(ConnectLoopback(static_cast<std::uint16_t>(proxy.Port())), std::exception);
    at = LoopbackUrl(second, "");
    EXPECT_TRUE(blocked());

    const std::string later = ListFile({{"1", "True", "blocked", "5"}, {"2", "True", "x", "0"}});
    WriteBytes(home / "black.lst", later);
    // The settings file too: edited for the next start (a restart by the
    // service manager), it is not written over with the running settings.
    const std::string settings =
        "[TMainForm]\r\nPortEd_Text=" + std::to_string(FreePort()) + "\r\nOffLine_Checked=True\r\n";
    WriteBytes(home / "Vellostore.ini", settings);
    EXPECT_EQ(proxy.Stop(), 0);
    EXPECT_EQ(ReadBytes(home / "black.lst"), later);
    EXPECT_EQ(ReadBytes(home / "cache.lst"), partly);
    EXPECT_EQ(ReadBytes(home / "Vellostore.ini"), settings);
    EXPECT_EQ(ReadBytes(home / "users.lst"), cut);
}

// The statistics file is read by position against the users file: whatever
// happened to that file, each user's traffic must be read back in its
// column. A SIGHUP saves what was counted before it.
TEST_F(DaemonTest, TrafficStaysWithItsUserWhenTheUsersFileIsEditedByHand) {
    WriteBytes(home / "users.lst", ListFile({{"1", "True", "anna", EncodeStoredPassword("pw"), ""},
                                             {"2", "True", "local", "0000000", "127.0.0.1"}}));
    const auto localKilobytes = [&](const char* name = "local") {
        UsersList users;
        users.Load(home / "users.lst");
        StatTable table;
        table.Load(home / "stat.txt", 0, users, std::chrono::system_clock::now());
        const int column = table.FindStatListColumn(name);
        return column > 0 ? table.InternetBytes()[column - 1] / 1024 : -1;
    };
    Daemon proxy("proxy", home, FreePort());
    ASSERT_TRUE(proxy.Ready());
    ASSERT_EQ(Curl(dir, proxy.Proxy(), origin.Url("/size/102400"), dir.Path() / "b"), 0);
    // Its last bytes are counted after they reached curl: once the log tells
    // the connection's end, all of them are in the table.
    ASSERT_TRUE(WaitUntil([&] { return Has(proxy.Process().Stdout(), "Client Disconnection"); }));
    proxy.Process().Signal(SIGHUP);
    ASSERT_TRUE(proxy.Process().WaitForStderr("settings applied", 10s));
    EXPECT_EQ(localKilobytes(), 100);

    // A history copied in (from the Windows program, from a backup) is what
    // the user now wants, as an edited list is: the SIGHUP reads it.
    const std::string today = StatDateText(std::chrono::system_clock::now());
    WriteBytes(home / "stat.txt",
               ListFile({{"01.03.2026", "0/0", "7/0"}, {today, "0/0", "100/0"}}));
    const std::size_t toldBefore = proxy.Process().Stderr().size();
    proxy.Process().Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil(
        [&] { return Has(proxy.Process().Stderr().substr(toldBefore), "settings applied"); }));
    const std::string historyRow = Utf16(u"01.03.2026").substr(2);
    EXPECT_TRUE(Has(ReadBytes(home / "stat.txt"), historyRow)) << "written over";

    // A name mended in place is the same user: the column goes with it.
    WriteBytes(home / "users.lst", ListFile({{"1", "True", "anna", EncodeStoredPassword("pw"), ""},
                                             {"2", "True", "lokal", "0000000", "127.0.0.1"}}));
    const std::size_t toldBeforeRename = proxy.Process().Stderr().size();
    proxy.Process().Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] {
        return Has(proxy.Process().Stderr().substr(toldBeforeRename), "settings applied");
    }));
    EXPECT_EQ(localKilobytes("lokal"), 100);
    // Switched off by hand, the list admits nobody: told as at a start.
    WriteBytes(home / "users.lst", ListFile({{"1", "False", "lokal", "0000000", "127.0.0.1"}}));
    const std::size_t toldBeforeNobody = proxy.Process().Stderr().size();
    proxy.Process().Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] {
        return Has(proxy.Process().Stderr().substr(toldBeforeNobody), "settings applied");
    }));
    EXPECT_TRUE(Has(proxy.Process().Stderr().substr(toldBeforeNobody), "никого не допускает"));

    WriteBytes(home / "users.lst", ListFile({{"1", "True", "lokal", "0000000", "127.0.0.1"}}));
    EXPECT_EQ(proxy.Stop(), 0);
    EXPECT_EQ(localKilobytes("lokal"), 100);
    EXPECT_TRUE(Has(ReadBytes(home / "stat.txt"), historyRow));
}

// Standard output that nobody reads (a paused terminal, a stuck logger)
// fills up: the proxy goes on serving, and a stop still stops it.
TEST_F(DaemonTest, ALogNobodyReadsNeitherHoldsTheStopNorTheServing) {
    const fs::path fifo = dir.Path() / "log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // open, never read
    ASSERT_GE(reader, 0);
    Daemon proxy("proxy", home, FreePort(), "", {"sh", "-c", "exec \"$0\" >" + fifo.string()});
    ASSERT_TRUE(proxy.Ready());
    const auto port = static_cast<std::uint16_t>(proxy.Port());
    for (int i = 0; i < 300; ++i) {  // some hundred kilobytes of log
        auto client = ConnectLoopback(port);
        SendText(client, "GET " + origin.Url("/close") + " HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(ReadAll(client).ends_with("hello")) << i;
    }
    EXPECT_EQ(proxy.Stop(), 0);
    ::close(reader);
}

// Started with its standard descriptors closed (">&-", as some service
// wrappers do), it gives them neither to its files nor to connections: the
// log would be written into them.
TEST_F(DaemonTest, StartedWithoutStandardDescriptorsItWritesItsLogNowhereElse) {
    Daemon proxy("proxy", home, FreePort(), "", {"sh", "-c", "exec \"$0\" <&- >&- 2>&-"});
    const auto port = static_cast<std::uint16_t>(proxy.Port());
    ASSERT_TRUE(WaitUntil([&] {
        try {
            ConnectLoopback(port);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }));
    auto client = ConnectLoopback(port);
    SendText(client, "GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(ReadAll(client).ends_with("hello"));
    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(proxy.Process().Pid()) + "/fd/" +
                                   std::to_string(fd)),
                  "/dev/null")
            << fd;
    }
    EXPECT_EQ(proxy.Stop(), 0);
}

// A stop during heavy traffic, and kills at points moving through the
// saves, never leave a file cut short.
TEST_F(DaemonTest, AStopUnderTrafficOrAKillDuringSavesNeverLeavesATruncatedFile) {
    WriteBytes(home / "black.lst", ListFile({{"1", "True", "nothing", "0"}}));
    const int port = FreePort();
    {
        Daemon proxy("first", home, port);  // writes every file once
        ASSERT_TRUE(proxy.Ready());
        std::vector<std::unique_ptr<ChildProcess>> downloads;
        for (int i = 0; i < 8; ++i) {
            downloads.push_back(std::make_unique<ChildProcess>(
                "curl" + std::to_string(i),
                std::vector<std::string>{"curl", "-s", "-x", proxy.Proxy(), "-o", "/dev/null",
                                         origin.Url("/size/" + std::to_string(200 << 20))},
                dir.Path()));
        }
        ASSERT_TRUE(WaitUntil([&] { return origin.Requests().size() == 8; }));
        ASSERT_EQ(proxy.Stop(), 0);
        ExpectWholeFiles(home);
    }
    for (int round = 0; round < 12; ++round) {
        ChildProcess proxy("round" + std::to_string(round), {VELLOSTORED_PATH}, dir.Path(),
                           {{"VELLOSTORE_HOME", home.string()}});
        ASSERT_TRUE(proxy.WaitForStderr("listening on", 20s)) << proxy.Stderr();
        // Saving on SIGHUP, then shutting down (which saves everything):
        // killed at a point that moves a little further on each round.
        proxy.Signal(SIGHUP);
        proxy.Signal(SIGTERM);
        std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
        proxy.Signal(SIGKILL);
        proxy.Wait(5s);
        ExpectWholeFiles(home);
    }
    // The temporaries of the saves the kills cut short (one planted, as a
    // kill may have missed every save) go at the next start; files named
    // otherwise, and a folder named like one, are not the saves' and stay.
    std::vector<std::string> others = {".stat.txt.2sZFS", "stat.txt.2sZFSk", ".stat.txt.2sZFSk.bak",
                                       ".notes.txt.2sZFSk", ".users.lst.Ab-123"};
    for (const std::string& name : others) {
        WriteBytes(home / name, "not a save");
    }
    WriteBytes(home / ".users.lst.AbC123", "1,True,cut sho");
    fs::create_directory(home / ".black.lst.qwerty");
    others.push_back(".black.lst.qwerty");
    Daemon proxy("last", home, port);
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(home)) {
        const std::string name = item.path().filename().string();
        if (name.starts_with('.') || name.find("2sZFSk") != std::string::npos) {
            left.push_back(name);
        }
    }
    std::sort(left.begin(), left.end());
    std::sort(others.begin(), others.end());
    EXPECT_EQ(left, others);
    EXPECT_EQ(proxy.Stop(), 0);
}

// Descriptors a process holds below `limit`: those it inherited above it
// take no room under its open files limit. With `socketsOnly`, its sockets
// alone, which a browser accepted adds to whatever file it opens or closes
// meanwhile.
std::size_t DescriptorsBelow(pid_t pid, std::size_t limit, bool socketsOnly = false) {
    std::error_code error;
    std::size_t count = 0;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        if (std::stoul(fd.path().filename().string()) < limit &&
            (!socketsOnly || fs::read_symlink(fd, error).string().starts_with("socket:"))) {
            ++count;
        }
    }
    return count;
}

// An account at its thread limit (ulimit -u, a service's TasksMax): the
// browsers no thread can serve are turned away, and the log says why, once,
// and again when threads start. Root is bound by no thread limit, so the
// daemon runs as nobody then.
TEST_F(DaemonTest, BrowsersNoThreadCanServeAreToldOfInTheLog) {
    std::vector<std::string> asUser;  // the daemon's limits are its own user's to change
    if (::geteuid() == 0) {
        fs::create_directories(home);
        for (const fs::path& folder : {dir.Path(), home}) {
            ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        }
        asUser = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }
    Daemon proxy("proxy", home, FreePort(), "", asUser);
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const auto limitThreads = [&](const std::string& soft) {
        std::vector<std::string> command = asUser;
        command.insert(command.end(), {"prlimit", "--pid", std::to_string(proxy.Process().Pid()),
                                       "--nproc=" + soft + ":"});
        return RunProgram(command, dir.Path());
    };
    ASSERT_EQ(limitThreads("1"), 0) << ReadBytes(dir.Path() / "run.stderr.txt");
    EXPECT_EQ(ReadAll(ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()))), "");
    EXPECT_TRUE(WaitUntil([&] { return Has(proxy.Process().Stdout(), "Out of threads"); }));
    rlimit usual{};
    ::getrlimit(RLIMIT_NPROC, &usual);  // the daemon's own, inherited
    ASSERT_EQ(limitThreads(usual.rlim_max == RLIM_INFINITY ? "unlimited"
                                                           : std::to_string(usual.rlim_max)),
              0)
        << ReadBytes(dir.Path() / "run.stderr.txt");
    // The episode ends with a connection taken after a pause in the losses.
    const std::string request = "GET " + origin.Url("/close") + " HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_TRUE(WaitUntil([&] {
        auto browser = ConnectLoopback(static_cast<std::uint16_t>(proxy.Port()));
        SendText(browser, request);
        EXPECT_TRUE(Has(ReadAll(browser), "hello"));
        return Has(proxy.Process().Stdout(), "Threads start again, 1 connections refused");
    }));
}

// User and system CPU time a process has used, in seconds.
double CpuSeconds(pid_t pid) {
    const std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
    unsigned long user = 0, system = 0;  // fields 14 and 15, after the name
    std::sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c%*d%*d%*d%*d%*d%*u%*u%*u%*u%*u%lu%lu",
                &user, &system);
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Under a low open files limit: browsers beyond it are closed at once (one
// log line for all of them), a request that finds no descriptor for its
// outbound socket ends, nothing spins, and the proxy serves again as soon
// as descriptors are free.
TEST_F(DaemonTest, RunningOutOfDescriptorsEndsConnectionsWithoutSpinningAndRecovers) {
    constexpr std::size_t kLimit = 40;
    // A leftover temporary: its removal ends the start-up sweep of the
    // cache folder, whose descriptors would otherwise come and go at any
    // moment of a slow machine and spoil the counting below.
    const fs::path leftover = home / "Cache" / (std::string(cache::kTemporaryPrefix) + "left");
    WriteBytes(leftover, "x");
    Daemon proxy("proxy", home, FreePort(), "",
                 {"prlimit", "--nofile=" + std::to_string(kLimit), "--"});
    ASSERT_TRUE(proxy.Ready()) << proxy.Process().Stderr();
    const pid_t pid = proxy.Process().Pid();
    const auto port = static_cast<std::uint16_t>(proxy.Port());
    const double cpuBefore = CpuSeconds(pid);
    const auto started = std::chrono::steady_clock::now();
    const auto taken = [pid] { return DescriptorsBelow(pid, kLimit); };
    const auto sockets = [pid] { return DescriptorsBelow(pid, kLimit, true); };
    const auto browser = [port] {
        net::Socket socket = ConnectLoopback(port);
        test::LimitWaits(socket);
        return socket;
    };

    // Once the start-up sweep has removed the leftover and let the cache
    // folder go, descriptors come and go with browsers only.
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    const std::string cacheFolder = (home / "Cache").string();
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code error;
        return !fs::exists(leftover) &&
               std::none_of(
                   fs::directory_iterator(fds, error), fs::directory_iterator(),
                   [&](const fs::directory_entry& fd) {
                       return fs::read_symlink(fd, error).string().starts_with(cacheFolder);
                   });
    }));
    // Browsers until the proxy turns one away: normally at the limit, a
    // little earlier when the machine is slow to let some descriptor go.
    std::vector<net::Socket> silent;  // a descriptor each in the proxy
    const auto turnedAway = [](const net::Socket& socket) {
        char byte;
        return ::recv(socket.Fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
    };
    const auto fill = [&] {
        for (bool full = false; !full && taken() < kLimit;) {
            const std::size_t before = sockets();
            net::Socket next = browser();
            ASSERT_TRUE(WaitUntil([&] { return sockets() > before || (full = turnedAway(next)); }));
            if (!full) {
                silent.push_back(std::move(next));
            }
        }
    };
    fill();
    const std::size_t level = taken();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadAll(browser()), "") << i;
    }
    const std::string shortage = "Out of file descriptors";
    ASSERT_TRUE(WaitUntil([&] { return Has(proxy.Process().Stdout(), shortage); }));
    const std::string log = proxy.Process().Stdout();
    EXPECT_EQ(log.find(shortage, log.find(shortage) + 1), std::string::npos) << log;

    const auto letGo = [&](std::size_t browsers, std::size_t room) {
        silent.resize(silent.size() - browsers);
        ASSERT_TRUE(WaitUntil([&] { return taken() <= level - room; }));
    };
    // Room for the browser's socket only, none for its outbound one: that
    // request ends with the 502 page.
    const std::string url = origin.Url("/size/" + std::to_string(16 << 20));
    const std::string request = "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n";
    letGo(1, 1);
    auto stranded = browser();
    SendText(stranded, request);
    const std::string strandedAnswer = ReadAll(stranded, 200);
    EXPECT_TRUE(strandedAnswer.starts_with("HTTP/1.0 502")) << strandedAnswer;
    silent.push_back(std::move(stranded));
    // Room for both sockets and the one a blocked accept holds ready: a
    // download needs nothing more, and comes whole.
    letGo(3, 3);
    auto download = browser();
    SendText(download, request);
    const std::string whole = ReadResponse(download);
    EXPECT_TRUE(whole.starts_with("HTTP/1.1 200 OK")) << whole.substr(0, 200);
    EXPECT_EQ(whole.size() - whole.find("\r\n\r\n") - 4, 16u << 20);

    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(CpuSeconds(pid) - cpuBefore, 0.2 + wall / 2) << wall << " s";

    silent.clear();
    ASSERT_EQ(Curl(dir, proxy.Proxy(), url, dir.Path() / "whole"), 0);
    EXPECT_TRUE(FileHoldsBody(dir.Path() / "whole", 16 << 20));
    // A stop while every descriptor is taken ends every connection too.
    fill();
    EXPECT_EQ(proxy.Stop(), 0);
}

// Mistakes in a service unit end the start with a status a supervisor sees
// as a failure: options of another program, and a mistyped data folder (run
// on defaults, it would listen on a port nobody chose, on every interface).
TEST_F(DaemonTest, AnswersItsVersionAndEndsAMistakenStartWithAFailure) {
    ChildProcess version("version", {VELLOSTORED_PATH, "--version"}, dir.Path());
    ASSERT_EQ(version.Wait(5s), 0);
    EXPECT_TRUE(version.Stdout().starts_with("vellostored "));
    ChildProcess option("option", {VELLOSTORED_PATH, "--port", "3128"}, dir.Path());
    EXPECT_EQ(option.Wait(5s), 2);
    EXPECT_TRUE(Has(option.Stderr(), "unknown argument --port")) << option.Stderr();
    ChildProcess missing("missing", {VELLOSTORED_PATH}, dir.Path(),
                         {{"VELLOSTORE_HOME", (dir.Path() / "no-such-folder").string()}});
    EXPECT_EQ(missing.Wait(10s), 1);
    EXPECT_TRUE(Has(missing.Stderr(), "Нет папки данных")) << missing.Stderr();
}

}  // namespace
}  // namespace vs::test
