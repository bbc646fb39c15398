// Runs two 5000 ms waits of the stub on the real clock, about 10 seconds.
#include "source/korv_user/KorvUserMdqpStub.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "source/korv_user/KorvMdqpResultSet.h"
#include "tests/mdqp/test_mdqp_channel_peer.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/task/SelectReactor.h"

using namespace mdqp_test;
using KORV::USER::KorvMdqpResultSet;
using KORV::USER::KorvUserMdqpStub;

namespace {

const char PARTICIPANT[] = "PART0123456789";                             // 14: 10 kept
const char USER[] = "USER0123456789XYZ";                                 // 17: 15 kept
const char PASSWORD[] = "Secret-0123456789-0123456789-0123456789-tail";  // 44: 40 kept

struct EventLog : Logger {
    EventLog() { reg_logger(LOG_EVENT_SLOT, this, 6); }
    ~EventLog() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }
    void output(const char* line) override { lines.emplace_back(line); }
    int find(const std::string& line) const
    {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == line)
                return static_cast<int>(i);
        return -1;
    }
    std::vector<std::string> lines;
};

struct CountingTask : Task {
    void wake_up() override { ++runs; }
    int runs = 0;
};

class MdqpStubTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_stub.reset(new KorvUserMdqpStub(&m_reactor));
        m_stub->reg_server(m_a.location().c_str());
        m_stub->reg_server(m_b.location().c_str());
        m_stub->set_authentication(PARTICIPANT, USER, PASSWORD);
    }
    void TearDown() override { m_stub.reset(); }

    void accept(Listener& listener, Peer& peer)
    {
        ASSERT_TRUE(run_until(m_reactor, [&] {
            int fd = listener.accept_one();
            if (fd >= 0)
                peer.adopt(fd);
            return fd >= 0;
        }));
    }
    Parsed next(Peer& peer)
    {
        Parsed p;
        EXPECT_TRUE(run_until(m_reactor, [&] { return peer.next_packet(p); }));
        return p;
    }
    // The next length bytes the peer receives, as they came, after any
    // heartbeats the channel sent in front of them.
    std::string next_bytes(Peer& peer, size_t length)
    {
        const std::string beat = heartbeat();
        EXPECT_TRUE(run_until(m_reactor, [&] {
            peer.receive();
            while (peer.received().compare(0, beat.size(), beat) == 0)
                peer.received().erase(0, beat.size());
            return peer.received().size() >= length;
        }));
        std::string bytes = peer.received().substr(0, length);
        peer.received().erase(0, bytes.size());
        return bytes;
    }
    bool has_event(const std::string& line) const { return m_events.find(line) >= 0; }

    SelectReactor m_reactor;
    Listener m_a, m_b;
    EventLog m_events;
    std::unique_ptr<KorvUserMdqpStub> m_stub;
};

std::string text_field(const char* text, size_t width, size_t kept)
{
    std::string out(text, kept);
    out.resize(width, '\0');
    return out;
}

}  // namespace

TEST_F(MdqpStubTest, LoginRequestCarriesTheCredentialsInTheir151ByteBlock)
{
    Peer a;
    accept(m_a, a);
    std::string login = next_bytes(a, 8 + 4 + 151);
    // Version 1 and flag clear, trans_id 0x11, 155 body bytes, request 1;
    // field id 2 of 151 bytes.
    EXPECT_EQ(login.substr(0, 12), std::string("\x01\x11\x9b\x00\x01\x00\x00\x00"
                                               "\x02\x00\x97\x00",
                                               12));
    std::string block = login.substr(12);
    EXPECT_EQ(block.substr(0, 16), text_field(USER, 16, 15));
    EXPECT_EQ(block.substr(16, 11), text_field(PARTICIPANT, 11, 10));
    EXPECT_EQ(block.substr(27, 41), text_field(PASSWORD, 41, 40));
    EXPECT_EQ(block.substr(68), std::string(83, '\0'));
}

