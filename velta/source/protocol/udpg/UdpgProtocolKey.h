// Internal: the key of a multicast group: the group's socket address, the
// selector of the local interface and, for a source-specific join, the
// source (0 for any source). All in network order.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "velta/source/protocol/ProtocolKey.h"

constexpr const char* UDPG_PROTOCOL_NAME = "udpg";

class UdpgProtocolKey : public ProtocolKey {
public:
    UdpgProtocolKey(const sockaddr_in& group_addr, const in_addr& if_addr,
                    const in_addr& source_addr)
        : ProtocolKey(PROTOCOL_ID_UDPG, sizeof(UdpgProtocolKey)),
          m_group_addr(group_addr),
          m_if_addr(if_addr),
          m_source_addr(source_addr)
    {
    }

    // Family, port and address of a socket address as one number.
    static uint64_t get_addr_long(const sockaddr_in& addr)
    {
        uint64_t value;
        memcpy(&value, &addr, sizeof(value));
        return value;
    }

    // By group, then by interface selector. The source takes no part: two
    // locations that differ only in their source share one channel.
    bool operator<(const UdpgProtocolKey& other) const
    {
        uint64_t group = get_addr_long(m_group_addr);
        uint64_t other_group = get_addr_long(other.m_group_addr);
        if (group != other_group)
            return group < other_group;
        return m_if_addr.s_addr < other.m_if_addr.s_addr;
    }

    sockaddr_in m_group_addr;
    in_addr m_if_addr;
    in_addr m_source_addr;
};

static_assert(sizeof(UdpgProtocolKey) == 32, "udpg key is 32 bytes");
