// The publisher and a consumer in one process against one server, the queue
// filled from a thread of its own as the library's thread fills it: the
// consumer's book ends with every instrument's last state, also when the
// topic's numbering restarts (smaller packet numbers, a newer epoch), and
// the book is whole only once it holds every instrument. Under the thread
// sanitizer, the publishing thread, the client's ack callbacks and the
// producer meet here.
#include "source/korv_bridge/BridgePublisher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "source/korv_bridge/BookConsumer.h"
#include "tests/bridge/BridgeRun.h"

using namespace BRAX::KORV_USER_API;
using namespace bridge_run;

namespace {

constexpr int TOPIC = 1001;
constexpr int COUNT = 20;
constexpr int ROUNDS = 200;
// The volume of every instrument's state after the numbering restarted.
constexpr int RESTARTED = 1000000;

// One handler call's worth of records for instrument i at volume v.
void push(KORV::FEED::ConflatingQueue& queue, int i, int volume, uint32_t packet_no)
{
    TopicSettlementSession session{};
    TopicSnapTime snap{};
    TopicMarketData md{};
    TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT];
    TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT];
    for (auto* side : {bids, asks}) {
        for (int l = 0; l < TOPIC_PRICE_ENTRY_COUNT; ++l)
            side[l] = {UFBaseFloatType::NULL_VALUE, 0};
    }
    snprintf(md.InstrumentID, sizeof md.InstrumentID, "I%02d", i);
    md.Volume = volume;
    md.LastPrice = 100 + i;
    bids[0] = {99.5, volume % 1000 + 1};
    queue.push(TOPIC, packet_no, &session, &snap, &md, bids, asks);
}

}  // namespace

TEST(BridgePublisher, TheConsumerEndsWithEveryLastStateAcrossANumberingRestart)
{
    if (nats_server().empty())
        GTEST_SKIP() << "nats-server is not installed (scripts/prerequisites test)";
    enter_fresh_folder("bridge_publisher");
    pid_t server = start_server("single");
    ASSERT_TRUE(listening(4222, 10));

    KORV::FEED::ConflatingQueue queue(1024);
    korv_bridge::PublisherSettings settings;
    settings.memory = true;
    korv_bridge::BridgePublisher publisher(settings, queue);
    std::string error;
    ASSERT_TRUE(publisher.start(error)) << error;

    std::thread producer([&queue] {
        for (int round = 1; round <= ROUNDS; ++round) {
            for (int i = 0; i < COUNT; ++i)
                push(queue, i, round, uint32_t(round));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // The platform restarted the topic: its numbering starts again.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < COUNT; ++i)
            push(queue, i, RESTARTED + i, 1);
    });

    korv_bridge::BookConsumer consumer(korv_bridge::ConsumerSettings{});
    ASSERT_TRUE(consumer.start(error)) << error;
    uint64_t first_epoch = 0;
    auto finished = [&consumer] {
        if (consumer.size() != size_t(COUNT))
            return false;
        for (const auto& item : consumer.book()) {
            if (item.second.market_data.Volume < RESTARTED)
                return false;
        }
        return true;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(finished() && consumer.whole()) && std::chrono::steady_clock::now() < deadline) {
        const korv_bridge::InstrumentState* state = consumer.next(100);
        if (state && first_epoch == 0)
            first_epoch = state->header.epoch;
        // Whole means every instrument: never fewer than the topic holds.
        if (consumer.whole()) {
            EXPECT_EQ(consumer.size(), size_t(COUNT));
        }
    }
    producer.join();
    ASSERT_TRUE(finished());
    EXPECT_TRUE(consumer.whole());
    for (const auto& item : consumer.book()) {
        const korv_bridge::InstrumentState& s = item.second;
        int i = std::stoi(item.first.second.substr(1));
        EXPECT_EQ(s.market_data.Volume, RESTARTED + i) << item.first.second;
        EXPECT_EQ(s.header.packet_no, 1u);
        EXPECT_GT(s.header.epoch, first_epoch);
        // One restart, one new epoch for all.
        EXPECT_EQ(s.header.epoch, consumer.book().begin()->second.header.epoch);
        EXPECT_EQ(s.bids[0].Price, 99.5);
        EXPECT_EQ(s.bids[1].Price, UFBaseFloatType::NULL_VALUE);
    }
    publisher.stop();
    korv_bridge::PublisherCounters counters = publisher.counters();
    EXPECT_EQ(counters.instruments, uint64_t(COUNT));
    EXPECT_EQ(counters.publish_errors, 0u);
    EXPECT_GE(counters.messages, uint64_t(2 * COUNT));
    EXPECT_EQ(queue.counts().dropped, 0u);
    stop(server);
    EXPECT_EQ(chdir(".."), 0);
}
