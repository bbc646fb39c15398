#include "velta/source/task/TimingWheel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"
#include "velta/source/task/WheelDelayTaskManager.h"

namespace {

// Advances the wheel until the node fires (at most limit jiffies) and
// returns the jiffy it fired on; 0 with a failure if it never did.
uint32_t fire_jiffy(TimingWheel& wheel, TimingWheelNode& node, uint64_t limit)
{
    for (uint64_t i = 0; i < limit; ++i) {
        ListHead expired;
        wheel.run_timers(expired);
        if (expired.empty())
            continue;
        EXPECT_EQ(expired.head(), &node);
        EXPECT_EQ(expired.tail(), &node);
        node.detach();
        return wheel.current_jiffy();
    }
    ADD_FAILURE() << "node never fired";
    return 0;
}

struct Case {
    uint32_t start;
    uint32_t delta;
};

}  // namespace

// Each delta lands in a different level and, from starts just below the
// level boundaries and across 2^32, has to cascade down to fire on time.
TEST(TimingWheel, NodeFiresExactlyOnItsExpiryFromEveryLevelAndAcrossTheWrap)
{
    const Case cases[] = {
        {1000, 1},           {1000, 255},     {0xFF, 256},          {0x1234, 375},
        {0x3FFF, 16383},     {0x3F00, 16384}, {0xFFFFF, 1048575},   {0xFFF00, 1048576},
        {0xFFFFFF00, 0x200}, {0xFFFFFFFF, 1}, {0xFFFFC000, 0x8000}, {0x3FFFFFF, 0x4000005},
    };
    for (const Case& c : cases) {
        TimingWheel wheel(c.start);
        TimingWheelNode node(wheel.calc_expires(c.delta, 1));
        EXPECT_EQ(node.m_expires, c.start + c.delta);
        wheel.add_timer(&node);
        EXPECT_EQ(fire_jiffy(wheel, node, uint64_t(c.delta) + 1), c.start + c.delta)
            << "start " << c.start << " delta " << c.delta;
    }
}

TEST(TimingWheel, ZeroDeltaWaitsForTheWheelToComeRound)
{
    TimingWheel wheel(500);
    TimingWheelNode node(wheel.calc_expires(0, 1));
    wheel.add_timer(&node);
    EXPECT_EQ(fire_jiffy(wheel, node, 300), 500u + 256);
}

TEST(TimingWheel, RoundsUpToTheGranularity)
{
    TimingWheel wheel(1001);
    EXPECT_EQ(wheel.calc_expires(10, 8), 1016u);
    EXPECT_EQ(wheel.calc_expires(7, 8), 1008u);
    EXPECT_EQ(wheel.calc_expires(10, 1), 1011u);
}

TEST(TimingWheel, NodesOfOneJiffyFireTogetherInArrivalOrderAndDestroyedNodesLeave)
{
    TimingWheel wheel(0);
    TimingWheelNode a(300), b(300), c(299);
    auto gone = std::make_unique<TimingWheelNode>(300);
    wheel.add_timer(&a);
    wheel.add_timer(gone.get());
    wheel.add_timer(&b);
    wheel.add_timer(&c);
    gone.reset();
    ListHead expired;
    for (int i = 0; i < 299; ++i)
        wheel.run_timers(expired);
    EXPECT_EQ(expired.head(), &c);
    c.detach();
    wheel.run_timers(expired);
    EXPECT_EQ(expired.head(), &a);
    EXPECT_EQ(a.m_next, &b);
    EXPECT_EQ(expired.tail(), &b);
    expired.init();
    a.init();
    b.init();
}

namespace {

struct CountTask : Task {
    void wake_up() override { ++m_runs; }
    int m_runs = 0;
};

// The clock of the managers under test, in milliseconds; tests set it.
uint64_t g_now_ms = 0;
uint64_t test_clock()
{
    return g_now_ms;
}

// A manager whose wheel starts at the jiffy start, on the test clock.
std::unique_ptr<WheelDelayTaskManager> manager_at(Reactor* reactor, uint64_t start_ms)
{
    g_now_ms = start_ms;
    return std::make_unique<WheelDelayTaskManager>(reactor, test_clock);
}

// The reactor only collects the expired tasks; the wheel is driven by its
// jiffy counter while the clock stands still.
struct DelayTest : ::testing::Test {
    static constexpr uint32_t START = 5000;
    std::unique_ptr<Reactor> reactor = std::make_unique<Reactor>();
    std::unique_ptr<WheelDelayTaskManager> owned = manager_at(reactor.get(), uint64_t(START) << 3);
    WheelDelayTaskManager& manager = *owned;

    // Advances the wheel to now and runs what became ready.
    void advance(uint32_t now)
    {
        EXPECT_EQ(manager.run_timers_until(now), 8);
        reactor->wake_up();
    }
};

}  // namespace

TEST_F(DelayTest, OneSecondFires125JiffiesAfterArmingAndReArmingRestartsIt)
{
    CountTask task;
    std::unique_ptr<TaskScheduler> timer(manager.open_delay_scheduler(1000));
    EXPECT_EQ(timer->schedule(&task), -1);
    advance(START + 123);
    EXPECT_EQ(task.m_runs, 0);
    advance(START + 124);
    EXPECT_EQ(task.m_runs, 1);
    EXPECT_FALSE(task.in_queue());

    // Re-armed, then re-armed again half-way: the delay counts from then.
    uint32_t armed = manager.wheel().current_jiffy();
    timer->schedule(&task);
    advance(armed + 61);
    uint32_t rearmed = manager.wheel().current_jiffy();
    timer->schedule(&task);
    advance(armed + 124);
    EXPECT_EQ(task.m_runs, 1);
    advance(rearmed + 123);
    EXPECT_EQ(task.m_runs, 1);
    advance(rearmed + 124);
    EXPECT_EQ(task.m_runs, 2);
}

