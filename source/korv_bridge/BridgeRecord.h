// Internal to the bridge and its consumers: the message the bridge publishes
// for every delivered instrument, and the marker it publishes after each
// full pass over a topic's book.
//
// Wire layout, version 1. Every field is little-endian at a fixed offset, no
// padding; a reader needs nothing but this table (C++ below, Python through
// numpy.frombuffer with the same offsets). Absent doubles travel as NaN;
// levels past a side's count hold NaN and volume 0. Text fields are NUL
// padded; a text that fills its field has no terminator.
//
//   offset size  field                 (both kinds)
//        0    4  magic "KMDB"
//        4    2  version, 1
//        6    2  kind: 1 instrument state, 2 topic pass marker
//        8    4  topic id
//       12    4  record size in bytes (a later minor revision may append;
//                readers take the fields they know)
//       16    8  epoch: microseconds of the wall clock when the bridge took
//                up the topic's packet numbering; a newer numbering always
//                has a larger epoch, so (epoch, packet number) orders states
//       24    8  packet number of the delivery
//       32    8  handler time: wall-clock nanoseconds of the handler call
//                (of the pass, for a marker)
//   instrument state (kind 1), 760 bytes:
//       40    8  update number: grows with every state of this instrument
//                one bridge run publishes
//       48    4  settlement session number
//       52    4  snap milliseconds
//       56    4  volume
//       60    4  snap value 4
//       64    4  update milliseconds
//       68    1  bid level count (0..20), 69: ask level count, 70..71 zero
//       72  8x15 last, level base, snap value 1, snap value 2, open, high,
//                low, turnover, open interest, close, settlement, upper
//                limit, lower limit, snap value 3, delta
//      192  8x20 bid prices, 352: 4x20 bid volumes
//      432  8x20 ask prices, 592: 4x20 ask volumes
//      672    9  session day, 681: 9 session code, 690: 9 snap date,
//                699: 9 snap time, 708: 31 instrument id, 739: 9 update
//                date, 748: 9 update time; 757..759 zero
//   pass marker (kind 2), 56 bytes:
//       40    4  instruments the bridge holds for the topic
//       44    4  zero
//       48    8  pass number within the epoch
#pragma once

#include <cstddef>
#include <cstdint>

#include "source/korv_user/KorvUserApiStruct.h"

namespace korv_bridge {

constexpr uint16_t RECORD_VERSION = 1;
constexpr uint16_t KIND_INSTRUMENT = 1;
constexpr uint16_t KIND_MARKER = 2;
constexpr size_t HEADER_SIZE = 40;
constexpr size_t INSTRUMENT_RECORD_SIZE = 760;
constexpr size_t MARKER_RECORD_SIZE = 56;
constexpr size_t INSTRUMENT_ID_OFFSET = 708;
constexpr size_t INSTRUMENT_ID_SIZE = sizeof(BRAX::KORV_USER_API::TopicMarketData::InstrumentID);
constexpr int RECORD_LEVELS = BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT - 1;

// What every record starts with.
struct RecordHeader {
    uint16_t kind = 0;
    uint32_t topic_id = 0;
    uint64_t epoch = 0;
    uint64_t packet_no = 0;
    int64_t handler_ns = 0;
};

// One instrument's whole state, in the handler call's own records, so that
// a consumer hands it to any KorvMarketDataHandler unchanged.
struct InstrumentState {
    RecordHeader header;
    uint64_t update_no = 0;
    BRAX::KORV_USER_API::TopicSettlementSession session{};
    BRAX::KORV_USER_API::TopicSnapTime snap_time{};
    BRAX::KORV_USER_API::TopicMarketData market_data{};
    BRAX::KORV_USER_API::TopicPriceEntry bids[BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT]{};
    BRAX::KORV_USER_API::TopicPriceEntry asks[BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT]{};
};

struct PassMarker {
    RecordHeader header;
    uint32_t instrument_count = 0;
    uint64_t pass_no = 0;
};

// Writes the instrument record of one handler call into out, which holds
// INSTRUMENT_RECORD_SIZE bytes. header.kind is set by the call.
void encode_instrument(uint8_t* out, RecordHeader header, uint64_t update_no,
                       const BRAX::KORV_USER_API::TopicSettlementSession* session,
                       const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                       const BRAX::KORV_USER_API::TopicMarketData* market_data,
                       const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                       const BRAX::KORV_USER_API::TopicPriceEntry* asks);

// The update number of an instrument record in place.
void set_update_no(uint8_t* record, uint64_t update_no);
uint64_t update_no_of(const uint8_t* record);

// Writes a marker into out, which holds MARKER_RECORD_SIZE bytes.
void encode_marker(uint8_t* out, const PassMarker& marker);

// The kind of a record of size bytes whose header is sound (magic, version,
// size field within size and at least its kind's size), 0 otherwise.
uint16_t record_kind(const uint8_t* data, size_t size);

// false (and state untouched) unless data is a sound instrument record.
// Absent values come back as the library's absent marker, the sides end
// with the end mark.
bool read_header(const uint8_t* data, size_t size, RecordHeader& header);
bool decode_instrument(const uint8_t* data, size_t size, InstrumentState& state);
bool decode_marker(const uint8_t* data, size_t size, PassMarker& marker);

}  // namespace korv_bridge
