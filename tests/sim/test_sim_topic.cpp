#include "apps/korv_md_simulator/SimTopic.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimTruthWriter.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "tests/sim/SimCaptureSession.h"
#include "tests/sim/SimTestBook.h"

using namespace KORV::SIM;
using namespace BRAX::KORV;
using sim_test::PacketStore;

namespace {

constexpr unsigned START = 1765260000;
constexpr int TOPIC = 1001;

// The truth writer's lines for one topic, header line first.
std::vector<std::string> truth_lines(const SimTopic& topic)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    SimTruthWriter(out).write_topic(topic.get_model(), topic.get_packet_no(), topic.get_snap_no());
    fclose(out);
    std::vector<std::string> lines;
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n"))
        lines.push_back(line);
    free(text);
    return lines;
}

// A book filled with the records the snapshot would carry.
void fill_from_model(KORV::USER::KorvUserTopic& book, const SimMarketModel& model)
{
    MDQP_TopicSettlementSession session = MDQP_TopicSettlementSession();
    memcpy(session.SessionDay, model.get_settlement_session().SessionDay, 9);
    memcpy(session.SessionCode, model.get_settlement_session().SessionCode, 9);
    session.SessionNo = model.get_settlement_session().SessionNo;
    book.handle_settlement_session(&session);
    book.set_market_data_depth(model.get_depth());
    for (const SimInstrument& s : model.get_instruments()) {
        book.handle_instrument(&s.Instrument);
        book.handle_market_data(&s.MarketData);
        for (const std::vector<SimLevel>* side : {&s.Bids, &s.Asks}) {
            for (const SimLevel& level : *side) {
                MDQP_TopicMarketByPrice record = MDQP_TopicMarketByPrice();
                record.InstrumentNo = s.Instrument.InstrumentNo;
                record.EntryType = side == &s.Bids ? MDET_Bid : MDET_Ask;
                record.Price = SimMarketModel::level_price(s, level);
                record.Volume = level.volume;
                book.handle_market_by_price(&record);
            }
        }
    }
    book.commit();
    sim_test::drain_updates(book);
}

void expect_book_equals_truth(const KORV::USER::KorvUserTopic& book, const SimTopic& topic)
{
    std::vector<std::string> truth = truth_lines(topic);
    int count = int(topic.get_model().get_instruments().size());
    ASSERT_EQ(size_t(1 + 2 * count), truth.size());
    ASSERT_EQ(count, book.get_instrument_count());
    for (int no = 0; no < count; ++no) {
        EXPECT_EQ(truth[size_t(1 + 2 * no)], sim_test::market_data_line(book, no))
            << "instrument " << no;
        EXPECT_EQ(truth[size_t(2 + 2 * no)], sim_test::levels_line(book, no))
            << "instrument " << no;
    }
    EXPECT_EQ(0u, book.get_rejected_count());
}

}  // namespace

TEST(SimTopic, StreamDecodedByTheLibraryRebuildsTheTruthForEveryDepth)
{
    for (int depth : {1, 5, 20}) {
        std::vector<std::string> datagrams;
        SimPublisher publisher(new sim_test::SimCaptureSession(&datagrams), 1472, SimFaults(), 1);
        SimTopic topic(TOPIC, 12, depth, 5, 100000, &publisher, START, 0);
        KORV::USER::KorvUserTopic book(TOPIC);
        fill_from_model(book, topic.get_model());
        expect_book_equals_truth(book, topic);

        int packets = 0;
        for (int n = 0; n < 1500; ++n) {
            packets += topic.publish_sequence(START + unsigned(n / 10), unsigned(n % 10) * 100);
            if (n % 3 == 2)
                publisher.flush();
        }
        publisher.finish();
        EXPECT_EQ(0u, topic.get_encode_failures());
        EXPECT_EQ(uint32_t(packets), topic.get_packet_no());
        EXPECT_EQ(1500, topic.get_snap_no());

        PacketStore store;
        for (const std::string& datagram : datagrams) {
            ASSERT_LE(datagram.size(), 1472u);
            store.add_datagram(datagram.data(), datagram.size(), TOPIC);
        }
        EXPECT_GT(store.continued, 0) << "long sequences go out as continue packets";
        EXPECT_GT(store.shared_datagrams, 0) << "small packets share datagrams";
        uint32_t missing = 0;
        ASSERT_TRUE(sim_test::apply_packets(book, store, 0, topic.get_packet_no(), missing))
            << "packet " << missing;
        expect_book_equals_truth(book, topic);
        EXPECT_EQ(topic.get_snap_no(), book.get_snap_no())
            << "the last packet carries the number of the last sequence";
    }
}

TEST(SimTopic, HeartbeatCarriesTheNextNumberWithoutTakingIt)
{
    std::vector<std::string> datagrams;
    SimPublisher publisher(new sim_test::SimCaptureSession(&datagrams), 1472, SimFaults(), 1);
    SimTopic topic(TOPIC, 3, 5, 1, 100, &publisher, START, 0);
    topic.publish_heartbeat(START, 0);
    int packets = topic.publish_sequence(START, 10);
    topic.publish_heartbeat(START, 20);
    topic.publish_heartbeat(START, 30);
    publisher.finish();
    PacketStore store;
    for (const std::string& datagram : datagrams)
        store.add_datagram(datagram.data(), datagram.size(), TOPIC);
    EXPECT_EQ(1, store.heartbeats[1]);
    EXPECT_EQ(2, store.heartbeats[uint32_t(packets) + 1]);
    EXPECT_EQ(size_t(packets), store.market.size());
    EXPECT_EQ(1u, store.market.begin()->first);
    EXPECT_EQ(uint32_t(packets), topic.get_packet_no());
}

TEST(SimTopic, TopicsOnOneGroupAreNumberedIndependently)
{
    std::vector<std::string> datagrams;
    SimPublisher publisher(new sim_test::SimCaptureSession(&datagrams), 1472, SimFaults(), 1);
    SimTopic first(1001, 3, 5, 1, 100, &publisher, START, 0);
    SimTopic second(1002, 3, 5, 1, 100, &publisher, START, 0);
    int a = 0;
    int b = 0;
    for (int n = 0; n < 20; ++n) {
        a += first.publish_sequence(START, 0);
        b += second.publish_sequence(START, 0);
    }
    publisher.finish();
    PacketStore one;
    PacketStore two;
    for (const std::string& datagram : datagrams) {
        one.add_datagram(datagram.data(), datagram.size(), 1001);
        two.add_datagram(datagram.data(), datagram.size(), 1002);
    }
    ASSERT_EQ(size_t(a), one.market.size());
    ASSERT_EQ(size_t(b), two.market.size());
    EXPECT_EQ(1u, one.market.begin()->first);
    EXPECT_EQ(uint32_t(a), one.market.rbegin()->first);
    EXPECT_EQ(1u, two.market.begin()->first);
    EXPECT_EQ(uint32_t(b), two.market.rbegin()->first);
}
