// Internal (benchmarks): a recorded MIRP feed of one topic, made once by
// MirpEncoder from a BenchMarket, with the market as it stood when the feed
// began (what a snapshot taken then would hold).
//
// Sequences carry a varying number of instrument groups, so packets range
// from a single group to full bodies, and long sequences are split by the
// encoder into several packets with CONTINUE set.
#pragma once

#include <cstdint>
#include <vector>

#include "benchmarks/BenchMarket.h"

namespace KORV {
namespace BENCH {

class BenchFeed {
public:
    // The topic of every packet.
    static constexpr uint16_t TOPIC_ID = 1001;

    BenchFeed(int instrument_count, int depth, int sequence_count, uint32_t seed);

    // The market at the start of the feed.
    const BenchMarket& start() const { return m_start; }
    // Whole packets, header and body, in number order.
    const std::vector<std::vector<char>>& packets() const { return m_packets; }
    // Event fields of all packets (instrument group headers not counted).
    long event_count() const { return m_event_count; }
    long group_count() const { return m_group_count; }

    // Decodes the body of one packet of this feed back into its groups; the
    // feed is known to be well formed.
    static std::vector<BenchGroup> groups_of(const std::vector<char>& packet);

private:
    BenchMarket m_start;
    std::vector<std::vector<char>> m_packets;
    long m_event_count;
    long m_group_count;
};

}  // namespace BENCH
}  // namespace KORV
