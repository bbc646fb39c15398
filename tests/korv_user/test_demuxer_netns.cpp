// The demultiplexer on a real group in a private network namespace: an
// empty or malformed datagram closes the channel, and reception goes on.
#include "source/korv_user/KorvUserMirpDemuxer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/korv_user/test_subscriber_fixture.h"

using namespace subscriber_test;

namespace {

void send_datagram(int fd, const std::string& data)
{
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = inet_addr("239.3.0.9");
    group.sin_port = htons(17111);
    ASSERT_EQ(
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
        ssize_t(data.size()));
}

}  // namespace

TEST(DemuxerNetns, AnEmptyOrMalformedDatagramDoesNotEndReception)
{
    SelectReactor reactor;
    EventLog events;
    KorvUserMdqpStub stub(&reactor);
    KorvUserTopic topic(TOPIC);
    testing::internal::CaptureStdout();
    {
        KorvUserMirpDemuxer demuxer(&reactor, "udpg://239.3.0.9:17111");
        demuxer.subscribe(TOPIC, &topic, &stub);
        KorvUserSubscriber* subscriber = demuxer.find_subscriber(TOPIC);
        mdqp_test::run_iterations(reactor, 3);

        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr lo;
        lo.s_addr = inet_addr("127.0.0.1");
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        uint32_t no = 1;
        for (const std::string& bad : {std::string(), std::string(30, '\x01')}) {
            send_datagram(fd, mirp_packet(no++));
            EXPECT_TRUE(
                run_until(reactor, [&] { return subscriber->get_cached_count() == no - 1; }));
            send_datagram(fd, bad);
            size_t closed = events.lines.size();
            EXPECT_TRUE(run_until(reactor, [&] { return events.lines.size() > closed; }));
            mdqp_test::run_iterations(reactor, 3);
        }
        send_datagram(fd, mirp_packet(no));
        EXPECT_TRUE(run_until(reactor, [&] { return subscriber->get_cached_count() == 3; }));
        EXPECT_EQ(events.count("event MirpError 3 multicast channel closed"), 2);
        ::close(fd);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("RuntimeError"), std::string::npos);
}
