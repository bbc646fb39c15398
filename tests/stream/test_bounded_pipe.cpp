#include "velta/source/stream/BoundedPipe.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/DrivenReactor.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/task/Poller.h"
#include "velta/source/task/SelectReactor.h"

// Both reactors are stepped on this thread, one iteration at a time, so
// every hand-off between the two ends is observed in order.

namespace {

struct CountingTask : Task {
    void wake_up() override { ++m_runs; }
    int m_runs = 0;
};

struct PipeFixture : ::testing::Test {
    PipeFixture()
        : m_producer(new DrivenReactor),
          m_consumer(new SelectReactor),
          m_pipe(new BoundedPipe(m_producer, m_consumer, 8, &m_poller))
    {
        m_poller.schedule(&m_consumer_task);
    }
    ~PipeFixture() override
    {
        m_pipe->close();
        m_pipe->close();
        delete m_consumer;
        delete m_producer;
    }

    int write(const std::string& text)
    {
        return m_pipe->write(Packet(text.data(), static_cast<int>(text.size())));
    }
    // The pipe node if the poller was told to look at the pipe.
    bool polled()
    {
        ListHead nodes;
        m_poller.poll(nodes);
        bool found = !nodes.empty();
        while (!nodes.empty())
            nodes.head()->detach();
        return found;
    }
    std::string consume(int* rc = nullptr)
    {
        m_out.reset(0);
        int result = m_pipe->consume(m_out);
        if (rc != nullptr)
            *rc = result;
        return std::string(m_out.data(), m_out.length());
    }

    DrivenReactor* m_producer;
    Reactor* m_consumer;
    Poller m_poller;
    BoundedPipe* m_pipe;
    CountingTask m_consumer_task;
    PacketBufferExt<64> m_out;
};

}  // namespace

TEST_F(PipeFixture, WriteWakesTheConsumerThroughItsReactor)
{
    ASSERT_EQ(write("one"), 0);
    EXPECT_EQ(m_consumer_task.m_runs, 0);
    m_consumer->wake_up();
    EXPECT_EQ(m_consumer_task.m_runs, 1);
    EXPECT_TRUE(polled());
    EXPECT_EQ(consume(), "one");
    EXPECT_EQ(m_pipe->tell(), 1);
}

TEST_F(PipeFixture, IdleConsumerStopsLookingAfterSevenEmptyPollsUntilAWrite)
{
    write("x");
    m_consumer->wake_up();
    polled();
    EXPECT_EQ(consume(), "x");
    int rc = 0;
    for (int look = 0; look < 7; ++look) {
        consume(&rc);
        EXPECT_EQ(rc, EC_WOULDBLOCK);
        EXPECT_TRUE(polled()) << look;  // the pipe asks to be looked at again
    }
    consume(&rc);
    EXPECT_EQ(rc, EC_WOULDBLOCK);
    EXPECT_FALSE(polled());

    m_poller.schedule(&m_consumer_task);
    write("y");
    m_consumer->wake_up();
    EXPECT_TRUE(polled());
    EXPECT_EQ(consume(), "y");
}

TEST_F(PipeFixture, PacketTooLargeForTheBufferStaysInThePipe)
{
    write(std::string(65, 'z'));
    write("next");
    int rc = 0;
    consume(&rc);
    EXPECT_EQ(rc, EC_INSUF_BUFFER);
    PacketBufferExt<128> big;
    big.reset(0);
    ASSERT_EQ(m_pipe->consume(big), 0);
    EXPECT_EQ(big.length(), 65u);
    EXPECT_EQ(consume(), "next");
}

TEST_F(PipeFixture, FullRingParksTheProducerUntilBelowHalf)
{
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(write(std::to_string(i)), 0);
    EXPECT_EQ(write("7"), EC_WOULDBLOCK);
    CountingTask producer;
    EXPECT_EQ(m_pipe->schedule(&producer), 0);  // try once more first
    EXPECT_EQ(write("7"), EC_WOULDBLOCK);
    EXPECT_EQ(m_pipe->schedule(&producer), -1);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(consume(), std::to_string(i));
    m_producer->wake_up();
    EXPECT_EQ(producer.m_runs, 0);  // still four of eight
    EXPECT_EQ(consume(), "3");
    m_producer->wake_up();
    EXPECT_EQ(producer.m_runs, 1);
    EXPECT_EQ(write("7"), 0);
    EXPECT_EQ(m_pipe->schedule(&producer), 0);
}

// The consumer reads on, but the ring stays above half full, so it never
// asks for the producer: the 500 ms timer is what wakes it then, and only
// once the consumer has moved.
TEST_F(PipeFixture, SafetyNetTimerWakesAParkedProducerOnceTheConsumerMoved)
{
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(write(std::to_string(i)), 0);
    CountingTask producer;
    EXPECT_EQ(m_pipe->schedule(&producer), 0);
    EXPECT_EQ(m_pipe->schedule(&producer), -1);
    m_producer->advance_timers(500);
    EXPECT_EQ(producer.m_runs, 0);  // nothing was read yet
    EXPECT_EQ(consume(), "0");
    m_producer->advance_timers(488);
    EXPECT_EQ(producer.m_runs, 0);
    m_producer->advance_timers(8);
    EXPECT_EQ(producer.m_runs, 1);
}

// The last close from the consumer's own wake-up used to leave the pipe's
// node in the poller, for the next poll to hand out freed memory.
TEST(BoundedPipeLifetime, ConsumerClosingTheLastEndInItsWakeUpLeavesNothingBehind)
{
    SelectReactor producer;
    SelectReactor consumer;
    Poller poller;
    BoundedPipe* pipe = new BoundedPipe(&producer, &consumer, 8, &poller);
    struct ClosingConsumer : Task {
        void wake_up() override
        {
            ++m_runs;
            m_pipe->close();
        }
        BoundedPipe* m_pipe = nullptr;
        int m_runs = 0;
    } closing;
    closing.m_pipe = pipe;
    poller.schedule(&closing);
    ASSERT_EQ(pipe->write(Packet("x", 1)), 0);
    pipe->close();  // the producer's end
    consumer.wake_up();
    EXPECT_EQ(closing.m_runs, 1);
    ListHead nodes;
    poller.poll(nodes);
    EXPECT_TRUE(nodes.empty());
}
