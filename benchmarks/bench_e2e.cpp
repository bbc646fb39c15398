// End-to-end figures through the whole library, inside the private network
// (scripts/netns-run): the simulator's query server and publisher run in
// this process on its main thread, the library on its own event-loop thread.
//
//   latency   sendto -> handler for single-datagram sequences, for the
//             library in its default (sleeping) and its spinning receive
//             mode, beside three plain loops on the same group with the
//             same receive buffer: a blocking recvfrom loop, a loop that
//             reads as a select reactor does, and a loop that spins on a
//             non-blocking recvfrom (median, p99, p99.9)
//   recovery  a lost burst of 1, 10, 100 and 1000 datagrams: time from the
//             packet that reveals the gap to its delivery, and gap queries
//   scale     topics of 10 to 100,000 instruments: time from start() to the
//             first delivery and to the last instrument of the snapshot, and
//             the heap the library holds per instrument once it is live
//   rate      the highest sustained packet rate at which the library needs
//             no gap query (both modes), beside the rate at which the plain
//             loops lose no datagram; the datagrams of each step are made
//             before it and sent in batches (sendmmsg), so the sender is not
//             the limit; after a try that lost some, the receiver is brought
//             back in step before the next (a plain loop's book filled
//             again). The plain loops run twice: reading only, and handing
//             each datagram to the library's decode, apply, commit and
//             delivery code without the framework (the baseline of the same
//             work). Then the drain: each receiver paused, its socket's
//             buffer forced large (SO_RCVBUFFORCE) and filled, and the time
//             it takes to empty it once released, which no sender limits
//   steady    the spinning mode's thread at a steady 20,000 packets a
//             second: its system calls (strace -c attached to it alone) and
//             the allocations it makes, per packet
//
// Each receiver runs alone on the group in its own phase. With two CPUs or
// more the sender (this thread) is pinned to CPU 0 and every receiver to
// CPU 1; each figure says on which CPU its threads were seen.
//
// Each sequence's packets carry a tag in their header's millisecond field,
// which the handler sees again in the topic's snapshot time; so the sender
// knows which send a delivery answers. Prints figures; judges nothing.
//   korv_bench_e2e [samples [phase...]]
// samples defaults to 5000 (the test command's smoke run passes a few);
// phases are scale, latency, rate and steady, all of them when none is
// named (for profiling one alone).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <dirent.h>
#include <spawn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/BenchFeed.h"
#include "benchmarks/BenchHeap.h"
#include "apps/korv_md_simulator/MdSimulator.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimServer.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mdqp_protocol/FieldHeaderLe.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "velta/source/task/Reactor.h"

using namespace BRAX::KORV_USER_API;
using namespace KORV::SIM;

// Allocations through operator new made by each thread: the steady phase
// reads the library thread's count from inside its handler. Out of line, so
// that the compiler does not pair a caller's new with the free inside.
thread_local uint64_t t_allocations = 0;

