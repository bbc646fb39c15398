#include "velta/source/task/SelectIoTaskManager.h"

#include <cerrno>
#include <cstdio>

#include "velta/source/base/Fatal.h"
#include "velta/source/base/Trace.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/SelectIoScheduler.h"

// Why select, and how it is used here. A reactor waits for a handful of
// sockets (one query connection, a few multicast groups), so rebuilding two
// fd_sets per wait from the waiting schedulers is cheap and needs no kernel
// state to keep in step with the schedulers: a scheduler that is deleted has
// simply left its list and is not in the next set.
//
// Readiness is one-shot. A reported scheduler leaves the wait and its task
// goes to the front of the ready queue; its owner reads or writes until it
// would block and then schedules again. Unreported schedulers go back to the
// wait lists in their order. A failed select leaves the sets as they were
// filled, so every waiting scheduler is then treated as ready: its owner
// finds nothing to do and waits again, and no scheduler is lost.
//
// An fd_set holds descriptors below FD_SETSIZE only; setting a bit above it
// writes past the set. Such descriptors are refused when the scheduler is
// opened, loudly, instead of corrupting the stack or never firing. A
// descriptor of 0 or below is never waited for.
//
// Only interrupt() may be called from other threads: it writes to the
// interrupter's counter, which the kernel serialises, and the wait that it
// ends drains the counter again.

SelectIoTaskManager::SelectIoTaskManager(Reactor* reactor) : m_reactor(reactor) {}

SelectIoTaskManager::~SelectIoTaskManager()
{
    // Schedulers outlive the manager only by mistake; unlink them so their
    // own destructors do not touch the lists.
    while (!m_input_list.empty())
        m_input_list.head()->detach();
    while (!m_output_list.empty())
        m_output_list.head()->detach();
}

bool SelectIoTaskManager::can_wait(int fd)
{
    if (fd < FD_SETSIZE)
        return true;
    trace_printf("select cannot wait on fd=%d, descriptors must be below %d\n", fd, FD_SETSIZE);
    trace_flush();
    return false;
}

TaskScheduler* SelectIoTaskManager::open_input_scheduler(int fd)
{
    if (!can_wait(fd))
        return nullptr;
    return new SelectInputScheduler(this, fd);
}

TaskScheduler* SelectIoTaskManager::open_output_scheduler(int fd)
{
    if (!can_wait(fd))
        return nullptr;
    return new SelectOutputScheduler(this, fd);
}

void SelectIoTaskManager::interrupt()
{
    m_interrupter.interrupt();
}

// Adds the descriptors of the schedulers to the set and returns the highest
// descriptor seen, which select needs as its first argument. Descriptors of
// 0 or below stay out: they are not waited for (0 is standard input, which
// the reactor has no business reading).
int SelectIoTaskManager::fill_set(ListHead& schedulers, fd_set& set, int highest)
{
    for (ListNode* node = schedulers.head(); node != &schedulers; node = node->m_next) {
        int fd = SelectIoScheduler::from_list_node(node)->fd();
        if (fd <= 0)
            continue;
        FD_SET(fd, &set);
        if (fd > highest)
            highest = fd;
    }
    return highest;
}

// Sorts the schedulers taken out of a wait list: each reported one hands
// its task to the front of the ready queue (and stops waiting), the others
// go back to the end of the wait list, so those still waiting keep their
// order. Ready tasks need no order among themselves: each owns its socket.
void SelectIoTaskManager::dispatch(ListHead& schedulers, const fd_set& set, ListHead& waiting,
                                   bool output)
{
    while (!schedulers.empty()) {
        SelectIoScheduler* scheduler = SelectIoScheduler::from_list_node(schedulers.head());
        scheduler->list_node().detach();
        int fd = scheduler->fd();
        if (fd > 0 && FD_ISSET(fd, &set)) {
            if (output)
                trace_printf("output task =%p, fd=%d\n", static_cast<void*>(scheduler), fd);
            m_reactor->schedule_batch(&scheduler->task_queue().list());
        } else {
            waiting.push_back(&scheduler->list_node());
        }
    }
}

// One wait. The reactor passes 8 ms when idle (its timer resolution) and 0
// when tasks are still ready, so that they are not held up by the wait.
int SelectIoTaskManager::poll(unsigned timeout_ms)
{
    timeval timeout;
    timeout.tv_sec = timeout_ms / 1000;
    timeout.tv_usec = (timeout_ms % 1000) * 1000;

    fd_set read_set;
    fd_set write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    int interrupter = m_interrupter.fd();
    FD_SET(interrupter, &read_set);
    int highest = interrupter;

    ListHead inputs;
    inputs.swap(&m_input_list);
    highest = fill_set(inputs, read_set, highest);
    ListHead outputs;
    outputs.swap(&m_output_list);
    highest = fill_set(outputs, write_set, highest);

    // The wait lists are empty while select runs, so tasks that the ready
    // schedulers release can schedule again without meeting themselves.
    int ret = select(highest + 1, &read_set, &write_set, nullptr, &timeout);
    if (ret < 0)
        trace_printf("select ret = %d, errorcode=%d\n", ret, errno);
    // The interrupter's only job was to end the wait; draining it now keeps
    // it from ending the next one too. Interrupts that come after this line
    // belong to the next wait and do end it.
    if (FD_ISSET(interrupter, &read_set))
        m_interrupter.reset();

    dispatch(inputs, read_set, m_input_list, false);
    dispatch(outputs, write_set, m_output_list, true);
    return ret;
}

// A scheduler that is already waiting keeps its place: scheduling it again
// only replaced its task.
void SelectIoTaskManager::schedule_input(SelectInputScheduler* scheduler)
{
    VELTA_ASSERT(m_reactor->is_current_thread());
    if (scheduler->list_node().empty())
        m_input_list.push_back(&scheduler->list_node());
}

// The output twin: the same rule for waits on writability, whose reports
// are also printed when they are handed over.
void SelectIoTaskManager::schedule_output(SelectOutputScheduler* scheduler)
{
    VELTA_ASSERT(m_reactor->is_current_thread());
    if (scheduler->list_node().empty())
        m_output_list.push_back(&scheduler->list_node());
}
