// The application core as both programs run it, in a data directory of its
// own: what the window's calls do to a running proxy.

#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "shell/proxy_service.h"
#include "support/child_process.h"
#include "support/list_file.h"
#include "support/net_helpers.h"
#include "support/service_start.h"
#include "support/text.h"
#include "support/wait.h"

namespace vs {
namespace {

// A service on a free port admitting this machine.
class ServiceTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::unique_ptr<ProxyService> service;

    void Start(const std::string& settings = "") {
        service =
            std::make_unique<ProxyService>(dir.Path(), dir.Path() / "vellostore", proxy::LogSink{});
        ASSERT_TRUE(test::StartOnAFreePort(*service, dir.Path(), settings));
    }
    net::Socket Connect() { return test::ConnectLoopback(service->Listener().BoundPort()); }
    std::string StatusOf(const std::string& url) { return test::StatusThrough(*service, url); }
    // Just past the statistics' periodic save.
    void Tick1801() {
        for (int tick = 0; tick < 1801; ++tick) {
            service->Tick100ms();
        }
    }
};

TEST_F(ServiceTest, StatisticsAreSavedPeriodicallyAndAFailedSaveIsToldOnce) {
    Start();
    const auto stat = dir.Path() / "stat.txt";
    service->Tick100ms();
    EXPECT_FALSE(std::filesystem::exists(stat));  // not at every tick
    Tick1801();
    EXPECT_TRUE(std::filesystem::exists(stat));
    EXPECT_EQ(service->IdlePass(), std::nullopt);

    // A folder where the file should go: no save can replace it (as root too).
    std::filesystem::remove(stat);
    std::filesystem::create_directory(stat);
    Tick1801();
    const auto told = service->IdlePass();
    ASSERT_TRUE(told.has_value());
    EXPECT_NE(told->find("stat.txt"), std::string::npos) << *told;
    Tick1801();
    EXPECT_EQ(service->IdlePass(), std::nullopt) << "told again at every periodic save";
    std::filesystem::remove(stat);
    Tick1801();
    EXPECT_TRUE(std::filesystem::is_regular_file(stat));
    EXPECT_EQ(service->IdlePass(), std::nullopt);

    // What the lists' edits did not reach at close is told after shutdown.
    std::filesystem::create_directory(dir.Path() / "black.lst");
    service->ShutDown();
    const auto atClose = service->TakeUserMessages();
    ASSERT_TRUE(atClose.has_value());
    EXPECT_NE(atClose->find("black.lst"), std::string::npos) << *atClose;
    EXPECT_EQ(atClose->find("stat.txt"), std::string::npos) << *atClose;
}

// A history copied in while the window runs (from the Windows program,
// from a backup) is not written over by the periodic saves or the close.
TEST_F(ServiceTest, AStatisticsFileCopiedInWhileRunningIsKeptAndToldOnce) {
    Start();
    const auto stat = dir.Path() / "stat.txt";
    Tick1801();
    ASSERT_TRUE(std::filesystem::exists(stat));
    const std::string copied = test::ListFile({{"01.03.2026", "0/0", "7/0"}});
    test::WriteBytes(stat, copied);
    Tick1801();
    const auto told = service->IdlePass();
    ASSERT_TRUE(told.has_value());
    EXPECT_NE(told->find("stat.txt"), std::string::npos) << *told;
    Tick1801();
    EXPECT_EQ(service->IdlePass(), std::nullopt) << "told again at every periodic save";
    service->ShutDown();
    EXPECT_EQ(test::ReadBytes(stat), copied);
}

// Logging out may take the display before the quit arrives, ending the
// process: the session manager's request for the data saves what the exit
// would, and the proxy goes on serving until then.
TEST_F(ServiceTest, TheSessionsEndSavesTheDaysCountsAndEditsWhileTheProxyServes) {
    Start();
    test::HttpOrigin origin;
    ASSERT_EQ(StatusOf(origin.Url("/size/" + std::to_string(300 * 1024))), "HTTP/1.1 200 OK");
    service->Lists().black.Append(RuleCells{true, "adserver", "", false, false, 0});
    const auto stat = dir.Path() / "stat.txt";
    const std::string today = StatDateText(std::chrono::system_clock::now());
    // The connection's counts reach the queue as it ends.
    EXPECT_TRUE(test::WaitUntil([&] {
        service->SaveForSessionEnd();
        return std::filesystem::exists(stat) &&
               test::ReadBytes(stat) != test::ListFile({{today, "0/0"}});
    })) << test::ReadBytes(stat);
    EXPECT_TRUE(
        test::Has(test::ReadBytes(dir.Path() / "black.lst"), test::Utf16(u"adserver").substr(2)));
    EXPECT_EQ(StatusOf(origin.Url("/size/10")), "HTTP/1.1 200 OK");
    // A user renamed by hand meanwhile keeps the column when the close reads
    // the file, as a SIGHUP would: the counts are not left uncaptioned.
    test::WriteBytes(dir.Path() / "users.lst",
                     test::ListFile({{"1", "True", "local host", "0000000", "127.0.0.1"}}));
    service->ShutDown();
    UsersList users;
    ASSERT_TRUE(users.Load(dir.Path() / "users.lst"));
    StatTable reread;
    reread.Load(stat, 0, users, std::chrono::system_clock::now());
    EXPECT_EQ(reread.ColumnCount(), 2);
    EXPECT_GT(reread.InternetBytes()[0], 0);
}

// A download counts in the column of the row it was admitted as, whatever
// happens to the row's name while it runs: renamed (and another row given
// the old name), cleared for retyping, or the same as an earlier row's.
TEST_F(ServiceTest, BytesOfADownloadCountInItsRowsColumnWhateverItsNameBecomes) {
    Start();
    std::atomic<int> released{0};
    test::LoopbackServer origin([&released](net::Socket& s) {
        test::ReadUntil(s, "\r\n\r\n");
        const int before = released.load();
        net::SendAll(
            s, "HTTP/1.1 200 OK\r\nContent-Length: 600000\r\n\r\n" + std::string(300000, 'a'));
        test::WaitUntil([&] { return released.load() > before; });
        net::SendAll(s, std::string(300000, 'b'));
    });
    const auto& internet = service->Statistics().InternetBytes();
    const auto download = [&](const std::function<void()>& midway) {
        auto client = Connect();
        test::SendText(client, "GET " + test::LoopbackUrl(origin.Port(), "/") +
                                   " HTTP/1.1\r\nHost: x\r\n\r\n");
        test::ReadUntil(client, "\r\n\r\n");
        test::ReadExactly(client, 300000);
        midway();
        ++released;
        test::ReadExactly(client, 300000);
    };
    UsersList& users = service->Lists().users;
    download([&] {
        users.SetName(0, "renamed");
        service->Statistics().RenameUser(0, users);
        users.Append(UserRow{true, "local", "", "10.0.0.9"});
        service->Statistics().AlignWithUsers(*users.Snapshot());
    });
    EXPECT_TRUE(test::WaitUntil([&] {
        service->IdlePass();
        return internet.at(0) >= 600000;
    })) << internet.at(0);
    EXPECT_EQ(internet.at(1), 0);

    // This machine becomes the second of two rows named alike.
    const std::int64_t first = internet.at(0);
    users.SetIp(0, "10.0.0.8");
    users.SetName(1, "renamed");
    users.SetIp(1, "127.0.0.1");
    service->Statistics().RenameUser(1, users);
    download([&] {
        users.SetName(1, "");
        service->Statistics().RenameUser(1, users);
    });
    EXPECT_TRUE(test::WaitUntil([&] {
        service->IdlePass();
        return internet.at(1) >= 600000;
    })) << internet.at(1);
    EXPECT_EQ(internet.at(0), first);
    service->ShutDown();
}

// "stat.txt" is read by position against "users.lst": the two saved apart
// after a user was deleted (one failing on a full disk, or an end between
// them) give every later user's history to the one above.
TEST_F(ServiceTest, TheUsersFileAndTheStatisticsChangeTogetherOrNotAtAll) {
    Start();
    UsersList& users = service->Lists().users;
    users.Append(UserRow{true, "anna", "", "10.0.0.1"});
    service->SaveStatistics();
    const auto usersFile = dir.Path() / "users.lst";
    const std::string before = test::ReadBytes(usersFile);
    // A folder where the table should go: no save can replace it (as root too).
    const auto stat = dir.Path() / "stat.txt";
    std::filesystem::remove(stat);
    std::filesystem::create_directory(stat);
    users.Delete(0);
    service->Statistics().DeleteUserColumn(0, *users.Snapshot());
    service->SaveStatistics();
    EXPECT_EQ(test::ReadBytes(usersFile), before);
    const auto fromWindow = service->SaveUsersFromWindow();
    EXPECT_TRUE(fromWindow && test::Has(*fromWindow, "users.lst"));
    EXPECT_EQ(test::ReadBytes(usersFile), before);

    std::filesystem::remove(stat);
    service->SaveStatistics();
    UsersList saved;
    ASSERT_TRUE(saved.Load(usersFile));
    ASSERT_EQ(saved.Count(), 1u);
    EXPECT_EQ(saved.Row(0).name, "anna");

    // Nor at close.
    const std::string withAnna = test::ReadBytes(usersFile);
    users.Insert(0, UserRow{true, "bob", "", "10.0.0.2"});
    std::filesystem::remove(stat);
    std::filesystem::create_directory(stat);
    service->ShutDown();
    EXPECT_EQ(test::ReadBytes(usersFile), withAnna);
    EXPECT_TRUE(test::Has(service->TakeUserMessages().value_or(""), "users.lst"));
}

// A password written in clear in users.lst is named at the start with what
// the next save does to it: scramble it, or keep one the scrambled form
// cannot hold as it was written. So is a network written where an address
// belongs, which would leave its user with nothing but 407s.
TEST_F(ServiceTest, PasswordsWrittenInClearAreToldWithWhatTheSaveDoes) {
    std::vector<std::vector<std::string>> rows = {{"1", "True", "local", "0000000", "127.0.0.1"},
                                                  {"2", "True", "anna", "secret", "10.0.0.0/8"},
                                                  {"3", "True", "li", "密码", ""}};
    // A list typed in by hand: past the first few, the rest are counted.
    for (int user = 4; user <= 40; ++user) {
        const std::string number = std::to_string(user);
        rows.push_back({number, "True", std::string("u").append(number), "pw", ""});
    }
    rows.push_back({"41", "True", "bob ", "", "10.0.0.2"});  // a blank no grid shows
    test::WriteBytes(dir.Path() / "users.lst", test::ListFile(rows));
    Start();
    const std::string told = service->TakeUserMessages().value_or("");
    EXPECT_TRUE(test::Has(told, "ещё паролей, записанных открытым текстом: 29"));
    EXPECT_FALSE(test::Has(told, "строка 12:"));
    EXPECT_TRUE(test::Has(told,
                          "строка 2: пароль записан открытым текстом; он принят и при "
                          "сохранении будет скрыт"));
    EXPECT_TRUE(test::Has(told,
                          "строка 3: пароль записан открытым текстом; он принят, но "
                          "останется открытым"));
    EXPECT_TRUE(test::Has(told, "строка 2 (№2): \"10.0.0.0/8\" — не адрес компьютера"));
    EXPECT_TRUE(test::Has(told, "строка 41 (№41): в имени \"bob \" пробел"));
    EXPECT_FALSE(test::Has(told, "\"127.0.0.1\""));
    service->ShutDown();
    EXPECT_TRUE(test::Has(test::ReadBytes(dir.Path() / "users.lst"),
                          test::ListFile({{"3", "True", "li", "密码", ""}}).substr(2)));
}

// A FIFO in a list's place (a user's experiment, a tool's leftover) is told
// of and left alone: reading or opening it would wait for a writer for good.
TEST_F(ServiceTest, AFifoInAListsPlaceOrASettingsLinkToNothingIsToldAndTheStartGoesOn) {
    ASSERT_EQ(::mkfifo((dir.Path() / "black.lst").c_str(), 0600), 0);
    Start();
    EXPECT_TRUE(test::Has(service->TakeUserMessages().value_or(""), "black.lst не прочитан"));
    service->ShutDown();
    EXPECT_TRUE(std::filesystem::is_fifo(dir.Path() / "black.lst"));

    // A settings file linked to a share not yet there runs on the defaults:
    // said so, and the link stays for the share's return.
    ProxyService again(dir.Path(), dir.Path() / "vellostore", proxy::LogSink{});
    std::filesystem::remove(dir.Path() / "Vellostore.ini");
    std::filesystem::create_symlink(dir.Path() / "share" / "Vellostore.ini",
                                    dir.Path() / "Vellostore.ini");
    again.StartUp();
    EXPECT_TRUE(test::Has(again.TakeUserMessages().value_or(""), "настройками по умолчанию"));
    again.ShutDown();
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path() / "Vellostore.ini"));

    // Linked to the null device, a list or the settings are switched off:
    // read as empty, without a word, and the links stay.
    for (const char* name : {"Vellostore.ini", "black.lst"}) {
        std::filesystem::remove(dir.Path() / name);
        std::filesystem::create_symlink("/dev/null", dir.Path() / name);
    }
    ProxyService off(dir.Path(), dir.Path() / "vellostore", proxy::LogSink{});
    off.StartUp();
    const std::string told = off.TakeUserMessages().value_or("");
    EXPECT_FALSE(test::Has(told, "black.lst")) << told;
    EXPECT_FALSE(test::Has(told, "Vellostore.ini")) << told;
    off.ShutDown();
    for (const char* name : {"Vellostore.ini", "black.lst"}) {
        EXPECT_EQ(std::filesystem::read_symlink(dir.Path() / name), "/dev/null");
    }
}

