// Internal: a capture file that the simulator publishes instead of its own
// market (--replay), each recorded datagram as one datagram, at the
// recorded pace (or a multiple of it) from the start of publishing, once or
// a number of times. Each round starts the packet numbers again, so a
// client sees the next round as old packets and must join it anew.
//
// The file is read whole first; its query side is served by a
// ReplayQueryServer that follows get_point(). Reactor thread only.
#pragma once

#include <cstdint>
#include <string>

#include "source/korv_replay/ReplayCapture.h"

namespace KORV {
namespace SIM {

class SimPublisher;

class SimReplaySource {
public:
    SimReplaySource() = default;
    SimReplaySource(const SimReplaySource&) = delete;
    SimReplaySource& operator=(const SimReplaySource&) = delete;

    // speed: that many times the recorded pace; rounds: how many times the
    // file is published (0: without end). 0, or -1 with error set (no
    // capture file, nothing to publish).
    int open(const std::string& path, double speed, int rounds, std::string& error);
    // Hands every datagram due elapsed_ms after the start to the publisher.
    void publish_due(uint64_t elapsed_ms, SimPublisher& publisher);
    bool at_end() const { return m_at_end; }
    // Datagrams of the file published in the current round.
    size_t get_point() const { return m_next; }
    const ReplayCapture& get_capture() const { return m_capture; }

private:
    ReplayCapture m_capture;
    double m_speed = 1;
    int m_rounds_wanted = 1;
    bool m_at_end = false;
    size_t m_next = 0;
    // When the current round started, in ms after the start of publishing.
    uint64_t m_round_ms = 0;
    int m_rounds = 0;
};

}  // namespace SIM
}  // namespace KORV