__attribute__((noinline)) void* operator new(size_t size)
{
    ++t_allocations;
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

__attribute__((noinline)) void operator delete(void* p) noexcept
{
    free(p);
}

__attribute__((noinline)) void operator delete(void* p, size_t) noexcept
{
    free(p);
}

namespace {

const char* const MDQP_LOCATION = "tcp://127.0.0.1:30007";
const char* const MIRP_GROUP = "239.3.0.1";
const char* const MIRP_LOCATION = "udpg://239.3.0.1:30001";
// Where the rate phase's simulator publishes: nobody but the benchmark
// listens there; it keeps the datagrams and sends them on to MIRP_GROUP.
const char* const STAGING_GROUP = "239.3.0.2";
const char* const STAGING_LOCATION = "udpg://239.3.0.2:30001";
constexpr int PORT = 30001;
constexpr int TOPIC = 1001;
constexpr unsigned SECONDS = 1765272600;
// The receive buffer the library asks for on its group sockets.
constexpr int RECEIVE_BUFFER = 10 * 1024 * 1024;

// The figures. Standard output itself carries the library's and the
// simulator's diagnostic lines, which go to /dev/null here.
FILE* g_report = stdout;
// -1: not pinned (a machine of one CPU).
int g_sender_cpu = -1;
int g_receiver_cpu = -1;

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void pin_this_thread(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0)
        fprintf(g_report, "  (cannot pin a thread to cpu %d)\n", cpu);
}

// Where a receiver says when it saw each tag (1..999) last, and on which
// CPUs it ran meanwhile.
class TagClock {
public:
    // Untagged deliveries (a plain loop's book filled on the main thread)
    // say nothing about where the receiver runs.
    void seen(int tag)
    {
        if (tag < 1 || tag > 999)
            return;
        m_cpus.fetch_or(1u << (sched_getcpu() & 31), std::memory_order_relaxed);
        if (tag == m_last.load(std::memory_order_relaxed))
            return;
        m_time[tag] = now_ns();
        timespec cpu;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        m_cpu_time[tag] = int64_t(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
        m_last.store(tag, std::memory_order_release);
    }
    // The receiving thread's CPU time when it saw tag last (once seen).
    int64_t cpu_time(int tag) const { return m_cpu_time[tag]; }
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
    // "1", "0+1": the CPUs the receiver was seen on.
    std::string cpus() const
    {
        std::string text;
        unsigned mask = m_cpus.load(std::memory_order_relaxed);
        for (int cpu = 0; cpu < 32; ++cpu) {
            if ((mask & (1u << cpu)) != 0)
                text += (text.empty() ? "" : "+") + std::to_string(cpu);
        }
        return text.empty() ? "-" : text;
    }

private:
    std::atomic<int> m_last{-1};
    std::atomic<unsigned> m_cpus{0};
    int64_t m_time[1000] = {};
    int64_t m_cpu_time[1000] = {};
};

// Holds a receiving thread on request, at a point where it reads nothing:
// the receiver calls at() there; after request(), held() tells whether it
// waits in it within timeout_ns.
class Hold {
public:
    void at()
    {
        while (m_wanted.load(std::memory_order_acquire)) {
            m_holding.store(true, std::memory_order_release);
            usleep(20);
        }
        m_holding.store(false, std::memory_order_release);
    }
    // A flag left from the hold before (the receiver released but not yet
    // out of at()) must not pass for this one.
    void request()
    {
        m_holding.store(false, std::memory_order_release);
        m_wanted.store(true, std::memory_order_release);
    }
    bool held(int64_t timeout_ns) const
    {
        int64_t end = now_ns() + timeout_ns;
        while (!m_holding.load(std::memory_order_acquire)) {
            if (now_ns() > end)
                return false;
            usleep(20);
        }
        return true;
    }
    void release() { m_wanted.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_wanted{false};
    std::atomic<bool> m_holding{false};
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
        // Asked once per thread: a system call per delivery would show in
        // the steady phase's trace.
        static thread_local long thread = long(syscall(SYS_gettid));
        m_thread.store(thread, std::memory_order_relaxed);
        m_allocations.store(t_allocations, std::memory_order_relaxed);
        // Inside a delivery the library's thread reads nothing.
        m_hold.at();
    }
    std::atomic<long> m_calls{0};
    Hold m_hold;
    // The calling thread's id and its allocations so far, at the last call.
    std::atomic<long> m_thread{0};
    std::atomic<uint64_t> m_allocations{0};

private:
    TagClock& m_clock;
};

// A plain loop's book's handler: as the library's, but silent for the
// commit of a refill, which runs on the main thread and answers no send.
// Set and cleared only while the loop is held.
class BookHandler : public TagHandler {
public:
    using TagHandler::TagHandler;
    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bid,
                            const TopicPriceEntry* ask) override
    {
        if (!m_refilling)
            TagHandler::handle_market_data(session, snap_time, market_data, bid, ask);
    }
    bool m_refilling = false;
};

// The library's work on a datagram without its framework: each market
// packet goes through the same decode, apply, commit and delivery code
// (apply_packet), into a book filled from the simulator's model as it
// stands when this is made, and to a handler that tells the clock. Packet
// numbers are not looked at: a loop that lost nothing has them in order.
class PlainBook {
public:
    PlainBook(const SimMarketModel& model, TagClock& clock)
        : m_handler(clock), m_topic(TOPIC), m_notifier(&m_reactor, TOPIC, &m_topic, &m_handler)
    {
        KORV::BENCH::BenchFeed::fill_book(m_topic, {{model, 0}});
    }

    // Events the book refused outside the tries that lost datagrams: 0 when
    // it follows the feed.
    unsigned refused() const { return m_kept + (m_topic.get_rejected_count() - m_mark); }

    // The end of a try: whether the loop lost nothing in it. The refusals of
    // a try that lost some belong to the loss, not to the baseline.
    void end_try(bool clean)
    {
        unsigned now = m_topic.get_rejected_count();
        if (clean)
            m_kept += now - m_mark;
        m_mark = now;
    }

    // Fills the book again from the model, as a snapshot would after a loss:
    // once the loop lost a datagram, the book no longer matches the feed and
    // refuses events it would have applied, work that a refusal skips. Only
    // while the loop is held, with nothing of the feed left unread; what it
    // refused since the end of the last try belongs to the loss as well.
    void refill(const SimMarketModel& model)
    {
        m_handler.m_refilling = true;
        KORV::BENCH::BenchFeed::fill_book(m_topic, {{model, 0}});
        m_handler.m_refilling = false;
        m_mark = m_topic.get_rejected_count();
    }

    void take(const char* data, ssize_t n)
    {
        Packet rest(data, int(n));
        while (rest.length() > 0) {
            MirpPacket packet(rest);
            int length = packet.valid_packet();
            if (length <= 0)
                return;
            rest.pop(static_cast<unsigned long>(length));
            if (packet.type() == BRAX::KORV::MIRP_TYPE_MarketEvent)
                KORV::BENCH::apply_packet(packet, m_topic, m_cipher);
        }
    }

private:
    BookHandler m_handler;
    Reactor m_reactor;  // never runs: the notifier only parks on the book
    KORV::USER::KorvUserTopic m_topic;
    KorvUserTopicNotifier m_notifier;
    PlainCipher m_cipher;
    // Refusals in clean tries, and the count at the end of the last try.
    unsigned m_kept = 0;
    unsigned m_mark = 0;
};

int group_socket(const char* group, bool nonblocking)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int buffer = RECEIVE_BUFFER;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    int off = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = inet_addr(group);
    membership.imr_interface.s_addr = inet_addr("127.0.0.1");
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        perror("group socket");
        exit(1);
    }
    if (nonblocking)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// The baselines: one socket on the group, read in a loop on its own thread
