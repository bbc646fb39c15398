#include "source/korv_capture/Ipv4Frame.h"

#include <cstring>

namespace {

constexpr uint8_t PROTOCOL_TCP = 6;
constexpr uint8_t PROTOCOL_UDP = 17;

void put_be16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Ones' complement sum of 16-bit big-endian words, not yet folded.
uint32_t sum_words(const uint8_t* data, size_t length, uint32_t sum)
{
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += uint32_t(data[i]) << 8 | data[i + 1];
    if (length % 2 != 0)
        sum += uint32_t(data[length - 1]) << 8;
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16 != 0)
        sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

// The IPv4 header in front of a transport packet of the given size.
void put_ipv4_header(uint8_t* ip, uint8_t protocol, const Ipv4Endpoint& from,
                     const Ipv4Endpoint& to, uint16_t ip_id, size_t transport_size)
{
    ip[0] = 0x45;  // version 4, five 32-bit words
    ip[1] = 0;
    put_be16(ip + 2, uint16_t(IPV4_HEADER_SIZE + transport_size));
    put_be16(ip + 4, ip_id);
    put_be16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = protocol;
    put_be16(ip + 10, 0);
    memcpy(ip + 12, &from.addr, 4);
    memcpy(ip + 16, &to.addr, 4);
    put_be16(ip + 10, fold(sum_words(ip, IPV4_HEADER_SIZE, 0)));
}

}  // namespace

size_t build_udp_packet(const Ipv4Endpoint& from, const Ipv4Endpoint& to, uint16_t ip_id,
                        const uint8_t* payload, size_t length, uint8_t* out)
{
    if (length > IPV4_UDP_MAX_PAYLOAD)
        return 0;
    size_t udp_size = UDP_HEADER_SIZE + length;
    put_ipv4_header(out, PROTOCOL_UDP, from, to, ip_id, udp_size);
    uint8_t* udp = out + IPV4_HEADER_SIZE;
    put_be16(udp, from.port);
    put_be16(udp + 2, to.port);
    put_be16(udp + 4, uint16_t(udp_size));
    put_be16(udp + 6, 0);
    if (length > 0)
        memcpy(udp + UDP_HEADER_SIZE, payload, length);
    return IPV4_HEADER_SIZE + udp_size;
}

size_t build_tcp_packet(const Ipv4Endpoint& from, const Ipv4Endpoint& to, uint16_t ip_id,
                        uint32_t seq, uint32_t ack, uint8_t flags, const uint8_t* payload,
                        size_t length, uint8_t* out)
{
    if (length > 65535 - IPV4_HEADER_SIZE - TCP_HEADER_SIZE)
        return 0;
    size_t tcp_size = TCP_HEADER_SIZE + length;
    put_ipv4_header(out, PROTOCOL_TCP, from, to, ip_id, tcp_size);
    uint8_t* tcp = out + IPV4_HEADER_SIZE;
    put_be16(tcp, from.port);
    put_be16(tcp + 2, to.port);
    put_be32(tcp + 4, seq);
    put_be32(tcp + 8, ack);
    tcp[12] = uint8_t((TCP_HEADER_SIZE / 4) << 4);
    tcp[13] = flags;
    put_be16(tcp + 14, 65535);  // window
    put_be16(tcp + 16, 0);
    put_be16(tcp + 18, 0);
    if (length > 0)
        memcpy(tcp + TCP_HEADER_SIZE, payload, length);
    // The checksum covers a pseudo header of addresses, protocol and length.
    uint8_t pseudo[12];
    memcpy(pseudo, &from.addr, 4);
    memcpy(pseudo + 4, &to.addr, 4);
    pseudo[8] = 0;
    pseudo[9] = PROTOCOL_TCP;
    put_be16(pseudo + 10, uint16_t(tcp_size));
    put_be16(tcp + 16, fold(sum_words(tcp, tcp_size, sum_words(pseudo, sizeof pseudo, 0))));
    return IPV4_HEADER_SIZE + tcp_size;
}
