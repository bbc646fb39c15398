#include "source/mdqp_protocol/MdqpSender.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "tests/mdqp/test_mdqp_channel_peer.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/SelectReactor.h"

using namespace mdqp_test;

namespace {

class MdqpSenderTest : public ::testing::Test {
protected:
    MdqpSenderTest() : m_tcp(&m_reactor) {}

    void SetUp() override
    {
        ProtocolStackKey key;
        key.push_client(m_listener.location().c_str());
        m_channel.reset(
            new MdqpChannel(&m_reactor, m_tcp.open_session(key.get_key(0), nullptr, nullptr)));
        m_sender.reset(new MdqpSender(m_channel.get()));
        ASSERT_TRUE(run_until(m_reactor, [&] {
            int fd = m_listener.accept_one();
            if (fd >= 0)
                m_peer.adopt(fd);
            return m_peer.connected();
        }));
    }
    void TearDown() override
    {
        m_sender.reset();
        m_channel.reset();
    }

    std::vector<Parsed> receive(size_t count)
    {
        std::vector<Parsed> out;
        EXPECT_TRUE(run_until(m_reactor, [&] {
            Parsed p;
            while (m_peer.next_packet(p))
                out.push_back(p);
            return out.size() >= count;
        }));
        return out;
    }

    SelectReactor m_reactor;
    Listener m_listener;
    TcpProtocol m_tcp;
    Peer m_peer;
    std::unique_ptr<MdqpChannel> m_channel;
    std::unique_ptr<MdqpSender> m_sender;
};

}  // namespace

TEST_F(MdqpSenderTest, SnapshotRequestIsOnePacketOfEighteenBytes)
{
    BRAX::KORV::MDQP_TopicSnapTag tag;
    tag.TopicID = 1001;
    tag.SnapNo = -1;
    m_sender->prepare(0x31, 0x0a0b0c0d, 1);
    EXPECT_EQ(m_sender->append_field(tag), 0);
    EXPECT_EQ(m_sender->flush(), 0);
    ASSERT_TRUE(run_until(m_reactor, [&] {
        m_peer.receive();
        return m_peer.received().size() >= 18;
    }));
    const unsigned char expected[] = {0x01, 0x31, 0x0a, 0x00, 0x0d, 0x0c, 0x0b, 0x0a, 0x01,
                                      0x10, 0x06, 0x00, 0xe9, 0x03, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(m_peer.received(),
              std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

TEST_F(MdqpSenderTest, LongMessageGoesOutInPacketsWithTheContinueFlag)
{
    // Ten fields of 300 wire bytes: four fit a 1272-byte body.
    m_sender->prepare(0x32, 77, 1);
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        std::string body(296, static_cast<char>('a' + i));
        EXPECT_EQ(m_sender->append_field(0x0101, 296, body.data()), 0);
        expected += field(0x0101, body);
    }
    m_sender->flush();

    std::vector<Parsed> packets = receive(3);
    ASSERT_EQ(packets.size(), 3u);
    std::string joined;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].byte0, i < 2 ? 0x11 : 0x01) << i;
        EXPECT_EQ(packets[i].trans_id, 0x32);
        EXPECT_EQ(packets[i].request_id, 77u);
        joined += packets[i].body;
    }
    EXPECT_EQ(packets[0].body.size(), 1200u);
    EXPECT_EQ(packets[1].body.size(), 1200u);
    EXPECT_EQ(packets[2].body.size(), 600u);
    EXPECT_EQ(joined, expected);  // no field straddles two packets, none is lost
}

TEST_F(MdqpSenderTest, FieldLargerThanAnEmptyPacketIsRejectedNotRetried)
{
    const int largest = MDQP_SENDER_MAX_BODY - 4;
    std::string big(largest + 1, 'b');
    m_sender->prepare(0x32, 5, 1);
    EXPECT_EQ(m_sender->append_field(0x0102, 10, "0123456789"), 0);
    EXPECT_EQ(m_sender->append_field(0x0102, largest + 1, big.data()), EC_INSUF_BUFFER);
    // The refused field sent nothing; the message goes on as before.
    EXPECT_EQ(m_sender->append_field(0x0102, largest, big.data()), 0);
    m_sender->flush();

    std::vector<Parsed> packets = receive(2);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].byte0, 0x11);
    EXPECT_EQ(packets[0].body, field(0x0102, "0123456789"));
    EXPECT_EQ(packets[1].byte0, 0x01);
    EXPECT_EQ(packets[1].body, field(0x0102, big.substr(0, largest)));
    run_iterations(m_reactor, 10);
    Parsed extra;
    EXPECT_FALSE(m_peer.next_packet(extra));
}

TEST_F(MdqpSenderTest, AppendReportsTheFailedSendOfThePacketSoFar)
{
    // The peer goes away and the transport closes: every send now fails.
    m_peer.close();
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_tcp.channel_count() == 0; }));

    m_sender->prepare(0x32, 9, 1);
    std::string body(296, 'f');
    for (int i = 0; i < 4; ++i)  // 1200 of the 1272 body bytes
        ASSERT_EQ(m_sender->append_field(0x0101, 296, body.data()), 0);
    EXPECT_EQ(m_sender->append_field(0x0101, 296, body.data()), EC_CLOSED);

    BRAX::KORV::MDQP_TopicInstrument instrument{};
    int result = 0;
    for (int i = 0; i < 12 && result == 0; ++i)  // 11 of 116 bytes fill a packet
        result = m_sender->append_field(instrument);
    EXPECT_EQ(result, EC_CLOSED);
}
