#include "source/mdqp_protocol/MdqpFields.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "velta/source/base/PacketBufferExt.h"

using namespace BRAX::KORV;

namespace {

using Bytes = std::vector<unsigned char>;

// A heap copy of exactly the given bytes, so that reading one byte past
// them is caught by the address sanitizer.
struct Exact {
    explicit Exact(const Bytes& bytes, size_t n)
        : m_data(new char[n > 0 ? n : 1]), m_size(static_cast<int>(n))
    {
        if (n > 0)
            memcpy(m_data.get(), bytes.data(), n);
    }
    const char* data() const { return m_data.get(); }
    int size() const { return m_size; }
    std::unique_ptr<char[]> m_data;
    int m_size;
};

Bytes to_bytes(const Packet& p)
{
    const unsigned char* d = reinterpret_cast<const unsigned char*>(p.data());
    return Bytes(d, d + p.length());
}

void put_field(Bytes& body, uint16_t id, const Bytes& field)
{
    body.push_back(id & 0xff);
    body.push_back(id >> 8);
    body.push_back(field.size() & 0xff);
    body.push_back(field.size() >> 8);
    body.insert(body.end(), field.begin(), field.end());
}

// Builds one packet in place the way a sender does: body first, header
// prepended into the headroom.
template <class T>
Bytes build_packet(uint8_t trans_id, uint32_t request_id, int flag, const T& record)
{
    PacketBufferExt<512> buffer;
    buffer.reset(256);
    EXPECT_EQ(append_field_le(&buffer, record), 0);
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.flag = flag;
    header.trans_id = trans_id;
    header.request_id = request_id;
    header.content_length = static_cast<uint16_t>(buffer.length());
    header.to_stream(buffer.alloc(MDQP_HLEN));
    return to_bytes(buffer);
}

MDQP_TopicSnapTag snap_request(short topic)
{
    MDQP_TopicSnapTag tag{};
    tag.TopicID = topic;
    tag.SnapNo = -1;
    return tag;
}

}  // namespace

TEST(MdqpPacketFormat, HeartbeatIsEightBytes)
{
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.trans_id = MDQP_TID_Heartbeat;
    char out[MDQP_HLEN];
    header.to_stream(out);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0}));

    MdqpPacket packet(Packet(out, 8));
    EXPECT_EQ(packet.valid_packet(), 8);
    EXPECT_EQ(packet.trans_id(), 0);
    EXPECT_EQ(packet.length(), 0u);
}

