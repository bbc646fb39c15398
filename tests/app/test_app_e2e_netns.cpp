// The test application run as a user would, against the simulator, in a
// private network namespace: its last line per instrument equals the
// simulator's truth, and it writes the event log Syslog.log. About 5 seconds.
#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

using child_process::build_dir;
using child_process::spawn;
using child_process::wait_exit;

namespace {

std::vector<std::string> read_lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(AppEndToEnd, PrintsTheTruthAndWritesTheEventLog)
{
    const std::string dir = "app_e2e";
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    unlink("Syslog.log");
    const std::string build = build_dir();
    pid_t sim = spawn({build + "/apps/korv_md_simulator", "--listen", "tcp://127.0.0.1:30207",
                       "--publish", "udpg://239.3.0.2:30201", "--duration", "3", "--linger", "1",
                       "--heartbeat", "100", "--drop", "0.02", "--truth", "truth.txt"},
                      "sim.txt");
    usleep(300000);
    pid_t app = spawn({build + "/korv_user_api_test", "1001", "tcp://127.0.0.1:30207",
                       "udpg://239.3.0.2:30201", "P01", "U01", "secret"},
                      "app.txt");
    EXPECT_EQ(wait_exit(sim), 0);
    // The application runs until it is stopped.
    kill(app, SIGTERM);
    wait_exit(app);

    std::map<std::string, std::string> want;
    for (const auto& entry : sim_truth::read_truth("truth.txt"))
        want[entry.first] = sim_truth::market_line(entry.second);
    std::map<std::string, std::string> got =
        sim_truth::last_application_lines(sim_truth::read_file("app.txt"));
    int snap_time_lines = 0;
    for (const std::string& line : read_lines("app.txt"))
        snap_time_lines += !line.empty() && line[0] == '!';
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(got, want);
    EXPECT_GT(snap_time_lines, 0);

    std::string log;
    for (const std::string& line : read_lines("Syslog.log"))
        log += line + "\n";
    EXPECT_NE(log.find(" korv_user_api 0["), std::string::npos);
    EXPECT_NE(log.find("event LoginRsp 5"), std::string::npos);
    EXPECT_NE(log.find("event query 5 req_qry_topic_snap  topic_id = 1001"), std::string::npos);
    EXPECT_EQ(chdir(".."), 0);
}
