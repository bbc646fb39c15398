// End-to-end figures through the whole library, inside the private network
// (scripts/netns-run): the simulator's query server and publisher run in
// this process on its main thread, the library on its own reactor thread.
//
//   latency   sendto -> handler for single-datagram sequences, beside a plain
//             blocking recvfrom loop on the same group and a plain loop that
//             reads it as a select reactor does (median, p99, p99.9)
//   recovery  a lost burst of 1, 10, 100 and 1000 datagrams: time from the
//             packet that reveals the gap to its delivery, and gap queries
//   scale     topics of 10 to 100,000 instruments: time from start() to the
//             first delivery and to the last instrument of the snapshot, and
//             the heap the library holds per instrument once it is live
//   rate      the highest sustained packet rate (doubling steps) at which the
//             library needs no gap query, beside the rate at which the plain
//             loop loses no datagram
//
// Each sequence's packets carry a tag in their header's millisecond field,
// which the handler sees again in the topic's snapshot time; so the sender
// knows which send a delivery answers. Prints figures; judges nothing.
//   korv_bench_e2e [samples]     (default 5000; bench-smoke passes a few)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "benchmarks/BenchHeap.h"
#include "apps/korv_md_simulator/MdSimulator.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimServer.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/korv_user/KorvUserApi.h"
#include "source/mirp_protocol/MirpHeader.h"

using namespace BRAX::KORV_USER_API;
using namespace KORV::SIM;

namespace {

const char* const MDQP_LOCATION = "tcp://127.0.0.1:30007";
const char* const MIRP_LOCATION = "udpg://239.3.0.1:30001";
constexpr int TOPIC = 1001;
constexpr unsigned SECONDS = 1765272600;

// The figures. Standard output itself carries the library's and the
// simulator's diagnostic lines, which go to /dev/null here.
FILE* g_report = stdout;

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Where a receiver says when it saw each tag (1..999) last.
class TagClock {
public:
    void seen(int tag)
    {
        if (tag < 1 || tag > 999 || tag == m_last.load(std::memory_order_relaxed))
            return;
        m_time[tag] = now_ns();
        m_last.store(tag, std::memory_order_release);
    }
    // The time tag was seen, or -1 after timeout_ns. Waits asleep, in short
    // naps: on a machine of two cores a spinning sender would take the core
    // that a receiver needs, and the figures would measure the scheduler.
    int64_t wait(int tag, int64_t timeout_ns) const
    {
        int64_t end = now_ns() + timeout_ns;
        while (m_last.load(std::memory_order_acquire) != tag) {
            if (now_ns() > end)
                return -1;
            usleep(20);
        }
        return m_time[tag];
    }
    int last() const { return m_last.load(std::memory_order_acquire); }

private:
    std::atomic<int> m_last{-1};
    int64_t m_time[1000] = {};
};

class TagHandler : public KorvMarketDataHandler {
public:
    explicit TagHandler(TagClock& clock) : m_clock(clock) {}
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime* snap_time,
                            const TopicMarketData*, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        m_clock.seen(snap_time->SnapMillisec);
        m_calls.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<long> m_calls{0};

private:
    TagClock& m_clock;
};

// The baselines: one socket on the group, read in a loop. Blocking: one
// recvfrom per datagram, the least any receiver can do. Select: the way a
// select reactor reads, a select, then recvfrom until it would block, and
// only then the datagrams' work; the floor of the library's own design.
class PlainReceiver {
public:
    enum Mode { BLOCKING, SELECT };
    PlainReceiver(TagClock& clock, Mode mode) : m_clock(clock), m_mode(mode)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // The receive buffer the library asks for on its group sockets.
        int buffer = 10 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(30001);
        addr.sin_addr.s_addr = inet_addr("239.3.0.1");
        ip_mreq group{};
        group.imr_multiaddr.s_addr = inet_addr("239.3.0.1");
        group.imr_interface.s_addr = inet_addr("127.0.0.1");
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            perror("plain receiver");
            exit(1);
        }
        if (mode == SELECT) {
            fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        } else {
            timeval tv{0, 100000};  // lets the loop see the end flag
            setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        m_thread = std::thread([this] { m_mode == SELECT ? select_loop() : loop(); });
    }
    uint64_t datagrams() const { return m_datagrams.load(std::memory_order_relaxed); }

    ~PlainReceiver()
    {
        m_running = false;
        m_thread.join();
        close(m_fd);
    }

private:
    // The datagram's tag, or -1.
    int take(const char* buf, ssize_t n)
    {
        if (n <= 0)
            return -1;
        m_datagrams.fetch_add(1, std::memory_order_relaxed);
        if (n < MIRP_HLEN || buf[1] != BRAX::KORV::MIRP_TYPE_MarketEvent)
            return -1;
        uint16_t millisec;
        memcpy(&millisec, buf + 10, sizeof millisec);
        return millisec;
    }

