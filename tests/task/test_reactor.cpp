#include "velta/source/task/Reactor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "velta/source/task/FileIoTaskManager.h"
#include "velta/source/task/Poller.h"
#include "velta/source/task/TaskScheduler.h"
#include "velta/source/task/WheelDelayTaskManager.h"

namespace {

struct LogTask : Task {
    LogTask(std::string& log, char name) : m_log(log), m_name(name) {}
    void wake_up() override { m_log += m_name; }
    std::string& m_log;
    char m_name;
};

// Schedules itself again from its own wake_up, a given number of times.
struct AgainTask : Task {
    AgainTask(Reactor& reactor, std::string& log, int times)
        : m_reactor(reactor), m_log(log), m_times(times)
    {
    }
    void wake_up() override
    {
        m_log += 'a';
        if (--m_times > 0)
            m_reactor.schedule(this);
    }
    Reactor& m_reactor;
    std::string& m_log;
    int m_times;
};

// Stands in for the I/O manager so the loop's wait can be observed.
struct RecordingIo : FileIoTaskManager {
    explicit RecordingIo(std::string& log) : m_log(log) {}
    TaskScheduler* open_input_scheduler(int) override { return nullptr; }
    TaskScheduler* open_output_scheduler(int) override { return nullptr; }
    void interrupt() override { ++m_interrupts; }
    int poll(unsigned timeout_ms) override
    {
        m_log += 'P';
        m_timeouts.push_back(timeout_ms);
        return 0;
    }
    std::string& m_log;
    int m_interrupts = 0;
    std::vector<unsigned> m_timeouts;
};

// The clock of the test reactors' timers; tests move it by hand.
uint64_t g_now_ms = 1000000;
uint64_t test_clock()
{
    return g_now_ms;
}

// A reactor with an observable I/O manager and timers on the test clock.
class TestReactor : public Reactor {
public:
    explicit TestReactor(FileIoTaskManager* io)
    {
        m_io_manager = io;
        delete m_delay_manager;
        m_delay_manager = new WheelDelayTaskManager(this, test_clock);
    }
    ~TestReactor() override
    {
        stop();
        m_io_manager = nullptr;
    }
    void check_thread() { m_thread_check = 1; }
};

struct ReactorTest : ::testing::Test {
    std::string log;
    RecordingIo io{log};
    std::unique_ptr<TestReactor> reactor = std::make_unique<TestReactor>(&io);
};

}  // namespace

TEST_F(ReactorTest, RescheduledTaskMovesToTheTailAndSelfRescheduleWaitsForNextTurn)
{
    LogTask x(log, 'x'), y(log, 'y');
    AgainTask again(*reactor, log, 2);
    reactor->schedule(&x);
    reactor->schedule(&again);
    reactor->schedule(&y);
    reactor->schedule(&x);
    reactor->wake_up();
    EXPECT_EQ(log, "ayxP");
    reactor->wake_up();
    EXPECT_EQ(log, "ayxPaP");
    // A task still ready after the pass means no wait; otherwise the 8 ms cap.
    EXPECT_EQ(io.m_timeouts, (std::vector<unsigned>{0, 8}));
}

TEST_F(ReactorTest, BatchGoesBeforeReadyTasksInItsOwnOrder)
{
    LogTask r(log, 'r'), b1(log, '1'), b2(log, '2');
    reactor->schedule(&r);
    ListHead batch;
    batch.push_back(&b1.m_node);
    batch.push_back(&b2.m_node);
    reactor->schedule_batch(&batch);
    EXPECT_TRUE(batch.empty());
    reactor->wake_up();
    EXPECT_EQ(log, "12rP");
}

TEST_F(ReactorTest, IterationServesNotifyThenTimersThenReadyThenWaits)
{
    LogTask n(log, 'N'), t(log, 'T'), r(log, 'R');
    int id = reactor->alloc_notify(&n);
    std::unique_ptr<TaskScheduler> timer(reactor->open_delay_scheduler(8));
    EXPECT_EQ(timer->schedule(&t), -1);
    g_now_ms += 16;
    reactor->schedule(&r);
    reactor->request_notify(id);
    reactor->wake_up();
    EXPECT_EQ(log, "NTRP");
}

