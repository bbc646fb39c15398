// Internal: the fields of a MIRP market event body and their codecs.
//
// A body is a run of fields, each a 4-byte header (FieldID, FieldSize, both
// little-endian uint16) and FieldSize content bytes. Instrument groups start
// with an instrument event header field; the event fields after it concern
// that instrument. Contents are the record's elements in record order, as
// zigzag varints or literals (velta/source/base/Code.h).
//
// Each codec's field_encode refuses a buffer below its bound: the record's
// in-memory size plus a quarter, which covers the longest content it can
// write. The encoder reserves the same amount per field, so one size check up
// front stands for all elements. field_decode returns the content bytes it
// consumed (possibly fewer than the field holds) or the first element's error.
#pragma once

#include <cstdint>
#include <cstring>

#include "source/mirp_protocol/InstrumentEventContext.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Packet.h"

namespace BRAX {
namespace KORV {

constexpr uint16_t MIRP_FID_InstrumentEventHeader = 0x0003;
constexpr uint16_t MIRP_FID_MDEntryEvent = 0x1001;
constexpr uint16_t MIRP_FID_TradeSlice = 0x1002;
constexpr uint16_t MIRP_FID_HighPrice = 0x1011;
constexpr uint16_t MIRP_FID_LowPrice = 0x1012;
constexpr uint16_t MIRP_FID_OpenPrice = 0x1013;
constexpr uint16_t MIRP_FID_ClosePrice = 0x1014;
constexpr uint16_t MIRP_FID_UpperLimitPrice = 0x1015;
constexpr uint16_t MIRP_FID_LowerLimitPrice = 0x1016;
constexpr uint16_t MIRP_FID_SettlementPrice = 0x1017;
constexpr uint16_t MIRP_FID_Delta = 0x1018;

}  // namespace KORV
}  // namespace BRAX

struct MirpFieldHeader {
    uint16_t FieldID;
    uint16_t FieldSize;
};
constexpr int MIRP_FIELD_HLEN = 4;
static_assert(sizeof(MirpFieldHeader) == MIRP_FIELD_HLEN, "MirpFieldHeader is the wire header");

namespace KORV {

// Room a codec needs for a record of record_size bytes in memory.
constexpr int mirp_field_bound(int record_size)
{
    return record_size + record_size / 4;
}

// var_int32 InstrumentNo, HeaderAttr1.
class CODEC_InstrumentEventHeader {
public:
    typedef USER::InstrumentEventContext Record;
    static int field_encode(void* out, int size, const void* record);
    static int field_decode(const void* in, int size, void* record);
};

// char EventType, EntryType; var_int32 PriceLevel, PriceOffset, Volume, EventAttr1.
class CODEC_MDEntryEvent {
public:
    typedef BRAX::KORV::MIRP_MDEntryEvent Record;
    static int field_encode(void* out, int size, const void* record);
    static int field_decode(const void* in, int size, void* record);
};

// var_int32 LastPriceOffset, Volume; var_int64 TurnoverOffset, OpenInterestChange.
class CODEC_TradeSlice {
public:
    typedef BRAX::KORV::MIRP_TradeSlice Record;
    static int field_encode(void* out, int size, const void* record);
    static int field_decode(const void* in, int size, void* record);
};

// var_int32 PriceOffset; serves all seven daily prices, which share the layout.
class CODEC_PriceOffset {
public:
    typedef BRAX::KORV::MIRP_HighPrice Record;
    static int field_encode(void* out, int size, const void* record);
    static int field_decode(const void* in, int size, void* record);
};

// double Delta.
class CODEC_Ratio {
public:
    typedef BRAX::KORV::MIRP_Delta Record;
    static int field_encode(void* out, int size, const void* record);
    static int field_decode(const void* in, int size, void* record);
};

// Copies the header of the field at the front of packet without consuming
// it: 0, or EC_FORMAT when fewer than MIRP_FIELD_HLEN bytes remain.
inline int mirp_peek_field(const Packet& packet, MirpFieldHeader& header)
{
    if (packet.length() < static_cast<unsigned long>(MIRP_FIELD_HLEN))
        return EC_FORMAT;
    memcpy(&header, packet.data(), MIRP_FIELD_HLEN);
    return EC_NONE;
}

// Reads one whole field off the front of packet into record: 0, or EC_FORMAT
// when the header or the content runs past the view, or the codec's error.
// The field id is not looked at; the caller chose the codec by it. Content
// the codec does not consume is dropped with the field.
template <typename CODEC, typename Record>
int mirp_get_field(Record& record, Packet& packet)
{
    static_assert(sizeof(Record) == sizeof(typename CODEC::Record), "record fits its codec");
    MirpFieldHeader header;
    if (mirp_peek_field(packet, header) != EC_NONE)
        return EC_FORMAT;
    packet.pop(MIRP_FIELD_HLEN);
    if (header.FieldSize > packet.length())
        return EC_FORMAT;
    int ret = CODEC::field_decode(packet.data(), header.FieldSize, &record);
    if (ret < 0)
        return ret;
    packet.pop(header.FieldSize);
    return EC_NONE;
}

}  // namespace KORV
