// Test helper: the scenario runner. It plays the scripted MDQP servers on 127.0.0.1 and the
// scripted MIRP lines on multicast groups of the private network, runs the library's real
// KorvUserApi against them on its own reactor thread, and checks what the
// handler received, how the library queried, and that the password shows
// nowhere. The file format is in tests/scenarios/README.md.
#pragma once

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserCounters.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "source/korv_user/UFDataType.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "tests/korv_user/test_subscriber_fixture.h"
#include "tests/scenario/ScenarioScript.h"

using BRAX::KORV_USER_API::KorvLineCounters;
using BRAX::KORV_USER_API::KorvTopicCounters;
using BRAX::KORV_USER_API::KorvUserApi;
using BRAX::KORV_USER_API::UFBaseFloatType;
using Clock = std::chrono::steady_clock;

namespace scenario_test {

using namespace subscriber_test;

inline const char* const PASSWORD = "Sc3n-pass-7Q";
constexpr int DEFAULT_WITHIN_MS = 6000;

inline int ms_since(Clock::time_point start)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// What the handler was last given for one instrument, and whether its
// volume ever went down between two deliveries (the book moved backwards).
struct Delivered {
    int volume = 0;
    std::vector<std::pair<double, int>> bids, asks;
    int calls = 0;
    bool went_back = false;
};

class RecordingHandler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* md, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Delivered& d = m_book[md->InstrumentID];
        if (d.calls > 0 && md->Volume < d.volume)
            d.went_back = true;
        d.volume = md->Volume;
        d.bids = side(bids);
        d.asks = side(asks);
        ++d.calls;
    }
    std::map<std::string, Delivered> book()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_book;
    }

private:
    static std::vector<std::pair<double, int>> side(const TopicPriceEntry* entries)
    {
        std::vector<std::pair<double, int>> out;
        for (int i = 0; i < MAX_LEVEL && entries[i].Price != UFBaseFloatType::NULL_VALUE; ++i)
            out.emplace_back(entries[i].Price, entries[i].Volume);
        return out;
    }
    std::mutex m_mutex;
    std::map<std::string, Delivered> m_book;
};

// Event lines of the logging service, safe to read while the reactor
// thread writes.
struct LockedEventLog : Logger {
    LockedEventLog() { reg_logger(LOG_EVENT_SLOT, this, 6); }
    ~LockedEventLog() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }
    void output(const char* line) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(line);
    }
    int count(const std::string& part)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const std::string& line : m_lines)
            n += line.find(part) != std::string::npos;
        return n;
    }
    std::string all()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string out;
        for (const std::string& line : m_lines)
            out += line;
        return out;
    }
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// One scripted query server: a listener that can go away and come back on
// the same port, its current connection and the requests received on it.
class ScriptServer {
public:
    ScriptServer() { open(0); }
    ~ScriptServer() { stop(); }
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    std::string location() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }
    void stop()
    {
        if (m_listen_fd >= 0)
            ::close(m_listen_fd);
        m_listen_fd = -1;
        drop();
    }
    void start() { open(m_port); }
    void drop()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_received.clear();
        m_requests.clear();
    }
    bool connected() const { return m_fd >= 0; }

    // Accepts a new connection (which replaces the old one), reads what came
    // and sends the heartbeat that keeps the connection alive.
    void pump()
    {
        if (m_listen_fd >= 0) {
            int fd = accept(m_listen_fd, nullptr, nullptr);
            if (fd >= 0) {
                drop();
                fcntl(fd, F_SETFL, O_NONBLOCK);
                m_fd = fd;
                ++connections;
                m_next_heartbeat = Clock::now();
            }
        }
        if (m_fd < 0)
            return;
        char buf[65536];
        ssize_t n;
        while ((n = recv(m_fd, buf, sizeof buf, 0)) > 0)
            m_received.append(buf, size_t(n));
        bool closed = n == 0;
        Parsed p;
        while (take_packet(m_received, p)) {
            if (p.trans_id == 0)
                continue;
            if (p.trans_id == MDQP_TID_ReqUserLogin)
                ++logins;
            else if (p.trans_id == MDQP_TID_ReqQryTopicSnap)
                ++snap_queries;
            else if (p.trans_id == MDQP_TID_ReqQryTopicGap)
                ++gap_queries;
            m_requests.push_back(p);
        }
        if (closed) {
            drop();
            return;
        }
        if (!silent && Clock::now() >= m_next_heartbeat) {
            send(heartbeat());
            m_next_heartbeat = Clock::now() + std::chrono::milliseconds(1000);
        }
    }
    // Takes the first request of the type received on this connection.
    bool take(int trans_id, Parsed& out)
    {
        for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
            if (it->trans_id == trans_id) {
                out = *it;
                m_requests.erase(it);
                return true;
            }
        }
        return false;
    }
    void send(const std::string& bytes)
    {
        size_t sent = 0;
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (m_fd >= 0 && sent < bytes.size() && Clock::now() < deadline) {
            ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
            else if (errno != EAGAIN)
                break;
            else
                usleep(1000);
        }
    }

    bool silent = false;
    int connections = 0, logins = 0, snap_queries = 0, gap_queries = 0;