    void loop()
    {
        char buf[2048];
        while (m_running) {
            int tag = take(buf, recvfrom(m_fd, buf, sizeof buf, 0, nullptr, nullptr));
            if (tag >= 0)
                m_clock.seen(tag);
        }
    }

    void select_loop()
    {
        char buf[2048];
        while (m_running) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_fd, &set);
            timeval tv{0, 100000};
            if (select(m_fd + 1, &set, nullptr, nullptr, &tv) <= 0)
                continue;
            int tag = -1;
            for (ssize_t n; (n = recvfrom(m_fd, buf, sizeof buf, 0, nullptr, nullptr)) > 0;) {
                int t = take(buf, n);
                if (t >= 0)
                    tag = t;
            }
            if (tag >= 0)
                m_clock.seen(tag);
        }
    }

    TagClock& m_clock;
    Mode m_mode;
    int m_fd;
    std::atomic<bool> m_running{true};
    std::atomic<uint64_t> m_datagrams{0};
    std::thread m_thread;
};

struct Harness {
    MdSimulator* sim;
    SimTopic* topic;
    SimPublisher* publisher;
    int next_tag = 0;

    int tag() { return next_tag = next_tag % 999 + 1; }
    // Publishes one sequence with the tag and sends it at once: the time of
    // the last send; single tells whether the sequence took one datagram.
    int64_t send(int tag, bool* single = nullptr)
    {
        uint64_t before = publisher->get_counters().sent + publisher->get_counters().dropped;
        topic->publish_sequence(SECONDS, unsigned(tag));
        int64_t t = now_ns();
        publisher->flush();
        uint64_t after = publisher->get_counters().sent + publisher->get_counters().dropped;
        if (single != nullptr)
            *single = after - before == 1;
        return t;
    }
};

struct Percentiles {
    double median, p99, p999;
    size_t count;
};

Percentiles percentiles(std::vector<int64_t> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&v](double q) {
        return v.empty() ? 0.0 : double(v[size_t(q * (v.size() - 1))]) / 1e3;
    };
    return Percentiles{at(0.5), at(0.99), at(0.999), v.size()};
}

// sendto -> seen, for samples single-datagram sequences one at a time.
Percentiles latency(Harness& h, const TagClock& clock, int samples)
{
    std::vector<int64_t> v;
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
        if (i % 100 == 0)
            h.sim->step();  // keeps the query server's session alive
        int tag = h.tag();
        bool single;
        int64_t t = h.send(tag, &single);
        int64_t seen = clock.wait(tag, 1000000000);
        if (seen < 0)
            ++lost;
        else if (single)
            v.push_back(seen - t);
    }
    if (lost > 0)
        fprintf(g_report, "  (%d sequences never seen)\n", lost);
    return percentiles(v);
}

void print_latency(const char* what, const Percentiles& p)
{
    fprintf(g_report, "%-34s median %8.1f us  p99 %8.1f us  p99.9 %8.1f us  (%zu samples)\n", what,
            p.median, p.p99, p.p999, p.count);
}

void recovery(Harness& h, const TagClock& clock, int datagrams)
{
    uint64_t queries = h.sim->get_server()->get_counters().gap_queries;
    uint64_t gap_packets = h.sim->get_server()->get_counters().gap_packets;
    uint32_t first = h.topic->get_packet_no();
    h.publisher->start_burst(datagrams);
    uint64_t dropped = h.publisher->get_counters().dropped;
    while (h.publisher->get_counters().dropped - dropped < uint64_t(datagrams))
        h.send(h.tag());
    uint32_t lost = h.topic->get_packet_no() - first;
    int tag = h.tag();
    int64_t t = h.send(tag);
    int64_t end = now_ns() + 20000000000LL;
    while (clock.last() != tag && now_ns() < end)
        h.sim->step();  // the query server answers the gap queries
    int64_t seen = clock.wait(tag, 0);
    if (seen < 0) {
        fprintf(g_report, "burst of %4d datagrams (%4u packets): not recovered within 20 s\n",
                datagrams, lost);
        return;
    }
    fprintf(g_report,
            "burst of %4d datagrams (%4u packets): recovered in %9.1f us, %llu gap queries, "
            "%llu packets resent\n",
            datagrams, lost, double(seen - t) / 1e3,
            (unsigned long long)(h.sim->get_server()->get_counters().gap_queries - queries),
            (unsigned long long)(h.sim->get_server()->get_counters().gap_packets - gap_packets));
}

