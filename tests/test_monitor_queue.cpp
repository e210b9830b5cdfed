// The monitor queue keeps every event that matters and stays small under a
// flood of progress and traffic events; the model applies events as the
// monitor shows them and reports exactly what a drain changed.

#include <gtest/gtest.h>

#include "proxy/monitor_queue.h"
#include "shell/monitor_model.h"

namespace vs::proxy {
namespace {

RowUpdate Progress(std::int32_t row, std::int64_t received, std::optional<std::int32_t> percent) {
    RowUpdate update;
    update.row = row;
    update.received = received;
    update.percent = percent;
    return update;
}

TrafficCount Bytes(bool fromCache, std::int32_t user, std::int64_t n) {
    return TrafficCount{fromCache, user, "u" + std::to_string(user), n};
}

TEST(MonitorQueue, AFloodOfProgressAndCountsDoesNotGrowTheQueue) {
    MonitorQueue queue;
    queue.Add(RowAdded{0, "http://a/"});
    queue.Add(RowAdded{1, "http://b/"});
    // What a 1 GiB download on row 0 queues block by block, with a second
    // download on row 1 and log lines in between.
    std::int64_t received = 0;
    for (int block = 0; block < 32768; ++block) {
        received += 32768;
        queue.Add(Bytes(false, 0, 32768));
        queue.Add(Progress(0, received, static_cast<int>(received * 100 / (1LL << 30))));
        queue.Add(Progress(1, block, std::nullopt));
        if (block % 10000 == 0) {
            queue.Add(LogEntry{"line " + std::to_string(block), ""});
        }
    }
    auto events = queue.TakeAll();
    ASSERT_LT(events.size(), 20u);

    // Rows and log lines keep their order; the progress shown is the last;
    // no byte is lost.
    std::vector<std::string> texts;
    std::int64_t bytes = 0;
    for (auto& event : events) {
        if (auto* row = std::get_if<RowAdded>(&event)) {
            texts.push_back(row->url);
        } else if (auto* line = std::get_if<LogEntry>(&event)) {
            texts.push_back(line->heading);
        } else if (auto* count = std::get_if<TrafficCount>(&event)) {
            bytes += count->bytes;
        } else if (auto* update = std::get_if<RowUpdate>(&event); update && update->row == 0) {
            EXPECT_EQ(update->received, 1LL << 30);
            EXPECT_EQ(update->percent, 100);
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"http://a/", "http://b/", "line 0", "line 10000",
                                               "line 20000", "line 30000"}));
    EXPECT_EQ(bytes, 1LL << 30);
}

TEST(MonitorQueue, EventsThatChangeStateAreNeverMerged) {
    MonitorQueue queue;
    RowUpdate answered;
    answered.row = 3;
    answered.state = 1;
    answered.answer = "200 OK";
    RowUpdate ended;
    ended.row = 3;
    ended.state = 2;
    queue.Add(Progress(3, 10, std::nullopt));
    queue.Add(answered);
    queue.Add(Progress(3, 20, std::nullopt));
    queue.Add(ended);
    queue.Add(RuleHit{ListKind::Black, 7, 0, 1});
    queue.Add(RuleHit{ListKind::Black, 7, 0, 1});  // every hit counts
    queue.Add(Bytes(false, 0, 5));
    queue.Add(Bytes(false, 1, 7));  // another user stays apart
    queue.Add(Bytes(true, 0, 9));   // and another source
    auto events = queue.TakeAll();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(std::get<RowUpdate>(events[0]).received, 20);
    EXPECT_EQ(std::get<RowUpdate>(events[1]).answer, "200 OK");
    EXPECT_EQ(std::get<RowUpdate>(events[2]).state, 2);
    // After a drain nothing merges into events already taken.
    queue.Add(Progress(3, 30, std::nullopt));
    EXPECT_EQ(queue.TakeAll().size(), 1u);
}

}  // namespace
}  // namespace vs::proxy

namespace vs {
namespace {

using proxy::RowAdded;
using proxy::RowUpdate;

TEST(MonitorModel, RowsHoldNumbersAsTheMonitorShowsThem) {
    MonitorModel model;
    model.Apply(RowAdded{0, "http://a/"});
    RowUpdate sized;
    sized.row = 0;
    sized.size = 3'221'225'472;  // 3 GiB: past 32 bits
    sized.received = 805'306'368;
    model.Apply(sized);
    EXPECT_EQ(model.Row(0)->size, 3'221'225'472);
    EXPECT_EQ(model.Row(0)->progress, 25);
    RowUpdate onlyReceived;
    onlyReceived.row = 0;
    onlyReceived.received = 900'000'000;
    model.Apply(onlyReceived);
    EXPECT_EQ(model.Row(0)->received, 900'000'000);
    EXPECT_EQ(model.Row(0)->progress, 25);  // no size given: percent unchanged

    RowUpdate missing;
    missing.row = 7;
    auto error = model.Apply(missing);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->header, "******ERROR");
    EXPECT_EQ(error->body, "7/1");
}

TEST(MonitorModel, ADrainReportsTheRowsAddedAndOnlyTheCellsThatChanged) {
    MonitorModel model;
    for (int i = 0; i < 6; ++i) {
        model.Apply(RowAdded{i, "http://x/" + std::to_string(i)});
    }
    RowUpdate newRowState;
    newRowState.row = 5;
    newRowState.state = 1;
    model.Apply(newRowState);
    MonitorChanges first = model.TakeChanges();
    EXPECT_EQ(first.added, 6u);
    EXPECT_TRUE(first.changed.empty());  // cells of new rows come with the rows

    // Rows 1 and 2 get progress, row 4 an answer, row 3 the same state it
    // has (no change); then one more row arrives.
    for (int row : {1, 2}) {
        RowUpdate progress;
        progress.row = row;
        progress.size = 100;
        progress.received = 50;
        model.Apply(progress);
    }
    RowUpdate same;
    same.row = 3;
    same.state = 0;
    model.Apply(same);
    RowUpdate answered;
    answered.row = 4;
    answered.answer = "200 OK";
    answered.state = 1;
    model.Apply(answered);
    model.Apply(RowAdded{6, "http://x/6"});
    MonitorChanges second = model.TakeChanges();
    EXPECT_EQ(second.added, 1u);
    using C = MonitorColumn;
    EXPECT_EQ(second.changed, (std::vector<ChangedCells>{{1, 2, C::Size, C::Progress},
                                                         {4, 4, C::State, C::Answer}}));
    EXPECT_TRUE(model.TakeChanges().Empty());
}

TEST(MonitorModel, ADaemonKeepsOnlyItsRecentRows) {
    MonitorModel model(2);
    for (int i = 0; i < 5; ++i) {
        model.Apply(RowAdded{i, "http://x/" + std::to_string(i)});
    }
    EXPECT_EQ(model.RowCount(), 5u);
    EXPECT_EQ(model.Row(1), nullptr);
    EXPECT_EQ(model.Row(4)->url, "http://x/4");
    RowUpdate forgotten;
    forgotten.row = 1;
    forgotten.received = 5;
    EXPECT_FALSE(model.Apply(forgotten));  // a forgotten row is no error
}

}  // namespace
}  // namespace vs
