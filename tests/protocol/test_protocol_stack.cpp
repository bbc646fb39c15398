#include "velta/source/protocol/ProtocolStack.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "velta/source/protocol/tcp/TcpLocation.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/protocol/udpg/UdpgLocation.h"
#include "velta/source/protocol/udpg/UdpgProtocolKey.h"

namespace {

struct TestKey : ProtocolKey {
    TestKey(unsigned id, int value) : ProtocolKey(id, sizeof(TestKey)), m_value(value) {}
    int m_value;
};

struct StubSession : Session {
    explicit StubSession(Session* lower) : m_lower(lower) {}
    int schedule(Task*) override { return 0; }
    int write(const PacketBuffer&) override { return 0; }
    ProtocolKey* get_protocol_key() override { return nullptr; }
    Protocol* get_protocol() override { return nullptr; }
    Session* m_lower;
};

// Records the calls it gets, in one log shared by all layers.
struct RecordingProtocol : Protocol {
    RecordingProtocol(std::string name, std::vector<std::string>& log, int* deleted = nullptr)
        : m_name(std::move(name)), m_log(log), m_deleted(deleted)
    {
    }
    ~RecordingProtocol() override
    {
        if (m_deleted != nullptr)
            ++*m_deleted;
    }
    int handle_packet(Protocol*, const ProtocolKey*, Packet*) override { return 0; }
    int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }
    Session* open_session(const ProtocolKey* key, Protocol* lower, Session* lower_session) override
    {
        m_log.push_back("open " + m_name + " " + describe(key) + " lower " + name_of(lower));
        m_last_lower_session = lower_session;
        if (m_fail)
            return nullptr;
        m_sessions.emplace_back(new StubSession(lower_session));
        return m_sessions.back().get();
    }
    int bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper) override
    {
        m_log.push_back("bind " + m_name + " " + describe(key) + " upper " +
                        name_of(dynamic_cast<Protocol*>(upper)));
        return m_bind_result;
    }
    int unbind_upper_demuxer(const ProtocolKey* key) override
    {
        m_log.push_back("unbind " + m_name + " " + describe(key));
        return 0;
    }
    static std::string describe(const ProtocolKey* key)
    {
        return std::to_string(static_cast<const TestKey*>(key)->m_value);
    }
    static std::string name_of(Protocol* protocol)
    {
        auto* recording = dynamic_cast<RecordingProtocol*>(protocol);
        return recording != nullptr ? recording->m_name : "-";
    }

    std::string m_name;
    std::vector<std::string>& m_log;
    int* m_deleted;
    bool m_fail = false;
    int m_bind_result = 0;
    Session* m_last_lower_session = nullptr;
    std::vector<std::unique_ptr<StubSession>> m_sessions;
};

struct ProtocolStackTest : ::testing::Test {
    ProtocolStackTest()
    {
        m_stack.reg_protocol(300, m_bottom = new RecordingProtocol("bottom", m_log, &m_deleted));
        m_stack.reg_protocol(301, m_top = new RecordingProtocol("top", m_log, &m_deleted));
        m_key.push(TestKey(300, 1));
        m_key.push(TestKey(301, 2));
    }
    ~ProtocolStackTest() override { m_stack.clear(); }

    std::vector<std::string> m_log;
    int m_deleted = 0;
    ProtocolStack m_stack;
    RecordingProtocol* m_bottom;
    RecordingProtocol* m_top;
    ProtocolStackKey m_key;
};

void push_in_child(bool server, const char* location);

}  // namespace

TEST(ProtocolStackKey, PushAlignsKeysAndRefusesAnEighth)
{
    ProtocolStackKey key;
    EXPECT_EQ(key.key_length(), 172);
    EXPECT_EQ(key.key_count(), 0);
    EXPECT_EQ(key.get_key(0), nullptr);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(key.push(TestKey(300 + i, i)), 0) << i;
    EXPECT_EQ(key.push(TestKey(400, 7)), -ENXIO);
    for (int i = 0; i < 7; ++i) {
        const ProtocolKey* pushed = key.get_key(i);
        ASSERT_NE(pushed, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pushed) % 8, 0u);
        EXPECT_EQ(pushed->protocol_id(), 300u + i);
        EXPECT_EQ(static_cast<const TestKey*>(pushed)->m_value, i);
    }
    EXPECT_EQ(key.get_key(7), nullptr);
    EXPECT_EQ(key.get_key(-1), nullptr);
}

