#include "source/korv_user/KorvUserTopic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/task/Task.h"

using namespace BRAX::KORV;
using KORV::USER::KorvUserTopic;
using KORV::USER::MAX_INSTRUMENT_COUNT;
using KORV::USER::MAX_LEVEL;
using Entry = KorvUserTopic::InstrumentMarketData;

namespace {

struct CountingTask : Task {
    void wake_up() override { ++m_runs; }
    int m_runs = 0;
};

struct CapturingLogger : Logger {
    void output(const char* line) override { m_lines.push_back(line); }
    std::vector<std::string> m_lines;
};

class TopicTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Snap times are local; pin the zone so the texts are known.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void define(int no, double tick = 0.5, double trade_base = 100, int multiple = 10)
    {
        MDQP_TopicInstrument instrument{};
        snprintf(instrument.InstrumentID, sizeof(instrument.InstrumentID), "I%d", no);
        instrument.PriceTick = tick;
        instrument.TradeBasePrice = trade_base;
        instrument.VolumeMultiple = multiple;
        instrument.InstrumentNo = no;
        m_topic.handle_instrument(&instrument);
    }

    void level_event(int no, char event_type, char entry_type, int level, int offset, int volume)
    {
        MIRP_MDEntryEvent event{event_type, entry_type, level, offset, volume, 0};
        m_topic.handle_md_entry_event(no, &event);
    }

    void snapshot_level(int no, char entry_type, double price, int volume)
    {
        MDQP_TopicMarketByPrice level{};
        level.InstrumentNo = no;
        level.EntryType = entry_type;
        level.Price = price;
        level.Volume = volume;
        m_topic.handle_market_by_price(&level);
    }

    const Entry& entry(int no) { return *m_topic.get_instrument(no); }

    // Instrument numbers on the updated list, in order; the list is taken.
    std::vector<int> take_updated()
    {
        std::vector<int> out;
        ListHead list;
        if (m_topic.fetch_updated(list) != 0)
            return out;
        while (!list.empty()) {
            Entry* e = static_cast<Entry*>(list.head());
            e->detach();
            out.push_back(e->InstrumentNo);
        }
        return out;
    }

    KorvUserTopic m_topic{7};
};

}  // namespace

TEST_F(TopicTest, InstrumentRecordFillsTheTableUpToItsNumber)
{
    define(5);
    ASSERT_EQ(m_topic.get_instrument_count(), 6);
    for (int no = 0; no < 5; ++no) {
        EXPECT_EQ(entry(no).InstrumentNo, no);
        EXPECT_STREQ(entry(no).Instrument.InstrumentID, "");
        EXPECT_EQ(entry(no).Instrument.PriceTick, 0);
        EXPECT_EQ(entry(no).MarketData.LastPrice, 0);
        EXPECT_EQ(entry(no).MarketData.Volume, 0);
        EXPECT_EQ(entry(no).BidTable.get_count(), 0);
    }
    EXPECT_STREQ(entry(5).Instrument.InstrumentID, "I5");

    const Entry* two = m_topic.get_instrument(2);
    define(2, 0.25);
    EXPECT_EQ(m_topic.get_instrument_count(), 6);
    EXPECT_EQ(m_topic.get_instrument(2), two);
    EXPECT_STREQ(entry(2).Instrument.InstrumentID, "I2");
    EXPECT_EQ(entry(2).Instrument.PriceTick, 0.25);
    // Definitions alone are not changes.
    EXPECT_TRUE(take_updated().empty());
}

TEST_F(TopicTest, RepeatedSnapshotsDoNotGrowTheInstrumentMap)
{
    for (int snapshot = 0; snapshot < 3; ++snapshot) {
        m_topic.begin_snapshot();
        for (int no = 0; no < 4; ++no)
            define(no);
    }
    EXPECT_EQ(m_topic.get_instrument_key_count(), 4u);

    // A renamed instrument is entered under its new id.
    MDQP_TopicInstrument renamed{};
    strcpy(renamed.InstrumentID, "R1");
    renamed.InstrumentNo = 1;
    m_topic.handle_instrument(&renamed);
    m_topic.handle_instrument(&renamed);
    EXPECT_EQ(m_topic.get_instrument_key_count(), 5u);
    EXPECT_STREQ(entry(1).Instrument.InstrumentID, "R1");
}

