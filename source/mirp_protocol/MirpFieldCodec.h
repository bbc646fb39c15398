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
//
// The walk of a body decodes inline (mirp_take_field): it runs for every
// event. Where the bytes that may be read reach the codec's longest content
// (MAX_CONTENT), the elements are decoded without a check each and the whole
// is checked once against the field's size; a field that fails that check is
// decoded again the careful way, which gives the element's own error.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "source/mirp_protocol/InstrumentEventContext.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "velta/source/base/Code.h"
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

namespace MIRP_DETAIL {

// Decodes elements back to back within `size` bytes; after the first error
// the rest are skipped and the error is the result.
class CheckedReader {
public:
    CheckedReader(const void* in, int size)
        : m_in(static_cast<const unsigned char*>(in)), m_size(size), m_used(0), m_error(0)
    {
    }

    template <typename T>
    void var(T& value)
    {
        if (m_error == 0)
            add(VELTA::CODE::var_int_decode(m_in + m_used, m_size - m_used, value));
    }
    template <typename T>
    void literal(T& value)
    {
        if (m_error == 0)
            add(VELTA::CODE::literal_decode(m_in + m_used, m_size - m_used, value));
    }

    int result() const { return m_error != 0 ? m_error : m_used; }

private:
    void add(int n)
    {
        if (n < 0)
            m_error = n;
        else
            m_used += n;
    }

    const unsigned char* m_in;
    int m_size;
    int m_used;
    int m_error;
};

// Decodes elements back to back without looking at a size: the caller
// guarantees that the longest content can be read. An integer longer than
// its type's longest form marks the whole as failed.
class UncheckedReader {
public:
    explicit UncheckedReader(const void* in) : m_in(static_cast<const unsigned char*>(in)) {}

    template <typename T>
    void var(T& value)
    {
        using U = typename std::make_unsigned<T>::type;
        const unsigned char* p = m_in;
        U raw = p[0];
        int n = 1;
        if (raw >= 0x80) {
            raw &= 0x7F;
            for (;; ++n) {
                if (n == VELTA::CODE::var_uint_max_size<U>()) {
                    m_failed = true;
                    break;
                }
                U group = p[n];
                raw = static_cast<U>(raw | static_cast<U>((group & 0x7F) << (7 * n)));
                if (group < 0x80) {
                    ++n;
                    break;
                }
            }
        }
        m_in += n;
        value = static_cast<T>(static_cast<U>(raw >> 1) ^ static_cast<U>(0 - (raw & 1)));
    }
    template <typename T>
    void literal(T& value)
    {
        memcpy(&value, m_in, sizeof(T));
        m_in += sizeof(T);
    }

    // The bytes consumed from start, or -1 after an overlong integer.
    int result(const void* start) const
    {
        return m_failed ? -1 : int(m_in - static_cast<const unsigned char*>(start));
    }

private:
    const unsigned char* m_in;
    bool m_failed = false;
};

// The content of one field of `size` bytes at in, of which `readable` bytes
// (at least size) may be read.
template <typename CODEC>
__attribute__((always_inline)) inline int decode_content(const void* in, int size, int readable,
                                                         typename CODEC::Record& record)
{
    if (readable >= CODEC::MAX_CONTENT) {
        UncheckedReader fast(in);
        CODEC::read(fast, record);
        int used = fast.result(in);
        if (used >= 0 && used <= size)
            return used;
    }
    CheckedReader careful(in, size);
    CODEC::read(careful, record);
    return careful.result();
}

}  // namespace MIRP_DETAIL

// Every codec: field_encode as described above; field_decode reads `size`
// bytes of content at most (out of line: the walk of a body decodes through
// mirp_take_field, inline); MAX_CONTENT is the longest content it writes;
// read() lists the elements in wire order for a reader.
template <typename CODEC>
struct MirpCodecDecode {
    static int field_decode(const void* in, int size, void* record);
};

// var_int32 InstrumentNo, HeaderAttr1.
class CODEC_InstrumentEventHeader : public MirpCodecDecode<CODEC_InstrumentEventHeader> {
public:
    typedef USER::InstrumentEventContext Record;
    static constexpr int MAX_CONTENT = 10;
    static int field_encode(void* out, int size, const void* record);
    template <typename Reader>
    static void read(Reader& r, Record& record)
    {
        r.var(record.InstrumentNo);
        r.var(record.HeaderAttr1);
    }
};

