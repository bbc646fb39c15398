// The capture's parts without a network: the pcapng writer (held packets,
// whole blocks after every write), a datagram's IPv4 and UDP headers byte
// for byte, the TCP stream recorder (segmenting,
// sequence numbers, one close), the line's hole finding, and the command
// line. Files are read back with the test's own reader.
#include "source/korv_capture/PcapngWriter.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "source/korv_capture/CaptureLine.h"
#include "source/korv_capture/CaptureOptions.h"
#include "source/korv_capture/Ipv4Frame.h"
#include "source/korv_capture/TcpStreamRecorder.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "tests/capture/CaptureFileView.h"
#include "velta/source/base/ErrorCode.h"

using namespace capture_view;

namespace {

const uint8_t PAYLOAD[] = {1, 2, 3, 4, 5};

// One MIRP packet header of the topic and number, without a body.
std::string mirp(uint16_t topic, uint32_t no, bool heartbeat = false)
{
    MirpHeader header;
    header.init();
    header.TransId = heartbeat ? BRAX::KORV::MIRP_TYPE_Heartbeat : 1;
    header.TopicID = topic;
    header.PacketNo = no;
    return std::string(reinterpret_cast<const char*>(&header), MIRP_HLEN);
}

std::vector<CaptureLine::Hole> holes_of(CaptureLine& line, const std::string& datagram,
                                        std::vector<uint16_t>* new_topics = nullptr)
{
    std::vector<CaptureLine::Hole> holes;
    std::vector<uint16_t> topics;
    EXPECT_TRUE(line.count(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size(),
                           holes, topics));
    if (new_topics != nullptr)
        *new_topics = topics;
    return holes;
}

int parse(CaptureOptions& options, std::vector<std::string> args, std::string& error)
{
    args.insert(args.begin(), "korv_md_capture");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    return options.parse(int(argv.size()), argv.data(), error);
}

}  // namespace

TEST(CaptureFile, PacketsWaitForTheSectionAndThoseOfUndeclaredInterfacesAreLeftOut)
{
    PcapngWriter writer;
    ASSERT_EQ(writer.open("held.pcapng"), EC_NONE);
    EXPECT_EQ(writer.write_packet(0, 100, PAYLOAD, 5), EC_NONE);
    EXPECT_EQ(writer.write_packet(1, 200, PAYLOAD, 3), EC_NONE);
    EXPECT_EQ(writer.write_packet(0, 300, PAYLOAD, 4), EC_NONE);
    EXPECT_EQ(read("held.pcapng").size, 0u);  // nothing before the header
    EXPECT_EQ(writer.get_held_bytes(), 3 * 32u + 8 + 4 + 4);
    ASSERT_EQ(writer.start_section({"korv.query=none reason=x", "korv.version=1"}, {"one"}),
              EC_NONE);
    File file = read("held.pcapng");
    EXPECT_TRUE(file.whole);
    EXPECT_EQ(file.comments,
              (std::vector<std::string>{"korv.query=none reason=x", "korv.version=1"}));
    EXPECT_EQ(file.interfaces, std::vector<std::string>{"one"});
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(writer.get_held_bytes(), 0u);
    EXPECT_EQ(file.packets[0].time_ns, 100);
    EXPECT_EQ(file.packets[0].data, std::string("\1\2\3\4\5"));
    EXPECT_EQ(file.packets[1].time_ns, 300);
    EXPECT_EQ(file.packets[1].data, std::string("\1\2\3\4"));

    // Written at once from now on, every block whole the moment it is.
    const uint64_t drops = 7;
    int64_t late = int64_t(1) << 40;  // needs the high word of the time
    EXPECT_EQ(writer.write_packet(0, late, PAYLOAD, 1), EC_NONE);
    EXPECT_EQ(read("held.pcapng").packets.back().time_ns, late);
    EXPECT_EQ(writer.write_statistics(0, late, &drops, "korv.rcvbuf=4096"), EC_NONE);
    EXPECT_EQ(writer.get_bytes(), read("held.pcapng").size);
    EXPECT_EQ(read("held.pcapng").drops.at(0), 7u);
    EXPECT_EQ(read("held.pcapng").statistics_comments.at(0), "korv.rcvbuf=4096");
    EXPECT_EQ(writer.close(), EC_NONE);
}

TEST(CaptureFile, AFileClosedBeforeItsSectionStartedSaysItLostPackets)
{
    PcapngWriter writer;
    ASSERT_EQ(writer.open("unstarted.pcapng"), EC_NONE);
    EXPECT_EQ(writer.write_packet(0, 1, PAYLOAD, 5), EC_NONE);
    EXPECT_EQ(writer.close(), EC_WRITE);
    EXPECT_NE(writer.get_error().find("never started"), std::string::npos);
    PcapngWriter empty;
    EXPECT_EQ(empty.open("no/such/folder/file.pcapng"), EC_WRITE);
}

