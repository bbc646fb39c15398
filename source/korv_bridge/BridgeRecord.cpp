#include "source/korv_bridge/BridgeRecord.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace korv_bridge {

using namespace BRAX::KORV_USER_API;

namespace {

constexpr uint8_t MAGIC[4] = {'K', 'M', 'D', 'B'};

// Offsets of the instrument record (see the table in the header).
constexpr size_t UPDATE_NO = 40;
constexpr size_t SESSION_NO = 48;
constexpr size_t SNAP_MILLISEC = 52;
constexpr size_t VOLUME = 56;
constexpr size_t SNAP_VALUE4 = 60;
constexpr size_t UPDATE_MILLISEC = 64;
constexpr size_t BID_COUNT = 68;
constexpr size_t ASK_COUNT = 69;
constexpr size_t PRICES = 72;
constexpr size_t BID_PRICES = 192;
constexpr size_t BID_VOLUMES = 352;
constexpr size_t ASK_PRICES = 432;
constexpr size_t ASK_VOLUMES = 592;
constexpr size_t TEXTS = 672;
// Offsets of the marker.
constexpr size_t INSTRUMENT_COUNT = 40;
constexpr size_t PASS_NO = 48;

void put_u16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void put_u64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint16_t get_u16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t get_u32(const uint8_t* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

uint64_t get_u64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

void put_i32(uint8_t* p, int32_t v)
{
    put_u32(p, static_cast<uint32_t>(v));
}
int32_t get_i32(const uint8_t* p)
{
    return static_cast<int32_t>(get_u32(p));
}

// Absent travels as NaN, which no price is.
void put_price(uint8_t* p, double v)
{
    if (v == UFBaseFloatType::NULL_VALUE)
        v = std::numeric_limits<double>::quiet_NaN();
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    put_u64(p, bits);
}

double get_price(const uint8_t* p)
{
    uint64_t bits = get_u64(p);
    double v;
    memcpy(&v, &bits, sizeof v);
    return std::isnan(v) ? UFBaseFloatType::NULL_VALUE : v;
}

// The text fields in wire order, with their record fields.
template <typename Field>
void each_text(Field&& field, TopicSettlementSession& session, TopicSnapTime& snap,
               TopicMarketData& md)
{
    size_t at = TEXTS;
    auto next = [&](char* text, size_t size) {
        field(at, text, size);
        at += size;
    };
    next(session.SessionDay, sizeof session.SessionDay);
    next(session.SessionCode, sizeof session.SessionCode);
    next(snap.SnapDate, sizeof snap.SnapDate);
    next(snap.SnapTime, sizeof snap.SnapTime);
    next(md.InstrumentID, sizeof md.InstrumentID);
    next(md.UpdateDate, sizeof md.UpdateDate);
    next(md.UpdateTime, sizeof md.UpdateTime);
}

// The fifteen doubles in wire order.
template <typename MarketData>
auto prices(MarketData& md)
{
    return std::array<decltype(&md.LastPrice), 15>{
        &md.LastPrice,       &md.LevelBasePrice,  &md.SnapValue1,
        &md.SnapValue2,      &md.OpenPrice,       &md.HighPrice,
        &md.LowPrice,        &md.Turnover,        &md.OpenInterest,
        &md.ClosePrice,      &md.SettlementPrice, &md.UpperLimitPrice,
        &md.LowerLimitPrice, &md.SnapValue3,      &md.Delta};
}

void encode_header(uint8_t* out, const RecordHeader& header, size_t size)
{
    memcpy(out, MAGIC, sizeof MAGIC);
    put_u16(out + 4, RECORD_VERSION);
    put_u16(out + 6, header.kind);
    put_u32(out + 8, header.topic_id);
    put_u32(out + 12, uint32_t(size));
    put_u64(out + 16, header.epoch);
    put_u64(out + 24, header.packet_no);
    put_u64(out + 32, static_cast<uint64_t>(header.handler_ns));
}

RecordHeader decode_header(const uint8_t* data)
{
    RecordHeader header;
    header.kind = get_u16(data + 6);
    header.topic_id = get_u32(data + 8);
    header.epoch = get_u64(data + 16);
    header.packet_no = get_u64(data + 24);
    header.handler_ns = static_cast<int64_t>(get_u64(data + 32));
    return header;
}

// Levels up to the end mark, at most RECORD_LEVELS; the rest NaN and 0.
uint8_t encode_side(uint8_t* prices_at, uint8_t* volumes_at, const TopicPriceEntry* side)
{
    int count = 0;
    while (count < RECORD_LEVELS && side[count].Price != UFBaseFloatType::NULL_VALUE)
        ++count;
    for (int i = 0; i < RECORD_LEVELS; ++i) {
        put_price(prices_at + 8 * i, i < count ? side[i].Price : UFBaseFloatType::NULL_VALUE);
        put_i32(volumes_at + 4 * i, i < count ? side[i].Volume : 0);
    }
    return uint8_t(count);
}

void decode_side(const uint8_t* prices_at, const uint8_t* volumes_at, int count,
                 TopicPriceEntry* side)
{
    for (int i = 0; i < TOPIC_PRICE_ENTRY_COUNT; ++i) {
        side[i].Price = i < count ? get_price(prices_at + 8 * i) : UFBaseFloatType::NULL_VALUE;
        side[i].Volume = i < count ? get_i32(volumes_at + 4 * i) : 0;
    }
}

}  // namespace

void encode_instrument(uint8_t* out, RecordHeader header, uint64_t update_no,
                       const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                       const TopicMarketData* market_data, const TopicPriceEntry* bids,
                       const TopicPriceEntry* asks)
{
    memset(out, 0, INSTRUMENT_RECORD_SIZE);
    header.kind = KIND_INSTRUMENT;
    encode_header(out, header, INSTRUMENT_RECORD_SIZE);
    put_u64(out + UPDATE_NO, update_no);
    put_i32(out + SESSION_NO, session->SessionNo);
    put_i32(out + SNAP_MILLISEC, snap_time->SnapMillisec);
    put_i32(out + VOLUME, market_data->Volume);
    put_i32(out + SNAP_VALUE4, market_data->SnapValue4);
    put_i32(out + UPDATE_MILLISEC, market_data->UpdateMillisec);
    out[BID_COUNT] = encode_side(out + BID_PRICES, out + BID_VOLUMES, bids);
    out[ASK_COUNT] = encode_side(out + ASK_PRICES, out + ASK_VOLUMES, asks);
    size_t at = PRICES;
    for (const double* price : prices(*market_data)) {
        put_price(out + at, *price);
        at += 8;
    }
    // The texts are copied bounded by their field: a field the library
    // filled without a terminator stays within it.
    TopicSettlementSession s = *session;
    TopicSnapTime t = *snap_time;
    TopicMarketData md = *market_data;
    each_text([&](size_t offset, char* text, size_t size) { memcpy(out + offset, text, size); }, s,
              t, md);
}

void set_update_no(uint8_t* record, uint64_t update_no)
{
    put_u64(record + UPDATE_NO, update_no);
}

uint64_t update_no_of(const uint8_t* record)
{
    return get_u64(record + UPDATE_NO);
}

void encode_marker(uint8_t* out, const PassMarker& marker)
{
    memset(out, 0, MARKER_RECORD_SIZE);
    RecordHeader header = marker.header;
    header.kind = KIND_MARKER;
    encode_header(out, header, MARKER_RECORD_SIZE);
    put_u32(out + INSTRUMENT_COUNT, marker.instrument_count);
    put_u64(out + PASS_NO, marker.pass_no);
}

uint16_t record_kind(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE || memcmp(data, MAGIC, sizeof MAGIC) != 0 ||
        get_u16(data + 4) != RECORD_VERSION)
        return 0;
    uint16_t kind = get_u16(data + 6);
    size_t stated = get_u32(data + 12);
    size_t needed = kind == KIND_INSTRUMENT ? INSTRUMENT_RECORD_SIZE
                    : kind == KIND_MARKER   ? MARKER_RECORD_SIZE
                                            : 0;
    if (needed == 0 || stated < needed || stated > size)
        return 0;
    return kind;
}

