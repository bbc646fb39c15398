// Test helper for the Python package's tests: a scripted query server and
// multicast publisher with instruments of their own, not the simulator's.
//
//   scripted_feed PORT GROUP:GROUP_PORT INSTRUMENTS ROUNDS TRUTH_PATH
//
// Once listening it prints "ready". It answers one login and one snapshot
// query on tcp://127.0.0.1:PORT (the
// snapshot at packet number 0: instruments "ZX.<n>", volume 10 n, one bid
// level), then multicasts ROUNDS rounds of market events: each round a
// burst that touches every instrument exactly once (a trade and a change of
// its best bid, eight instruments to a packet, in a shuffled order), then
// twenty packets that move three hot instruments again. Gap queries are
// answered. When all is sent it writes each instrument's final state to
// TRUTH_PATH, one line "id,volume,last_price,bid_price,bid_volume,packet_no"
// (the packet that last changed it, 0 for the snapshot), keeps
// serving for two seconds and exits 0.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "source/mdqp_protocol/MdqpHeader.h"
#include "tests/korv_user/test_subscriber_fixture.h"

using namespace subscriber_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t FEED_TOPIC = 1001;
constexpr int PER_PACKET = 8;
constexpr int HOT = 3;

struct State {
    int volume;
    int last_price;
    int bid_price;
    int bid_volume;
    // The packet that last changed the instrument; 0: the snapshot.
    uint32_t packet_no;
};

struct Change {
    int no;
    int trade_volume;
    int trade_price;
    int bid_price;
    int bid_volume;
};

std::string event_field(uint16_t id, const unsigned char* content, int n)
{
    return le16(id) + le16(unsigned(n)) +
           std::string(reinterpret_cast<const char*>(content), size_t(n));
}

std::string market_packet(uint32_t packet_no, const std::vector<Change>& changes)
{
    std::string body;
    unsigned char content[64];
    for (const Change& c : changes) {
        InstrumentEventContext context = {c.no, 0};
        int n = CODEC_InstrumentEventHeader::field_encode(content, sizeof content, &context);
        body += event_field(MIRP_FID_InstrumentEventHeader, content, n);
        MIRP_TradeSlice slice = {c.trade_price, c.trade_volume, 0, 0};
        n = CODEC_TradeSlice::field_encode(content, sizeof content, &slice);
        body += event_field(MIRP_FID_TradeSlice, content, n);
        MIRP_MDEntryEvent event = {};
        event.EventType = MBP_EVENT_Change;
        event.EntryType = MDET_Bid;
        event.PriceLevel = 1;
        event.PriceOffset = c.bid_price;
        event.Volume = c.bid_volume;
        n = CODEC_MDEntryEvent::field_encode(content, sizeof content, &event);
        body += event_field(MIRP_FID_MDEntryEvent, content, n);
    }
    MirpHeader header;
    header.init();
    header.TransId = MIRP_TYPE_MarketEvent;
    header.PacketNo = packet_no;
    header.TopicID = FEED_TOPIC;
    header.SnapSeconds = 1700000000 + packet_no / 100;
    header.SnapMillisec = uint16_t(packet_no % 100 * 10);
    header.SnapNo = int(packet_no);
    header.ContentLength = uint16_t(body.size());
    return std::string(reinterpret_cast<char*>(&header), sizeof header) + body;
}

std::vector<std::string> snapshot_bodies(const std::vector<State>& states)
{
    MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
    attribute.MarketDataDepth = 5;
    attribute.CipherType = '0';
    MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
    tag.TopicID = short(FEED_TOPIC);
    std::vector<std::string> bodies{record_field(attribute) + record_field(tag)};
    for (size_t no = 0; no < states.size(); ++no) {
        MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "ZX.%zu", no);
        instrument.VolumeMultiple = 1;
        instrument.PriceTick = 1;
        instrument.InstrumentNo = int(no);
        MDQP_TopicMarketData md = MDQP_TopicMarketData();
        md.InstrumentNo = int(no);
        md.Volume = states[no].volume;
        MDQP_TopicMarketByPrice level = MDQP_TopicMarketByPrice();
        level.InstrumentNo = int(no);
        level.EntryType = MDET_Bid;
        level.Price = states[no].bid_price;
        level.Volume = states[no].bid_volume;
        bodies.push_back(record_field(instrument) + record_field(md) + record_field(level));
    }
    MDQP_MirpPakcetNo number = MDQP_MirpPakcetNo();
    number.PacketNo = 0;
    bodies.push_back(record_field(number));
    return bodies;
}