TEST(CaptureFile, ADatagramIsFramedAsRawIpv4AndUdpWithTheHeaderChecksumRight)
{
    // 10.0.0.1:1234 to 239.3.0.1:30001, "ab", worked out by hand (header
    // checksum included; UDP goes without one).
    const uint8_t expected[] = {0x45, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                0x41, 0xca, 0x0a, 0x00, 0x00, 0x01, 0xef, 0x03, 0x00, 0x01,
                                0x04, 0xd2, 0x75, 0x31, 0x00, 0x0a, 0x00, 0x00, 0x61, 0x62};
    Ipv4Endpoint from{inet_addr("10.0.0.1"), 1234};
    Ipv4Endpoint to{inet_addr("239.3.0.1"), 30001};
    std::vector<uint8_t> packet(IPV4_HEADER_SIZE + UDP_HEADER_SIZE + 2);
    ASSERT_EQ(build_udp_packet(from, to, 0, reinterpret_cast<const uint8_t*>("ab"), 2,
                               packet.data()),
              sizeof expected);
    EXPECT_EQ(packet, std::vector<uint8_t>(expected, expected + sizeof expected));

    // The largest payload fills the IPv4 length field exactly; one more
    // byte does not fit and nothing is written.
    std::vector<uint8_t> big(IPV4_UDP_MAX_PAYLOAD + 1, 'x');
    std::vector<uint8_t> out(65535);
    ASSERT_EQ(build_udp_packet(from, to, 1, big.data(), IPV4_UDP_MAX_PAYLOAD, out.data()), 65535u);
    EXPECT_EQ(out[2], 0xff);
    EXPECT_EQ(out[3], 0xff);
    EXPECT_TRUE(ipv4_checksum_ok(std::string(out.begin(), out.begin() + 20)));
    EXPECT_EQ(build_udp_packet(from, to, 1, big.data(), big.size(), out.data()), 0u);
}

