#include "source/korv_feed/ConflatingQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "source/korv_user/UFDataType.h"

// Counts every allocation of the test program, to see that pushing a known
// set of instruments allocates nothing.
static std::atomic<long> g_allocations{0};

// GCC sees free() of what operator new returned: both are the pair below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size)
{
    ++g_allocations;
    if (void* p = malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    free(p);
}
#pragma GCC diagnostic pop

using namespace KORV::FEED;
using namespace BRAX::KORV_USER_API;
using std::chrono::milliseconds;

namespace {

// One handler call's arguments for instrument `id` with `volume` and
// `levels` bid levels.
struct Update {
    Update(const std::string& id, int volume, int levels = 1)
    {
        snprintf(session.SessionDay, sizeof session.SessionDay, "20260102");
        snprintf(snap_time.SnapTime, sizeof snap_time.SnapTime, "09:30:00");
        snap_time.SnapMillisec = 250;
        snprintf(market_data.InstrumentID, sizeof market_data.InstrumentID, "%s", id.c_str());
        market_data.Volume = volume;
        for (int i = 0; i < levels; ++i)
            bids[i] = {100.0 - i, i + 1};
        bids[levels] = {UFBaseFloatType::NULL_VALUE, 0};
        asks[0] = {UFBaseFloatType::NULL_VALUE, 0};
    }
    void push(ConflatingQueue& queue, int topic = 1, uint32_t packet_no = 0) const
    {
        queue.push(topic, packet_no, &session, &snap_time, &market_data, bids, asks);
    }
    TopicSettlementSession session{};
    TopicSnapTime snap_time{};
    TopicMarketData market_data{};
    TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT]{};
    TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT]{};
};

// (instrument id, volume) of each record taken.
std::vector<std::pair<std::string, int>> take_all(ConflatingQueue& queue, size_t max = 1000)
{
    std::vector<std::pair<std::string, int>> out;
    queue.take(max, milliseconds(0), [&out](const FeedRecord& r) {
        out.emplace_back(r.MarketData.InstrumentID, r.MarketData.Volume);
    });
    return out;
}

using Taken = std::vector<std::pair<std::string, int>>;

void expect_balanced(const ConflatingQueue& queue)
{
    ConflatingQueue::Counts c = queue.counts();
    EXPECT_EQ(c.delivered, c.read + c.pending + c.conflated + c.dropped);
}

}  // namespace

TEST(ConflatingQueue, ANewerUpdateReplacesThePendingOneInItsPlace)
{
    ConflatingQueue queue(100);
    Update("A", 1).push(queue, 1, 10);
    Update("B", 1).push(queue, 1, 10);
    Update("A", 2).push(queue, 1, 11);
    Update("C", 1).push(queue, 1, 12);
    Update("A", 3).push(queue, 1, 12);

    std::vector<uint32_t> packets;
    Taken taken;
    queue.take(10, milliseconds(0), [&](const FeedRecord& r) {
        taken.emplace_back(r.MarketData.InstrumentID, r.MarketData.Volume);
        packets.push_back(r.PacketNo);
    });
    EXPECT_EQ(taken, (Taken{{"A", 3}, {"B", 1}, {"C", 1}}));
    EXPECT_EQ(packets, (std::vector<uint32_t>{12, 10, 12}));
    ConflatingQueue::Counts c = queue.counts();
    EXPECT_EQ(c.delivered, 5u);
    EXPECT_EQ(c.read, 3u);
    EXPECT_EQ(c.conflated, 2u);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.dropped, 0u);

    // Once read, the instrument queues anew, behind what is pending.
    Update("B", 2).push(queue);
    Update("A", 4).push(queue);
    EXPECT_EQ(take_all(queue), (Taken{{"B", 2}, {"A", 4}}));
    expect_balanced(queue);
}

TEST(ConflatingQueue, TheSameInstrumentIdOfTwoTopicsIsTwoInstruments)
{
    ConflatingQueue queue(100);
    Update("A", 1).push(queue, 1);
    Update("A", 2).push(queue, 2);
    Update("A", 3).push(queue, 1);
    std::vector<std::pair<int, int>> taken;
    queue.take(10, milliseconds(0),
               [&](const FeedRecord& r) { taken.emplace_back(r.TopicID, r.MarketData.Volume); });
    EXPECT_EQ(taken, (std::vector<std::pair<int, int>>{{1, 3}, {2, 2}}));
}

