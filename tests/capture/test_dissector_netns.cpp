// The Wireshark dissector (tools/wireshark/korv.lua) under tshark, on what
// the simulator sent to the test application in a private network
// namespace, captured on the loopback interface: the multicast datagrams,
// the login, a snapshot of 200 instruments reassembled across segments and
// a gap reply after a burst of lost datagrams. tshark's fields must say
// what the simulator says it sent (its summary and truth), and its decoded
// MIRP values must be the project's own codecs' values. About 6 seconds.
#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "source/korv_replay/ReplayCapture.h"
#include "source/mirp_protocol/InstrumentEventContext.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"

using namespace BRAX::KORV;
using child_process::build_dir;
using child_process::spawn;
using child_process::wait_exit;

namespace {

// Columns of `tshark -T fields`, each a list of every occurrence in order.
using Columns = std::vector<std::vector<std::string>>;

Columns tshark_fields(const std::string& filter, const std::vector<std::string>& fields)
{
    std::vector<std::string> args = {
        TSHARK_PATH,    "-r",   "all.pcap",    "-X",     std::string("lua_script:") + KORV_LUA_PATH,
        "-Y",           filter, "-T",          "fields", "-E",
        "occurrence=a", "-E",   "aggregator=,"};
    for (const std::string& field : fields) {
        args.push_back("-e");
        args.push_back(field);
    }
    EXPECT_EQ(wait_exit(spawn(args, "fields.txt")), 0);
    Columns columns(fields.size());
    std::ifstream in("fields.txt");
    for (std::string line; std::getline(in, line);) {
        std::stringstream row(line);
        std::string cell;
        for (size_t i = 0; i < fields.size() && std::getline(row, cell, '\t'); ++i) {
            std::stringstream values(cell);
            for (std::string value; std::getline(values, value, ',');)
                columns[i].push_back(value);
        }
    }
    return columns;
}

// What the project's codecs read from the multicast datagrams of the file,
// element by element, in the order of the tshark fields below.
Columns codec_values()
{
    Columns columns(6);
    ReplayCapture capture;
    std::string error;
    EXPECT_EQ(capture.load("all.pcap", error), 0) << error;
    for (const ReplayDatagram& datagram : capture.get_datagrams()) {
        if (capture.get_lines()[size_t(datagram.line)].port != 30751)
            continue;
        Packet rest(reinterpret_cast<const char*>(capture.payload(datagram)),
                    int(datagram.length));
        for (MirpPacket packet(rest); packet.valid_packet() > 0; packet = MirpPacket(rest)) {
            rest.pop(static_cast<unsigned long>(MIRP_HLEN) + packet.length());
            columns[0].push_back(std::to_string(packet.packet_no()));
            const char* p = packet.data();
            for (unsigned long at = 0; at + 4 <= packet.length();) {
                uint16_t id, size;
                memcpy(&id, p + at, 2);
                memcpy(&size, p + at + 2, 2);
                const char* content = p + at + 4;
                at += 4 + size;
                if (id == MIRP_FID_InstrumentEventHeader) {
                    KORV::USER::InstrumentEventContext c;
                    KORV::CODEC_InstrumentEventHeader::field_decode(content, size, &c);
                    columns[1].push_back(std::to_string(c.InstrumentNo));
                } else if (id == MIRP_FID_MDEntryEvent) {
                    MIRP_MDEntryEvent e;
                    KORV::CODEC_MDEntryEvent::field_decode(content, size, &e);
                    columns[2].push_back(std::to_string(e.PriceOffset));
                    columns[3].push_back(std::to_string(e.Volume));
                } else if (id == MIRP_FID_TradeSlice) {
                    MIRP_TradeSlice t;
                    KORV::CODEC_TradeSlice::field_decode(content, size, &t);
                    columns[3].push_back(std::to_string(t.Volume));
                    columns[4].push_back(std::to_string(t.TurnoverOffset));
                } else if (id == MIRP_FID_Delta) {
                    MIRP_Delta d;
                    KORV::CODEC_Ratio::field_decode(content, size, &d);
                    columns[5].push_back(std::to_string(d.Delta));
                }
            }
        }
    }
    return columns;
}

// The simulator's summary line as name -> number ("gap packets" -> 29).
std::map<std::string, long> summary(const std::string& path)
{
    std::map<std::string, long> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 26, "korv_md_simulator: topics ") != 0)
            continue;
        std::stringstream parts(line.substr(19));
        for (std::string part; std::getline(parts, part, ',');) {
            size_t space = part.find_last_of(' ');
            values[part.substr(part.find_first_not_of(' '), space - part.find_first_not_of(' '))] =
                atol(part.c_str() + space + 1);
        }
    }
    return values;
}

}  // namespace