// (pinned as the library's). Blocking: one recvfrom per datagram, the least
// a sleeping receiver can do. Select: the way a select reactor reads, a
// select, then recvfrom until it would block, and only then the datagrams'
// work; the floor of the library's default mode. Spin: a non-blocking
// recvfrom in a busy loop, the floor of the kernel's socket path and of the
// library's spinning mode.
//
// With a book, the blocking and spinning loops hand every datagram to it
// (the baseline of the library's whole work); the book's handler tells the
// clock then.
class PlainReceiver {
public:
    enum Mode { BLOCKING, SELECT, SPIN };
    PlainReceiver(TagClock& clock, Mode mode, PlainBook* book = nullptr)
        : m_clock(clock), m_mode(mode), m_book(book)
    {
        m_fd = group_socket(MIRP_GROUP, mode != BLOCKING);
        if (mode == BLOCKING) {
            timeval tv{0, 100000};  // lets the loop see the end flag
            setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        m_thread = std::thread([this] {
            pin_this_thread(g_receiver_cpu);
            if (m_mode == SELECT)
                select_loop();
            else
                loop();
        });
    }
    uint64_t datagrams() const { return m_datagrams.load(std::memory_order_relaxed); }
    // Between reads (a blocking loop within its 100 ms wake-up).
    Hold& hold() { return m_hold; }

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

    // Blocking and spinning differ only in the socket's flag.
    void loop()
    {
        char buf[2048];
        while (m_running.load(std::memory_order_relaxed)) {
            m_hold.at();
            ssize_t n = recvfrom(m_fd, buf, sizeof buf, 0, nullptr, nullptr);
            int tag = take(buf, n);
            if (m_book != nullptr && n > 0)
                m_book->take(buf, n);
            else if (tag >= 0)
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
    PlainBook* m_book;
    Hold m_hold;
    int m_fd;
    std::atomic<bool> m_running{true};
    std::atomic<uint64_t> m_datagrams{0};
    std::thread m_thread;
};

const char* const PLAIN_NAMES[] = {"plain blocking recvfrom loop", "plain select + recvfrom loop",
                                   "plain spinning recvfrom loop"};

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
    std::string cpus;
};

Percentiles percentiles(std::vector<int64_t> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&v](double q) {
        return v.empty() ? 0.0 : double(v[size_t(q * (v.size() - 1))]) / 1e3;
    };
    return Percentiles{at(0.5), at(0.99), at(0.999), v.size(), ""};
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
    Percentiles p = percentiles(v);
    p.cpus = clock.cpus();
    return p;
}

// A warm-up, then the samples.
Percentiles measured_latency(Harness& h, const TagClock& clock, int samples)
{
    latency(h, clock, samples / 10 + 1);
    return latency(h, clock, samples);
}

void print_latency(const char* what, const Percentiles& p)
{
    fprintf(g_report,
            "%-34s median %8.1f us  p99 %8.1f us  p99.9 %8.1f us  (%zu samples, receiver on cpu "
            "%s)\n",
            what, p.median, p.p99, p.p999, p.count, p.cpus.c_str());
}

void print_ratio(const char* what, const Percentiles& a, const Percentiles& b, const char* goal)
{
    fprintf(g_report, "%-34s median %8.2fx     p99 %8.2fx     p99.9 %8.2fx     %s\n", what,
            a.median / b.median, a.p99 / b.p99, a.p999 / b.p999, goal);
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

// The library's event log: in the temporary folder, one file per run, so
// that a run leaves nothing in the folder it was started from.
const char* log_path()
{
    static const std::string path = [] {
        const char* folder = getenv("TMPDIR");
        return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
               "/korv_bench_e2e-" + std::to_string(getpid()) + ".log";
    }();
    return path.c_str();
}

// A library instance on the simulator's locations, the topic subscribed,
// not started yet.
KorvUserApi* subscribed_api(KorvMarketDataHandler* handler, bool spin = false)
{
    KorvUserApi* api = KorvUserApi::create_instance();
    api->set_log_file(log_path());
    api->reg_mdqp_location(MDQP_LOCATION);
    api->reg_mirp_location(MIRP_LOCATION);
    api->set_authentication("P01", "U01", "secret");
    api->subscribe_topic(TOPIC, handler);
    api->set_receive_mode(spin, g_receiver_cpu);
    return api;
}

// Starts the API and waits for the first snapshot's delivery, stepping the
// simulator meanwhile (login and snapshot) through step; without it within
// 10 s the figures would mean nothing, so the program ends.
template <class Step>
void start_and_wait(KorvUserApi* api, const TagHandler& handler, Step step)
{
    api->start();
    int64_t end = now_ns() + 10000000000LL;
    while (handler.m_calls.load() == 0 && now_ns() < end)
        step();
    if (handler.m_calls.load() == 0) {
        fprintf(stderr, "korv_bench_e2e: no snapshot within 10 s\n");
        exit(1);
    }
}

// The options of a phase's own simulator; they are the program's own, so a
// refusal is a fault of this program and ends it.
SimOptions simulator_options(std::vector<const char*> args)
{
    args.insert(args.begin(), "korv_bench_e2e");
    SimOptions options;
    if (options.parse(int(args.size()), args.data()) != 0) {
        fprintf(stderr, "%s\n", options.get_error().c_str());
        exit(1);
    }
    return options;
}

// One MDQP request of one record, as the library's query client writes it.
template <class T>
void append_request(std::string& out, uint8_t trans_id, uint32_t request_id, const T& record)
{
    char bytes[MDQP_HLEN + FieldHeaderLe::SIZE + T::stream_size()];
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.flag = 1;  // the library's request flag
    header.trans_id = trans_id;
    header.content_length = uint16_t(FieldHeaderLe::SIZE + T::stream_size());
    header.request_id = request_id;
    header.to_stream(bytes);
    FieldHeaderLe field{T::field_id(), uint16_t(T::stream_size())};
    field.to_stream(bytes + MDQP_HLEN);
    record.to_stream(bytes + MDQP_HLEN + FieldHeaderLe::SIZE);
    out.append(bytes, sizeof bytes);
}

// The floor of start-up, on its own thread pinned as the library's: a plain
// TCP loop that logs in and asks for the snapshot as the library does, then
// only reads the reply, looking at each packet's header to find its end.
// The time from connect() to the last byte of the snapshot in ns, or -1; the
// simulator is stepped meanwhile on this thread.
int64_t plain_snapshot_read(MdSimulator& sim)
{
    std::string requests;
    BRAX::KORV::MDQP_ReqUserLogin login{};
    snprintf(login.UserID, sizeof login.UserID, "U01");
    snprintf(login.ParticipantID, sizeof login.ParticipantID, "P01");
    snprintf(login.Password, sizeof login.Password, "secret");
    append_request(requests, BRAX::KORV::MDQP_TID_ReqUserLogin, 1, login);
    BRAX::KORV::MDQP_TopicSnapTag tag{};
    tag.TopicID = TOPIC;
    tag.SnapNo = -1;
    append_request(requests, BRAX::KORV::MDQP_TID_ReqQryTopicSnap, 2, tag);
    std::atomic<int64_t> took{0};
    std::thread reader([&requests, &took] {
        pin_this_thread(g_receiver_cpu);
        int64_t start = now_ns();
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(30007);
        server.sin_addr.s_addr = inet_addr("127.0.0.1");
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
            send(fd, requests.data(), requests.size(), 0) != ssize_t(requests.size())) {
            close(fd);
            took = -1;
            return;
        }
        static char buf[65536];
        char header_bytes[MDQP_HLEN];
        size_t have = 0, body_left = 0;
        bool last_packet = false, done = false;
        while (!done) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            for (size_t i = 0; i < size_t(n) && !done;) {
                if (body_left > 0) {
                    size_t k = std::min(body_left, size_t(n) - i);
                    body_left -= k;
                    i += k;
                    done = body_left == 0 && last_packet;
                    continue;
                }
                size_t k = std::min(size_t(MDQP_HLEN) - have, size_t(n) - i);
                memcpy(header_bytes + have, buf + i, k);
                have += k;
                i += k;
                if (have < size_t(MDQP_HLEN))
                    continue;
                have = 0;
                MdqpHeader header;
                header.from_stream(header_bytes);
                body_left = header.content_length;
                last_packet = header.trans_id == BRAX::KORV::MDQP_TID_RspQryTopicSnap &&
                              (header.flag & MDQP_FLAG_CONTINUE) == 0;
                done = body_left == 0 && last_packet;
            }
        }
        took = done ? now_ns() - start : -1;
        close(fd);
    });
    int64_t end = now_ns() + 60000000000LL;
    while (took.load() == 0 && now_ns() < end)
        sim.step();
    reader.join();
    return took.load();
}