// A crash's leftovers are swept from each cache folder once: a walk of a
// large cache at every Apply queued up, and the exit waited for them all.
TEST_F(ServiceTest, EachCacheFolderIsSweptForLeftoversOnce) {
    const auto leftover = [&](const char* folder) {
        return dir.Path() / folder / "h" / ".vs-tmp-999-1";
    };
    test::WriteBytes(leftover("Cache"), "crash leftover");
    test::WriteBytes(leftover("Other"), "crash leftover");
    Start();
    service->WaitForCacheSweeps();
    EXPECT_FALSE(std::filesystem::exists(leftover("Cache")));
    test::WriteBytes(leftover("Cache"), "another process's");
    service->Apply();
    service->SettingsModel().cacheDir = "Other";
    service->Apply();
    service->WaitForCacheSweeps();
    EXPECT_TRUE(std::filesystem::exists(leftover("Cache")));
    EXPECT_FALSE(std::filesystem::exists(leftover("Other")));
}

TEST_F(ServiceTest, ACacheFolderThatCannotBeMadeIsToldOnceAndTheProxyServesWithoutIt) {
    const auto parent = dir.Path() / "no-such-parent";
    const auto missing = parent / "Cache";
    // Every answer is one to store, so storing would make the folders.
    test::WriteBytes(dir.Path() / "cache.lst", test::ListFile({{"1", "True", ".", "0"}}));
    Start("CacheDir_Text=" + missing.string() + "\n");
    const auto told = service->IdlePass();
    ASSERT_TRUE(told.has_value());
    EXPECT_NE(told->find(missing.string()), std::string::npos) << *told;
    test::HttpOrigin origin;
    {
        net::Socket client = Connect();
        test::SendText(client, "GET " + origin.Url("/") + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(test::ReadResponse(client).starts_with("HTTP/1.1 200 OK"));
    }
    // An entry's folders are made before its body is relayed: the whole
    // answer having come, none was made, so nothing is stored or served.
    EXPECT_FALSE(std::filesystem::exists(parent));
    service->Apply();
    EXPECT_EQ(service->IdlePass(), std::nullopt) << "the same folder told again";
    service->SettingsModel().cacheDir = "Cache";
    service->Apply();
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "Cache"));
    EXPECT_EQ(service->IdlePass(), std::nullopt);
    // A Windows folder, kept from the Windows program's settings: the
    // user learns where the cache is instead.
    service->SettingsModel().cacheDir = "C:\\Program Files\\Vellostore\\Cache\\";
    service->Apply();
    const auto windows = service->IdlePass();
    ASSERT_TRUE(windows.has_value());
    EXPECT_NE(windows->find("путь Windows"), std::string::npos) << *windows;
    EXPECT_NE(windows->find((dir.Path() / "Cache").string()), std::string::npos) << *windows;
    service->ShutDown();
}

