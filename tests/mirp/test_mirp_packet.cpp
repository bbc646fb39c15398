#include "source/mirp_protocol/MirpPacket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "source/mirp_protocol/MirpCipher.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/base/StdLogger.h"

namespace {

struct RecordingLogger : Logger {
    void output(const char* line) override { m_lines.push_back(line); }
    std::vector<std::string> m_lines;
};

// A datagram of `total` bytes whose first packet announces `content` bytes.
std::vector<char> datagram(unsigned long total, uint16_t content, uint8_t byte0 = 0x01)
{
    std::vector<char> bytes(total < MIRP_HLEN ? MIRP_HLEN : total, 0x5A);
    MirpHeader header;
    header.init();
    header.TransId = static_cast<uint8_t>(BRAX::KORV::MIRP_TYPE_MarketEvent);
    header.ContentLength = content;
    header.PacketNo = 0x01020304;
    header.TopicID = 0x0506;
    memcpy(bytes.data(), &header, MIRP_HLEN);
    bytes[0] = static_cast<char>(byte0);
    // Exactly total bytes on the heap, so a read past them is caught.
    return std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(total));
}

}  // namespace

TEST(MirpHeader, InitSetsOnlyTheVersion)
{
    unsigned char raw[MIRP_HLEN];
    MirpHeader header;
    memset(&header, 0xFF, sizeof(header));
    header.init();
    memcpy(raw, &header, MIRP_HLEN);
    EXPECT_EQ(raw[0], 0x01);
    for (int i = 1; i < MIRP_HLEN; ++i)
        EXPECT_EQ(raw[i], 0) << i;
}

TEST(MirpPacket, ShortRemainderIsNotAPacket)
{
    std::vector<char> bytes = datagram(23, 0);
    MirpPacket packet(Packet(bytes.data(), 23));
    EXPECT_EQ(packet.valid_packet(), -1);
    EXPECT_EQ(packet.data(), bytes.data());
    EXPECT_EQ(packet.length(), 23u);
}

TEST(MirpPacket, HeaderOnlyPacketHasAnEmptyBody)
{
    std::vector<char> bytes = datagram(24, 0);
    MirpPacket packet(Packet(bytes.data(), 24));
    EXPECT_EQ(packet.valid_packet(), 24);
    EXPECT_EQ(packet.length(), 0u);
    EXPECT_EQ(packet.packet_no(), 0x01020304u);
    EXPECT_EQ(packet.topic_id(), 0x0506);
    EXPECT_EQ(packet.type(), 1);
}

TEST(MirpPacket, BodyIsCutToContentLengthAndTheWalkGoesOn)
{
    std::vector<char> bytes = datagram(100, 40);
    MirpPacket packet(Packet(bytes.data(), 100));
    EXPECT_EQ(packet.valid_packet(), 64);
    EXPECT_EQ(packet.data(), bytes.data() + 24);
    EXPECT_EQ(packet.length(), 40u);

    // The next packet starts right behind the body.
    std::vector<char> second = datagram(36, 12);
    memcpy(bytes.data() + 64, second.data(), 36);
    MirpPacket next(Packet(bytes.data() + 64, 36));
    EXPECT_EQ(next.valid_packet(), 36);
    EXPECT_EQ(next.length(), 12u);
}

TEST(MirpPacket, FlagNibbleCarriesContinue)
{
    std::vector<char> set = datagram(24, 0, 0x11);
    MirpPacket a(Packet(set.data(), 24));
    ASSERT_EQ(a.valid_packet(), 24);
    EXPECT_EQ(a.const_header()->Version, 1);
    EXPECT_EQ(a.flag() & MIRP_FLAG_CONTINUE, MIRP_FLAG_CONTINUE);

    std::vector<char> clear = datagram(24, 0, 0x01);
    MirpPacket b(Packet(clear.data(), 24));
    ASSERT_EQ(b.valid_packet(), 24);
    EXPECT_EQ(b.header()->Version, 1);
    EXPECT_EQ(b.flag(), 0);
}

TEST(MirpPacket, LengthBeyondTheDatagramIsRefusedAndLoggedUnderFlag8)
{
    RecordingLogger logger;
    reg_logger(0, &logger, 6);
    std::vector<char> bytes = datagram(100, 77);

    MirpPacket quiet(Packet(bytes.data(), 100));
    EXPECT_EQ(quiet.valid_packet(), -9);
    EXPECT_TRUE(logger.m_lines.empty());

    set_use_log(USE_LOG_MIRP_LENGTH, true);
    MirpPacket packet(Packet(bytes.data(), 100));
    EXPECT_EQ(packet.valid_packet(), -9);
    set_use_log(USE_LOG_MIRP_LENGTH, false);
    reg_logger(0, &StdoutLogger::m_instance, 6);

    EXPECT_EQ(packet.length(), 100u);
    EXPECT_EQ(packet.data(), bytes.data());
    EXPECT_EQ(packet.const_header()->ContentLength, 77);
    ASSERT_EQ(logger.m_lines.size(), 1u);
    EXPECT_EQ(logger.m_lines[0],
              "KORV Push packet length inconsistent: TransId=00000001,Length()-MIRP_HLEN=76 "
              "m_header.ContentLength=77\n");
}

TEST(MirpCipher, FactoryKnowsOnlyThePlainCipher)
{
    std::unique_ptr<MirpCipher> plain(mirp_create_cipher('0', nullptr, nullptr));
    EXPECT_NE(dynamic_cast<PlainCipher*>(plain.get()), nullptr);
    EXPECT_EQ(mirp_create_cipher('1', nullptr, nullptr), nullptr);
    EXPECT_EQ(mirp_create_cipher(0, nullptr, nullptr), nullptr);
}

TEST(PlainCipher, CopiesOrRefusesASmallerOutput)
{
    PlainCipher cipher;
    const unsigned char in[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    unsigned char out[16] = {0};
    unsigned long out_len = 10;
    EXPECT_EQ(cipher.decrypt(in, 11, out, out_len), -6);
    EXPECT_EQ(out_len, 10u);
    EXPECT_EQ(out[0], 0);

    out_len = sizeof(out);
    EXPECT_EQ(cipher.encrypt(in, 11, out, out_len), 0);
    EXPECT_EQ(out_len, 11u);
    EXPECT_EQ(memcmp(in, out, 11), 0);
}
