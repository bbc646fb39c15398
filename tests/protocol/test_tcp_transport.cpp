#include "velta/source/protocol/tcp/TcpProtocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Packet.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/ProtocolStack.h"
#include "velta/source/protocol/tcp/TcpChannel.h"
#include "velta/source/protocol/tcp/TcpListenManager.h"
#include "velta/source/protocol/tcp/TcpSession.h"
#include "velta/source/task/SelectReactor.h"

namespace {

// Takes fixed-size packets off the front of what it is given.
struct PacketDemuxer : Demuxer {
    explicit PacketDemuxer(unsigned long packet_size) : m_packet_size(packet_size) {}
    int handle_packet(Protocol*, const ProtocolKey*, Packet* packet) override
    {
        ++m_calls;
        if (packet->length() < m_packet_size)
            return EC_WOULDBLOCK;
        m_received.append(packet->data(), m_packet_size);
        packet->pop(m_packet_size);
        return 0;
    }
    int handle_error(Protocol*, const ProtocolKey*, int error) override
    {
        m_errors.push_back(error);
        return 0;
    }
    unsigned long m_packet_size;
    int m_calls = 0;
    std::string m_received;
    std::vector<int> m_errors;
};

// Takes one byte per call and claims the rest is incomplete, so that each
// read pass of the channel delivers exactly one byte.
struct ByteDemuxer : Demuxer {
    int handle_packet(Protocol*, const ProtocolKey*, Packet* packet) override
    {
        ++m_calls;
        packet->pop(1);
        return EC_WOULDBLOCK;
    }
    int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }
    int m_calls = 0;
};

struct CountingTask : Task {
    void wake_up() override { ++m_runs; }
    int m_runs = 0;
};

std::string pattern(size_t length, size_t start = 0)
{
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>('a' + (start + i) % 23);
    return text;
}

// One reactor iteration at a time, until the condition holds (bounded).
bool step_until(std::vector<Reactor*> reactors, const std::function<bool()>& done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        for (Reactor* reactor : reactors)
            reactor->wake_up();
    return done();
}

// A plain listening socket on 127.0.0.1 with a port of the kernel's choice.
int raw_listener(sockaddr_in& addr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t length = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    EXPECT_EQ(listen(fd, 16), 0);
    return fd;
}

std::string location_of(const sockaddr_in& addr)
{
    char text[32];
    sock_addr_to_location(text, "tcp", addr);
    return text;
}

struct TcpTransportTest : ::testing::Test {
    TcpTransportTest() : m_protocol(new TcpProtocol(&m_reactor)) {}
    ~TcpTransportTest() override
    {
        delete m_protocol;
        for (int fd : m_fds)
            close(fd);
    }

    // A session on a client channel to a raw listener, and the peer's end.
    void connect_to_peer(unsigned long packet_size = 1)
    {
        sockaddr_in addr;
        int listen_fd = raw_listener(addr);
        m_fds.push_back(listen_fd);
        ProtocolStackKey key;
        ASSERT_EQ(key.push_client(location_of(addr).c_str()), 0);
        m_key = *static_cast<const TcpProtocolKey*>(key.get_key(0));
        m_session.reset(m_protocol->open_session(&m_key, nullptr, nullptr));
        ASSERT_NE(m_session, nullptr);
        m_demuxer.reset(new PacketDemuxer(packet_size));
        ASSERT_EQ(m_protocol->bind_upper_demuxer(&m_key, m_demuxer.get()), 0);
        m_peer = accept(listen_fd, nullptr, nullptr);
        ASSERT_GT(m_peer, 0);
        m_fds.push_back(m_peer);
        fcntl(m_peer, F_SETFL, O_NONBLOCK);
    }

    TcpChannel* channel() { return m_protocol->find_channel(m_key); }

