#include "source/mdqp_protocol/MdqpChannel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpPacketHandler.h"
#include "tests/mdqp/test_mdqp_channel_peer.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/Protocol.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/SelectReactor.h"
#include "velta/source/task/TaskQueue.h"

using namespace mdqp_test;

namespace {

struct Recorder : MdqpPacketHandler {
    int handle_packet(MdqpChannel*, const MdqpPacket* packet) override
    {
        Parsed p;
        p.byte0 = packet->flag() << 4;
        p.trans_id = packet->trans_id();
        p.request_id = packet->request_id();
        p.body.assign(packet->data(), packet->length());
        packets.push_back(p);
        return result;
    }
    int handle_error(MdqpChannel*, int error) override
    {
        errors.push_back(error);
        return 0;
    }
    std::vector<Parsed> packets;
    std::vector<int> errors;
    int result = 0;
};

struct EventLog : Logger {
    EventLog() { reg_logger(LOG_EVENT_SLOT, this, 6); }
    ~EventLog() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }
    void output(const char* line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// A channel on a fresh TCP connection to a test peer.
class MdqpChannelTest : public ::testing::Test {
protected:
    explicit MdqpChannelTest(int peer_rcvbuf = 0) : m_listener(peer_rcvbuf), m_tcp(&m_reactor) {}

    void SetUp() override
    {
        ProtocolStackKey key;
        key.push_client(m_listener.location().c_str());
        Session* session = m_tcp.open_session(key.get_key(0), nullptr, nullptr);
        ASSERT_NE(session, nullptr);
        m_channel.reset(new MdqpChannel(&m_reactor, session));
        m_channel->attach_packet_handler(&m_recorder);
        ASSERT_TRUE(run_until(m_reactor, [&] {
            int fd = m_listener.accept_one();
            if (fd >= 0)
                m_peer.adopt(fd);
            return m_peer.connected();
        }));
    }
    void TearDown() override { m_channel.reset(); }

    // One packet of the given request id and body, built as a sender would.
    int write_packet(uint32_t request_id, size_t body_size)
    {
        std::string bytes = packet(0x32, request_id, std::string(body_size, 'x'));
        PacketBufferExt<4096> buffer;
        buffer.reset(256);
        buffer.append(bytes.data(), bytes.size());
        return m_channel->write_down(buffer);
    }

    SelectReactor m_reactor;
    Listener m_listener;
    TcpProtocol m_tcp;
    Peer m_peer;
    Recorder m_recorder;
    std::unique_ptr<MdqpChannel> m_channel;
};

class MdqpChannelSmallWindowTest : public MdqpChannelTest {
protected:
    MdqpChannelSmallWindowTest() : MdqpChannelTest(4096) {}
};

// A session without a socket, so that a test decides when writes are taken:
// while blocked it refuses them with -1 and keeps the writer's task, which
// unblock() wakes as a transport does when its backlog has drained.
struct ScriptedProtocol : Protocol {
    Session* open_session(const ProtocolKey*, Protocol*, Session*) override { return nullptr; }
    int bind_upper_demuxer(const ProtocolKey*, Demuxer*) override { return 0; }
    int unbind_upper_demuxer(const ProtocolKey*) override { return 0; }
    int handle_packet(Protocol*, const ProtocolKey*, Packet*) override { return 0; }
    int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }
};

struct ScriptedSession : Session {
    explicit ScriptedSession(Protocol* protocol) : m_protocol(protocol) {}
    int write(const PacketBuffer& buffer) override
    {
        if (m_blocked)
            return EC_WOULDBLOCK;
        m_written.emplace_back(buffer.data(), buffer.length());
        return 0;
    }
    int schedule(Task* task) override
    {
        if (!m_blocked)
            return 0;
        m_writers.push_back(task);
        return EC_WOULDBLOCK;
    }
    ProtocolKey* get_protocol_key() override { return &m_key; }
    Protocol* get_protocol() override { return m_protocol; }
    void unblock()
    {
        m_blocked = false;
        m_writers.emit_all();
    }

    Protocol* m_protocol;
    ProtocolKey m_key{PROTOCOL_ID_TCP, static_cast<int>(sizeof(ProtocolKey))};
    bool m_blocked = true;
    TaskQueue m_writers;
    std::vector<std::string> m_written;
};

class MdqpChannelScriptedTest : public ::testing::Test {
protected:
    explicit MdqpChannelScriptedTest(unsigned long limit = MDQP_WRITE_QUEUE_LIMIT)
        : m_session(new ScriptedSession(&m_protocol)),
          m_channel(new MdqpChannel(&m_reactor, m_session, limit))
    {
        m_channel->attach_packet_handler(&m_recorder);
    }
    ~MdqpChannelScriptedTest() override { m_channel.reset(); }

    int write_packet(uint32_t request_id, size_t body_size)
    {
        std::string bytes = packet(0x32, request_id, std::string(body_size, 'q'));
        PacketBufferExt<2048> buffer;
        buffer.reset(256);
        buffer.append(bytes.data(), bytes.size());
        return m_channel->write_down(buffer);
    }
    std::vector<uint32_t> written_ids() const
    {
        std::vector<uint32_t> ids;
        for (std::string bytes : m_session->m_written) {
            Parsed p;
            EXPECT_TRUE(take_packet(bytes, p));
            EXPECT_TRUE(bytes.empty());
            ids.push_back(p.trans_id == 0 ? 0 : p.request_id);
        }
        return ids;
    }

