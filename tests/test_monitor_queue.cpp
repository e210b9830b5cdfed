// The monitor queue keeps every event that matters and stays small under a
// flood of progress and traffic events; the model applies events as the
// monitor shows them and reports exactly what a drain changed.

#include <gtest/gtest.h>

#include <set>

#include "proxy/monitor_queue.h"
#include "shell/monitor_model.h"

namespace vs::proxy {
namespace {

// An update of `row` with the cells `set` fills in.
template <typename Set>
RowUpdate Update(std::int32_t row, Set set) {
    RowUpdate update;
    update.row = row;
    set(update);
    return update;
}

RowUpdate Progress(std::int32_t row, std::int64_t received, std::optional<std::int32_t> percent) {
    return Update(row, [&](RowUpdate& u) { u.received = received, u.percent = percent; });
}

TrafficCount Bytes(bool fromCache, std::int32_t user, std::int64_t n) {
    return TrafficCount{fromCache, user, std::to_string(user), 0, n};
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
    queue.Add(Progress(3, 10, std::nullopt));
    queue.Add(Update(3, [](RowUpdate& u) { u.state = 1, u.answer = "200 OK"; }));
    queue.Add(Progress(3, 20, std::nullopt));
    queue.Add(Update(3, [](RowUpdate& u) { u.state = 2; }));
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

TEST(MonitorModel, RowsHoldNumbersAsTheMonitorShowsThem) {
    MonitorModel model;
    model.Apply(RowAdded{0, "http://a/"});
    // 3 GiB: past 32 bits.
    model.Apply(Update(0, [](RowUpdate& u) { u.size = 3'221'225'472, u.received = 805'306'368; }));
    EXPECT_EQ(model.Row(0)->size, 3'221'225'472);
    EXPECT_EQ(model.Row(0)->progress, 25);
    model.Apply(Progress(0, 900'000'000, std::nullopt));
    EXPECT_EQ(model.Row(0)->received, 900'000'000);
    EXPECT_EQ(model.Row(0)->progress, 25);  // no size given: percent unchanged

    auto error = model.Apply(Update(7, [](RowUpdate&) {}));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->header, "******ERROR");
    EXPECT_EQ(error->body, "7/1");
}

// A download running for an hour on a busy proxy is the one the user looks
// for to stop: its row stays while it runs, within a bound.
TEST(MonitorModel, AnOpenRowIsNotForgottenWhileItRuns) {
    std::set<std::size_t> open{1};
    MonitorModel model(2, [&open](std::size_t row) { return open.contains(row); });
    for (int i = 0; i < 6; ++i) {
        model.Apply(RowAdded{i, "http://x/" + std::to_string(i)});
    }
    EXPECT_EQ(model.FirstRow(), 1u);
    ASSERT_NE(model.Row(1), nullptr);
    EXPECT_EQ(model.Row(1)->url, "http://x/1");
    model.TakeChanges();
    open.clear();
    model.Apply(RowAdded{6, "http://x/6"});
    EXPECT_EQ(model.FirstRow(), 5u);
    EXPECT_EQ(model.TakeChanges().forgotten, 4u);
    EXPECT_FALSE(model.Apply(Progress(2, 5, std::nullopt)));  // a forgotten row is no error
    // Held open for good (a tunnel for the day), it goes after all.
    open.insert(5);
    for (int i = 7; i < 40; ++i) {
        model.Apply(RowAdded{i, "http://x/" + std::to_string(i)});
    }
    EXPECT_EQ(model.Row(5), nullptr);
    EXPECT_LE(model.RowCount() - model.FirstRow(), 2 * kOpenRowHoldsUpTo);
}

}  // namespace
}  // namespace vs::proxy