    void send_to_channel(const std::string& data)
    {
        ASSERT_EQ(send(m_peer, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    }

    std::string drain_peer()
    {
        std::string got;
        char buf[65536];
        ssize_t n;
        while ((n = recv(m_peer, buf, sizeof(buf), 0)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }

    SelectReactor m_reactor;
    TcpProtocol* m_protocol;
    TcpProtocolKey m_key;
    std::unique_ptr<PacketDemuxer> m_demuxer;
    std::unique_ptr<Session> m_session;
    int m_peer = -1;
    std::vector<int> m_fds;
};

}  // namespace

TEST(TcpProtocolKey, OrdersByRemoteThenLocal)
{
    TcpProtocolKey a(5, 1);
    TcpProtocolKey b(1, 2);
    TcpProtocolKey c(2, 2);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b < c);
    EXPECT_FALSE(c < b);
    EXPECT_FALSE(b < TcpProtocolKey(1, 2));
    sockaddr_in addr;
    TcpProtocolKey::get_addr(TcpProtocolKey::make_addr(inet_addr("10.1.2.3"), htons(4000)), addr);
    EXPECT_EQ(addr.sin_addr.s_addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(addr.sin_port, htons(4000));
}

TEST_F(TcpTransportTest, ForeignKeysAreRefused)
{
    ProtocolStackKey group;
    ASSERT_EQ(group.push_client("udpg://239.1.1.1:7000"), 0);
    EXPECT_EQ(m_protocol->open_session(group.get_key(0), nullptr, nullptr), nullptr);
    EXPECT_EQ(m_protocol->bind_upper_demuxer(group.get_key(0), nullptr), EC_MISMATCH);
    EXPECT_EQ(m_protocol->unbind_upper_demuxer(group.get_key(0)), EC_MISMATCH);
    EXPECT_THROW(m_protocol->handle_packet(nullptr, nullptr, nullptr), std::logic_error);
    // A client key without a channel is no address to listen on.
    TcpProtocolKey client(0, TcpProtocolKey::make_addr(htonl(INADDR_LOOPBACK), htons(9)));
    EXPECT_EQ(m_protocol->bind_upper_demuxer(&client, nullptr), EC_NOENT);
}

TEST_F(TcpTransportTest, ConnectingToAPortWithoutListenerFailsOnFirstRead)
{
    sockaddr_in addr;
    close(raw_listener(addr));  // the port is free again, and nobody listens
    ProtocolStackKey key;
    ASSERT_EQ(key.push_client(location_of(addr).c_str()), 0);
    std::unique_ptr<Session> session(m_protocol->open_session(key.get_key(0), nullptr, nullptr));
    ASSERT_NE(session, nullptr);
    PacketDemuxer demuxer(1);
    ASSERT_EQ(m_protocol->bind_upper_demuxer(key.get_key(0), &demuxer), 0);
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return !demuxer.m_errors.empty(); }));
    EXPECT_EQ(demuxer.m_errors, std::vector<int>{EC_READ});
    EXPECT_EQ(m_protocol->channel_count(), 0u);

    PacketBufferExt<16> buffer;
    EXPECT_EQ(session->write(buffer), EC_CLOSED);
    CountingTask task;
    EXPECT_EQ(session->schedule(&task), EC_CLOSED);
}

TEST_F(TcpTransportTest, DeliversWholePacketsAndKeepsTheRestAtTheFront)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer(100));
    std::string data = pattern(200);
    send_to_channel(data.substr(0, 150));
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return m_demuxer->m_received.size() == 100; }));
    send_to_channel(data.substr(150));
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return m_demuxer->m_received.size() == 200; }));
    EXPECT_EQ(m_demuxer->m_received, data);

    // The peer closing ends the channel with -ENODEV.
    shutdown(m_peer, SHUT_WR);
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return !m_demuxer->m_errors.empty(); }));
    EXPECT_EQ(m_demuxer->m_errors, std::vector<int>{EC_CLOSED});
    EXPECT_EQ(channel(), nullptr);
}

TEST_F(TcpTransportTest, FullSendBufferKeepsTheRestAndWakesWritersWhenDrained)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer());
    int small = 4096;
    setsockopt(channel()->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::string sent;
    PacketBufferExt<1000> buffer;
    int result = 0;
    while (channel()->backlog_length() == 0) {
        std::string chunk = pattern(1000, sent.size());
        buffer.reset(0);
        buffer.append(chunk.data(), chunk.size());
        result = m_session->write(buffer);
        ASSERT_EQ(result, 0);
        sent += chunk;
        ASSERT_LT(sent.size(), 64u * 1024 * 1024);
    }
    EXPECT_LE(channel()->backlog_length(), 1000u);
    EXPECT_EQ(m_session->write(buffer), EC_WOULDBLOCK);
    CountingTask writer;
    CountingTask other_writer;
    std::unique_ptr<Session> other(m_protocol->open_session(&m_key, nullptr, nullptr));
    EXPECT_EQ(m_session->schedule(&writer), EC_WOULDBLOCK);
    EXPECT_EQ(other->schedule(&other_writer), EC_WOULDBLOCK);

    std::string got;
    ASSERT_TRUE(step_until({&m_reactor}, [&] {
        got += drain_peer();
        return writer.m_runs == 1 && other_writer.m_runs == 1;
    }));
    EXPECT_EQ(channel()->backlog_length(), 0u);
    EXPECT_EQ(m_session->schedule(&writer), 0);
    ASSERT_TRUE(step_until({&m_reactor}, [&] {
        got += drain_peer();
        return got.size() >= sent.size();
    }));
    EXPECT_TRUE(got == sent) << "stream lost or reordered bytes";
}

