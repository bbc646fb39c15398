// Capture and replay end to end, in a private network namespace: the
// simulator runs with market options the replay is never told, the test
// application follows it live, and the run is recorded two ways: dumpcap
// on the loopback interface (the application's own query session and the
// multicast) and korv_md_capture (a query session of its own). Each file
// replays with no market options to the application's lines and to the
// simulator's truth: from the start, joined mid-stream and with 5 % of the
// datagrams lost. A file with a hole nothing covers stops its topic there
// and says so; the simulator publishes a file whole, past its default
// duration, and a client that joins it late gets the file's snapshot and
// gap replies. About 40 seconds.
#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "source/korv_capture/PcapngWriter.h"
#include "source/korv_replay/CaptureFileReader.h"
#include "source/korv_replay/ReplayCapture.h"

using child_process::build_dir;
using child_process::spawn;
using child_process::wait_exit;
using child_process::wait_for_text;

namespace {

struct MarketRun {
    std::string name;
    // Seconds the recording starts after the simulator.
    double join_after;
    std::vector<std::string> market;
};

// The market options of each run; the replays are never told them.
const std::vector<MarketRun> RUNS = {
    {"whole", 0, {"--seed", "5", "--instruments", "7", "--depth", "4"}},
    {"late", 1.0, {"--seed", "3", "--instruments", "8", "--depth", "3"}},
    {"loss", 0, {"--seed", "9", "--instruments", "6", "--drop", "0.05"}},
};

// The application's handler lines: snap time lines and market lines.
std::vector<std::string> handler_lines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if ((!line.empty() && line[0] == '!') ||
            sim_truth::column_count(line) == sim_truth::MARKET_COLUMNS)
            lines.push_back(line);
    return lines;
}

std::map<std::string, std::string> truth_lines(const std::string& path)
{
    std::map<std::string, std::string> want;
    for (const auto& entry : sim_truth::read_truth(path))
        want[entry.first] = sim_truth::market_line(entry.second);
    return want;
}

std::string replay_tool()
{
    return build_dir() + "/apps/korv_md_replay";
}

// Replays the file with no market options: its exit status; the lines go
// to out, standard error to out + ".err".
int replay(const std::string& file, const std::string& out)
{
    return wait_exit(spawn({"/bin/sh", "-c", replay_tool() + " " + file + " 2>" + out + ".err"},
                           out),
                     60);
}

class CaptureReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        mkdir("capture_replay", 0755);
        ASSERT_EQ(chdir("capture_replay"), 0);
    }
    static void TearDownTestSuite() { EXPECT_EQ(chdir(".."), 0); }

    // The simulator with the run's market for 2.5 s, recorded by dumpcap
    // (recorder "dumpcap") or korv_md_capture ("capture") from join_after
    // on, and the application from a little later: writes <file>, the
    // application's output <file>.app and the truth <file>.truth.
    static void record(const MarketRun& run, const std::string& recorder, const std::string& file,
                       const std::string& group)
    {
        const std::string apps = build_dir() + "/apps/";
        std::vector<std::string> simulator = {apps + "korv_md_simulator", "--listen",
                                              "tcp://127.0.0.1:31007", "--publish", group,
                                              "--duration", "2.5", "--linger", "0.5",
                                              "--heartbeat", "100", "--truth", file + ".truth"};
        simulator.insert(simulator.end(), run.market.begin(), run.market.end());
        pid_t sim = spawn(simulator, file + ".sim");
        // Timed from when it listens: a recorder that came first would find
        // no query server and record the multicast alone.
        EXPECT_TRUE(wait_for_text(file + ".sim", "korv_md_simulator: ready"));
        usleep(useconds_t(run.join_after * 1e6));
        pid_t recording;
        if (recorder == "dumpcap") {
            recording = spawn({DUMPCAP_PATH, "-q", "-i", "lo", "-w", file});
            usleep(800000);  // dumpcap opens the interface
        } else {
            recording = spawn({apps + "korv_md_capture", "--group", group + "@127.0.0.1",
                               "--query", "tcp://127.0.0.1:31007", "--participant", "P01",
                               "--user", "U01", "--password", "secret", "--out", file},
                              file + ".capture");
            usleep(300000);
        }
        pid_t app = spawn({"/usr/bin/timeout", "4", build_dir() + "/korv_user_api_test", "1001",
                           "tcp://127.0.0.1:31007", group, "P01", "U01", "secret"},
                          file + ".app");
        EXPECT_EQ(wait_exit(sim), 0);
        wait_exit(app);
        usleep(300000);
        kill(recording, SIGTERM);
        EXPECT_EQ(wait_exit(recording), 0);
    }
};

}  // namespace

TEST_F(CaptureReplay, ADumpcapCaptureOfALiveSessionReplaysToExactlyItsLinesAndTheTruth)
{
    ASSERT_EQ(access(DUMPCAP_PATH, X_OK), 0) << "no dumpcap (" DUMPCAP_PATH "): install tshark";
    for (const MarketRun& run : RUNS) {
        SCOPED_TRACE(run.name);
        const std::string file = "dumpcap_" + run.name + ".pcapng";
        record(run, "dumpcap", file, "udpg://239.3.0.5:31001");
        EXPECT_EQ(replay(file, file + ".lines"), 0) << sim_truth::read_file(file + ".lines.err");
        const std::string lines = sim_truth::read_file(file + ".lines");
        std::vector<std::string> live = handler_lines(sim_truth::read_file(file + ".app"));
        EXPECT_GT(live.size(), 100u);
        EXPECT_EQ(handler_lines(lines), live);
        EXPECT_EQ(sim_truth::last_application_lines(lines), truth_lines(file + ".truth"));
    }
}