    SelectReactor m_reactor;
    ScriptedProtocol m_protocol;
    ScriptedSession* m_session;  // owned by the channel
    Recorder m_recorder;
    std::unique_ptr<MdqpChannel> m_channel;
};

class MdqpChannelSmallQueueTest : public MdqpChannelScriptedTest {
protected:
    MdqpChannelSmallQueueTest() : MdqpChannelScriptedTest(10000) {}
};

}  // namespace

TEST_F(MdqpChannelTest, EachCallConsumesOneWholePacketAndLeavesAPartialOneAlone)
{
    std::string first = packet(0x32, 7, field(1, "abc"));
    std::string second = packet(0x34, 8, "");
    std::string third = packet(0x32, 9, field(2, "defgh"));
    std::string bytes = first + heartbeat() + second + third.substr(0, 11);
    Packet stream(bytes.data(), static_cast<int>(bytes.size()));

    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), 0);
    ASSERT_EQ(m_recorder.packets.size(), 1u);
    EXPECT_EQ(m_recorder.packets[0].request_id, 7u);
    EXPECT_EQ(m_recorder.packets[0].body, field(1, "abc"));

    // The heartbeat is consumed but goes no further.
    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), 0);
    EXPECT_EQ(m_recorder.packets.size(), 1u);

    // The handler's result goes back to the transport as it is.
    m_recorder.result = EC_DISCARD;
    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), EC_DISCARD);
    ASSERT_EQ(m_recorder.packets.size(), 2u);
    EXPECT_EQ(m_recorder.packets[1].trans_id, 0x34);
    EXPECT_EQ(m_recorder.packets[1].body, "");

    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), EC_WOULDBLOCK);
    EXPECT_EQ(stream.length(), 11u);
    EXPECT_EQ(std::string(stream.data(), stream.length()), third.substr(0, 11));
    EXPECT_EQ(m_recorder.packets.size(), 2u);
}

TEST_F(MdqpChannelTest, PacketsSplitAcrossReadsArriveWholeAndInOrder)
{
    std::string third = packet(0x32, 3, field(0x101, std::string(300, 'i')));
    m_peer.send(packet(0x32, 1, field(1, "one")) + heartbeat() + packet(0x32, 2, "") +
                third.substr(0, 100));
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_recorder.packets.size() == 2; }));
    run_iterations(m_reactor, 20);
    EXPECT_EQ(m_recorder.packets.size(), 2u);

    m_peer.send(third.substr(100));
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_recorder.packets.size() == 3; }));
    EXPECT_EQ(m_recorder.packets[0].request_id, 1u);
    EXPECT_EQ(m_recorder.packets[1].request_id, 2u);
    EXPECT_EQ(m_recorder.packets[2].body, third.substr(8));
    EXPECT_TRUE(m_recorder.errors.empty());
}

TEST_F(MdqpChannelTest, PacketsAsLongAsTheReceiveBufferArriveLongerOnesAreRefused)
{
    // The transport's receive buffer holds 18432 bytes: a packet of that
    // length arrives whole, one byte more could never be taken.
    EventLog events;
    std::string longest = packet(0x32, 4, field(0x101, std::string(18432 - 8 - 4, 'L')));
    ASSERT_EQ(longest.size(), 18432u);
    m_peer.send(longest);
    ASSERT_TRUE(run_until(
        m_reactor, [&] { return !m_recorder.packets.empty() || !m_recorder.errors.empty(); }));
    ASSERT_EQ(m_recorder.packets.size(), 1u);
    EXPECT_EQ(m_recorder.packets[0].body, longest.substr(8));
    EXPECT_TRUE(events.lines.empty());

    std::string header = packet(0x32, 5, "").substr(0, 2) + le16(18433 - 8) + le32(5);
    Packet stream(header.data(), static_cast<int>(header.size()));
    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), EC_FORMAT);
    EXPECT_EQ(stream.length(), header.size());
    ASSERT_EQ(events.lines.size(), 1u);
    EXPECT_EQ(events.lines[0].rfind("event MdqpError 3 refused packet of 18433 bytes", 0), 0u)
        << events.lines[0];

    // Over the wire the transport closes and the handler hears of it.
    m_peer.send(header);
    ASSERT_TRUE(run_until(m_reactor, [&] { return !m_recorder.errors.empty(); }));
    EXPECT_EQ(m_recorder.errors, std::vector<int>{EC_FORMAT});
    EXPECT_EQ(m_recorder.packets.size(), 1u);
}

TEST_F(MdqpChannelTest, SeveralClosesGiveOneReportWithTheLastError)
{
    m_channel->close(EC_READ);
    m_channel->close(EC_CLOSED);
    EXPECT_TRUE(m_recorder.errors.empty());  // reported on the reactor's next turn
    run_iterations(m_reactor, 5);
    EXPECT_EQ(m_recorder.errors, std::vector<int>{EC_CLOSED});

    // An attached handler hears once more when the channel goes.
    m_channel.reset();
    EXPECT_EQ(m_recorder.errors, (std::vector<int>{EC_CLOSED, EC_CLOSED}));
}

