// The library against the simulator, both in one private network namespace:
// after the run, the last delivery of every instrument must equal what the
// simulator published, with and without faults on the multicast, and with a
// first query server that refuses every login. About 20 seconds.
#include "source/korv_user/KorvUserApi.h"

#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/korv_user/test_subscriber_fixture.h"

using namespace BRAX::KORV_USER_API;
using subscriber_test::EventLog;

using child_process::build_dir;
using child_process::spawn;
using child_process::wait_exit;
using sim_truth::BookRecorder;
using sim_truth::read_truth;

namespace {

// One simulator run with its own ports and truth file; the library
// subscribes every topic and registers the servers in the given order.
void run_and_compare(const std::string& name, const std::vector<int>& topics,
                     const std::vector<std::string>& servers,
                     const std::vector<std::string>& sim_options, EventLog& events)
{
    const std::string truth_path = name + "_truth.txt";
    const std::string group = "udpg://239.3.0.1:" + std::to_string(31000 + getpid() % 1000);
    std::vector<std::string> args = {build_dir() + "/apps/korv_md_simulator",
                                     "--publish",
                                     group,
                                     "--truth",
                                     truth_path,
                                     "--heartbeat",
                                     "100"};
    for (const std::string& server : servers)
        args.insert(args.end(), {"--listen", server});
    for (int topic : topics)
        args.insert(args.end(), {"--topic", std::to_string(topic)});
    args.insert(args.end(), sim_options.begin(), sim_options.end());
    testing::internal::CaptureStdout();
    pid_t sim = spawn(args);
    usleep(300000);

    BookRecorder recorder;
    KorvUserApi* api = KorvUserApi::create_instance();
    for (const std::string& server : servers)
        api->reg_mdqp_location(server.c_str());
    api->reg_mirp_location(group.c_str());
    api->set_authentication("P01", "U01", "secret");
    for (int topic : topics)
        api->subscribe_topic(topic, &recorder);
    api->start();
    int status = wait_exit(sim);
    api->close();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);

    std::map<std::string, std::string> truth = read_truth(truth_path);
    std::map<std::string, std::string> got = recorder.lines();
    EXPECT_FALSE(truth.empty());
    EXPECT_EQ(got.size(), truth.size());
    for (const auto& entry : truth)
        EXPECT_EQ(got[entry.first], entry.second) << entry.first;
    EXPECT_EQ(out.find("RuntimeError"), std::string::npos);
    EXPECT_GE(events.count("event LoginRsp 5"), 1);
}

}  // namespace

TEST(EndToEnd, BooksEqualTheTruthWithAllTwentyLevels)
{
    EventLog events;
    run_and_compare("clean", {1001}, {"tcp://127.0.0.1:30107"},
                    {"--depth", "20", "--instruments", "12", "--rate", "400", "--duration", "3",
                     "--linger", "1"},
                    events);
}

TEST(EndToEnd, GapsAreFilledUnderLossDuplicatesReorderingAndBurstLoss)
{
    EventLog events;
    run_and_compare(
        "faults", {1001, 1002}, {"tcp://127.0.0.1:30117"},
        {"--depth",      "10",   "--instruments", "20",   "--rate",      "600",  "--duration", "4",
         "--linger",     "2",    "--drop",        "0.05", "--duplicate", "0.05", "--reorder",  "5",
         "--burst-loss", "80@2", "--seed",        "7"},
        events);
    EXPECT_GE(events.count("event query 4 req_qry_topic_gap"), 1);
}

TEST(EndToEnd, FailsOverWhenTheFirstServerRefusesTheLogin)
{
    EventLog events;
    run_and_compare("failover", {1001}, {"tcp://127.0.0.1:30127", "tcp://127.0.0.1:30128"},
                    {"--login-error", "tcp://127.0.0.1:30127", "--duration", "3", "--linger", "1"},
                    events);
    EXPECT_GE(events.count("event LoginError 3 -7001"), 1);
}
