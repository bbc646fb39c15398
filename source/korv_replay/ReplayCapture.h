// Public interface of the replay component: what a capture file recorded,
// read whole into memory, and what a replay of each topic can vouch for.
//
// From the multicast: every datagram with its capture time and its line
// (the group and port it was sent to), and per topic and line the packet
// numbers it carried. From the query sessions (TCP connections whose
// streams are MDQP; a capture of our own tool and a capture of a live
// application's session read alike): the first accepted login answer, each
// snapshot reply (its topic, the packet number it is consistent with, its
// place among the datagrams and its time) and the packets of each gap reply.
// A query session the capture lost a segment of is used up to the hole;
// the topics whose replies it touched are not vouched for.
//
// A topic can be vouched for from its first snapshot on, as far as the
// packet numbers after that snapshot are all held (in datagrams of any
// line or in gap replies): plan() says where a hole nothing covers begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct ReplayLine {
    uint32_t group = 0;  // network order
    uint16_t port = 0;
    std::string name;    // the capture's name for it, or udpg://group:port
    int64_t drops = -1;  // the kernel's drops the capture counted, -1 unknown
};

struct ReplayDatagram {
    int64_t time_ns = 0;
    int line = 0;
    size_t offset = 0;  // of its payload in the capture's bytes
    size_t length = 0;
};

struct ReplaySnapshot {
    int topic_id = 0;
    uint32_t packet_no = 0;
    int snap_no = 0;
    // Datagrams of the file before the record that completed the reply.
    size_t position = 0;
    int64_t time_ns = 0;
    std::vector<std::string> bodies;  // the reply's packet bodies
};

// Packet numbers as half-open ranges [first, end).
class PacketRanges {
public:
    void add(uint32_t packet_no);
    void add(const PacketRanges& other);
    bool contains(uint32_t packet_no) const;
    // The first number in [from, to) not held, or to when all are.
    uint32_t first_missing(uint32_t from, uint32_t to) const;
    const std::map<uint32_t, uint32_t>& get() const { return m_ranges; }
    bool empty() const { return m_ranges.empty(); }

private:
    void add_range(uint32_t first, uint32_t end);

    std::map<uint32_t, uint32_t> m_ranges;
};

struct ReplayTopicPlan {
    bool has_snapshot = false;
    uint32_t snapshot_packet_no = 0;
    // The topic's first packet number in a datagram of the file (0: none).
    uint32_t first_packet_no = 0;
    // The topic's last packet number the file announces (its last packet,
    // or one before what its last heartbeat says comes next).
    uint32_t last_packet_no = 0;
    // [hole_begin, hole_end): the first range after the snapshot that no
    // datagram and no gap reply holds; hole_begin == hole_end when none.
    uint32_t hole_begin = 0;
    uint32_t hole_end = 0;
    // A reply the capture lost part of would have concerned this topic.
    bool touched_by_loss = false;

    bool has_hole() const { return hole_begin != hole_end; }
    bool vouched() const { return has_snapshot && !has_hole() && !touched_by_loss; }
};

class ReplayCapture {
public:
    ReplayCapture();
    ~ReplayCapture();
    ReplayCapture(const ReplayCapture&) = delete;
    ReplayCapture& operator=(const ReplayCapture&) = delete;

    struct Topic {
        std::map<int, PacketRanges> lines;  // by line index
        PacketRanges replied;               // packets of gap replies
        uint32_t announced = 0;             // heartbeat: the next number
        uint64_t gap_replies = 0;
        bool touched_by_loss = false;
    };

    // Reads the file: 0, or a negative code with error set (no capture
    // file, or damaged before anything could be read).
    int load(const std::string& path, std::string& error);

