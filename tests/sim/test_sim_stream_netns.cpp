#include "apps/korv_md_simulator/MdSimulator.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/korv_user/KorvMdqpResultSet.h"
#include "source/korv_user/KorvUserMdqpStub.h"
#include "tests/sim/SimTestBook.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/Reactor.h"

using namespace KORV::SIM;
using KORV::USER::KorvMdqpResultSet;
using KORV::USER::KorvUserMdqpStub;
using KORV::USER::KorvUserTopic;

namespace {

const char* const SERVER = "tcp://127.0.0.1:30207";
const char* const GROUP = "udpg://239.3.0.1:30201";
const int TOPICS[] = {1001, 1002};

// Keeps every datagram of the group, split per topic.
class Receiver : public Demuxer {
public:
    int handle_packet(Protocol*, const ProtocolKey*, Packet* datagram) override
    {
        for (int topic : TOPICS)
            m_stores[topic].add_datagram(datagram->data(), datagram->length(), uint16_t(topic));
        datagram->pop(datagram->length());
        return 0;
    }
    int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }

    std::map<int, sim_test::PacketStore> m_stores;
};

// done() is asked once per iteration and never again after it held.
bool pump_until(Reactor* reactor, const std::function<bool()>& done)
{
    for (int i = 0; i < 1500; ++i) {
        if (done())
            return true;
        reactor->wake_up();
    }
    return false;
}

std::vector<std::string> read_reply(Reactor* reactor, KorvMdqpResultSet* reply)
{
    std::vector<std::string> bodies;
    PacketBufferExt<1536> buffer;
    int result = -1;
    EXPECT_TRUE(pump_until(reactor, [&] {
        buffer.reset(0);
        result = reply->read(buffer);
        return result != -1;
    }));
    while (result == 0) {
        bodies.emplace_back(buffer.data(), buffer.length());
        buffer.reset(0);
        result = reply->read(buffer);
    }
    reply->close();
    return bodies;
}

// The truth file, as the simulator writes it for --truth: lines per topic.
std::map<int, std::vector<std::string>> read_truth(const std::string& path)
{
    std::map<int, std::vector<std::string>> topics;
    std::ifstream in(path);
    std::string line;
    int topic = -1;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "# topic ") == 0)
            topic = std::stoi(line.substr(8));
        else
            topics[topic].push_back(line);
    }
    return topics;
}

}  // namespace

TEST(SimStream, MulticastWithFaultsPlusGapRepliesRebuildsTheTruth)
{
    signal(SIGPIPE, SIG_IGN);
    const char* args[] = {"korv_md_simulator",
                          "--listen",
                          SERVER,
                          "--publish",
                          GROUP,
                          "--topic",
                          "1001",
                          "--topic",
                          "1002",
                          "--instruments",
                          "8",
                          "--rate",
                          "1500",
                          "--duration",
                          "1",
                          "--linger",
                          "0.5",
                          "--heartbeat",
                          "100",
                          "--drop",
                          "0.05",
                          "--duplicate",
                          "0.05",
                          "--reorder",
                          "4",
                          "--seed",
                          "11",
                          "--truth",
                          "sim_stream_truth.txt"};
    SimOptions options;
    ASSERT_EQ(0, options.parse(int(sizeof args / sizeof args[0]), args)) << options.get_error();
    MdSimulator simulator(options);
    Reactor* reactor = simulator.get_reactor();

    Receiver receiver;
    UdpgProtocol udpg(reactor);
    ProtocolStackKey group;
    ASSERT_EQ(0, group.push_client(GROUP));
    ASSERT_EQ(0, udpg.bind_upper_demuxer(group.get_key(0), &receiver));

    ASSERT_EQ(0, simulator.start());
    KorvUserMdqpStub stub(reactor);
    stub.reg_server(SERVER);
    stub.set_authentication("P01", "U01", "secret");
    ASSERT_TRUE(
        pump_until(reactor, [&] { return stub.state() == KorvUserMdqpStub::SID_LoggedIn; }));

    // Snapshots while the market runs: each is consistent with its packet number.
    std::map<int, KorvUserTopic*> books;
    std::map<int, uint32_t> snapshot_packet;
    for (int topic : TOPICS) {
        books[topic] = new KorvUserTopic(int16_t(topic));
        long packet_no = -1;
        for (const std::string& body : read_reply(reactor, stub.req_qry_topic_snap(short(topic)))) {
            long no = sim_test::apply_snapshot_body(*books[topic], body.data(), int(body.size()));
            if (no >= 0)
                packet_no = no;
        }
        ASSERT_GE(packet_no, 0);
        snapshot_packet[topic] = uint32_t(packet_no);
        books[topic]->commit();
        sim_test::drain_updates(*books[topic]);
    }

    while (simulator.step()) {
    }
    simulator.get_publisher()->finish();
    for (int i = 0; i < 50; ++i)
        reactor->wake_up();
    ASSERT_EQ(0, simulator.finish());
    std::map<int, std::vector<std::string>> truth = read_truth("sim_stream_truth.txt");

    for (int topic : TOPICS) {
        const SimTopic* sim_topic = nullptr;
        for (const SimTopic* t : simulator.get_topics()) {
            if (t->get_topic_id() == topic)
                sim_topic = t;
        }
        ASSERT_NE(nullptr, sim_topic);
        uint32_t last = sim_topic->get_packet_no();
        sim_test::PacketStore& store = receiver.m_stores[topic];
        EXPECT_GT(store.continued, 0) << "topic " << topic;
        EXPECT_GT(store.shared_datagrams, 0) << "topic " << topic;
        EXPECT_GT(store.heartbeats[last + 1], 0) << "idle heartbeats announce the next number";
        EXPECT_LE(store.heartbeats.rbegin()->first, last + 1);

        // Fill what the faults took from the server's history, as a subscriber would.
        size_t received = store.market.size();
        uint32_t missing = 0;
        KorvUserTopic& book = *books[topic];
        uint32_t applied = snapshot_packet[topic];
        for (int round = 0; round < 50; ++round) {
            if (sim_test::apply_packets(book, store, applied, last, missing))
                break;
            applied = missing - 1;
            for (const std::string& body :
                 read_reply(reactor, stub.req_qry_topic_gap(short(topic), missing, last + 1))) {
                for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next())
                    store.add_datagram(it.data(), unsigned(it.size()), uint16_t(topic));
            }
        }
        EXPECT_GT(store.market.size(), received) << "some packets came only from gap replies";
        ASSERT_TRUE(sim_test::apply_packets(book, store, last, last, missing));

        const std::vector<std::string>& lines = truth[topic];
        ASSERT_EQ(size_t(2 * book.get_instrument_count()), lines.size());
        for (int no = 0; no < book.get_instrument_count(); ++no) {
            EXPECT_EQ(lines[size_t(2 * no)], sim_test::market_data_line(book, no));
            EXPECT_EQ(lines[size_t(2 * no + 1)], sim_test::levels_line(book, no));
        }
        EXPECT_EQ(0u, book.get_rejected_count());
        delete books[topic];
    }
    const SimPublisherCounters& counters = simulator.get_publisher()->get_counters();
    EXPECT_GT(counters.dropped, 0u);
    EXPECT_GT(counters.duplicated, 0u);
    udpg.unbind_upper_demuxer(group.get_key(0));
}