// char EventType, EntryType; var_int32 PriceLevel, PriceOffset, Volume, EventAttr1.
class CODEC_MDEntryEvent : public MirpCodecDecode<CODEC_MDEntryEvent> {
public:
    typedef BRAX::KORV::MIRP_MDEntryEvent Record;
    static constexpr int MAX_CONTENT = 22;
    static int field_encode(void* out, int size, const void* record);
    template <typename Reader>
    static void read(Reader& r, Record& record)
    {
        r.literal(record.EventType);
        r.literal(record.EntryType);
        r.var(record.PriceLevel);
        r.var(record.PriceOffset);
        r.var(record.Volume);
        r.var(record.EventAttr1);
    }
};

// var_int32 LastPriceOffset, Volume; var_int64 TurnoverOffset, OpenInterestChange.
class CODEC_TradeSlice : public MirpCodecDecode<CODEC_TradeSlice> {
public:
    typedef BRAX::KORV::MIRP_TradeSlice Record;
    static constexpr int MAX_CONTENT = 30;
    static int field_encode(void* out, int size, const void* record);
    template <typename Reader>
    static void read(Reader& r, Record& record)
    {
        r.var(record.LastPriceOffset);
        r.var(record.Volume);
        r.var(record.TurnoverOffset);
        r.var(record.OpenInterestChange);
    }
};

// var_int32 PriceOffset; serves all seven daily prices, which share the layout.
class CODEC_PriceOffset : public MirpCodecDecode<CODEC_PriceOffset> {
public:
    typedef BRAX::KORV::MIRP_HighPrice Record;
    static constexpr int MAX_CONTENT = 5;
    static int field_encode(void* out, int size, const void* record);
    template <typename Reader>
    static void read(Reader& r, Record& record)
    {
        r.var(record.PriceOffset);
    }
};

// double Delta.
class CODEC_Ratio : public MirpCodecDecode<CODEC_Ratio> {
public:
    typedef BRAX::KORV::MIRP_Delta Record;
    static constexpr int MAX_CONTENT = 8;
    static int field_encode(void* out, int size, const void* record);
    template <typename Reader>
    static void read(Reader& r, Record& record)
    {
        r.literal(record.Delta);
    }
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

// Reads the content of the field at the front of packet, whose header the
// caller has peeked, into record and drops the field: 0, or EC_FORMAT when
// the content runs past the view, or the codec's error. The field id is not
// looked at; the caller chose the codec by it. Content the codec does not
// consume is dropped with the field. The codec may read on into the bytes
// behind the field (never past the view) and checks the field's size once.
template <typename CODEC, typename Record>
__attribute__((always_inline)) inline int mirp_take_field(Record& record, Packet& packet,
                                                          const MirpFieldHeader& header)
{
    static_assert(sizeof(Record) == sizeof(typename CODEC::Record), "record fits its codec");
    unsigned long room = packet.length() - MIRP_FIELD_HLEN;
    if (header.FieldSize > room)
        return EC_FORMAT;
    int readable = room < static_cast<unsigned long>(INT_MAX) ? int(room) : INT_MAX;
    // The daily prices are distinct types of one layout: decoded as the
    // codec's own record and copied.
    typename CODEC::Record decoded;
    int ret = MIRP_DETAIL::decode_content<CODEC>(packet.data() + MIRP_FIELD_HLEN, header.FieldSize,
                                                 readable, decoded);
    if (ret < 0)
        return ret;
    memcpy(&record, &decoded, sizeof decoded);
    packet.pop(MIRP_FIELD_HLEN + header.FieldSize);
    return EC_NONE;
}

// Reads one whole field off the front of packet into record: 0, or EC_FORMAT
// when the header or the content runs past the view, or the codec's error
// (see mirp_take_field).
template <typename CODEC, typename Record>
int mirp_get_field(Record& record, Packet& packet)
{
    MirpFieldHeader header;
    if (mirp_peek_field(packet, header) != EC_NONE)
        return EC_FORMAT;
    return mirp_take_field<CODEC>(record, packet, header);
}

}  // namespace KORV
