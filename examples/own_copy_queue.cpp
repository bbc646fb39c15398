// The handler runs on the library's thread: this example shows it, and shows
// the safe way to hand data to the application's own thread. The handler
// copies the records it needs (the pointers die with the call) into a queue
// under a mutex; the main thread takes them out and prints them.
//   example_own_copy_queue [seconds]
#include <korv_user_api/KorvUserApi.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

using namespace BRAX::KORV_USER_API;

namespace {

struct Update {
    TopicMarketData market_data;
    TopicPriceEntry bid;
    TopicPriceEntry ask;
    size_t thread;
};

size_t thread_tag()
{
    return std::hash<std::thread::id>()(std::this_thread::get_id()) % 100000;
}

class CopyingHandler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        // Keep this short: every other update of the library waits for it.
        Update update{*market_data, bids[0], asks[0], thread_tag()};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(update);
        }
        m_ready.notify_one();
    }

    // Application side: waits up to the deadline for the next update.
    bool take(Update& update, std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_until(lock, deadline, [this] { return !m_queue.empty(); }))
            return false;
        update = m_queue.front();
        m_queue.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Update> m_queue;
};

}  // namespace

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 5;
    CopyingHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location("tcp://127.0.0.1:30007");
    api->reg_mirp_location("udpg://239.3.0.1:30001");
    api->set_authentication("P01", "U01", "secret");
    api->subscribe_topic(1001, &handler);
    api->start();

    printf("application thread %zu\n", thread_tag());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Update update;
    while (handler.take(update, deadline)) {
        printf("from library thread %zu: %s last %.12g volume %d\n", update.thread,
               update.market_data.InstrumentID, update.market_data.LastPrice,
               update.market_data.Volume);
    }
    // close stops the library's thread; no handler call follows it.
    api->close();
    return 0;
}
