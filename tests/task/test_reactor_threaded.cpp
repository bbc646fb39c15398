#include "velta/source/task/SelectReactor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velta/source/task/SelectIoTaskManager.h"
#include "velta/source/task/TaskScheduler.h"

namespace {

using Clock = std::chrono::steady_clock;

// The thread check is off in the system, so schedule_mutual() would always
// run its task on the caller's thread. Turning the check on (a protected
// member meant for subclasses) makes the reactor's thread the only current
// one, which puts other threads on the real cross-thread path.
class CheckedReactor : public SelectReactor {
public:
    CheckedReactor() { m_thread_check = 1; }
};

// Waits (bounded) for a condition another thread makes true.
bool wait_until(const std::function<bool()>& done)
{
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct FnTask : Task {
    explicit FnTask(std::function<void()> fn) : m_fn(std::move(fn)) {}
    void wake_up() override { m_fn(); }
    std::function<void()> m_fn;
};

struct CountTask : Task {
    void wake_up() override { m_runs.fetch_add(1); }
    std::atomic<int> m_runs{0};
};

}  // namespace

TEST(ReactorThreaded, MutualCallRunsOnTheReactorThreadAndReturnsAfterIt)
{
    auto reactor = std::make_unique<CheckedReactor>();
    ASSERT_TRUE(reactor->create());
    EXPECT_FALSE(reactor->is_current_thread());
    pthread_t ran_on = 0;
    bool current = false;
    FnTask task([&] {
        ran_on = pthread_self();
        current = reactor->is_current_thread();
    });
    reactor->schedule_mutual(&task);
    // Read without further synchronisation: the call returned after the task.
    EXPECT_TRUE(pthread_equal(ran_on, reactor->thread_handle()));
    EXPECT_TRUE(current);
    reactor->stop();
}

// With one semaphore per slot, a caller slow to wait had its wake-up taken
// by the slot's next user, which then returned before its own task ran.
TEST(ReactorThreaded, ManyCallersShareTheRingAndEachWaitsForItsOwnTask)
{
    auto reactor = std::make_unique<CheckedReactor>();
    ASSERT_TRUE(reactor->create());
    int total = 0;  // touched only on the reactor thread
    constexpr int CALLERS = 4;
    constexpr int CALLS = 2000;
    std::atomic<int> unfinished{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < CALLERS; ++c) {
        callers.emplace_back([&] {
            for (int i = 0; i < CALLS; ++i) {
                bool ran = false;
                FnTask task([&] {
                    ran = true;
                    ++total;
                });
                reactor->schedule_mutual(&task);
                if (!ran)
                    unfinished.fetch_add(1);
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    reactor->stop();
    EXPECT_EQ(unfinished.load(), 0);
    EXPECT_EQ(total, CALLERS * CALLS);
}

TEST(ReactorThreaded, RequestsFromAnotherThreadMergeIntoOneWakeUp)
{
    auto reactor = std::make_unique<SelectReactor>();
    CountTask task;
    int id = reactor->alloc_notify(&task);
    std::thread requester([&] {
        for (int i = 0; i < 3; ++i)
            reactor->request_notify(id);
    });
    requester.join();
    reactor->wake_up();
    reactor->wake_up();
    EXPECT_EQ(task.m_runs.load(), 1);
}

TEST(ReactorThreaded, EachServedRequestFromAnotherThreadWakesTheTaskAgain)
{
    auto reactor = std::make_unique<SelectReactor>();
    CountTask task;
    int id = reactor->alloc_notify(&task);
    ASSERT_TRUE(reactor->create());
    bool all = true;
    std::thread requester([&] {
        for (int i = 1; i <= 50; ++i) {
            reactor->request_notify(id);
            all = all && wait_until([&] { return task.m_runs.load() >= i; });
        }
    });
    requester.join();
    reactor->stop();
    EXPECT_TRUE(all);
    EXPECT_EQ(task.m_runs.load(), 50);
}

TEST(ReactorThreaded, ReactorThreadWaitsForAPipeWrittenByAnotherThread)
{
    auto reactor = std::make_unique<CheckedReactor>();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_TRUE(reactor->create());
    std::atomic<char> got{0};
    std::unique_ptr<TaskScheduler> input;
    FnTask on_read([&] {
        char c = 0;
        EXPECT_EQ(read(fds[0], &c, 1), 1);
        got.store(c);
    });
    FnTask open([&] {
        input.reset(reactor->open_input_scheduler(fds[0]));
        input->schedule(&on_read);
    });
    reactor->schedule_mutual(&open);
    EXPECT_EQ(write(fds[1], "k", 1), 1);
    EXPECT_TRUE(wait_until([&] { return got.load() == 'k'; }));
    FnTask close_input([&] { input.reset(); });
    reactor->schedule_mutual(&close_input);
    reactor->stop();
    close(fds[0]);
    close(fds[1]);
}

TEST(ReactorThreaded, InterruptFromAnotherThreadEndsTheWaitAndIsDrained)
{
    auto reactor = std::make_unique<Reactor>();
    SelectIoTaskManager manager(reactor.get());
    auto start = Clock::now();
    std::thread interrupter([&] { manager.interrupt(); });
    // Without the interrupt this would wait a minute.
    manager.poll(60000);
    interrupter.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(manager.poll(0), 0);
}

TEST(ReactorThreaded, StopFromAnotherThreadJoinsAndCanBeRepeated)
{
    auto reactor = std::make_unique<SelectReactor>();
    ASSERT_TRUE(reactor->create());
    std::thread stopper([&] { reactor->stop(); });
    stopper.join();
    EXPECT_EQ(reactor->thread_handle(), 0u);
    reactor->stop();
    EXPECT_TRUE(reactor->join());
}

TEST(ReactorThreaded, StopFromATaskEndsTheLoopAndJoinReturns)
{
    auto reactor = std::make_unique<SelectReactor>();
    FnTask stop([&] { reactor->stop(); });
    int id = reactor->alloc_notify(&stop);
    ASSERT_TRUE(reactor->create());
    reactor->request_notify(id);
    EXPECT_TRUE(reactor->join());
}

// The destructor used to leave the thread polling members it was destroying.
TEST(ReactorThreaded, DestroyingARunningReactorJoinsItsThreadFirst)
{
    CountTask tick;
    std::unique_ptr<TaskScheduler> timer;
    std::unique_ptr<CheckedReactor> reactor = std::make_unique<CheckedReactor>();
    FnTask rearm([&] {
        tick.wake_up();
        timer->schedule(&rearm);
    });
    ASSERT_TRUE(reactor->create());
    FnTask arm([&] {
        timer.reset(reactor->open_delay_scheduler(8));
        timer->schedule(&rearm);
    });
    reactor->schedule_mutual(&arm);
    EXPECT_TRUE(wait_until([&] { return tick.m_runs.load() >= 1; }));
    reactor.reset();
    timer.reset();
}
