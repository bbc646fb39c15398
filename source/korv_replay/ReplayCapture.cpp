#include "source/korv_replay/ReplayCapture.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "source/korv_replay/CaptureFileReader.h"
#include "source/korv_replay/Ipv4Reassembler.h"
#include "source/korv_replay/ReplayText.h"
#include "source/korv_replay/TcpStreamReassembler.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "velta/source/base/ErrorCode.h"

using namespace BRAX::KORV;

namespace {

constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_ACK = 0x10;
// The capture tool's section comment that says whether it recorded the
// query side.
const char* const QUERY_FACT = "korv.query=";

uint16_t be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The MIRP packet at the front of bytes: its whole length, or 0 when no
// whole packet is there.
size_t mirp_packet_length(const uint8_t* bytes, size_t length)
{
    if (length < size_t(MIRP_HLEN))
        return 0;
    uint16_t content;
    memcpy(&content, bytes + 2, 2);
    size_t whole = size_t(MIRP_HLEN) + content;
    return whole <= length ? whole : 0;
}

MirpHeader mirp_header(const uint8_t* bytes)
{
    MirpHeader header;
    memcpy(&header, bytes, sizeof header);
    return header;
}

}  // namespace

struct ReplayCapture::Direction {
    TcpStreamReassembler stream;
    int session = 0;
    bool from_client = false;
    // Cleared at the first bytes that are no MDQP packet: not a query session.
    bool mdqp = true;
    bool loss_taken = false;
    struct Message {
        uint8_t trans_id = 0;
        std::vector<std::string> bodies;
    };
    std::map<uint32_t, Message> messages;  // by request id, until complete
};

void PacketRanges::add(uint32_t packet_no)
{
    add_range(packet_no, packet_no + 1);
}

void PacketRanges::add_range(uint32_t first, uint32_t end)
{
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin() && std::prev(it)->second >= first) {
        it = std::prev(it);
        first = it->first;
    }
    while (it != m_ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = m_ranges.erase(it);
    }
    m_ranges[first] = end;
}

void PacketRanges::add(const PacketRanges& other)
{
    for (const auto& range : other.m_ranges)
        add_range(range.first, range.second);
}

bool PacketRanges::contains(uint32_t packet_no) const
{
    auto next = m_ranges.upper_bound(packet_no);
    return next != m_ranges.begin() && std::prev(next)->second > packet_no;
}

uint32_t PacketRanges::first_missing(uint32_t from, uint32_t to) const
{
    uint32_t n = from;
    while (n < to) {
        auto next = m_ranges.upper_bound(n);
        if (next == m_ranges.begin())
            return n;
        auto range = std::prev(next);
        if (range->second <= n)
            return n;
        n = range->second;
    }
    return to;
}

ReplayCapture::ReplayCapture() = default;

ReplayCapture::~ReplayCapture()
{
    for (auto& entry : m_directions)
        delete entry.second;
}

int ReplayCapture::load(const std::string& path, std::string& error)
{
    m_name = path;
    CaptureFileReader reader;
    if (reader.open(path) != 0) {
        error = reader.get_error();
        return EC_READ;
    }
    Ipv4Reassembler ip;
    CaptureRecord record;
    IpDatagram datagram;
    int result;
    bool first = true;
    while ((result = reader.next(record)) == 1) {
        if (first || record.time_ns < m_first_ns)
            m_first_ns = record.time_ns;
        if (first || record.time_ns > m_last_ns)
            m_last_ns = record.time_ns;
        first = false;
        if (ip.take(record.link_type, record.data, record.length, datagram) != 1)
            continue;
        if (datagram.protocol == IP_PROTOCOL_UDP && datagram.length >= 8 &&
            IN_MULTICAST(ntohl(datagram.destination))) {
            size_t udp_length = be16(datagram.payload + 4);
            if (udp_length < 8 || udp_length > datagram.length) {
                ++m_skipped;
                continue;
            }
            const std::vector<CaptureFileReader::Interface>& interfaces = reader.get_interfaces();
            const std::string& name = size_t(record.interface) < interfaces.size()
                                          ? interfaces[size_t(record.interface)].name
                                          : std::string();
            take_datagram(record.time_ns, datagram.destination, be16(datagram.payload + 2),
                          datagram.payload + 8, udp_length - 8, name);
        } else if (datagram.protocol == IP_PROTOCOL_TCP) {
            // The addresses as the header holds them, for the direction's key.
            uint8_t source[4];
            uint8_t destination[4];
            memcpy(source, &datagram.source, 4);
            memcpy(destination, &datagram.destination, 4);
            take_segment(record.time_ns, source, destination, datagram.payload, datagram.length);
        } else {
            ++m_skipped;
        }
    }
    if (result < 0) {
        if (m_datagrams.empty() && m_snapshots.empty()) {
            error = reader.get_error();
            return result;
        }
        m_late_error = reader.get_error();
    }
    for (auto& entry : m_directions) {
        entry.second->stream.finish();
        if (entry.second->stream.is_lost())
            take_loss(*entry.second);
    }
    m_truncated = reader.is_truncated();
    m_skipped += ip.get_skipped();
    m_reassembled = ip.get_reassembled();
    m_incomplete = ip.get_incomplete();
    for (const std::string& comment : reader.get_comments())
        if (comment.compare(0, strlen(QUERY_FACT), QUERY_FACT) == 0)
            m_query_note = comment.substr(strlen(QUERY_FACT));
    // The kernel's drops, by the interface names the capture gave its lines.
    for (const CaptureFileReader::Interface& interface : reader.get_interfaces())
        for (ReplayLine& line : m_lines)
            if (!interface.name.empty() && line.name == interface.name && interface.drops >= 0)
                line.drops = interface.drops;
    return EC_NONE;
}

