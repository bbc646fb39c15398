// The listening descriptor travelling between two running reactor threads.
#include "velta/source/protocol/tcp/TcpListener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "velta/source/base/Packet.h"
#include "velta/source/protocol/ProtocolStack.h"
#include "velta/source/protocol/tcp/TcpListenManager.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/SelectReactor.h"

namespace {

// Counts the 4-byte greetings of the connections accepted on its reactor.
struct GreetingDemuxer : Demuxer {
    int handle_packet(Protocol*, const ProtocolKey*, Packet* packet) override
    {
        if (packet->length() < 4)
            return -1;
        packet->pop(4);
        ++m_greetings;
        return 0;
    }
    int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }
    std::atomic<int> m_greetings{0};
};

}  // namespace

TEST(TcpListenerThreaded, AcceptsAlternateBetweenRunningReactors)
{
    // A port of the kernel's choice, free again for the listeners.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t length = sizeof(addr);
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
    close(probe);
    char location[32];
    sock_addr_to_location(location, "tcp", addr);

    GreetingDemuxer demuxer_a;
    GreetingDemuxer demuxer_b;
    SelectReactor reactor_a;
    SelectReactor reactor_b;
    auto* protocol_a = new TcpProtocol(&reactor_a);
    auto* protocol_b = new TcpProtocol(&reactor_b);
    ProtocolStackKey key;
    ASSERT_EQ(key.push_server(location), 0);
    // Set up before the threads run, as the engine does.
    ASSERT_EQ(protocol_a->bind_upper_demuxer(key.get_key(0), &demuxer_a), 0);
    ASSERT_EQ(protocol_b->bind_upper_demuxer(key.get_key(0), &demuxer_b), 0);
    ASSERT_TRUE(reactor_a.create());
    ASSERT_TRUE(reactor_b.create());

    const int connections = 6;
    std::vector<int> clients;
    for (int i = 0; i < connections; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(send(fd, "helo", 4, 0), 4);
        clients.push_back(fd);
    }
    for (int i = 0; i < 1000 && demuxer_a.m_greetings + demuxer_b.m_greetings < connections; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    reactor_a.stop();
    reactor_b.stop();

    // Every accept hands the descriptor on, so the two reactors take turns.
    EXPECT_EQ(demuxer_a.m_greetings.load(), connections / 2);
    EXPECT_EQ(demuxer_b.m_greetings.load(), connections / 2);
    delete protocol_a;
    delete protocol_b;
    uint64_t local = static_cast<const TcpProtocolKey*>(key.get_key(0))->m_local_addr;
    EXPECT_FALSE(TcpListenManager::m_instance.is_listening(local));
    for (int fd : clients)
        close(fd);
}
