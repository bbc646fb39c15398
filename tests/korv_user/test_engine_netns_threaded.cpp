// The engine on its own thread: login and snapshot from an MDQP peer on
// 127.0.0.1, packets on a group of a private network namespace, and close()
// from the test thread while another thread waits in join().
#include "source/korv_user/UserApiImpl.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/korv_user/test_subscriber_fixture.h"

using namespace subscriber_test;
using BRAX::KORV_USER_API::KorvUserApi;

namespace {

struct GuardedHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        if (closed.load())
            late.store(true);
        volume.store(market_data->Volume);
        calls.fetch_add(1);
    }
    std::atomic<bool> closed{false};
    std::atomic<bool> late{false};
    std::atomic<int> calls{0};
    std::atomic<int> volume{0};
};

template <class Done>
bool wait_for(Done done)
{
    for (int i = 0; i < 20000; ++i) {
        if (done())
            return true;
        usleep(1000);
    }
    return false;
}

}  // namespace

TEST(EngineThreaded, DeliversAndCloseFromAnotherThreadEndsJoinWithNoHandlerAfterwards)
{
    Listener server;
    GuardedHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location(server.location().c_str());
    api->reg_mirp_location("udpg://239.3.0.7:17201");
    api->set_authentication("P", "U", "W");
    ASSERT_EQ(api->subscribe_topic(TOPIC, &handler), 0);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(api->start());
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        EXPECT_TRUE(api->join());
        joined.store(true);
    });

    Peer peer;
    ASSERT_TRUE(wait_for([&] {
        int fd = server.accept_one();
        if (fd >= 0)
            peer.adopt(fd);
        return fd >= 0;
    }));
    Parsed p;
    auto next = [&] {
        return wait_for([&] {
            while (peer.next_packet(p))
                if (p.trans_id != 0)
                    return true;
            return false;
        });
    };
    ASSERT_TRUE(next());
    peer.send(packet(0x12, p.request_id, rsp_info(0, "ok") + field(3, std::string(115, '\0'))));
    ASSERT_TRUE(next());
    ASSERT_EQ(p.trans_id, 0x31);
    peer.send(packet(0x32, p.request_id, snapshot_body(0)));
    ASSERT_TRUE(wait_for([&] { return handler.calls.load() > 0; }));

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo;
    lo.s_addr = inet_addr("127.0.0.1");
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = inet_addr("239.3.0.7");
    group.sin_port = htons(17201);
    uint32_t no = 1;
    // Packets keep coming until close, so handlers run up to it.
    auto send_one = [&] {
        std::string datagram = mirp_packet(no++);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group);
    };
    ASSERT_TRUE(wait_for([&] {
        send_one();
        return handler.volume.load() > 100;
    }));
    std::thread sender([&] {
        for (int i = 0; i < 200 && !joined.load(); ++i) {
            send_one();
            usleep(200);
        }
    });
    usleep(5000);
    api->close();
    handler.closed.store(true);
    joiner.join();
    sender.join();
    ::close(fd);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(joined.load());
    EXPECT_FALSE(handler.late.load());
}
