// Internal: the event-loop thread on which all tasks of its objects run.
//
// Thread rules. schedule(), schedule_batch(), the open_*_scheduler() calls
// and wake_up() belong to the reactor thread (and to the thread that sets
// objects up, since the thread check is off). Other threads reach the
// reactor only through:
//   - alloc_notify() / request_notify() / enable_notify(): make a bound task
//     run on the next iteration, without blocking;
//   - schedule_mutual(): run one task on the reactor thread and wait for it;
//   - interrupt(): cut the current or next I/O wait short;
//   - stop(): end the loop and join the thread.
//
// One iteration (wake_up) serves, in this order: one synchronous call, the
// requested notify slots, the expired timers, every ready task, then the I/O
// wait (no wait when tasks became ready meanwhile). Expired timers and
// ready descriptors put their tasks before those already ready: timers in
// the same iteration, descriptors reported by the wait in the next one.
//
// Spinning (set_spin before the thread starts) trades a core for the
// scheduler's wake-up: the loop never sleeps. Owners of descriptors that
// are read often (the multicast channels) ask spinning() and then keep
// their read task in the ready queue, reading without waiting on every
// turn; the I/O wait becomes a look without a timeout, made at most every
// SPIN_IO_POLL_NS, for the other descriptors. Notify and synchronous
// requests are seen on the next turn, so interrupt() makes no system call
// then; timers keep their periods. The thread's CPU is Thread::set_cpu's.
#pragma once

#include <atomic>
#include <cstdint>

#include "velta/source/task/AtomValue.h"
#include "velta/source/task/Mutex.h"
#include "velta/source/task/Semaphore.h"
#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/Thread.h"
#include "velta/source/task/TickCount.h"

class DelayTaskManager;
class FileIoTaskManager;
class TaskScheduler;

constexpr int NOTIFY_SLOT_MAX_SIZE = 4096;
constexpr int MUTUAL_SLOT_SIZE = 64;
// How often a spinning loop looks at descriptors that are not read on
// every turn (the query connection): far below any of their time-outs.
constexpr int64_t SPIN_IO_POLL_NS = 20000;

// One notify slot: the tasks bound to it and its pending request. A slot is
// free while its task queue is empty.
struct IntrSlot {
    TaskQueue m_task_queue;
    bool m_enabled = false;
    bool m_requested = false;
    ListNode m_list_node;

    // Binds the task to this free slot, enabled and not requested.
    void bind(Task* task);
    static IntrSlot* from_list_node(ListNode* node);
};

// One place in the ring of synchronous calls: the waiting caller's own
// semaphore and its task (null while the slot is empty).
struct MutualSlot {
    Semaphore* m_done = nullptr;
    Task* m_task = nullptr;
};

class Reactor : public Thread {
public:
    Reactor();
    // Stops and joins the thread before any member goes away.
    ~Reactor() override;

    // Appends the task to the ready queue (leaving any queue it was in).
    void schedule(Task* task);
    // Moves the whole batch, in its order, before the tasks already ready.
    void schedule_batch(ListHead* batch);

    // Schedulers whose tasks run after a fixed delay, or when the descriptor
    // is readable / writable. The caller owns and deletes them. The I/O ones
    // are null when the descriptor cannot be waited for (reported on stdout).
    TaskScheduler* open_delay_scheduler(unsigned ms);
    TaskScheduler* open_input_scheduler(int fd);
    TaskScheduler* open_output_scheduler(int fd);

    // Any thread: the current or next I/O wait returns at once.
    void interrupt();

    // Any thread: binds the task to the lowest free notify slot, enabled,
    // and returns its id. The slot is free again once the task leaves it
    // (cancelled or destroyed).
    int alloc_notify(Task* task);
    // Any thread: wake the slot's tasks on the next iteration. Requests made
    // before that iteration merge into one wake-up; disabled slots ignore them.
    void request_notify(int notify_id);
    void enable_notify(int notify_id, bool enable);
    int notify_slot_size() const { return m_notify_slot_size; }

    // Runs the task on the reactor thread and returns when it has run. At
    // most MUTUAL_SLOT_SIZE callers may wait at once.
    void schedule_mutual(Task* task);

    // Any thread, any number of times: clears the running flag, interrupts
    // the wait and joins the thread (on the reactor thread itself it only
    // ends the loop after the current iteration).
    void stop();

    // Before create(): whether the loop spins instead of sleeping.
    void set_spin(bool spin) { m_spin = spin; }
    bool spinning() const { return m_spin; }
    // Whether tasks wait in the ready queue (the running one is not in it).
    bool has_ready() const { return !m_ready_queue.empty(); }

    void run() override;
    // One loop iteration.
    void wake_up();

protected:
    void poll_mutual();
    void poll_notify();

    std::atomic<bool> m_running;
    DelayTaskManager* m_delay_manager;
    // Set by the concrete reactor; without one, wake_up() never waits.
    FileIoTaskManager* m_io_manager = nullptr;
    TaskQueue m_ready_queue;
    IntrSlot m_notify_slots[NOTIFY_SLOT_MAX_SIZE];
    int m_notify_slot_size = 0;
    Mutex m_notify_mutex;
    ListHead m_notify_list;
    // Raised with the request list filled, under the mutex; lets the loop
    // skip the mutex while nothing is requested.
    bool m_notify_pending = false;
    MutualSlot m_mutual_slots[MUTUAL_SLOT_SIZE];
    uint64_t m_mutual_read = 0;
    AtomValue m_mutual_write;
    bool m_spin = false;
    int64_t m_next_io_poll_ns = 0;
};
