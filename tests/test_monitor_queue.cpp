// The monitor queue keeps every entry that matters and stays small under a
// flood of progress and traffic entries; the model applies entries as the
// monitor shows them.

#include <gtest/gtest.h>

#include "proxy/monitor_queue.h"
#include "shell/monitor_model.h"

namespace vs::proxy {
namespace {

TCmd NewRow(std::int32_t index, std::string url) {
    TCmd e;
    e.Index = index;
    e.Text = std::move(url);
    return e;
}

TCmd Progress(std::int32_t row, std::int64_t received, std::int32_t percent) {
    TCmd e;
    e.Index = row;
    e.ReceivedBytes = received;
    e.Progress = percent;
    return e;
}

TCmd Bytes(std::int32_t kind, std::int32_t user, std::int32_t n) {
    TCmd e;
    e.Kind = kind;
    e.Index = user;
    e.Value = n;
    return e;
}

TCmd Log(std::string header) {
    TCmd e;
    e.Kind = kCmdLog;
    e.Text = std::move(header);
    return e;
}

TEST(MonitorQueue, AFloodOfProgressAndCountsDoesNotGrowTheQueue) {
    MonitorQueue queue;
    queue.Add(NewRow(0, "http://a/"));
    queue.Add(NewRow(1, "http://b/"));
    // What a 1 GiB download on row 0 queues block by block, with a second
    // download on row 1 and log lines in between.
    std::int64_t received = 0;
    for (int block = 0; block < 32768; ++block) {
        received += 32768;
        queue.Add(Bytes(kCmdInternetBytes, 0, 32768));
        queue.Add(Progress(0, received, static_cast<int>(received * 100 / (1LL << 30))));
        queue.Add(Progress(1, block, -1));
        if (block % 10000 == 0) {
            queue.Add(Log("line " + std::to_string(block)));
        }
    }
    auto entries = queue.TakeAll();
    ASSERT_LT(entries.size(), 20u);

    // Rows and log lines keep their order; the progress shown is the last;
    // no byte is lost.
    std::vector<std::string> texts;
    std::int64_t bytes = 0;
    for (auto& e : entries) {
        if (e.Kind == kCmdLog || !e.Text.empty()) {
            texts.push_back(e.Text);
        }
        if (e.Kind == kCmdInternetBytes) {
            bytes += e.Value;
        }
        if (e.IsProgressOnly() && e.Index == 0) {
            EXPECT_EQ(e.ReceivedBytes, 1LL << 30);
            EXPECT_EQ(e.Progress, 100);
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"http://a/", "http://b/", "line 0", "line 10000",
                                               "line 20000", "line 30000"}));
    EXPECT_EQ(bytes, 1LL << 30);
}

TEST(MonitorQueue, EntriesThatChangeStateAreNeverMerged) {
    MonitorQueue queue;
    TCmd state;
    state.Index = 3;
    state.State = 1;
    state.Answer = "200 OK";
    queue.Add(Progress(3, 10, -1));
    queue.Add(state);
    queue.Add(Progress(3, 20, -1));
    TCmd end;
    end.Index = 3;
    end.State = 2;
    queue.Add(end);
    queue.Add(Bytes(kCmdInternetBytes, 0, 5));
    queue.Add(Bytes(kCmdInternetBytes, 1, 7));  // another user stays apart
    queue.Add(Bytes(kCmdCacheBytes, 0, 9));     // and another kind
    auto entries = queue.TakeAll();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].ReceivedBytes, 20);
    EXPECT_EQ(entries[1].Answer, "200 OK");
    EXPECT_EQ(entries[2].State, 2);
    // After a drain nothing merges into entries already taken.
    queue.Add(Progress(3, 30, -1));
    EXPECT_EQ(queue.TakeAll().size(), 1u);
}

TEST(MonitorQueue, CountsStartAFreshEntryBeforeTheyOverflow) {
    MonitorQueue queue;
    for (int i = 0; i < 3; ++i) {
        queue.Add(Bytes(kCmdInternetBytes, 0, 1'500'000'000));
    }
    auto entries = queue.TakeAll();
    std::int64_t total = 0;
    for (auto& e : entries) {
        EXPECT_GE(e.Value, 0);
        total += e.Value;
    }
    EXPECT_EQ(total, 4'500'000'000LL);
}

TEST(MonitorModel, AppliesEntriesAsTheMonitorShowsThem) {
    MonitorModel model;
    model.Apply(NewRow(0, "http://a/"));
    TCmd size;
    size.Index = 0;
    size.Size = 2000;
    size.ReceivedBytes = 500;
    model.Apply(size);
    EXPECT_EQ(model.Row(0)->size, "2000");
    EXPECT_EQ(model.Row(0)->received, "500");
    EXPECT_EQ(model.Row(0)->progress, 25);
    TCmd onlyReceived;
    onlyReceived.Index = 0;
    onlyReceived.ReceivedBytes = 700;
    model.Apply(onlyReceived);
    EXPECT_EQ(model.Row(0)->progress, 25);  // no size given: percent unchanged

    auto error = model.Apply(Progress(7, 1, -1));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->header, "******ERROR");
    EXPECT_EQ(error->body, "7/1");
}

TEST(MonitorModel, ADaemonKeepsOnlyItsRecentRows) {
    MonitorModel model(2);
    for (int i = 0; i < 5; ++i) {
        model.Apply(NewRow(i, "http://x/" + std::to_string(i)));
    }
    EXPECT_EQ(model.RowCount(), 5u);
    EXPECT_EQ(model.Row(1), nullptr);
    EXPECT_EQ(model.Row(4)->url, "http://x/4");
    EXPECT_FALSE(model.Apply(Progress(1, 5, -1)));  // a forgotten row is no error
}

}  // namespace
}  // namespace vs::proxy
