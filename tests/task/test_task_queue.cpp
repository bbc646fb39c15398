#include "velta/source/task/TaskQueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct RecordingTask : Task {
    RecordingTask(std::string& log, char name) : m_log(log), m_name(name) {}
    void wake_up() override { m_log += m_name; }
    std::string& m_log;
    char m_name;
};

struct RequeueTask : Task {
    RequeueTask(TaskQueue& queue, int& runs) : m_queue(queue), m_runs(runs) {}
    void wake_up() override
    {
        ++m_runs;
        m_queue.push_back(this);
    }
    TaskQueue& m_queue;
    int& m_runs;
};

}  // namespace

TEST(ListHead, SpliceMovesNodesToTheFrontInOrder)
{
    ListHead a, b;
    ListNode n1, n2, n3;
    a.push_back(&n1);
    b.push_back(&n2);
    b.push_back(&n3);
    a.splice(&b);
    b.init();
    EXPECT_EQ(a.head(), &n2);
    EXPECT_EQ(a.head()->m_next, &n3);
    EXPECT_EQ(a.tail(), &n1);
    EXPECT_TRUE(b.empty());
}

TEST(ListHead, SwapExchangesContents)
{
    ListHead a, b;
    ListNode n1, n2;
    a.push_back(&n1);
    a.push_back(&n2);
    a.swap(&b);
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(b.head(), &n1);
    EXPECT_EQ(b.tail(), &n2);
}

TEST(TaskQueue, RunsInOrderAndRequeuedTasksWaitForNextRun)
{
    std::string log;
    TaskQueue queue;
    RecordingTask a(log, 'a'), b(log, 'b');
    int runs = 0;
    RequeueTask again(queue, runs);
    queue.push_back(&a);
    queue.push_back(&again);
    queue.push_back(&b);
    queue.emit_all();
    EXPECT_EQ(log, "ab");
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(again.in_queue());
    queue.emit_all();
    EXPECT_EQ(runs, 2);
}

TEST(TaskQueue, PushMovesTaskOutOfItsOldQueueAndBatchGoesFirst)
{
    std::string log;
    TaskQueue first, second;
    RecordingTask a(log, 'a'), b(log, 'b'), c(log, 'c');
    first.push_back(&a);
    second.push_back(&a);
    EXPECT_TRUE(first.empty());
    second.push_back(&b);
    ListHead batch;
    batch.push_back(&c.m_node);
    second.push_back(&batch);
    EXPECT_TRUE(batch.empty());
    second.push_back(static_cast<Task*>(nullptr));
    second.emit_all();
    EXPECT_EQ(log, "cab");
}

TEST(TaskQueue, DestroyedTaskLeavesTheQueue)
{
    std::string log;
    TaskQueue queue;
    RecordingTask a(log, 'a');
    {
        RecordingTask gone(log, 'x');
        queue.push_back(&gone);
        queue.push_back(&a);
    }
    queue.emit_all();
    EXPECT_EQ(log, "a");
}
