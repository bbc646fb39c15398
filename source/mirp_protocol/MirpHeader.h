// Internal: the 24-byte header that opens every MIRP packet, and the
// protocol's constants.
//
// Multi-byte fields are little-endian on the wire; the header is copied to
// and from memory as it stands, which is the host order on x86-64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint8_t MIRP_VERSION = 1;
constexpr int MIRP_HLEN = 24;
// The packet's events continue in the next packet: do not commit yet.
constexpr uint8_t MIRP_FLAG_CONTINUE = 1;
constexpr uint8_t MIRP_TYPE_ANY = 0;
constexpr int FLOW_ID_ANY = 0;

namespace BRAX {
namespace KORV {

constexpr char MIRP_TYPE_Heartbeat = 0;
constexpr char MIRP_TYPE_MarketEvent = 1;

}  // namespace KORV
}  // namespace BRAX

struct MirpHeader {
    uint8_t Version : 4;     // low nibble of byte 0
    uint8_t Flag : 4;        // high nibble of byte 0; bit 0 is MIRP_FLAG_CONTINUE
    uint8_t TransId;         // packet type
    uint16_t ContentLength;  // body length after ciphering
    uint32_t PacketNo;       // consecutive packets of a topic differ by 1
    uint16_t TopicID;
    uint16_t SnapMillisec;
    int32_t SnapNo;  // the sender adds 1 after each packet that ends a sequence
    uint32_t SnapSeconds;
    uint16_t TradingDay;  // set by the sender, not read by the receiver
    uint16_t Reserved;

    void init()
    {
        memset(this, 0, sizeof(*this));
        Version = MIRP_VERSION;
    }
};

static_assert(sizeof(MirpHeader) == MIRP_HLEN, "MirpHeader is the wire header");
static_assert(offsetof(MirpHeader, TransId) == 1, "TransId at byte 1");
static_assert(offsetof(MirpHeader, ContentLength) == 2, "ContentLength at byte 2");
static_assert(offsetof(MirpHeader, PacketNo) == 4, "PacketNo at byte 4");
static_assert(offsetof(MirpHeader, TopicID) == 8, "TopicID at byte 8");
static_assert(offsetof(MirpHeader, SnapMillisec) == 10, "SnapMillisec at byte 10");
static_assert(offsetof(MirpHeader, SnapNo) == 12, "SnapNo at byte 12");
static_assert(offsetof(MirpHeader, SnapSeconds) == 16, "SnapSeconds at byte 16");
static_assert(offsetof(MirpHeader, TradingDay) == 20, "TradingDay at byte 20");
static_assert(offsetof(MirpHeader, Reserved) == 22, "reserved bytes at 22");