TEST_F(TopicTest, SnapshotRecordsAreCopiedAndMarketDataKeepsItsOwnTime)
{
    MDQP_TopicSettlementSession session{};
    memcpy(session.SessionDay, "20240102", 9);
    memcpy(session.SessionCode, "ABCDEFGHI", 9);  // no terminator
    session.SessionNo = 4;
    m_topic.handle_settlement_session(&session);
    EXPECT_STREQ(m_topic.get_settlement_session()->SessionDay, "20240102");
    EXPECT_STREQ(m_topic.get_settlement_session()->SessionCode, "ABCDEFGH");
    EXPECT_EQ(m_topic.get_settlement_session()->SessionNo, 4);

    MDQP_TopicSnapTime snap{};
    memcpy(snap.SnapDate, "20240103", 9);
    memcpy(snap.SnapTime, "09:30:00", 9);
    snap.SnapMillisec = 250;
    m_topic.handle_snap_time(&snap);
    EXPECT_STREQ(m_topic.get_snap_time()->SnapDate, "20240103");
    EXPECT_STREQ(m_topic.get_snap_time()->SnapTime, "09:30:00");
    EXPECT_EQ(m_topic.get_snap_time()->SnapMillisec, 250);

    define(0);
    MDQP_TopicMarketData data{};
    data.InstrumentNo = 0;
    data.LastPrice = 12.5;
    memcpy(data.UpdateDate, "20231231", 9);
    memcpy(data.UpdateTime, "15:00:00", 9);
    data.UpdateMillisec = 500;
    m_topic.handle_market_data(&data);
    EXPECT_EQ(entry(0).MarketData.LastPrice, 12.5);
    EXPECT_STREQ(entry(0).MarketData.UpdateDate, "20231231");
    EXPECT_EQ(entry(0).MarketData.UpdateMillisec, 500);
    EXPECT_EQ(take_updated(), std::vector<int>{0});
}

TEST_F(TopicTest, SetSnapTimeWritesLocalDateAndTime)
{
    m_topic.set_snap_time(86400 + 3661, 42);
    EXPECT_STREQ(m_topic.get_snap_time()->SnapDate, "19700102");
    EXPECT_STREQ(m_topic.get_snap_time()->SnapTime, "01:01:01");
    EXPECT_EQ(m_topic.get_snap_time()->SnapMillisec, 42);
}

// Within a minute only the second digits are rewritten; across a minute, a
// day and a change of the zone's offset the whole local time is formatted
// again. The zone is given as a rule, so no zone files are needed.
TEST_F(TopicTest, SnapTimeFollowsSecondsMinutesDaysAndASummerTimeChange)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct Step {
        unsigned seconds;
        const char* date;
        const char* time;
    } steps[] = {
        {1711846740, "20240331", "01:59:00"},  // 00:59:00 UTC
        {1711846749, "20240331", "01:59:09"},
        {1711846750, "20240331", "01:59:10"},
        {1711846799, "20240331", "01:59:59"},
        {1711846800, "20240331", "03:00:00"},  // clocks go forward
        {1711846801, "20240331", "03:00:01"},
        {1711846861, "20240331", "03:01:01"},  // the next minute, same hour
        {1711846790, "20240331", "01:59:50"},  // a packet from before
        {1711922399, "20240331", "23:59:59"},
        {1711922400, "20240401", "00:00:00"},
    };
    for (const Step& step : steps) {
        m_topic.set_snap_time(step.seconds, 1);
        EXPECT_STREQ(m_topic.get_snap_time()->SnapDate, step.date) << step.seconds;
        EXPECT_STREQ(m_topic.get_snap_time()->SnapTime, step.time) << step.seconds;
    }
}

