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
    Parsed login = next(a);
    EXPECT_EQ(login.byte0, 0x01);
    EXPECT_EQ(login.trans_id, 0x11);
    EXPECT_EQ(login.request_id, 1u);
    ASSERT_EQ(login.body.size(), 4u + 151u);
    EXPECT_EQ(login.body.substr(0, 4), le16(2) + le16(151));
    std::string block = login.body.substr(4);
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
    a.send(packet(0x12, 1, rsp_info(-7003, "wrong password")));
    accept(m_b, b);  // at once, without a pause
    EXPECT_TRUE(run_until(m_reactor, [&] { return !a.receive(); }));
    int refused =
        m_events.find("event MdqpError 3 refused login response: MDQP_RspInfo of 2 bytes");
    int login_error = m_events.find("event LoginError 3 -7003 wrong password");
    EXPECT_GE(refused, 0);
    EXPECT_GT(login_error, refused);
    EXPECT_EQ(early.runs, 0);

    // B accepts; the parked task is released once.
    EXPECT_EQ(next(b).request_id, 2u);
    b.send(packet(0x12, 2, rsp_info(0, "welcome") + field(3, std::string(115, 'i'))));
    ASSERT_TRUE(run_until(m_reactor, [&] { return early.runs == 1; }));
    EXPECT_TRUE(has_event("event LoginRsp 5 0 welcome"));
    EXPECT_EQ(m_stub->state(), KorvUserMdqpStub::SID_LoggedIn);
    CountingTask late;
    EXPECT_EQ(m_stub->schedule(&late), 0);
    EXPECT_FALSE(late.in_queue());

    // A snapshot reply of three packets completes once, after the third.
    KorvMdqpResultSet* snap = m_stub->req_qry_topic_snap(1001);
    ASSERT_NE(snap, nullptr);
    EXPECT_TRUE(has_event("event query 5 req_qry_topic_snap  topic_id = 1001"));
    Parsed request = next(b);
    EXPECT_EQ(request.trans_id, 0x31);
    EXPECT_EQ(request.request_id, 3u);
    EXPECT_EQ(request.body, field(0x1001, le16(1001) + le32(0xffffffff)));
    CountingTask fetch;
    EXPECT_EQ(snap->schedule(&fetch), EC_WOULDBLOCK);
    std::string body1 = field(0x101, std::string(112, '1'));
    std::string body2 = field(0x102, std::string(154, '2'));
    std::string body3 = field(0x1004, le32(42));
    b.send(packet(0x32, 3, body1, 1) + packet(0x32, 99, body2) + packet(0x32, 3, body2, 1));
    run_iterations(m_reactor, 50);
    EXPECT_EQ(fetch.runs, 0);
    PacketBufferExt<1536> out;
    out.reset(0);
    EXPECT_EQ(snap->read(out), EC_WOULDBLOCK);
    b.send(packet(0x32, 3, body3));
    ASSERT_TRUE(run_until(m_reactor, [&] { return fetch.runs > 0; }));
    run_iterations(m_reactor, 10);
    EXPECT_EQ(fetch.runs, 1);
    for (const std::string& body : {body1, body2, body3}) {
        out.reset(0);
        ASSERT_EQ(snap->read(out), 0);
        EXPECT_EQ(std::string(out.data(), out.length()), body);
    }
    EXPECT_EQ(snap->read(out), EC_CLOSED);
    snap->close();
    b.send(packet(0x32, 3, body1));  // for a closed query: dropped
    run_iterations(m_reactor, 20);

    // A gap query whose reply is lost with the connection.
    KorvMdqpResultSet* gap = m_stub->req_qry_topic_gap(7, 100, 105);
    ASSERT_NE(gap, nullptr);
    request = next(b);
    EXPECT_EQ(request.trans_id, 0x33);
    EXPECT_EQ(request.request_id, 4u);
    EXPECT_EQ(request.body, field(0x201, le16(7) + le32(100) + le32(105)));

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
