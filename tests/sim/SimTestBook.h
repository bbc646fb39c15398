// Internal (tests): a subscriber's side of the simulator's output, built
// from the library's own parts: the topic book filled from snapshot records
// and from MIRP packets decoded in packet-number order, and the book's
// instruments printed in the truth file's forms, so that they can be
// compared line by line with what the simulator says it published.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "source/korv_user/KorvUserEventParser.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/UFDataType.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpPacket.h"

namespace sim_test {

using KORV::USER::KorvUserTopic;

inline void append_float(std::string& out, double value)
{
    if (value != BRAX::KORV_USER_API::UFBaseFloatType::NULL_VALUE) {
        char text[64];
        snprintf(text, sizeof text, "%.12g", value);
        out += text;
    }
}

inline void append_int(std::string& out, int value)
{
    out += std::to_string(value);
}

// The 43-column line of the test application for one instrument of the book.
inline std::string market_data_line(const KorvUserTopic& book, int no)
{
    const KorvUserTopic::InstrumentMarketData* entry = book.get_instrument(no);
    const BRAX::KORV::MDQP_TopicMarketData& md = entry->MarketData;
    const BRAX::KORV_USER_API::TopicSettlementSession* session = book.get_settlement_session();
    std::string line = std::string(session->SessionDay) + "," + session->SessionCode + ",";
    append_int(line, session->SessionNo);
    line += ",";
    for (double value : {md.LastPrice, md.LevelBasePrice, md.SnapValue1, md.SnapValue2,
                         md.OpenPrice, md.HighPrice, md.LowPrice}) {
        append_float(line, value);
        line += ",";
    }
    append_int(line, md.Volume);
    line += ",";
    for (double value : {md.Turnover, md.OpenInterest, md.ClosePrice, md.SettlementPrice,
                         md.UpperLimitPrice, md.LowerLimitPrice, md.SnapValue3, md.Delta}) {
        append_float(line, value);
        line += ",";
    }
    line += std::string(md.UpdateTime) + ",";
    append_int(line, md.UpdateMillisec);
    line += "," + std::string(entry->Instrument.InstrumentID) + ",";
    for (int i = 0; i < 5; ++i) {
        for (const KORV::USER::PriceEntryTable* side : {&entry->BidTable, &entry->AskTable}) {
            if (i < side->get_count()) {
                append_float(line, side->get_entries()[i].Price);
                line += ",";
                append_int(line, side->get_entries()[i].Volume);
                line += ",";
            } else {
                line += ",0,";
            }
        }
    }
    return line + md.UpdateDate;
}

// The truth file's "L," line of every level of one instrument of the book.
inline std::string levels_line(const KorvUserTopic& book, int no)
{
    const KorvUserTopic::InstrumentMarketData* entry = book.get_instrument(no);
    std::string line = std::string("L,") + entry->Instrument.InstrumentID;
    for (const KORV::USER::PriceEntryTable* side : {&entry->BidTable, &entry->AskTable}) {
        line += ",";
        append_int(line, side->get_count());
        for (int i = 0; i < side->get_count(); ++i) {
            line += ",";
            append_float(line, side->get_entries()[i].Price);
            line += ",";
            append_int(line, side->get_entries()[i].Volume);
        }
    }
    return line;
}

// What a notifier does after each commit: take the changed instruments, so
// that the next change stamps them afresh.
inline void drain_updates(KorvUserTopic& book)
{
    ListHead updated;
    if (book.fetch_updated(updated) != 0)
        return;
    while (!updated.empty())
        updated.head()->detach();
}

// Applies one snapshot reply body (one MDQP packet's fields) to the book, as
// the subscriber does; returns the MIRP packet number the snapshot is
// consistent with, or -1 if the body did not say.
inline long apply_snapshot_body(KorvUserTopic& book, const char* data, int length)
{
    using namespace BRAX::KORV;
    long packet_no = -1;
    for (FieldIterator it(data, length, 0); !it.is_end(); it.next()) {
        switch (it.id()) {
            case MDQP_TopicSettlementSession::field_id(): {
                MDQP_TopicSettlementSession r = MDQP_TopicSettlementSession();
                it.fetch_field(r);
                book.handle_settlement_session(&r);
                break;
            }
            case MDQP_TopicInstrument::field_id(): {
                MDQP_TopicInstrument r = MDQP_TopicInstrument();
                it.fetch_field(r);
                book.handle_instrument(&r);
                break;
            }
            case MDQP_TopicMarketData::field_id(): {
                MDQP_TopicMarketData r = MDQP_TopicMarketData();
                it.fetch_field(r);
                book.handle_market_data(&r);
                break;
            }
            case MDQP_TopicMarketByPrice::field_id(): {
                MDQP_TopicMarketByPrice r = MDQP_TopicMarketByPrice();
                it.fetch_field(r);
                book.handle_market_by_price(&r);
                break;
            }
            case MDQP_TopicSnapTag::field_id(): {
                MDQP_TopicSnapTag r = MDQP_TopicSnapTag();
                it.fetch_field(r);
                book.set_snap_no(r.SnapNo);
                break;
            }
            case MDQP_TopicSnapTime::field_id(): {
                MDQP_TopicSnapTime r = MDQP_TopicSnapTime();
                it.fetch_field(r);
                book.handle_snap_time(&r);
                break;
            }
            case MDQP_TopicAttribute::field_id(): {
                MDQP_TopicAttribute r = MDQP_TopicAttribute();
                it.fetch_field(r);
                book.set_market_data_depth(r.MarketDataDepth);
                break;
            }
            case MDQP_MirpPakcetNo::field_id(): {
                MDQP_MirpPakcetNo r = MDQP_MirpPakcetNo();
                it.fetch_field(r);
                packet_no = r.PacketNo;
                break;
            }
            default:
                break;
        }
    }
    return packet_no;
}

// Applies one market event packet (the cipher is the plain one) and commits
// at the end of its sequence; the decoder's result.
inline int apply_mirp_packet(KorvUserTopic& book, const MirpPacket& packet)
{
    const MirpHeader* header = packet.const_header();
    book.set_snap_no(header->SnapNo);
    book.set_snap_time(header->SnapSeconds, header->SnapMillisec);
    Packet body(packet);
    int result = KORV::USER::parse_snap_events(body, &book);
    if ((header->Flag & MIRP_FLAG_CONTINUE) == 0) {
        book.commit();
        drain_updates(book);
    }
    return result;
}

// Whole MIRP packets of one topic by number, copied out of datagrams.
struct PacketStore {
    std::map<uint32_t, std::string> market;  // market event packets
    std::map<uint32_t, int> heartbeats;      // heartbeat number -> times seen
    int continued = 0;                       // packets with CONTINUE set
    int shared_datagrams = 0;                // datagrams of more than one packet