TEST(ProtocolStackKey, KeyMustBeSmallerThanTheFreeSpace)
{
    ProtocolStackKey key;
    // Five tcp keys use 120 of the 128 bytes; a 24-byte key no longer fits.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(key.push(TcpProtocolKey(i, i)), 0);
    EXPECT_EQ(key.push(TcpProtocolKey(9, 9)), -ENXIO);
    // A key may not fill the free space exactly either.
    ProtocolStackKey other;
    ProtocolKeyBuffer big(500);
    big.m_key_length = 128;
    EXPECT_EQ(other.push(big), -ENXIO);
}

TEST(ProtocolKeyBuffer, CopiesTheWholeKey)
{
    TcpProtocolKey tcp(0x1111, 0x2222);
    ProtocolKeyBuffer buffer(tcp);
    EXPECT_EQ(buffer.protocol_id(), PROTOCOL_ID_TCP);
    EXPECT_EQ(buffer.key_length(), 24);
    EXPECT_EQ(buffer.as<TcpProtocolKey>().m_local_addr, 0x1111u);
    EXPECT_EQ(buffer.as<TcpProtocolKey>().m_remote_addr, 0x2222u);
}

TEST_F(ProtocolStackTest, OpensBottomUpOnTheSessionBelow)
{
    Session* session = m_stack.open_session(&m_key, nullptr, nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(m_log,
              (std::vector<std::string>{"open bottom 1 lower -", "open top 2 lower bottom"}));
    EXPECT_EQ(session, m_top->m_sessions.at(0).get());
    EXPECT_EQ(m_top->m_last_lower_session, m_bottom->m_sessions.at(0).get());
}

TEST_F(ProtocolStackTest, BindsTopDownWithTheUpperProtocolAsDemuxer)
{
    EXPECT_EQ(m_stack.bind_upper_demuxer(&m_key, nullptr), 0);
    EXPECT_EQ(m_stack.unbind_upper_demuxer(&m_key), 0);
    EXPECT_EQ(m_log, (std::vector<std::string>{"bind top 2 upper -", "bind bottom 1 upper top",
                                               "unbind top 2", "unbind bottom 1"}));
}

TEST_F(ProtocolStackTest, StopsAtTheFirstFailingLayer)
{
    m_top->m_bind_result = -EBADF;
    EXPECT_EQ(m_stack.bind_upper_demuxer(&m_key, nullptr), -EBADF);
    m_bottom->m_fail = true;
    EXPECT_EQ(m_stack.open_session(&m_key, nullptr, nullptr), nullptr);
    EXPECT_EQ(m_log, (std::vector<std::string>{"bind top 2 upper -", "open bottom 1 lower -"}));
}

TEST_F(ProtocolStackTest, UnregisteredLayerAndForeignKeys)
{
    ProtocolStackKey unknown;
    unknown.push(TestKey(999, 0));
    EXPECT_EQ(m_stack.open_session(&unknown, nullptr, nullptr), nullptr);
    EXPECT_EQ(m_stack.bind_upper_demuxer(&unknown, nullptr), -ENOTBLK);
    EXPECT_EQ(m_stack.unbind_upper_demuxer(&unknown), -ENOTBLK);

    TestKey single(300, 5);
    EXPECT_EQ(m_stack.open_session(&single, nullptr, nullptr), nullptr);
    EXPECT_EQ(m_stack.bind_upper_demuxer(&single, nullptr), 0);
    EXPECT_EQ(m_log.back(), "bind bottom 5 upper -");
    TestKey unregistered(999, 0);
    EXPECT_EQ(m_stack.bind_upper_demuxer(&unregistered, nullptr), -EFAULT);
    EXPECT_EQ(m_stack.unbind_upper_demuxer(&single), -EFAULT);
}

TEST_F(ProtocolStackTest, ClearDeletesRegisteredProtocolsAndStackIsNoDemuxer)
{
    EXPECT_THROW(m_stack.handle_packet(nullptr, &m_key, nullptr), std::logic_error);
    EXPECT_THROW(m_stack.handle_error(nullptr, &m_key, 0), std::logic_error);
    m_stack.reg_protocol(301, new RecordingProtocol("replacement", m_log, &m_deleted));
    delete m_top;  // a replaced protocol is no longer the stack's
    m_stack.clear();
    EXPECT_EQ(m_deleted, 3);
    EXPECT_EQ(m_stack.find_protocol(300), nullptr);
}

TEST(SockLocation, ParsesAndFormatsBothWays)
{
    sockaddr_in addr;
    ASSERT_EQ(sock_location_to_addr(addr, "tcp", "tcp://127.0.0.1:18001"), 0);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(addr.sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(addr.sin_port, htons(18001));
    char text[32];
    sock_addr_to_location(text, "tcp", addr);
    EXPECT_STREQ(text, "tcp://127.0.0.1:18001");

    ASSERT_EQ(sock_location_to_addr(addr, "tcp", "tcp://10.1.2.3:*"), 0);
    EXPECT_EQ(addr.sin_port, 0);
    sock_addr_to_location(text, "a-scheme-far-too-long-for-it", addr);
    EXPECT_EQ(strlen(text), 31u);
}

TEST(SockLocation, RefusesMalformedLocations)
{
    sockaddr_in addr;
    EXPECT_EQ(sock_location_to_addr(addr, "tcp", "udpg://239.0.0.1:5000"), -EFAULT);
    EXPECT_EQ(sock_location_to_addr(addr, "tcp", ""), -EFAULT);
    for (const char* bad :
         {"tcp:/127.0.0.1:80", "tcp:", "tcp", "tcp://127.0.0.1", "tcp://127.0.0.1:", "tcp://:80",
          "tcp://localhost:80", "tcp://127.0.0.1:65536", "tcp://127.0.0.1:12ab",
          "tcp://127.0.0.1:-1", "tcp://1.2.3.4.5:80", "tcp://127.0.0.1:99999999999999999999"})
        EXPECT_EQ(sock_location_to_addr(addr, "tcp", bad), -EBADF) << bad;
    std::string long_text = "tcp://" + std::string(10000, '1') + ":80";
    EXPECT_EQ(sock_location_to_addr(addr, "tcp", long_text.c_str()), -EBADF);
}

TEST(ProtocolLocation, ChainReadsUdpgFirstThenTcp)
{
    EXPECT_EQ(ProtocolLocation::instance(), &g_udpg_location);

    ProtocolStackKey client;
    ASSERT_EQ(client.push_client("tcp://127.0.0.1:5000"), 0);
    ASSERT_EQ(client.key_count(), 1);
    const auto* tcp = static_cast<const TcpProtocolKey*>(client.get_key(0));
    EXPECT_EQ(tcp->protocol_id(), PROTOCOL_ID_TCP);
    EXPECT_EQ(tcp->m_local_addr, 0u);
    EXPECT_EQ(tcp->m_remote_addr, TcpProtocolKey::make_addr(inet_addr("127.0.0.1"), htons(5000)));

    ProtocolStackKey server;
    ASSERT_EQ(server.push_server("tcp://127.0.0.1:5000"), 0);
    tcp = static_cast<const TcpProtocolKey*>(server.get_key(0));
    EXPECT_EQ(tcp->m_local_addr, TcpProtocolKey::make_addr(inet_addr("127.0.0.1"), htons(5000)));
    EXPECT_EQ(tcp->m_remote_addr, 0u);

    ProtocolStackKey group;
    ASSERT_EQ(group.push_client("udpg://239.1.1.1:7000"), 0);
    EXPECT_EQ(group.get_key(0)->protocol_id(), PROTOCOL_ID_UDPG);
}

TEST(ProtocolLocation, MalformedLocationOfAKnownSchemeIsReturned)
{
    ProtocolStackKey key;
    EXPECT_EQ(key.push_client("tcp:/127.0.0.1:5000"), -EBADF);
    EXPECT_EQ(key.push_server("udpg://239.1.1.1:port"), -EBADF);
    EXPECT_EQ(key.key_count(), 0);
}

// The report goes to standard output; the child sends it to standard error
// where the death test can read it.
namespace {

void push_in_child(bool server, const char* location)
{
    dup2(STDERR_FILENO, STDOUT_FILENO);
    ProtocolStackKey key;
    if (server)
        key.push_server(location);
    else
        key.push_client(location);
}

}  // namespace

TEST(ProtocolLocationDeathTest, UnknownSchemeStopsTheProcess)
{
    EXPECT_EXIT(push_in_child(false, "ftp://127.0.0.1:21"), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^RuntimeError:Unknown client in location in line 186 of file "
                "velta/source/protocol/ProtocolStack\n$");
    EXPECT_EXIT(push_in_child(true, "no scheme at all"), ::testing::ExitedWithCode(EXIT_FAILURE),
                "^RuntimeError:Unknown server in location in line 176 of file "
                "velta/source/protocol/ProtocolStack\n$");
}

TEST(ProtocolLocationDeathTest, TcpParserPassesOtherSchemesOnAsTheSameKind)
{
    // TCP is the last parser of the chain, so a udpg location handed to it
    // directly falls off the end as a client location.
    auto push_to_tcp = [] {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        ProtocolStackKey key;
        g_tcp_location.push_client(key, "udpg://239.1.1.1:7000");
    };
    EXPECT_EXIT(push_to_tcp(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "Unknown client in location");
}
