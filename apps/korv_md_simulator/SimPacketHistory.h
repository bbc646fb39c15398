// Internal: the MIRP packets of one topic that the simulator still answers
// gap queries from.
//
// Packets are numbered consecutively, so the history is a window: the
// newest `capacity` packets, the oldest one dropping out as a new one
// comes in. Numbers wrap; comparisons use the signed difference.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace KORV {
namespace SIM {

class SimPacketHistory {
public:
    explicit SimPacketHistory(int capacity) : m_capacity(capacity > 0 ? size_t(capacity) : 1) {}

    // Keeps a copy of the whole packet (header and body) numbered packet_no,
    // which must follow the previous one.
    void add(uint32_t packet_no, const char* data, unsigned long length);
    // The packet numbered packet_no, or null when it is not (or no longer) kept.
    const std::string* find(uint32_t packet_no) const;
    // The oldest kept number; meaningless while empty.
    uint32_t first_packet_no() const { return m_first_no; }
    size_t size() const { return m_packets.size(); }

private:
    size_t m_capacity;
    uint32_t m_first_no = 0;
    std::deque<std::string> m_packets;
};

}  // namespace SIM
}  // namespace KORV
