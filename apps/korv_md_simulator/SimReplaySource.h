// Internal: a capture file that the simulator publishes instead of its own
// market (--replay), each recorded datagram as one datagram, at the
// recorded pace from the start of publishing.
//
// The query server still answers from the simulator's own market, which
// matches a capture of an earlier run with the same market options from its
// first packet on. Reactor thread only.
#pragma once

#include <cstdint>
#include <string>

#include "apps/korv_md_replay/UdpFrame.h"

class PcapDatagramReader;

namespace KORV {
namespace SIM {

class SimPublisher;

class SimReplaySource {
public:
    SimReplaySource();
    ~SimReplaySource();
    SimReplaySource(const SimReplaySource&) = delete;
    SimReplaySource& operator=(const SimReplaySource&) = delete;

    // 0, or -1 with error set (no capture file, or no libpcap in this build).
    int open(const std::string& path, std::string& error);
    // Hands every datagram recorded at most elapsed_ms after the first one
    // to the publisher: 0, or -1 with error set when the file is damaged.
    int publish_due(uint64_t elapsed_ms, SimPublisher& publisher, std::string& error);
    bool at_end() const { return m_at_end; }

private:
    PcapDatagramReader* m_reader;
    bool m_at_end;
    // The datagram read ahead, waiting for its time.
    CapturedDatagram m_next;
    bool m_pending;
    int64_t m_first_us;
};

}  // namespace SIM
}  // namespace KORV