    // Splits a datagram (or a gap reply field) into packets of topic_id.
    void add_datagram(const char* data, unsigned long length, uint16_t topic_id)
    {
        Packet rest(data, int(length));
        int count = 0;
        while (rest.length() > 0) {
            MirpPacket packet(rest);
            int used = packet.valid_packet();
            if (used < 1)
                break;
            ++count;
            if (packet.topic_id() == topic_id) {
                if (packet.type() == BRAX::KORV::MIRP_TYPE_Heartbeat) {
                    ++heartbeats[packet.packet_no()];
                } else if (market
                               .emplace(packet.packet_no(), std::string(rest.data(), size_t(used)))
                               .second &&
                           (packet.flag() & MIRP_FLAG_CONTINUE) != 0) {
                    ++continued;
                }
            }
            rest.pop(unsigned(used));
        }
        if (count > 1)
            ++shared_datagrams;
    }
};

// Applies the stored packets after `after` in number order; false at the
// first missing number (its number in missing).
inline bool apply_packets(KorvUserTopic& book, const PacketStore& store, uint32_t after,
                          uint32_t last, uint32_t& missing)
{
    for (uint32_t no = after + 1; no <= last; ++no) {
        auto it = store.market.find(no);
        if (it == store.market.end()) {
            missing = no;
            return false;
        }
        MirpPacket packet(Packet(it->second.data(), int(it->second.size())));
        if (packet.valid_packet() < 1 || apply_mirp_packet(book, packet) != 0) {
            missing = no;
            return false;
        }
    }
    return true;
}

}  // namespace sim_test