private:
    void open(int port)
    {
        m_listen_fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port));
        EXPECT_EQ(bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        listen(m_listen_fd, 5);
        fcntl(m_listen_fd, F_SETFL, O_NONBLOCK);
    }

    int m_listen_fd = -1;
    int m_port = 0;
    int m_fd = -1;
    std::string m_received;
    std::deque<Parsed> m_requests;
    Clock::time_point m_next_heartbeat;
};

// One scripted multicast line: a sender to its own group.
class ScriptLine {
public:
    explicit ScriptLine(int index)
    {
        m_group = "239.3.2." + std::to_string(index + 1);
        m_port = 32000 + int(getpid() % 1000) * 4 + index;
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr lo{};
        lo.s_addr = htonl(INADDR_LOOPBACK);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        m_to.sin_family = AF_INET;
        m_to.sin_addr.s_addr = inet_addr(m_group.c_str());
        m_to.sin_port = htons(uint16_t(m_port));
    }
    ~ScriptLine() { ::close(m_fd); }
    ScriptLine(const ScriptLine&) = delete;
    ScriptLine& operator=(const ScriptLine&) = delete;

    std::string location() const { return "udpg://" + m_group + ":" + std::to_string(m_port); }
    void send(const std::string& datagram)
    {
        EXPECT_EQ(sendto(m_fd, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to),
                  ssize_t(datagram.size()));
        ++datagrams;
    }
    // True once some socket of this namespace has joined the group.
    bool joined() const
    {
        char hex[16];
        snprintf(hex, sizeof hex, "%08X", unsigned(m_to.sin_addr.s_addr));
        std::ifstream in("/proc/net/igmp");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find(hex) != std::string::npos;
    }
    int datagrams = 0;

private:
    std::string m_group;
    int m_port;
    int m_fd;
    sockaddr_in m_to{};
};

// How one packet number is sent: its events and header changes.
struct PacketPlan {
    std::vector<std::string> tokens{"trade:0:1"};
};

struct InstrumentPlan {
    int no = 0;
    int volume = 0;
    std::vector<std::pair<int, int>> bids, asks;
};

inline std::string event_field(uint16_t id, const unsigned char* content, int n)
{
    return le16(id) + le16(unsigned(n)) +
           std::string(reinterpret_cast<const char*>(content), size_t(n));
}

inline std::string instrument_header(int no)
{
    unsigned char content[64];
    InstrumentEventContext context = {no, 0};
    int n = CODEC_InstrumentEventHeader::field_encode(content, sizeof content, &context);
    return event_field(MIRP_FID_InstrumentEventHeader, content, n);
}

// One run of a scenario: the library under test, the scripted servers and
// lines, the packet and snapshot definitions, executed step by step.
class ScenarioRun {
public:
    // spin: the library's spinning receive mode instead of its default.
    explicit ScenarioRun(const ScenarioScript& script, bool spin = false)
        : m_script(script), m_spin(spin)
    {
    }