TEST_F(TopicTest, AnInstrumentRegistersOnceWithTheTimeOfItsFirstChange)
{
    define(3);
    m_topic.set_snap_time(0, 5);
    MIRP_HighPrice high{2};
    m_topic.handle_daily_price(3, &high);
    m_topic.handle_daily_price(1, &high);
    m_topic.set_snap_time(3600, 9);
    MIRP_Delta delta{0.5};
    m_topic.handle_delta(3, &delta);
    snapshot_level(2, MDET_Bid, 1.0, 1);

    EXPECT_STREQ(entry(3).MarketData.UpdateTime, "00:00:00");
    EXPECT_EQ(entry(3).MarketData.UpdateMillisec, 5);
    EXPECT_EQ(entry(3).MarketData.Delta, 0.5);
    EXPECT_STREQ(entry(2).MarketData.UpdateTime, "01:00:00");
    EXPECT_EQ(take_updated(), (std::vector<int>{3, 1, 2}));

    // Once taken, the next change stamps and registers again.
    m_topic.handle_delta(3, &delta);
    EXPECT_EQ(entry(3).MarketData.UpdateMillisec, 9);
    EXPECT_EQ(take_updated(), std::vector<int>{3});
}

TEST_F(TopicTest, TradeSliceUsesTheTradeBase)
{
    define(0, 0.5, 100, 10);
    MIRP_TradeSlice slice{4, 3, 10, -2};
    m_topic.handle_trade_slice(0, &slice);
    const auto& data = entry(0).MarketData;
    EXPECT_EQ(data.LastPrice, 102);
    EXPECT_EQ(data.Volume, 3);
    EXPECT_EQ(data.Turnover, 3050);
    EXPECT_EQ(data.OpenInterest, -2);

    // Turnover offsets beyond 32 bits, and a volume counter that wraps.
    MIRP_TradeSlice big{0, INT_MAX, int64_t(1) << 40, 5};
    m_topic.handle_trade_slice(0, &big);
    EXPECT_EQ(data.Volume, INT_MIN + 2);
    EXPECT_EQ(data.Turnover, 3050 + 10 * (double(int64_t(1) << 40) * 0.5 + INT_MAX * 100.0));
    EXPECT_EQ(data.OpenInterest, 3);
}

TEST_F(TopicTest, TradesOnAbsentTurnoverAndOpenInterestStartFromZero)
{
    using BRAX::KORV_USER_API::UFBaseFloatType;
    define(0, 0.5, 100, 10);
    MDQP_TopicMarketData data{};
    data.Turnover = UFBaseFloatType::NULL_VALUE;
    data.OpenInterest = UFBaseFloatType::NULL_VALUE;
    m_topic.handle_market_data(&data);
    MIRP_TradeSlice slice{4, 3, 10, -2};
    m_topic.handle_trade_slice(0, &slice);
    EXPECT_EQ(entry(0).MarketData.Turnover, 3050);
    EXPECT_EQ(entry(0).MarketData.OpenInterest, -2);
    m_topic.handle_trade_slice(0, &slice);
    EXPECT_EQ(entry(0).MarketData.Turnover, 6100);
    EXPECT_EQ(entry(0).MarketData.OpenInterest, -4);
}

TEST_F(TopicTest, DailyPricesUseTheTradeBaseAndLevelsTheLevelBase)
{
    define(0, 0.5, 100);
    MDQP_TopicMarketData data{};
    data.LevelBasePrice = 50;
    m_topic.handle_market_data(&data);

    MIRP_HighPrice high{1};
    MIRP_LowPrice low{-1};
    MIRP_OpenPrice open{2};
    MIRP_ClosePrice close{3};
    MIRP_UpperLimitPrice upper{4};
    MIRP_LowerLimitPrice lower{-4};
    MIRP_SettlementPrice settlement{6};
    m_topic.handle_daily_price(0, &high);
    m_topic.handle_daily_price(0, &low);
    m_topic.handle_daily_price(0, &open);
    m_topic.handle_daily_price(0, &close);
    m_topic.handle_daily_price(0, &upper);
    m_topic.handle_daily_price(0, &lower);
    m_topic.handle_daily_price(0, &settlement);
    const auto& md = entry(0).MarketData;
    EXPECT_EQ(md.HighPrice, 100.5);
    EXPECT_EQ(md.LowPrice, 99.5);
    EXPECT_EQ(md.OpenPrice, 101);
    EXPECT_EQ(md.ClosePrice, 101.5);
    EXPECT_EQ(md.UpperLimitPrice, 102);
    EXPECT_EQ(md.LowerLimitPrice, 98);
    EXPECT_EQ(md.SettlementPrice, 103);

    level_event(0, MBP_EVENT_New, MDET_Bid, 1, 4, 7);
    EXPECT_EQ(entry(0).BidTable.get_entries()[0].Price, 52);
    EXPECT_EQ(entry(0).BidTable.get_entries()[0].Volume, 7);
}