// A simulator of its own for a topic of `instruments` at depth 10, and a
// fresh library instance: start() to the first delivery and to the snapshot's
// last instrument, over TCP on loopback, in this process.
void scale(int instruments)
{
    const std::string count = std::to_string(instruments);
    MdSimulator sim(simulator_options(
        {"--rate", "0", "--duration", "1000000", "--instruments", count.c_str(), "--depth", "10"}));
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
    int64_t plain = plain_snapshot_read(sim);
    if (plain <= 0) {
        fprintf(g_report, "%7d instruments: the plain TCP loop got no whole reply\n", instruments);
        return;
    }
    fprintf(g_report,
            "%7d instruments: plain TCP loop reading the same reply %9.1f ms; ratio all "
            "delivered / plain %.2f (goal at 100000: <= 1.5)\n",
            instruments, double(plain) / 1e6, double(last - start) / double(plain));
}

// Lets this thread run on every CPU again, and the receivers too.
void unpin_all()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < int(sysconf(_SC_NPROCESSORS_ONLN)) && cpu < CPU_SETSIZE; ++cpu)
        CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    g_sender_cpu = g_receiver_cpu = -1;
}

// The latency phases: the library in both modes, then each plain loop, each
// alone on the group; the recovery, when asked for, in the default mode.
void latency_phases(int samples, bool with_recovery)
{
    // A simulator that serves and publishes only what this program asks for.
    MdSimulator sim(simulator_options({"--rate", "0", "--duration", "1000000", "--instruments",
                                       "10", "--depth", "5", "--history", "100000"}));
    if (sim.start() != 0)
        exit(1);
    Harness h{&sim, sim.get_topics()[0], sim.get_publisher()};

    Percentiles library[2];
    for (int spin = 0; spin < 2; ++spin) {
        TagClock clock;
        TagHandler handler(clock);
        KorvUserApi* api = subscribed_api(&handler, spin != 0);
        start_and_wait(api, handler, [&sim] { sim.step(); });
        library[spin] = measured_latency(h, clock, samples);
        if (spin == 0 && with_recovery) {
            fprintf(g_report, "\nRecovery from lost bursts (library, default mode)\n");
            for (int burst : {1, 10, 100, 1000})
                recovery(h, clock, burst);
        }
        api->close();
    }
    Percentiles plain[3];
    for (int mode : {PlainReceiver::BLOCKING, PlainReceiver::SELECT, PlainReceiver::SPIN}) {
        TagClock clock;
        PlainReceiver receiver(clock, PlainReceiver::Mode(mode));
        plain[mode] = measured_latency(h, clock, samples);
    }
    fprintf(g_report, "\nLatency sendto -> handler (sender on cpu %d, %s)\n", sched_getcpu(),
            g_receiver_cpu < 0 ? "no thread pinned" : "pinned");
    print_latency("library, default mode", library[0]);
    print_latency("library, spinning mode", library[1]);
    for (int mode : {PlainReceiver::BLOCKING, PlainReceiver::SELECT, PlainReceiver::SPIN})
        print_latency(PLAIN_NAMES[mode], plain[mode]);
    print_ratio("default / select loop", library[0], plain[PlainReceiver::SELECT],
                "goal: median <= 1.1x");
    print_ratio("default / blocking loop", library[0], plain[PlainReceiver::BLOCKING], "");
    print_ratio("spinning / spinning loop", library[1], plain[PlainReceiver::SPIN],
                "goal: median <= 1.10x, p99 <= 1.25x");
    print_ratio("spinning / blocking loop", library[1], plain[PlainReceiver::BLOCKING], "");
}

