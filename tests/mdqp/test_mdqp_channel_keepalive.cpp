// Runs on the real 1000 ms tick for about 13 seconds.
#include "source/mdqp_protocol/MdqpChannel.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "source/mdqp_protocol/MdqpPacketHandler.h"
#include "tests/mdqp/test_mdqp_channel_peer.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/SelectReactor.h"

using namespace mdqp_test;

namespace {

struct Side : MdqpPacketHandler {
    int handle_packet(MdqpChannel*, const MdqpPacket*) override
    {
        ++packets;
        return 0;
    }
    int handle_error(MdqpChannel*, int error) override
    {
        errors.push_back(error);
        heartbeats_at_error = heartbeats;
        return 0;
    }
    // Counts the heartbeats that arrived; anything else fails the test.
    void receive()
    {
        Parsed p;
        while (peer.next_packet(p)) {
            EXPECT_EQ(p.byte0, 1);
            EXPECT_EQ(p.trans_id, 0);
            EXPECT_EQ(p.request_id, 0u);
            EXPECT_EQ(p.body, "");
            ++heartbeats;
        }
    }

    Peer peer;
    std::unique_ptr<MdqpChannel> channel;
    int packets = 0;
    int heartbeats = 0;
    int heartbeats_at_error = -1;
    std::vector<int> errors;
};

void open(SelectReactor& reactor, TcpProtocol& tcp, Listener& listener, Side& side)
{
    ProtocolStackKey key;
    key.push_client(listener.location().c_str());
    side.channel.reset(
        new MdqpChannel(&reactor, tcp.open_session(key.get_key(0), nullptr, nullptr)));
    side.channel->attach_packet_handler(&side);
    ASSERT_TRUE(run_until(reactor, [&] {
        int fd = listener.accept_one();
        if (fd >= 0)
            side.peer.adopt(fd);
        return side.peer.connected();
    }));
}

}  // namespace

TEST(MdqpChannelKeepAlive, HeartbeatsEveryThreeTicksAndExpiryTenTicksAfterTheLastPacket)
{
    SelectReactor reactor;
    TcpProtocol tcp(&reactor);
    // One listener each: sessions to the same address share a connection.
    Listener silent_server, answering_server, replying_server;
    Side silent, answering, replying;
    open(reactor, tcp, silent_server, silent);
    open(reactor, tcp, answering_server, answering);
    open(reactor, tcp, replying_server, replying);

    // The answering peer sends one heartbeat back, right after the channel's
    // first one (tick 3): the channel then lives ten ticks from there. The
    // replying peer never sends a heartbeat, only the packets of one long
    // reply, one after each heartbeat it receives: data keeps it alive too.
    bool answered = false;
    int reply_packets = 0;
    ASSERT_TRUE(run_until(
        reactor,
        [&] {
            silent.receive();
            answering.receive();
            replying.receive();
            if (!answered && answering.heartbeats == 1) {
                answering.peer.send(heartbeat());
                answered = true;
            }
            if (reply_packets < replying.heartbeats) {
                replying.peer.send(packet(0x32, 7, field(0x1004, le32(1)), 1));
                ++reply_packets;
            }
            return !silent.errors.empty() && !answering.errors.empty();
        },
        30000));
    // Let the last bytes reach the peers; the timers are not re-armed.
    run_iterations(reactor, 50);
    silent.receive();
    answering.receive();

    EXPECT_EQ(silent.errors, std::vector<int>{EC_TIMEOUT});
    EXPECT_EQ(silent.heartbeats, 3);  // ticks 3, 6 and 9
    EXPECT_EQ(answering.errors, std::vector<int>{EC_TIMEOUT});
    EXPECT_EQ(answering.heartbeats, 4);  // ticks 3, 6, 9 and 12
    EXPECT_EQ(answering.heartbeats_at_error, 4);
    // Heartbeats never reach the handler.
    EXPECT_EQ(answering.packets, 0);
    // Thirteen ticks with no heartbeat from the replying peer, and alive.
    EXPECT_TRUE(replying.errors.empty());
    EXPECT_EQ(replying.packets, 4);
    silent.channel.reset();
    answering.channel.reset();
    replying.channel.reset();
}