    void run()
    {
        configure();
        if (testing::Test::HasFatalFailure())
            return;
        testing::internal::CaptureStdout();
        m_api = KorvUserApi::create_instance();
        for (auto& server : m_servers)
            m_api->reg_mdqp_location(server->location().c_str());
        for (auto& line : m_lines)
            m_api->reg_mirp_location(line->location().c_str());
        m_api->set_authentication("P01", "U01", PASSWORD);
        for (int topic : m_topics)
            m_api->subscribe_topic(topic, &m_handler);
        if (!m_counters_file.empty()) {
            EXPECT_EQ(set_counters_file(m_api, m_counters_file.c_str()), 0);
        }
        ASSERT_EQ(m_api->set_receive_mode(m_spin, -1), 0);
        m_api->start();
        bool joined = pump_until(
            [&] {
                for (auto& line : m_lines)
                    if (!line->joined())
                        return false;
                return true;
            },
            5000);
        EXPECT_TRUE(joined) << "the library did not join the groups";
        for (const ScenarioStep& step : m_script.steps) {
            if (is_setting(step))
                continue;
            SCOPED_TRACE(m_script.path + ":" + std::to_string(step.line));
            execute(step);
            if (testing::Test::HasFatalFailure())
                break;
        }
        m_api->close();
        m_api = nullptr;
        if (!m_counters_file.empty())
            remove(m_counters_file.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        for (const auto& expected : m_outputs)
            EXPECT_NE(out.find(expected.second), std::string::npos)
                << m_script.path << ":" << expected.first << " no output line with \""
                << expected.second << "\"";
        // The credentials go to the server and nowhere else.
        EXPECT_EQ(out.find(PASSWORD), std::string::npos) << "password on standard output";
        EXPECT_EQ(m_events.all().find(PASSWORD), std::string::npos) << "password in an event";
        for (const auto& entry : m_handler.book())
            EXPECT_FALSE(entry.second.went_back) << entry.first << " moved backwards";
        if (testing::Test::HasFailure())
            printf("%s\n", out.substr(out.size() > 6000 ? out.size() - 6000 : 0).c_str());
    }

private:
    static bool is_setting(const ScenarioStep& step)
    {
        static const char* const settings[] = {"servers", "lines", "topic",        "depth",
                                               "snapno",  "slow",  "counters_file"};
        for (const char* name : settings)
            if (step.word(0) == name)
                return true;
        return false;
    }

    void configure()
    {
        int servers = 1, lines = 1;
        for (const ScenarioStep& step : m_script.steps) {
            if (step.word(0) == "servers")
                servers = std::stoi(step.word(1));
            else if (step.word(0) == "lines")
                lines = std::stoi(step.word(1));
            else if (step.word(0) == "topic")
                m_topics.push_back(std::stoi(step.word(1)));
            else if (step.word(0) == "depth")
                m_depth = std::stoi(step.word(1));
            else if (step.word(0) == "snapno")
                m_snap_no = std::stoi(step.word(1));
            else if (step.word(0) == "counters_file")
                m_counters_file = counters_path();
        }
        if (m_topics.empty())
            m_topics.push_back(TOPIC);
        for (int i = 0; i < servers; ++i)
            m_servers.emplace_back(new ScriptServer());
        for (int i = 0; i < lines; ++i)
            m_lines.emplace_back(new ScriptLine(i));
    }

    static std::string counters_path()
    {
        return "/tmp/korv-scenario-" + std::to_string(getpid()) + ".prom";
    }

    // Keeps the servers going until done() holds or within_ms pass.
    bool pump_until(const std::function<bool()>& done, int within_ms)
    {
        Clock::time_point start = Clock::now();
        for (;;) {
            for (auto& server : m_servers)
                server->pump();
            if (done())
                return true;
            if (ms_since(start) > within_ms)
                return false;
            usleep(500);
        }
    }
    void pump_for(int ms)
    {
        pump_until([] { return false; }, ms);
    }

    ScriptServer& server(const std::string& word)
    {
        size_t i = size_t(std::stoi(word)) - 1;
        if (i >= m_servers.size())
            ADD_FAILURE() << "no server " << word;
        return *m_servers[std::min(i, m_servers.size() - 1)];
    }
    ScriptLine& line(const std::string& word)
    {
        size_t i = size_t(word[0] - 'A');
        if (i >= m_lines.size())
            ADD_FAILURE() << "no line " << word;
        return *m_lines[std::min(i, m_lines.size() - 1)];
    }
    int option(const ScenarioStep& step, const std::string& name, int fallback) const
    {
        for (size_t i = 0; i + 1 < step.words.size(); ++i)
            if (step.words[i] == name)
                return std::stoi(step.words[i + 1]);
        return fallback;
    }
    static bool has(const ScenarioStep& step, const std::string& word)
    {
        return std::find(step.words.begin(), step.words.end(), word) != step.words.end();
    }

    // Waits for a request of the type on server s.
    bool await_request(ScriptServer& s, int trans_id, Parsed& out, int within_ms)
    {
        return pump_until([&] { return s.take(trans_id, out); }, within_ms);
    }

    void execute(const ScenarioStep& step)
    {
        const std::string& verb = step.word(0);
        int within = option(step, "within", DEFAULT_WITHIN_MS);
        if (verb == "login") {
            ScriptServer& s = server(step.word(1));
            Parsed request;
            ASSERT_TRUE(await_request(s, MDQP_TID_ReqUserLogin, request, within))
                << "no login on server " << step.word(1);
            // The password must have reached the server.
            EXPECT_NE(request.body.find(PASSWORD), std::string::npos);
            if (step.word(2) == "refuse")
                s.send(packet(MDQP_TID_RspUserLogin, request.request_id,
                              rsp_info(std::stoi(step.word(3)), "login refused")));
            else
                s.send(packet(MDQP_TID_RspUserLogin, request.request_id,
                              rsp_info(0, "ok") + field(3, std::string(115, '\0'))));
        } else if (verb == "snap") {
            ScriptServer& s = server(step.word(1));
            Parsed request;
            ASSERT_TRUE(await_request(s, MDQP_TID_ReqQryTopicSnap, request, within))
                << "no snapshot query on server " << step.word(1);
            answer_snapshot(s, request, step);
        } else if (verb == "gap") {
            ScriptServer& s = server(step.word(1));
            Parsed request;
            ASSERT_TRUE(await_request(s, MDQP_TID_ReqQryTopicGap, request, within))
                << "no gap query on server " << step.word(1);
            uint32_t begin = uint32_t(std::stoul(step.word(2)));
            uint32_t end = uint32_t(std::stoul(step.word(3)));
            ASSERT_GE(request.body.size(), 14u);
            EXPECT_EQ(get32(request.body, 6), begin) << "gap query begins elsewhere";
            EXPECT_EQ(get32(request.body, 10), end) << "gap query ends elsewhere";
            answer_gap(s, request, step, begin, end);
        } else if (verb == "send") {
            ScriptLine& l = line(step.word(1));
            std::vector<uint32_t> numbers = number_list(step.word(2));
            if (has(step, "together")) {
                std::string datagram;
                for (uint32_t no : numbers)
                    datagram += mirp_bytes(no);
                l.send(datagram);
            } else {
                for (uint32_t no : numbers)
                    l.send(mirp_bytes(no));
            }
        } else if (verb == "datagram") {
            ScriptLine& l = line(step.word(1));
            if (step.word(2) == "empty")
                l.send("");
            else
                l.send(hex_bytes(step.word(2)));
        } else if (verb == "packet") {
            PacketPlan plan;
            plan.tokens.assign(step.words.begin() + 2, step.words.end());
            for (uint32_t no : number_list(step.word(1)))
                m_packets[no] = plan;
        } else if (verb == "instrument") {
            define_instrument(step);
        } else if (verb == "drop") {
            server(step.word(1)).drop();
        } else if (verb == "stop") {
            server(step.word(1)).stop();
        } else if (verb == "start") {
            server(step.word(1)).start();
        } else if (verb == "silent") {
            server(step.word(1)).silent = step.word(2) != "off";
        } else if (verb == "wait") {
            pump_for(std::stoi(step.word(1)));
        } else if (verb == "disconnected") {
            ScriptServer& s = server(step.word(1));
            EXPECT_TRUE(pump_until([&] { return !s.connected(); }, within))
                << "server " << step.word(1) << " still connected";
        } else if (verb == "quiet") {
            int before = queries();
            pump_for(std::stoi(step.word(1)));
            EXPECT_EQ(queries(), before) << "queries during a quiet period";
        } else if (verb == "expect") {
            expect(step, within);
        } else {
            ADD_FAILURE() << "unknown step " << verb;
        }
    }

    int queries() const
    {
        int n = 0;
        for (auto& s : m_servers)
            n += s->snap_queries + s->gap_queries;
        return n;
    }

    void define_instrument(const ScenarioStep& step)
    {
        InstrumentPlan plan;
        plan.no = std::stoi(step.word(1));
        for (size_t i = 2; i < step.words.size(); ++i) {
            std::vector<std::string> parts = split(step.words[i], ':');
            if (parts[0] == "volume" && i + 1 < step.words.size()) {
                plan.volume = std::stoi(step.words[++i]);
            } else if ((parts[0] == "bid" || parts[0] == "ask") && parts.size() >= 3) {
                // bid:PRICE:VOLUME[:COUNT] with COUNT levels one tick apart.
                int count = parts.size() > 3 ? std::stoi(parts[3]) : 1;
                auto& side = parts[0] == "bid" ? plan.bids : plan.asks;
                for (int k = 0; k < count; ++k)
                    side.emplace_back(std::stoi(parts[1]) + (parts[0] == "bid" ? -k : k),
                                      std::stoi(parts[2]));
            } else {
                ADD_FAILURE() << "bad instrument word " << step.words[i];
            }
        }
        m_instruments[plan.no] = plan;
    }

    // The snapshot as its reply packets: the topic's header fields, one
    // packet per instrument, and the packet number last.
    std::vector<std::string> snapshot_packets(const ScenarioStep& step, uint32_t packet_no)
    {
        std::vector<std::string> bodies;
        MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
        attribute.MarketDataDepth = m_depth;
        attribute.CipherType = '0';
        MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
        tag.TopicID = short(m_topics[0]);
        tag.SnapNo = m_snap_no;
        std::string head = record_field(attribute) + record_field(tag);
        if (has(step, "unknown"))
            head += field(0x7777, "stranger");
        bodies.push_back(head);
        for (const auto& entry : m_instruments) {
            const InstrumentPlan& plan = entry.second;
            MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
            snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "I%d", plan.no);
            instrument.VolumeMultiple = 1;
            instrument.PriceTick = 1;
            instrument.InstrumentNo = plan.no;
            MDQP_TopicMarketData md = MDQP_TopicMarketData();
            md.InstrumentNo = plan.no;
            md.Volume = plan.volume;
            std::string body = record_field(instrument) + record_field(md);
            for (int side = 0; side < 2; ++side)
                for (const auto& level : side == 0 ? plan.bids : plan.asks) {
                    MDQP_TopicMarketByPrice record = MDQP_TopicMarketByPrice();
                    record.InstrumentNo = plan.no;
                    record.EntryType = side == 0 ? MDET_Bid : MDET_Ask;
                    record.Price = level.first;
                    record.Volume = level.second;
                    body += record_field(record);
                }
            bodies.push_back(body);
        }
        MDQP_MirpPakcetNo number = MDQP_MirpPakcetNo();
        number.PacketNo = int(packet_no);
        bodies.push_back(record_field(number));
        return bodies;
    }