TEST_F(ReactorTest, PausedReactorFiresEveryTimerThatBecameDueInExpiryOrder)
{
    // The loop starts 10 s after its timers were armed.
    LogTask a(log, 'a'), b(log, 'b'), c(log, 'c'), d(log, 'd');
    std::unique_ptr<TaskScheduler> s5000(reactor->open_delay_scheduler(5000));
    std::unique_ptr<TaskScheduler> s1000(reactor->open_delay_scheduler(1000));
    std::unique_ptr<TaskScheduler> s3000(reactor->open_delay_scheduler(3000));
    std::unique_ptr<TaskScheduler> s20000(reactor->open_delay_scheduler(20000));
    s5000->schedule(&c);
    s1000->schedule(&a);
    s3000->schedule(&b);
    s20000->schedule(&d);
    g_now_ms += 10000;
    reactor->wake_up();
    EXPECT_EQ(log, "abcP");
    EXPECT_TRUE(d.in_queue());
}

TEST_F(ReactorTest, DestroyedTasksAreNeverWoken)
{
    LogTask keep(log, 'k');
    int id;
    {
        LogTask ready(log, 'r'), notified(log, 'n');
        reactor->schedule(&ready);
        id = reactor->alloc_notify(&notified);
        reactor->request_notify(id);
        reactor->schedule(&keep);
    }
    reactor->wake_up();
    EXPECT_EQ(log, "kP");
}

TEST_F(ReactorTest, NotifySlotsAreReusedLowestFirst)
{
    LogTask a(log, 'a'), c(log, 'c');
    auto b = std::make_unique<LogTask>(log, 'b');
    EXPECT_EQ(reactor->alloc_notify(&a), 0);
    EXPECT_EQ(reactor->alloc_notify(b.get()), 1);
    b.reset();
    EXPECT_EQ(reactor->alloc_notify(&c), 1);
    a.cancel();
    LogTask d(log, 'd');
    EXPECT_EQ(reactor->alloc_notify(&d), 0);
    EXPECT_EQ(reactor->notify_slot_size(), 2);
    // The reused slot wakes its new task only.
    reactor->request_notify(0);
    reactor->wake_up();
    EXPECT_EQ(log, "dP");
}

TEST_F(ReactorTest, RequestsMergeUntilServedAndDisabledSlotsIgnoreThem)
{
    LogTask a(log, 'a');
    int id = reactor->alloc_notify(&a);
    reactor->request_notify(id);
    reactor->request_notify(id);
    reactor->request_notify(id);
    EXPECT_EQ(io.m_interrupts, 1);
    reactor->wake_up();
    reactor->wake_up();
    EXPECT_EQ(log, "aPP");
    // A task woken by its slot stays bound to it.
    EXPECT_TRUE(a.in_queue());
    reactor->request_notify(id);
    reactor->wake_up();
    EXPECT_EQ(log, "aPPaP");

    reactor->enable_notify(id, false);
    reactor->request_notify(id);
    reactor->wake_up();
    EXPECT_EQ(log, "aPPaPP");
    reactor->enable_notify(id, true);
    reactor->request_notify(id);
    reactor->wake_up();
    EXPECT_EQ(log, "aPPaPPaP");
}

// Reusing a slot whose request was still pending used to reset its flag
// while the slot stayed linked, so the next request aborted the process.
TEST_F(ReactorTest, SlotReusedWhileRequestedKeepsItsPendingRequest)
{
    auto gone = std::make_unique<LogTask>(log, 'g');
    int id = reactor->alloc_notify(gone.get());
    reactor->request_notify(id);
    gone.reset();
    LogTask fresh(log, 'f');
    EXPECT_EQ(reactor->alloc_notify(&fresh), id);
    reactor->request_notify(id);
    reactor->wake_up();
    reactor->wake_up();
    EXPECT_EQ(log, "fPP");
}

