#include "apps/korv_md_replay/UdpFrame.h"

#include <arpa/inet.h>

#include <cstring>

#include "velta/source/base/ErrorCode.h"

namespace {

constexpr uint16_t ETHER_TYPE_IPV4 = 0x0800;
constexpr uint16_t ETHER_TYPE_VLAN = 0x8100;
constexpr uint8_t IP_PROTOCOL_UDP = 17;

uint16_t be16(const uint8_t* p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

void put_be16(uint8_t* p, unsigned value)
{
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

// The IPv4 header checksum: the ones' complement of the ones' complement sum.
uint16_t ip_checksum(const uint8_t* header, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += be16(header + i);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

int decode_ipv4(const uint8_t* ip, size_t length, CapturedDatagram& out)
{
    if (length < 20 || (ip[0] >> 4) != 4)
        return EC_DISCARD;
    size_t header_length = size_t(ip[0] & 0x0f) * 4;
    size_t total_length = be16(ip + 2);
    // More fragments, or an offset: a piece of a datagram, not a datagram.
    bool fragment = (be16(ip + 6) & 0x3fff) != 0;
    if (header_length < 20 || total_length < header_length + 8 || total_length > length ||
        fragment || ip[9] != IP_PROTOCOL_UDP)
        return EC_DISCARD;
    const uint8_t* udp = ip + header_length;
    size_t udp_length = be16(udp + 4);
    if (udp_length < 8 || udp_length > total_length - header_length)
        return EC_DISCARD;
    memcpy(&out.source_addr, ip + 12, 4);
    memcpy(&out.group_addr, ip + 16, 4);
    out.source_port = be16(udp);
    out.group_port = be16(udp + 2);
    out.payload = udp + 8;
    out.length = udp_length - 8;
    return EC_NONE;
}

}  // namespace

int decode_udp_frame(int link_type, const uint8_t* frame, size_t length, CapturedDatagram& out)
{
    size_t offset;
    uint16_t ether_type;
    switch (link_type) {
        case UDP_FRAME_LINK_ETHERNET:
            if (length < 14)
                return EC_DISCARD;
            offset = 14;
            ether_type = be16(frame + 12);
            // One VLAN tag at most, as a switch port mirror leaves it.
            if (ether_type == ETHER_TYPE_VLAN) {
                if (length < 18)
                    return EC_DISCARD;
                offset = 18;
                ether_type = be16(frame + 16);
            }
            break;
        case UDP_FRAME_LINK_LINUX_SLL:
            if (length < 16)
                return EC_DISCARD;
            offset = 16;
            ether_type = be16(frame + 14);
            break;
        case UDP_FRAME_LINK_LINUX_SLL2:
            if (length < 20)
                return EC_DISCARD;
            offset = 20;
            ether_type = be16(frame);
            break;
        case UDP_FRAME_LINK_RAW:
        case UDP_FRAME_LINK_IPV4:
            offset = 0;
            ether_type = ETHER_TYPE_IPV4;
            break;
        default:
            return EC_DISCARD;
    }
    if (ether_type != ETHER_TYPE_IPV4)
        return EC_DISCARD;
    return decode_ipv4(frame + offset, length - offset, out);
}

size_t encode_udp_frame(const CapturedDatagram& datagram, uint8_t* out)
{
    if (datagram.length > UDP_FRAME_MAX_PAYLOAD)
        return 0;
    // Ethernet: the group's multicast MAC address (its low 23 bits behind
    // 01:00:5e), a locally administered source, IPv4.
    const uint8_t* group = reinterpret_cast<const uint8_t*>(&datagram.group_addr);
    const uint8_t ether[14] = {0x01,     0x00,     0x5e, uint8_t(group[1] & 0x7f),
                               group[2], group[3], 0x02, 0x00,
                               0x00,     0x00,     0x00, 0x01,
                               0x08,     0x00};
    memcpy(out, ether, sizeof ether);
    uint8_t* ip = out + 14;
    memset(ip, 0, 20);
    ip[0] = 0x45;
    put_be16(ip + 2, unsigned(20 + 8 + datagram.length));
    put_be16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 1;                 // TTL
    ip[9] = IP_PROTOCOL_UDP;
    memcpy(ip + 12, &datagram.source_addr, 4);
    memcpy(ip + 16, &datagram.group_addr, 4);
    put_be16(ip + 10, ip_checksum(ip, 20));
    uint8_t* udp = ip + 20;
    put_be16(udp, datagram.source_port);
    put_be16(udp + 2, datagram.group_port);
    put_be16(udp + 4, unsigned(8 + datagram.length));
    put_be16(udp + 6, 0);  // no checksum, which IPv4 allows
    if (datagram.length > 0)
        memcpy(udp + 8, datagram.payload, datagram.length);
    return UDP_FRAME_HEADROOM + datagram.length;
}
