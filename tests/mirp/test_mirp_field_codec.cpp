#include "source/mirp_protocol/MirpFieldCodec.h"

#include <gtest/gtest.h>

#include <vector>

using namespace BRAX::KORV;
using namespace KORV;
using KORV::USER::InstrumentEventContext;

namespace {

typedef std::vector<unsigned char> Bytes;

// One field: header then content.
Bytes field(uint16_t id, const Bytes& content, int size = -1)
{
    uint16_t field_size = static_cast<uint16_t>(size < 0 ? content.size() : size);
    // Sized once and filled in place: growing a 4-byte vector by insert
    // trips a false array-bounds warning of GCC 12 in optimised builds.
    Bytes out(4 + content.size());
    memcpy(out.data(), &id, 2);
    memcpy(out.data() + 2, &field_size, 2);
    if (!content.empty())
        memcpy(out.data() + 4, content.data(), content.size());
    return out;
}

template <typename CODEC, typename Record>
Bytes encode(const Record& record)
{
    Bytes out(64, 0xEE);
    int n = CODEC::field_encode(out.data(), 64, &record);
    EXPECT_GT(n, 0);
    out.resize(n > 0 ? n : 0);
    return out;
}

Packet view(Bytes& bytes)
{
    return Packet(reinterpret_cast<char*>(bytes.data()), static_cast<int>(bytes.size()));
}

}  // namespace

// Each codec's content written out by hand: the elements in record order,
// zigzag varints least significant group first, chars and doubles as they
// stand. Values are distinct, so a swapped element cannot decode to the same
// record, and several take more than one group.
TEST(CodecWireVectors, InstrumentEventHeader)
{
    // InstrumentNo 300, HeaderAttr1 -65.
    const Bytes wire{0xD8, 0x04, 0x81, 0x01};
    InstrumentEventContext record = {};
    EXPECT_EQ(CODEC_InstrumentEventHeader::field_decode(wire.data(), 4, &record), 4);
    EXPECT_EQ(record.InstrumentNo, 300);
    EXPECT_EQ(record.HeaderAttr1, -65);
    EXPECT_EQ(encode<CODEC_InstrumentEventHeader>(record), wire);
}

TEST(CodecWireVectors, MDEntryEvent)
{
    {
        const Bytes wire{0x31, 0x30, 0x02, 0x08, 0x14, 0x00};
        MIRP_MDEntryEvent record = {};
        EXPECT_EQ(CODEC_MDEntryEvent::field_decode(wire.data(), 6, &record), 6);
        EXPECT_EQ(record.EventType, '1');
        EXPECT_EQ(record.EntryType, '0');
        EXPECT_EQ(record.PriceLevel, 1);
        EXPECT_EQ(record.PriceOffset, 4);
        EXPECT_EQ(record.Volume, 10);
        EXPECT_EQ(record.EventAttr1, 0);
        EXPECT_EQ(encode<CODEC_MDEntryEvent>(record), wire);
    }
    // '2' change, '1' ask, level 20, offset INT32_MIN, volume 8192, attr -1.
    const Bytes wire{0x32, 0x31, 0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x80, 0x80, 0x01, 0x01};
    MIRP_MDEntryEvent record = {};
    EXPECT_EQ(CODEC_MDEntryEvent::field_decode(wire.data(), 12, &record), 12);
    EXPECT_EQ(record.EventType, '2');
    EXPECT_EQ(record.EntryType, '1');
    EXPECT_EQ(record.PriceLevel, 20);
    EXPECT_EQ(record.PriceOffset, INT32_MIN);
    EXPECT_EQ(record.Volume, 8192);
    EXPECT_EQ(record.EventAttr1, -1);
    EXPECT_EQ(encode<CODEC_MDEntryEvent>(record), wire);
}

TEST(CodecWireVectors, TradeSlice)
{
    // LastPriceOffset -1, Volume INT32_MAX, TurnoverOffset 5000000000,
    // OpenInterestChange -300.
    const Bytes wire{0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0x80, 0xC8, 0xAF, 0xA0, 0x25, 0xD7, 0x04};
    MIRP_TradeSlice record = {};
    EXPECT_EQ(CODEC_TradeSlice::field_decode(wire.data(), 13, &record), 13);
    EXPECT_EQ(record.LastPriceOffset, -1);
    EXPECT_EQ(record.Volume, INT32_MAX);
    EXPECT_EQ(record.TurnoverOffset, 5000000000LL);
    EXPECT_EQ(record.OpenInterestChange, -300);
    EXPECT_EQ(encode<CODEC_TradeSlice>(record), wire);
}

TEST(CodecWireVectors, PriceOffsetServesEveryDailyPrice)
{
    // PriceOffset -70000.
    const Bytes wire{0xDF, 0xC5, 0x08};
    MIRP_LowPrice low = {};
    EXPECT_EQ(CODEC_PriceOffset::field_decode(wire.data(), 3, &low), 3);
    EXPECT_EQ(low.PriceOffset, -70000);
    EXPECT_EQ(encode<CODEC_PriceOffset>(low), wire);
    MIRP_SettlementPrice settlement = {-70000};
    EXPECT_EQ(encode<CODEC_PriceOffset>(settlement), wire);
}

