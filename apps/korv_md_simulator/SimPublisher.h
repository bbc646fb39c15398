// Internal: puts the MIRP packets of every topic on the multicast group.
//
// Packets are packed back to back into datagrams of at most the configured
// size, in the order they were made, whatever their topic; a datagram goes
// out when the next packet does not fit or at flush(). Between packing and
// the socket sit the injected faults, decided per datagram from their own
// seeded random source: a lost burst, random drops, truncation, duplicates,
// delays (a datagram held back behind the next DELAY_SPAN ones) and
// shuffling within a window. A dropped datagram's packets are still in the
// topics' histories, so subscribers can fetch them with gap queries.
//
// Single-threaded (the simulator's reactor thread). Owns its session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimRandom.h"

class Session;

namespace KORV {
namespace SIM {

struct SimFaults {
    double drop_fraction = 0;
    double duplicate_fraction = 0;
    int reorder_window = 0;  // 0 or 1: no reordering
    double truncate_fraction = 0;
    double delay_fraction = 0;
};

struct SimPublisherCounters {
    uint64_t packets = 0;
    uint64_t datagrams = 0;  // made, before faults
    uint64_t sent = 0;       // handed to the socket, duplicates included
    uint64_t dropped = 0;    // random drops and burst losses
    uint64_t duplicated = 0;
    uint64_t truncated = 0;
    uint64_t delayed = 0;
    uint64_t send_failures = 0;
};

class SimPublisher {
public:
    SimPublisher(Session* session, int datagram_size, const SimFaults& faults, uint64_t seed);
    ~SimPublisher();
    SimPublisher(const SimPublisher&) = delete;
    SimPublisher& operator=(const SimPublisher&) = delete;

    // One whole MIRP packet, header included.
    void send(const char* packet, unsigned long length);
    // Ends the datagram being packed.
    void flush();
    // flush(), then lets go of the datagrams held for reordering.
    void finish();
    // The next count datagrams are lost.
    void start_burst(int count) { m_burst_left = count; }

    // Datagrams that pass a delayed one before it goes out.
    static constexpr int DELAY_SPAN = 8;

    const SimPublisherCounters& get_counters() const { return m_counters; }

private:
    void emit(const std::string& datagram);
    void pass(const std::string& datagram);
    void release_window();
    void write_socket(const std::string& datagram);

    Session* m_session;
    size_t m_datagram_size;
    SimFaults m_faults;
    SimRandom m_random;
    std::string m_datagram;
    std::vector<std::string> m_window;
    // Held back: how many datagrams are still to pass each.
    std::vector<std::pair<int, std::string>> m_delayed;
    int m_burst_left;
    SimPublisherCounters m_counters;
};

}  // namespace SIM
}  // namespace KORV