// The rate phases' feed: a simulator that publishes on the staging group,
// where a socket of this program takes every datagram; they reach the
// receiver's group only when sent on by this program, either at once (relay:
// heartbeats, anything published while waiting) or as a prepared step.
class StagedFeed {
public:
    explicit StagedFeed(MdSimulator* sim)
        : m_sim(sim), m_topic(sim->get_topics()[0]), m_publisher(sim->get_publisher())
    {
        m_staging_fd = group_socket(STAGING_GROUP, true);
        m_send_fd = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr loopback{inet_addr("127.0.0.1")};
        setsockopt(m_send_fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
        int buffer = RECEIVE_BUFFER;
        setsockopt(m_send_fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        m_group.sin_family = AF_INET;
        m_group.sin_port = htons(PORT);
        m_group.sin_addr.s_addr = inet_addr(MIRP_GROUP);
    }
    ~StagedFeed()
    {
        close(m_staging_fd);
        close(m_send_fd);
    }

    // The market as the datagrams sent so far leave it.
    const SimMarketModel& model() const { return m_topic->get_model(); }

    // Steps the simulator and sends on whatever it published.
    void step()
    {
        m_sim->step();
        std::vector<std::string> datagrams;
        take(datagrams);
        send_all(datagrams, 0);
    }

    // The datagrams of `packets` market packets or more, the last sequence
    // tagged; not sent.
    std::vector<std::string> prepare(uint32_t packets, int tag, uint32_t* made)
    {
        std::vector<std::string> datagrams;
        uint32_t first = m_topic->get_packet_no();
        while (m_topic->get_packet_no() - first < packets) {
            m_topic->publish_sequence(SECONDS, 0);
            take(datagrams);
        }
        // The tagged sequence starts a datagram of its own, whose first
        // header (all that a plain loop looks at) carries the tag.
        m_publisher->flush();
        m_topic->publish_sequence(SECONDS, unsigned(tag));
        m_publisher->flush();
        // The loopback delivers in the sender's own call, so all are queued.
        take(datagrams);
        *made = m_topic->get_packet_no() - first;
        return datagrams;
    }

    // Sends them in batches at `per_second` datagrams a second (0: at once);
    // the seconds it took.
    double send_all(const std::vector<std::string>& datagrams, double per_second)
    {
        constexpr size_t BATCH = 64;
        std::vector<mmsghdr> messages(datagrams.size());
        std::vector<iovec> vectors(datagrams.size());
        for (size_t i = 0; i < datagrams.size(); ++i) {
            vectors[i].iov_base = const_cast<char*>(datagrams[i].data());
            vectors[i].iov_len = datagrams[i].size();
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = &m_group;
            messages[i].msg_hdr.msg_namelen = sizeof m_group;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int64_t start = now_ns();
        size_t sent = 0;
        while (sent < datagrams.size()) {
            size_t due = datagrams.size();
            if (per_second > 0)
                due = std::min(due, size_t(double(now_ns() - start) * per_second / 1e9) + 1);
            if (due <= sent)
                continue;
            int n = sendmmsg(m_send_fd, &messages[sent], unsigned(std::min(due - sent, BATCH)), 0);
            if (n <= 0) {
                perror("sendmmsg");
                return 0;
            }
            sent += size_t(n);
        }
        return double(now_ns() - start) / 1e9;
    }

private:
    void take(std::vector<std::string>& datagrams)
    {
        char buf[2048];
        for (ssize_t n; (n = recv(m_staging_fd, buf, sizeof buf, 0)) >= 0;)
            datagrams.emplace_back(buf, size_t(n));
    }

    MdSimulator* m_sim;
    SimTopic* m_topic;
    SimPublisher* m_publisher;
    int m_staging_fd;
    int m_send_fd;
    sockaddr_in m_group{};
};

// Brings a receiver back in step: a tagged sequence every 50 ms, the feed
// stepped meanwhile (the query server answers gap and snapshot queries),
// until the receiver has seen one. A plain loop sees the first. The library
// may have lost more than it can fetch: it then takes the packets after the
// hole for stray, and queries a snapshot only once such packets keep coming
// for a second; with nothing more sent it would wait for ever. The tag seen
// (its CPU time is on the clock), or 0 after timeout_ns.
int catch_up(StagedFeed& feed, const TagClock& clock, int64_t timeout_ns)
{
    // Two tags in turn, so that each catch-up waits for a sequence of its own.
    const int tag = clock.last() == 996 ? 997 : 996;
    int64_t end = now_ns() + timeout_ns;
    int64_t next = 0;
    while (clock.last() != tag) {
        int64_t now = now_ns();
        if (now > end)
            return 0;
        if (now >= next) {
            uint32_t made;
            feed.send_all(feed.prepare(1, tag, &made), 0);
            next = now + 50000000;
        }
        feed.step();
    }
    return tag;
}

// The steps of the rate search, market packets a second; a smoke run
// (short steps) takes the first two only.
std::vector<double> rate_steps(int ms)
{
    std::vector<double> steps;
    for (double rate = 100000; rate < 20000000 && (ms >= 100 || steps.size() < 2); rate *= 1.25)
        steps.push_back(rate);
    return steps;
}

// One receiver's search: each step sends `ms` milliseconds' worth of
// prepared datagrams at its rate; `clean` says whether the receiver took the
// step without a gap (library) or a loss (plain loop); the tagged last
// sequence is waited for at most wait_ns (the library may have to fetch a
// gap first; a plain loop that lost it never sees it). Other work on the
// machine can stall either thread for milliseconds, so a step counts as
// taken when one of three tries was clean. Each step also shows the
// receiving thread's CPU time per packet, which such stalls do not change.
// After a try that was not clean the receiver is brought back in step before
// the next (a try after a loss would otherwise measure the loss), and then
// settle() puts right what the loss left in the receiver's own state.
// The highest rate taken; *bound is set when the sender could no longer
// keep the asked pace (the receiver was not the limit then).
template <class Clean, class Settle>
double rate_search(const char* what, StagedFeed& feed, const TagClock& clock, int ms,
                   int64_t wait_ns, Clean clean, Settle settle, bool* bound)
{
    double best = 0;
    int tag = 0;
    // The last tag seen before this try: the receiver's CPU time is taken
    // from there.
    int previous = 0;
    *bound = false;
    for (double rate : rate_steps(ms)) {
        if (best < rate / 2 && best > 0) {
            *bound = true;
            break;
        }
        bool ok = false;
        for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
            tag = tag % 999 + 1;
            uint32_t packets;
            std::vector<std::string> datagrams =
                feed.prepare(uint32_t(rate * ms / 1000), tag, &packets);
            double per_datagram = double(packets) / double(datagrams.size());
            double seconds = feed.send_all(datagrams, rate / per_datagram);
            double achieved = double(packets) / seconds;
            int64_t deadline = now_ns() + wait_ns;
            while (clock.last() != tag && now_ns() < deadline)
                feed.step();
            ok = clean(datagrams.size());
            double cpu = clock.last() == tag && previous > 0
                             ? double(clock.cpu_time(tag) - clock.cpu_time(previous)) / packets
                             : 0;
            fprintf(g_report,
                    "  %-30s asked %9.0f/s  sent %9.0f packets/s  %7u packets in %6zu datagrams  "
                    "receiver cpu %6.0f ns/packet  %s\n",
                    what, rate, achieved, packets, datagrams.size(), cpu,
                    ok ? "clean" : "gap or loss");
            fflush(g_report);
            previous = clock.last() == tag ? tag : 0;
            if (ok) {
                best = std::max(best, achieved);
            } else {
                previous = catch_up(feed, clock, 20000000000LL);
                if (previous == 0)
                    fprintf(g_report, "  %-30s not back in step within 20 s\n", what);
                settle();
                clean(0);  // what the catch-up took belongs to no try
            }
        }
        if (!ok)
            break;
    }
    return best;
}

// Every socket of this process bound to the group's port gets a receive
// buffer of `bytes` past net.core.rmem_max (SO_RCVBUFFORCE, which root of
// the private network may set): the library's group socket among them,
// which the program cannot reach otherwise. The size granted, or 0.
int force_receive_buffers(int bytes)
{
    int granted = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
        int fd = atoi(entry->d_name);
        int type = 0;
        socklen_t length = sizeof type;
        sockaddr_in addr{};
        socklen_t addr_length = sizeof addr;
        if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
            type != SOCK_DGRAM ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_length) != 0 ||
            addr.sin_family != AF_INET || ntohs(addr.sin_port) != PORT ||
            setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
            continue;
        length = sizeof granted;
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    }
    closedir(dir);
    // The kernel reports twice what it grants, counting its bookkeeping.
    return granted / 2;
}

