#include "velta/source/task/Reactor.h"

#include <cstddef>

#include "velta/source/base/Fatal.h"
#include "velta/source/task/FileIoTaskManager.h"
#include "velta/source/task/WheelDelayTaskManager.h"

// Notify slots. Another thread must be able to make a reactor task run, as
// often as it likes, without blocking and without allocating. A task is
// bound once to a slot (alloc_notify); request_notify() raises the slot's
// requested flag and links the slot into the request list under the notify
// mutex, then interrupts the I/O wait. The loop swaps the list out under the
// mutex and, outside it, clears each flag and wakes the slot's tasks without
// unbinding them. So requests made before the loop gets round merge into
// one wake-up, and a request made after the flag was cleared gives another.
// The flag is cleared only after the slot left the list, so a slot is never
// linked twice. Slots are never released explicitly: a slot whose task is
// cancelled or destroyed is empty, and alloc_notify() hands out the lowest
// empty slot, so ids stay small and m_notify_slot_size is a high-water mark.
//
// Mutual slots: a caller takes a ticket, publishes its task and its own
// semaphore in slot ticket % 64 and waits on it; each iteration serves at
// most one slot, spinning until the pointer is visible.
// Shared flags and pointers use acquire/release atomics (plain x86-64 moves).

void IntrSlot::bind(Task* task)
{
    __atomic_store_n(&m_enabled, true, __ATOMIC_RELEASE);
    // A slot freed while its request was pending is still linked: the request
    // stays (one early wake-up of the new task), else the next one would link
    // the slot twice.
    if (m_list_node.empty())
        __atomic_store_n(&m_requested, false, __ATOMIC_RELEASE);
    m_task_queue.push_back(task);
}

Reactor::Reactor() : m_running(true), m_delay_manager(new WheelDelayTaskManager(this)) {}

// Members go only after the thread has been joined; a subclass stops it first.
Reactor::~Reactor()
{
    stop();
    delete m_delay_manager;
}

void Reactor::stop()
{
    m_running.store(false);
    interrupt();
    // The reactor thread cannot join itself; its loop ends after this turn.
    if (!pthread_equal(pthread_self(), thread_handle()))
        join();
}

void Reactor::schedule(Task* task)
{
    VELTA_ASSERT(is_current_thread());
    m_ready_queue.push_back(task);
}

void Reactor::schedule_batch(ListHead* batch)
{
    VELTA_ASSERT(is_current_thread());
    m_ready_queue.push_back(batch);
}

TaskScheduler* Reactor::open_delay_scheduler(unsigned ms)
{
    return m_delay_manager->open_delay_scheduler(ms);
}

// A reactor without an I/O manager never waits, so there is nothing to cut
// short; this keeps stop() valid for it and after the manager is gone.
void Reactor::interrupt()
{
    if (m_io_manager != nullptr && !m_spin)
        m_io_manager->interrupt();
}

int Reactor::alloc_notify(Task* task)
{
    // The whole search runs under the mutex, so two threads never bind the
    // same free slot. The limit is checked before a new slot is touched.
    MutexShield shield(&m_notify_mutex);
    int id = 0;
    while (id < m_notify_slot_size && !m_notify_slots[id].m_task_queue.empty())
        ++id;
    if (id == m_notify_slot_size) {
        VELTA_ASSERT(m_notify_slot_size < NOTIFY_SLOT_MAX_SIZE);
        ++m_notify_slot_size;
    }
    m_notify_slots[id].bind(task);
    return id;
}

void Reactor::request_notify(int notify_id)
{
    VELTA_ASSERT(notify_id >= 0 && notify_id < m_notify_slot_size);
    // The barrier keeps the flag reads below from being hoisted above
    // whatever the caller prepared for the task to pick up.
    memory_barrier();
    IntrSlot& slot = m_notify_slots[notify_id];
    if (!__atomic_load_n(&slot.m_enabled, __ATOMIC_ACQUIRE))
        return;
    // The exchange both checks and raises the flag, so of two requesters
    // only one links the slot.
    if (__atomic_exchange_n(&slot.m_requested, true, __ATOMIC_ACQ_REL))
        return;
    // The loop detaches the slot before it clears the flag (release), and
    // the exchange above acquires it: a slot whose flag was clear is unlinked.
    m_notify_mutex.lock();
    VELTA_ASSERT(slot.m_list_node.empty());
    m_notify_list.push_back(&slot.m_list_node);
    __atomic_store_n(&m_notify_pending, true, __ATOMIC_RELEASE);
    m_notify_mutex.unlock();
    interrupt();
}