TEST(MdqpPacketFormat, SnapshotRequestForTopic1001)
{
    Bytes expected{0x01, 0x31, 0x0A, 0x00, 0x78, 0x56, 0x34, 0x12, 0x01,
                   0x10, 0x06, 0x00, 0xE9, 0x03, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(build_packet(MDQP_TID_ReqQryTopicSnap, 0x12345678, 0, snap_request(1001)), expected);
    Bytes more =
        build_packet(MDQP_TID_ReqQryTopicSnap, 0x12345678, MDQP_FLAG_CONTINUE, snap_request(1001));
    EXPECT_EQ(more[0], 0x11);

    Exact stream(expected, expected.size());
    MdqpPacket packet(Packet(stream.data(), stream.size()));
    ASSERT_EQ(packet.valid_packet(), 18);
    EXPECT_EQ(packet.trans_id(), MDQP_TID_ReqQryTopicSnap);
    EXPECT_EQ(packet.flag(), 0);
    EXPECT_EQ(packet.request_id(), 0x12345678u);
    MDQP_TopicSnapTag tag{};
    ASSERT_EQ(get_first_field(&packet, tag), 0);
    EXPECT_EQ(tag.TopicID, 1001);
    EXPECT_EQ(tag.SnapNo, -1);
}

TEST(MdqpPacketFormat, EveryTruncationWaitsForMoreAndConsumesNothing)
{
    Bytes whole = build_packet(MDQP_TID_ReqQryTopicSnap, 7, 0, snap_request(1001));
    for (size_t n = 0; n < whole.size(); ++n) {
        Exact stream(whole, n);
        MdqpPacket packet(Packet(stream.data(), stream.size()));
        EXPECT_EQ(packet.valid_packet(), -1) << n;
        EXPECT_EQ(packet.data(), stream.data());
        EXPECT_EQ(packet.length(), n);
    }
}

TEST(MdqpPacketFormat, PacketStopsAtItsContentLengthInALongerStream)
{
    Bytes stream = build_packet(MDQP_TID_RspUserLogin, 1, 0, snap_request(1));
    stream[2] = 0;  // content_length 0: a valid packet with no fields
    stream.push_back(0xAB);
    MdqpPacket packet(Packet(reinterpret_cast<char*>(stream.data()), int(stream.size())));
    EXPECT_EQ(packet.valid_packet(), 8);
    EXPECT_EQ(packet.length(), 0u);
    EXPECT_TRUE(FieldIterator(packet.data(), 0, 0).is_end());
}

TEST(MdqpFieldList, IteratesFiltersAndStopsAtOverrunningField)
{
    Bytes body;
    put_field(body, 1, {1, 2, 3});
    put_field(body, 0x101, {});
    put_field(body, 0x102, {9});
    Bytes bad = body;
    bad.insert(bad.end(), {0x03, 0x01, 0x09, 0x00, 0xEE});  // size 9, one byte there

    Exact all(bad, bad.size());
    std::vector<int> ids, sizes;
    FieldIterator it(all.data(), all.size(), 0);
    for (; !it.is_end(); it.next()) {
        ids.push_back(it.id());
        sizes.push_back(it.size());
    }
    EXPECT_EQ(ids, (std::vector<int>{1, 0x101, 0x102}));
    EXPECT_EQ(sizes, (std::vector<int>{3, 0, 1}));
    EXPECT_EQ(it.data_remain(), 0);

    FieldIterator only(all.data(), all.size(), 0x102);
    ASSERT_FALSE(only.is_end());
    EXPECT_EQ(only.data()[0], 9);
    only.next();
    EXPECT_TRUE(only.is_end());

    EXPECT_TRUE(FieldIterator(all.data(), all.size(), 0x1004).is_end());
    MDQP_MirpPakcetNo packet_no{};
    EXPECT_EQ(get_first_field(all.data(), all.size(), packet_no), EC_ACCESS);
    EXPECT_TRUE(FieldIterator(nullptr, 0, 0).is_end());

    Packet field(all.data() + 16, 5);
    FieldHeaderLe header{};
    EXPECT_EQ(header.from_stream(&field), EC_FORMAT);
    EXPECT_EQ(field.length(), 5u);
}

TEST(MdqpFieldList, TruncatedListsDeliverOnlyWholeFields)
{
    Bytes body;
    put_field(body, 1, {1, 2, 3});     // ends at 7
    put_field(body, 2, {});            // ends at 11
    put_field(body, 3, {4, 5, 6, 7});  // ends at 19
    for (size_t n = 0; n <= body.size(); ++n) {
        Exact list(body, n);
        int count = 0;
        for (FieldIterator it(list.data(), list.size(), 0); !it.is_end(); it.next()) {
            EXPECT_LE(it.data() + it.size(), list.data() + list.size());
            ++count;
        }
        EXPECT_EQ(count, (n >= 7) + (n >= 11) + (n >= 19)) << n;
    }
}

namespace {

template <class T>
Bytes encode(const T& record)
{
    Bytes out(T::stream_size() + 8, 0xCC);
    EXPECT_EQ(record.to_stream(reinterpret_cast<char*>(out.data())), T::stream_size());
    EXPECT_EQ(out[T::stream_size()], 0xCC) << "encoder wrote past its wire size";
    out.resize(T::stream_size());
    return out;
}

// Every truncation of the wire form decodes from an exact-size copy and
// consumes no more than it was given.
template <class T>
void check_truncations(const T& full)
{
    Bytes wire = encode(full);
    for (size_t n = 0; n <= wire.size(); ++n) {
        Exact body(wire, n);
        T record{};
        int used = record.from_stream(body.data(), body.size());
        EXPECT_LE(used, int(n));
        EXPECT_GE(used, 0);
        if (n == wire.size()) {
            EXPECT_EQ(used, T::stream_size());
            EXPECT_EQ(encode(record), wire);
        }
    }
    T record{};
    EXPECT_EQ(record.from_stream(nullptr, -5), 0);
}

template <class T>
T filled()
{
    // Non-zero bytes everywhere, text fields ending in their NUL.
    Bytes wire(T::stream_size());
    for (size_t i = 0; i < wire.size(); ++i)
        wire[i] = static_cast<unsigned char>(0x21 + i % 90);
    T record{};
    record.from_stream(reinterpret_cast<const char*>(wire.data()), int(wire.size()));
    return record;
}

}  // namespace

TEST(MdqpRecords, WireSizesRoundTripsAndTruncations)
{
    check_truncations(filled<MDQP_RspInfo>());
    check_truncations(filled<MDQP_RspUserLogin>());
    check_truncations(filled<MDQP_TopicSettlementSession>());
    check_truncations(filled<MDQP_TopicInstrument>());
    check_truncations(filled<MDQP_TopicMarketData>());
    check_truncations(filled<MDQP_TopicMarketByPrice>());
    check_truncations(filled<MDQP_TopicGap>());
    check_truncations(filled<MDQP_TopicSnapTag>());
    check_truncations(filled<MDQP_TopicSnapTime>());
    check_truncations(filled<MDQP_TopicAttribute>());
    check_truncations(filled<MDQP_MirpPakcetNo>());
    EXPECT_EQ(offsetof(MDQP_TopicSnapTag, SnapNo), 4u);
}

TEST(MdqpRecords, InstrumentFieldsSitAtTheirWireOffsets)
{
    MDQP_TopicInstrument instrument{};
    copy_text(instrument.InstrumentID, "cu2501");
    instrument.InstrumentAttr2 = 'A';
    instrument.VolumeMultiple = 5;
    instrument.PriceTick = 0.5;
    instrument.TradeBasePrice = -1.25;
    instrument.InstrumentNo = 0x01020304;
    Bytes wire = encode(instrument);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(wire.data())), "cu2501");
    EXPECT_EQ(wire[62], 'A');
    EXPECT_EQ(wire[72], 5);
    double tick;
    memcpy(&tick, &wire[92], 8);  // the host is little-endian as the wire
    EXPECT_EQ(tick, 0.5);
    EXPECT_EQ((Bytes(wire.begin() + 108, wire.end())), (Bytes{4, 3, 2, 1}));
}