TEST(Dissector, TsharkShowsWhatTheSimulatorSent)
{
    ASSERT_EQ(access(TSHARK_PATH, X_OK), 0) << "no tshark (" TSHARK_PATH "): install tshark";
    ASSERT_EQ(access(DUMPCAP_PATH, X_OK), 0) << "no dumpcap (" DUMPCAP_PATH "): install tshark";
    mkdir("dissector", 0755);
    ASSERT_EQ(chdir("dissector"), 0);
    unlink("all.pcap");
    const std::string build = build_dir();
    pid_t dumpcap = spawn({DUMPCAP_PATH, "-q", "-i", "lo", "-w", "all.pcap"});
    usleep(1000000);  // dumpcap opens the interface
    pid_t sim =
        spawn({build + "/apps/korv_md_simulator", "--listen", "tcp://127.0.0.1:30757", "--publish",
               "udpg://239.3.0.5:30751", "--duration", "2", "--linger", "0.5", "--instruments",
               "200", "--burst-loss", "20@1", "--heartbeat", "100", "--truth", "truth.txt"},
              "sim.txt");
    usleep(300000);
    pid_t app = spawn({build + "/korv_user_api_test", "1001", "tcp://127.0.0.1:30757",
                       "udpg://239.3.0.5:30751", "P01", "U01", "secret"},
                      "app.txt");
    EXPECT_EQ(wait_exit(sim), 0);
    kill(app, SIGTERM);
    wait_exit(app);
    usleep(300000);
    kill(dumpcap, SIGTERM);
    EXPECT_EQ(wait_exit(dumpcap), 0);

    std::map<std::string, long> sent = summary("sim.txt");
    ASSERT_EQ(sent["gap queries"], 1);

    // Multicast: one MIRP datagram per datagram sent, and with the gap
    // reply's packets every market packet number from 1 to the last.
    Columns multicast =
        tshark_fields("udp && mirp", {"frame.number", "mirp.packet_no", "mirp.type"});
    EXPECT_EQ(long(multicast[0].size()), sent["sent"]);
    Columns gap = tshark_fields("tcp && mirp", {"mirp.packet_no"});
    EXPECT_EQ(long(gap[0].size()), sent["gap packets"]);
    std::set<long> numbers;
    for (size_t i = 0; i < multicast[1].size(); ++i)
        if (multicast[2][i] == "1")
            numbers.insert(atol(multicast[1][i].c_str()));
    for (const std::string& no : gap[0])
        numbers.insert(atol(no.c_str()));
    std::ifstream truth("truth.txt");
    std::string hash, word;
    long topic, last_packet;
    truth >> hash >> word >> topic >> word >> last_packet;
    ASSERT_EQ(word, "packet_no");
    EXPECT_EQ(long(numbers.size()), last_packet);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), last_packet);

    // Query side: the login as the application sent it, and the snapshot's
    // instruments, every one, in the simulator's order.
    Columns query =
        tshark_fields("mdqp", {"mdqp.req_login.user_id", "mdqp.req_login.participant_id",
                               "mdqp.instrument.instrument_id", "mdqp.gap.topic_id"});
    EXPECT_EQ(query[0], std::vector<std::string>{"U01"});
    EXPECT_EQ(query[1], std::vector<std::string>{"P01"});
    std::vector<std::string> ids;
    for (const auto& entry : sim_truth::read_truth("truth.txt"))
        ids.push_back(entry.first);
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_EQ(query[2], ids);
    EXPECT_EQ(query[3], std::vector<std::string>{"1001"});

    // Every decoded MIRP element, zigzag varints included, as the codecs
    // read it.
    Columns shown =
        tshark_fields("udp && mirp", {"mirp.packet_no", "mirp.instrument_no", "mirp.price_offset",
                                      "mirp.volume", "mirp.turnover_offset", "mirp.delta"});
    Columns want = codec_values();
    EXPECT_GT(want[4].size(), 10u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(shown[i], want[i]) << "column " << i;
    ASSERT_EQ(shown[5].size(), want[5].size());
    for (size_t i = 0; i < want[5].size(); ++i)
        EXPECT_NEAR(atof(shown[5][i].c_str()), atof(want[5][i].c_str()), 1e-6);
    EXPECT_EQ(chdir(".."), 0);
}