void Reactor::enable_notify(int notify_id, bool enable)
{
    VELTA_ASSERT(notify_id >= 0 && notify_id < m_notify_slot_size);
    __atomic_store_n(&m_notify_slots[notify_id].m_enabled, enable, __ATOMIC_RELEASE);
}

TaskScheduler* Reactor::open_input_scheduler(int fd)
{
    return m_io_manager->open_input_scheduler(fd);
}

TaskScheduler* Reactor::open_output_scheduler(int fd)
{
    return m_io_manager->open_output_scheduler(fd);
}

void Reactor::schedule_mutual(Task* task)
{
    if (is_current_thread()) {
        task->wake_up();
        return;
    }
    uint64_t ticket = static_cast<uint64_t>(m_mutual_write.increment() - 1);
    MutualSlot& slot = m_mutual_slots[ticket % MUTUAL_SLOT_SIZE];
    // The semaphore is the caller's own, not the slot's: a caller slow to
    // wait would otherwise have its wake-up taken by the slot's next user,
    // who can come round the ring meanwhile and return before its task ran.
    Semaphore done(0);
    __atomic_store_n(&slot.m_done, &done, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.m_task, task, __ATOMIC_RELEASE);
    memory_barrier();
    interrupt();
    done.lock();
}

void Reactor::poll_mutual()
{
    if (m_mutual_read == static_cast<uint64_t>(m_mutual_write.value()))
        return;
    MutualSlot& slot = m_mutual_slots[m_mutual_read % MUTUAL_SLOT_SIZE];
    // The ticket is taken before the pointer is published.
    Task* task;
    while ((task = __atomic_load_n(&slot.m_task, __ATOMIC_ACQUIRE)) == nullptr)
        memory_barrier();
    task->wake_up();
    // Once the pointer is cleared the slot may be taken again at once.
    Semaphore* done = __atomic_load_n(&slot.m_done, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.m_task, static_cast<Task*>(nullptr), __ATOMIC_RELEASE);
    done->unlock();
    ++m_mutual_read;
}

IntrSlot* IntrSlot::from_list_node(ListNode* node)
{
    return reinterpret_cast<IntrSlot*>(reinterpret_cast<char*>(node) -
                                       offsetof(IntrSlot, m_list_node));
}

void Reactor::poll_notify()
{
    if (!__atomic_load_n(&m_notify_pending, __ATOMIC_ACQUIRE))
        return;
    ListHead requested;
    m_notify_mutex.lock();
    requested.splice(&m_notify_list);
    m_notify_list.init();
    __atomic_store_n(&m_notify_pending, false, __ATOMIC_RELAXED);
    m_notify_mutex.unlock();
    while (!requested.empty()) {
        IntrSlot* slot = IntrSlot::from_list_node(requested.head());
        slot->m_list_node.detach();
        memory_barrier();
        __atomic_store_n(&slot->m_requested, false, __ATOMIC_RELEASE);
        // The tasks stay bound: walk the queue without taking them out. The
        // successor is read first, so a task may leave its slot, or end its
        // life, inside its wake_up.
        ListHead& tasks = slot->m_task_queue.list();
        for (ListNode* node = tasks.head(); node != &tasks;) {
            ListNode* next = node->m_next;
            Task::from_node(node)->wake_up();
            node = next;
        }
    }
}

void Reactor::run()
{
    while (m_running.load())
        wake_up();
}

void Reactor::wake_up()
{
    poll_mutual();
    poll_notify();
    int timeout = m_delay_manager->run_timers();
    m_ready_queue.emit_all();
    if (!m_ready_queue.empty())
        timeout = 0;
    if (m_io_manager == nullptr)
        return;
    if (m_spin) {
        int64_t now = get_monotonic_ns();
        if (now < m_next_io_poll_ns)
            return;
        m_next_io_poll_ns = now + SPIN_IO_POLL_NS;
        timeout = 0;
    }
    m_io_manager->poll(static_cast<unsigned>(timeout));
}
