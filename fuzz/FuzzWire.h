// Internal to the fuzzers: market data traffic built with the project's own
// encoders, for the seed corpora and for the query server that the stateful
// targets play.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpEncoder.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "tests/mirp/RecordingStream.h"

namespace fuzz_wire {

using namespace BRAX::KORV;

// A request id the stateful MDQP target replaces, before sending, by the id
// of a query the client sent: the last one, or the one before.
constexpr uint32_t LAST_QUERY = 0xffffffffu;
constexpr uint32_t QUERY_BEFORE_LAST = 0xfffffffeu;

inline std::string mdqp_packet(uint8_t trans_id, uint32_t request_id, const std::string& body,
                               int flag = 0)
{
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.flag = uint8_t(flag);
    header.trans_id = trans_id;
    header.content_length = uint16_t(body.size());
    header.request_id = request_id;
    char bytes[MDQP_HLEN];
    header.to_stream(bytes);
    return std::string(bytes, MDQP_HLEN) + body;
}

inline std::string le16(unsigned v)
{
    return std::string{char(v & 0xff), char((v >> 8) & 0xff)};
}

// One field: little-endian id and size, then the content.
inline std::string raw_field(unsigned id, const std::string& content)
{
    return le16(id) + le16(unsigned(content.size())) + content;
}

template <class Record>
std::string mdqp_field(const Record& record)
{
    std::string content(size_t(Record::stream_size()), '\0');
    record.to_stream(&content[0]);
    return raw_field(Record::field_id(), content);
}

inline std::string rsp_info(int error_id, const char* text)
{
    MDQP_RspInfo info = MDQP_RspInfo();
    info.ErrorID = error_id;
    strncpy(info.ErrorMsg, text, sizeof info.ErrorMsg - 1);
    return mdqp_field(info);
}

inline std::string login_response(uint32_t request_id, int error_id = 0)
{
    return mdqp_packet(MDQP_TID_RspUserLogin, request_id,
                       rsp_info(error_id, error_id == 0 ? "ok" : "refused") +
                           mdqp_field(MDQP_RspUserLogin()));
}

// A snapshot of topic: `instruments` instruments numbered from 0, each with
// a volume, `levels` bid and ask levels, the depth and cipher given, and the
// MIRP packet number it is consistent with.
inline std::string snapshot_body(short topic, int packet_no, int instruments = 3, int levels = 3,
                                 int depth = 5, char cipher = '0')
{
    MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
    attribute.MarketDataDepth = depth;
    attribute.CipherType = cipher;
    MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
    tag.TopicID = topic;
    tag.SnapNo = 40;
    MDQP_TopicSnapTime snap_time = MDQP_TopicSnapTime();
    strcpy(snap_time.SnapDate, "20260105");
    strcpy(snap_time.SnapTime, "09:30:00");
    MDQP_TopicSettlementSession session = MDQP_TopicSettlementSession();
    std::string body = mdqp_field(attribute) + mdqp_field(tag) + mdqp_field(snap_time) +
                       mdqp_field(session);
    for (int no = 0; no < instruments; ++no) {
        MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "IF20%02d", no);
        instrument.VolumeMultiple = 300;
        instrument.PriceTick = 0.2;
        instrument.TradeBasePrice = 4000;
        instrument.InstrumentNo = no;
        MDQP_TopicMarketData market_data = MDQP_TopicMarketData();
        market_data.InstrumentNo = no;
        market_data.Volume = 100;
        market_data.LevelBasePrice = 4000;
        body += mdqp_field(instrument) + mdqp_field(market_data);
        for (int i = 0; i < levels; ++i)
            for (char side : {MDET_Bid, MDET_Ask}) {
                MDQP_TopicMarketByPrice level = MDQP_TopicMarketByPrice();
                level.InstrumentNo = no;
                level.EntryType = side;
                level.Price = side == MDET_Bid ? 3999.8 - 0.2 * i : 4000.2 + 0.2 * i;
                level.Volume = 10 + i;
                body += mdqp_field(level);
            }
    }
    MDQP_MirpPakcetNo number = MDQP_MirpPakcetNo();
    number.PacketNo = packet_no;
    return body + mdqp_field(number);
}

// One instrument's changes for the MIRP encoder: a trade, a new bid level,
// an ask level change and a daily high price, then optionally a deleted bid
// level and a delta.
struct MirpEvents {
    int instrument_no;
    int volume;
    int level;
    bool delete_level;
};

// The packets of one MIRP sequence of topic, numbered from first_no on,
// each instrument group as the encoder packs it; without groups, one packet
// with an empty body.
inline std::vector<std::string> mirp_sequence(uint16_t topic, uint32_t first_no,
                                              const std::vector<MirpEvents>& groups,
                                              unsigned char type = MIRP_TYPE_MarketEvent)
{
    RecordingStream stream{long(first_no)};
    {
        MirpEncoder encoder(topic, new PlainCipher(), &stream);
        encoder.prepare(type, 40, 1767605400u, 250);
        for (const MirpEvents& g : groups) {
            KORV::USER::InstrumentEventContext context = {g.instrument_no, 0};
            encoder.append_field(MIRP_FID_InstrumentEventHeader,
                                 KORV::CODEC_InstrumentEventHeader::field_encode, &context,
                                 int(sizeof context));
            MIRP_TradeSlice slice = {2, g.volume, int64_t(2) * g.volume, 1};
            encoder.append_field(MIRP_FID_TradeSlice, KORV::CODEC_TradeSlice::field_encode, &slice,
                                 int(sizeof slice));
            MIRP_MDEntryEvent bid = {MBP_EVENT_New, MDET_Bid, g.level, -1, 7, 0};
            encoder.append_field(MIRP_FID_MDEntryEvent, KORV::CODEC_MDEntryEvent::field_encode, &bid,
                                 int(sizeof bid));
            MIRP_MDEntryEvent ask = {MBP_EVENT_Change, MDET_Ask, 1, 1, 9, 0};
            encoder.append_field(MIRP_FID_MDEntryEvent, KORV::CODEC_MDEntryEvent::field_encode, &ask,
                                 int(sizeof ask));
            MIRP_HighPrice high = {5};
            encoder.append_field(MIRP_FID_HighPrice, KORV::CODEC_PriceOffset::field_encode, &high,
                                 int(sizeof high));
            if (g.delete_level) {
                MIRP_MDEntryEvent gone = {MBP_EVENT_Delete, MDET_Bid, 2, 0, 0, 0};
                encoder.append_field(MIRP_FID_MDEntryEvent, KORV::CODEC_MDEntryEvent::field_encode,
                                     &gone, int(sizeof gone));
                MIRP_Delta delta = {0.5};
                encoder.append_field(MIRP_FID_Delta, KORV::CODEC_Ratio::field_encode, &delta,
                                     int(sizeof delta));
            }
        }
        if (groups.empty()) {  // a heartbeat: a header alone
            PacketBufferExt<64> empty;
            encoder.write_down(empty, true);
        }
        encoder.flush();
    }
    std::vector<std::string> packets;
    for (const std::vector<char>& p : stream.m_packets)
        packets.emplace_back(p.begin(), p.end());
    return packets;
}

}  // namespace fuzz_wire