TEST_F(TopicTest, LevelEventsEditTheirSide)
{
    define(0, 1, 0);
    level_event(0, MBP_EVENT_New, MDET_Bid, 1, 10, 1);
    level_event(0, MBP_EVENT_New, MDET_Bid, 1, 11, 2);  // ahead of the first
    level_event(0, MBP_EVENT_Change, MDET_Bid, 2, 9, 3);
    level_event(0, MBP_EVENT_New, '7', 1, 20, 4);  // any side but bid is the ask side
    const auto& bids = entry(0).BidTable;
    ASSERT_EQ(bids.get_count(), 2);
    EXPECT_EQ(bids.get_entries()[0].Price, 11);
    EXPECT_EQ(bids.get_entries()[1].Price, 9);
    EXPECT_EQ(bids.get_entries()[1].Volume, 3);
    ASSERT_EQ(entry(0).AskTable.get_count(), 1);
    EXPECT_EQ(entry(0).AskTable.get_entries()[0].Price, 20);

    level_event(0, MBP_EVENT_Delete, MDET_Bid, 1, 0, 0);
    ASSERT_EQ(bids.get_count(), 1);
    EXPECT_EQ(bids.get_entries()[0].Price, 9);

    take_updated();
    level_event(0, '9', MDET_Bid, 1, 99, 99);
    EXPECT_EQ(bids.get_count(), 1);
    EXPECT_EQ(bids.get_entries()[0].Price, 9);
    EXPECT_EQ(entry(0).AskTable.get_count(), 1);
    EXPECT_EQ(take_updated(), std::vector<int>{0});
    EXPECT_EQ(m_topic.get_rejected_count(), 0u);
}

TEST_F(TopicTest, CommitTrimsRegisteredInstrumentsOnly)
{
    define(1);
    for (int level = 1; level <= 3; ++level) {
        snapshot_level(0, MDET_Bid, level, 1);
        snapshot_level(0, MDET_Ask, level, 1);
        snapshot_level(1, MDET_Bid, level, 1);
    }
    // No depth received yet: the sides of every registered entry empty.
    m_topic.commit();
    EXPECT_EQ(entry(0).BidTable.get_count(), 0);
    EXPECT_EQ(entry(0).AskTable.get_count(), 0);
    EXPECT_EQ(entry(1).BidTable.get_count(), 0);
    take_updated();

    m_topic.set_market_data_depth(2);
    for (int level = 1; level <= 3; ++level) {
        snapshot_level(0, MDET_Bid, level, 1);
        snapshot_level(1, MDET_Bid, level, 1);
    }
    m_topic.commit();
    EXPECT_EQ(entry(0).BidTable.get_count(), 2);
    EXPECT_EQ(take_updated(), (std::vector<int>{0, 1}));

    // Entry 0 was taken: a commit for another change leaves its levels alone.
    level_event(0, MBP_EVENT_New, MDET_Bid, 3, 0, 1);
    take_updated();
    MIRP_Delta delta{1};
    m_topic.handle_delta(1, &delta);
    m_topic.commit();
    EXPECT_EQ(entry(0).BidTable.get_count(), 3);
    EXPECT_EQ(entry(1).BidTable.get_count(), 2);
}

TEST_F(TopicTest, ALaterSnapshotDeliversEveryInstrumentWhoseLevelsItCleared)
{
    m_topic.set_market_data_depth(5);
    m_topic.begin_snapshot();
    for (int no = 0; no < 3; ++no)
        define(no);
    snapshot_level(0, MDET_Bid, 10, 1);
    snapshot_level(1, MDET_Ask, 11, 1);
    m_topic.commit();
    take_updated();

    // Instrument 0 is only defined again, 1 gets a new level, 2 had none.
    m_topic.begin_snapshot();
    for (int no = 0; no < 3; ++no)
        define(no);
    snapshot_level(1, MDET_Ask, 12, 2);
    m_topic.commit();
    EXPECT_EQ(take_updated(), (std::vector<int>{0, 1}));
    EXPECT_EQ(entry(0).BidTable.get_count(), 0);
    ASSERT_EQ(entry(1).AskTable.get_count(), 1);
    EXPECT_EQ(entry(1).AskTable.get_entries()[0].Price, 12);
}

