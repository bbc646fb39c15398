#include "velta/source/task/SelectIoTaskManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "velta/source/task/Reactor.h"
#include "velta/source/task/SelectInterrupter.h"
#include "velta/source/task/SelectReactor.h"
#include "velta/source/task/SelectReactorPool.h"
#include "velta/source/task/TaskScheduler.h"

namespace {

struct LogTask : Task {
    LogTask(std::string& log, char name) : m_log(log), m_name(name) {}
    void wake_up() override { m_log += m_name; }
    std::string& m_log;
    char m_name;
};

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
    void put() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
    int fds[2];
};

// The manager polls for a plain reactor, which then runs what it was handed.
struct SelectTest : ::testing::Test {
    std::string log;
    std::unique_ptr<Reactor> reactor = std::make_unique<Reactor>();
    SelectIoTaskManager manager{reactor.get()};

    void turn(unsigned timeout_ms = 0)
    {
        manager.poll(timeout_ms);
        reactor->wake_up();
    }
};

}  // namespace

TEST_F(SelectTest, ReadableDescriptorWakesItsTaskOnce)
{
    Pipe p;
    LogTask a(log, 'a');
    std::unique_ptr<TaskScheduler> input(manager.open_input_scheduler(p.fds[0]));
    EXPECT_EQ(input->schedule(&a), -1);
    turn();
    EXPECT_EQ(log, "");
    EXPECT_TRUE(a.in_queue());
    p.put();
    turn();
    EXPECT_EQ(log, "a");
    // One-shot: still readable, but nobody waits any more.
    turn();
    EXPECT_EQ(log, "a");
    input->schedule(&a);
    turn();
    EXPECT_EQ(log, "aa");
}

TEST_F(SelectTest, SchedulingTwiceWaitsOnceAndRunsOnlyTheLastTask)
{
    Pipe p;
    LogTask a(log, 'a'), b(log, 'b');
    std::unique_ptr<TaskScheduler> input(manager.open_input_scheduler(p.fds[0]));
    input->schedule(&a);
    input->schedule(&b);
    EXPECT_FALSE(a.in_queue());
    p.put();
    turn();
    EXPECT_EQ(log, "b");
    // Had the scheduler been listed twice, the second entry would now be
    // reported with an empty queue or corrupt the list; neither may happen.
    turn();
    EXPECT_EQ(log, "b");
}

TEST_F(SelectTest, DescriptorZeroIsNeverWaitedFor)
{
    LogTask a(log, 'a');
    std::unique_ptr<TaskScheduler> input(manager.open_input_scheduler(0));
    input->schedule(&a);
    turn();
    turn();
    EXPECT_EQ(log, "");
    EXPECT_TRUE(a.in_queue());
}

TEST_F(SelectTest, WritableDescriptorIsReportedEachTime)
{
    Pipe p;
    LogTask w(log, 'w');
    std::unique_ptr<TaskScheduler> output(manager.open_output_scheduler(p.fds[1]));
    char expected[64];
    snprintf(expected, sizeof(expected), "output task =%p, fd=%d\n",
             static_cast<void*>(output.get()), p.fds[1]);
    for (int i = 0; i < 2; ++i) {
        output->schedule(&w);
        testing::internal::CaptureStdout();
        turn();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    }
    EXPECT_EQ(log, "ww");
}

TEST_F(SelectTest, WaitersKeepTheirOrderAndDeletedSchedulersLeave)
{
    Pipe p1, p2, p3;
    LogTask a(log, 'a'), b(log, 'b'), c(log, 'c');
    std::unique_ptr<TaskScheduler> s1(manager.open_input_scheduler(p1.fds[0]));
    auto s2 = std::unique_ptr<TaskScheduler>(manager.open_input_scheduler(p2.fds[0]));
    std::unique_ptr<TaskScheduler> s3(manager.open_input_scheduler(p3.fds[0]));
    s1->schedule(&a);
    s2->schedule(&b);
    s3->schedule(&c);
    s2.reset();
    EXPECT_FALSE(b.in_queue());
    p2.put();
    p3.put();
    turn();
    EXPECT_EQ(log, "c");
    p1.put();
    turn();
    EXPECT_EQ(log, "ca");
}

