// The demultiplexer on a real group in a private network namespace: a bad
// datagram costs nothing but itself, a socket that keeps failing is replaced
// at a measured pace, and a group whose route goes away is joined again once
// it is back, without ending the process.
#include "source/korv_user/KorvUserMirpDemuxer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/DrivenReactor.h"
#include "tests/korv_user/test_subscriber_fixture.h"
#include "tests/protocol/test_udpg_sockets.h"

using namespace subscriber_test;

namespace {

void send_datagram(int fd, const std::string& data, unsigned short port)
{
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = inet_addr("239.3.0.9");
    group.sin_port = htons(port);
    ASSERT_EQ(
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
        ssize_t(data.size()));
}

int loopback_sender()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo;
    lo.s_addr = inet_addr("127.0.0.1");
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = lo;
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    return fd;
}

std::string local_address(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
}

class DemuxerNetns : public SubscriberTest {};

}  // namespace

TEST_F(DemuxerNetns, OneBadDatagramLosesNothingQueuedBehindIt)
{
    testing::internal::CaptureStdout();
    Parsed query = login();
    answer_snapshot(query, 0);
    ASSERT_TRUE(run_until_live());
    {
        KorvUserMirpDemuxer demuxer(&m_reactor, "udpg://239.3.0.9:17111");
        ASSERT_EQ(demuxer.attach(TOPIC, m_subscriber.get()), 0);
        run_iterations(m_reactor, 3);

        int fd = loopback_sender();
        std::string lying = mirp_packet(2);
        lying.resize(lying.size() - 1);
        // All queued in the socket before the reactor reads any of them.
        send_datagram(fd, mirp_packet(1), 17111);
        send_datagram(fd, "", 17111);
        send_datagram(fd, lying, 17111);
        for (uint32_t no = 2; no <= 101; ++no)
            ASSERT_NO_FATAL_FAILURE(send_datagram(fd, mirp_packet(no), 17111));
        EXPECT_TRUE(run_until(m_reactor, [&] { return volume() == 201; })) << volume();
        Parsed asked;
        bool queried = false;
        while (m_peer.next_packet(asked))
            queried |= asked.trans_id != 0;
        EXPECT_FALSE(queried);
        EXPECT_EQ(m_events.count("multicast channel closed"), 0);
        EXPECT_EQ(m_events.count("event MirpError 3 datagram refused"), 1);

        // Refusals after the first are counted, and the summary a second
        // later names their sender.
        send_datagram(fd, lying, 17111);
        run_iterations(m_reactor, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        send_datagram(fd, lying, 17111);
        EXPECT_TRUE(run_until(m_reactor, [&] { return m_events.count("more refused") == 1; }));
        std::string sender = local_address(fd);
        EXPECT_EQ(m_events.count("content cut short: 2 more refused"), 1);
        EXPECT_EQ(m_events.count("first from " + sender + ", last from " + sender), 1);
        ::close(fd);
    }
    testing::internal::GetCapturedStdout();
}

// A socket that failed every receive used to be replaced on the very next
// turn of the loop, and its replacement the turn after: a new socket and a
// join of the group per turn. The timers are driven by hand.
TEST(DemuxerRebind, EachReceiveErrorBindsAgainOnlyAfterThePause)
{
    DrivenReactor reactor;
    EventLog events;
    testing::internal::CaptureStdout();
    {
        KorvUserMirpDemuxer demuxer(&reactor, "udpg://239.3.0.9:17113");
        run_iterations(reactor, 3);
        ASSERT_NE(udpg_test::find_group_socket(17113), -1);
        for (uint64_t errors = 1; errors <= 3; ++errors) {
            SCOPED_TRACE(errors);
            ASSERT_TRUE(udpg_test::break_socket(udpg_test::find_group_socket(17113)));
            ASSERT_TRUE(run_until(
                reactor, [&] { return demuxer.get_counters().channel_errors.get() == errors; }));
            run_iterations(reactor, 20);
            EXPECT_EQ(udpg_test::find_group_socket(17113), -1);
            reactor.advance_timers(KorvUserMirpDemuxer::REBIND_DELAY - 8);
            EXPECT_EQ(udpg_test::find_group_socket(17113), -1);
            reactor.advance_timers(8);
            EXPECT_NE(udpg_test::find_group_socket(17113), -1);
        }
        EXPECT_EQ(events.count("multicast channel closed, error = -2, subscribe again in 1000 ms"),
                  1);
    }
    testing::internal::GetCapturedStdout();
}

// Inside the namespace only: the test takes the multicast route away.
TEST(DemuxerRoute, ALostRouteIsRetriedUntilItIsBack)
{
    const char* inside = getenv("KORV_IN_NETNS");
    if (inside == nullptr || std::string(inside) != "1")
        GTEST_SKIP() << "needs the private network namespace of scripts/netns-run";
    SelectReactor reactor;
    EventLog events;
    KorvUserMdqpStub stub(&reactor);
    KorvUserTopic topic(TOPIC);
    testing::internal::CaptureStdout();
    {
        KorvUserMirpDemuxer demuxer(&reactor, "udpg://239.3.0.9:17112");
        demuxer.subscribe(TOPIC, &topic, &stub);
        KorvUserSubscriber* subscriber = demuxer.find_subscriber(TOPIC);
        run_iterations(reactor, 3);
        int fd = loopback_sender();
        send_datagram(fd, mirp_packet(1), 17112);
        EXPECT_TRUE(run_until(reactor, [&] { return subscriber->get_cached_count() == 1; }));

        // The route goes, then the socket breaks: joining again fails.
        ASSERT_EQ(system("ip route del 224.0.0.0/4 dev lo"), 0);
        ASSERT_TRUE(udpg_test::break_socket(udpg_test::find_group_socket(17112)));
        EXPECT_TRUE(run_until(reactor, [&] {
            return events.count(
                       "can't subscribe mirp topic, error = -2, subscribe again in 1000 ms") == 1;
        }));
        run_iterations(reactor, 10);

        ASSERT_EQ(system("ip route add 224.0.0.0/4 dev lo"), 0);
        uint32_t no = 2;
        EXPECT_TRUE(run_until(
            reactor,
            [&] {
                send_datagram(fd, mirp_packet(no++), 17112);
                run_iterations(reactor, 5);
                return subscriber->get_cached_count() > 1;
            },
            6000));
        EXPECT_EQ(events.count("can't subscribe mirp topic"), 1);
        ::close(fd);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("KorvUserMirpDemuxer::on_subscribe error = -2, subscribe again in 1000 ms"),
              std::string::npos);
}