TEST_F(TopicTest, AnAbortedSnapshotLeavesTheBookAsBeginSnapshotFoundIt)
{
    MDQP_TopicSettlementSession session{};
    strcpy(session.SessionDay, "20240102");
    MDQP_TopicSnapTime snap{};
    strcpy(snap.SnapTime, "09:00:00");
    m_topic.set_market_data_depth(5);
    m_topic.set_snap_no(3);
    m_topic.begin_snapshot();
    m_topic.handle_settlement_session(&session);
    m_topic.handle_snap_time(&snap);
    define(0, 0.5);
    define(1);
    MDQP_TopicMarketData data{};
    data.LastPrice = 10;
    m_topic.handle_market_data(&data);
    snapshot_level(0, MDET_Bid, 10, 1);
    snapshot_level(0, MDET_Bid, 9, 1);
    m_topic.commit();
    take_updated();
    // A change still pending when the next snapshot begins.
    m_topic.set_snap_time(0, 7);
    MIRP_Delta delta{0.25};
    m_topic.handle_delta(1, &delta);

    m_topic.begin_snapshot();
    strcpy(session.SessionDay, "20240103");
    m_topic.handle_settlement_session(&session);
    strcpy(snap.SnapTime, "10:00:00");
    m_topic.handle_snap_time(&snap);
    m_topic.set_snap_no(4);
    m_topic.set_market_data_depth(1);
    MDQP_TopicInstrument renamed{};
    strcpy(renamed.InstrumentID, "R0");
    renamed.PriceTick = 2;
    m_topic.handle_instrument(&renamed);
    data.LastPrice = 20;
    m_topic.handle_market_data(&data);
    snapshot_level(0, MDET_Ask, 30, 1);
    data.InstrumentNo = 1;
    m_topic.handle_market_data(&data);
    define(4);
    snapshot_level(3, MDET_Bid, 1, 1);
    m_topic.abort_snapshot();

    EXPECT_STREQ(m_topic.get_settlement_session()->SessionDay, "20240102");
    EXPECT_STREQ(m_topic.get_snap_time()->SnapTime, "00:00:00");
    EXPECT_EQ(m_topic.get_snap_no(), 3);
    EXPECT_EQ(m_topic.get_instrument_count(), 2);
    EXPECT_EQ(m_topic.get_instrument_key_count(), 2u);
    EXPECT_STREQ(entry(0).Instrument.InstrumentID, "I0");
    EXPECT_EQ(entry(0).Instrument.PriceTick, 0.5);
    EXPECT_EQ(entry(0).MarketData.LastPrice, 10);
    ASSERT_EQ(entry(0).BidTable.get_count(), 2);
    EXPECT_EQ(entry(0).BidTable.get_entries()[1].Price, 9);
    EXPECT_EQ(entry(0).AskTable.get_count(), 0);
    EXPECT_EQ(entry(1).MarketData.LastPrice, 0);
    EXPECT_EQ(entry(1).MarketData.Delta, 0.25);
    EXPECT_EQ(entry(1).MarketData.UpdateMillisec, 7);
    // Only the change pending before the snapshot is left to deliver.
    EXPECT_EQ(take_updated(), std::vector<int>{1});
    // The depth is the one from before.
    level_event(0, MBP_EVENT_New, MDET_Bid, 3, 0, 1);
    m_topic.commit();
    EXPECT_EQ(entry(0).BidTable.get_count(), 3);

    // The next snapshot starts from there; once committed, an abort is too late.
    m_topic.begin_snapshot();
    define(2);
    m_topic.commit();
    m_topic.abort_snapshot();
    EXPECT_EQ(m_topic.get_instrument_count(), 3);
    EXPECT_EQ(m_topic.get_instrument_key_count(), 3u);
    EXPECT_EQ(entry(0).BidTable.get_count(), 3);
}