TEST_F(CaptureReplay, ACaptureReplaysToTheApplicationsLinesFromItsSnapshotOnAndTheTruth)
{
    for (const MarketRun& run : RUNS) {
        SCOPED_TRACE(run.name);
        const std::string file = "capture_" + run.name + ".pcapng";
        record(run, "capture", file, "udpg://239.3.0.6:31001");
        EXPECT_EQ(replay(file, file + ".lines"), 0) << sim_truth::read_file(file + ".lines.err");
        std::vector<std::string> replayed = handler_lines(sim_truth::read_file(file + ".lines"));
        std::vector<std::string> live = handler_lines(sim_truth::read_file(file + ".app"));
        // The capture's snapshot came first: from the application's
        // snapshot (its snap time line and one line per instrument) on,
        // both printed the same.
        const std::map<std::string, std::string> truth = truth_lines(file + ".truth");
        ASSERT_GT(live.size(), truth.size() + 100);
        std::vector<std::string> after(live.begin() + long(truth.size()) + 1, live.end());
        ASSERT_GE(replayed.size(), after.size());
        EXPECT_TRUE(std::equal(after.begin(), after.end(), replayed.end() - long(after.size())));
        EXPECT_EQ(sim_truth::last_application_lines(sim_truth::read_file(file + ".lines")), truth);
    }
}

TEST_F(CaptureReplay, AHoleNothingCoversEndsItsTopicThereWithAReportAndNeverAWrongBook)
{
    ASSERT_EQ(access(DUMPCAP_PATH, X_OK), 0) << "no dumpcap (" DUMPCAP_PATH "): install tshark";
    record(RUNS[0], "dumpcap", "whole.pcapng", "udpg://239.3.0.7:31001");
    ASSERT_EQ(replay("whole.pcapng", "whole.lines"), 0);
    // The same file without three datagrams well after the snapshot.
    ReplayCapture capture;
    std::string error;
    ASSERT_EQ(capture.load("whole.pcapng", error), 0) << error;
    ASSERT_EQ(capture.get_snapshots().size(), 1u);
    const size_t cut = capture.get_snapshots()[0].position + 100;
    CaptureFileReader reader;
    ASSERT_EQ(reader.open("whole.pcapng"), 0);
    PcapngWriter writer;
    ASSERT_EQ(writer.open("holed.pcapng"), 0);
    ASSERT_EQ(writer.start_section({}, {"lo"}), 0);
    CaptureRecord record;
    size_t datagrams = 0;
    while (reader.next(record) == 1) {
        ASSERT_EQ(record.link_type, 1);  // dumpcap's loopback: Ethernet
        bool udp = record.length > 14 + 20 && record.data[14 + 9] == 17;
        if (udp && ++datagrams > cut && datagrams <= cut + 3)
            continue;
        ASSERT_EQ(writer.write_packet(0, record.time_ns, record.data + 14, record.length - 14), 0);
    }
    ASSERT_EQ(writer.close(), 0);

    EXPECT_EQ(replay("holed.pcapng", "holed.lines"), 1);
    const std::string report = sim_truth::read_file("holed.lines.err");
    EXPECT_NE(report.find("korv_md_replay: topic 1001: packets "), std::string::npos) << report;
    EXPECT_NE(report.find(" are in no datagram and no gap reply of the file: its lines end at "),
              std::string::npos)
        << report;
    // What it printed is what the whole file printed up to the hole.
    const std::string holed = sim_truth::read_file("holed.lines");
    const std::string whole = sim_truth::read_file("whole.lines");
    EXPECT_GT(holed.size(), 0u);
    EXPECT_LT(holed.size(), whole.size());
    EXPECT_EQ(whole.compare(0, holed.size(), holed), 0);
}

TEST_F(CaptureReplay, TheSimulatorPublishesAFileWholeAndServesItsQuerySideToALateClient)
{
    record(RUNS[0], "capture", "served.pcapng", "udpg://239.3.0.8:31001");
    const std::string apps = build_dir() + "/apps/";
    // The file lasts some 3 s; at twice its pace it still outlasts the
    // duration, which must not cut it short.
    pid_t sim = spawn({apps + "korv_md_simulator", "--listen", "tcp://127.0.0.1:31107", "--publish",
                       "udpg://239.3.0.9:31101", "--replay", "served.pcapng", "--replay-speed",
                       "2", "--duration", "0.5", "--linger", "0.5"},
                      "served.sim");
    usleep(700000);  // past the file's snapshot: the client meets the feed mid-stream
    pid_t app = spawn({"/usr/bin/timeout", "5", build_dir() + "/korv_user_api_test", "1001",
                       "tcp://127.0.0.1:31107", "udpg://239.3.0.9:31101", "P01", "U01", "secret"},
                      "served.app");
    EXPECT_EQ(wait_exit(sim), 0);
    wait_exit(app);
    const std::string live = sim_truth::read_file("served.app");
    EXPECT_EQ(sim_truth::last_application_lines(live), truth_lines("served.pcapng.truth")) << live;
    EXPECT_NE(sim_truth::read_file("served.sim").find("logins 1, refused logins 0, snapshots 1"),
              std::string::npos)
        << sim_truth::read_file("served.sim");
}
