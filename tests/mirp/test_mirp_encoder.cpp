#include "source/mirp_protocol/MirpEncoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "tests/mirp/RecordingStream.h"

using namespace BRAX::KORV;
using namespace KORV;
using KORV::USER::InstrumentEventContext;

namespace {

typedef std::vector<char> Bytes;

class CountingCipher : public PlainCipher {
public:
    explicit CountingCipher(int& deleted) : m_deleted(deleted) {}
    ~CountingCipher() override { ++m_deleted; }
    int& m_deleted;
};

struct Decoded {
    MirpHeader header;
    std::vector<uint16_t> ids;         // field ids in body order
    std::vector<int32_t> instruments;  // InstrumentNo of each group header
};

Decoded decode(const Bytes& bytes)
{
    Decoded out;
    MirpPacket packet(Packet(bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(packet.valid_packet(), static_cast<int>(bytes.size()));
    out.header = *packet.const_header();
    Packet body = packet;
    while (body.length() > 0) {
        MirpFieldHeader field;
        if (mirp_peek_field(body, field) != 0) {
            ADD_FAILURE() << "truncated field";
            break;
        }
        out.ids.push_back(field.FieldID);
        if (field.FieldID == MIRP_FID_InstrumentEventHeader) {
            InstrumentEventContext context;
            EXPECT_EQ(mirp_get_field<CODEC_InstrumentEventHeader>(context, body), 0);
            out.instruments.push_back(context.InstrumentNo);
        } else {
            body.pop(MIRP_FIELD_HLEN + field.FieldSize);
        }
    }
    return out;
}

int add_header(MirpEncoder& encoder, int32_t instrument)
{
    InstrumentEventContext context = {instrument, 0};
    return encoder.append_field(MIRP_FID_InstrumentEventHeader,
                                CODEC_InstrumentEventHeader::field_encode, &context,
                                sizeof(context));
}

// A level event of 6 content bytes, 10 with its field header.
int add_level(MirpEncoder& encoder)
{
    MIRP_MDEntryEvent event = {'1', '0', 1, 4, 10, 0};
    return encoder.append_field(MIRP_FID_MDEntryEvent, CODEC_MDEntryEvent::field_encode, &event,
                                sizeof(event));
}

struct EncoderTest : ::testing::Test {
    EncoderTest() : m_stream(41), stream(&m_stream), encoder(7, new PlainCipher(), stream) {}
    RecordingStream m_stream;  // outlives the encoder, which closes it
    RecordingStream* stream;
    MirpEncoder encoder;
};

}  // namespace

TEST_F(EncoderTest, SmallGroupsGoOutAsOnePacket)
{
    encoder.set_trading_day(20);
    unsigned int seconds = 1700000000;
    encoder.prepare(MIRP_TYPE_MarketEvent, 5, seconds, 250);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(add_header(encoder, i), 0);
        ASSERT_EQ(add_level(encoder), 0);
    }
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 1u);
    EXPECT_EQ(stream->m_flushes, 1);

