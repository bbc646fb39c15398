// Internal: a bounded pipe of packets from one reactor's thread to another's.
//
// The producer write()s on its reactor thread; each packet is copied into a
// FifoAllocator (packets leave in the order they came, which is exactly the
// allocator's reuse rule) and a view of the copy goes into a RingQueue. The
// consumer reads on its own reactor thread through a Poller: the pipe
// notify()s the poller with its list node whenever the consumer should look
// at it, and the consumer, having taken the node out of its poll() list,
// consume()s until the pipe answers -1.
//
// The threads meet only in the ring and in notify slots:
//   - write() requests the consumer reactor's consume slot, whose task
//     notifies the poller. While the consumer is busy the slot is disabled,
//     so a steady stream costs the producer no wake-ups; after seven empty
//     looks in a row the consumer enables it again and stops looking.
//   - A producer that finds the ring full parks its task with schedule();
//     the consumer requests the producer reactor's produce slot once the
//     ring is below half full, and a 500 ms timer on the producer reactor
//     wakes parked tasks as a safety net whenever the consumer made progress.
// Each of these hand-offs is a store on one side followed by a load of what
// the other side stores (Dekker's pattern), which a store buffer may
// reorder; a sequentially consistent read-modify-write on a shared word
// between the two keeps either side from missing the other's store.
#pragma once

#include "velta/source/base/FifoAllocator.h"
#include "velta/source/base/Packet.h"
#include "velta/source/base/PacketBuffer.h"
#include "velta/source/stream/OutputStream.h"
#include "velta/source/stream/RingQueue.h"
#include "velta/source/task/ListNode.h"
#include "velta/source/task/Task.h"
#include "velta/source/task/TaskQueue.h"

class Poller;
class Reactor;

class BoundedPipe : public OutputStream<Packet> {
public:
    // Built on the setting-up thread before both reactors run, or on the
    // producer reactor's thread. Delete it only through close() from both ends.
    BoundedPipe(Reactor* producer, Reactor* consumer, int capacity, Poller* poller);

    // Producer thread: -1 when the ring is full, else 0.
    int write(const Packet& packet) override;
    // Producer thread, after write() gave -1: 0 when the caller should try
    // again at once, -1 when the task was parked until there is room.
    int schedule(Task* task) override;
    // Consumer thread: 0 and the next packet appended to out; -ENXIO when it
    // does not fit out's tailroom (it stays in the pipe); -1 when empty.
    int consume(PacketBuffer& out);

    // Either end, once each; the second call deletes the pipe.
    int close() override;
    long seek(long offset, int whence) override;
    long tell() override;

    ListNode& list_node() { return m_list_node; }
    static BoundedPipe* from_list_node(ListNode* node);

private:
    ~BoundedPipe() override;

    void on_consume();
    void on_produce();
    void on_timer();
    void notify_poller();
    // See the file comment: orders this side's store before its next load.
    void handoff_barrier() { __atomic_fetch_add(&m_handoff, 0, __ATOMIC_SEQ_CST); }

    class m_consume_task_type : public Task {
    public:
        explicit m_consume_task_type(BoundedPipe* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_consume(); }

    private:
        BoundedPipe* m_owner;
    };
    class m_produce_task_type : public Task {
    public:
        explicit m_produce_task_type(BoundedPipe* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_produce(); }

    private:
        BoundedPipe* m_owner;
    };
    class m_timer_task_type : public Task {
    public:
        explicit m_timer_task_type(BoundedPipe* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_timer(); }

    private:
        BoundedPipe* m_owner;
    };

    Reactor* m_producer;
    Reactor* m_consumer;
    RingQueue<Packet> m_ring;
    FifoAllocator m_allocator;
    TaskQueue m_blocked_tasks;  // producer tasks waiting for room
    TaskScheduler* m_timer;     // on the producer reactor
    m_timer_task_type m_timer_task;
    m_consume_task_type m_consume_task;
    int m_consume_notify;
    m_produce_task_type m_produce_task;
    int m_produce_notify;
    Poller* m_poller;
    ListNode m_list_node;
    bool m_producer_blocked = false;  // shared: atomic access only
    int m_idle_count = 0;             // consumer only
    unsigned long m_timer_read_pos;   // producer only
    long m_handoff = 0;
    volatile long m_open_ends = 3;  // bit 0 and bit 1: one per end
};
