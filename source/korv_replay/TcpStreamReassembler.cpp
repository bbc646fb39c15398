#include "source/korv_replay/TcpStreamReassembler.h"

namespace {

// Segments held ahead of a gap beyond this are a hole, not a reordering.
constexpr size_t MAX_AHEAD_BYTES = 16u << 20;

// Wrap-safe: how far b lies beyond a.
int32_t beyond(uint32_t a, uint32_t b)
{
    return int32_t(b - a);
}

}  // namespace

void TcpStreamReassembler::open(uint32_t syn_sequence)
{
    if (m_open)
        return;  // a repeated SYN
    m_open = true;
    m_next = syn_sequence + 1;
}

void TcpStreamReassembler::append(const uint8_t* data, size_t length)
{
    m_bytes.append(reinterpret_cast<const char*>(data), length);
    m_next += uint32_t(length);
    m_delivered += length;
}

void TcpStreamReassembler::segment(uint32_t sequence, const uint8_t* data, size_t length)
{
    if (!m_open || m_lost || length == 0)
        return;
    int32_t skip = beyond(sequence, m_next);
    if (skip > 0) {
        // Starts before what the stream has: a repeat, or an overlap.
        if (size_t(skip) >= length)
            return;
        data += skip;
        length -= size_t(skip);
        sequence = m_next;
    }
    if (sequence != m_next) {
        std::string& held = m_ahead[sequence];
        if (held.size() < length) {
            m_ahead_bytes += length - held.size();
            held.assign(reinterpret_cast<const char*>(data), length);
        }
        if (m_ahead_bytes > MAX_AHEAD_BYTES)
            lose();
        return;
    }
    append(data, length);
    // What waited for this segment.
    while (!m_ahead.empty() && !m_lost) {
        auto first = m_ahead.begin();
        int32_t gap = beyond(m_next, first->first);
        if (gap > 0)
            break;
        std::string held = std::move(first->second);
        m_ahead_bytes -= held.size();
        m_ahead.erase(first);
        if (size_t(-gap) < held.size())
            append(reinterpret_cast<const uint8_t*>(held.data()) - gap, held.size() - size_t(-gap));
    }
}

void TcpStreamReassembler::acknowledged(uint32_t ack)
{
    // One beyond is the peer's FIN, which takes a sequence number and no
    // byte; no message of the stream is a single byte long.
    int32_t missing = beyond(m_next, ack);
    if (m_open && !m_lost && (missing > 1 || (missing > 0 && !m_ahead.empty())))
        lose();
}

void TcpStreamReassembler::finish()
{
    if (m_open && !m_ahead.empty())
        lose();
}

void TcpStreamReassembler::lose()
{
    m_lost = true;
    m_ahead.clear();
    m_ahead_bytes = 0;
}