// Publishes at `rate` market packets a second for `ms` milliseconds, packed
// into datagrams as the publisher does, then a tagged sequence, and waits
// until the receiver has seen it (stepping the query server meanwhile, so
// that gaps get filled). The packets and datagrams sent, and the achieved
// rate.
struct Blast {
    uint64_t packets;
    uint64_t datagrams;
    double rate;
};

Blast blast(Harness& h, const TagClock& clock, int rate, int ms)
{
    uint32_t first = h.topic->get_packet_no();
    uint64_t datagrams = h.publisher->get_counters().sent;
    int64_t start = now_ns();
    int64_t end = start + int64_t(ms) * 1000000;
    int64_t now;
    while ((now = now_ns()) < end) {
        uint64_t due = uint64_t(double(rate) * double(now - start) / 1e9);
        if (h.topic->get_packet_no() - first < due)
            h.topic->publish_sequence(SECONDS, 0);
    }
    h.publisher->flush();
    uint64_t packets = h.topic->get_packet_no() - first;
    double achieved = double(packets) * 1e9 / double(now_ns() - start);
    int tag = h.tag();
    h.send(tag);
    int64_t deadline = now_ns() + 20000000000LL;
    while (clock.last() != tag && now_ns() < deadline)
        h.sim->step();
    return Blast{packets, h.publisher->get_counters().sent - datagrams, achieved};
}

const int RATES[] = {5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000};

// The highest rate at which the library needed no gap query; *bound is set
// when even the sender's fastest pace caused none.
double library_rate(Harness& h, const TagClock& clock, int ms, bool* bound)
{
    *bound = true;
    double best = 0;
    for (int rate : RATES) {
        uint64_t queries = h.sim->get_server()->get_counters().gap_queries;
        Blast b = blast(h, clock, rate, ms);
        uint64_t gaps = h.sim->get_server()->get_counters().gap_queries - queries;
        fprintf(g_report,
                "  library  asked %7d/s  sent %9.0f packets/s  %6llu packets  %llu gap queries\n",
                rate, b.rate, (unsigned long long)b.packets, (unsigned long long)gaps);
        if (gaps != 0) {
            *bound = false;
            break;
        }
        best = b.rate;
    }
    return best;
}

// The highest rate at which the plain loop received every datagram; *bound
// as above.
double plain_rate(Harness& h, const TagClock& clock, const PlainReceiver& receiver, int ms,
                  bool* bound)
{
    *bound = true;
    double best = 0;
    for (int rate : RATES) {
        uint64_t received = receiver.datagrams();
        Blast b = blast(h, clock, rate, ms);
        uint64_t got = receiver.datagrams() - received;
        // The tagged sequence's datagrams count among those received.
        fprintf(g_report,
                "  plain    asked %7d/s  sent %9.0f packets/s  %6llu datagrams  %llu received\n",
                rate, b.rate, (unsigned long long)b.datagrams, (unsigned long long)got);
        if (got < b.datagrams) {
            *bound = false;
            break;
        }
        best = b.rate;
    }
    return best;
}

// A library instance on the simulator's locations, the topic subscribed,
// not started yet.
KorvUserApi* subscribed_api(KorvMarketDataHandler* handler)
{
    KorvUserApi* api = KorvUserApi::create_instance();
    api->set_log_file("bench_e2e.log");
    api->reg_mdqp_location(MDQP_LOCATION);
    api->reg_mirp_location(MIRP_LOCATION);
    api->set_authentication("P01", "U01", "secret");
    api->subscribe_topic(TOPIC, handler);
    return api;
}

// A simulator of its own for a topic of `instruments` at depth 10, and a
// fresh library instance: start() to the first delivery and to the snapshot's
// last instrument, over TCP on loopback, in this process.
void scale(int instruments)
{
    const std::string count = std::to_string(instruments);
    const char* args[] = {"korv_bench_e2e", "--rate",      "0",       "--duration", "1000000",
                          "--instruments",  count.c_str(), "--depth", "10"};
    SimOptions options;
    if (options.parse(int(sizeof args / sizeof args[0]), args) != 0)
        return;
    MdSimulator sim(options);
    if (sim.start() != 0)
        return;
    TagClock clock;
    TagHandler handler(clock);
    long heap = heap_bytes();
    KorvUserApi* api = subscribed_api(&handler);
    int64_t start = now_ns();
    api->start();
    int64_t end = start + 60000000000LL, first = -1;
    while (handler.m_calls.load() < instruments && now_ns() < end) {
        sim.step();
        if (first < 0 && handler.m_calls.load() > 0)
            first = now_ns();
    }
    int64_t last = now_ns();
    long held = heap_bytes() - heap;
    long calls = handler.m_calls.load();
    api->close();
    if (calls < instruments) {
        fprintf(g_report, "%7d instruments: only %ld delivered within 60 s\n", instruments, calls);
        return;
    }
    fprintf(g_report,
            "%7d instruments: first delivery %9.1f ms, all %9.1f ms after start(); heap %6.0f "
            "bytes per instrument\n",
            instruments, double(first - start) / 1e6, double(last - start) / 1e6,
            double(held) / instruments);
}

}  // namespace

