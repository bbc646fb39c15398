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

typedef std::vector<unsigned char> Bytes;

const int INSTRUMENTS = 4;

// A body built field by field with the codecs.
class Body {
public:
    template <typename CODEC, typename Record>
    Body& add(uint16_t id, const Record& record)
    {
        unsigned char content[64];
        int n = CODEC::field_encode(content, sizeof(content), &record);
        EXPECT_GT(n, 0);
        return raw(id, Bytes(content, content + n));
    }
    Body& group(int32_t instrument)
    {
        InstrumentEventContext context = {instrument, 0};
        return add<CODEC_InstrumentEventHeader>(MIRP_FID_InstrumentEventHeader, context);
    }
    Body& level(char event, char side, int32_t level, int32_t offset, int32_t volume)
    {
        MIRP_MDEntryEvent e = {event, side, level, offset, volume, 0};
        return add<CODEC_MDEntryEvent>(MIRP_FID_MDEntryEvent, e);
    }
    Body& raw(uint16_t id, const Bytes& content, int size = -1)
    {
        uint16_t field_size = static_cast<uint16_t>(size < 0 ? content.size() : size);
        m_fields.push_back(m_bytes.size());
        m_bytes.resize(m_bytes.size() + 4);
        memcpy(&m_bytes[m_bytes.size() - 4], &id, 2);
        memcpy(&m_bytes[m_bytes.size() - 2], &field_size, 2);
        m_bytes.insert(m_bytes.end(), content.begin(), content.end());
        return *this;
    }

    Bytes m_bytes;
    std::vector<size_t> m_fields;  // start offset of each field
};

// Parses exactly the given bytes out of a heap block of that size, so a read
// past them is caught by the address sanitizer.
int parse(const Bytes& bytes, KorvUserTopic* topic, unsigned long* left = nullptr)
{
    std::vector<char> copy(bytes.begin(), bytes.end());
    Packet body(copy.data(), static_cast<int>(copy.size()));
    int ret = parse_snap_events(body, topic);
    if (left != nullptr)
        *left = body.length();
    return ret;
}

class Book {
public:
    Book() : m_topic(1)
    {
        for (int no = 0; no < INSTRUMENTS; ++no) {
            MDQP_TopicInstrument instrument{};
            snprintf(instrument.InstrumentID, sizeof(instrument.InstrumentID), "I%d", no);
            instrument.PriceTick = 0.5;
            instrument.TradeBasePrice = 100;
            instrument.VolumeMultiple = 10;
            instrument.InstrumentNo = no;
            m_topic.handle_instrument(&instrument);
            MDQP_TopicMarketData data{};
            data.InstrumentNo = no;
            data.LevelBasePrice = 50;
            m_topic.handle_market_data(&data);
        }
        m_topic.set_market_data_depth(MAX_LEVEL);
        m_topic.commit();
        updated();
    }

    // Instrument numbers changed since the last call, in order of first change.
    std::vector<int> updated()
    {
        std::vector<int> out;
        ListHead list;
        if (m_topic.fetch_updated(list) != 0)
            return out;
        while (!list.empty()) {
            Entry* e = static_cast<Entry*>(list.head());
            e->detach();
            out.push_back(e->InstrumentNo);
        }
        return out;
    }

    const Entry& at(int no) const { return *m_topic.get_instrument(no); }

    KorvUserTopic m_topic;
};

}  // namespace

TEST(ParseSnapEvents, TwoGroupsApplyToTheirInstruments)
{
    Book book;
    Body body;
    body.group(2).level('1', '0', 1, 4, 10);
    body.group(0).level('1', '1', 1, -2, 7);
    MIRP_SettlementPrice settle = {6};
    body.add<CODEC_PriceOffset>(MIRP_FID_SettlementPrice, settle);
    MIRP_Delta delta = {0.25};
    body.add<CODEC_Ratio>(MIRP_FID_Delta, delta);

    unsigned long left = 1;
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic, &left), 0);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(book.updated(), (std::vector<int>{2, 0}));
    ASSERT_EQ(book.at(2).BidTable.get_count(), 1);
    EXPECT_EQ(book.at(2).BidTable.get_entries()[0].Price, 52.0);
    EXPECT_EQ(book.at(2).BidTable.get_entries()[0].Volume, 10);
    ASSERT_EQ(book.at(0).AskTable.get_count(), 1);
    EXPECT_EQ(book.at(0).AskTable.get_entries()[0].Price, 49.0);
    EXPECT_EQ(book.at(0).MarketData.SettlementPrice, 103.0);
    EXPECT_EQ(book.at(0).MarketData.Delta, 0.25);
}

