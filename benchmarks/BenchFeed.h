// Internal (benchmarks): a recorded MIRP feed of one topic, made once by
// MirpEncoder from the simulator's market model, with the model as it stood
// when the feed began (what a snapshot taken then would hold).
//
// Each MIRP sequence carries the groups of `batch` consecutive sequences of
// the model: batch 1 is the simulator's own pace (a few instruments per
// sequence, now and then a long one that moves many), larger batches stand
// for a busier feed whose publisher packs more changes into each sequence.
// Long sequences are split by the encoder into packets with CONTINUE set.
//
// The model picks instruments uniformly. A skewed feed stands for a market
// where a few instruments take most events, as Zipf's law with s = 1 (the
// instrument of rank k takes a share in proportion to 1/k): each octave of
// ranks (1, 2-3, 4-7, ...) takes the same share of events under that law,
// so the skewed feed runs one model per octave, over instruments numbered
// after the octave before, and takes their sequences in turn.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "apps/korv_md_simulator/SimMarketModel.h"

class MirpCipher;
class MirpPacket;

namespace KORV {
namespace USER {
class KorvUserTopic;
}
}  // namespace KORV

namespace KORV {
namespace BENCH {

class BenchFeed {
public:
    // The topic of every packet.
    static constexpr uint16_t TOPIC_ID = 1001;

    BenchFeed(int instrument_count, int depth, int sequence_count, int batch, uint64_t seed,
              bool skewed = false);

    // Fills an empty book with the market as it was at the start of the
    // feed, as the snapshot would, sets the depth and commits.
    void fill_snapshot(USER::KorvUserTopic& topic) const { fill_book(topic, m_starts); }
    // The same from models, each with the number of its first instrument.
    static void fill_book(USER::KorvUserTopic& topic,
                          const std::vector<std::pair<SIM::SimMarketModel, int>>& models);

    // Whole packets, header and body, in number order.
    const std::vector<std::vector<char>>& packets() const { return m_packets; }
    // Event fields of all packets (instrument group headers not counted).
    long event_count() const { return m_event_count; }

    // Decodes the body of one packet of this feed back into its groups; the
    // feed is known to be well formed.
    static std::vector<SIM::SimGroup> groups_of(const std::vector<char>& packet);

private:
    // Each model as the feed began, and the number of its first instrument.
    std::vector<std::pair<SIM::SimMarketModel, int>> m_starts;
    std::vector<std::vector<char>> m_packets;
    long m_event_count;
};

// What the topic subscriber does with a market packet in sequence, without
// the framework around it: decipher, snapshot number and time, the events
// into the book, and a commit (with the delivery it wakes) after the last
// packet of a sequence. packet has passed valid_packet(); false when it is
// refused.
bool apply_packet(const MirpPacket& packet, USER::KorvUserTopic& topic, MirpCipher& cipher);

}  // namespace BENCH
}  // namespace KORV