// The drain buffer, and the packets that fill it well below its size.
constexpr int DRAIN_BUFFER = 256 * 1024 * 1024;
constexpr int DRAIN_TAG = 999;
constexpr int POKE_TAG = 998;

// The receiver brought in step (the search's last try may have left it
// waiting on a hole), then held (a tagged sequence first, so that a receiver
// that holds only inside a delivery gets there), `packets` market packets
// sent at once into its buffer, then released: packets a second from the
// release to the last sequence seen. `lost` tells, given the datagrams sent, whether any
// went missing; the figure is 0 then, or when the last sequence never came.
template <class Lost>
double drain(const char* what, StagedFeed& feed, const TagClock& clock, Hold& hold,
             uint32_t packets, Lost lost)
{
    if (catch_up(feed, clock, 20000000000LL) == 0) {
        fprintf(g_report, "  %-52s not in step within 20 s: no figure\n", what);
        return 0;
    }
    lost(0);  // the catch-up's datagrams and queries are no part of it
    uint32_t made = 0;
    std::vector<std::string> poke = feed.prepare(1, POKE_TAG, &made);
    std::vector<std::string> datagrams = feed.prepare(packets, DRAIN_TAG, &made);
    hold.request();
    feed.send_all(poke, 0);
    if (!hold.held(10000000000LL)) {
        hold.release();
        fprintf(g_report, "  %-52s not held within 10 s: no figure\n", what);
        return 0;
    }
    feed.send_all(datagrams, 0);
    int64_t start = now_ns();
    hold.release();
    int64_t seen = clock.wait(DRAIN_TAG, 10000000000LL);
    bool clean = !lost(poke.size() + datagrams.size());
    double rate = seen > start && clean ? double(made) / (double(seen - start) / 1e9) : 0;
    fprintf(g_report, "  %-52s %9.0f packets/s  (%u packets in %zu datagrams)%s\n", what, rate,
            made, datagrams.size(), clean ? "" : "  lost some: no figure");
    fflush(g_report);
    return rate;
}

// One receiver's figures in the rate phases.
struct RateFigures {
    double rate = 0;
    bool bound = false;  // the sender's pace was the limit
    std::string cpus;
    double drain = 0;
};