class Server {
public:
    explicit Server(int port)
    {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port));
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_listen, 5) != 0) {
            perror("scripted_feed: listen");
            exit(2);
        }
        fcntl(m_listen, F_SETFL, O_NONBLOCK);
    }

    // Accepts, reads, answers, and keeps the connection alive.
    void serve(const std::vector<State>& snapshot, const std::vector<std::string>& sent)
    {
        int fd = accept(m_listen, nullptr, nullptr);
        if (fd >= 0) {
            if (m_fd >= 0)
                close(m_fd);
            m_fd = fd;
            m_received.clear();
        }
        if (m_fd < 0)
            return;
        char buf[65536];
        ssize_t n;
        while ((n = recv(m_fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            m_received.append(buf, size_t(n));
        Parsed p;
        while (take_packet(m_received, p)) {
            if (p.trans_id == MDQP_TID_ReqUserLogin) {
                send(packet(MDQP_TID_RspUserLogin, p.request_id,
                            rsp_info(0, "ok") + field(3, std::string(115, '\0'))));
            } else if (p.trans_id == MDQP_TID_ReqQryTopicSnap) {
                std::vector<std::string> bodies = snapshot_bodies(snapshot);
                for (size_t i = 0; i < bodies.size(); ++i)
                    send(packet(MDQP_TID_RspQryTopicSnap, p.request_id, bodies[i],
                                i + 1 < bodies.size() ? MDQP_FLAG_CONTINUE : 0));
                snapshot_answered = true;
            } else if (p.trans_id == MDQP_TID_ReqQryTopicGap && p.body.size() >= 14) {
                answer_gap(p, get32(p.body, 6), get32(p.body, 10), sent);
            }
        }
        if (Clock::now() >= m_next_heartbeat) {
            send(heartbeat());
            m_next_heartbeat = Clock::now() + std::chrono::seconds(1);
        }
    }

    bool snapshot_answered = false;

private:
    void answer_gap(const Parsed& p, uint32_t begin, uint32_t end,
                    const std::vector<std::string>& sent)
    {
        std::vector<std::string> bodies{""};
        int in_body = 0;
        for (uint32_t no = begin; no != end && no <= sent.size(); ++no) {
            if (no == 0)
                continue;
            if (in_body == 16) {
                bodies.emplace_back();
                in_body = 0;
            }
            bodies.back() += field(1, sent[no - 1]);
            ++in_body;
        }
        for (size_t i = 0; i < bodies.size(); ++i)
            send(packet(MDQP_TID_RspQryTopicGap, p.request_id, bodies[i],
                        i + 1 < bodies.size() ? MDQP_FLAG_CONTINUE : 0));
    }

    void send(const std::string& bytes)
    {
        size_t done = 0;
        while (m_fd >= 0 && done < bytes.size()) {
            ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += size_t(n);
            } else if (errno == EAGAIN) {
                pollfd waiting{m_fd, POLLOUT, 0};
                poll(&waiting, 1, 100);
            } else {
                close(m_fd);
                m_fd = -1;
            }
        }
    }

    int m_listen = -1;
    int m_fd = -1;
    std::string m_received;
    Clock::time_point m_next_heartbeat = Clock::now();
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: %s PORT GROUP:GROUP_PORT INSTRUMENTS ROUNDS TRUTH_PATH\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    std::string group = argv[2];
    size_t colon = group.find(':');
    int instruments = atoi(argv[3]);
    int rounds = atoi(argv[4]);

    int line = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(line, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(group.substr(0, colon).c_str());
    to.sin_port = htons(uint16_t(atoi(group.c_str() + colon + 1)));

    std::vector<State> states;
    for (int no = 0; no < instruments; ++no)
        states.push_back({10 * no, 0, 1000 + no, 1, 0});
    const std::vector<State> snapshot = states;
    std::vector<std::string> sent;
    Server server(port);
    auto serve_for = [&](std::chrono::milliseconds how_long) {
        auto until = Clock::now() + how_long;
        do {
            server.serve(snapshot, sent);
            usleep(1000);
        } while (Clock::now() < until);
    };
    printf("ready\n");
    fflush(stdout);
    auto give_up = Clock::now() + std::chrono::seconds(30);
    while (!server.snapshot_answered) {
        if (Clock::now() > give_up) {
            fprintf(stderr, "scripted_feed: no snapshot query within 30 s\n");
            return 1;
        }
        serve_for(std::chrono::milliseconds(1));
    }

    std::mt19937 random(11);
    auto publish = [&](const std::vector<Change>& changes) {
        uint32_t packet_no = uint32_t(sent.size() + 1);
        for (const Change& c : changes)
            states[size_t(c.no)] = {states[size_t(c.no)].volume + c.trade_volume, c.trade_price,
                                    c.bid_price, c.bid_volume, packet_no};
        sent.push_back(market_packet(packet_no, changes));
        sendto(line, sent.back().data(), sent.back().size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
        server.serve(snapshot, sent);
        usleep(300);
    };
    auto change = [&](int no) {
        return Change{no, int(random() % 5) + 1, 2000 + int(random() % 100),
                      1000 + int(random() % 50), int(random() % 20) + 1};
    };
    std::vector<int> order(static_cast<size_t>(instruments));
    for (int no = 0; no < instruments; ++no)
        order[size_t(no)] = no;
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(order.begin(), order.end(), random);
        for (size_t at = 0; at < order.size(); at += PER_PACKET) {
            std::vector<Change> changes;
            for (size_t i = at; i < std::min(order.size(), at + PER_PACKET); ++i)
                changes.push_back(change(order[i]));
            publish(changes);
        }
        for (int i = 0; i < 20; ++i)
            publish({change(i % std::min(HOT, instruments))});
    }

    std::ofstream truth(argv[5]);
    for (size_t no = 0; no < states.size(); ++no)
        truth << "ZX." << no << ',' << states[no].volume << ',' << states[no].last_price << ','
              << states[no].bid_price << ',' << states[no].bid_volume << ',' << states[no].packet_no
              << '\n';
    truth.close();
    serve_for(std::chrono::milliseconds(2000));
    return 0;
}
