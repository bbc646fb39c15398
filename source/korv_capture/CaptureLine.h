// Internal to the capture: follows the MIRP packet numbers of every topic on
// one multicast line (one joined group), so that the holes the line loses
// are found as they happen and can be asked for.
//
// A hole is found when a packet's number runs ahead of the one expected
// (the previous packet's plus 1; a heartbeat announces the next number
// without taking it). Older and repeated numbers are neither holes nor move
// the expectation back. Numbers wrap; the comparison is a signed difference.
// Each line keeps its own numbering: a topic carried on two groups is
// followed on each separately.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class CaptureLine {
public:
    struct Topic {
        uint64_t packets = 0;
        uint64_t gaps = 0;     // holes
        uint64_t missing = 0;  // packet numbers in them
        uint32_t first_no = 0;
        uint32_t next_no = 0;
    };
    struct Hole {
        uint16_t topic;
        uint32_t begin;  // first missing number
        uint32_t end;    // one past the last
    };

    // One datagram's MIRP packets: holes found are appended to holes, topics
    // seen on this line for the first time to new_topics. False when the
    // datagram ends in something that is not a whole MIRP packet.
    bool count(const uint8_t* payload, size_t length, std::vector<Hole>& holes,
               std::vector<uint16_t>& new_topics);

    const std::map<uint16_t, Topic>& get_topics() const { return m_topics; }
    uint64_t get_malformed() const { return m_malformed; }

private:
    std::map<uint16_t, Topic> m_topics;
    uint64_t m_malformed = 0;
};