void ReplayCapture::take_datagram(int64_t time_ns, uint32_t group, uint16_t port,
                                  const uint8_t* payload, size_t length,
                                  const std::string& interface_name)
{
    int line = -1;
    for (size_t i = 0; i < m_lines.size(); ++i)
        if (m_lines[i].group == group && m_lines[i].port == port)
            line = int(i);
    if (line < 0) {
        ReplayLine made;
        made.group = group;
        made.port = port;
        char text[64];
        in_addr address;
        address.s_addr = group;
        snprintf(text, sizeof text, "udpg://%s:%u", inet_ntoa(address), unsigned(port));
        made.name = interface_name.compare(0, 7, "udpg://") == 0 ? interface_name : text;
        line = int(m_lines.size());
        m_lines.push_back(made);
    }
    ReplayDatagram datagram;
    datagram.time_ns = time_ns;
    datagram.line = line;
    datagram.offset = m_bytes.size();
    datagram.length = length;
    m_bytes.append(reinterpret_cast<const char*>(payload), length);
    m_datagrams.push_back(datagram);
    const uint8_t* at = payload;
    size_t rest = length;
    while (size_t whole = mirp_packet_length(at, rest)) {
        MirpHeader header = mirp_header(at);
        Topic& topic = m_topics[header.TopicID];
        if (header.TransId == MIRP_TYPE_Heartbeat) {
            if (int32_t(header.PacketNo - topic.announced) > 0)
                topic.announced = header.PacketNo;
        } else {
            topic.lines[line].add(header.PacketNo);
            store_packet(header.TopicID, header.PacketNo, datagram.offset + size_t(at - payload),
                         whole);
        }
        at += whole;
        rest -= whole;
    }
}

void ReplayCapture::store_packet(int topic_id, uint32_t packet_no, size_t offset, size_t length)
{
    m_packets.emplace(uint64_t(uint16_t(topic_id)) << 32 | packet_no,
                      std::make_pair(offset, length));
}

const uint8_t* ReplayCapture::find_packet(int topic_id, uint32_t packet_no, size_t& length) const
{
    auto found = m_packets.find(uint64_t(uint16_t(topic_id)) << 32 | packet_no);
    if (found == m_packets.end())
        return nullptr;
    length = found->second.second;
    return reinterpret_cast<const uint8_t*>(m_bytes.data()) + found->second.first;
}

std::vector<std::pair<const uint8_t*, size_t>> ReplayCapture::find_packets(int topic_id,
                                                                           uint32_t begin,
                                                                           uint32_t end,
                                                                           int max) const
{
    std::vector<std::pair<const uint8_t*, size_t>> found;
    const uint64_t topic = uint64_t(uint16_t(topic_id)) << 32;
    if (end <= begin)
        return found;
    for (auto it = m_packets.lower_bound(topic | begin);
         it != m_packets.end() && it->first < (topic | end) && int(found.size()) < max; ++it)
        found.emplace_back(reinterpret_cast<const uint8_t*>(m_bytes.data()) + it->second.first,
                           it->second.second);
    return found;
}