bool read_header(const uint8_t* data, size_t size, RecordHeader& header)
{
    if (record_kind(data, size) == 0)
        return false;
    header = decode_header(data);
    return true;
}

bool decode_instrument(const uint8_t* data, size_t size, InstrumentState& state)
{
    if (record_kind(data, size) != KIND_INSTRUMENT)
        return false;
    int bid_count = data[BID_COUNT];
    int ask_count = data[ASK_COUNT];
    if (bid_count > RECORD_LEVELS || ask_count > RECORD_LEVELS)
        return false;
    InstrumentState s;
    s.header = decode_header(data);
    s.update_no = get_u64(data + UPDATE_NO);
    s.session.SessionNo = get_i32(data + SESSION_NO);
    s.snap_time.SnapMillisec = get_i32(data + SNAP_MILLISEC);
    s.market_data.Volume = get_i32(data + VOLUME);
    s.market_data.SnapValue4 = get_i32(data + SNAP_VALUE4);
    s.market_data.UpdateMillisec = get_i32(data + UPDATE_MILLISEC);
    size_t at = PRICES;
    for (double* price : prices(s.market_data)) {
        *price = get_price(data + at);
        at += 8;
    }
    decode_side(data + BID_PRICES, data + BID_VOLUMES, bid_count, s.bids);
    decode_side(data + ASK_PRICES, data + ASK_VOLUMES, ask_count, s.asks);
    // A text that fills its field comes back without a terminator, as the
    // library hands it; readers bound it by the field, as they must anyway.
    each_text(
        [&](size_t offset, char* text, size_t size_of) { memcpy(text, data + offset, size_of); },
        s.session, s.snap_time, s.market_data);
    state = s;
    return true;
}

bool decode_marker(const uint8_t* data, size_t size, PassMarker& marker)
{
    if (record_kind(data, size) != KIND_MARKER)
        return false;
    marker.header = decode_header(data);
    marker.instrument_count = get_u32(data + INSTRUMENT_COUNT);
    marker.pass_no = get_u64(data + PASS_NO);
    return true;
}

}  // namespace korv_bridge
