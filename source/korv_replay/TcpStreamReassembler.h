// Internal to the replay component: one direction of a captured TCP
// connection put back into its byte stream.
//
// Segments are placed by sequence number from the SYN on: repeats and
// overlaps are cut, segments ahead of the stream wait for the ones before
// them. A segment the capture never got shows as a hole: when the other
// side acknowledges bytes the capture does not hold, or when the file ends
// with segments still waiting behind a gap. From a hole on the stream is
// lost: nothing after it can be framed with certainty, so nothing after it
// is handed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class TcpStreamReassembler {
public:
    // The SYN: the stream starts after its sequence number.
    void open(uint32_t syn_sequence);
    bool is_open() const { return m_open; }
    // A segment's payload; bytes in order are appended to get_bytes().
    void segment(uint32_t sequence, const uint8_t* data, size_t length);
    // The peer acknowledged everything before ack.
    void acknowledged(uint32_t ack);
    // The capture ended: what still waits lies behind a hole.
    void finish();

    // The stream so far; the caller may erase what it has used.
    std::string& get_bytes() { return m_bytes; }
    bool is_lost() const { return m_lost; }
    // Bytes handed on in total (the stream offset of the end of get_bytes()).
    uint64_t get_delivered() const { return m_delivered; }

private:
    void append(const uint8_t* data, size_t length);
    void lose();

    bool m_open = false;
    bool m_lost = false;
    uint32_t m_next = 0;
    uint64_t m_delivered = 0;
    std::string m_bytes;
    std::map<uint32_t, std::string> m_ahead;  // by sequence number
    size_t m_ahead_bytes = 0;
};