TEST(ConflatingQueue, RecordsCarryTheHandlersRecordsAndLevelsUpToTheEndMark)
{
    ConflatingQueue queue(10);
    Update full("FULL", 7, 20);
    full.push(queue, 3, 99);
    Update none("NONE", 8, 0);
    none.push(queue, 3, 99);
    // A side whose 21 entries carry no end mark is cut to 20 levels.
    Update unmarked("UNMARKED", 9, 20);
    unmarked.bids[20] = {5.0, 5};
    unmarked.push(queue, 3, 99);

    FeedRecord out[3];
    ASSERT_EQ(queue.take(out, 3, milliseconds(0)), 3u);
    EXPECT_STREQ(out[0].MarketData.InstrumentID, "FULL");
    EXPECT_EQ(out[0].TopicID, 3);
    EXPECT_EQ(out[0].PacketNo, 99u);
    EXPECT_STREQ(out[0].SettlementSession.SessionDay, "20260102");
    EXPECT_STREQ(out[0].SnapTime.SnapTime, "09:30:00");
    EXPECT_EQ(out[0].SnapTime.SnapMillisec, 250);
    EXPECT_GT(out[0].HandlerNs, 0);
    EXPECT_EQ(out[0].BidCount, 20);
    EXPECT_EQ(out[0].Bids[19].Price, 81.0);
    EXPECT_EQ(out[0].Bids[20].Price, UFBaseFloatType::NULL_VALUE);
    EXPECT_EQ(out[0].AskCount, 0);
    EXPECT_EQ(out[0].Asks[0].Price, UFBaseFloatType::NULL_VALUE);
    EXPECT_EQ(out[1].BidCount, 0);
    EXPECT_EQ(out[1].Bids[0].Price, UFBaseFloatType::NULL_VALUE);
    EXPECT_EQ(out[1].Bids[0].Volume, 0);
    EXPECT_EQ(out[2].BidCount, 20);
    EXPECT_EQ(out[2].Bids[20].Price, UFBaseFloatType::NULL_VALUE);
}

TEST(ConflatingQueue, PastTheBoundTheOldestPendingInstrumentIsDroppedAndCounted)
{
    ConflatingQueue queue(3, 0);
    Update("A", 1).push(queue);
    Update("B", 1).push(queue);
    Update("C", 1).push(queue);
    Update("B", 2).push(queue);  // conflates: no room needed
    EXPECT_EQ(queue.counts().dropped, 0u);
    Update("D", 1).push(queue);
    ConflatingQueue::Counts c = queue.counts();
    EXPECT_EQ(c.dropped, 1u);
    EXPECT_EQ(c.pending, 3u);
    EXPECT_EQ(c.allocated, 3u);  // the bound, not a whole chunk
    EXPECT_EQ(take_all(queue), (Taken{{"B", 2}, {"C", 1}, {"D", 1}}));
    expect_balanced(queue);
}

TEST(ConflatingQueue, MemoryGrowsWithDistinctPendingInstrumentsOnlyAndNotPerUpdate)
{
    constexpr int INSTRUMENTS = 1000;
    ConflatingQueue queue(100000, 0);
    std::vector<Update> updates;
    for (int i = 0; i < INSTRUMENTS; ++i)
        updates.emplace_back("I" + std::to_string(i), i);
    for (const Update& u : updates)
        u.push(queue);
    uint64_t allocated = queue.counts().allocated;
    EXPECT_GE(allocated, uint64_t(INSTRUMENTS));
    EXPECT_LT(allocated, uint64_t(INSTRUMENTS) + ConflatingQueue::CHUNK_RECORDS);

    // Warmed: a busy feed of the same instruments, read in part meanwhile.
    std::vector<FeedRecord> out(64);
    long before = g_allocations.load();
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < INSTRUMENTS; i += 3)
            updates[size_t(i)].push(queue);
        queue.take(out.data(), out.size(), milliseconds(0));
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
    EXPECT_EQ(queue.counts().allocated, allocated);
    expect_balanced(queue);
}

TEST(ConflatingQueue, AnyMixOfPushesAndTakesMatchesAModelOfLatestStates)
{
    // Few index buckets per instrument and many removals exercise the
    // index's probing and its removal without tombstones.
    std::mt19937 random(7);
    ConflatingQueue queue(600, 0);
    std::vector<std::string> order;  // the model: instruments in queue order
    std::map<std::string, int> latest;
    int volume = 0;
    for (int step = 0; step < 20000; ++step) {
        if (random() % 3 != 0) {
            std::string id = "X" + std::to_string(random() % 500);
            Update(id, ++volume).push(queue);
            if (latest.count(id) == 0)
                order.push_back(id);
            latest[id] = volume;
        } else {
            // Phases that fill the queue up and drain it down by turns.
            size_t n = random() % ((step / 2000) % 2 == 0 ? 3 : 60);
            Taken taken = take_all(queue, n);
            ASSERT_EQ(taken.size(), std::min(n, order.size()));
            for (const auto& record : taken) {
                ASSERT_EQ(record.first, order.front());
                ASSERT_EQ(record.second, latest[record.first]);
                latest.erase(record.first);
                order.erase(order.begin());
            }
        }
    }
    EXPECT_EQ(queue.counts().pending, order.size());
    EXPECT_EQ(queue.counts().dropped, 0u);
    expect_balanced(queue);
}

TEST(ConflatingQueue, WaitsTimesOutAndCloseEndsReaders)
{
    ConflatingQueue queue(10);
    EXPECT_EQ(take_all(queue).size(), 0u);
    EXPECT_EQ(queue.wait_pending(milliseconds(5)), 0u);
    Update("A", 1).push(queue);
    Update("B", 1).push(queue);
    EXPECT_EQ(queue.wait_pending(milliseconds(1000)), 2u);

    queue.close();
    EXPECT_TRUE(queue.closed());
    Update("C", 1).push(queue);  // ignored once closed
    FeedRecord out[4];
    EXPECT_EQ(queue.take(out, 4, milliseconds(1000)), 2u);
    EXPECT_EQ(queue.take(out, 4, milliseconds(1000)), 0u);
    EXPECT_EQ(queue.counts().delivered, 2u);
}

TEST(ConflatingQueue, ARefusedBoundThrows)
{
    EXPECT_THROW(ConflatingQueue(0), std::invalid_argument);
}
