// Internal: keeps one topic's book consistent with one multicast source.
//
// The subscriber waits for the query stub to log in, queries a snapshot of
// the topic, applies it as its reply packets come and commits it once the
// reply is whole, then replays the MIRP packets that arrived meanwhile in
// packet-number order and applies live packets one by one. A hole in the numbering is filled with a
// gap query whose packets are replayed the same way. While the subscriber is not live, or is still
// replaying a backlog, packets are cached; their bytes live in a FIFO
// allocator and are released in arrival order.
//
// Packet numbers wrap past 0xFFFFFFFF, so they are only ever compared by
// their serial distance (the signed difference of the unsigned numbers). The
// cache orders them on a 64-bit line that does not wrap: the last applied
// number has its place on the line, and every other number sits at its
// serial distance from it.
//
// Anyone on the network can send the group a datagram, so a number far ahead
// of the book is no reason to stall it: once the book has a packet number,
// packets more than MAX_AHEAD beyond it are refused, and a snapshot drops the
// cached packets it cannot explain. Nearer ones open a hole that is asked
// for, but the packet next in order is applied as it comes all the same, and
// a hole the line moves past by itself (a stray packet ahead of the line,
// not behind a loss) is not asked for again. Two copies of one packet number
// that differ are not applied: the query server's copy is.
//
// A gap reply answers one query: its packets outside the range asked for are
// refused, and a reply that comes after its query was closed is the stub's
// to drop. A snapshot reply is given up when it falls silent, not when it is
// merely long.
//
// One subscriber holds the sequence state of its topic for every multicast
// line that carries the topic (the A and B lines of an exchange): each line's
// demultiplexer feeds the same subscriber, so a packet is applied once
// whichever line brings it first, one snapshot serves the book, and a packet
// lost on one line and received on the other is no gap. With more than one
// line a hole is given GAP_GRACE ms for the other lines to fill it before
// it is queried.
//
// The constructor runs on the thread that sets the library up; everything
// else runs on the reactor thread, driven by four tasks. Nothing is locked.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include "source/korv_user/KorvUserCounterBlocks.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "velta/source/base/FifoAllocator.h"
#include "velta/source/base/ReportLimiter.h"
#include "velta/source/task/Task.h"

class MirpCipher;
class Packet;
class Reactor;
class TaskScheduler;

namespace KORV {
namespace USER {

class KorvMdqpResultSet;
class KorvUserMdqpStub;
class KorvUserTopic;

class KorvUserSubscriber {
public:
    enum StateID { SID_Auth = 0, SID_Live = 1, SID_Flush = 2, SID_QrySnap = 3, SID_QryGap = 4 };

    // The action delay, which is also the time-out of every query.
    static constexpr unsigned ACTION_DELAY = 3000;
    // Most cached packets replayed by one run of the flush task.
    static constexpr int MAX_GAP = 100;
    static constexpr int MIRP_CONTENT_SIZE = 1232;
    // A reply packet is read whole into a buffer of this size: as long as the
    // query channel accepts, so that a server sending long reply packets
    // still gives a snapshot.
    static constexpr int MDQP_PACKET_SIZE = int(MDQP_MAX_READ_LENGTH);
    static constexpr unsigned long CACHE_BLOCK_SIZE = 16384;
    // Gap queries in a row that bring nothing for the same first packet;
    // then the server no longer has it, and only a snapshot can help.
    static constexpr int MAX_GAP_RETRY = 3;
    // Most packets cached at once. A server that never answers would
    // otherwise have the cache grow with the multicast for as long as it
    // stays silent; packets refused here are fetched later like any gap.
    static constexpr size_t MAX_CACHED_PACKETS = 200000;
    // Most content bytes cached at once: as much as the packet bound holds
    // in packets that fit the content buffer. Counted alone, packets of the
    // largest datagram would hold some fifteen times that.
    static constexpr unsigned long MAX_CACHED_BYTES =
        MAX_CACHED_PACKETS * static_cast<unsigned long>(MIRP_CONTENT_SIZE);
    // How long a hole waits for another line before it is queried.
    static constexpr unsigned GAP_GRACE = 20;
    // Furthest a packet may lie beyond the book's packet number. A hole
    // wider than the cache holds could not be replayed through it even if a
    // server served it, so a packet beyond it is taken for forged or stray.
    static constexpr uint32_t MAX_AHEAD = uint32_t(MAX_CACHED_PACKETS);
    // The stream is taken to have jumped, and a snapshot is queried, when
    // packets too far ahead keep coming while none in reach does: on at
    // least MAX_FAR_AHEAD_RUN separate arrivals (the packets of one datagram
    // arrive together and count once) spread over FAR_AHEAD_TIME ms or more.
    // A stray datagram, however many headers it holds, never gets there.
    static constexpr int MAX_FAR_AHEAD_RUN = 16;
    static constexpr uint64_t FAR_AHEAD_TIME = 1000;
    // A snapshot reply is given up when no packet of it came for
    // ACTION_DELAY ms, or when the whole of it takes longer than
    // SNAPSHOT_TIME_BASE ms plus one second per SNAPSHOT_MIN_RATE bytes it
    // brought: a minute and some, some seven minutes for 48 MB. A slow
    // link still brings a large topic live; a server trickling bytes to
    // keep the reply alive does not hold the topic for ever.
    static constexpr uint64_t SNAPSHOT_TIME_BASE = 60000;
    static constexpr uint64_t SNAPSHOT_MIN_RATE = 128 * 1024;
    // Recently applied multicast packets whose digest is kept, so that the
    // query server's copy of one can show that a forged packet was applied.
    static constexpr size_t APPLIED_DIGESTS = 1024;
    // Packet numbers whose multicast copies disagreed, held until the query
    // server's copy of each comes; later multicast copies of them are not
    // taken.
    static constexpr size_t MAX_DISPUTED = 64;

