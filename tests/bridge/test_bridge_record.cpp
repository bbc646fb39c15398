// The bridge's record: what goes in comes out, a reader that is not the
// C++ decoder finds every field at its documented offset, and nothing short,
// foreign or newer-than-known is taken.
#include "source/korv_bridge/BridgeRecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "source/korv_bridge/BridgeSubjects.h"

using namespace BRAX::KORV_USER_API;
using namespace korv_bridge;

namespace {

const double ABSENT = UFBaseFloatType::NULL_VALUE;

struct Delivery {
    TopicSettlementSession session{};
    TopicSnapTime snap{};
    TopicMarketData md{};
    TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT]{};
    TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT]{};

    Delivery()
    {
        strcpy(session.SessionDay, "20261210");
        strcpy(session.SessionCode, "D1");
        session.SessionNo = 7;
        strcpy(snap.SnapDate, "20261210");
        strcpy(snap.SnapTime, "09:30:01");
        snap.SnapMillisec = 250;
        strcpy(md.InstrumentID, "ag2612");
        for (double* p : {&md.LevelBasePrice, &md.SnapValue1, &md.SnapValue2, &md.SnapValue3,
                          &md.LastPrice, &md.Turnover, &md.OpenInterest, &md.OpenPrice,
                          &md.HighPrice, &md.LowPrice, &md.ClosePrice, &md.SettlementPrice,
                          &md.UpperLimitPrice, &md.LowerLimitPrice, &md.Delta})
            *p = ABSENT;
        md.LastPrice = 7251.5;
        md.Turnover = 1.25e9;
        md.Volume = 1234;
        md.SnapValue4 = -3;
        strcpy(md.UpdateDate, "20261210");
        strcpy(md.UpdateTime, "09:30:01");
        md.UpdateMillisec = 500;
        for (int i = 0; i < TOPIC_PRICE_ENTRY_COUNT; ++i)
            bids[i] = asks[i] = {ABSENT, 0};
        bids[0] = {7251, 10};
        bids[1] = {7250, 20};
        asks[0] = {7252, 5};
    }

    std::vector<uint8_t> encode(uint64_t packet_no = 42) const
    {
        std::vector<uint8_t> out(INSTRUMENT_RECORD_SIZE);
        RecordHeader header;
        header.topic_id = 1001;
        header.epoch = 1765000000000000ULL;
        header.packet_no = packet_no;
        header.handler_ns = 1765000000123456789LL;
        encode_instrument(out.data(), header, 9, &session, &snap, &md, bids, asks);
        return out;
    }
};

double f64_at(const std::vector<uint8_t>& data, size_t offset)
{
    double v;
    memcpy(&v, data.data() + offset, sizeof v);  // the test machine is little-endian
    return v;
}

int32_t i32_at(const std::vector<uint8_t>& data, size_t offset)
{
    int32_t v;
    memcpy(&v, data.data() + offset, sizeof v);
    return v;
}

}  // namespace

TEST(BridgeRecord, RoundTripGivesTheHandlerCallBack)
{
    Delivery d;
    std::vector<uint8_t> data = d.encode();
    InstrumentState s;
    ASSERT_TRUE(decode_instrument(data.data(), data.size(), s));
    EXPECT_EQ(s.header.kind, KIND_INSTRUMENT);
    EXPECT_EQ(s.header.topic_id, 1001u);
    EXPECT_EQ(s.header.epoch, 1765000000000000ULL);
    EXPECT_EQ(s.header.packet_no, 42u);
    EXPECT_EQ(s.header.handler_ns, 1765000000123456789LL);
    EXPECT_EQ(s.update_no, 9u);
    EXPECT_EQ(memcmp(&s.session, &d.session, sizeof s.session), 0);
    EXPECT_EQ(memcmp(&s.snap_time, &d.snap, sizeof s.snap_time), 0);
    EXPECT_EQ(s.market_data.LastPrice, 7251.5);
    EXPECT_EQ(s.market_data.OpenPrice, ABSENT);
    EXPECT_EQ(s.market_data.Volume, 1234);
    EXPECT_EQ(s.market_data.SnapValue4, -3);
    EXPECT_STREQ(s.market_data.InstrumentID, "ag2612");
    EXPECT_STREQ(s.market_data.UpdateTime, "09:30:01");
    EXPECT_EQ(s.bids[1].Price, 7250);
    EXPECT_EQ(s.bids[1].Volume, 20);
    EXPECT_EQ(s.bids[2].Price, ABSENT);  // the end mark
    EXPECT_EQ(s.asks[0].Volume, 5);
    EXPECT_EQ(s.asks[1].Price, ABSENT);
    EXPECT_EQ(s.asks[TOPIC_PRICE_ENTRY_COUNT - 1].Price, ABSENT);
}