// A folder's name in letters the settings file's code page lacks is the
// folder used, and the file keeps it.
TEST_F(ServiceTest, TheCacheFolderIsTheOneNamedInWhateverLetters) {
    namespace fs = std::filesystem;
    test::WriteBytes(dir.Path() / "cache.lst", test::ListFile({{"1", "True", ".", "0"}}));
    Start("CacheDir_Text=" + (dir.Path() / "キャッシュ").string() + "\n");
    test::HttpOrigin origin;
    const auto storedIn = [&](const fs::path& folder, const std::string& path) {
        EXPECT_EQ(StatusOf(origin.Url(path)), "HTTP/1.1 200 OK");
        return test::WaitUntil([&] { return !test::FilesUnder(folder).empty(); });
    };
    EXPECT_TRUE(storedIn(dir.Path() / "キャッシュ", "/a"));

    service->SettingsModel().cacheDir = (dir.Path() / "緩存").string();
    service->Apply();
    EXPECT_TRUE(storedIn(dir.Path() / "緩存", "/b"));
    service->ShutDown();
    EXPECT_EQ(LoadSettings(dir.Path() / "Vellostore.ini").cacheDir, (dir.Path() / "緩存").string());
}

// The tray's check items and the settings boxes act while downloads run:
// only a new port or a new parent in use cuts connections.
TEST_F(ServiceTest, SwitchesActOnTheNextRequestWithoutCuttingARunningDownload) {
    Start("BlackListCB_Checked=False\n");
    test::HttpOrigin origin;
    constexpr std::uint64_t kSize = 1ULL << 30;
    const std::string big = origin.Url("/size/" + std::to_string(kSize));
    service->Lists().black.Append(RuleCells{true, "/size/", "", false, false, 0});

    net::Socket download = Connect();
    test::SendText(download, "GET " + big + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string head = test::ReadUntil(download, "\r\n\r\n");
    ASSERT_TRUE(head.starts_with("HTTP/1.1 200")) << head;
    std::uint64_t received = head.size() - (head.find("\r\n\r\n") + 4);
    std::vector<char> block(1 << 20);
    auto readBody = [&](std::uint64_t upTo) {
        while (received < upTo) {
            const ssize_t n = ::recv(download.Fd(), block.data(),
                                     std::min<std::uint64_t>(block.size(), upTo - received), 0);
            if (n <= 0) {
                return;
            }
            received += static_cast<std::uint64_t>(n);
        }
    };
    readBody(kSize / 8);
    ASSERT_EQ(received, kSize / 8);

    const std::uint16_t port = service->Listener().BoundPort();
    service->SettingsModel().blackListEnabled = true;
    service->Apply();
    EXPECT_FALSE(service->Listener().Busy());
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/size/10")), " 403 "));
    readBody(kSize / 4);
    // A parent not in use is no forwarding target: a new one cuts nothing.
    test::HttpOrigin parent;
    net::Socket kept = Connect();
    test::SendText(kept, "GET " + origin.Url("/before") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(test::ReadResponse(kept).starts_with("HTTP/1.1 200"));
    service->SettingsModel().parentPort = std::to_string(parent.Port());
    service->Apply();
    ASSERT_TRUE(test::WaitUntil([&] { return !service->Listener().Busy(); }));
    readBody(kSize * 3 / 8);
    service->SettingsModel().offline = true;
    service->SettingsModel().blackListEnabled = false;
    service->Apply();
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/elsewhere")), " 404 "));
    service->SettingsModel().offline = false;
    service->Apply();
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/size/10")), " 200 "));

    readBody(kSize);
    EXPECT_EQ(received, kSize);
    EXPECT_EQ(service->Listener().BoundPort(), port);
    EXPECT_FALSE(service->TakeListenerReport().has_value());  // never restarted
    EXPECT_TRUE(test::Has(test::ReadBytes(dir.Path() / "Vellostore.ini"), "OffLine_Checked=False"));

    // Switched on, it is every request's parent, also on a connection opened
    // before it moved: none goes to the one before, with the new credentials.
    service->SettingsModel().useParent = true;
    service->PublishSwitches();
    test::SendText(kept, "GET " + origin.Url("/after") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(test::ReadResponse(kept).starts_with("HTTP/1.1 200"));
    EXPECT_TRUE(test::Has(StatusOf(origin.Url("/through-the-parent")), " 200 "));
    EXPECT_EQ(parent.Requests().size(), 2u);
    EXPECT_FALSE(service->TakeListenerReport().has_value());
    service->ShutDown();
}

}  // namespace
}  // namespace vs
