#include "apps/korv_md_simulator/SimServer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/MdSimulator.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/korv_user/KorvMdqpResultSet.h"
#include "source/korv_user/KorvUserMdqpStub.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "tests/sim/SimTestBook.h"
#include "velta/source/base/PacketBufferExt.h"

using namespace KORV::SIM;
using namespace BRAX::KORV;
using KORV::USER::KorvMdqpResultSet;
using KORV::USER::KorvUserMdqpStub;

namespace {

const char* const A = "tcp://127.0.0.1:30107";
const char* const B = "tcp://127.0.0.1:30108";
constexpr int TOPIC = 1001;

SimOptions options_with(std::vector<const char*> args)
{
    args.insert(args.begin(), "korv_md_simulator");
    SimOptions options;
    EXPECT_EQ(0, options.parse(int(args.size()), args.data())) << options.get_error();
    return options;
}

// Steps the simulator's reactor (the clients run on it too) until done()
// holds; false if it did not within about ten seconds.
bool step_until(MdSimulator& simulator, const std::function<bool()>& done)
{
    for (int i = 0; i < 1500; ++i) {
        if (done())
            return true;
        if (!simulator.step())
            return done();
    }
    return done();
}

// Every body of a complete reply, in order.
std::vector<std::string> read_reply(MdSimulator& simulator, KorvMdqpResultSet* reply)
{
    std::vector<std::string> bodies;
    PacketBufferExt<1536> buffer;
    bool complete = step_until(simulator, [&] {
        buffer.reset(0);
        return reply->read(buffer) != -1;
    });
    EXPECT_TRUE(complete);
    if (complete && buffer.length() > 0)
        bodies.emplace_back(buffer.data(), buffer.length());
    for (;;) {
        buffer.reset(0);
        if (reply->read(buffer) != 0)
            break;
        bodies.emplace_back(buffer.data(), buffer.length());
    }
    reply->close();
    return bodies;
}

struct Client {
    Client(MdSimulator& simulator, std::vector<const char*> servers, const char* password)
        : stub(simulator.get_reactor())
    {
        for (const char* server : servers)
            stub.reg_server(server);
        stub.set_authentication("P01", "U01", password);
    }
    bool logged_in() const { return stub.state() == KorvUserMdqpStub::SID_LoggedIn; }
    KorvUserMdqpStub stub;
};

void expect_same_instrument(const MDQP_TopicInstrument& a, const MDQP_TopicInstrument& b)
{
    EXPECT_STREQ(a.InstrumentID, b.InstrumentID);
    EXPECT_STREQ(a.InstrumentAttr1, b.InstrumentAttr1);
    EXPECT_EQ(a.InstrumentAttr2, b.InstrumentAttr2);
    EXPECT_EQ(a.InstrumentAttr4, b.InstrumentAttr4);
    EXPECT_EQ(a.VolumeMultiple, b.VolumeMultiple);
    EXPECT_EQ(a.PriceTick, b.PriceTick);
    EXPECT_EQ(a.TradeBasePrice, b.TradeBasePrice);
    EXPECT_EQ(a.InstrumentNo, b.InstrumentNo);
}

void expect_same_market_data(const MDQP_TopicMarketData& a, const MDQP_TopicMarketData& b)
{
    EXPECT_EQ(a.InstrumentNo, b.InstrumentNo);
    EXPECT_EQ(a.LastPrice, b.LastPrice);
    EXPECT_EQ(a.Volume, b.Volume);
    EXPECT_EQ(a.Turnover, b.Turnover);
    EXPECT_EQ(a.OpenInterest, b.OpenInterest);
    EXPECT_EQ(a.HighPrice, b.HighPrice);
    EXPECT_EQ(a.LowPrice, b.LowPrice);
    EXPECT_EQ(a.OpenPrice, b.OpenPrice);
    EXPECT_EQ(a.ClosePrice, b.ClosePrice);
    EXPECT_EQ(a.SettlementPrice, b.SettlementPrice);
    EXPECT_EQ(a.UpperLimitPrice, b.UpperLimitPrice);
    EXPECT_EQ(a.LowerLimitPrice, b.LowerLimitPrice);
    EXPECT_EQ(a.LevelBasePrice, b.LevelBasePrice);
    EXPECT_EQ(a.SnapValue1, b.SnapValue1);
    EXPECT_EQ(a.SnapValue2, b.SnapValue2);
    EXPECT_EQ(a.SnapValue3, b.SnapValue3);
    EXPECT_EQ(a.Delta, b.Delta);
    EXPECT_STREQ(a.UpdateDate, b.UpdateDate);
    EXPECT_STREQ(a.UpdateTime, b.UpdateTime);
    EXPECT_EQ(a.UpdateMillisec, b.UpdateMillisec);
    EXPECT_EQ(a.SnapValue4, b.SnapValue4);
}

class SimServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

}  // namespace