// The rate phases, each receiver alone on the group: the search of the
// highest clean rate, then the drain.
void rate_phases(int ms)
{
    MdSimulator sim(
        simulator_options({"--rate", "0", "--duration", "1000000", "--instruments", "10", "--depth",
                           "5", "--history", "1000000", "--publish", STAGING_LOCATION}));
    if (sim.start() != 0)
        exit(1);
    StagedFeed feed(&sim);
    uint32_t drain_packets = ms >= 100 ? 40000 : 2000;
    fprintf(g_report,
            "\nSustained packet rate (sender on cpu %d, sendmmsg of prepared datagrams)\n",
            sched_getcpu());
    std::string buffers;
    RateFigures library[2];
    for (int spin = 0; spin < 2; ++spin) {
        TagClock clock;
        TagHandler handler(clock);
        KorvUserApi* api = subscribed_api(&handler, spin != 0);
        start_and_wait(api, handler, [&feed] { feed.step(); });
        const char* name = spin ? "library, spinning mode" : "library, default mode";
        uint64_t queries = sim.get_server()->get_counters().gap_queries;
        auto gap_queried = [&sim, &queries](size_t) {
            uint64_t now = sim.get_server()->get_counters().gap_queries;
            bool queried = now != queries;
            queries = now;
            return queried;
        };
        // The library's own queries put right what it lost.
        library[spin].rate = rate_search(
            name, feed, clock, ms, 20000000000LL,
            [&gap_queried](size_t sent) { return !gap_queried(sent); }, [] {},
            &library[spin].bound);
        library[spin].cpus = clock.cpus();
        buffers += std::to_string(force_receive_buffers(DRAIN_BUFFER)) + " ";
        library[spin].drain = drain(name, feed, clock, handler.m_hold, drain_packets, gap_queried);
        api->close();
    }
    // [book][mode]: reading only, then with the library's work on each datagram.
    RateFigures plain[2][3];
    const char* const names[2][3] = {{PLAIN_NAMES[0], PLAIN_NAMES[1], PLAIN_NAMES[2]},
                                     {"plain blocking loop + decode/apply/delivery", "",
                                      "plain spinning loop + decode/apply/delivery"}};
    for (int book = 0; book < 2; ++book) {
        for (int mode : {PlainReceiver::BLOCKING, PlainReceiver::SPIN}) {
            TagClock clock;
            std::unique_ptr<PlainBook> work;
            if (book != 0)
                work.reset(new PlainBook(feed.model(), clock));
            PlainReceiver receiver(clock, PlainReceiver::Mode(mode), work.get());
            uint64_t received = 0;
            auto lost = [&receiver, &received](size_t sent) {
                uint64_t now = receiver.datagrams();
                bool short_of = now - received < sent;
                received = now;
                return short_of;
            };
            // A book that missed a datagram is filled again, as the library
            // would fetch a snapshot, while the loop is held with the feed
            // read up to the catch-up.
            auto refill = [&receiver, &work, &feed] {
                if (!work)
                    return;
                Hold& hold = receiver.hold();
                hold.request();
                if (hold.held(10000000000LL))
                    work->refill(feed.model());
                else
                    fprintf(g_report, "  (the plain loop not held: its book not filled again)\n");
                hold.release();
            };
            RateFigures& figures = plain[book][mode];
            figures.rate = rate_search(
                names[book][mode], feed, clock, ms, 1000000000LL,
                [&lost, &work](size_t sent) {
                    bool clean = !lost(sent);
                    if (work)
                        work->end_try(clean);
                    return clean;
                },
                refill, &figures.bound);
            figures.cpus = clock.cpus();
            buffers += std::to_string(force_receive_buffers(DRAIN_BUFFER)) + " ";
            figures.drain =
                drain(names[book][mode], feed, clock, receiver.hold(), drain_packets, lost);
            if (work && work->refused() != 0)
                fprintf(g_report, "  (the plain loop's book refused %u events: no true baseline)\n",
                        work->refused());
        }
    }
    // ">=": the sender's own pace was the limit.
    auto print = [](const char* name, const RateFigures& f) {
        fprintf(g_report, "%-44s %3s%10.0f packets/s (receiver on cpu %s)\n", name,
                f.bound ? ">= " : "", f.rate, f.cpus.c_str());
    };
    const char* const library_names[] = {"library, default mode", "library, spinning mode"};
    for (int spin = 0; spin < 2; ++spin)
        print(library_names[spin], library[spin]);
    for (int book = 0; book < 2; ++book) {
        for (int mode : {PlainReceiver::BLOCKING, PlainReceiver::SPIN})
            print(names[book][mode], plain[book][mode]);
    }
    auto ratio = [](double a, double b) { return a / std::max(b, 1.0); };
    const RateFigures* same_work = plain[1];
    const RateFigures* read_only = plain[0];
    fprintf(g_report,
            "ratio to the same work without the framework (goal >= 0.9): default / blocking "
            "%.2f, spinning / spinning %.2f\n",
            ratio(library[0].rate, same_work[PlainReceiver::BLOCKING].rate),
            ratio(library[1].rate, same_work[PlainReceiver::SPIN].rate));
    fprintf(g_report,
            "ratio to the read-only loops (the floor): default / blocking %.2f, spinning / "
            "spinning %.2f\n",
            ratio(library[0].rate, read_only[PlainReceiver::BLOCKING].rate),
            ratio(library[1].rate, read_only[PlainReceiver::SPIN].rate));
    fprintf(g_report, "\nDrain of a full receive buffer (SO_RCVBUFFORCE, bytes granted: %s)\n",
            buffers.c_str());
    for (int spin = 0; spin < 2; ++spin)
        fprintf(g_report, "%-44s %10.0f packets/s\n", library_names[spin], library[spin].drain);
    for (int book = 0; book < 2; ++book) {
        for (int mode : {PlainReceiver::BLOCKING, PlainReceiver::SPIN})
            fprintf(g_report, "%-44s %10.0f packets/s\n", names[book][mode],
                    plain[book][mode].drain);
    }
    fprintf(g_report,
            "drain ratio to the same work without the framework (goal >= 0.9): default / "
            "blocking %.2f, spinning / spinning %.2f\n",
            ratio(library[0].drain, same_work[PlainReceiver::BLOCKING].drain),
            ratio(library[1].drain, same_work[PlainReceiver::SPIN].drain));
    fprintf(g_report,
            "drain ratio to the read-only loops: default / blocking %.2f, spinning / spinning "
            "%.2f\n",
            ratio(library[0].drain, read_only[PlainReceiver::BLOCKING].drain),
            ratio(library[1].drain, read_only[PlainReceiver::SPIN].drain));
}

