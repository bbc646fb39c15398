// Capture files and the frames in them: the frame the capture tool writes,
// every truncation of a file and of a frame refused cleanly, foreign files
// named as such, and the capture's count of holes in packet numbers.
#include "apps/korv_md_replay/PcapDatagramReader.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/korv_md_capture/CaptureCounters.h"
#include "apps/korv_md_capture/PcapDatagramWriter.h"
#include "apps/korv_md_replay/UdpFrame.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "tests/ChildProcess.h"
#include "velta/source/base/ErrorCode.h"

namespace {

// 10.0.0.1:1234 to 239.3.0.1:30001, "ab", as an Ethernet frame (worked out
// by hand, checksum included).
const uint8_t FRAME[] = {0x01, 0x00, 0x5e, 0x03, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00,
                         0x01, 0x08, 0x00, 0x45, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x40, 0x00,
                         0x01, 0x11, 0x80, 0xca, 0x0a, 0x00, 0x00, 0x01, 0xef, 0x03, 0x00,
                         0x01, 0x04, 0xd2, 0x75, 0x31, 0x00, 0x0a, 0x00, 0x00, 0x61, 0x62};

CapturedDatagram datagram(const std::string& payload, int64_t time_us)
{
    CapturedDatagram d;
    d.time_us = time_us;
    d.source_addr = inet_addr("10.0.0.1");
    d.source_port = 1234;
    d.group_addr = inet_addr("239.3.0.1");
    d.group_port = 30001;
    d.payload = reinterpret_cast<const uint8_t*>(payload.data());
    d.length = payload.size();
    return d;
}

std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::vector<std::string> PAYLOADS = {"first", std::string(300, 'x'), "third"};

std::string valid_file()
{
    PcapDatagramWriter writer;
    EXPECT_EQ(writer.open("valid.pcap"), 0) << writer.get_error();
    for (size_t i = 0; i < PAYLOADS.size(); ++i)
        EXPECT_EQ(writer.write(datagram(PAYLOADS[i], 1767605400000000 + int64_t(i) * 1500)), 0);
    EXPECT_EQ(writer.close(), 0);
    return read_bytes("valid.pcap");
}

std::string mirp_packet(uint16_t topic, uint32_t packet_no, char type = 1)
{
    MirpHeader header;
    header.init();
    header.TransId = uint8_t(type);
    header.TopicID = topic;
    header.PacketNo = packet_no;
    return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

}  // namespace

TEST(CaptureFiles, TheWriterFramesADatagramAsEthernetIpv4AndUdp)
{
    std::string payload = "ab";
    std::vector<uint8_t> frame(UDP_FRAME_HEADROOM + payload.size());
    ASSERT_EQ(encode_udp_frame(datagram(payload, 0), frame.data()), sizeof FRAME);
    EXPECT_EQ(frame, std::vector<uint8_t>(FRAME, FRAME + sizeof FRAME));

    CapturedDatagram back;
    ASSERT_EQ(decode_udp_frame(UDP_FRAME_LINK_ETHERNET, FRAME, sizeof FRAME, back), 0);
    EXPECT_EQ(back.source_port, 1234);
    EXPECT_EQ(back.group_port, 30001);
    EXPECT_EQ(back.group_addr, inet_addr("239.3.0.1"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.payload), back.length), "ab");
    // The same datagram without its Ethernet header, as raw IPv4.
    ASSERT_EQ(decode_udp_frame(UDP_FRAME_LINK_RAW, FRAME + 14, sizeof FRAME - 14, back), 0);
    EXPECT_EQ(back.length, 2u);
}

TEST(CaptureFiles, FramesThatHoldNoWholeUdpDatagramAreSkipped)
{
    CapturedDatagram out;
    // Every cut: the copy is exactly as long, so a read past it is caught
    // by the address sanitizer.
    for (size_t length = 0; length < sizeof FRAME; ++length) {
        std::vector<uint8_t> cut(FRAME, FRAME + length);
        EXPECT_EQ(decode_udp_frame(UDP_FRAME_LINK_ETHERNET, cut.data(), length, out), EC_DISCARD)
            << length;
    }
    std::vector<uint8_t> frame(FRAME, FRAME + sizeof FRAME);
    frame[23] = 6;  // TCP
    EXPECT_EQ(decode_udp_frame(UDP_FRAME_LINK_ETHERNET, frame.data(), frame.size(), out),
              EC_DISCARD);
    frame = std::vector<uint8_t>(FRAME, FRAME + sizeof FRAME);
    frame[20] = 0x20;  // more fragments follow
    EXPECT_EQ(decode_udp_frame(UDP_FRAME_LINK_ETHERNET, frame.data(), frame.size(), out),
              EC_DISCARD);
    EXPECT_EQ(decode_udp_frame(147, FRAME, sizeof FRAME, out), EC_DISCARD);  // unknown link
}

TEST(CaptureFiles, EveryTruncationOfAFileReadsWhatIsWholeThenSaysTheFileIsDamaged)
{
    const std::string bytes = valid_file();
    PcapDatagramReader whole;
    ASSERT_EQ(whole.open("valid.pcap"), 0);
    CapturedDatagram d;
    for (size_t i = 0; i < PAYLOADS.size(); ++i) {
        ASSERT_EQ(whole.next(d), 1);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.payload), d.length), PAYLOADS[i]);
        EXPECT_EQ(d.time_us, 1767605400000000 + int64_t(i) * 1500);
        EXPECT_EQ(d.source_addr, inet_addr("10.0.0.1"));
    }
    EXPECT_EQ(whole.next(d), 0);

    for (size_t length = 0; length < bytes.size(); ++length) {
        write_bytes("cut.pcap", bytes.substr(0, length));
        PcapDatagramReader reader;
        if (reader.open("cut.pcap") != 0) {
            EXPECT_LT(length, 24u);
            EXPECT_NE(reader.get_error().find("cut.pcap: not a readable capture file"),
                      std::string::npos);
            continue;
        }
        size_t read = 0;
        int result;
        while ((result = reader.next(d)) == 1)
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.payload), d.length),
                      PAYLOADS[read++]);
        // A file cut between two records ends cleanly; inside one it is damaged.
        if (result == 0)
            continue;
        EXPECT_EQ(result, EC_FORMAT) << length;
        EXPECT_NE(reader.get_error().find("cut.pcap: damaged capture file (truncated"),
                  std::string::npos)
            << reader.get_error();
    }
}

TEST(CaptureFiles, TheCaptureCountsHolesInEachTopicsNumbering)
{
    CaptureCounters counters;
    // Topic 7: 1, 2, a heartbeat announcing 3, 3, then 6 (a hole of 2), 6
    // again and the late 4 (neither a hole). Topic 9: 10 and 12 in one
    // datagram, then a packet cut short.
    for (const std::string& datagram :
         {mirp_packet(7, 1) + mirp_packet(7, 2), mirp_packet(7, 3, BRAX::KORV::MIRP_TYPE_Heartbeat),
          mirp_packet(7, 3), mirp_packet(7, 6), mirp_packet(7, 6) + mirp_packet(7, 4),
          mirp_packet(9, 10) + mirp_packet(9, 12), mirp_packet(9, 13).substr(0, 20)})
        counters.count(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
    EXPECT_EQ(counters.line(),
              "datagrams 7, bytes 236, malformed 1, topic 7 packets 7 gaps 1 (missing 2), "
              "topic 9 packets 2 gaps 1 (missing 1)");
}