TEST(ParseSnapEvents, EmptyBodyAndEmptyGroupApplyNothing)
{
    Book book;
    EXPECT_EQ(parse(Bytes(), &book.m_topic), 0);
    Body body;
    body.group(1);
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), 0);
    EXPECT_TRUE(book.updated().empty());
}

TEST(ParseSnapEvents, BodyNotOpeningWithAGroupIsRefused)
{
    Book book;
    Body body;
    body.level('1', '0', 1, 4, 10).group(1).level('1', '0', 1, 4, 10);
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), -9);
    EXPECT_TRUE(book.updated().empty());
}

TEST(ParseSnapEvents, UnknownFieldIsReportedAndSkipped)
{
    Book book;
    Body body;
    body.group(3).raw(0x2000, {1, 2, 3}).level('1', '0', 1, 0, 5);
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unkown field id=8192 size=3\n");
    EXPECT_EQ(book.at(3).BidTable.get_count(), 1);
}

TEST(ParseSnapEvents, UnknownFieldRunningPastTheBodyEndsIt)
{
    Book book;
    Body body;
    body.group(3).level('1', '0', 1, 0, 5).raw(0x2000, {1, 2, 3}, 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), -9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unkown field id=8192 size=4\n");
    // The event ahead of it stays applied.
    EXPECT_EQ(book.at(3).BidTable.get_count(), 1);
}

TEST(ParseSnapEvents, ScrapsTooShortForAFieldHeaderEndTheBody)
{
    for (const Bytes& tail : {Bytes{0x00}, Bytes{0x00, 0x20}, Bytes{0x00, 0x20, 0x01}}) {
        Book book;
        Body body;
        body.group(1).level('1', '0', 1, 0, 5);
        body.m_bytes.insert(body.m_bytes.end(), tail.begin(), tail.end());
        EXPECT_EQ(parse(body.m_bytes, &book.m_topic), -9) << tail.size();
        EXPECT_EQ(book.updated(), (std::vector<int>{1}));
    }
    Book book;
    EXPECT_EQ(parse(Bytes{0x03, 0x00}, &book.m_topic), -9);
}

TEST(ParseSnapEvents, ErrorStopsTheWalkAfterTheEventsBefore)
{
    Book book;
    Body body;
    body.group(0).level('1', '0', 1, 0, 5).raw(MIRP_FID_Delta, {0, 0, 0, 0, 0, 0, 0});
    body.group(1).level('1', '0', 1, 0, 5);
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), -20);
    EXPECT_EQ(book.updated(), (std::vector<int>{0}));
}

TEST(ParseSnapEvents, EveryTruncationIsRefusedWithoutReadingPastIt)
{
    Body body;
    body.group(0).level('2', '0', 1, 300, 5);
    MIRP_TradeSlice slice = {4, 3, 1LL << 33, -2};
    body.add<CODEC_TradeSlice>(MIRP_FID_TradeSlice, slice);
    MIRP_HighPrice high = {-70000};
    body.add<CODEC_PriceOffset>(MIRP_FID_HighPrice, high);
    body.group(1).raw(0x2000, {9, 9});
    for (size_t n = 1; n < body.m_bytes.size(); ++n) {
        Book book;
        Bytes cut(body.m_bytes.begin(), body.m_bytes.begin() + static_cast<long>(n));
        testing::internal::CaptureStdout();
        int ret = parse(cut, &book.m_topic);
        testing::internal::GetCapturedStdout();
        bool boundary = false;
        for (size_t start : body.m_fields)
            boundary = boundary || start == n;
        if (boundary)
            EXPECT_EQ(ret, 0) << n;
        else
            EXPECT_TRUE(ret == -9 || ret == -20) << n << " gave " << ret;
    }
}