TEST_F(SimServerTest, SnapshotReplyMatchesTheModelFieldByField)
{
    MdSimulator simulator(options_with({"--listen", A, "--rate", "2000", "--duration", "0.3",
                                        "--linger", "60", "--instruments", "12", "--depth", "7"}));
    ASSERT_EQ(0, simulator.start());
    Client client(simulator, {A}, "secret");
    ASSERT_TRUE(
        step_until(simulator, [&] { return client.logged_in() && !simulator.is_publishing(); }));
    const SimTopic& topic = *simulator.get_topics()[0];
    ASSERT_GT(topic.get_packet_no(), 100u);

    std::vector<std::string> bodies = read_reply(simulator, client.stub.req_qry_topic_snap(TOPIC));
    ASSERT_GT(bodies.size(), 1u) << "the snapshot is a multi-packet message";
    KORV::USER::KorvUserTopic book(TOPIC);
    long packet_no = -1;
    int depth = 0;
    for (const std::string& body : bodies) {
        long no = sim_test::apply_snapshot_body(book, body.data(), int(body.size()));
        if (no >= 0)
            packet_no = no;
        MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
        if (get_first_field(body.data(), int(body.size()), attribute) == 0) {
            depth = attribute.MarketDataDepth;
            EXPECT_EQ('0', attribute.CipherType);
        }
    }
    book.commit();
    EXPECT_EQ(long(topic.get_packet_no()), packet_no);
    EXPECT_EQ(topic.get_snap_no(), book.get_snap_no());
    EXPECT_EQ(7, depth);
    EXPECT_STREQ(topic.get_model().get_snap_time().SnapTime, book.get_snap_time()->SnapTime);
    EXPECT_STREQ(topic.get_model().get_settlement_session().SessionDay,
                 book.get_settlement_session()->SessionDay);

    const std::vector<SimInstrument>& instruments = topic.get_model().get_instruments();
    ASSERT_EQ(int(instruments.size()), book.get_instrument_count());
    for (const SimInstrument& s : instruments) {
        const KORV::USER::KorvUserTopic::InstrumentMarketData* entry =
            book.get_instrument(s.Instrument.InstrumentNo);
        expect_same_instrument(s.Instrument, entry->Instrument);
        expect_same_market_data(s.MarketData, entry->MarketData);
        const std::vector<SimLevel>* sides[] = {&s.Bids, &s.Asks};
        const KORV::USER::PriceEntryTable* tables[] = {&entry->BidTable, &entry->AskTable};
        for (int side = 0; side < 2; ++side) {
            ASSERT_EQ(int(sides[side]->size()), tables[side]->get_count());
            for (size_t i = 0; i < sides[side]->size(); ++i) {
                EXPECT_EQ(SimMarketModel::level_price(s, (*sides[side])[i]),
                          tables[side]->get_entries()[i].Price);
                EXPECT_EQ((*sides[side])[i].volume, tables[side]->get_entries()[i].Volume);
            }
        }
    }

    // A gap reply carries the published packets themselves, as far as they go.
    uint32_t last = topic.get_packet_no();
    std::vector<std::string> gap =
        read_reply(simulator, client.stub.req_qry_topic_gap(TOPIC, last - 5, last + 10));
    sim_test::PacketStore store;
    for (const std::string& body : gap) {
        for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next())
            store.add_datagram(it.data(), unsigned(it.size()), TOPIC);
    }
    ASSERT_EQ(6u, store.market.size());
    EXPECT_EQ(last - 5, store.market.begin()->first);
    EXPECT_EQ(last, store.market.rbegin()->first);

    // An unknown topic is answered with an error, not a snapshot.
    std::vector<std::string> unknown = read_reply(simulator, client.stub.req_qry_topic_snap(4242));
    ASSERT_EQ(1u, unknown.size());
    MDQP_RspInfo info = MDQP_RspInfo();
    ASSERT_EQ(0, get_first_field(unknown[0].data(), int(unknown[0].size()), info));
    EXPECT_EQ(EC_DATA_ACCESS, info.ErrorID);
    EXPECT_EQ(1u, simulator.get_server()->counters().snapshots);
}

TEST_F(SimServerTest, WrongCredentialsAndRefusingLocationsAreTurnedAway)
{
    MdSimulator simulator(options_with(
        {"--listen", A, "--listen", B, "--login-error", B, "--rate", "0", "--linger", "60"}));
    ASSERT_EQ(0, simulator.start());
    SimServerCounters& counters = simulator.get_server()->counters();
    Client wrong(simulator, {A}, "guess");
    ASSERT_TRUE(step_until(simulator, [&] { return counters.refused_logins == 1; }));
    EXPECT_FALSE(wrong.logged_in());

    // B refuses everybody; the client moves on to A at once and gets in.
    Client failover(simulator, {B, A}, "secret");
    ASSERT_TRUE(step_until(simulator, [&] { return failover.logged_in(); }));
    EXPECT_EQ(2u, counters.refused_logins);
    EXPECT_EQ(1u, counters.logins);
}

TEST_F(SimServerTest, StoppedLocationDropsItsClients)
{
    MdSimulator simulator(
        options_with({"--listen", A, "--listen", B, "--rate", "0", "--linger", "60"}));
    ASSERT_EQ(0, simulator.start());
    Client client(simulator, {A, B}, "secret");
    ASSERT_TRUE(step_until(simulator, [&] { return client.logged_in(); }));
    simulator.get_server()->stop_serving(A);
    ASSERT_TRUE(step_until(simulator, [&] { return !client.logged_in(); }));
    // It moves on to B, which still serves.
    ASSERT_TRUE(step_until(simulator, [&] { return client.logged_in(); }));
    EXPECT_EQ(2u, simulator.get_server()->counters().logins);
}
