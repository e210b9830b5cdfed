// The stop list is shared by the monitor and every worker: each stopped URL
// is taken by exactly one of them, whatever the letter case, and only by a
// download that was under way when the stop was given.

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
    EXPECT_FALSE(list.Remove("http://other/", 0));
    EXPECT_TRUE(list.Remove(cp1251::FromUtf8("http://пример.РФ/ёЛКА"), 0));
    EXPECT_FALSE(list.Remove(cp1251::FromUtf8("http://пример.РФ/ёЛКА"), 0));

    // A stop given on a row that had ended is no stop of the next download;
    // nor does that download's look take the stop from a stalled one begun
    // before it.
    const StopList::Mark stalled = list.Latest();
    list.Add("http://host/ended");
    const StopList::Mark begun = list.Latest();
    EXPECT_FALSE(list.Remove("http://host/ended", begun));
    EXPECT_TRUE(list.Remove("http://host/ended", stalled));
    EXPECT_EQ(list.Count(), 0u);
    // Stops nobody takes are forgotten, the oldest first, and not kept for good.
    for (std::size_t i = 0; i <= StopList::kMostStops; ++i) {
        list.Add("http://host/gone" + std::to_string(i));
    }
    EXPECT_EQ(list.Count(), StopList::kMostStops);
    EXPECT_FALSE(list.Remove("http://host/gone0", stalled));
    EXPECT_TRUE(list.Remove("http://host/gone1", stalled));

    StopList shared;

    constexpr int kUrls = 500;
    for (int i = 0; i < kUrls; ++i) {
        shared.Add("url" + std::to_string(i));
    }
    std::atomic<int> taken{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < kUrls; ++i) {
                taken += shared.Remove("URL" + std::to_string(i), 0) ? 1 : 0;
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(taken.load(), kUrls);
    EXPECT_EQ(shared.Count(), 0u);
}

}  // namespace
}  // namespace vs::proxy
