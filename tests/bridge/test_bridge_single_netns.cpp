// The bridge against one NATS server, as a user starts them, in a private
// network namespace: consumers that start before the bridge, during the run
// and after it each end with the simulator's truth, also across a restart
// of the bridge mid-run; the bridge announces itself and its counters on
// its liveness subject. About 10 seconds.
#include "tests/bridge/BridgeRun.h"

#include <gtest/gtest.h>

#include "source/korv_bridge/NatsSettings.h"

using namespace bridge_run;

namespace {

// The first liveness message of any bridge within seconds, or "".
std::string liveness_message(int seconds)
{
    korv_bridge::NatsSettings settings;
    natsConnection* connection = nullptr;
    natsSubscription* subscription = nullptr;
    natsMsg* msg = nullptr;
    std::string text;
    if (korv_bridge::nats_connect(settings, nullptr, nullptr, 5, &connection) == NATS_OK &&
        natsConnection_SubscribeSync(&subscription, connection, "korv.bridge.*.alive") == NATS_OK &&
        natsSubscription_NextMsg(&msg, subscription, seconds * 1000) == NATS_OK)
        text.assign(natsMsg_GetData(msg), size_t(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    natsSubscription_Destroy(subscription);
    natsConnection_Destroy(connection);
    return text;
}

}  // namespace

TEST(BridgeSingleServer, EveryConsumerEndsWithTheTruthAcrossABridgeRestart)
{
    if (nats_server().empty())
        GTEST_SKIP() << "nats-server is not installed (scripts/prerequisites test)";
    enter_fresh_folder("bridge_single");
    const std::string url = "nats://127.0.0.1:4222";
    pid_t server = start_server("single");
    ASSERT_TRUE(listening(4222, 10));

    pid_t sim = start_simulator();
    usleep(300000);
    pid_t early = start_consumer(url, {}, "early.txt");
    pid_t bridge = start_bridge(url, {"--memory"}, "bridge1.txt");
    ASSERT_TRUE(printed_all("early.txt", 30));
    pid_t during = start_consumer(url, {}, "during.txt");
    sleep(1);
    EXPECT_EQ(stop(bridge), 0);
    bridge = start_bridge(url, {"--memory"}, "bridge2.txt");
    sleep(2);
    EXPECT_EQ(stop(sim), 0);

    const auto want = truth();
    ASSERT_EQ(want.size(), INSTRUMENTS);
    EXPECT_EQ(differing(book_when_equal("early.txt", want, 20), want), 0u);
    EXPECT_EQ(differing(book_when_equal("during.txt", want, 10), want), 0u);
    pid_t late = start_consumer(url, {"--until-whole-idle", "1000"}, "late.txt");
    EXPECT_EQ(wait_exit(late), 0);
    EXPECT_EQ(printed_differing("late.txt", want), 0u);

    const std::string alive = liveness_message(3);
    EXPECT_NE(alive.find("\"name\":\"korv_md_bridge\""), std::string::npos) << alive;
    EXPECT_NE(alive.find("\"publish_errors\":"), std::string::npos) << alive;

    stop(early);
    stop(during);
    EXPECT_EQ(stop(bridge), 0);
    // The counters line the bridge ends with: both runs published.
    for (const char* out : {"bridge1.txt", "bridge2.txt"}) {
        const std::string text = sim_truth::read_file(out);
        EXPECT_NE(text.find("\"messages\":"), std::string::npos) << out;
        EXPECT_EQ(text.find("\"messages\":0,"), std::string::npos) << out;
    }
    stop(server);
    EXPECT_EQ(chdir(".."), 0);
}