    Decoded d = decode(stream->m_packets[0]);
    EXPECT_EQ(d.header.Version, MIRP_VERSION);
    EXPECT_EQ(d.header.Flag, 0);
    EXPECT_EQ(d.header.TransId, 1);
    EXPECT_EQ(d.header.ContentLength, 3 * (6 + 10));
    EXPECT_EQ(d.header.PacketNo, 42u);
    EXPECT_EQ(d.header.TopicID, 7);
    EXPECT_EQ(d.header.SnapNo, 5);
    EXPECT_EQ(d.header.SnapSeconds, seconds);
    EXPECT_EQ(d.header.SnapMillisec, 250);
    EXPECT_EQ(d.header.TradingDay, 20);
    EXPECT_EQ(d.instruments, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(encoder.header().SnapNo, 6);
}

TEST_F(EncoderTest, FullBodyIsSplitAtTheLastGroupBoundary)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 1, 0, 0);
    // Three groups of 1 header (6 bytes) and 39 levels (390 bytes): 1188 bytes.
    for (int g = 0; g < 3; ++g) {
        ASSERT_EQ(add_header(encoder, g), 0);
        for (int e = 0; e < 39; ++e)
            ASSERT_EQ(add_level(encoder), 0);
    }
    ASSERT_TRUE(stream->m_packets.empty());
    // The fourth group's header still fits; its first level does not.
    ASSERT_EQ(add_header(encoder, 3), 0);
    ASSERT_EQ(add_level(encoder), 0);
    ASSERT_EQ(stream->m_packets.size(), 1u);
    ASSERT_EQ(add_level(encoder), 0);
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 2u);

    Decoded first = decode(stream->m_packets[0]);
    EXPECT_EQ(first.header.Flag, MIRP_FLAG_CONTINUE);
    EXPECT_EQ(first.header.ContentLength, 3 * 396);
    EXPECT_EQ(first.header.PacketNo, 42u);
    EXPECT_EQ(first.header.SnapNo, 1);
    EXPECT_EQ(first.instruments, (std::vector<int32_t>{0, 1, 2}));

    Decoded second = decode(stream->m_packets[1]);
    EXPECT_EQ(second.header.Flag, 0);
    EXPECT_EQ(second.header.PacketNo, 43u);
    EXPECT_EQ(second.header.SnapNo, 1);
    EXPECT_EQ(second.instruments, (std::vector<int32_t>{3}));
    EXPECT_EQ(second.ids, (std::vector<uint16_t>{MIRP_FID_InstrumentEventHeader,
                                                 MIRP_FID_MDEntryEvent, MIRP_FID_MDEntryEvent}));
    EXPECT_EQ(encoder.header().SnapNo, 2);
}

TEST_F(EncoderTest, EmptyFlushWritesNothingButFlushes)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 9, 0, 0);
    ASSERT_EQ(encoder.flush(), 0);
    EXPECT_TRUE(stream->m_packets.empty());
    EXPECT_EQ(stream->m_flushes, 1);
    EXPECT_EQ(encoder.header().SnapNo, 9);
    // A following sequence starts a fresh body.
    ASSERT_EQ(add_header(encoder, 4), 0);
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 1u);
    EXPECT_EQ(decode(stream->m_packets[0]).header.ContentLength, 6);
}

TEST_F(EncoderTest, GroupThatCannotFitIsReportedAndDroppedWhole)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 1, 0, 0);
    ASSERT_EQ(add_header(encoder, 0), 0);
    ASSERT_EQ(add_level(encoder), 0);
    ASSERT_EQ(add_header(encoder, 1), 0);
    testing::internal::CaptureStdout();
    int ret = 0;
    int added = 0;
    while (ret == 0 && added < 200) {
        ret = add_level(encoder);
        ++added;
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ret, EC_INSUF_BUFFER);
    EXPECT_NE(printed.find("RuntimeError:last instrument edge error, missing "
                           "InstrumentEventHeader or too many event of a instrument in line "),
              std::string::npos);
    EXPECT_NE(printed.find(" of file source/mirp_protocol/MirpEncoder\n"), std::string::npos);

    // Only the complete group ahead went out; the rest of group 1 is refused
    // until the next header, which starts cleanly.
    ASSERT_EQ(stream->m_packets.size(), 1u);
    EXPECT_EQ(decode(stream->m_packets[0]).instruments, (std::vector<int32_t>{0}));
    EXPECT_EQ(add_level(encoder), EC_INSUF_BUFFER);
    ASSERT_EQ(add_header(encoder, 2), 0);
    ASSERT_EQ(add_level(encoder), 0);
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 2u);
    Decoded last = decode(stream->m_packets[1]);
    EXPECT_EQ(last.instruments, (std::vector<int32_t>{2}));
    EXPECT_EQ(last.ids.size(), 2u);
}