TEST(MdqpRecords, ShortMarketDataBodyFillsOnlyTheFieldsThatFit)
{
    MDQP_TopicMarketData source = filled<MDQP_TopicMarketData>();
    Bytes wire = encode(source);
    MDQP_TopicMarketData record{};
    record.UpdateMillisec = 77;
    record.SnapValue4 = 88;
    EXPECT_EQ(record.from_stream(reinterpret_cast<char*>(wire.data()), 146), 146);
    EXPECT_EQ(record.Delta, source.Delta);
    EXPECT_STREQ(record.UpdateTime, source.UpdateTime);
    EXPECT_EQ(record.UpdateMillisec, 77);
    EXPECT_EQ(record.SnapValue4, 88);

    MDQP_TopicMarketData empty{};
    empty.InstrumentNo = 3;
    EXPECT_EQ(empty.from_stream(reinterpret_cast<char*>(wire.data()), 0), 0);
    EXPECT_EQ(empty.InstrumentNo, 3);
}

TEST(MdqpRecords, TextFieldsStayTerminated)
{
    Bytes wire(MDQP_RspInfo::stream_size() + 10, 'x');  // no NUL anywhere
    MDQP_RspInfo info{};
    EXPECT_EQ(info.from_stream(reinterpret_cast<char*>(wire.data()), int(wire.size())), 85);
    EXPECT_EQ(strlen(info.ErrorMsg), 80u);

    MDQP_ReqUserLogin login{};
    copy_text(login.UserID, "a-user-id-longer-than-fifteen");
    copy_text(login.ParticipantID, "P01");
    copy_text(login.Password, "secret");
    Bytes block = encode(login);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&block[0])), "a-user-id-longe");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&block[16])), "P01");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&block[27])), "secret");
    EXPECT_EQ(Bytes(block.begin() + 68, block.end()), Bytes(83, 0));
}