TEST(CodecWireVectors, RatioIsTheLittleEndianDouble)
{
    const Bytes wire{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0};
    MIRP_Delta record = {};
    EXPECT_EQ(CODEC_Ratio::field_decode(wire.data(), 8, &record), 8);
    EXPECT_EQ(record.Delta, -2.5);
    EXPECT_EQ(encode<CODEC_Ratio>(record), wire);
}

TEST(Codec, EncodeRefusesABufferBelowTheBoundAndWritesNothing)
{
    unsigned char out[64];
    memset(out, 0xEE, sizeof(out));
    InstrumentEventContext header = {1, 2};
    MIRP_MDEntryEvent event = {'1', '0', 1, 4, 10, 0};
    MIRP_TradeSlice slice = {1, 2, 3, 4};
    MIRP_LowPrice low = {5};
    MIRP_Delta delta = {0.5};
    EXPECT_EQ(CODEC_InstrumentEventHeader::field_encode(out, 9, &header), -6);
    EXPECT_EQ(CODEC_InstrumentEventHeader::field_encode(out, 10, &header), 2);
    EXPECT_EQ(CODEC_MDEntryEvent::field_encode(out, 24, &event), -6);
    EXPECT_EQ(CODEC_MDEntryEvent::field_encode(out, 25, &event), 6);
    EXPECT_EQ(CODEC_TradeSlice::field_encode(out, 29, &slice), -6);
    EXPECT_EQ(CODEC_PriceOffset::field_encode(out, 4, &low), -6);
    EXPECT_EQ(CODEC_Ratio::field_encode(out, 9, &delta), -6);
    EXPECT_EQ(CODEC_Ratio::field_encode(out, -1, &delta), 8);  // -1 taken as unsigned is huge
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(CODEC_TradeSlice::field_encode(out, 29, &slice), -6);
    EXPECT_EQ(out[0], 0xEE);
}

TEST(Codec, LongestContentFitsTheBound)
{
    const Bytes min32{0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    const Bytes min64{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    Bytes out(64, 0xEE);
    MIRP_MDEntryEvent event = {'3', '1', INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
    ASSERT_EQ(CODEC_MDEntryEvent::field_encode(out.data(), 25, &event), 22);
    Bytes expected{0x33, 0x31};
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), min32.begin(), min32.end());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 22), expected);

    MIRP_TradeSlice slice = {INT32_MIN, INT32_MIN, INT64_MIN, INT64_MIN};
    ASSERT_EQ(CODEC_TradeSlice::field_encode(out.data(), 30, &slice), 30);
    expected = min32;
    expected.insert(expected.end(), min32.begin(), min32.end());
    expected.insert(expected.end(), min64.begin(), min64.end());
    expected.insert(expected.end(), min64.begin(), min64.end());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 30), expected);
    MIRP_TradeSlice back = {};
    EXPECT_EQ(CODEC_TradeSlice::field_decode(expected.data(), 30, &back), 30);
    EXPECT_EQ(back.LastPriceOffset, INT32_MIN);
    EXPECT_EQ(back.Volume, INT32_MIN);
    EXPECT_EQ(back.TurnoverOffset, INT64_MIN);
    EXPECT_EQ(back.OpenInterestChange, INT64_MIN);
}

TEST(MirpGetField, TrailingContentIsDroppedWithTheField)
{
    Bytes bytes = field(MIRP_FID_MDEntryEvent, {0x31, 0x30, 0x02, 0x08, 0x14, 0x00, 0x77, 0x77});
    Bytes next = field(MIRP_FID_HighPrice, {0x04});
    bytes.insert(bytes.end(), next.begin(), next.end());
    Packet packet = view(bytes);
    MIRP_MDEntryEvent event;
    EXPECT_EQ(mirp_get_field<CODEC_MDEntryEvent>(event, packet), 0);
    EXPECT_EQ(packet.data(), reinterpret_cast<char*>(bytes.data()) + 12);
    MIRP_HighPrice high;
    EXPECT_EQ(mirp_get_field<CODEC_PriceOffset>(high, packet), 0);
    EXPECT_EQ(high.PriceOffset, 2);
    EXPECT_EQ(packet.length(), 0u);
}

TEST(MirpGetField, ShortDoubleIsIncomplete)
{
    Bytes bytes = field(MIRP_FID_Delta, {0, 0, 0, 0, 0, 0, 0});
    Packet packet = view(bytes);
    MIRP_Delta delta = {1.0};
    EXPECT_EQ(mirp_get_field<CODEC_Ratio>(delta, packet), -20);
    EXPECT_EQ(delta.Delta, 1.0);
}

