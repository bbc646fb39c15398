#include "source/korv_user/KorvUserTopicNotifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "velta/source/task/SelectReactor.h"

using namespace BRAX::KORV;
using namespace BRAX::KORV_USER_API;
using KORV::USER::KorvUserTopic;
using KORV::USER::MAX_LEVEL;

namespace {

struct Delivery {
    const TopicSettlementSession* session;
    const TopicSnapTime* snap_time;
    TopicMarketData data;
    // The levels up to the end mark; end_seen tells the mark was found.
    std::vector<TopicPriceEntry> bids, asks;
    bool bids_end_seen = false, asks_end_seen = false;
};

void read_side(const TopicPriceEntry* side, std::vector<TopicPriceEntry>& out, bool& end_seen)
{
    for (int i = 0; i < TOPIC_PRICE_ENTRY_COUNT; ++i) {
        if (side[i].Price == UFBaseFloatType::NULL_VALUE) {
            end_seen = side[i].Volume == 0;
            return;
        }
        out.push_back(side[i]);
    }
}

struct RecordingHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                            const TopicMarketData* data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        Delivery d;
        d.session = session;
        d.snap_time = snap_time;
        d.data = *data;
        read_side(bids, d.bids, d.bids_end_seen);
        read_side(asks, d.asks, d.asks_end_seen);
        m_deliveries.push_back(d);
        if (m_on_call)
            m_on_call();
    }
    std::vector<std::string> ids() const
    {
        std::vector<std::string> out;
        for (const Delivery& d : m_deliveries)
            out.push_back(d.data.InstrumentID);
        return out;
    }
    std::vector<Delivery> m_deliveries;
    std::function<void()> m_on_call;
};

class NotifierTest : public ::testing::Test {
protected:
    NotifierTest()
    {
        for (int no = 0; no < 3; ++no) {
            MDQP_TopicInstrument instrument{};
            snprintf(instrument.InstrumentID, sizeof(instrument.InstrumentID), "I%d", no);
            instrument.PriceTick = 1;
            instrument.VolumeMultiple = 1;
            instrument.InstrumentNo = no;
            m_topic.handle_instrument(&instrument);
        }
        m_topic.set_market_data_depth(MAX_LEVEL);
    }

    void trade(int no, int price, int volume)
    {
        MIRP_TradeSlice slice{price, volume, 0, 0};
        m_topic.handle_trade_slice(no, &slice);
    }

    SelectReactor m_reactor;
    KorvUserTopic m_topic{1};
    RecordingHandler m_handler;
};

}  // namespace

TEST_F(NotifierTest, EmptyCommitDeliversNothingAndStaysArmed)
{
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    EXPECT_EQ(notifier.get_user_topic(), &m_topic);
    m_topic.commit();
    EXPECT_TRUE(m_handler.m_deliveries.empty());
    trade(1, 5, 1);
    m_topic.commit();
    EXPECT_EQ(m_handler.ids(), std::vector<std::string>{"I1"});
}

TEST_F(NotifierTest, EachChangedInstrumentOnceInOrderOfFirstChangeWithItsFinalState)
{
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    trade(2, 5, 1);
    trade(0, 7, 1);
    trade(2, 6, 2);
    EXPECT_TRUE(m_handler.m_deliveries.empty());  // nothing before the commit
    m_topic.commit();
    ASSERT_EQ(m_handler.ids(), (std::vector<std::string>{"I2", "I0"}));
    EXPECT_EQ(m_handler.m_deliveries[0].data.LastPrice, 6);
    EXPECT_EQ(m_handler.m_deliveries[0].data.Volume, 3);
    EXPECT_EQ(m_handler.m_deliveries[0].session, m_topic.get_settlement_session());
    EXPECT_EQ(m_handler.m_deliveries[0].snap_time, m_topic.get_snap_time());

    // Delivered instruments are registrable again.
    trade(2, 8, 1);
    m_topic.commit();
    EXPECT_EQ(m_handler.ids(), (std::vector<std::string>{"I2", "I0", "I2"}));
    EXPECT_EQ(m_handler.m_deliveries[2].data.Volume, 4);
}

TEST_F(NotifierTest, ChangesPendingAtConstructionWaitForTheNextLoopTurn)
{
    trade(0, 5, 1);
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    EXPECT_TRUE(m_handler.m_deliveries.empty());
    m_reactor.wake_up();
    EXPECT_EQ(m_handler.ids(), std::vector<std::string>{"I0"});
    // Armed again on the book.
    trade(1, 5, 1);
    m_topic.commit();
    EXPECT_EQ(m_handler.ids(), (std::vector<std::string>{"I0", "I1"}));
}

