#include "source/korv_user/KorvUserEventParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserTopic.h"
#include "velta/source/task/ListHead.h"

using namespace BRAX::KORV;
using namespace KORV;
using namespace KORV::USER;
using Entry = KorvUserTopic::InstrumentMarketData;

namespace {

typedef std::vector<unsigned char> Bytes;

const int INSTRUMENTS = 4;

// A one-byte zigzag varint: v in -64..63 goes out as 2v, or -2v - 1 when
// negative.
unsigned char small(int32_t v)
{
    EXPECT_TRUE(v >= -64 && v < 64) << v;
    return static_cast<unsigned char>(v >= 0 ? 2 * v : -2 * v - 1);
}

// A body written field by field by hand, without the codecs under test.
class Body {
public:
    // Instrument event header: InstrumentNo, HeaderAttr1 0.
    Body& group(int32_t instrument) { return raw(0x0003, {small(instrument), 0x00}); }
    // Level event: EventType, EntryType, PriceLevel, PriceOffset, Volume, EventAttr1 0.
    Body& level(char event, char side, int32_t level, int32_t offset, int32_t volume)
    {
        return raw(0x1001, {static_cast<unsigned char>(event), static_cast<unsigned char>(side),
                            small(level), small(offset), small(volume), 0x00});
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
    body.raw(0x1017, {0x0C});                                            // settlement offset 6
    body.raw(0x1018, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x3F});  // delta 0.25

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

// The entry is looked up once per group: a group of an instrument outside
// the table refuses each of its events, trades included, and the group
// after it applies to its own instrument again.
TEST(ParseSnapEvents, GroupOutsideTheTableRefusesEachEvent)
{
    Book book;
    Body body;
    body.group(INSTRUMENTS).level('1', '0', 1, 4, 10).level('1', '1', 1, 4, 10);
    body.raw(0x1002, {small(2), small(3), small(6), small(0)});  // trade slice
    body.group(-1).level('1', '0', 1, 4, 10);
    body.group(1).level('1', '0', 1, 4, 10);
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), 0);
    EXPECT_EQ(book.m_topic.get_rejected_count(), 4u);
    EXPECT_EQ(book.updated(), std::vector<int>{1});
    EXPECT_EQ(book.at(1).BidTable.get_count(), 1);
    for (int no : {0, 2, 3}) {
        EXPECT_EQ(book.at(no).BidTable.get_count(), 0) << no;
        EXPECT_EQ(book.at(no).AskTable.get_count(), 0) << no;
    }
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
    body.group(0).level('1', '0', 1, 0, 5).raw(0x1018, {0, 0, 0, 0, 0, 0, 0});
    body.group(1).level('1', '0', 1, 0, 5);
    EXPECT_EQ(parse(body.m_bytes, &book.m_topic), -20);
    EXPECT_EQ(book.updated(), (std::vector<int>{0}));
}

TEST(ParseSnapEvents, EveryTruncationIsRefusedWithoutReadingPastIt)
{
    Body body;
    body.group(0);
    // Change, bid, level 1, offset 300, volume 5: multi-byte varints.
    body.raw(0x1001, {0x32, 0x30, 0x02, 0xD8, 0x04, 0x0A, 0x00});
    // Trade slice 4, 3, 2^33, -2.
    body.raw(0x1002, {0x08, 0x06, 0x80, 0x80, 0x80, 0x80, 0x40, 0x03});
    body.raw(0x1011, {0xDF, 0xC5, 0x08});  // high price offset -70000
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
