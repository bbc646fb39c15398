// The depth view's store and screen lines, fed the records a handler gets.
#include "apps/korv_depth_view/DepthViewModel.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>

using namespace BRAX::KORV_USER_API;

namespace {

const double ABSENT = UFBaseFloatType::NULL_VALUE;

// The records of one delivery, as the library lays them out.
struct Delivery {
    TopicSettlementSession session{"20261209", "S1", 3};
    TopicSnapTime snap{"20261209", "09:30:01", 250};
    TopicMarketData data{};
    TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT];
    TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT];

    explicit Delivery(const char* id)
    {
        // A 31-character id fills the field with no terminator, on purpose.
        memcpy(data.InstrumentID, id, std::min(strlen(id), sizeof data.InstrumentID));
        for (double* value : {&data.LastPrice, &data.Turnover, &data.OpenInterest, &data.OpenPrice,
                              &data.HighPrice, &data.LowPrice, &data.ClosePrice,
                              &data.SettlementPrice, &data.UpperLimitPrice, &data.LowerLimitPrice})
            *value = ABSENT;
        strcpy(data.UpdateDate, "20261209");
        strcpy(data.UpdateTime, "09:30:01");
        data.UpdateMillisec = 7;
        // Garbage behind the end marks, which must never be shown.
        for (int i = 0; i < TOPIC_PRICE_ENTRY_COUNT; ++i) {
            bids[i] = {999.0, 999};
            asks[i] = {999.0, 999};
        }
        bids[0] = asks[0] = {ABSENT, 0};
    }
    void set_side(TopicPriceEntry* side, std::initializer_list<TopicPriceEntry> levels)
    {
        int i = 0;
        for (const TopicPriceEntry& level : levels)
            side[i++] = level;
        side[i] = {ABSENT, 0};
    }
    void deliver(DepthStore& store) const
    {
        store.handle_market_data(&session, &snap, &data, bids, asks);
    }
};

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    for (const std::string& each : lines)
        if (each == line)
            return true;
    return false;
}

TEST(DepthStore, KeepsLevelsUpToTheEndMarkAndRefreshesOnlyOnChange)
{
    DepthStore store;
    DepthSnapshot snapshot;
    EXPECT_FALSE(store.refresh(snapshot));

    Delivery delivery("A1");
    delivery.set_side(delivery.bids, {{10.5, 3}, {10.0, 7}});
    delivery.deliver(store);
    ASSERT_TRUE(store.refresh(snapshot));
    EXPECT_FALSE(store.refresh(snapshot));
    const InstrumentDepth& depth = snapshot.instruments.at("A1");
    ASSERT_EQ(depth.bids.size(), 2u);
    EXPECT_EQ(depth.bids[1].Price, 10.0);
    EXPECT_EQ(depth.bids[1].Volume, 7);
    EXPECT_TRUE(depth.asks.empty());
    EXPECT_EQ(snapshot.settlement_session.SessionNo, 3);

    // A later delivery replaces the instrument's levels, fewer ones too.
    delivery.set_side(delivery.bids, {{10.0, 1}});
    delivery.deliver(store);
    ASSERT_TRUE(store.refresh(snapshot));
    EXPECT_EQ(snapshot.instruments.at("A1").bids.size(), 1u);
}

TEST(DepthStore, SideWithoutEndMarkAndFullIdentifierStayInBounds)
{
    DepthStore store;
    Delivery delivery("");
    memset(delivery.data.InstrumentID, 'X', sizeof delivery.data.InstrumentID);
    for (int i = 0; i < TOPIC_PRICE_ENTRY_COUNT; ++i)
        delivery.bids[i] = {100.0 - i, i + 1};
    delivery.deliver(store);
    DepthSnapshot snapshot;
    ASSERT_TRUE(store.refresh(snapshot));
    const std::string id(sizeof delivery.data.InstrumentID, 'X');
    ASSERT_EQ(snapshot.instruments.count(id), 1u);
    EXPECT_EQ(snapshot.instruments.at(id).bids.size(), size_t(TOPIC_PRICE_ENTRY_COUNT - 1));
}

TEST(DepthStore, KeepsOnlyTheNamedInstrumentsButFollowsTheTopicTime)
{
    DepthStore store({"B2"});
    Delivery other("A1");
    other.snap.SnapMillisec = 900;
    other.deliver(store);
    DepthSnapshot snapshot;
    ASSERT_TRUE(store.refresh(snapshot));
    EXPECT_TRUE(snapshot.instruments.empty());
    EXPECT_EQ(snapshot.snap_time.SnapMillisec, 900);
    Delivery("B2").deliver(store);
    ASSERT_TRUE(store.refresh(snapshot));
    EXPECT_EQ(snapshot.instruments.size(), 1u);
}