TEST(CaptureFile, ATcpStreamIsCutIntoSegmentsWithConsistentNumbersAndClosedOnce)
{
    PcapngWriter writer;
    ASSERT_EQ(writer.open("stream.pcapng"), EC_NONE);
    ASSERT_EQ(writer.start_section({}, {"tcp://127.0.0.1:30007"}), EC_NONE);
    Ipv4Endpoint client{inet_addr("127.0.0.1"), 40000};
    Ipv4Endpoint server{inet_addr("127.0.0.1"), 30007};
    TcpStreamRecorder recorder(writer, 0, client, server);
    std::string big(150000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    EXPECT_EQ(recorder.open(10), EC_NONE);
    EXPECT_EQ(recorder.client_sent(11, reinterpret_cast<const uint8_t*>("login"), 5), EC_NONE);
    EXPECT_EQ(
        recorder.client_received(12, reinterpret_cast<const uint8_t*>(big.data()), big.size()),
        EC_NONE);
    EXPECT_EQ(recorder.client_sent(13, reinterpret_cast<const uint8_t*>("more"), 4), EC_NONE);
    EXPECT_EQ(recorder.close(14), EC_NONE);
    EXPECT_EQ(recorder.close(15), EC_NONE);
    writer.close();

    File file = read("stream.pcapng");
    // Handshake 3, "login" 1, 150000 bytes in 3, "more" 1, close 3.
    ASSERT_EQ(file.packets.size(), 11u);
    for (const Record& p : file.packets) {
        EXPECT_TRUE(ipv4_checksum_ok(p.data));
        EXPECT_LE(p.data.size(), 40u + TcpStreamRecorder::MAX_SEGMENT);
    }
    EXPECT_EQ(file.packets[6].data.size(), 40u + 150000 - 2 * TcpStreamRecorder::MAX_SEGMENT);
    std::map<uint16_t, Stream> all = streams(file, 0, 30007);
    ASSERT_EQ(all.size(), 1u);
    const Stream& s = all.at(40000);
    EXPECT_TRUE(s.syn);
    EXPECT_TRUE(s.fin);
    EXPECT_TRUE(s.in_order);
    EXPECT_EQ(s.sent, "loginmore");
    EXPECT_EQ(s.received, big);
    // The last data segment from the client acknowledges all of the server's bytes.
    EXPECT_EQ(be32(file.packets[7].data, 28),
              be32(file.packets[6].data, 24) + 150000 - 2 * TcpStreamRecorder::MAX_SEGMENT);
}

TEST(CaptureLineHoles, HolesAreFoundPerTopicAndLineAcrossHeartbeatsAndTheWrap)
{
    CaptureLine line;
    std::vector<uint16_t> new_topics;
    EXPECT_TRUE(holes_of(line, mirp(1, 10) + mirp(2, 0xfffffffe), &new_topics).empty());
    EXPECT_EQ(new_topics, (std::vector<uint16_t>{1, 2}));
    EXPECT_TRUE(holes_of(line, mirp(1, 11) + mirp(2, 0xffffffff), &new_topics).empty());
    EXPECT_TRUE(new_topics.empty());
    // A heartbeat announces the next number without taking it.
    EXPECT_TRUE(holes_of(line, mirp(1, 12, true)).empty());
    EXPECT_TRUE(holes_of(line, mirp(1, 12)).empty());
    // Across the wrap, 0 and 1 lost.
    std::vector<CaptureLine::Hole> holes = holes_of(line, mirp(2, 2) + mirp(1, 15));
    ASSERT_EQ(holes.size(), 2u);
    EXPECT_EQ(holes[0].topic, 2);
    EXPECT_EQ(holes[0].begin, 0u);
    EXPECT_EQ(holes[0].end, 2u);
    EXPECT_EQ(holes[1].topic, 1);
    EXPECT_EQ(holes[1].begin, 13u);
    EXPECT_EQ(holes[1].end, 15u);
    // Late and repeated packets neither make holes nor move back.
    EXPECT_TRUE(holes_of(line, mirp(1, 13) + mirp(1, 15) + mirp(1, 16)).empty());
    EXPECT_EQ(line.get_topics().at(1).gaps, 1u);
    EXPECT_EQ(line.get_topics().at(1).missing, 2u);
    EXPECT_EQ(line.get_topics().at(2).missing, 2u);

    // Another line keeps its own numbering of the same topic.
    CaptureLine other;
    EXPECT_TRUE(holes_of(other, mirp(1, 100)).empty());
    EXPECT_EQ(holes_of(line, mirp(1, 18)).size(), 1u);

    // A datagram that ends in a cut packet is counted as malformed.
    std::string cut = mirp(1, 19).substr(0, MIRP_HLEN - 1);
    std::vector<CaptureLine::Hole> none;
    std::vector<uint16_t> topics;
    EXPECT_FALSE(
        line.count(reinterpret_cast<const uint8_t*>(cut.data()), cut.size(), none, topics));
    EXPECT_EQ(line.get_malformed(), 1u);
}

TEST(CaptureCommandLine, OptionsAreCheckedAndRotatedFilesNumbered)
{
    std::string error;
    CaptureOptions plain;
    EXPECT_EQ(parse(plain, {"-w", "feed.pcap", "udpg://239.3.0.1:30001", "--duration", "2"}, error),
              0)
        << error;
    EXPECT_EQ(plain.groups, std::vector<std::string>{"udpg://239.3.0.1:30001"});
    EXPECT_EQ(plain.file_path(1), "feed.pcap");
    EXPECT_TRUE(plain.selects(7));

    CaptureOptions full;
    EXPECT_EQ(
        parse(full,
              {"--group", "udpg://239.3.0.1:30001", "--group", "udpg://239.3.0.2:30001", "--query",
               "tcp://127.0.0.1:30007", "--participant", "P", "--user", "U", "--password", "X",
               "--topics", "1001,1002", "--out", "dir.x/feed", "--rotate-size", "0.5"},
              error),
        0)
        << error;
    EXPECT_EQ(full.groups.size(), 2u);
    EXPECT_EQ(full.rotate_bytes, 512u * 1024);
    EXPECT_EQ(full.topics, (std::vector<uint16_t>{1001, 1002}));
    EXPECT_TRUE(full.selects(1002));
    EXPECT_FALSE(full.selects(1003));
    EXPECT_EQ(full.file_path(3), "dir.x/feed-0003");
    full.out = "day.pcapng";
    EXPECT_EQ(full.file_path(12), "day-0012.pcapng");

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--group", "udpg://239.3.0.1:30001"},
             {"--out", "f"},
             {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--query", "tcp://1.2.3.4:5"},
             {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--topics", "1001,x"},
             {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--topics", "70000"},
             {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--rotate-seconds", "0"},
             {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--bogus", "1"},
             {"--out", "f", "--group"}}) {
        CaptureOptions options;
        error.clear();
        EXPECT_EQ(parse(options, bad, error), -1) << bad.back();
        EXPECT_FALSE(error.empty());
    }
    CaptureOptions unasked;
    EXPECT_EQ(parse(unasked,
                    {"--out", "f", "--group", "udpg://239.3.0.1:30001", "--query",
                     "tcp://127.0.0.1:5", "--no-login"},
                    error),
              0);
    CaptureOptions help;
    EXPECT_EQ(parse(help, {"--help"}, error), 1);
    EXPECT_NE(CaptureOptions::usage("korv_md_capture").find("--rotate-size"), std::string::npos);
}