// The sequence's first packet went out with CONTINUE set; its last group
// was then dropped, and flush used to send nothing, so the receiver never
// committed the packet it had.
TEST_F(EncoderTest, SequenceWhoseLastGroupWasDroppedStillEnds)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 1, 0, 0);
    ASSERT_EQ(add_header(encoder, 0), 0);
    ASSERT_EQ(add_level(encoder), 0);
    ASSERT_EQ(add_header(encoder, 1), 0);
    testing::internal::CaptureStdout();
    int ret = 0;
    for (int i = 0; i < 200 && ret == 0; ++i)
        ret = add_level(encoder);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(ret, EC_INSUF_BUFFER);
    ASSERT_EQ(stream->m_packets.size(), 1u);
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 2u);
    Decoded last = decode(stream->m_packets[1]);
    EXPECT_EQ(last.header.Flag, 0);
    EXPECT_EQ(last.header.ContentLength, 0);
    EXPECT_EQ(last.header.PacketNo, 43u);
    EXPECT_EQ(last.header.SnapNo, 1);
    EXPECT_EQ(encoder.header().SnapNo, 2);
    // Ended: the next flush has nothing to send.
    ASSERT_EQ(encoder.flush(), 0);
    EXPECT_EQ(stream->m_packets.size(), 2u);
}

TEST_F(EncoderTest, EventsWithoutAHeaderNeverFillAPacket)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 1, 0, 0);
    testing::internal::CaptureStdout();
    int ret = 0;
    for (int i = 0; i < 200 && ret == 0; ++i)
        ret = add_level(encoder);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("RuntimeError:"), std::string::npos);
    EXPECT_EQ(ret, EC_INSUF_BUFFER);
    ASSERT_EQ(encoder.flush(), 0);
    EXPECT_TRUE(stream->m_packets.empty());
}

TEST_F(EncoderTest, RefusedWriteIsReportedAndLosesNothing)
{
    encoder.prepare(MIRP_TYPE_MarketEvent, 3, 0, 0);
    for (int g = 0; g < 3; ++g) {
        ASSERT_EQ(add_header(encoder, g), 0);
        for (int e = 0; e < 39; ++e)
            ASSERT_EQ(add_level(encoder), 0);
    }
    ASSERT_EQ(add_header(encoder, 3), 0);
    stream->m_refuse = true;
    EXPECT_EQ(add_level(encoder), EC_WOULDBLOCK);
    EXPECT_TRUE(stream->m_packets.empty());

    stream->m_refuse = false;
    ASSERT_EQ(add_level(encoder), 0);  // the same call again
    ASSERT_EQ(stream->m_packets.size(), 1u);
    EXPECT_EQ(decode(stream->m_packets[0]).instruments, (std::vector<int32_t>{0, 1, 2}));

    stream->m_refuse = true;
    EXPECT_EQ(encoder.flush(), EC_WOULDBLOCK);
    EXPECT_EQ(encoder.header().SnapNo, 3);
    stream->m_refuse = false;
    ASSERT_EQ(encoder.flush(), 0);
    ASSERT_EQ(stream->m_packets.size(), 2u);
    Decoded last = decode(stream->m_packets[1]);
    EXPECT_EQ(last.instruments, (std::vector<int32_t>{3}));
    EXPECT_EQ(last.ids.size(), 2u);
    EXPECT_EQ(last.header.PacketNo, 43u);
    EXPECT_EQ(encoder.header().SnapNo, 4);
}

TEST(MirpEncoderLifetime, DestructorDeletesTheCipherAndClosesTheOutput)
{
    RecordingStream stream(0);
    int deleted = 0;
    {
        MirpEncoder encoder(1, new CountingCipher(deleted), &stream);
    }
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(stream.m_closes, 1);
}

TEST(MirpEncoderDeathTest, NullOutputIsRefusedAtConstruction)
{
    EXPECT_DEATH(MirpEncoder(1, new PlainCipher(), nullptr),
                 "source/mirp_protocol/MirpEncoder:[0-9]+: Assertion `output != nullptr' failed");
}
