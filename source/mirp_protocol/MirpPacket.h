// Internal: a received MIRP packet, a view into the datagram that carries it.
//
// valid_packet checks one packet at the front of the view, keeps a copy of
// its header and narrows the view to the body. The bytes are not owned.
// Used on the reactor thread that received the datagram.
#pragma once

#include "source/mirp_protocol/MirpHeader.h"
#include "velta/source/base/Packet.h"

class MirpPacket : public Packet {
public:
    MirpPacket() { m_header.init(); }
    explicit MirpPacket(const Packet& packet) : Packet(packet) { m_header.init(); }

    // On a view over the rest of a datagram: the number of bytes this packet
    // occupies (header and body), after which the next packet starts;
    // EC_WOULDBLOCK (-1) when fewer than MIRP_HLEN bytes remain; EC_FORMAT
    // (-9) when the body would run past the view. On failure the view is
    // unchanged.
    int valid_packet();

    MirpHeader* header() { return &m_header; }
    const MirpHeader* const_header() const { return &m_header; }
    uint8_t type() const { return m_header.TransId; }
    uint8_t flag() const { return m_header.Flag; }
    uint32_t packet_no() const { return m_header.PacketNo; }
    uint16_t topic_id() const { return m_header.TopicID; }

private:
    MirpHeader m_header;
};
