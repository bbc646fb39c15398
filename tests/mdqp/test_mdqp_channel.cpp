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
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/SelectReactor.h"

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

TEST_F(MdqpChannelTest, PacketLongerThanTheReadLimitIsRefusedWithAReport)
{
    EventLog events;
    std::string header = packet(0x32, 5, "").substr(0, 2) + le16(20000) + le32(5);
    Packet stream(header.data(), static_cast<int>(header.size()));
    EXPECT_EQ(m_channel->handle_packet(nullptr, nullptr, &stream), EC_FORMAT);
    EXPECT_EQ(stream.length(), header.size());
    ASSERT_EQ(events.lines.size(), 1u);
    EXPECT_EQ(events.lines[0].rfind("event MdqpError 3 refused packet of 20008 bytes", 0), 0u)
        << events.lines[0];

    // Over the wire the transport closes and the handler hears of it.
    m_peer.send(header);
    ASSERT_TRUE(run_until(m_reactor, [&] { return !m_recorder.errors.empty(); }));
    EXPECT_EQ(m_recorder.errors, std::vector<int>{EC_FORMAT});
    EXPECT_TRUE(m_recorder.packets.empty());
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
