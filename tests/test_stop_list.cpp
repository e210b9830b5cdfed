// The stop list is shared by the monitor and every worker: each stopped URL
// is taken by exactly one of them, whatever the letter case.

#include "proxy/stop_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/cp1251.h"

namespace vs::proxy {
namespace {

TEST(StopList, EachStoppedUrlIsTakenOnceWhateverItsCase) {
    StopList list;
    list.Add(cp1251::FromUtf8("http://ПРИМЕР.рф/Ёлка"));
    EXPECT_FALSE(list.Remove("http://other/"));
    EXPECT_TRUE(list.Remove(cp1251::FromUtf8("http://пример.РФ/ёЛКА")));
    EXPECT_FALSE(list.Remove(cp1251::FromUtf8("http://пример.РФ/ёЛКА")));

    constexpr int kUrls = 500;
    for (int i = 0; i < kUrls; ++i) {
        list.Add("url" + std::to_string(i));
    }
    std::atomic<int> taken{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < kUrls; ++i) {
                taken += list.Remove("URL" + std::to_string(i)) ? 1 : 0;
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(taken.load(), kUrls);
    EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
}  // namespace vs::proxy