// Every truncation of a valid field is refused, and the decoder never looks
// beyond the bytes it was given: the copy is exactly the truncated length, so
// the address sanitizer catches any read past it.
TEST(MirpGetField, EveryTruncationIsRefusedWithoutReadingPastIt)
{
    // LastPriceOffset -123456, Volume 77, TurnoverOffset 2^40, OpenInterestChange -2^35.
    Bytes whole = field(0x1002, {0xFF, 0x88, 0x0F, 0x9A, 0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x40,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    for (size_t n = 0; n < whole.size(); ++n) {
        Bytes cut(whole.begin(), whole.begin() + static_cast<long>(n));
        Packet packet = view(cut);
        MIRP_TradeSlice out;
        // The header or the content runs past the view.
        EXPECT_EQ(mirp_get_field<CODEC_TradeSlice>(out, packet), -9) << n;
    }
    // A field whose size is honest but whose content stops early.
    for (size_t k = 0; k + 4 < whole.size(); ++k) {
        Bytes content(whole.begin() + 4, whole.begin() + 4 + static_cast<long>(k));
        Bytes bytes = field(MIRP_FID_TradeSlice, content);
        Packet packet = view(bytes);
        MIRP_TradeSlice out;
        EXPECT_EQ(mirp_get_field<CODEC_TradeSlice>(out, packet), -20) << k;
    }
    Packet packet = view(whole);
    MIRP_TradeSlice out;
    ASSERT_EQ(mirp_get_field<CODEC_TradeSlice>(out, packet), 0);
    EXPECT_EQ(out.LastPriceOffset, -123456);
    EXPECT_EQ(out.Volume, 77);
    EXPECT_EQ(out.TurnoverOffset, 1LL << 40);
    EXPECT_EQ(out.OpenInterestChange, -(1LL << 35));
}

TEST(MirpGetField, OverlongVarintInsideTheFieldIsAFormatError)
{
    Bytes bytes = field(MIRP_FID_InstrumentEventHeader, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00});
    Packet packet = view(bytes);
    InstrumentEventContext context;
    EXPECT_EQ(mirp_get_field<CODEC_InstrumentEventHeader>(context, packet), -9);
}

// With the rest of a body behind a field, the codec reads on past the field's
// size and checks it once; a field that declares less than its content needs
// must still be refused exactly as when the bytes end there, and leave the
// record and the view as they were.
TEST(MirpGetField, ContentPastTheDeclaredSizeIsRefusedWithMoreBytesBehind)
{
    // PriceLevel 300 and Volume -70000 take several groups each.
    const Bytes content{0x31, 0x30, 0xD8, 0x04, 0x08, 0xDF, 0xC5, 0x08, 0x00};
    Bytes behind(40, 0x01);
    for (size_t k = 0; k < content.size(); ++k) {
        Bytes bytes = field(MIRP_FID_MDEntryEvent, content, int(k));
        bytes.insert(bytes.end(), behind.begin(), behind.end());
        Packet packet = view(bytes);
        MIRP_MDEntryEvent event = {'x', 'y', 7, 7, 7, 7};
        EXPECT_EQ(mirp_get_field<CODEC_MDEntryEvent>(event, packet), -20) << k;
        EXPECT_EQ(packet.length(), bytes.size()) << k;
        EXPECT_EQ(event.PriceLevel, 7) << k;
    }
    Bytes bytes = field(MIRP_FID_MDEntryEvent, content);
    bytes.insert(bytes.end(), behind.begin(), behind.end());
    Packet packet = view(bytes);
    MIRP_MDEntryEvent event;
    ASSERT_EQ(mirp_get_field<CODEC_MDEntryEvent>(event, packet), 0);
    EXPECT_EQ(event.PriceLevel, 300);
    EXPECT_EQ(event.PriceOffset, 4);
    EXPECT_EQ(event.Volume, -70000);
    EXPECT_EQ(event.EventAttr1, 0);
    EXPECT_EQ(packet.length(), behind.size());
}

// An integer longer than its type's longest form is a format error whether
// the field ends inside it or the body goes on behind it.
TEST(MirpGetField, OverlongVarintWithMoreBytesBehindIsAFormatError)
{
    Bytes overlong32 = field(MIRP_FID_HighPrice, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00});
    Bytes overlong64 = field(MIRP_FID_TradeSlice, {0x00, 0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                   0x80, 0x80, 0x80, 0x80, 0x00, 0x00});
    for (Bytes* bytes : {&overlong32, &overlong64})
        bytes->insert(bytes->end(), 40, 0x00);
    Packet packet = view(overlong32);
    MIRP_HighPrice high;
    EXPECT_EQ(mirp_get_field<CODEC_PriceOffset>(high, packet), -9);
    packet = view(overlong64);
    MIRP_TradeSlice slice;
    EXPECT_EQ(mirp_get_field<CODEC_TradeSlice>(slice, packet), -9);
}