TEST(MdqpFieldAppend, RefusesWhatDoesNotFit)
{
    PacketBufferExt<32> buffer;
    EXPECT_EQ(alloc_field_le(&buffer, 1, 0), nullptr);  // all headroom
    buffer.reset(14);                                   // 18 bytes of tailroom
    MDQP_TopicGap gap{};
    gap.TopicID = 1;
    gap.BeginPacketNo = 10;
    gap.EndPacketNo = 20;
    EXPECT_EQ(append_field_le(&buffer, gap), 0);  // 14 of them
    EXPECT_EQ(append_field_le(&buffer, gap), -1);
    EXPECT_EQ(append_field_le(&buffer, 9, "abc", 3), EC_INSUF_BUFFER);
    EXPECT_EQ(buffer.length(), 14u);
    EXPECT_EQ(append_field_le(&buffer, 9, nullptr, 0), 0);
    EXPECT_EQ(buffer.length(), 18u);

    MDQP_TopicGap back{};
    ASSERT_EQ(get_first_field(&buffer, back), 0);
    EXPECT_EQ(back.EndPacketNo, 20u);

    // A size the 16-bit field header cannot carry would describe the body
    // wrongly to the reader.
    std::vector<char> big(70000 + 64);
    PacketBuffer large(big.data(), big.size());
    large.reset(0);
    EXPECT_EQ(alloc_field_le(&large, 1, 65536), nullptr);
    EXPECT_EQ(alloc_field_le(&large, 1, -1), nullptr);
    EXPECT_NE(alloc_field_le(&large, 1, 65535), nullptr);
}

namespace {

// Wire bytes written out by hand: hex("A5 E4 FF FF") appends those bytes,
// text("cu2501", 31) a NUL-padded text field of width 31.
struct Wire {
    Wire& hex(const char* text)
    {
        for (const char* p = text; *p != '\0'; ++p) {
            if (*p == ' ')
                continue;
            bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(p, 2), nullptr, 16)));
            ++p;
        }
        return *this;
    }
    Wire& text(const char* value, size_t width)
    {
        size_t length = strlen(value);
        bytes.insert(bytes.end(), value, value + length);
        bytes.insert(bytes.end(), width - length, 0);
        return *this;
    }
    Bytes bytes;
};

// Decodes the literal whole, and the encoder gives back the same bytes.
template <class T>
T decode_literal(const Wire& wire, int id)
{
    EXPECT_EQ(T::field_id(), id);
    EXPECT_EQ(wire.bytes.size(), size_t(T::stream_size()));
    Exact body(wire.bytes, wire.bytes.size());
    T record{};
    EXPECT_EQ(record.from_stream(body.data(), body.size()), body.size());
    EXPECT_EQ(encode(record), wire.bytes);
    return record;
}

}  // namespace

TEST(MdqpRecords, LiteralWireFormsOfWhatTheClientSends)
{
    MDQP_TopicGap gap =
        decode_literal<MDQP_TopicGap>(Wire().hex("07 00  64 00 00 00  69 00 00 00"), 0x0201);
    EXPECT_EQ(gap.TopicID, 7);
    EXPECT_EQ(gap.BeginPacketNo, 100u);
    EXPECT_EQ(gap.EndPacketNo, 105u);

    MDQP_TopicSnapTag request =
        decode_literal<MDQP_TopicSnapTag>(Wire().hex("E9 03  FF FF FF FF"), 0x1001);
    EXPECT_EQ(request.TopicID, 1001);
    EXPECT_EQ(request.SnapNo, -1);

    MDQP_ReqUserLogin login{};
    copy_text(login.UserID, "user-7");
    copy_text(login.ParticipantID, "0042");
    copy_text(login.Password, "pw");
    Wire block;
    block.text("user-7", 16).text("0042", 11).text("pw", 41).text("", 83);
    EXPECT_EQ(MDQP_ReqUserLogin::field_id(), 2);
    EXPECT_EQ(encode(login), block.bytes);

    // The whole gap request packet: version 1, trans_id 0x33, 14 body
    // bytes, request 0x01020304, then the field of id 0x201 and 10 bytes.
    Wire packet;
    packet.hex("01 33 0E 00 04 03 02 01  01 02 0A 00").hex("07 00 64 00 00 00 69 00 00 00");
    EXPECT_EQ(build_packet(MDQP_TID_ReqQryTopicGap, 0x01020304, 0, gap), packet.bytes);
}

