// Internal to the capture tools: one UDP datagram as a capture file holds
// it, and the link, IPv4 and UDP headers around it.
//
// Captures of our own tools carry Ethernet frames with the headers made up
// from the receive side (source, group, port); captures of other tools may
// also come as raw IPv4 or Linux cooked frames. Only whole, unfragmented
// IPv4 UDP datagrams are read; anything else is a frame to skip.
#pragma once

#include <cstddef>
#include <cstdint>

struct CapturedDatagram {
    int64_t time_us = 0;       // receive time, microseconds since the epoch
    uint32_t source_addr = 0;  // network order
    uint32_t group_addr = 0;   // network order
    uint16_t source_port = 0;
    uint16_t group_port = 0;
    const uint8_t* payload = nullptr;  // not owned
    size_t length = 0;
};

// Link types of the capture file format.
constexpr int UDP_FRAME_LINK_ETHERNET = 1;
constexpr int UDP_FRAME_LINK_RAW = 101;
constexpr int UDP_FRAME_LINK_LINUX_SLL = 113;
constexpr int UDP_FRAME_LINK_IPV4 = 228;
constexpr int UDP_FRAME_LINK_LINUX_SLL2 = 276;

// Ethernet, IPv4 and UDP headers.
constexpr size_t UDP_FRAME_HEADROOM = 14 + 20 + 8;
// The largest payload an IPv4 UDP datagram can carry.
constexpr size_t UDP_FRAME_MAX_PAYLOAD = 65535 - 20 - 8;

// The datagram in a frame of the link type: 0, with out's addresses, ports
// and payload (pointing into frame) set; EC_DISCARD for a frame that holds
// no whole IPv4 UDP datagram (another protocol, a fragment, a cut frame).
int decode_udp_frame(int link_type, const uint8_t* frame, size_t length, CapturedDatagram& out);

// Writes the Ethernet frame of the datagram to out (room for
// UDP_FRAME_HEADROOM + datagram.length bytes): its length, or 0 when the
// payload is larger than UDP_FRAME_MAX_PAYLOAD.
size_t encode_udp_frame(const CapturedDatagram& datagram, uint8_t* out);
