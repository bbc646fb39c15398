// Internal to the replay component: the IPv4 datagrams in the frames of a
// capture, with fragmented ones put back together.
//
// Frames come with the link types captures use for this traffic: Ethernet
// (one VLAN tag at most), Linux cooked v1 and v2, raw IPv4 and raw IP.
// Anything that is not IPv4 is skipped. Fragments wait, keyed by source,
// destination, protocol and identification, until their datagram is whole;
// a datagram whose fragments never all come is dropped and counted, and so
// are the oldest waiting ones when too many wait at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

constexpr int LINK_ETHERNET = 1;
constexpr int LINK_RAW = 101;
constexpr int LINK_LINUX_SLL = 113;
constexpr int LINK_IPV4 = 228;
constexpr int LINK_LINUX_SLL2 = 276;

constexpr uint8_t IP_PROTOCOL_TCP = 6;
constexpr uint8_t IP_PROTOCOL_UDP = 17;

struct IpDatagram {
    uint8_t protocol = 0;
    uint32_t source = 0;               // network order
    uint32_t destination = 0;          // network order
    const uint8_t* payload = nullptr;  // valid until the next take()
    size_t length = 0;
};

class Ipv4Reassembler {
public:
    // Most datagrams whose fragments wait at once.
    static constexpr size_t MAX_WAITING = 1024;

    // 1 with a whole datagram in out, 0 when the frame held none (yet).
    int take(int link_type, const uint8_t* frame, size_t length, IpDatagram& out);

    uint64_t get_skipped() const { return m_skipped; }
    uint64_t get_reassembled() const { return m_reassembled; }
    // Datagrams whose fragments did not all come (those still waiting too).
    uint64_t get_incomplete() const { return m_incomplete + m_waiting.size(); }

private:
    using Key = std::tuple<uint32_t, uint32_t, uint8_t, uint16_t>;
    struct Waiting {
        std::map<size_t, std::string> pieces;  // by offset
        size_t total = 0;                      // 0 until the last piece came
        uint64_t order = 0;
    };

    int reassemble(const uint8_t* ip, size_t header_length, size_t total_length, IpDatagram& out);

    std::map<Key, Waiting> m_waiting;
    std::vector<uint8_t> m_whole;
    uint64_t m_order = 0;
    uint64_t m_skipped = 0;
    uint64_t m_reassembled = 0;
    uint64_t m_incomplete = 0;
};