TEST_F(DelayTest, SecondTaskReplacesTheFirstAndDeletedSchedulerNeverFires)
{
    CountTask first, second, orphan;
    std::unique_ptr<TaskScheduler> timer(manager.open_delay_scheduler(500));
    timer->schedule(&first);
    timer->schedule(&second);
    EXPECT_FALSE(first.in_queue());
    std::unique_ptr<TaskScheduler> dropped(manager.open_delay_scheduler(500));
    dropped->schedule(&orphan);
    dropped.reset();
    EXPECT_FALSE(orphan.in_queue());
    advance(START + 1000);
    EXPECT_EQ(first.m_runs, 0);
    EXPECT_EQ(second.m_runs, 1);
    EXPECT_EQ(orphan.m_runs, 0);
}

// A delay below one jiffy used to land in the slot the wheel had already
// emptied and fired only after a whole turn, 2048 ms late.
TEST_F(DelayTest, DelayBelowOneJiffyFiresOnTheNextJiffyNotAfterAWholeTurn)
{
    CountTask zero, seven;
    std::unique_ptr<TaskScheduler> timer0(manager.open_delay_scheduler(0));
    std::unique_ptr<TaskScheduler> timer7(manager.open_delay_scheduler(7));
    timer0->schedule(&zero);
    timer7->schedule(&seven);
    advance(START);
    EXPECT_EQ(zero.m_runs, 1);
    EXPECT_EQ(seven.m_runs, 1);
}

TEST_F(DelayTest, ClockBehindTheWheelAdvancesNothing)
{
    CountTask task;
    std::unique_ptr<TaskScheduler> timer(manager.open_delay_scheduler(8));
    timer->schedule(&task);
    advance(START - 100);
    EXPECT_EQ(manager.wheel().current_jiffy(), START);
    advance(START);
    EXPECT_EQ(task.m_runs, 1);
}

// The jiffy clock used to wrap at 2^29 while the wheel counted to 2^32,
// which stalled every timer when the millisecond tick wrapped.
TEST(WheelDelayTaskManager, TimerFiresAcrossTheJiffyCounterWrap)
{
    auto reactor = std::make_unique<Reactor>();
    auto manager = manager_at(reactor.get(), uint64_t(0xFFFFFFF0u) << 3);
    CountTask task;
    std::unique_ptr<TaskScheduler> timer(manager->open_delay_scheduler(1000));
    timer->schedule(&task);
    manager->run_timers_until(0xFFFFFFF0u + 123);
    reactor->wake_up();
    EXPECT_EQ(task.m_runs, 0);
    manager->run_timers_until(0xFFFFFFF0u + 124);
    reactor->wake_up();
    EXPECT_EQ(task.m_runs, 1);
    EXPECT_EQ(manager->wheel().current_jiffy(), 0xFFFFFFF0u + 125);
}

// Jiffies are the clock's full millisecond count over 8: across the wrap of
// its low 32 bits the timers go on, on time, driven by the clock alone.
TEST(WheelDelayTaskManager, TimerFiresOnTimeAcrossTheMillisecondTickWrap)
{
    auto reactor = std::make_unique<Reactor>();
    const uint64_t armed = (uint64_t(1) << 32) - 96;  // on a jiffy boundary
    auto manager = manager_at(reactor.get(), armed);
    EXPECT_EQ(manager->get_jiffies(), uint32_t(armed >> 3));
    CountTask task;
    std::unique_ptr<TaskScheduler> timer(manager->open_delay_scheduler(1000));
    timer->schedule(&task);
    for (g_now_ms = armed; g_now_ms < armed + 1000; g_now_ms += 4) {
        manager->run_timers();
        reactor->wake_up();
        if (task.m_runs != 0)
            break;
    }
    EXPECT_EQ(task.m_runs, 1);
    EXPECT_GE(g_now_ms, armed + 992);
    EXPECT_EQ(manager->get_jiffies(), uint32_t(g_now_ms >> 3));
}

// A timer armed late in a long loop turn counted its delay from the jiffy
// the wheel had advanced to at the start of the turn: a 1000 ms timer armed
// after a 600 ms task fired about 400 ms later.
TEST(WheelDelayTaskManager, TimerArmedLateInALongTurnCountsFromTheClock)
{
    auto reactor = std::make_unique<Reactor>();
    const uint64_t start = 1000000;
    auto manager = manager_at(reactor.get(), start);
    manager->run_timers();
    g_now_ms = start + 600;  // a slow task of this turn
    CountTask task;
    std::unique_ptr<TaskScheduler> timer(manager->open_delay_scheduler(1000));
    timer->schedule(&task);
    for (g_now_ms = start + 600; g_now_ms < start + 600 + 992; g_now_ms += 8) {
        manager->run_timers();
        reactor->wake_up();
        ASSERT_EQ(task.m_runs, 0) << "fired " << g_now_ms - start - 600 << " ms after arming";
    }
    g_now_ms = start + 1600;
    manager->run_timers();
    reactor->wake_up();
    EXPECT_EQ(task.m_runs, 1);
}
