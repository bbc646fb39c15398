#include "source/korv_user/KorvUserEventParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserTopic.h"
#include "source/mirp_protocol/MirpEncoder.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "tests/mirp/RecordingStream.h"
#include "velta/source/task/ListHead.h"

using namespace BRAX::KORV;
using namespace KORV;
using namespace KORV::USER;
using Entry = KorvUserTopic::InstrumentMarketData;

namespace {

const int INSTRUMENTS = 5;

// One event of any kind, for one instrument.
struct Event {
    int instrument;
    uint16_t id;
    MIRP_MDEntryEvent level;
    MIRP_TradeSlice slice;
    int32_t price;  // daily price offset
    MIRP_Delta delta;
};

void define(KorvUserTopic& topic)
{
    for (int no = 0; no < INSTRUMENTS; ++no) {
        MDQP_TopicInstrument instrument{};
        snprintf(instrument.InstrumentID, sizeof(instrument.InstrumentID), "R%d", no);
        instrument.PriceTick = 0.25 * (no + 1);
        instrument.TradeBasePrice = 1000 + no;
        instrument.VolumeMultiple = 5;
        instrument.InstrumentNo = no;
        topic.handle_instrument(&instrument);
        MDQP_TopicMarketData data{};
        data.InstrumentNo = no;
        data.LevelBasePrice = 900 + no;
        topic.handle_market_data(&data);
    }
    topic.set_market_data_depth(MAX_LEVEL);
    topic.commit();
}

// The seven daily prices share one layout; the field id tells them apart.
template <typename T>
void apply_price(KorvUserTopic& topic, int no, int32_t offset)
{
    T price = {offset};
    topic.handle_daily_price(no, &price);
}

void apply(KorvUserTopic& topic, const Event& e)
{
    switch (e.id) {
        case MIRP_FID_MDEntryEvent:
            topic.handle_md_entry_event(e.instrument, &e.level);
            break;
        case MIRP_FID_TradeSlice:
            topic.handle_trade_slice(e.instrument, &e.slice);
            break;
        case MIRP_FID_HighPrice:
            apply_price<MIRP_HighPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_LowPrice:
            apply_price<MIRP_LowPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_OpenPrice:
            apply_price<MIRP_OpenPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_ClosePrice:
            apply_price<MIRP_ClosePrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_UpperLimitPrice:
            apply_price<MIRP_UpperLimitPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_LowerLimitPrice:
            apply_price<MIRP_LowerLimitPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_SettlementPrice:
            apply_price<MIRP_SettlementPrice>(topic, e.instrument, e.price);
            break;
        case MIRP_FID_Delta:
            topic.handle_delta(e.instrument, &e.delta);
            break;
    }
}

void encode(MirpEncoder& encoder, const Event& e)
{
    int ret = 0;
    if (e.id == MIRP_FID_MDEntryEvent)
        ret =
            encoder.append_field(e.id, CODEC_MDEntryEvent::field_encode, &e.level, sizeof(e.level));
    else if (e.id == MIRP_FID_TradeSlice)
        ret = encoder.append_field(e.id, CODEC_TradeSlice::field_encode, &e.slice, sizeof(e.slice));
    else if (e.id == MIRP_FID_Delta)
        ret = encoder.append_field(e.id, CODEC_Ratio::field_encode, &e.delta, sizeof(e.delta));
    else
        ret =
            encoder.append_field(e.id, CODEC_PriceOffset::field_encode, &e.price, sizeof(e.price));
    ASSERT_EQ(ret, 0);
}

// Runs of events for one instrument at a time, so that groups hold several.
std::vector<Event> random_events(std::mt19937& rng, int count)
{
    std::uniform_int_distribution<int> instrument(0, INSTRUMENTS - 1);
    std::uniform_int_distribution<int> run(1, 8);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int32_t> any32(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> small(-500, 500);
    std::uniform_int_distribution<int64_t> turnover(-(1LL << 40), 1LL << 40);
    std::uniform_int_distribution<int> level(1, MAX_LEVEL + 2);
    std::uniform_real_distribution<double> delta(-1.0, 1.0);
    const char events[] = {'1', '1', '2', '3', '9'};
    const char sides[] = {'0', '1', '7'};
    std::vector<Event> out;
    while (static_cast<int>(out.size()) < count) {
        int no = instrument(rng);
        for (int n = run(rng); n > 0; --n) {
            Event e = {};
            e.instrument = no;
            int k = kind(rng);
            if (k < 2) {
                e.id = MIRP_FID_TradeSlice;
                e.slice = {small(rng), small(rng), turnover(rng), turnover(rng)};
            } else if (k < 9) {
                e.id = MIRP_FID_MDEntryEvent;
                e.level = {events[rng() % 5], sides[rng() % 3],
                           level(rng),        k == 8 ? any32(rng) : small(rng),
                           small(rng),        any32(rng)};
            } else {
                int which = static_cast<int>(rng() % 8);
                if (which == 7) {
                    e.id = MIRP_FID_Delta;
                    e.delta.Delta = delta(rng);
                } else {
                    e.id = static_cast<uint16_t>(MIRP_FID_HighPrice + which);
                    e.price = any32(rng);
                }
            }
            out.push_back(e);
        }
    }
    return out;
}

// Encodes the events as one sequence, groups split wherever the instrument
// changes; the packets land in stream.
void encode_sequence(MirpEncoder& encoder, const std::vector<Event>& events, int snap_no)
{
    unsigned int seconds = 1700000000;
    encoder.prepare(MIRP_TYPE_MarketEvent, static_cast<unsigned>(snap_no), seconds, 5);
    int current = -1;
    for (const Event& e : events) {
        if (e.instrument != current) {
            InstrumentEventContext context = {e.instrument, 0};
            ASSERT_EQ(encoder.append_field(MIRP_FID_InstrumentEventHeader,
                                           CODEC_InstrumentEventHeader::field_encode, &context,
                                           sizeof(context)),
                      0);
            current = e.instrument;
        }
        encode(encoder, e);
    }
    ASSERT_EQ(encoder.flush(), 0);
}

// What a receiver does with each packet: validate, decipher, apply, commit
// at the end of a sequence. Returns the number of commits.
int receive(const std::vector<std::vector<char>>& packets, KorvUserTopic& topic)
{
    PlainCipher cipher;
    int commits = 0;
    for (const std::vector<char>& bytes : packets) {
        MirpPacket packet(Packet(bytes.data(), static_cast<int>(bytes.size())));
        EXPECT_EQ(packet.valid_packet(), static_cast<int>(bytes.size()));
        unsigned char plain[1232];
        unsigned long plain_len = sizeof(plain);
        EXPECT_EQ(cipher.decrypt(reinterpret_cast<const unsigned char*>(packet.data()),
                                 packet.length(), plain, plain_len),
                  0);
        topic.set_snap_no(packet.const_header()->SnapNo);
        topic.set_snap_time(packet.const_header()->SnapSeconds,
                            packet.const_header()->SnapMillisec);
        Packet body(reinterpret_cast<char*>(plain), static_cast<int>(plain_len));
        EXPECT_EQ(parse_snap_events(body, &topic), 0);
        if ((packet.flag() & MIRP_FLAG_CONTINUE) == 0) {
            topic.commit();
            ++commits;
        }
    }
    return commits;
}

void expect_same_table(const PriceEntryTable& a, const PriceEntryTable& b)
{
    ASSERT_EQ(a.get_count(), b.get_count());
    for (int i = 0; i < a.get_count(); ++i) {
        EXPECT_EQ(a.get_entries()[i].Price, b.get_entries()[i].Price) << i;
        EXPECT_EQ(a.get_entries()[i].Volume, b.get_entries()[i].Volume) << i;
    }
}

void expect_same_book(const KorvUserTopic& a, const KorvUserTopic& b)
{
    for (int no = 0; no < INSTRUMENTS; ++no) {
        SCOPED_TRACE(no);
        const Entry& x = *a.get_instrument(no);
        const Entry& y = *b.get_instrument(no);
        EXPECT_EQ(x.MarketData.LastPrice, y.MarketData.LastPrice);
        EXPECT_EQ(x.MarketData.Volume, y.MarketData.Volume);
        EXPECT_EQ(x.MarketData.Turnover, y.MarketData.Turnover);
        EXPECT_EQ(x.MarketData.OpenInterest, y.MarketData.OpenInterest);
        EXPECT_EQ(x.MarketData.HighPrice, y.MarketData.HighPrice);
        EXPECT_EQ(x.MarketData.LowPrice, y.MarketData.LowPrice);
        EXPECT_EQ(x.MarketData.OpenPrice, y.MarketData.OpenPrice);
        EXPECT_EQ(x.MarketData.ClosePrice, y.MarketData.ClosePrice);
        EXPECT_EQ(x.MarketData.SettlementPrice, y.MarketData.SettlementPrice);
        EXPECT_EQ(x.MarketData.UpperLimitPrice, y.MarketData.UpperLimitPrice);
        EXPECT_EQ(x.MarketData.LowerLimitPrice, y.MarketData.LowerLimitPrice);
        EXPECT_EQ(x.MarketData.Delta, y.MarketData.Delta);
        expect_same_table(x.BidTable, y.BidTable);
        expect_same_table(x.AskTable, y.AskTable);
    }
}

// One market event packet written out by hand: the 24-byte header, then one
// instrument group that holds every kind of event, each field as id, size
// and content. Every value is distinct, so a swapped field id or element
// lands in the wrong place.
// clang-format off
const unsigned char LITERAL_PACKET[] = {
    0x01,                    // version 1, CONTINUE clear
    0x01,                    // market event
    0x57, 0x00,              // ContentLength 87
    0x04, 0x03, 0x02, 0x01,  // PacketNo 0x01020304
    0x06, 0x05,              // TopicID 0x0506
    0x03, 0x02,              // SnapMillisec 515
    0x0D, 0x0C, 0x0B, 0x0A,  // SnapNo 0x0A0B0C0D
    0x00, 0xF1, 0x53, 0x65,  // SnapSeconds 1700000000
    0x08, 0x07,              // TradingDay 0x0708
    0x00, 0x00,              // reserved
    // Instrument event header: InstrumentNo 2, HeaderAttr1 -3.
    0x03, 0x00, 0x02, 0x00, 0x04, 0x05,
    // Level event: new, bid, level 1, offset -7, volume 300, attribute 64.
    0x01, 0x10, 0x08, 0x00, 0x31, 0x30, 0x02, 0x0D, 0xD8, 0x04, 0x80, 0x01,
    // Level event: new, ask, level 1, offset 9, volume 5, attribute 0.
    0x01, 0x10, 0x06, 0x00, 0x31, 0x31, 0x02, 0x12, 0x0A, 0x00,
    // Trade slice: last price offset 12, volume 3, turnover offset 2^33,
    // open interest change -2.
    0x02, 0x10, 0x08, 0x00, 0x18, 0x06, 0x80, 0x80, 0x80, 0x80, 0x40, 0x03,
    0x11, 0x10, 0x01, 0x00, 0x28,  // high price offset 20
    0x12, 0x10, 0x01, 0x00, 0x07,  // low price offset -4
    0x13, 0x10, 0x01, 0x00, 0x0A,  // open price offset 5
    0x14, 0x10, 0x01, 0x00, 0x0C,  // close price offset 6
    0x15, 0x10, 0x01, 0x00, 0x50,  // upper limit price offset 40
    0x16, 0x10, 0x01, 0x00, 0x4F,  // lower limit price offset -40
    0x17, 0x10, 0x01, 0x00, 0x0E,  // settlement price offset 7
    // Delta 0.375.
    0x18, 0x10, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD8, 0x3F,
};
// clang-format on

std::string hex(const std::vector<char>& bytes)
{
    std::string out;
    char digits[4];
    for (char c : bytes) {
        snprintf(digits, sizeof(digits), "%02X ", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

}  // namespace

TEST(MirpWireVector, LiteralPacketLandsInTheBookFieldByField)
{
    KorvUserTopic topic(0x0506);
    define(topic);
    ListHead updated;
    ASSERT_EQ(topic.fetch_updated(updated), 0);
    while (!updated.empty())
        updated.head()->detach();
    std::vector<std::vector<char>> packets{
        std::vector<char>(LITERAL_PACKET, LITERAL_PACKET + sizeof(LITERAL_PACKET))};
    EXPECT_EQ(receive(packets, topic), 1);
    EXPECT_EQ(topic.get_snap_no(), 0x0A0B0C0D);
    EXPECT_EQ(topic.get_snap_time()->SnapMillisec, 515);

    ASSERT_EQ(topic.fetch_updated(updated), 0);
    EXPECT_EQ(updated.head(), updated.tail()) << "only one instrument changed";
    EXPECT_EQ(static_cast<Entry*>(updated.head())->InstrumentNo, 2);
    while (!updated.empty())
        updated.head()->detach();

    // Instrument 2: PriceTick 0.75, TradeBasePrice 1002, LevelBasePrice 902,
    // VolumeMultiple 5, and everything else 0 before the packet.
    const Entry& e = *topic.get_instrument(2);
    ASSERT_EQ(e.BidTable.get_count(), 1);
    EXPECT_EQ(e.BidTable.get_entries()[0].Price, 896.75);  // -7 x 0.75 + 902
    EXPECT_EQ(e.BidTable.get_entries()[0].Volume, 300);
    ASSERT_EQ(e.AskTable.get_count(), 1);
    EXPECT_EQ(e.AskTable.get_entries()[0].Price, 908.75);  // 9 x 0.75 + 902
    EXPECT_EQ(e.AskTable.get_entries()[0].Volume, 5);
    const MDQP_TopicMarketData& d = e.MarketData;
    EXPECT_EQ(d.LastPrice, 1011.0);  // 12 x 0.75 + 1002
    EXPECT_EQ(d.Volume, 3);
    EXPECT_EQ(d.Turnover, 32212269750.0);  // 5 x (2^33 x 0.75 + 3 x 1002)
    EXPECT_EQ(d.OpenInterest, -2.0);
    EXPECT_EQ(d.HighPrice, 1017.0);
    EXPECT_EQ(d.LowPrice, 999.0);
    EXPECT_EQ(d.OpenPrice, 1005.75);
    EXPECT_EQ(d.ClosePrice, 1006.5);
    EXPECT_EQ(d.UpperLimitPrice, 1032.0);
    EXPECT_EQ(d.LowerLimitPrice, 972.0);
    EXPECT_EQ(d.SettlementPrice, 1007.25);
    EXPECT_EQ(d.Delta, 0.375);
    EXPECT_EQ(d.UpdateMillisec, 515);
}

TEST(MirpWireVector, EncoderWritesTheLiteralPacket)
{
    RecordingStream stream(0x01020303);
    MirpEncoder encoder(0x0506, new PlainCipher(), &stream);
    encoder.set_trading_day(0x0708);
    unsigned int seconds = 1700000000;
    encoder.prepare(MIRP_TYPE_MarketEvent, 0x0A0B0C0D, seconds, 515);
    InstrumentEventContext context = {2, -3};
    ASSERT_EQ(
        encoder.append_field(MIRP_FID_InstrumentEventHeader,
                             CODEC_InstrumentEventHeader::field_encode, &context, sizeof(context)),
        0);
    std::vector<Event> events(11);
    events[0].id = MIRP_FID_MDEntryEvent;
    events[0].level = {'1', '0', 1, -7, 300, 64};
    events[1].id = MIRP_FID_MDEntryEvent;
    events[1].level = {'1', '1', 1, 9, 5, 0};
    events[2].id = MIRP_FID_TradeSlice;
    events[2].slice = {12, 3, 1LL << 33, -2};
    const uint16_t ids[] = {MIRP_FID_HighPrice,       MIRP_FID_LowPrice,
                            MIRP_FID_OpenPrice,       MIRP_FID_ClosePrice,
                            MIRP_FID_UpperLimitPrice, MIRP_FID_LowerLimitPrice,
                            MIRP_FID_SettlementPrice};
    const int32_t prices[] = {20, -4, 5, 6, 40, -40, 7};
    for (int i = 0; i < 7; ++i) {
        events[3 + i].id = ids[i];
        events[3 + i].price = prices[i];
    }
    events[10].id = MIRP_FID_Delta;
    events[10].delta.Delta = 0.375;
    for (const Event& e : events)
        encode(encoder, e);
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream.m_packets.size(), 1u);
    EXPECT_EQ(hex(stream.m_packets[0]),
              hex(std::vector<char>(LITERAL_PACKET, LITERAL_PACKET + sizeof(LITERAL_PACKET))));
}

TEST(MirpRoundTrip, SplitSequenceCommitsOnceWithEveryEventApplied)
{
    std::mt19937 rng(7);
    std::vector<Event> events = random_events(rng, 400);
    RecordingStream stream(100);
    MirpEncoder encoder(1, new PlainCipher(), &stream);
    encode_sequence(encoder, events, 3);
    ASSERT_GT(stream.m_packets.size(), 1u);
    EXPECT_EQ(encoder.header().SnapNo, 4);
    for (size_t i = 0; i < stream.m_packets.size(); ++i) {
        MirpHeader header;
        memcpy(&header, stream.m_packets[i].data(), MIRP_HLEN);
        EXPECT_EQ(header.PacketNo, 101 + i);
        EXPECT_EQ(header.Flag, i + 1 < stream.m_packets.size() ? MIRP_FLAG_CONTINUE : 0);
    }

    KorvUserTopic direct(1), received(1);
    define(direct);
    define(received);
    for (const Event& e : events)
        apply(direct, e);
    direct.commit();

    EXPECT_EQ(receive(stream.m_packets, received), 1);
    EXPECT_EQ(received.get_snap_no(), 3);
    expect_same_book(direct, received);
}

// Random event sequences, encoded and decoded, leave the same book as the
// records applied directly.
TEST(MirpRoundTrip, RandomSequencesGiveTheSameBook)
{
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<int> length(0, 300);
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        RecordingStream stream(round * 1000);
        MirpEncoder encoder(1, new PlainCipher(), &stream);
        KorvUserTopic direct(1), received(1);
        define(direct);
        define(received);
        int sequences = 1 + static_cast<int>(rng() % 3);
        for (int s = 0; s < sequences; ++s) {
            std::vector<Event> events = random_events(rng, length(rng));
            encode_sequence(encoder, events, s);
            for (const Event& e : events)
                apply(direct, e);
            if (!events.empty())
                direct.commit();
        }
        receive(stream.m_packets, received);
        expect_same_book(direct, received);
        if (HasFailure())
            break;
    }
}