TEST_F(TopicTest, ScheduleWaitsOnlyWhileNothingIsPending)
{
    define(0);
    CountingTask task;
    EXPECT_EQ(m_topic.schedule(&task), -1);
    EXPECT_TRUE(task.in_queue());
    m_topic.commit();  // wakes even when nothing changed
    EXPECT_EQ(task.m_runs, 1);
    EXPECT_FALSE(task.in_queue());

    MIRP_Delta delta{1};
    m_topic.handle_delta(0, &delta);
    EXPECT_EQ(m_topic.schedule(&task), 0);
    EXPECT_FALSE(task.in_queue());
    m_topic.commit();
    EXPECT_EQ(task.m_runs, 1);

    ListHead out;
    ListNode mine;
    out.push_back(&mine);
    EXPECT_EQ(m_topic.fetch_updated(out), 0);
    EXPECT_EQ(out.head(), m_topic.get_instrument(0));  // to the front of out
    EXPECT_EQ(out.tail(), &mine);
    ListHead again;
    EXPECT_EQ(m_topic.fetch_updated(again), -1);
    EXPECT_TRUE(again.empty());
    out.head()->detach();
    mine.detach();
}

TEST_F(TopicTest, InstrumentNumbersOutsideTheTableAreRefused)
{
    define(1);
    MDQP_TopicMarketData data{};
    MIRP_TradeSlice slice{1, 1, 1, 1};
    MIRP_Delta delta{1};
    MIRP_SettlementPrice price{1};
    for (int no : {2, -1, INT_MIN, INT_MAX}) {
        data.InstrumentNo = no;
        m_topic.handle_market_data(&data);
        snapshot_level(no, MDET_Bid, 1, 1);
        level_event(no, MBP_EVENT_New, MDET_Bid, 1, 1, 1);
        m_topic.handle_trade_slice(no, &slice);
        m_topic.handle_delta(no, &delta);
        m_topic.handle_daily_price(no, &price);
    }
    EXPECT_EQ(m_topic.get_rejected_count(), 24u);
    EXPECT_TRUE(take_updated().empty());
    EXPECT_EQ(m_topic.get_instrument_count(), 2);
}

TEST_F(TopicTest, HostileInstrumentNumbersDoNotGrowTheTable)
{
    define(-1);
    define(INT_MAX);
    define(MAX_INSTRUMENT_COUNT);
    EXPECT_EQ(m_topic.get_instrument_count(), 0);
    EXPECT_EQ(m_topic.get_rejected_count(), 3u);
    define(MAX_INSTRUMENT_COUNT - 1);
    EXPECT_EQ(m_topic.get_instrument_count(), MAX_INSTRUMENT_COUNT);
}

TEST_F(TopicTest, LevelEditsTheSideCannotTakeAreRefusedAndCounted)
{
    define(0, 1, 0);
    for (int level = 1; level <= MAX_LEVEL; ++level)
        snapshot_level(0, MDET_Ask, level, 1);
    snapshot_level(0, MDET_Ask, 21, 1);  // a 21st snapshot level
    EXPECT_EQ(m_topic.get_rejected_count(), 1u);
    level_event(0, MBP_EVENT_New, MDET_Ask, 21, 0, 0);  // past a full side
    level_event(0, MBP_EVENT_New, MDET_Bid, 2, 0, 0);   // beyond the count
    level_event(0, MBP_EVENT_Change, MDET_Bid, 1, 0, 0);
    level_event(0, MBP_EVENT_Delete, MDET_Bid, 1, 0, 0);
    level_event(0, MBP_EVENT_New, MDET_Bid, 0, 0, 0);
    level_event(0, MBP_EVENT_New, MDET_Bid, INT_MIN, 0, 0);
    level_event(0, MBP_EVENT_Delete, MDET_Ask, INT_MAX, 0, 0);
    level_event(0, MBP_EVENT_Change, MDET_Ask, MAX_LEVEL + 1, 0, 0);
    EXPECT_EQ(m_topic.get_rejected_count(), 9u);
    EXPECT_EQ(entry(0).BidTable.get_count(), 0);
    ASSERT_EQ(entry(0).AskTable.get_count(), MAX_LEVEL);
    EXPECT_EQ(entry(0).AskTable.get_entries()[0].Price, 1);
    EXPECT_EQ(entry(0).AskTable.get_entries()[MAX_LEVEL - 1].Price, MAX_LEVEL);
    // The instrument still counts as touched.
    EXPECT_EQ(take_updated(), std::vector<int>{0});

    // A new best level on the full side is taken; the last level falls off.
    level_event(0, MBP_EVENT_New, MDET_Ask, 1, -5, 3);
    EXPECT_EQ(m_topic.get_rejected_count(), 9u);
    ASSERT_EQ(entry(0).AskTable.get_count(), MAX_LEVEL);
    EXPECT_EQ(entry(0).AskTable.get_entries()[0].Price, -5);
    EXPECT_EQ(entry(0).AskTable.get_entries()[MAX_LEVEL - 1].Price, MAX_LEVEL - 1);
}