TEST(MdqpRecords, LiteralWireFormsOfWhatTheClientReads)
{
    // A refused login: -7003 and its text, in a packet of trans_id 0x12.
    Wire login_rsp;
    login_rsp.hex("01 12 59 00 02 00 00 00  01 00 55 00  A5 E4 FF FF").text("bad password", 81);
    Exact stream(login_rsp.bytes, login_rsp.bytes.size());
    MdqpPacket packet(Packet(stream.data(), stream.size()));
    ASSERT_EQ(packet.valid_packet(), 97);
    EXPECT_EQ(packet.trans_id(), MDQP_TID_RspUserLogin);
    EXPECT_EQ(packet.request_id(), 2u);
    MDQP_RspInfo info{};
    ASSERT_EQ(get_first_field(&packet, info), 0);
    EXPECT_EQ(info.ErrorID, EC_USER_PASSWORD);
    EXPECT_STREQ(info.ErrorMsg, "bad password");

    MDQP_RspUserLogin user = decode_literal<MDQP_RspUserLogin>(Wire()
                                                                   .text("20250102", 9)
                                                                   .text("09:15:00", 9)
                                                                   .text("user-7", 16)
                                                                   .text("0042", 11)
                                                                   .text("info three", 61)
                                                                   .text("info4", 9),
                                                               3);
    EXPECT_STREQ(user.LoginInfo1, "20250102");
    EXPECT_STREQ(user.LoginInfo2, "09:15:00");
    EXPECT_STREQ(user.UserID, "user-7");
    EXPECT_STREQ(user.ParticipantID, "0042");
    EXPECT_STREQ(user.LoginInfo3, "info three");
    EXPECT_STREQ(user.LoginInfo4, "info4");

    MDQP_TopicSettlementSession session = decode_literal<MDQP_TopicSettlementSession>(
        Wire().text("20250103", 9).text("S1", 9).hex("07 00 00 00"), 0x31);
    EXPECT_STREQ(session.SessionDay, "20250103");
    EXPECT_STREQ(session.SessionCode, "S1");
    EXPECT_EQ(session.SessionNo, 7);

    MDQP_TopicInstrument instrument = decode_literal<MDQP_TopicInstrument>(
        Wire()
            .text("cu2501", 31)
            .text("copper", 31)
            .hex("41")                       // InstrumentAttr2 'A'
            .hex("00 00 00 00 00 00 F8 3F")  // InstrumentAttr3 1.5
            .hex("42")                       // InstrumentAttr4 'B'
            .hex("05 00 00 00")              // VolumeMultiple 5
            .hex("00 00 00 00 00 00 04 40")  // InstrumentAttr5 2.5
            .hex("06 00 00 00 07 00 00 00")  // InstrumentAttr6 6, InstrumentAttr7 7
            .hex("00 00 00 00 00 00 E0 3F")  // PriceTick 0.5
            .hex("00 00 00 00 00 00 59 40")  // TradeBasePrice 100
            .hex("04 03 02 01"),             // InstrumentNo
        0x101);
    EXPECT_STREQ(instrument.InstrumentID, "cu2501");
    EXPECT_STREQ(instrument.InstrumentAttr1, "copper");
    EXPECT_EQ(instrument.InstrumentAttr2, 'A');
    EXPECT_EQ(instrument.InstrumentAttr3, 1.5);
    EXPECT_EQ(instrument.InstrumentAttr4, 'B');
    EXPECT_EQ(instrument.VolumeMultiple, 5);
    EXPECT_EQ(instrument.InstrumentAttr5, 2.5);
    EXPECT_EQ(instrument.InstrumentAttr6, 6);
    EXPECT_EQ(instrument.InstrumentAttr7, 7);
    EXPECT_EQ(instrument.PriceTick, 0.5);
    EXPECT_EQ(instrument.TradeBasePrice, 100.0);
    EXPECT_EQ(instrument.InstrumentNo, 0x01020304);

    MDQP_TopicMarketData data = decode_literal<MDQP_TopicMarketData>(
        Wire()
            .hex("03 00 00 00")              // InstrumentNo
            .hex("00 00 00 00 00 00 F8 3F")  // LastPrice 1.5
            .hex("0D 0C 0B 0A")              // Volume
            .hex("00 00 00 00 00 00 04 40")  // Turnover 2.5
            .hex("00 00 00 00 00 00 0C 40")  // OpenInterest 3.5
            .hex("00 00 00 00 00 00 12 40")  // HighPrice 4.5
            .hex("00 00 00 00 00 00 16 40")  // LowPrice 5.5
            .hex("00 00 00 00 00 00 1A 40")  // OpenPrice 6.5
            .hex("00 00 00 00 00 00 1E 40")  // ClosePrice 7.5
            .hex("00 00 00 00 00 00 21 40")  // SettlementPrice 8.5
            .hex("00 00 00 00 00 00 23 40")  // UpperLimitPrice 9.5
            .hex("00 00 00 00 00 00 25 40")  // LowerLimitPrice 10.5
            .hex("00 00 00 00 00 00 27 40")  // LevelBasePrice 11.5
            .hex("00 00 00 00 00 00 29 40")  // SnapValue1 12.5
            .hex("00 00 00 00 00 00 2B 40")  // SnapValue2 13.5
            .hex("00 00 00 00 00 00 2D 40")  // SnapValue3 14.5
            .hex("00 00 00 00 00 00 2F 40")  // Delta 15.5
            .text("20250104", 9)
            .text("09:15:01", 9)
            .hex("F4 01 00 00")   // UpdateMillisec 500
            .hex("09 00 00 00"),  // SnapValue4
        0x102);
    EXPECT_EQ(data.InstrumentNo, 3);
    EXPECT_EQ(data.LastPrice, 1.5);
    EXPECT_EQ(data.Volume, 0x0A0B0C0D);
    EXPECT_EQ(data.Turnover, 2.5);
    EXPECT_EQ(data.OpenInterest, 3.5);
    EXPECT_EQ(data.HighPrice, 4.5);
    EXPECT_EQ(data.LowPrice, 5.5);
    EXPECT_EQ(data.OpenPrice, 6.5);
    EXPECT_EQ(data.ClosePrice, 7.5);
    EXPECT_EQ(data.SettlementPrice, 8.5);
    EXPECT_EQ(data.UpperLimitPrice, 9.5);
    EXPECT_EQ(data.LowerLimitPrice, 10.5);
    EXPECT_EQ(data.LevelBasePrice, 11.5);
    EXPECT_EQ(data.SnapValue1, 12.5);
    EXPECT_EQ(data.SnapValue2, 13.5);
    EXPECT_EQ(data.SnapValue3, 14.5);
    EXPECT_EQ(data.Delta, 15.5);
    EXPECT_STREQ(data.UpdateDate, "20250104");
    EXPECT_STREQ(data.UpdateTime, "09:15:01");
    EXPECT_EQ(data.UpdateMillisec, 500);
    EXPECT_EQ(data.SnapValue4, 9);

    MDQP_TopicMarketByPrice level = decode_literal<MDQP_TopicMarketByPrice>(
        Wire().hex("03 00 00 00  31  00 00 00 00 00 80 30 40  0C 00 00 00"), 0x103);
    EXPECT_EQ(level.InstrumentNo, 3);
    EXPECT_EQ(level.EntryType, '1');
    EXPECT_EQ(level.Price, 16.5);
    EXPECT_EQ(level.Volume, 12);

    MDQP_TopicSnapTag tag =
        decode_literal<MDQP_TopicSnapTag>(Wire().hex("E9 03 78 56 34 12"), 0x1001);
    EXPECT_EQ(tag.TopicID, 1001);
    EXPECT_EQ(tag.SnapNo, 0x12345678);

    MDQP_TopicSnapTime time = decode_literal<MDQP_TopicSnapTime>(
        Wire().text("20250105", 9).text("09:15:02", 9).hex("FA 00 00 00"), 0x1002);
    EXPECT_STREQ(time.SnapDate, "20250105");
    EXPECT_STREQ(time.SnapTime, "09:15:02");
    EXPECT_EQ(time.SnapMillisec, 250);

    MDQP_TopicAttribute attribute = decode_literal<MDQP_TopicAttribute>(
        Wire()
            .hex("05 00 00 00  30")
            .hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10")
            .hex("11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20"),
        0x1003);
    EXPECT_EQ(attribute.MarketDataDepth, 5);
    EXPECT_EQ(attribute.CipherType, '0');
    EXPECT_EQ(attribute.CipherParam1[0], 0x01);
    EXPECT_EQ(attribute.CipherParam1[15], 0x10);
    EXPECT_EQ(attribute.CipherParam2[0], 0x11);
    EXPECT_EQ(attribute.CipherParam2[15], 0x20);

    MDQP_MirpPakcetNo packet_no =
        decode_literal<MDQP_MirpPakcetNo>(Wire().hex("EF CD AB 00"), 0x1004);
    EXPECT_EQ(packet_no.PacketNo, 0x00ABCDEF);
}
