// Internal: the key of a TCP endpoint pair.
//
// An address is one 64-bit value, (ip << 32) | port, both exactly as they
// stand in a sockaddr_in (network order); 0 means no address. A client key
// has only the remote address, a listening key only the local one, an
// accepted connection both.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "velta/source/protocol/ProtocolKey.h"

constexpr const char* TCP_PROTOCOL_NAME = "tcp";

class TcpProtocolKey : public ProtocolKey {
public:
    explicit TcpProtocolKey(uint64_t local_addr = 0, uint64_t remote_addr = 0)
        : ProtocolKey(PROTOCOL_ID_TCP, sizeof(TcpProtocolKey)),
          m_local_addr(local_addr),
          m_remote_addr(remote_addr)
    {
    }

    static uint64_t make_addr(uint32_t ip, uint16_t port)
    {
        return (static_cast<uint64_t>(ip) << 32) | port;
    }
    static uint64_t make_addr(const sockaddr_in& addr)
    {
        return make_addr(addr.sin_addr.s_addr, addr.sin_port);
    }
    static void get_addr(uint64_t addr, sockaddr_in& out)
    {
        out = sockaddr_in{};
        out.sin_family = AF_INET;
        out.sin_addr.s_addr = static_cast<uint32_t>(addr >> 32);
        out.sin_port = static_cast<uint16_t>(addr & 0xffff);
    }

    // By remote address, then by local address.
    bool operator<(const TcpProtocolKey& other) const
    {
        if (m_remote_addr != other.m_remote_addr)
            return m_remote_addr < other.m_remote_addr;
        return m_local_addr < other.m_local_addr;
    }

    uint64_t m_local_addr;
    uint64_t m_remote_addr;
};

static_assert(sizeof(TcpProtocolKey) == 24, "tcp key is 24 bytes");