    const std::string& get_name() const { return m_name; }
    const std::vector<ReplayLine>& get_lines() const { return m_lines; }
    const std::vector<ReplayDatagram>& get_datagrams() const { return m_datagrams; }
    const uint8_t* payload(const ReplayDatagram& datagram) const
    {
        return reinterpret_cast<const uint8_t*>(m_bytes.data()) + datagram.offset;
    }
    const std::map<int, Topic>& get_topics() const { return m_topics; }
    // In the order of their places in the file.
    const std::vector<ReplaySnapshot>& get_snapshots() const { return m_snapshots; }
    // The packet bodies of the first accepted login answer; empty when the
    // file holds none.
    const std::vector<std::string>& get_login_answer() const { return m_login_answer; }
    bool has_query_side() const { return !m_login_answer.empty(); }
    // The whole MIRP packet of a topic's number, from any line or gap
    // reply: its bytes, or null.
    const uint8_t* find_packet(int topic_id, uint32_t packet_no, size_t& length) const;
    // The whole packets of [begin, end) the file holds, at most max of them.
    std::vector<std::pair<const uint8_t*, size_t>> find_packets(int topic_id, uint32_t begin,
                                                                uint32_t end, int max) const;

    // What a replay of the topic from its first recorded snapshot can vouch
    // for; with assumed_snapshot, from a snapshot at that packet number
    // that another query side gives instead.
    ReplayTopicPlan plan(int topic_id, const uint32_t* assumed_snapshot = nullptr) const;

    // Facts of the file for the summary.
    const std::string& get_error_after_load() const { return m_late_error; }
    bool is_truncated() const { return m_truncated; }
    const std::string& get_query_note() const { return m_query_note; }
    int64_t get_first_ns() const { return m_first_ns; }
    int64_t get_last_ns() const { return m_last_ns; }
    uint64_t get_query_sessions() const { return m_sessions; }
    uint64_t get_lost_sessions() const { return m_lost_sessions; }
    uint64_t get_skipped_frames() const { return m_skipped; }
    uint64_t get_reassembled() const { return m_reassembled; }
    uint64_t get_incomplete_fragments() const { return m_incomplete; }

private:
    struct Direction;

    struct Session {
        std::map<uint32_t, int> pending;  // request id to topic
        bool server_lost = false;
    };

    void take_datagram(int64_t time_ns, uint32_t group, uint16_t port, const uint8_t* payload,
                       size_t length, const std::string& interface_name);
    void store_packet(int topic_id, uint32_t packet_no, size_t offset, size_t length);
    void take_snapshot(const std::vector<std::string>& bodies, int64_t time_ns);
    void take_gap_reply(const std::vector<std::string>& bodies);
    void take_segment(int64_t time_ns, const uint8_t* ip_source, const uint8_t* ip_destination,
                      const uint8_t* tcp, size_t length);
    void read_messages(Direction& direction, int64_t time_ns);
    void take_message(Direction& direction, uint8_t trans_id, uint32_t request_id,
                      const std::vector<std::string>& bodies, int64_t time_ns);
    void take_loss(Direction& direction);

    std::string m_name;
    std::string m_bytes;
    std::vector<ReplayLine> m_lines;
    std::vector<ReplayDatagram> m_datagrams;
    std::map<int, Topic> m_topics;
    // (topic << 32 | packet number) to (offset, length) in m_bytes.
    std::map<uint64_t, std::pair<size_t, size_t>> m_packets;
    std::vector<ReplaySnapshot> m_snapshots;
    std::vector<std::string> m_login_answer;
    std::vector<Session> m_session_state;
    // (source, source port, destination, destination port) of each
    // direction of a query session.
    std::map<std::tuple<uint32_t, uint16_t, uint32_t, uint16_t>, Direction*> m_directions;
    std::string m_late_error;
    std::string m_query_note;
    bool m_truncated = false;
    int64_t m_first_ns = 0;
    int64_t m_last_ns = 0;
    uint64_t m_sessions = 0;
    uint64_t m_lost_sessions = 0;
    uint64_t m_skipped = 0;
    uint64_t m_reassembled = 0;
    uint64_t m_incomplete = 0;
};
