#include "source/korv_replay/Ipv4Reassembler.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t ETHER_TYPE_IPV4 = 0x0800;
constexpr uint16_t ETHER_TYPE_VLAN = 0x8100;

uint16_t be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

// The IPv4 packet in the frame, or null.
const uint8_t* ipv4_in_frame(int link_type, const uint8_t* frame, size_t length, size_t& ip_length)
{
    size_t offset;
    uint16_t ether_type;
    switch (link_type) {
        case LINK_ETHERNET:
            if (length < 14)
                return nullptr;
            offset = 14;
            ether_type = be16(frame + 12);
            if (ether_type == ETHER_TYPE_VLAN) {
                if (length < 18)
                    return nullptr;
                offset = 18;
                ether_type = be16(frame + 16);
            }
            break;
        case LINK_LINUX_SLL:
            if (length < 16)
                return nullptr;
            offset = 16;
            ether_type = be16(frame + 14);
            break;
        case LINK_LINUX_SLL2:
            if (length < 20)
                return nullptr;
            offset = 20;
            ether_type = be16(frame);
            break;
        case LINK_RAW:
        case LINK_IPV4:
            offset = 0;
            ether_type = ETHER_TYPE_IPV4;
            break;
        default:
            return nullptr;
    }
    if (ether_type != ETHER_TYPE_IPV4 || length - offset < 20 || (frame[offset] >> 4) != 4)
        return nullptr;
    ip_length = length - offset;
    return frame + offset;
}

}  // namespace

int Ipv4Reassembler::take(int link_type, const uint8_t* frame, size_t length, IpDatagram& out)
{
    size_t available = 0;
    const uint8_t* ip = ipv4_in_frame(link_type, frame, length, available);
    if (ip == nullptr) {
        ++m_skipped;
        return 0;
    }
    size_t header_length = size_t(ip[0] & 0x0f) * 4;
    size_t total_length = be16(ip + 2);
    // A frame cut short by the capture's snap length holds only part of its
    // packet: nothing in it can be vouched for.
    if (header_length < 20 || total_length < header_length || total_length > available) {
        ++m_skipped;
        return 0;
    }
    uint16_t fragment = be16(ip + 6);
    if ((fragment & 0x3fff) != 0)
        return reassemble(ip, header_length, total_length, out);
    out.protocol = ip[9];
    memcpy(&out.source, ip + 12, 4);
    memcpy(&out.destination, ip + 16, 4);
    out.payload = ip + header_length;
    out.length = total_length - header_length;
    return 1;
}

int Ipv4Reassembler::reassemble(const uint8_t* ip, size_t header_length, size_t total_length,
                                IpDatagram& out)
{
    uint32_t source;
    uint32_t destination;
    memcpy(&source, ip + 12, 4);
    memcpy(&destination, ip + 16, 4);
    Key key(source, destination, ip[9], be16(ip + 4));
    uint16_t fragment = be16(ip + 6);
    size_t offset = size_t(fragment & 0x1fff) * 8;
    bool more = (fragment & 0x2000) != 0;
    auto found = m_waiting.find(key);
    if (found == m_waiting.end()) {
        if (m_waiting.size() >= MAX_WAITING) {
            auto oldest = m_waiting.begin();
            for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
                if (it->second.order < oldest->second.order)
                    oldest = it;
            m_waiting.erase(oldest);
            ++m_incomplete;
        }
        found = m_waiting.emplace(key, Waiting()).first;
        found->second.order = m_order++;
    }
    Waiting& waiting = found->second;
    waiting.pieces[offset].assign(reinterpret_cast<const char*>(ip + header_length),
                                  total_length - header_length);
    if (!more)
        waiting.total = offset + total_length - header_length;
    if (waiting.total == 0)
        return 0;
    // Whole when the pieces cover [0, total) without a hole.
    size_t covered = 0;
    for (const auto& piece : waiting.pieces) {
        if (piece.first > covered)
            return 0;
        covered = std::max(covered, piece.first + piece.second.size());
    }
    if (covered < waiting.total)
        return 0;
    m_whole.assign(waiting.total, 0);
    for (const auto& piece : waiting.pieces) {
        if (piece.first >= waiting.total)
            break;
        size_t n = std::min(piece.second.size(), waiting.total - piece.first);
        memcpy(m_whole.data() + piece.first, piece.second.data(), n);
    }
    m_waiting.erase(found);
    ++m_reassembled;
    out.protocol = std::get<2>(key);
    out.source = source;
    out.destination = destination;
    out.payload = m_whole.data();
    out.length = m_whole.size();
    return 1;
}