TEST(DepthViewModel, ShowsTheLadderAndDailyPrices)
{
    DepthStore store;
    DepthViewModel model(1001);
    DepthSnapshot snapshot;
    std::vector<std::string> lines = model.lines(snapshot);
    EXPECT_EQ(lines.front(), "Topic 1001  waiting for market data");

    Delivery delivery("SIM1001_000");
    delivery.data.LastPrice = 101.25;
    delivery.data.Volume = 42;
    delivery.data.Turnover = 1234567.5;
    delivery.data.OpenPrice = 100;
    delivery.data.UpperLimitPrice = 110;
    delivery.set_side(delivery.bids, {{101.2, 5}, {101.1, 12}, {101.0, 1}});
    delivery.set_side(delivery.asks, {{101.3, 8}});
    delivery.deliver(store);
    store.refresh(snapshot);
    lines = model.lines(snapshot);
    EXPECT_EQ(lines.front(),
              "Topic 1001  snap 20261209 09:30:01.250  session 20261209 S1 3  [1/1]");
    EXPECT_TRUE(contains(
        lines, "Instrument    SIM1001_000                    updated 20261209 09:30:01.007"));
    EXPECT_TRUE(contains(lines, "Last price    101.25       Volume        42"));
    EXPECT_TRUE(contains(lines, "Turnover      1234567.5    Open interest -"));
    EXPECT_TRUE(
        contains(lines, "Open          100          High          -            Low           -"));
    EXPECT_TRUE(contains(lines, "Upper limit   110          Lower limit   -"));
    EXPECT_TRUE(contains(lines, "Level    Bid volume     Bid price |     Ask price    Ask volume"));
    EXPECT_TRUE(contains(lines, "    1             5         101.2 |         101.3             8"));
    EXPECT_TRUE(contains(lines, "    2            12         101.1 |"));
    EXPECT_TRUE(contains(lines, "    3             1           101 |"));
    EXPECT_FALSE(contains(lines, "    4"));
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("999"), std::string::npos) << line;

    Delivery empty("SIM1001_000");
    empty.deliver(store);
    store.refresh(snapshot);
    EXPECT_TRUE(contains(model.lines(snapshot), "No price levels"));
}

TEST(DepthViewModel, MovesBetweenInstrumentsAndKeepsTheSelectionById)
{
    DepthStore store;
    DepthViewModel model(7);
    DepthSnapshot snapshot;
    model.next(snapshot);  // nothing to move to yet
    for (const char* id : {"B", "C"})
        Delivery(id).deliver(store);
    store.refresh(snapshot);
    auto shown = [&] { return model.lines(snapshot)[2].substr(14, 1); };
    EXPECT_EQ(shown(), "B");
    model.previous(snapshot);
    EXPECT_EQ(shown(), "C");
    model.next(snapshot);
    EXPECT_EQ(shown(), "B");
    model.next(snapshot);
    EXPECT_EQ(shown(), "C");

    // An instrument sorted before the selected one does not move the screen.
    Delivery("A").deliver(store);
    store.refresh(snapshot);
    EXPECT_EQ(shown(), "C");
    EXPECT_NE(model.lines(snapshot)[0].find("[3/3]"), std::string::npos);
    model.next(snapshot);
    EXPECT_EQ(shown(), "A");
}

TEST(DepthViewModel, NamedInstrumentsInTheirOrderBeforeTheirData)
{
    DepthStore store({"Z9", "A1"});
    DepthViewModel model(7, {"Z9", "A1"});
    DepthSnapshot snapshot;
    std::vector<std::string> lines = model.lines(snapshot);
    EXPECT_EQ(lines[0], "Topic 7  waiting for market data  [1/2]");
    EXPECT_EQ(lines[2], "Instrument    Z9  no market data yet");
    Delivery("A1").deliver(store);
    store.refresh(snapshot);
    model.next(snapshot);
    EXPECT_EQ(model.lines(snapshot)[2].substr(0, 16), "Instrument    A1");
}

}  // namespace

TEST(DepthViewModel, StatusLineShowsTheTopicCountersAboveTheKeys)
{
    DepthViewModel model(7);
    DepthSnapshot snapshot;
    KorvTopicCounters counters{};
    counters.State = 1;
    counters.LastPacketNo = 4321;
    counters.LastPacketAgeMs = 250;
    counters.Packets = 9000;
    counters.Duplicates = 4500;
    counters.Gaps = 2;
    counters.Recovered = 3;
    counters.GapQueries = 2;
    counters.SnapshotQueries = 1;
    counters.RefusedEvents = 1;
    counters.RefusedFarAhead = 2;
    counters.CacheDepth = 5;
    counters.Deliveries = 4;
    counters.HandlerTimeUs = 30;
    counters.HandlerTime[2] = 3;  // 2 to 4 us
    counters.HandlerTime[5] = 1;  // 16 to 32 us
    std::vector<std::string> lines = model.lines(snapshot, &counters);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(
        lines[lines.size() - 2],
        "live #4321 0.2s ago  packets 9000 dup 4500 gaps 2 recovered 3  queries gap 2 snap 1  "
        "refused 3  cache 5  handler avg 7us max<32us");

    // Before anything came, and with a delivery beyond the last bound.
    KorvTopicCounters start{};
    start.LastPacketAgeMs = -1;
    EXPECT_EQ(DepthViewModel::status_line(start).substr(0, 16), "login #0 - ago  ");
    EXPECT_NE(DepthViewModel::status_line(start).find("handler -"), std::string::npos);
    start.Deliveries = 1;
    start.HandlerTimeUs = 40000;
    start.HandlerTime[KORV_HANDLER_TIME_BUCKETS - 1] = 1;
    EXPECT_NE(DepthViewModel::status_line(start).find("handler avg 40000us max>=16384us"),
              std::string::npos);
}
