// The bridge against a three-server cluster keeping the stream on all three,
// in a private network namespace: the bridge is restarted mid-run, then the
// server that the bridge and the first consumer are connected to is killed
// as the feed ends, and still the consumers started before, during and
// after the run (the last one on another server, from a second namespace
// joined by a veth pair, as another host would) each end with the
// simulator's truth.
// About 15 seconds.
#include "tests/bridge/BridgeRun.h"

#include <gtest/gtest.h>

using namespace bridge_run;

TEST(BridgeCluster, NothingIsLostWhenAServerDiesOrTheBridgeRestarts)
{
    if (nats_server().empty())
        GTEST_SKIP() << "nats-server is not installed (scripts/prerequisites test)";
    enter_fresh_folder("bridge_cluster");
    const std::string n1 = "nats://127.0.0.1:4222";
    const std::string n2 = "nats://127.0.0.1:4223";
    const std::string n3 = "nats://127.0.0.1:4224";
    const std::string all = n1 + "," + n2 + "," + n3;
    std::map<std::string, pid_t> servers;
    for (const char* name : {"n1", "n2", "n3"})
        servers[name] = start_server(name, std::string(name) == "n3");
    for (int port : {4222, 4223, 4224})
        ASSERT_TRUE(listening(port, 10)) << port;

    // Consumers replicated on three servers outlive any one of them.
    const std::vector<std::string> replicated = {"--replicas", "3"};
    pid_t sim = start_simulator();
    usleep(300000);
    pid_t early = start_consumer(all, replicated, "early.txt");
    pid_t bridge = start_bridge(all, {"--replicas", "3"}, "bridge1.txt");
    ASSERT_TRUE(printed_all("early.txt", 60));
    EXPECT_EQ(stop(bridge), 0);
    bridge = start_bridge(all, {"--replicas", "3"}, "bridge2.txt");
    pid_t during = start_consumer(n2 + "," + n3, replicated, "during.txt");
    ASSERT_TRUE(printed_all("during.txt", 30));
    sleep(1);
    // The feed ends as the server dies: the last states were in flight to
    // it, and only the bridge's retries can bring them into the stream.
    kill(servers["n1"], SIGKILL);
    EXPECT_EQ(stop(sim), 0);
    wait_exit(servers["n1"]);

    const auto want = truth();
    ASSERT_EQ(want.size(), INSTRUMENTS);
    EXPECT_EQ(differing(book_when_equal("early.txt", want, 30), want), 0u);
    EXPECT_EQ(differing(book_when_equal("during.txt", want, 10), want), 0u);
    // The late joiner is on another host, through n3's address there.
    pid_t late =
        start_on_other_host(consumer_args(std::string("nats://") + THIS_HOST + ":4224",
                                          {"--replicas", "3", "--until-whole-idle", "1000"}),
                            "late.txt");
    EXPECT_EQ(wait_exit(late, 40), 0);
    EXPECT_EQ(printed_differing("late.txt", want), 0u);

    stop(early);
    stop(during);
    EXPECT_EQ(stop(bridge), 0);
    // The second bridge was on the killed server: it reconnected and sent
    // its book again.
    const std::string second = sim_truth::read_file("bridge2.txt");
    EXPECT_EQ(second.find("\"reconnects\":0,"), std::string::npos) << second;
    for (const char* name : {"n2", "n3"})
        stop(servers[name]);
    EXPECT_EQ(chdir(".."), 0);
}