TEST_F(NotifierTest, AChangeMadeDuringDeliveryIsDeliveredWithTheNextBatch)
{
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    m_handler.m_on_call = [this] {
        m_handler.m_on_call = nullptr;
        trade(0, 9, 1);
    };
    trade(0, 5, 1);
    trade(1, 5, 1);
    m_topic.commit();
    EXPECT_EQ(m_handler.ids(), (std::vector<std::string>{"I0", "I1"}));
    // The handler's change left the book pending, so the task went to the reactor.
    m_reactor.wake_up();
    EXPECT_EQ(m_handler.ids(), (std::vector<std::string>{"I0", "I1", "I0"}));
    EXPECT_EQ(m_handler.m_deliveries[2].data.LastPrice, 9);
}

TEST_F(NotifierTest, FieldsMapByNameAndTextsAreCopied)
{
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    MDQP_TopicMarketData md{};
    md.InstrumentNo = 1;
    md.LastPrice = 1;
    md.Volume = 2;
    md.Turnover = 3;
    md.OpenInterest = 4;
    md.HighPrice = 5;
    md.LowPrice = 6;
    md.OpenPrice = 7;
    md.ClosePrice = 8;
    md.SettlementPrice = 9;
    md.UpperLimitPrice = 10;
    md.LowerLimitPrice = 11;
    md.LevelBasePrice = 12;
    md.SnapValue1 = 13;
    md.SnapValue2 = 14;
    md.SnapValue3 = 15;
    md.Delta = UFBaseFloatType::NULL_VALUE;
    memcpy(md.UpdateDate, "20240105", 9);
    memcpy(md.UpdateTime, "10:11:12", 9);
    md.UpdateMillisec = 17;
    md.SnapValue4 = 18;
    m_topic.handle_market_data(&md);
    m_topic.commit();

    ASSERT_EQ(m_handler.m_deliveries.size(), 1u);
    const TopicMarketData& d = m_handler.m_deliveries[0].data;
    EXPECT_STREQ(d.InstrumentID, "I1");
    EXPECT_EQ(d.LastPrice, 1);
    EXPECT_EQ(d.Volume, 2);
    EXPECT_EQ(d.Turnover, 3);
    EXPECT_EQ(d.OpenInterest, 4);
    EXPECT_EQ(d.HighPrice, 5);
    EXPECT_EQ(d.LowPrice, 6);
    EXPECT_EQ(d.OpenPrice, 7);
    EXPECT_EQ(d.ClosePrice, 8);
    EXPECT_EQ(d.SettlementPrice, 9);
    EXPECT_EQ(d.UpperLimitPrice, 10);
    EXPECT_EQ(d.LowerLimitPrice, 11);
    EXPECT_EQ(d.LevelBasePrice, 12);
    EXPECT_EQ(d.SnapValue1, 13);
    EXPECT_EQ(d.SnapValue2, 14);
    EXPECT_EQ(d.SnapValue3, 15);
    EXPECT_EQ(d.Delta, UFBaseFloatType::NULL_VALUE);
    EXPECT_STREQ(d.UpdateDate, "20240105");
    EXPECT_STREQ(d.UpdateTime, "10:11:12");
    EXPECT_EQ(d.UpdateMillisec, 17);
    EXPECT_EQ(d.SnapValue4, 18);
}

TEST_F(NotifierTest, EverySideEndsWithItsEndMark)
{
    KorvUserTopicNotifier notifier(&m_reactor, 1, &m_topic, &m_handler);
    for (int level = 1; level <= MAX_LEVEL; ++level) {
        MDQP_TopicMarketByPrice ask{};
        ask.InstrumentNo = 0;
        ask.EntryType = MDET_Ask;
        ask.Price = 100 + level;
        ask.Volume = level;
        m_topic.handle_market_by_price(&ask);
    }
    m_topic.commit();

    ASSERT_EQ(m_handler.m_deliveries.size(), 1u);
    const Delivery& d = m_handler.m_deliveries[0];
    EXPECT_TRUE(d.bids_end_seen);
    EXPECT_TRUE(d.bids.empty());
    EXPECT_TRUE(d.asks_end_seen);  // in entry 20, the last of the array
    ASSERT_EQ(d.asks.size(), size_t(MAX_LEVEL));
    EXPECT_EQ(d.asks[0].Price, 101);
    EXPECT_EQ(d.asks[MAX_LEVEL - 1].Price, 120);
    EXPECT_EQ(d.asks[MAX_LEVEL - 1].Volume, MAX_LEVEL);
}