    // Not owned: reactor, topic and stub must outlive the subscriber.
    KorvUserSubscriber(Reactor* reactor, short topic_id, KorvUserTopic* topic,
                       KorvUserMdqpStub* stub);
    virtual ~KorvUserSubscriber();
    KorvUserSubscriber(const KorvUserSubscriber&) = delete;
    KorvUserSubscriber& operator=(const KorvUserSubscriber&) = delete;

    // What the subscriber did, for the library's live counters.
    using Counters = SubscriberCounters;

    // Every MIRP packet of this topic from the multicast.
    void handle_mirp_packet(const MirpPacket& packet);
    // One more multicast line feeds this subscriber (the first comes with it).
    void add_line() { ++m_line_count; }
    int get_line_count() const { return m_line_count; }

    KorvUserTopic* get_user_topic() const { return m_topic; }
    int get_snap_no() const { return m_snap_no; }
    StateID get_state() const { return m_state; }
    uint32_t get_packet_no() const { return m_packet_no; }
    size_t get_cached_count() const { return m_cached_packets.size(); }
    // Packets whose bytes are held, the cached ones and those replayed but
    // not yet released.
    size_t get_held_count() const { return m_packet_queue.size(); }
    const Counters& get_counters() const { return m_counters; }

private:
    struct m_action_task_type : Task {
        explicit m_action_task_type(KorvUserSubscriber* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_action(); }
        KorvUserSubscriber* m_owner;
    };
    struct m_auth_task_type : Task {
        explicit m_auth_task_type(KorvUserSubscriber* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_auth(); }
        KorvUserSubscriber* m_owner;
    };
    struct m_fetch_task_type : Task {
        explicit m_fetch_task_type(KorvUserSubscriber* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_fetch(); }
        KorvUserSubscriber* m_owner;
    };
    struct m_flush_task_type : Task {
        explicit m_flush_task_type(KorvUserSubscriber* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_flush(); }
        KorvUserSubscriber* m_owner;
    };

    // A packet from the multicast or, from_server, a gap reply; true when
    // it was new here, taken or cached.
    bool take_packet(const MirpPacket& packet, bool from_server);
    // Whether a packet is one the book can take now: the next in order,
    // with a book to take it (also while a hole further on is queried).
    bool in_order(uint32_t packet_no) const;
    // A packet from the multicast showed the line where the book is: the
    // next in order, or a heartbeat at the book's number.
    void line_moved();
    // Whether the query server's copy of a packet shows that a forged copy
    // was applied or cached; acts on it.
    bool check_copy(const MirpPacket& packet, bool from_server);
    // The cached packet of this number, or null.
    struct CachedPacket;
    CachedPacket* find_cached(uint32_t packet_no);
    void record_applied(const MirpPacket& packet);
    // What applying a packet reads, hashed: two copies of one number that
    // differ here would change the book differently.
    static uint64_t digest(const MirpPacket& packet);
    void set_state(StateID state);
    void post_action(StateID state);
    void wait_action(StateID state);
    void on_action();
    void on_auth();
    void qry_topic_snap();
    int handle_rsp_qry_topic_snap(const Packet& packet);
    void qry_topic_gap();
    void handle_rsp_qry_topic_gap(const Packet& packet);
    void on_fetch();
    void on_flush();
    // Parks the fetch task until the next reply body, or runs it at once
    // when one waits.
    void wait_fetch();
    void fetch_snapshot();
    void fetch_gap();
    enum class SnapshotRead { More, Whole, Refused };
    // What the open result set answers.
    enum class Query { None, Snapshot, Gap };
    // Reads the bodies that have come into the open snapshot; commits it
    // once the reply is whole.
    SnapshotRead read_snapshot();
    // Puts the book back as it was before the open snapshot.
    void abort_snapshot();
    int delivery_mirp_packet(const MirpPacket& packet, bool from_server);
    // Whether a packet lies too far ahead of the book to be taken; reports it.
    bool refuse_far_ahead(const MirpPacket& packet);
    void apply_market_event(const MirpPacket& packet);
    // True when the packet was cached now.
    bool cache_packet(const MirpPacket& packet, bool from_server);
    // Drops a cached packet from the map; its bytes go in arrival order.
    void drop_cached(CachedPacket* cached);
    // A copy of the packet at the back of m_packet_queue, its bytes taken
    // from m_packet_allocator.
    CachedPacket* hold_packet(const MirpPacket& packet, int64_t key, bool from_server);
    void pop_cached_packet();
    // Returns the bytes of consumed packets at the front of m_packet_queue.
    void release_consumed();
    // After m_packet_no moved to a snapshot's: keeps the cached packets
    // numbered after it and before end, placed anew on the line, and drops
    // the others.
    void trim_cache(uint32_t end);
    void set_packet_no(uint32_t packet_no);
    // The place of a packet number on the cache's line.
    int64_t cache_key(uint32_t packet_no) const;
    void close_result_set();
    // Keeps the result set of a query just sent, or goes back to waiting for
    // the login when there is none.
    bool open_result_set(KorvMdqpResultSet* result_set, Query query);
    void report_oversized(int read_result) const;
    // The lowest cached packet numbered above the last applied one, or null.
    const MirpPacket* next_cached_packet() const;
    // The topic id as the reports print it, never negative.
    unsigned topic_number() const;
    // Whether a "MirpError" of this kind is to be written in full; the
    // limiter's summary names the first and last packet it counted.
    bool admit_refusal(const char* kind, uint32_t packet_no);
    bool admit_refusal(ReportLimiter& reports, const char* kind, uint32_t packet_no);