void ReplayCapture::take_segment(int64_t time_ns, const uint8_t* ip_source,
                                 const uint8_t* ip_destination, const uint8_t* tcp, size_t length)
{
    if (length < 20)
        return;
    size_t header = size_t(tcp[12] >> 4) * 4;
    if (header < 20 || header > length)
        return;
    uint32_t source = be32(ip_source);
    uint32_t destination = be32(ip_destination);
    uint16_t source_port = be16(tcp);
    uint16_t destination_port = be16(tcp + 2);
    uint32_t sequence = be32(tcp + 4);
    uint32_t ack = be32(tcp + 8);
    uint8_t flags = tcp[13];
    auto key = std::make_tuple(source, source_port, destination, destination_port);
    auto reverse = std::make_tuple(destination, destination_port, source, source_port);
    if ((flags & TCP_SYN) != 0 && (flags & TCP_ACK) == 0) {
        // A new connection: both directions belong to one session.
        for (const auto& k : {key, reverse}) {
            auto old = m_directions.find(k);
            if (old != m_directions.end()) {
                delete old->second;
                m_directions.erase(old);
            }
        }
        int session = int(m_session_state.size());
        m_session_state.emplace_back();
        ++m_sessions;
        Direction* client = new Direction();
        client->session = session;
        client->from_client = true;
        Direction* server = new Direction();
        server->session = session;
        m_directions[key] = client;
        m_directions[reverse] = server;
    }
    auto found = m_directions.find(key);
    if (found == m_directions.end())
        return;  // a connection that began before the capture
    Direction& direction = *found->second;
    if ((flags & TCP_SYN) != 0)
        direction.stream.open(sequence);
    direction.stream.segment(sequence, tcp + header, length - header);
    read_messages(direction, time_ns);
    if ((flags & TCP_ACK) != 0) {
        auto other = m_directions.find(reverse);
        if (other != m_directions.end()) {
            other->second->stream.acknowledged(ack);
            if (other->second->stream.is_lost())
                take_loss(*other->second);
        }
    }
    if (direction.stream.is_lost())
        take_loss(direction);
}

void ReplayCapture::read_messages(Direction& direction, int64_t time_ns)
{
    std::string& bytes = direction.stream.get_bytes();
    size_t at = 0;
    while (direction.mdqp && bytes.size() - at >= size_t(MDQP_HLEN)) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
        uint16_t content;
        memcpy(&content, p + 2, 2);
        if ((p[0] & 0x0f) != MDQP_VERSION) {
            direction.mdqp = false;
            break;
        }
        if (bytes.size() - at < size_t(MDQP_HLEN) + content)
            break;
        uint8_t flag = p[0] >> 4;
        uint8_t trans_id = p[1];
        uint32_t request_id;
        memcpy(&request_id, p + 4, 4);
        at += size_t(MDQP_HLEN) + content;
        if (trans_id == MDQP_TID_Heartbeat)
            continue;
        Direction::Message& message = direction.messages[request_id];
        message.trans_id = trans_id;
        message.bodies.emplace_back(reinterpret_cast<const char*>(p) + MDQP_HLEN, content);
        if ((flag & MDQP_FLAG_CONTINUE) == 0) {
            Direction::Message whole = std::move(message);
            direction.messages.erase(request_id);
            take_message(direction, whole.trans_id, request_id, whole.bodies, time_ns);
        }
    }
    bytes.erase(0, at);
}

void ReplayCapture::take_message(Direction& direction, uint8_t trans_id, uint32_t request_id,
                                 const std::vector<std::string>& bodies, int64_t time_ns)
{
    Session& session = m_session_state[size_t(direction.session)];
    const std::string& first = bodies.front();
    switch (trans_id) {
        case MDQP_TID_ReqQryTopicSnap: {
            MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
            if (get_first_field(first.data(), int(first.size()), tag) == EC_NONE)
                session.pending[request_id] = uint16_t(tag.TopicID);
            if (session.server_lost)
                m_topics[uint16_t(tag.TopicID)].touched_by_loss = true;
            break;
        }
        case MDQP_TID_ReqQryTopicGap: {
            MDQP_TopicGap gap = MDQP_TopicGap();
            if (get_first_field(first.data(), int(first.size()), gap) == EC_NONE)
                session.pending[request_id] = uint16_t(gap.TopicID);
            if (session.server_lost)
                m_topics[uint16_t(gap.TopicID)].touched_by_loss = true;
            break;
        }
        case MDQP_TID_RspUserLogin: {
            MDQP_RspInfo info = MDQP_RspInfo();
            if (m_login_answer.empty() &&
                get_first_field(first.data(), int(first.size()), info) == EC_NONE &&
                info.ErrorID == 0)
                m_login_answer = bodies;
            break;
        }
        case MDQP_TID_RspQryTopicSnap:
            session.pending.erase(request_id);
            take_snapshot(bodies, time_ns);
            break;
        case MDQP_TID_RspQryTopicGap:
            session.pending.erase(request_id);
            take_gap_reply(bodies);
            break;
        default:
            break;
    }
}

