// Internal: the 8-byte MDQP packet header and the transaction ids.
//
//   byte 0      bits 0-3 version, bits 4-7 flag (bit 4 = MDQP_FLAG_CONTINUE)
//   byte 1      trans_id
//   bytes 2-3   content_length, body bytes after the header (little-endian)
//   bytes 4-7   request_id, echoed in every packet of the response
//
// A message too long for one packet goes out as several packets of the same
// trans_id and request_id; all but the last carry MDQP_FLAG_CONTINUE.
#pragma once

#include <cstdint>

constexpr int MDQP_VERSION = 1;
constexpr int MDQP_HLEN = 8;
constexpr int MDQP_FLAG_CONTINUE = 1;
constexpr uint16_t MDQP_TID_Heartbeat = 0;

namespace BRAX {
namespace KORV {

constexpr uint8_t MDQP_TID_ReqUserLogin = 0x11;
constexpr uint8_t MDQP_TID_RspUserLogin = 0x12;
constexpr uint8_t MDQP_TID_ReqUserLogout = 0x13;
constexpr uint8_t MDQP_TID_RspUserLogout = 0x14;
constexpr uint8_t MDQP_TID_ReqQryTopicSnap = 0x31;
constexpr uint8_t MDQP_TID_RspQryTopicSnap = 0x32;
constexpr uint8_t MDQP_TID_ReqQryTopicGap = 0x33;
constexpr uint8_t MDQP_TID_RspQryTopicGap = 0x34;

}  // namespace KORV
}  // namespace BRAX

struct MdqpHeader {
    uint8_t version : 4;
    uint8_t flag : 4;
    uint8_t trans_id;
    uint16_t content_length;
    uint32_t request_id;

    void init()
    {
        version = 0;
        flag = 0;
        trans_id = 0;
        content_length = 0;
        request_id = 0;
    }

    // The 8 wire bytes; from_stream reads exactly MDQP_HLEN bytes.
    void to_stream(char* out) const;
    void from_stream(const char* in);
};
