// The spinning receive mode: the loop never sleeps, reads the groups without
// waiting and looks at the query connection only now and then, so what it
// must still do on time is what can break. Scenarios of losses, gap replies,
// snapshots, A/B lines, bad datagrams and the library's own time-outs run
// in that mode, and the library against the simulator under injected
// faults must end with the simulator's truth.
#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"
#include "tests/scenario/ScenarioRunner.h"

using namespace scenario_test;

namespace {

class SpinningScenario : public testing::TestWithParam<std::string> {};

TEST_P(SpinningScenario, Runs)
{
    run_scenario(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Files, SpinningScenario,
                         testing::Values("single-lost-packet", "burst-over-hundred",
                                         "burst-live-during-replay", "ab-loss-on-each-line",
                                         "snapshot-between-packets", "duplicates",
                                         "malformed-datagram", "zero-length-datagram",
                                         "lost-tail-heartbeat", "gap-timeout", "keepalive-expiry",
                                         "snapshot-timeout"),
                         scenario_test_name);

TEST(SpinningFaults, FivePercentLossEndsWithTheTruth)
{
    const std::string simulator = child_process::build_dir() + "/apps/korv_md_simulator";
    if (access(simulator.c_str(), X_OK) != 0)
        GTEST_SKIP() << "simulator not built";
    const std::string port = std::to_string(35000 + int(getpid() % 500) * 2);
    pid_t sim = child_process::spawn({simulator,
                                      "--listen",
                                      "tcp://127.0.0.1:" + port,
                                      "--publish",
                                      "udpg://239.3.3.2:" + port,
                                      "--truth",
                                      "spin_truth.txt",
                                      "--heartbeat",
                                      "100",
                                      "--password",
                                      PASSWORD,
                                      "--seed",
                                      port,
                                      "--topic",
                                      "1001",
                                      "--instruments",
                                      "15",
                                      "--depth",
                                      "5",
                                      "--rate",
                                      "500",
                                      "--duration",
                                      "3",
                                      "--linger",
                                      "2",
                                      "--drop",
                                      "0.05",
                                      "--duplicate",
                                      "0.03",
                                      "--truncate",
                                      "0.01",
                                      "--delay",
                                      "0.03",
                                      "--reorder",
                                      "3"},
                                     "spin_sim.txt");
    usleep(300000);
    sim_truth::BookRecorder handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location(("tcp://127.0.0.1:" + port).c_str());
    api->reg_mirp_location(("udpg://239.3.3.2:" + port).c_str());
    api->set_authentication("P01", "U01", PASSWORD);
    api->subscribe_topic(1001, &handler);
    ASSERT_EQ(api->set_receive_mode(true, -1), 0);
    testing::internal::CaptureStdout();
    api->start();
    // The mode is fixed once the loop runs.
    EXPECT_EQ(api->set_receive_mode(false, -1), -5);
    EXPECT_EQ(child_process::wait_exit(sim, 60), 0);
    api->close();
    std::string out = testing::internal::GetCapturedStdout();

    std::map<std::string, std::string> truth = sim_truth::read_truth("spin_truth.txt");
    std::map<std::string, std::string> got = handler.lines();
    ASSERT_FALSE(truth.empty());
    for (const auto& entry : truth)
        EXPECT_EQ(got[entry.first], entry.second) << entry.first;
    EXPECT_NE(out.find("qry_topic_gap"), std::string::npos);
    EXPECT_EQ(out.find(PASSWORD), std::string::npos);
}

TEST(SpinningFaults, ACpuBelowMinusOneIsRefused)
{
    KorvUserApi* api = KorvUserApi::create_instance();
    EXPECT_EQ(api->set_receive_mode(true, -2), -13);
    api->close();
}

}  // namespace