TEST_F(MdqpStubTest, FailsOverBetweenServersAndNeverReusesRequestIds)
{
    testing::internal::CaptureStdout();
    CountingTask early;
    EXPECT_EQ(m_stub->schedule(&early), EC_WOULDBLOCK);

    // A refuses. A reply without MDQP_RspInfo is ignored and a truncated
    // one refused, before the real answer arrives.
    Peer a, b;
    accept(m_a, a);
    EXPECT_EQ(next(a).request_id, 1u);
    a.send(packet(0x12, 1, field(3, std::string(115, '\0'))));
    a.send(packet(0x12, 1, field(1, "ab")));
    a.send(packet(0x12, 1, rsp_info(-7003, "wrong password\nevent forged 1 \\x\x1b[2J")));
    accept(m_b, b);  // at once, without a pause
    EXPECT_TRUE(run_until(m_reactor, [&] { return !a.receive(); }));
    int refused =
        m_events.find("event MdqpError 3 refused login response: MDQP_RspInfo of 2 bytes");
    // The server's text cannot start a line of its own or drive a terminal.
    int login_error =
        m_events.find("event LoginError 3 -7003 wrong password\\x0aevent forged 1 \\\\x\\x1b[2J");
    EXPECT_GE(refused, 0);
    EXPECT_GT(login_error, refused);
    EXPECT_EQ(early.runs, 0);

    // B accepts; the parked task is released once.
    EXPECT_EQ(next(b).request_id, 2u);
    b.send(packet(0x12, 2, rsp_info(0, "wel\tcome\r") + field(3, std::string(115, 'i'))));
    ASSERT_TRUE(run_until(m_reactor, [&] { return early.runs == 1; }));
    EXPECT_TRUE(has_event("event LoginRsp 5 0 wel\\x09come\\x0d"));
    EXPECT_EQ(m_stub->state(), KorvUserMdqpStub::SID_LoggedIn);
    CountingTask late;
    EXPECT_EQ(m_stub->schedule(&late), 0);
    EXPECT_FALSE(late.in_queue());

    // A snapshot reply of three packets: each body wakes the reader, the
    // packet of another request goes elsewhere, and the third completes it.
    KorvMdqpResultSet* snap = m_stub->req_qry_topic_snap(1001);
    ASSERT_NE(snap, nullptr);
    EXPECT_TRUE(has_event("event query 5 req_qry_topic_snap  topic_id = 1001"));
    // Topic 1001, latest snapshot (-1), request 3.
    EXPECT_EQ(next_bytes(b, 18), std::string("\x01\x31\x0a\x00\x03\x00\x00\x00"
                                             "\x01\x10\x06\x00\xe9\x03\xff\xff\xff\xff",
                                             18));
    CountingTask fetch;
    EXPECT_EQ(snap->schedule(&fetch), EC_WOULDBLOCK);
    std::string body1 = field(0x101, std::string(112, '1'));
    std::string body2 = field(0x102, std::string(154, '2'));
    std::string body3 = field(0x1004, le32(42));
    b.send(packet(0x32, 3, body1, 1) + packet(0x32, 99, body2) + packet(0x32, 3, body2, 1));
    ASSERT_TRUE(run_until(m_reactor, [&] { return fetch.runs > 0; }));
    run_iterations(m_reactor, 50);
    EXPECT_EQ(fetch.runs, 1);
    PacketBufferExt<1536> out;
    for (const std::string& body : {body1, body2}) {
        out.reset(0);
        ASSERT_EQ(snap->read(out), 0);
        EXPECT_EQ(std::string(out.data(), out.length()), body);
    }
    EXPECT_EQ(snap->read(out), EC_WOULDBLOCK);  // more to come
    EXPECT_EQ(snap->schedule(&fetch), EC_WOULDBLOCK);
    b.send(packet(0x32, 3, body3));
    ASSERT_TRUE(run_until(m_reactor, [&] { return fetch.runs > 1; }));
    run_iterations(m_reactor, 10);
    EXPECT_EQ(fetch.runs, 2);
    out.reset(0);
    ASSERT_EQ(snap->read(out), 0);
    EXPECT_EQ(std::string(out.data(), out.length()), body3);
    EXPECT_EQ(snap->read(out), EC_CLOSED);
    EXPECT_EQ(m_stub->open_requests(), 1u);
    snap->close();
    EXPECT_EQ(m_stub->open_requests(), 0u);
    size_t events_before = m_events.lines.size();
    b.send(packet(0x32, 3, body1));  // for a closed query: dropped
    run_iterations(m_reactor, 20);
    EXPECT_EQ(m_stub->open_requests(), 0u);
    EXPECT_EQ(m_events.lines.size(), events_before);
    EXPECT_EQ(m_stub->state(), KorvUserMdqpStub::SID_LoggedIn);
    EXPECT_TRUE(b.receive());  // the connection stays

    // A gap query whose reply is lost with the connection.
    KorvMdqpResultSet* gap = m_stub->req_qry_topic_gap(7, 100, 105);
    ASSERT_NE(gap, nullptr);
    // Topic 7, packets [100, 105), request 4.
    EXPECT_EQ(next_bytes(b, 22), std::string("\x01\x33\x0e\x00\x04\x00\x00\x00"
                                             "\x01\x02\x0a\x00\x07\x00"
                                             "\x64\x00\x00\x00\x69\x00\x00\x00",
                                             22));

    // B drops: past the end of the list, 5000 ms pass before A again.
    auto dropped = std::chrono::steady_clock::now();
    b.close();
    ASSERT_TRUE(
        run_until(m_reactor, [&] { return m_stub->state() != KorvUserMdqpStub::SID_LoggedIn; }));
    size_t before = m_events.lines.size();
    EXPECT_EQ(m_stub->req_qry_topic_gap(7, 100, 105), nullptr);
    EXPECT_EQ(m_stub->req_qry_topic_snap(1001), nullptr);
    EXPECT_EQ(std::vector<std::string>(m_events.lines.begin() + static_cast<long>(before),
                                       m_events.lines.end()),
              (std::vector<std::string>{"event query 4 req_qry_topic_gap topic_id = 7, [100, 105)",
                                        "event query 5 req_qry_topic_snap  topic_id = 1001"}));
    CountingTask waiting;
    EXPECT_EQ(m_stub->schedule(&waiting), EC_WOULDBLOCK);
    accept(m_a, a);
    EXPECT_GE(elapsed_ms(dropped), 4900);
    EXPECT_LT(m_b.accept_one(), 0);
    EXPECT_EQ(next(a).request_id, 5u);  // ids go on across connections
    out.reset(0);
    EXPECT_EQ(gap->read(out), EC_WOULDBLOCK);

    // A stays silent: after 5000 ms the stub moves on to B.
    auto sent = std::chrono::steady_clock::now();
    accept(m_b, b);
    EXPECT_GE(elapsed_ms(sent), 4900);
    EXPECT_EQ(next(b).request_id, 6u);
    EXPECT_EQ(waiting.runs, 0);
    gap->close();

    fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();
    for (const char* secret : {PASSWORD, USER, PARTICIPANT}) {
        std::string kept(secret, 10);
        EXPECT_EQ(printed.find(kept), std::string::npos) << kept;
        for (const std::string& line : m_events.lines)
            EXPECT_EQ(line.find(kept), std::string::npos) << line;
    }
}