// The walk over a slot's tasks read the successor from the task it had just
// woken, which a task leaving its slot in its wake-up had linked elsewhere,
// or (a pipe consumer closing the last end) had already freed.
TEST_F(ReactorTest, NotifiedTaskMayLeaveItsSlotOrDestroyItselfInItsWakeUp)
{
    struct SelfDeletingTask : Task {
        explicit SelfDeletingTask(std::string& log) : m_log(log) {}
        void wake_up() override
        {
            m_log += 'd';
            delete this;
        }
        std::string& m_log;
    };
    struct MovingTask : Task {
        MovingTask(Reactor& reactor, std::string& log) : m_reactor(reactor), m_log(log) {}
        void wake_up() override
        {
            m_log += 'm';
            if (!m_moved) {
                m_moved = true;
                m_reactor.schedule(this);
            }
        }
        Reactor& m_reactor;
        std::string& m_log;
        bool m_moved = false;
    } moving(*reactor, log);
    int deleting_id = reactor->alloc_notify(new SelfDeletingTask(log));
    int moving_id = reactor->alloc_notify(&moving);
    reactor->request_notify(deleting_id);
    reactor->request_notify(moving_id);
    reactor->wake_up();
    EXPECT_EQ(log, "dmmP");
    // Both slots are free again.
    LogTask next(log, 'n'), after(log, 'a');
    EXPECT_EQ(reactor->alloc_notify(&next), deleting_id);
    EXPECT_EQ(reactor->alloc_notify(&after), moving_id);
}

TEST_F(ReactorTest, MutualCallOnTheReactorThreadRunsAtOnce)
{
    LogTask m(log, 'm');
    reactor->schedule_mutual(&m);
    EXPECT_EQ(log, "m");
}

TEST(ReactorDeathTest, BrokenPreconditionsAbortWithTheirReport)
{
    std::string log;
    RecordingIo io(log);
    auto reactor = std::make_unique<TestReactor>(&io);
    LogTask a(log, 'a');
    EXPECT_DEATH(reactor->request_notify(0),
                 "velta/source/task/Reactor:99: Assertion `notify_id >= 0 && notify_id < "
                 "m_notify_slot_size' failed");
    EXPECT_DEATH(reactor->enable_notify(-1, true), "Reactor:122: Assertion");
    EXPECT_DEATH(
        {
            std::vector<std::unique_ptr<LogTask>> tasks;
            for (int i = 0; i <= NOTIFY_SLOT_MAX_SIZE; ++i) {
                tasks.push_back(std::make_unique<LogTask>(log, 't'));
                reactor->alloc_notify(tasks.back().get());
            }
        },
        "Reactor:90: Assertion `m_notify_slot_size < NOTIFY_SLOT_MAX_SIZE' failed");
    // With the thread check on, only the reactor's own thread may schedule;
    // no thread runs here, so the calling thread is not it.
    reactor->check_thread();
    EXPECT_DEATH(reactor->schedule(&a), "Reactor:58: Assertion `is_current_thread\\(\\)' failed");
}

TEST(Thread, JoinWithoutThreadAndStopWithoutThreadSucceed)
{
    std::string log;
    RecordingIo io(log);
    auto reactor = std::make_unique<TestReactor>(&io);
    EXPECT_TRUE(reactor->join());
    reactor->stop();
    reactor->stop();
    EXPECT_TRUE(reactor->join());
}

TEST(Poller, WakesWaitersOnNotifyAndAnswersZeroWhileNodesWait)
{
    std::string log;
    Poller poller;
    LogTask a(log, 'a');
    EXPECT_EQ(poller.schedule(&a), -1);
    ListNode n1, n2;
    poller.notify(n1);
    EXPECT_EQ(log, "a");
    EXPECT_EQ(poller.schedule(&a), 0);
    EXPECT_FALSE(a.in_queue());
    poller.notify(n2);
    EXPECT_EQ(log, "a");
    ListHead out;
    ListNode mine;
    out.push_back(&mine);
    EXPECT_EQ(poller.poll(out), 0);
    EXPECT_EQ(out.head(), &n1);
    EXPECT_EQ(n1.m_next, &n2);
    EXPECT_EQ(out.tail(), &mine);
    EXPECT_EQ(poller.schedule(&a), -1);
    out.init();
    ListHead elsewhere;
    ListNode linked;
    elsewhere.push_back(&linked);
    EXPECT_DEATH(poller.notify(linked),
                 "velta/source/task/Poller:42: Assertion `list_node.empty\\(\\)' failed");
}
