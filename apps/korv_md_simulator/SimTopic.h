// Internal: one simulated topic: its market, its MIRP encoder and the
// packets it published.
//
// The topic is its encoder's output stream: every packet the encoder
// finishes is numbered here (tell() is the number of the last one), kept in
// the history for gap queries and handed to the publisher. Heartbeats are
// made here too; they carry the number the next market event packet will
// take and do not consume it, and are not kept.
//
// The snapshot written to a query is the model's state at the last
// sequence boundary, with the number of that sequence and of the last
// packet published: the simulator is single-threaded, so no sequence is
// ever half-applied when a query is answered.
//
// Reactor thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "apps/korv_md_simulator/SimMarketModel.h"
#include "apps/korv_md_simulator/SimPacketHistory.h"
#include "velta/source/base/Packet.h"
#include "velta/source/stream/OutputStream.h"

class MdqpSender;
class MirpEncoder;

namespace KORV {
namespace SIM {

class SimPublisher;

class SimTopic : public OutputStream<Packet> {
public:
    SimTopic(int topic_id, int instrument_count, int depth, uint64_t seed, int history,
             SimPublisher* publisher, unsigned seconds, unsigned millisec);
    ~SimTopic() override;
    SimTopic(const SimTopic&) = delete;
    SimTopic& operator=(const SimTopic&) = delete;

    // Moves the market one sequence and publishes it; the packets it took.
    int publish_sequence(unsigned seconds, unsigned millisec);
    void publish_heartbeat(unsigned seconds, unsigned millisec);

    // The reply bodies of a snapshot and of a gap query (prepared by the caller).
    void write_snapshot(MdqpSender& sender) const;
    // Packets [begin, end) that are still kept, at most max_packets of them.
    // Returns how many went in.
    int write_gap(MdqpSender& sender, uint32_t begin, uint32_t end, int max_packets) const;

    int get_topic_id() const { return m_model.get_topic_id(); }
    const SimMarketModel& get_model() const { return m_model; }
    uint32_t get_packet_no() const { return m_packet_no; }
    int get_snap_no() const { return m_snap_no; }
    uint64_t get_heartbeat_count() const { return m_heartbeat_count; }
    uint64_t get_encode_failures() const { return m_encode_failures; }

    // OutputStream<Packet>, for the encoder.
    int schedule(Task* task) override;
    // SEEK_SET before anything was published: the number the snapshot
    // claims and the next packet follows.
    long seek(long offset, int whence) override;
    long tell() override { return long(m_packet_no); }
    int write(const Packet& packet) override;
    int close() override { return 0; }

private:
    void encode(uint16_t id, int (*encode)(void*, int, const void*), const void* record, int size);

    SimMarketModel m_model;
    SimPacketHistory m_history;
    SimPublisher* m_publisher;
    MirpEncoder* m_encoder;
    uint32_t m_packet_no;
    int m_snap_no;
    uint64_t m_heartbeat_count;
    uint64_t m_encode_failures;
    std::vector<SimGroup> m_groups;
};

}  // namespace SIM
}  // namespace KORV
