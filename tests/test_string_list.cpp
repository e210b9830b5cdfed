#include "base/string_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/cp1251.h"

namespace vs {
namespace {

TEST(StringList, LookupFoldsCaseLikeTheCodePage) {
    TMyStringList list;
    EXPECT_EQ(list.Add("http://a/"), 0u);
    EXPECT_EQ(list.Add(cp1251::FromUtf8("http://ПРИМЕР.рф/Ёлка")), 1u);
    EXPECT_EQ(list.Add("HTTP://A/"), 2u);
    EXPECT_EQ(list.IndexOf(cp1251::FromUtf8("http://пример.РФ/ёЛКА")), 1);
    EXPECT_EQ(list.IndexOf("http://A/"), 0);  // the first of two
    EXPECT_EQ(list.IndexOf("http://b/"), -1);

    EXPECT_TRUE(list.Remove("Http://a/"));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Get(1), "HTTP://A/");
    EXPECT_TRUE(list.Remove("http://a/"));
    EXPECT_FALSE(list.Remove("http://a/"));
    EXPECT_EQ(list.Count(), 1u);
}

TEST(StringList, EachEntryIsRemovedByExactlyOneThread) {
    TMyStringList list;
    constexpr int kEntries = 500;
    for (int i = 0; i < kEntries; ++i) {
        list.Add("url" + std::to_string(i));
    }
    std::atomic<int> removed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEntries; ++i) {
                if (list.Remove("URL" + std::to_string(i))) {
                    ++removed;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(removed.load(), kEntries);
    EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
}  // namespace vs
