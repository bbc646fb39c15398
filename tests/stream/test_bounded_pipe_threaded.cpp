#include "velta/source/stream/BoundedPipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/task/Poller.h"
#include "velta/source/task/SelectReactor.h"

namespace {

// Packet i carries i in its first four bytes and i's low byte in the rest.
int packet_length(uint32_t i)
{
    return 1024 + static_cast<int>(i % 176);
}

class Producer {
public:
    Producer(Reactor* reactor, uint32_t total) : m_reactor(reactor), m_total(total), m_task(this) {}
    void start(BoundedPipe* pipe)
    {
        m_pipe = pipe;
        m_reactor->schedule(&m_task);
    }

    std::atomic<int> m_parked{0};
    std::atomic<uint32_t> m_sent{0};

private:
    void on_write()
    {
        char bytes[1200];
        for (int burst = 0; burst < 64 && m_next < m_total;) {
            memcpy(bytes, &m_next, 4);
            int length = packet_length(m_next);
            memset(bytes + 4, static_cast<int>(m_next & 0xff), static_cast<size_t>(length - 4));
            if (m_pipe->write(Packet(bytes, length)) == 0) {
                m_sent.store(++m_next);
                ++burst;
            } else if (m_pipe->schedule(&m_task) != 0) {
                ++m_parked;
                return;
            }
        }
        if (m_next < m_total)
            m_reactor->schedule(&m_task);
    }

    struct m_write_task_type : Task {
        explicit m_write_task_type(Producer* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_write(); }
        Producer* m_owner;
    };

    Reactor* m_reactor;
    BoundedPipe* m_pipe = nullptr;
    uint32_t m_total;
    uint32_t m_next = 0;
    m_write_task_type m_task;
};

class Consumer {
public:
    Consumer(Reactor* reactor, Poller* poller) : m_reactor(reactor), m_poller(poller), m_task(this)
    {
        m_poller->schedule(&m_task);
    }

    std::atomic<uint32_t> m_received{0};
    std::atomic<bool> m_bad{false};

private:
    void on_read()
    {
        ListHead nodes;
        m_poller->poll(nodes);
        while (!nodes.empty()) {
            ListNode* node = nodes.head();
            node->detach();
            drain(BoundedPipe::from_list_node(node));
        }
        if (m_poller->schedule(&m_task) == 0)
            m_reactor->schedule(&m_task);
    }

    void drain(BoundedPipe* pipe)
    {
        for (;;) {
            m_buffer.reset(0);
            if (pipe->consume(m_buffer) != 0)
                return;
            uint32_t seq;
            memcpy(&seq, m_buffer.data(), 4);
            uint32_t expected = m_received.load();
            bool ok = seq == expected &&
                      m_buffer.length() == static_cast<unsigned long>(packet_length(seq));
            for (unsigned long i = 4; ok && i < m_buffer.length(); ++i)
                ok = static_cast<unsigned char>(m_buffer.data()[i]) == (seq & 0xff);
            if (!ok)
                m_bad = true;
            m_received.store(expected + 1);
        }
    }

    struct m_read_task_type : Task {
        explicit m_read_task_type(Consumer* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_read(); }
        Consumer* m_owner;
    };

    Reactor* m_reactor;
    Poller* m_poller;
    m_read_task_type m_task;
    PacketBufferExt<2048> m_buffer;
};

// Waits for a condition that another thread brings about; the bound only
// keeps a broken pipe from hanging the suite.
template <class Condition>
bool eventually(Condition done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Reactors {
    Reactors() : producer(new SelectReactor), consumer(new SelectReactor) {}
    ~Reactors()
    {
        delete consumer;
        delete producer;
    }
    Reactor* producer;
    Reactor* consumer;
};

}  // namespace

TEST(BoundedPipeThreaded, FullRingBlocksTheProducerAndResumesIt)
{
    Reactors reactors;
    Poller poller;
    Producer producer(reactors.producer, 200);
    Consumer consumer(reactors.consumer, &poller);
    BoundedPipe* pipe = new BoundedPipe(reactors.producer, reactors.consumer, 8, &poller);
    producer.start(pipe);

    // The consumer is not running yet: the producer fills the ring and parks.
    ASSERT_TRUE(reactors.producer->create());
    ASSERT_TRUE(eventually([&] { return producer.m_parked.load() > 0; }));
    EXPECT_EQ(producer.m_sent.load(), 7u);
    EXPECT_EQ(pipe->tell(), 7);

    ASSERT_TRUE(reactors.consumer->create());
    ASSERT_TRUE(eventually([&] { return consumer.m_received.load() == 200; }));
    EXPECT_FALSE(consumer.m_bad.load());

    reactors.producer->stop();
    reactors.consumer->stop();
    pipe->close();
    pipe->close();
}

TEST(BoundedPipeThreaded, LongStreamArrivesWholeAndInOrder)
{
    // About 35 MB: enough for the pipe's 16 MiB blocks to be recycled.
    const uint32_t total = 32000;
    Reactors reactors;
    Poller poller;
    Producer producer(reactors.producer, total);
    Consumer consumer(reactors.consumer, &poller);
    BoundedPipe* pipe = new BoundedPipe(reactors.producer, reactors.consumer, 64, &poller);
    producer.start(pipe);

    ASSERT_TRUE(reactors.consumer->create());
    ASSERT_TRUE(reactors.producer->create());
    ASSERT_TRUE(eventually([&] { return consumer.m_received.load() == total; }));
    EXPECT_FALSE(consumer.m_bad.load());
    EXPECT_EQ(producer.m_sent.load(), total);

    reactors.producer->stop();
    reactors.consumer->stop();
    pipe->close();
    pipe->close();
}
