// The bridge's retries against one server that is killed as the feed ends
// and started again on its store: the states in flight at the kill never
// reached the stream, and the book converges only because the bridge sends
// what was not acknowledged, or its whole book, once it is back. Consumers
// started before, durable or not, outlive the restart. About 10 seconds.
#include "tests/bridge/BridgeRun.h"

#include <gtest/gtest.h>

using namespace bridge_run;

TEST(BridgeServerRestart, StatesInFlightAtAKillReachTheStreamOnceTheServerIsBack)
{
    if (nats_server().empty())
        GTEST_SKIP() << "nats-server is not installed (scripts/prerequisites test)";
    enter_fresh_folder("bridge_server_restart");
    const std::string url = "nats://127.0.0.1:4222";
    pid_t server = start_server("single");
    ASSERT_TRUE(listening(4222, 10));

    pid_t sim = start_simulator();
    usleep(300000);
    pid_t early = start_consumer(url, {"--durable", "early"}, "early.txt");
    pid_t ephemeral = start_consumer(url, {}, "ephemeral.txt");
    pid_t bridge = start_bridge(url, {}, "bridge.txt");
    ASSERT_TRUE(printed_all("early.txt", 30));
    // Frozen first, so that the feed's last states pile up unread in its
    // socket, then killed: they are lost with it for sure.
    kill(server, SIGSTOP);
    usleep(500000);
    EXPECT_EQ(stop(sim), 0);
    usleep(300000);
    kill(server, SIGKILL);
    wait_exit(server);
    server = start_server("single");
    ASSERT_TRUE(listening(4222, 10));

    const auto want = truth();
    ASSERT_EQ(want.size(), INSTRUMENTS);
    EXPECT_EQ(differing(book_when_equal("early.txt", want, 20), want), 0u);
    EXPECT_EQ(differing(book_when_equal("ephemeral.txt", want, 10), want), 0u);
    pid_t late = start_consumer(url, {"--until-whole-idle", "1000"}, "late.txt");
    EXPECT_EQ(wait_exit(late), 0);
    EXPECT_EQ(printed_differing("late.txt", want), 0u);

    stop(early);
    stop(ephemeral);
    EXPECT_EQ(stop(bridge), 0);
    const std::string counters = sim_truth::read_file("bridge.txt");
    EXPECT_EQ(counters.find("\"reconnects\":0,"), std::string::npos) << counters;
    stop(server);
    EXPECT_EQ(chdir(".."), 0);
}
