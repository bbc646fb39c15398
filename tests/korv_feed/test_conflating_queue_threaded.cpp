// The library's thread pushing while readers take: each instrument's states
// arrive in order, its last state is never lost, and the counts add up.
#include "source/korv_feed/ConflatingQueue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "source/korv_user/UFDataType.h"

using namespace KORV::FEED;
using namespace BRAX::KORV_USER_API;
using std::chrono::milliseconds;

namespace {

constexpr int INSTRUMENTS = 300;
constexpr int ROUNDS = 200;

struct Reader {
    // Volume is the update's sequence number within its instrument.
    std::map<std::string, int> last;
    bool in_order = true;
    size_t taken = 0;

    void see(const FeedRecord& r)
    {
        int& seen = last[r.MarketData.InstrumentID];
        in_order = in_order && r.MarketData.Volume > seen;
        seen = r.MarketData.Volume;
        ++taken;
    }
};

void produce(ConflatingQueue& queue)
{
    TopicSettlementSession session{};
    TopicSnapTime snap_time{};
    TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT]{};
    TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT]{};
    bids[0].Price = asks[0].Price = UFBaseFloatType::NULL_VALUE;
    TopicMarketData md{};
    for (int round = 1; round <= ROUNDS; ++round) {
        // A burst over every instrument, then a few hot ones again.
        for (int i = 0; i < INSTRUMENTS; ++i) {
            snprintf(md.InstrumentID, sizeof md.InstrumentID, "I%d", i);
            md.Volume = 2 * round;
            queue.push(1, uint32_t(round), &session, &snap_time, &md, bids, asks);
        }
        for (int i = 0; i < 5; ++i) {
            snprintf(md.InstrumentID, sizeof md.InstrumentID, "I%d", i);
            md.Volume = 2 * round + 1;
            queue.push(1, uint32_t(round), &session, &snap_time, &md, bids, asks);
        }
    }
}

}  // namespace

TEST(ConflatingQueueThreaded, ReadersThatFallBehindEndWithEveryInstrumentsLatestState)
{
    ConflatingQueue queue(INSTRUMENTS, 0);
    Reader batch_reader, one_reader;
    std::thread batches([&] {
        std::vector<FeedRecord> out(50);
        for (;;) {
            size_t n = queue.take(out.data(), out.size(), milliseconds(200));
            if (n == 0 && queue.closed())
                return;
            for (size_t i = 0; i < n; ++i)
                batch_reader.see(out[i]);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread singles([&] {
        for (;;) {
            size_t n =
                queue.take(1, milliseconds(200), [&](const FeedRecord& r) { one_reader.see(r); });
            if (n == 0 && queue.closed())
                return;
        }
    });
    produce(queue);
    queue.close();
    batches.join();
    singles.join();

    EXPECT_TRUE(batch_reader.in_order);
    EXPECT_TRUE(one_reader.in_order);
    // Each instrument's final state reached one of the readers, and is the
    // later of what the two saw.
    for (int i = 0; i < INSTRUMENTS; ++i) {
        std::string id = "I" + std::to_string(i);
        int final_volume = 2 * ROUNDS + (i < 5 ? 1 : 0);
        int seen = std::max(batch_reader.last[id], one_reader.last[id]);
        EXPECT_EQ(seen, final_volume) << id;
    }
    ConflatingQueue::Counts c = queue.counts();
    EXPECT_EQ(c.delivered, uint64_t(ROUNDS) * (INSTRUMENTS + 5));
    EXPECT_EQ(c.dropped, 0u);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.read, batch_reader.taken + one_reader.taken);
    EXPECT_EQ(c.delivered, c.read + c.conflated);
}
