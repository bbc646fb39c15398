// Several topics on two multicast locations: every topic is received from
// every location registered (the usual A and B lines of an exchange), and the
// library applies each packet once. Prints a count of updates per topic.
//   example_two_lines [seconds [mirp_location_a mirp_location_b [topic...]]]
#include <korv_user_api/KorvUserApi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using namespace BRAX::KORV_USER_API;

namespace {

class CountingHandler : public KorvMarketDataHandler {
public:
    explicit CountingHandler(int topic) : m_topic(topic) {}
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData*, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        ++m_updates;
    }
    int m_topic;
    std::atomic<long> m_updates{0};
};

}  // namespace

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 5;
    const char* line_a = argc > 3 ? argv[2] : "udpg://239.3.0.1:30001";
    // The simulator publishes one group, so by default both lines join it:
    // every packet then arrives twice and must still be applied once.
    const char* line_b = argc > 3 ? argv[3] : "udpg://239.3.0.1:30001";
    std::vector<int> topics;
    for (int i = 4; i < argc; ++i)
        topics.push_back(atoi(argv[i]));
    if (topics.empty())
        topics = {1001, 1002};

    std::vector<std::unique_ptr<CountingHandler>> handlers;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location("tcp://127.0.0.1:30007");
    api->set_authentication("P01", "U01", "secret");
    // Topics and locations may come in any order: each pair gets one
    // subscription.
    for (int topic : topics) {
        handlers.push_back(std::make_unique<CountingHandler>(topic));
        api->subscribe_topic(topic, handlers.back().get());
    }
    api->reg_mirp_location(line_a);
    api->reg_mirp_location(line_b);
    api->start();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    api->close();
    for (const auto& handler : handlers)
        printf("topic %d: %ld updates\n", handler->m_topic, handler->m_updates.load());
    return 0;
}
