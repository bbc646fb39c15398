// Internal to the capture tool: what the captured datagrams carried, for
// its progress line: datagrams and bytes, and per topic the MIRP packets
// and the holes in their numbering.
//
// A hole is counted when a packet's number runs ahead of the one expected
// (the previous packet's plus 1; a heartbeat announces the next number
// without taking it). Older and repeated numbers are neither counted as
// holes nor move the expectation back. Numbers wrap; the comparison is a
// signed difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class CaptureCounters {
public:
    struct Topic {
        uint64_t packets = 0;
        uint64_t gaps = 0;     // holes
        uint64_t missing = 0;  // packet numbers in them
        uint32_t next_no = 0;
        uint32_t first_no = 0;  // of the first packet seen
    };

    // One datagram's payload: counted, and its whole MIRP packets with it.
    void count(const uint8_t* payload, size_t length);

    uint64_t get_datagrams() const { return m_datagrams; }
    uint64_t get_bytes() const { return m_bytes; }
    // Datagrams that ended in something that was no whole MIRP packet.
    uint64_t get_malformed() const { return m_malformed; }
    const std::map<uint16_t, Topic>& get_topics() const { return m_topics; }

    // "datagrams D, bytes B[, malformed M], topic T packets P gaps G (missing N)..."
    std::string line() const;

private:
    uint64_t m_datagrams = 0;
    uint64_t m_bytes = 0;
    uint64_t m_malformed = 0;
    std::map<uint16_t, Topic> m_topics;
};
