// The application core as both programs run it, in a data directory of its
// own.

#include <gtest/gtest.h>

#include <fstream>

#include "shell/proxy_service.h"
#include "support/child_process.h"

namespace vs {
namespace {

TEST(ProxyService, StatisticsAreSavedEvery1801Ticks) {
    test::TempDir dir;
    std::ofstream(dir.Path() / "Vellostore.ini") << "[TMainForm]\nPortEd_Text=0\n";
    ProxyService service(dir.Path(), dir.Path() / "vellostore", {});
    ASSERT_FALSE(service.StartUp().has_value());
    const auto stat = dir.Path() / "stat.txt";
    for (int tick = 0; tick < 1800; ++tick) {
        service.Tick100ms();
    }
    EXPECT_FALSE(std::filesystem::exists(stat));
    service.Tick100ms();
    EXPECT_TRUE(std::filesystem::exists(stat));
    std::filesystem::remove(stat);
    for (int tick = 0; tick < 1800; ++tick) {
        service.Tick100ms();
    }
    EXPECT_FALSE(std::filesystem::exists(stat));
    service.ShutDown();
}

TEST(ProxyService, ABusyPortLeavesTheProxyRunningWithTheMessage) {
    test::TempDir dir;
    net::Socket taken = net::ListenTcp("0.0.0.0", 0, 1);
    std::ofstream(dir.Path() / "Vellostore.ini")
        << "[TMainForm]\nPortEd_Text=" << net::LocalPort(taken) << "\n";
    ProxyService service(dir.Path(), dir.Path() / "vellostore", {});
    auto message = service.StartUp();
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(*message, PortBusyMessage(net::LocalPort(taken)));
    EXPECT_FALSE(service.Server().Active());
    // The rest of the core works: the cache folder is there, applying a
    // free port starts the listener.
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "Cache"));
    service.SettingsModel().port = std::to_string(0);
    EXPECT_FALSE(service.Apply().has_value());
    EXPECT_TRUE(service.Server().Active());
    service.ShutDown();
}

}  // namespace
}  // namespace vs