TEST_F(SelectTest, FailedSelectIsReportedAndEveryWaiterTreatedAsReady)
{
    Pipe p;
    LogTask a(log, 'a'), b(log, 'b');
    std::unique_ptr<TaskScheduler> good(manager.open_input_scheduler(p.fds[0]));
    // Capture first: it opens a file, which would take the closed number.
    testing::internal::CaptureStdout();
    int closed = dup(p.fds[0]);
    close(closed);
    std::unique_ptr<TaskScheduler> bad(manager.open_input_scheduler(closed));
    good->schedule(&a);
    bad->schedule(&b);
    manager.poll(0);
    char expected[64];
    snprintf(expected, sizeof(expected), "select ret = -1, errorcode=%d\n", EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    reactor->wake_up();
    EXPECT_EQ(log.size(), 2u);
    EXPECT_NE(log.find('a'), std::string::npos);
    EXPECT_NE(log.find('b'), std::string::npos);
}

// FD_SET on a descriptor of FD_SETSIZE or more writes past the fd_set.
TEST_F(SelectTest, DescriptorsBeyondTheSetAreRefusedWithAReport)
{
    Pipe p;
    int high = dup2(p.fds[0], FD_SETSIZE + 100);
    ASSERT_EQ(high, FD_SETSIZE + 100);
    testing::internal::CaptureStdout();
    EXPECT_EQ(manager.open_input_scheduler(high), nullptr);
    EXPECT_EQ(manager.open_output_scheduler(FD_SETSIZE), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "select cannot wait on fd=1124, descriptors must be below 1024\n"
              "select cannot wait on fd=1024, descriptors must be below 1024\n");
    close(high);
    std::unique_ptr<TaskScheduler> last(manager.open_input_scheduler(FD_SETSIZE - 1));
    EXPECT_NE(last, nullptr);
}

TEST(SelectInterrupter, InterruptsCoalesceAndResetDrainsThem)
{
    SelectInterrupter interrupter;
    EXPECT_GT(interrupter.fd(), 0);
    interrupter.interrupt();
    interrupter.interrupt();
    interrupter.interrupt();
    uint64_t value = 0;
    EXPECT_EQ(read(interrupter.fd(), &value, sizeof(value)), 8);
    EXPECT_EQ(value, 3u);
    interrupter.interrupt();
    interrupter.reset();
    EXPECT_EQ(read(interrupter.fd(), &value, sizeof(value)), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(SelectReactor, InterruptedWaitIsDrainedAndSchedulersComeFromItsManager)
{
    auto reactor = std::make_unique<SelectReactor>();
    Pipe p;
    std::string log;
    LogTask a(log, 'a');
    std::unique_ptr<TaskScheduler> input(reactor->open_input_scheduler(p.fds[0]));
    input->schedule(&a);
    p.put();
    reactor->interrupt();
    reactor->wake_up();  // the wait hands a over and drains the interrupt
    reactor->wake_up();
    EXPECT_EQ(log, "a");
    testing::internal::CaptureStdout();
    EXPECT_EQ(reactor->open_output_scheduler(FD_SETSIZE), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
}

TEST(SelectReactorPool, HandsOutReactorsRoundRobin)
{
    SelectReactorPool pool(3);
    Reactor* r0 = pool.alloc_reactor();
    Reactor* r1 = pool.alloc_reactor();
    Reactor* r2 = pool.alloc_reactor();
    EXPECT_NE(r0, r1);
    EXPECT_NE(r1, r2);
    EXPECT_NE(r0, r2);
    EXPECT_EQ(pool.alloc_reactor(), r0);
    EXPECT_EQ(pool.alloc_reactor(), r1);
    // The pool does not own its reactors.
    delete r0;
    delete r1;
    delete r2;
}