TEST_F(TopicTest, UnterminatedTextFieldsAreCutToTheirWidth)
{
    MDQP_TopicInstrument instrument{};
    memset(instrument.InstrumentID, 'X', sizeof(instrument.InstrumentID));
    instrument.InstrumentNo = 0;
    m_topic.handle_instrument(&instrument);
    EXPECT_EQ(strlen(entry(0).Instrument.InstrumentID), sizeof(instrument.InstrumentID) - 1);

    MDQP_TopicSnapTime snap;
    memset(&snap, 'Y', sizeof(snap));
    m_topic.handle_snap_time(&snap);
    EXPECT_EQ(strlen(m_topic.get_snap_time()->SnapDate), 8u);
    EXPECT_EQ(strlen(m_topic.get_snap_time()->SnapTime), 8u);

    MDQP_TopicMarketData data;
    memset(&data, 'Z', sizeof(data));
    data.InstrumentNo = 0;
    m_topic.handle_market_data(&data);
    EXPECT_EQ(strlen(entry(0).MarketData.UpdateDate), 8u);
    EXPECT_EQ(strlen(entry(0).MarketData.UpdateTime), 8u);
}

TEST_F(TopicTest, RefusalsAreReportedAsEvents)
{
    CapturingLogger logger;
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    define(0);
    MDQP_TopicMarketData data{};
    data.InstrumentNo = 9;
    m_topic.handle_market_data(&data);
    level_event(0, MBP_EVENT_Delete, MDET_Bid, 4, 0, 0);
    reg_logger(LOG_EVENT_SLOT, nullptr, 0);
    ASSERT_EQ(logger.m_lines.size(), 2u);
    EXPECT_EQ(logger.m_lines[0],
              "event TopicError 3 topic_id = 7, market_data refused, instrument_no = 9, level = 0");
    EXPECT_EQ(logger.m_lines[1],
              "event TopicError 3 topic_id = 7, md_entry_event delete "
              "refused, instrument_no = 0, level = 4");
}

// One packet can carry some fifteen hundred level edits the book refuses:
// the first is written in full, the rest are counted, and the count goes
// out as a summary event of its own once a second has passed.
TEST_F(TopicTest, AFloodOfRefusalsWritesOneLineAndThenASummary)
{
    CapturingLogger logger;
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    define(0);
    for (int i = 0; i < 1508; ++i)
        level_event(0, MBP_EVENT_Delete, MDET_Bid, 4, 0, 0);
    EXPECT_EQ(logger.m_lines.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    level_event(0, MBP_EVENT_Delete, MDET_Bid, 7, 0, 0);
    reg_logger(LOG_EVENT_SLOT, nullptr, 0);
    EXPECT_EQ(m_topic.get_rejected_count(), 1509u);
    ASSERT_EQ(logger.m_lines.size(), 2u);
    EXPECT_EQ(logger.m_lines[1].find("event Refused 3 TopicError md_entry_event delete: 1508 more "
                                     "refused in "),
              0u)
        << logger.m_lines[1];
    EXPECT_NE(logger.m_lines[1].find("first from instrument_no = 0, level = 4, last from "
                                     "instrument_no = 0, level = 7"),
              std::string::npos)
        << logger.m_lines[1];
}

TEST_F(TopicTest, TopicIdsFrom32768AreReportedUnsigned)
{
    CapturingLogger logger;
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    KorvUserTopic topic(int16_t(uint16_t(40000)));
    MIRP_Delta delta{1};
    topic.handle_delta(0, &delta);
    reg_logger(LOG_EVENT_SLOT, nullptr, 0);
    ASSERT_EQ(logger.m_lines.size(), 1u);
    EXPECT_EQ(logger.m_lines[0],
              "event TopicError 3 topic_id = 40000, delta refused, instrument_no = 0, level = 0");
}