TEST_F(TcpTransportTest, WriteLargerThanTheBacklogIsRefusedWhole)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer());
    PacketBufferExt<TCP_CHANNEL_BUFFER_SIZE + 1> buffer;
    buffer.reset(0);
    std::string data = pattern(TCP_CHANNEL_BUFFER_SIZE + 1);
    buffer.append(data.data(), data.size());
    EXPECT_EQ(m_session->write(buffer), EC_INSUF_BUFFER);
    buffer.truncate(TCP_CHANNEL_BUFFER_SIZE);
    EXPECT_EQ(m_session->write(buffer), 0);
    std::string got;
    ASSERT_TRUE(step_until({&m_reactor}, [&] {
        got += drain_peer();
        return got.size() >= TCP_CHANNEL_BUFFER_SIZE;
    }));
    EXPECT_TRUE(got == data.substr(0, TCP_CHANNEL_BUFFER_SIZE));
}

TEST_F(TcpTransportTest, FullBufferThatCannotBeConsumedPausesReading)
{
    // Packets larger than the receive buffer never fit.
    ASSERT_NO_FATAL_FAILURE(connect_to_peer(TCP_CHANNEL_BUFFER_SIZE + 1));
    send_to_channel(pattern(24000));
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return m_demuxer->m_calls > 0; }));
    // Readable data waits, but the channel does not look again for a while.
    int calls = m_demuxer->m_calls;
    for (int i = 0; i < 10; ++i)
        m_reactor.wake_up();
    EXPECT_EQ(m_demuxer->m_calls, calls);
    // Once the upper layer can take the data, the next retry delivers it.
    m_demuxer->m_packet_size = 1000;
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return m_demuxer->m_received.size() == 24000; }));
}

TEST_F(TcpTransportTest, ReadingYieldsToOtherTasksAfterFortyPasses)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer());
    ByteDemuxer demuxer;
    ASSERT_EQ(m_protocol->unbind_upper_demuxer(&m_key), 0);
    ASSERT_EQ(m_protocol->bind_upper_demuxer(&m_key, &demuxer), 0);
    // Each pass reads what one byte made room for: the bytes beyond the
    // first full buffer are many bursts of passes.
    send_to_channel(pattern(30000));
    int most_in_one_turn = 0;
    ASSERT_TRUE(step_until({&m_reactor}, [&] {
        int before = demuxer.m_calls;
        m_reactor.wake_up();
        most_in_one_turn = std::max(most_in_one_turn, demuxer.m_calls - before);
        return demuxer.m_calls >= 10000;
    }));
    EXPECT_EQ(most_in_one_turn, 40);
    EXPECT_EQ(m_protocol->unbind_upper_demuxer(&m_key), 0);
}

TEST_F(TcpTransportTest, SendErrorOfTheBacklogClosesTheChannelAndTellsTheDemuxer)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer());
    int small = 4096;
    setsockopt(channel()->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    PacketBufferExt<1000> buffer;
    buffer.reset(0);
    std::string chunk = pattern(1000);
    buffer.append(chunk.data(), chunk.size());
    for (int i = 0; channel()->backlog_length() == 0; ++i) {
        ASSERT_EQ(m_session->write(buffer), 0);
        ASSERT_LT(i, 64 * 1024);
    }
    // The socket refuses to send from now on; the backlog's next send fails.
    ASSERT_EQ(shutdown(channel()->fd(), SHUT_WR), 0);
    ASSERT_TRUE(step_until({&m_reactor}, [&] { return !m_demuxer->m_errors.empty(); }));
    EXPECT_EQ(m_demuxer->m_errors, std::vector<int>{EC_ERROR});
    EXPECT_EQ(channel(), nullptr);
    EXPECT_EQ(m_session->write(buffer), EC_CLOSED);
}