    void answer_snapshot(ScriptServer& s, const Parsed& request, const ScenarioStep& step)
    {
        const std::string& how = step.word(2);
        if (how == "silent")
            return;
        if (how == "error") {
            s.send(packet(MDQP_TID_RspQryTopicSnap, request.request_id,
                          rsp_info(std::stoi(step.word(3)), "no data")));
            return;
        }
        if (how == "empty") {
            s.send(packet(MDQP_TID_RspQryTopicSnap, request.request_id, ""));
            return;
        }
        std::vector<std::string> bodies = snapshot_packets(step, uint32_t(std::stoul(how)));
        // "partial": the connection breaks before the last packet.
        size_t count = has(step, "partial") ? bodies.size() - 1 : bodies.size();
        for (size_t i = 0; i < count; ++i)
            s.send(packet(MDQP_TID_RspQryTopicSnap, request.request_id, bodies[i],
                          i + 1 < bodies.size() ? MDQP_FLAG_CONTINUE : 0));
        if (has(step, "partial"))
            s.drop();
    }

    void answer_gap(ScriptServer& s, const Parsed& request, const ScenarioStep& step,
                    uint32_t begin, uint32_t end)
    {
        const std::string& how = step.word(4);
        if (how == "silent")
            return;
        if (how == "error") {
            s.send(packet(MDQP_TID_RspQryTopicGap, request.request_id,
                          rsp_info(std::stoi(step.word(5)), "no data")));
            return;
        }
        std::vector<uint32_t> numbers;
        if (how == "reply")
            numbers = number_list(step.word(5));
        else if (how != "none")
            for (uint32_t no = begin; no < end; ++no)
                numbers.push_back(no);
        // Normally some tens of packets to one reply packet; "big" puts
        // them all into one, "partial" breaks the connection halfway.
        size_t per_packet = has(step, "big") ? numbers.size() : 16;
        std::vector<std::string> bodies;
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (i % std::max<size_t>(per_packet, 1) == 0)
                bodies.emplace_back();
            bodies.back() += field(1, mirp_bytes(numbers[i]));
        }
        if (bodies.empty())
            bodies.emplace_back();
        size_t count = has(step, "partial") ? bodies.size() / 2 : bodies.size();
        for (size_t i = 0; i < count; ++i)
            s.send(packet(MDQP_TID_RspQryTopicGap, request.request_id, bodies[i],
                          i + 1 < bodies.size() ? MDQP_FLAG_CONTINUE : 0));
        if (has(step, "partial"))
            s.drop();
    }

    // The wire bytes of packet number no as its plan says.
    std::string mirp_bytes(uint32_t no)
    {
        PacketPlan plan = m_packets.count(no) ? m_packets[no] : PacketPlan();
        MirpHeader header;
        header.init();
        header.TransId = MIRP_TYPE_MarketEvent;
        header.PacketNo = no;
        header.TopicID = uint16_t(m_topics[0]);
        header.SnapSeconds = 1700000000;
        header.SnapNo = m_snap_no + int(no);
        std::string body;
        int current = -1;
        int lie = 0;
        for (const std::string& token : plan.tokens) {
            std::vector<std::string> p = split(token, ':');
            unsigned char content[64];
            auto enter = [&](int instrument) {
                if (instrument != current)
                    body += instrument_header(instrument);
                current = instrument;
            };
            if (p[0] == "trade" && p.size() >= 3) {
                enter(std::stoi(p[1]));
                MIRP_TradeSlice slice = {p.size() > 3 ? std::stoi(p[3]) : 0, std::stoi(p[2]), 0, 0};
                int n = CODEC_TradeSlice::field_encode(content, sizeof content, &slice);
                body += event_field(MIRP_FID_TradeSlice, content, n);
            } else if ((p[0] == "bid" || p[0] == "ask") && p.size() == 6) {
                // bid:INSTRUMENT:new|change|delete:LEVEL:PRICE:VOLUME
                enter(std::stoi(p[1]));
                MIRP_MDEntryEvent event = {};
                event.EventType = p[2] == "new"      ? MBP_EVENT_New
                                  : p[2] == "change" ? MBP_EVENT_Change
                                                     : MBP_EVENT_Delete;
                event.EntryType = p[0] == "bid" ? MDET_Bid : MDET_Ask;
                event.PriceLevel = std::stoi(p[3]);
                event.PriceOffset = std::stoi(p[4]);
                event.Volume = std::stoi(p[5]);
                int n = CODEC_MDEntryEvent::field_encode(content, sizeof content, &event);
                body += event_field(MIRP_FID_MDEntryEvent, content, n);
            } else if (p[0] == "unknown" && p.size() == 2) {
                enter(std::stoi(p[1]));
                body += le16(0x7777) + le16(4) + "abcd";
            } else if (p[0] == "garbage") {
                body += "\x03\x00\x40\x00zz";
            } else if (p[0] == "hb") {
                header.TransId = MIRP_TYPE_Heartbeat;
            } else if (p[0] == "more") {
                header.Flag = MIRP_FLAG_CONTINUE;
            } else if (p[0] == "lie" && p.size() == 2) {
                lie = std::stoi(p[1]);
            } else if (p[0] == "topic" && p.size() == 2) {
                header.TopicID = uint16_t(std::stoi(p[1]));
            } else {
                ADD_FAILURE() << "bad packet word " << token;
            }
        }
        header.ContentLength = uint16_t(int(body.size()) + lie);
        return std::string(reinterpret_cast<char*>(&header), sizeof header) + body;
    }

    static std::string hex_bytes(const std::string& hex)
    {
        std::string out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
        return out;
    }

    int counter(const std::string& name)
    {
        int n = 0;
        if (name.compare(0, 6, "event:") == 0)
            return m_events.count("event " + name.substr(6) + " ");
        for (auto& s : m_servers) {
            if (name == "gap_queries")
                n += s->gap_queries;
            else if (name == "snap_queries")
                n += s->snap_queries;
            else if (name == "logins")
                n += s->logins;
            else if (name == "connections")
                n += s->connections;
            else
                ADD_FAILURE() << "unknown counter " << name;
        }
        return n;
    }

    // The library's own counters: "gaps" and the other fields of the first
    // topic's counters, "A:datagrams" and the like of a line's.
    int64_t library_counter(const std::string& name)
    {
        size_t colon = name.find(':');
        if (colon != std::string::npos) {
            KorvLineCounters c;
            if (get_line_counters(m_api, int(name[0] - 'A'), &c) != 0)
                ADD_FAILURE() << "no line " << name.substr(0, colon);
            const std::map<std::string, uint64_t> lines = {
                {"datagrams", c.Datagrams},
                {"packets", c.Packets},
                {"other_topic_packets", c.OtherTopicPackets},
                {"refused_no_header", c.RefusedNoHeader},
                {"refused_cut_short", c.RefusedCutShort},
                {"packet_no", c.LastPacketNo}};
            return field_of(lines, name.substr(colon + 1));
        }
        KorvTopicCounters c;
        EXPECT_EQ(get_topic_counters(m_api, m_topics[0], &c), 0);
        const std::map<std::string, uint64_t> topic = {{"packets", c.Packets},
                                                       {"reply_packets", c.ReplyPackets},
                                                       {"applied", c.Applied},
                                                       {"duplicates", c.Duplicates},
                                                       {"gaps", c.Gaps},
                                                       {"recovered", c.Recovered},
                                                       {"gap_queries", c.GapQueries},
                                                       {"snapshot_queries", c.SnapshotQueries},
                                                       {"snapshots", c.Snapshots},
                                                       {"refused_far_ahead", c.RefusedFarAhead},
                                                       {"refused_events", c.RefusedEvents},
                                                       {"refused_by_snapshot", c.RefusedBySnapshot},
                                                       {"refused_reply", c.RefusedReply},
                                                       {"copies_differ", c.CopiesDiffer},
                                                       {"forged_applied", c.ForgedApplied},
                                                       {"cache_depth", c.CacheDepth},
                                                       {"packet_no", c.LastPacketNo},
                                                       {"handler_calls", c.HandlerCalls}};
        return field_of(topic, name);
    }
    static int64_t field_of(const std::map<std::string, uint64_t>& fields, const std::string& name)
    {
        auto found = fields.find(name);
        if (found != fields.end())
            return int64_t(found->second);
        ADD_FAILURE() << "unknown library counter " << name;
        return -1;
    }

    // Whether the counters file holds the line.
    bool file_has(const std::string& line) const
    {
        std::ifstream in(m_counters_file);
        for (std::string each; std::getline(in, each);)
            if (each == line)
                return true;
        return false;
    }

    static bool compare(int64_t value, const std::string& op, int bound)
    {
        return op == "=="   ? value == bound
               : op == "<=" ? value <= bound
               : op == ">=" ? value >= bound
                            : (ADD_FAILURE() << "unknown comparison " << op, false);
    }

    // "I0 volume 104 bids 50:1,49:1 asks none calls>=1"
    std::string book_mismatch(const ScenarioStep& step)
    {
        std::map<std::string, Delivered> book = m_handler.book();
        std::string id = step.word(2);
        if (book.count(id) == 0)
            return id + " never delivered";
        const Delivered& d = book[id];
        for (size_t i = 3; i + 1 < step.words.size(); i += 2) {
            const std::string& what = step.words[i];
            const std::string& value = step.words[i + 1];
            if (what == "volume" && d.volume != std::stoi(value))
                return "volume " + std::to_string(d.volume);
            if (what == "bids" || what == "asks") {
                const auto& side = what == "bids" ? d.bids : d.asks;
                std::string got;
                for (const auto& level : side)
                    got += (got.empty() ? "" : ",") + std::to_string(int(level.first)) + ":" +
                           std::to_string(level.second);
                if (got.empty())
                    got = "none";
                if (got != value)
                    return what + " " + got;
            }
            if (what == "levels") {
                std::vector<std::string> counts = split(value, '/');
                if (int(d.bids.size()) != std::stoi(counts[0]) ||
                    int(d.asks.size()) != std::stoi(counts[1]))
                    return "levels " + std::to_string(d.bids.size()) + "/" +
                           std::to_string(d.asks.size());
            }
        }
        return "";
    }

    void expect(const ScenarioStep& step, int within)
    {
        const std::string& what = step.word(1);
        if (what == "book") {
            std::string mismatch;
            bool ok = pump_until(
                [&] {
                    mismatch = book_mismatch(step);
                    return mismatch.empty();
                },
                within);
            EXPECT_TRUE(ok) << "book of " << step.word(2) << ": " << mismatch;
        } else if (what == "absent") {
            EXPECT_EQ(m_handler.book().count(step.word(2)), 0u) << step.word(2) << " delivered";
        } else if (what == "count") {
            int value = counter(step.word(2));
            EXPECT_TRUE(compare(value, step.word(3), std::stoi(step.word(4))))
                << step.word(2) << " is " << value;
        } else if (what == "counter") {
            // The counters move on the library's thread; the wait ends once
            // they agree.
            int64_t value = 0;
            bool ok = pump_until(
                [&] {
                    value = library_counter(step.word(2));
                    return compare(value, step.word(3), std::stoi(step.word(4)));
                },
                within);
            EXPECT_TRUE(ok) << step.word(2) << " is " << value;
        } else if (what == "file") {
            std::string text;
            for (size_t i = 2; i < step.words.size() && step.words[i] != "within"; ++i)
                text += (i > 2 ? " " : "") + step.words[i];
            EXPECT_TRUE(pump_until([&] { return file_has(text); }, within))
                << "no line \"" << text << "\" in the counters file";
        } else if (what == "output") {
            std::string text;
            for (size_t i = 2; i < step.words.size(); ++i)
                text += (i > 2 ? " " : "") + step.words[i];
            m_outputs.emplace_back(step.line, text);
        } else {
            ADD_FAILURE() << "unknown expectation " << what;
        }
    }

    const ScenarioScript& m_script;
    std::vector<std::unique_ptr<ScriptServer>> m_servers;
    std::vector<std::unique_ptr<ScriptLine>> m_lines;
    std::vector<int> m_topics;
    int m_depth = 5;
    int m_snap_no = 1;
    std::map<uint32_t, PacketPlan> m_packets;
    std::map<int, InstrumentPlan> m_instruments;
    std::vector<std::pair<int, std::string>> m_outputs;
    LockedEventLog m_events;
    RecordingHandler m_handler;
    KorvUserApi* m_api = nullptr;
    std::string m_counters_file;
    bool m_spin;
};

inline std::string scenario_dir()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../scenarios";
}

// The scenario names (file names without .scn), sorted; slow ones are those
// that declare "slow" because they wait out the library's own time-outs.
inline std::vector<std::string> scenario_files(bool slow)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(scenario_dir().c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".scn") != 0)
                continue;
            ScenarioScript script;
            script.load(scenario_dir() + "/" + name);
            bool is_slow = false;
            for (const ScenarioStep& step : script.steps)
                is_slow = is_slow || step.word(0) == "slow";
            if (is_slow == slow)
                names.push_back(name.substr(0, name.size() - 4));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string scenario_test_name(const testing::TestParamInfo<std::string>& info)
{
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

inline void run_scenario(const std::string& name, bool spin = false)
{
    ScenarioScript script;
    ASSERT_TRUE(script.load(scenario_dir() + "/" + name + ".scn"));
    ScenarioRun(script, spin).run();
}

}  // namespace scenario_test
