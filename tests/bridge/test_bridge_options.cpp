// The bridge's command line: the test application's six arguments after the
// bridge's options, and every way a wrong one is refused before anything
// connects.
#include "source/korv_bridge/BridgeOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using korv_bridge::BridgeOptions;

namespace {

bool parse(std::vector<std::string> args, BridgeOptions& options, std::string& error)
{
    args.insert(args.begin(), "korv_md_bridge");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    return options.parse(int(argv.size()), argv.data(), error);
}

const std::vector<std::string> SIX = {
    "1001,1002", "tcp://127.0.0.1:30007", "udpg://239.3.0.1:30001", "P01", "U01", "secret"};

std::vector<std::string> with(std::vector<std::string> options)
{
    options.insert(options.end(), SIX.begin(), SIX.end());
    return options;
}

}  // namespace

TEST(BridgeOptions, OptionsThenTheSixArguments)
{
    BridgeOptions o;
    std::string error;
    ASSERT_TRUE(parse(with({"--nats", "nats://a:1,nats://b:2", "--replicas", "3", "--stream", "S",
                            "--memory", "--user", "u", "--password", "p", "--tls", "--name", "b1"}),
                      o, error))
        << error;
    EXPECT_EQ(o.topics, (std::vector<unsigned>{1001, 1002}));
    EXPECT_EQ(o.mdqp_location, "tcp://127.0.0.1:30007");
    EXPECT_EQ(o.password, "secret");
    EXPECT_EQ(o.publisher.nats.servers, (std::vector<std::string>{"nats://a:1", "nats://b:2"}));
    EXPECT_EQ(o.publisher.replicas, 3);
    EXPECT_EQ(o.publisher.stream, "S");
    EXPECT_TRUE(o.publisher.memory);
    EXPECT_EQ(o.publisher.nats.user, "u");
    EXPECT_TRUE(o.publisher.nats.tls);
    // The connection carries the bridge's name, which a server's monitor shows.
    EXPECT_EQ(o.publisher.nats.name, "b1");
}

TEST(BridgeOptions, TheTokenComesFromItsFileNeverTheCommandLine)
{
    {
        std::ofstream("bridge_token.txt") << "s3cret-token\nignored\n";
    }
    BridgeOptions o;
    std::string error;
    ASSERT_TRUE(parse(with({"--token-file", "bridge_token.txt"}), o, error)) << error;
    EXPECT_EQ(o.publisher.nats.token, "s3cret-token");
    BridgeOptions missing;
    EXPECT_FALSE(parse(with({"--token-file", "no_such_token_file"}), missing, error));
    EXPECT_NE(error.find("no_such_token_file"), std::string::npos) << error;
}

TEST(BridgeOptions, WrongArgumentsAreRefused)
{
    std::string error;
    const std::vector<std::vector<std::string>> wrong = {
        with({"--replicas", "0"}),
        with({"--replicas", "x"}),
        with({"--max-pending", "-1"}),
        with({"--unknown", "1"}),
        with({"--nats", ","}),
        {"1001", "tcp://127.0.0.1:30007"},        // too few
        {"70000", "a", "b", "c", "d", "e"},       // topic out of range
        {"1001,,1002", "a", "b", "c", "d", "e"},  // an empty topic
        {"1001x", "a", "b", "c", "d", "e"},
        {"--stream"},  // an option without its value
    };
    for (const auto& args : wrong) {
        BridgeOptions o;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
    }
    // Too few or too many arguments print only the usage.
    BridgeOptions o;
    EXPECT_FALSE(parse({"1001"}, o, error));
    EXPECT_TRUE(error.empty()) << error;
}