    Reactor* m_reactor;
    KorvUserTopic* m_topic;
    KorvUserMdqpStub* m_stub;
    int m_snap_no;
    uint32_t m_packet_no;
    // m_packet_no's place on the cache's line.
    int64_t m_packet_line;
    // The packet number of the snapshot being read, once its record came.
    uint32_t m_snapshot_packet_no;
    bool m_snapshot_packet_known;
    // A snapshot reply is being applied, over as many turns as its packets
    // take to come; m_saved_snap_no is the number to go back to.
    bool m_snapshot_open;
    bool m_snapshot_empty_read;
    int m_saved_snap_no;
    // The end of the gap that the last "GapError" gave up on: a snapshot
    // that does not reach it cannot explain the packets cached from there.
    uint32_t m_unserved_end;
    bool m_unserved;
    // Separate arrivals of packets too far ahead since the last one in
    // reach, and the first and latest arrival time.
    int m_far_ahead_run;
    uint64_t m_far_ahead_first_ms;
    uint64_t m_far_ahead_last_ms;
    // When the open snapshot was asked for and the bytes of it read so far.
    uint64_t m_snapshot_start_ms;
    uint64_t m_snapshot_bytes;
    // The hole in front of the cache that was last asked for: its end (the
    // lowest cached packet beyond it). A reply that leaves it open does
    // not have it asked again at once; the line shows first whether it is
    // stuck there (packets keep coming beyond it, none in order: waiting,
    // then stalled) or moves on by itself (line moved: the packet beyond
    // the hole lies ahead of the line, not behind a loss).
    uint32_t m_hole_end;
    bool m_hole_asked;
    bool m_hole_waiting;
    bool m_hole_stalled;
    bool m_line_moved;
    uint32_t m_gap_end;
    // First packet of the last gap query and how often it was asked for
    // in a row without the replay getting past it.
    uint32_t m_gap_begin;
    int m_gap_retry;
    MirpCipher* m_cipher;
    // Drops for want of a cipher are reported once per snapshot.
    bool m_cipher_reported;
    // A full cache is reported once until it empties.
    bool m_cache_full_reported;
    // Content bytes of the packets in m_cached_packets.
    unsigned long m_cached_bytes;
    // A cached packet and whether it was replayed. The flag, rather than a
    // reserved packet number, marks it, so that every number can be cached.
    struct CachedPacket {
        MirpPacket packet;
        bool consumed;
        // Its place in m_cached_packets.
        int64_t key;
        // Brought by the query server, which vouches for it.
        bool from_server;
    };
    struct AppliedDigest {
        uint32_t packet_no;
        bool valid;
        uint64_t digest;
    };
    // By packet number modulo APPLIED_DIGESTS.
    std::vector<AppliedDigest> m_applied;
    std::set<uint32_t> m_disputed;
    std::map<int64_t, CachedPacket*> m_cached_packets;
    // Arrival order; owns the map's targets.
    std::deque<CachedPacket> m_packet_queue;
    FifoAllocator m_packet_allocator;
    StateID m_state;
    TaskScheduler* m_delay_scheduler;
    // Holds the gap query while other lines may still bring the packets.
    TaskScheduler* m_grace_scheduler;
    int m_line_count;
    m_action_task_type m_action_task;
    m_auth_task_type m_auth_task;
    m_fetch_task_type m_fetch_task;
    m_flush_task_type m_flush_task;
    KorvMdqpResultSet* m_result_set;
    Query m_query;
    // Moves with every result set opened or closed, so that a loop reading
    // one notices when a packet it handed on closed it.
    unsigned m_query_serial;
    // The packets the open gap query asked for, [begin, end).
    uint32_t m_query_begin;
    uint32_t m_query_end;
    // Refused packets: the first of each kind in full, then counted.
    ReportLimiter m_mirp_reports;
    // Refused reply packets, the same way.
    ReportLimiter m_query_reports;
    Counters m_counters;
};

}  // namespace USER
}  // namespace KORV