void ReplayCapture::take_loss(Direction& direction)
{
    if (direction.loss_taken)
        return;
    direction.loss_taken = true;
    ++m_lost_sessions;
    if (direction.from_client)
        return;  // the replies still read whole
    Session& session = m_session_state[size_t(direction.session)];
    session.server_lost = true;
    for (const auto& pending : session.pending)
        m_topics[pending.second].touched_by_loss = true;
    // Replies cut in two by the hole: their topics are in them.
    for (const auto& message : direction.messages) {
        for (const std::string& body : message.second.bodies) {
            MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
            if (get_first_field(body.data(), int(body.size()), tag) == EC_NONE)
                m_topics[uint16_t(tag.TopicID)].touched_by_loss = true;
            for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next()) {
                const uint8_t* packet = reinterpret_cast<const uint8_t*>(it.data());
                if (mirp_packet_length(packet, size_t(it.size())) != 0)
                    m_topics[mirp_header(packet).TopicID].touched_by_loss = true;
            }
            if (message.second.trans_id != MDQP_TID_RspQryTopicGap)
                break;
        }
    }
    direction.messages.clear();
}

void ReplayCapture::take_snapshot(const std::vector<std::string>& bodies, int64_t time_ns)
{
    ReplaySnapshot snapshot;
    bool tagged = false;
    bool numbered = false;
    for (const std::string& body : bodies) {
        for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next()) {
            if (it.id() == MDQP_RspInfo::field_id()) {
                MDQP_RspInfo info = MDQP_RspInfo();
                it.fetch_field(info);
                if (info.ErrorID != 0)
                    return;  // a refused query holds no snapshot
            } else if (it.id() == MDQP_TopicSnapTag::field_id()) {
                MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
                it.fetch_field(tag);
                snapshot.topic_id = uint16_t(tag.TopicID);
                snapshot.snap_no = tag.SnapNo;
                tagged = true;
            } else if (it.id() == MDQP_MirpPakcetNo::field_id()) {
                MDQP_MirpPakcetNo number = MDQP_MirpPakcetNo();
                it.fetch_field(number);
                snapshot.packet_no = uint32_t(number.PacketNo);
                numbered = true;
            }
        }
    }
    if (!tagged || !numbered)
        return;
    snapshot.position = m_datagrams.size();
    snapshot.time_ns = time_ns;
    snapshot.bodies = bodies;
    m_topics[snapshot.topic_id];
    m_snapshots.push_back(std::move(snapshot));
}

void ReplayCapture::take_gap_reply(const std::vector<std::string>& bodies)
{
    std::map<int, bool> topics;
    for (const std::string& body : bodies) {
        for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next()) {
            const uint8_t* packet = reinterpret_cast<const uint8_t*>(it.data());
            size_t whole = mirp_packet_length(packet, size_t(it.size()));
            if (whole == 0)
                break;  // as the library reads a gap reply
            MirpHeader header = mirp_header(packet);
            m_topics[header.TopicID].replied.add(header.PacketNo);
            topics[header.TopicID] = true;
            size_t offset = m_bytes.size();
            m_bytes.append(reinterpret_cast<const char*>(packet), whole);
            store_packet(header.TopicID, header.PacketNo, offset, whole);
        }
    }
    for (const auto& topic : topics)
        ++m_topics[topic.first].gap_replies;
}

ReplayTopicPlan ReplayCapture::plan(int topic_id, const uint32_t* assumed_snapshot) const
{
    ReplayTopicPlan plan;
    auto found = m_topics.find(topic_id);
    if (found == m_topics.end())
        return plan;
    const Topic& topic = found->second;
    plan.touched_by_loss = topic.touched_by_loss;
    PacketRanges held = topic.replied;
    for (const auto& line : topic.lines) {
        held.add(line.second);
        if (!line.second.empty() &&
            (plan.first_packet_no == 0 ||
             int32_t(line.second.get().begin()->first - plan.first_packet_no) < 0))
            plan.first_packet_no = line.second.get().begin()->first;
        if (!line.second.empty() &&
            int32_t(std::prev(line.second.get().end())->second - 1 - plan.last_packet_no) > 0)
            plan.last_packet_no = std::prev(line.second.get().end())->second - 1;
    }
    if (topic.announced != 0 && int32_t(topic.announced - 1 - plan.last_packet_no) > 0)
        plan.last_packet_no = topic.announced - 1;
    if (assumed_snapshot != nullptr) {
        plan.has_snapshot = true;
        plan.snapshot_packet_no = *assumed_snapshot;
    }
    for (const ReplaySnapshot& snapshot : m_snapshots) {
        if (assumed_snapshot == nullptr && snapshot.topic_id == topic_id) {
            plan.has_snapshot = true;
            plan.snapshot_packet_no = snapshot.packet_no;
            break;
        }
    }
    if (!plan.has_snapshot)
        return plan;
    uint32_t end = plan.last_packet_no + 1;
    uint32_t missing = held.first_missing(plan.snapshot_packet_no + 1, end);
    if (int32_t(end - missing) > 0) {
        plan.hole_begin = missing;
        plan.hole_end = missing;
        while (plan.hole_end != end && !held.contains(plan.hole_end))
            ++plan.hole_end;
    }
    return plan;
}