int main(int argc, char** argv)
{
    int samples = argc > 1 ? atoi(argv[1]) : 5000;
    g_report = fdopen(dup(STDOUT_FILENO), "w");
    if (g_report == nullptr || freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    // Each with a simulator of its own on the same locations, so before the
    // main one.
    fprintf(g_report, "Scale: snapshot of a whole topic (depth 10), start() to delivery\n");
    for (int instruments : {10, 1000, 10000, 100000}) {
        if (samples >= 1000 || instruments <= 1000)
            scale(instruments);
    }
    // A simulator that serves and publishes only what this program asks for.
    const char* args[] = {"korv_bench_e2e", "--rate", "0",       "--duration", "1000000",
                          "--instruments",  "10",     "--depth", "5",          "--history",
                          "100000"};
    SimOptions options;
    if (options.parse(int(sizeof args / sizeof args[0]), args) != 0) {
        fprintf(stderr, "%s\n", options.get_error().c_str());
        return 1;
    }
    MdSimulator sim(options);
    if (sim.start() != 0)
        return 1;
    Harness h{&sim, sim.get_topics()[0], sim.get_publisher()};

    TagClock library_clock;
    TagHandler handler(library_clock);
    KorvUserApi* api = subscribed_api(&handler);
    api->start();
    int64_t end = now_ns() + 10000000000LL;
    while (handler.m_calls.load() == 0 && now_ns() < end)
        sim.step();  // login and snapshot
    if (handler.m_calls.load() == 0) {
        fprintf(stderr, "korv_bench_e2e: no snapshot within 10 s\n");
        return 1;
    }
    latency(h, library_clock, samples / 10 + 1);  // warm up
    Percentiles library = latency(h, library_clock, samples);
    fprintf(g_report, "\nRecovery from lost bursts (library)\n");
    for (int burst : {1, 10, 100, 1000})
        recovery(h, library_clock, burst);
    int blast_ms = samples >= 1000 ? 500 : 20;
    fprintf(g_report, "\nSustained packet rate\n");
    bool library_bound, plain_bound;
    double library_max = library_rate(h, library_clock, blast_ms, &library_bound);
    api->close();

    // The plain loops alone on the group, as the library was: the library
    // is closed, so its thread takes no datagram of these phases.
    Percentiles plain, plain_select;
    double plain_max;
    {
        TagClock clock;
        PlainReceiver receiver(clock, PlainReceiver::SELECT);
        latency(h, clock, samples / 10 + 1);
        plain_select = latency(h, clock, samples);
    }
    {
        TagClock clock;
        PlainReceiver receiver(clock, PlainReceiver::BLOCKING);
        latency(h, clock, samples / 10 + 1);
        plain = latency(h, clock, samples);
        plain_max = plain_rate(h, clock, receiver, blast_ms, &plain_bound);
    }
    // ">=" marks a figure that only the sender's own speed limited.
    fprintf(g_report,
            "library %s%.0f packets/s without a gap, plain loop %s%.0f packets/s without "
            "a loss: ratio %.2f (goal >= 0.8)\n",
            library_bound ? ">= " : "", library_max, plain_bound ? ">= " : "", plain_max,
            plain_max > 0 ? library_max / plain_max : 0);
    fprintf(g_report, "\nLatency sendto -> handler\n");
    print_latency("library (handler)", library);
    print_latency("plain blocking recvfrom loop", plain);
    print_latency("plain select + recvfrom loop", plain_select);
    fprintf(g_report,
            "%-34s median %8.2fx     p99 %8.2fx     p99.9 %8.2fx     goal: median <= 1.2x, p99 <= "
            "1.5x\n",
            "ratio", library.median / plain.median, library.p99 / plain.p99,
            library.p999 / plain.p999);
    fprintf(g_report, "%-34s median %8.2fx     p99 %8.2fx     p99.9 %8.2fx\n",
            "ratio to the select loop", library.median / plain_select.median,
            library.p99 / plain_select.p99, library.p999 / plain_select.p999);
    fflush(g_report);
    return 0;
}