TEST_F(MdqpStubTest, ServerThatCannotBeOpenedIsPassedOverAtOnce)
{
    // No transport of the stub opens a multicast location.
    m_stub.reset(new KorvUserMdqpStub(&m_reactor));
    m_stub->reg_server("udpg://239.1.1.1:7000");
    m_stub->reg_server(m_a.location().c_str());
    auto started = std::chrono::steady_clock::now();
    Peer a;
    accept(m_a, a);
    EXPECT_LT(elapsed_ms(started), 2000);
    EXPECT_EQ(next(a).trans_id, 0x11);
}

TEST_F(MdqpStubTest, ServerThatStopsReadingIsLeftForTheNextOne)
{
    Peer a, b;
    accept(m_a, a);
    EXPECT_EQ(next(a).trans_id, 0x11);
    a.send(packet(0x12, 1, rsp_info(0, "ok")));
    ASSERT_TRUE(
        run_until(m_reactor, [&] { return m_stub->state() == KorvUserMdqpStub::SID_LoggedIn; }));

    // A still holds the connection but reads nothing more: the queries fill
    // the socket, the transport's backlog, then the stub's bounded queue.
    const std::string overflow =
        "event MdqpError 3 write queue over 65536 bytes, closing the channel";
    int queries = 0;
    while (m_events.lines.back() != overflow && queries < 2000000) {
        KorvMdqpResultSet* gap = m_stub->req_qry_topic_gap(7, 100, 105);
        ASSERT_NE(gap, nullptr);
        gap->close();
        ++queries;
    }
    ASSERT_EQ(m_events.lines.back(), overflow) << queries << " queries";
    auto closed = std::chrono::steady_clock::now();
    accept(m_b, b);
    EXPECT_LT(elapsed_ms(closed), 2000);
    EXPECT_EQ(next(b).trans_id, 0x11);
}