TEST_F(TcpTransportTest, ChannelClosesWhenItsLastUserGoes)
{
    ASSERT_NO_FATAL_FAILURE(connect_to_peer());
    std::unique_ptr<Session> second(m_protocol->open_session(&m_key, nullptr, nullptr));
    EXPECT_EQ(m_protocol->channel_count(), 1u);
    ProtocolKeyBuffer found(PROTOCOL_ID_TCP);
    ASSERT_EQ(second->find_protocol_key(found), 0);
    EXPECT_EQ(found.as<TcpProtocolKey>().m_remote_addr, m_key.m_remote_addr);
    ProtocolKeyBuffer other(PROTOCOL_ID_UDPG);
    EXPECT_EQ(second->find_protocol_key(other), EC_MISMATCH);

    ASSERT_EQ(m_protocol->unbind_upper_demuxer(&m_key), 0);
    m_session.reset();
    EXPECT_EQ(m_protocol->channel_count(), 1u);
    second.reset();
    EXPECT_EQ(m_protocol->channel_count(), 0u);
    // Closed for a reason of 0, and no demuxer was left to be told.
    EXPECT_TRUE(m_demuxer->m_errors.empty());
}

TEST(TcpListener, RingSpreadsAcceptedConnectionsOverTwoReactors)
{
    sockaddr_in addr;
    close(raw_listener(addr));
    std::string location = location_of(addr);
    SelectReactor reactor_a;
    SelectReactor reactor_b;
    auto* protocol_a = new TcpProtocol(&reactor_a);
    auto* protocol_b = new TcpProtocol(&reactor_b);
    PacketDemuxer demuxer_a(4);
    PacketDemuxer demuxer_b(4);
    ProtocolStackKey key;
    ASSERT_EQ(key.push_server(location.c_str()), 0);
    ASSERT_EQ(protocol_a->bind_upper_demuxer(key.get_key(0), &demuxer_a), 0);
    ASSERT_EQ(protocol_b->bind_upper_demuxer(key.get_key(0), &demuxer_b), 0);
    EXPECT_EQ(protocol_a->bind_upper_demuxer(key.get_key(0), &demuxer_a), EC_EXIST);

    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(send(fd, "ping", 4, 0), 4);
        clients.push_back(fd);
    }
    ASSERT_TRUE(step_until({&reactor_a, &reactor_b}, [&] {
        return demuxer_a.m_received.size() + demuxer_b.m_received.size() == 16;
    }));
    EXPECT_EQ(protocol_a->channel_count(), 2u);
    EXPECT_EQ(protocol_b->channel_count(), 2u);
    EXPECT_EQ(demuxer_a.m_received, "pingping");

    // The last listener to go closes the shared descriptor.
    EXPECT_EQ(protocol_a->unbind_upper_demuxer(key.get_key(0)), 0);
    uint64_t local = static_cast<const TcpProtocolKey*>(key.get_key(0))->m_local_addr;
    EXPECT_TRUE(TcpListenManager::m_instance.is_listening(local));
    delete protocol_b;
    EXPECT_FALSE(TcpListenManager::m_instance.is_listening(local));
    int late = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(connect(late, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(late);
    delete protocol_a;
    for (int fd : clients)
        close(fd);
}

TEST(TcpListener, FailedListenSetUpIsReportedAndKeepsNothing)
{
    sockaddr_in addr;
    int busy = raw_listener(addr);  // holds the port without SO_REUSEADDR
    SelectReactor reactor;
    TcpProtocol protocol(&reactor);
    ProtocolStackKey key;
    ASSERT_EQ(key.push_server(location_of(addr).c_str()), 0);
    PacketDemuxer demuxer(1);
    EXPECT_EQ(protocol.bind_upper_demuxer(key.get_key(0), &demuxer), -EADDRINUSE);
    uint64_t local = static_cast<const TcpProtocolKey*>(key.get_key(0))->m_local_addr;
    EXPECT_FALSE(TcpListenManager::m_instance.is_listening(local));
    close(busy);
    // Nothing was kept, so binding again works once the port is free.
    EXPECT_EQ(protocol.bind_upper_demuxer(key.get_key(0), &demuxer), 0);
    EXPECT_EQ(protocol.unbind_upper_demuxer(key.get_key(0)), 0);
}