TEST_F(MdqpChannelTest, PacketTooLongForTheWriteQueueIsRefusedUnsent)
{
    EXPECT_EQ(write_packet(1, MDQP_MAX_WRITE_LENGTH - 8 + 1), EC_INSUF_BUFFER);
    EXPECT_EQ(write_packet(2, MDQP_MAX_WRITE_LENGTH - 8), 0);
    Parsed p;
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_peer.next_packet(p); }));
    EXPECT_EQ(p.request_id, 2u);
    EXPECT_TRUE(m_recorder.errors.empty());
}

TEST_F(MdqpChannelSmallWindowTest, QueuedPacketsKeepTheOrderOfWriteDown)
{
    // Fill the socket and the transport's backlog until the session refuses.
    uint32_t request_id = 0;
    while (write_packet(++request_id, 1000) != EC_WOULDBLOCK)
        ASSERT_LT(request_id, 100000u);
    EXPECT_FALSE(m_channel->writable());
    // Far more than one write burst waits behind the first refused packet.
    for (int i = 0; i < 3 * MDQP_WRITE_BURST; ++i)
        EXPECT_EQ(write_packet(++request_id, 40), EC_WOULDBLOCK);

    // Drain, writing more between reactor turns: whatever the session would
    // take at that moment, a new packet goes behind the queued ones.
    const uint32_t last = request_id + 500;
    std::vector<uint32_t> order;
    ASSERT_TRUE(run_until(m_reactor, [&] {
        if (request_id < last)
            write_packet(++request_id, 40);
        Parsed p;
        while (m_peer.next_packet(p))
            if (p.trans_id != 0)  // the channel's own heartbeats go in between
                order.push_back(p.request_id);
        return order.size() == last;
    }));
    for (uint32_t i = 0; i < last; ++i)
        ASSERT_EQ(order[i], i + 1) << "at " << i;
    EXPECT_TRUE(m_channel->writable());
    EXPECT_TRUE(m_recorder.errors.empty());
}

TEST_F(MdqpChannelScriptedTest, LongQueueDrainsInBurstsOf64AndYieldsBetweenThem)
{
    for (uint32_t id = 1; id <= 200; ++id)
        ASSERT_EQ(write_packet(id, 40), EC_WOULDBLOCK);
    EXPECT_FALSE(m_channel->writable());

    // The session wakes the write task: one burst at once, then one per
    // reactor turn, with nothing more written by the caller.
    m_session->unblock();
    EXPECT_EQ(m_session->m_written.size(), 64u);
    EXPECT_FALSE(m_channel->writable());
    std::vector<size_t> after_turns;
    for (int turn = 0; turn < 3; ++turn) {
        m_reactor.wake_up();
        after_turns.push_back(m_session->m_written.size());
    }
    EXPECT_EQ(after_turns, (std::vector<size_t>{128, 192, 200}));
    EXPECT_TRUE(m_channel->writable());
    std::vector<uint32_t> ids = written_ids();
    for (uint32_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(ids[i], i + 1);
}

TEST_F(MdqpChannelScriptedTest, HeartbeatIsSkippedWhileTheChannelIsNotWritable)
{
    ASSERT_EQ(write_packet(1, 10), EC_WOULDBLOCK);
    EXPECT_EQ(m_channel->write_heartbeat(), EC_WOULDBLOCK);
    ASSERT_EQ(write_packet(2, 10), EC_WOULDBLOCK);
    m_session->unblock();
    EXPECT_EQ(written_ids(), (std::vector<uint32_t>{1, 2}));  // no heartbeat between

    // Writable again, a heartbeat is the eight bytes of version 1.
    EXPECT_EQ(m_channel->write_heartbeat(), 0);
    ASSERT_EQ(m_session->m_written.size(), 3u);
    EXPECT_EQ(m_session->m_written[2], std::string("\x01\0\0\0\0\0\0\0", 8));
}

TEST_F(MdqpChannelSmallQueueTest, WriteQueueOverItsLimitClosesTheChannel)
{
    EventLog events;
    // 9 packets of 1008 bytes fit 10000; the tenth would not.
    for (uint32_t id = 1; id <= 9; ++id)
        ASSERT_EQ(write_packet(id, 1000), EC_WOULDBLOCK) << id;
    EXPECT_EQ(write_packet(10, 1000), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(write_packet(11, 1000), EC_OUT_OF_BOUNDS);
    run_iterations(m_reactor, 3);
    EXPECT_EQ(m_recorder.errors, std::vector<int>{EC_OUT_OF_BOUNDS});
    ASSERT_EQ(events.lines.size(), 1u);
    EXPECT_EQ(events.lines[0],
              "event MdqpError 3 write queue over 10000 bytes, closing the channel");
    // What was queued before the limit is not lost.
    m_session->unblock();
    EXPECT_EQ(written_ids(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}