// What a Python reader relies on: numbers at the documented offsets, absent
// as NaN, counts beside the levels.
TEST(BridgeRecord, FieldsSitAtTheDocumentedOffsets)
{
    std::vector<uint8_t> data = Delivery().encode();
    EXPECT_EQ(memcmp(data.data(), "KMDB", 4), 0);
    EXPECT_EQ(data[4], RECORD_VERSION);
    EXPECT_EQ(data[6], KIND_INSTRUMENT);
    EXPECT_EQ(i32_at(data, 12), int32_t(INSTRUMENT_RECORD_SIZE));
    EXPECT_EQ(i32_at(data, 48), 7);                     // session number
    EXPECT_EQ(i32_at(data, 56), 1234);                  // volume
    EXPECT_EQ(data[68], 2);                             // bid levels
    EXPECT_EQ(data[69], 1);                             // ask levels
    EXPECT_EQ(f64_at(data, 72), 7251.5);                // last price
    EXPECT_TRUE(std::isnan(f64_at(data, 72 + 8 * 4)));  // open, absent
    EXPECT_EQ(f64_at(data, 72 + 8 * 7), 1.25e9);        // turnover
    EXPECT_EQ(f64_at(data, 192 + 8), 7250);             // second bid
    EXPECT_EQ(i32_at(data, 352 + 4), 20);
    EXPECT_TRUE(std::isnan(f64_at(data, 192 + 16)));
    EXPECT_EQ(f64_at(data, 432), 7252);
    EXPECT_EQ(i32_at(data, 592), 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data() + INSTRUMENT_ID_OFFSET)),
              "ag2612");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data() + 748)), "09:30:01");
}

TEST(BridgeRecord, FullSidesAndFullTextFieldsSurvive)
{
    Delivery d;
    for (int i = 0; i < RECORD_LEVELS; ++i) {
        d.bids[i] = {100.0 - i, i + 1};
        d.asks[i] = {101.0 + i, i + 2};
    }
    memset(d.md.InstrumentID, 'X', sizeof d.md.InstrumentID);  // no terminator
    std::vector<uint8_t> data = d.encode();
    InstrumentState s;
    ASSERT_TRUE(decode_instrument(data.data(), data.size(), s));
    EXPECT_EQ(s.bids[RECORD_LEVELS - 1].Price, 100.0 - (RECORD_LEVELS - 1));
    EXPECT_EQ(s.asks[RECORD_LEVELS - 1].Volume, RECORD_LEVELS + 1);
    EXPECT_EQ(s.bids[RECORD_LEVELS].Price, ABSENT);
    EXPECT_EQ(memcmp(s.market_data.InstrumentID, d.md.InstrumentID, sizeof d.md.InstrumentID), 0);
    // The field after it is intact.
    EXPECT_STREQ(s.market_data.UpdateDate, "20261210");
}

TEST(BridgeRecord, EveryTruncationIsRefused)
{
    std::vector<uint8_t> data = Delivery().encode();
    InstrumentState s;
    for (size_t size = 0; size < data.size(); ++size) {
        std::vector<uint8_t> cut(data.begin(), data.begin() + long(size));
        EXPECT_FALSE(decode_instrument(cut.data(), cut.size(), s)) << size;
    }
    PassMarker marker;
    marker.header.topic_id = 7;
    marker.instrument_count = 500;
    marker.pass_no = 3;
    std::vector<uint8_t> m(MARKER_RECORD_SIZE);
    encode_marker(m.data(), marker);
    PassMarker back;
    for (size_t size = 0; size < m.size(); ++size)
        EXPECT_FALSE(decode_marker(m.data(), size, back)) << size;
    ASSERT_TRUE(decode_marker(m.data(), m.size(), back));
    EXPECT_EQ(back.header.kind, KIND_MARKER);
    EXPECT_EQ(back.instrument_count, 500u);
    EXPECT_EQ(back.pass_no, 3u);
    // A marker is no instrument, nor the other way round.
    EXPECT_FALSE(decode_instrument(m.data(), m.size(), s));
    EXPECT_FALSE(decode_marker(data.data(), data.size(), back));
}

TEST(BridgeRecord, ForeignOrDamagedHeadersAreRefused)
{
    const std::vector<uint8_t> good = Delivery().encode();
    InstrumentState s;
    auto refused = [&](size_t offset, uint8_t value) {
        std::vector<uint8_t> bad = good;
        bad[offset] = value;
        return !decode_instrument(bad.data(), bad.size(), s);
    };
    EXPECT_TRUE(refused(0, 'X'));                 // magic
    EXPECT_TRUE(refused(4, 2));                   // an unknown version
    EXPECT_TRUE(refused(6, 9));                   // an unknown kind
    EXPECT_TRUE(refused(13, 0));                  // a stated size below the record's
    EXPECT_TRUE(refused(14, 1));                  // a stated size beyond the data
    EXPECT_TRUE(refused(68, RECORD_LEVELS + 1));  // more levels than there is room for
    // A longer record of the same version (fields appended) is read.
    std::vector<uint8_t> longer = good;
    longer.resize(good.size() + 16, 0xee);
    longer[12] = uint8_t(longer.size());
    longer[13] = uint8_t(longer.size() >> 8);
    EXPECT_TRUE(decode_instrument(longer.data(), longer.size(), s));
}

TEST(BridgeSubjects, InstrumentsMarkersAndOddIds)
{
    EXPECT_EQ(instrument_subject("korv.md", 1001, "SIM1001_000", 31), "korv.md.1001.SIM1001_000");
    EXPECT_EQ(marker_subject("korv.md", 1001), "korv.md.1001");
    EXPECT_EQ(all_subjects("korv.md"), "korv.md.>");
    EXPECT_EQ(liveness_subject("b1"), "korv.bridge.b1.alive");
    // Wildcards, spaces and empty tokens cannot reach a subject.
    EXPECT_EQ(instrument_subject("korv.md", 1, "a b*c>d", 31), "korv.md.1.a_b_c_d");
    EXPECT_EQ(instrument_subject("korv.md", 1, "", 31), "korv.md.1._");
    EXPECT_EQ(instrument_subject("korv.md", 1, "x..y.", 31), "korv.md.1.x._.y._");
    // An id that fills its field is read no further than the field.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(instrument_subject("p", 2, full, 3), "p.2.abc");
}