// Steady state of the spinning mode: while packets arrive at a modest pace,
// strace -c (started here, attached to the library's thread alone) counts
// that thread's system calls, and the handler reads how many allocations
// the thread made; both per packet.
void steady_phase(int ms)
{
    MdSimulator sim(
        simulator_options({"--rate", "0", "--duration", "1000000", "--instruments", "10", "--depth",
                           "5", "--history", "1000000", "--publish", STAGING_LOCATION}));
    if (sim.start() != 0)
        exit(1);
    StagedFeed feed(&sim);
    TagClock clock;
    TagHandler handler(clock);
    KorvUserApi* api = subscribed_api(&handler, true);
    start_and_wait(api, handler, [&feed] { feed.step(); });
    uint64_t queries = sim.get_server()->get_counters().gap_queries;
    constexpr double RATE = 20000;
    uint32_t packets = 0;
    std::vector<std::string> datagrams = feed.prepare(uint32_t(RATE * ms / 1000), 1, &packets);
    // The trace goes to a file of its own outside the checkout.
    char trace[] = "/tmp/korv-steady-XXXXXX";
    int trace_fd = mkstemp(trace);
    std::string thread = std::to_string(handler.m_thread.load());
    const char* argv[] = {"strace", "-c", "-q", "-o", trace, "-p", thread.c_str(), nullptr};
    pid_t tracer = -1;
    if (trace_fd < 0 || posix_spawnp(&tracer, "strace", nullptr, nullptr,
                                     const_cast<char* const*>(argv), environ) != 0) {
        fprintf(g_report, "\nSteady state: strace could not be started\n");
        tracer = -1;
    }
    usleep(500000);  // attached
    uint64_t allocations = handler.m_allocations.load();
    double seconds = feed.send_all(datagrams, RATE / (double(packets) / double(datagrams.size())));
    clock.wait(1, 10000000000LL);
    uint64_t made = handler.m_allocations.load() - allocations;
    if (tracer > 0) {
        kill(tracer, SIGINT);
        waitpid(tracer, nullptr, 0);
    }
    bool clean = sim.get_server()->get_counters().gap_queries == queries;
    fprintf(g_report,
            "\nSteady state of the spinning mode: %u packets in %zu datagrams over %.1f s%s\n"
            "allocations on the library's thread: %llu (%.4f per packet)\n",
            packets, datagrams.size(), seconds, clean ? "" : " (gap queries: the trace slowed it)",
            (unsigned long long)made, double(made) / packets);
    if (tracer > 0) {
        fprintf(g_report, "system calls of the library's thread (strace -c -p %s):\n",
                thread.c_str());
        FILE* in = fdopen(trace_fd, "r");
        char line[256];
        while (in != nullptr && fgets(line, sizeof line, in) != nullptr)
            fputs(line, g_report);
        if (in != nullptr)
            fclose(in);
    } else if (trace_fd >= 0) {
        close(trace_fd);
    }
    if (trace_fd >= 0)
        unlink(trace);
    api->close();
}

}  // namespace

int main(int argc, char** argv)
{
    int samples = argc > 1 ? atoi(argv[1]) : 5000;
    auto wanted = [argc, argv](const char* phase) {
        if (argc <= 2)
            return true;
        for (int i = 2; i < argc; ++i)
            if (strcmp(argv[i], phase) == 0)
                return true;
        return false;
    };
    g_report = fdopen(dup(STDOUT_FILENO), "w");
    if (g_report == nullptr || freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    if (sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
        g_sender_cpu = 0;
        g_receiver_cpu = 1;
        pin_this_thread(g_sender_cpu);
    }
    fprintf(g_report, "Sender and simulator pinned to cpu %d, receivers to cpu %d (-1: unpinned)\n",
            g_sender_cpu, g_receiver_cpu);
    // Each with a simulator of its own on the same locations, so one after
    // the other.
    if (wanted("scale")) {
        fprintf(g_report, "Scale: snapshot of a whole topic (depth 10), start() to delivery\n");
        for (int instruments : {10, 1000, 10000, 100000}) {
            if (samples >= 1000 || instruments <= 1000)
                scale(instruments);
        }
    }
    if (wanted("latency"))
        latency_phases(samples, true);
    if (wanted("rate"))
        rate_phases(samples >= 1000 ? 200 : 20);
    if (wanted("steady"))
        steady_phase(samples >= 1000 ? 2000 : 100);
    // The same phases with every thread where the system puts it: the
    // receiver then often waits for the sender's CPU, and the figures
    // measure the scheduler as much as the receiver.
    if (g_receiver_cpu >= 0 && wanted("latency")) {
        unpin_all();
        latency_phases(samples, false);
    }
    fflush(g_report);
    unlink(log_path());
    return 0;
}
