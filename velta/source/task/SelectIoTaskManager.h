// Internal: descriptor readiness for one reactor, by select.
//
// Waiting schedulers sit in an input and an output list; poll() waits for
// all of them at once (plus the interrupter), hands the tasks of the ready
// ones to the front of the reactor's ready queue and keeps the others
// waiting in their order. Everything but interrupt() is reactor-thread only.
#pragma once

#include <sys/select.h>

#include "velta/source/task/FileIoTaskManager.h"
#include "velta/source/task/ListHead.h"
#include "velta/source/task/SelectInterrupter.h"

class Reactor;
class SelectInputScheduler;
class SelectOutputScheduler;

class SelectIoTaskManager : public FileIoTaskManager {
public:
    explicit SelectIoTaskManager(Reactor* reactor);
    ~SelectIoTaskManager() override;

    // Null, with a report on standard output, for a descriptor that select
    // cannot wait on (FD_SETSIZE or above).
    TaskScheduler* open_input_scheduler(int fd) override;
    TaskScheduler* open_output_scheduler(int fd) override;
    void interrupt() override;
    int poll(unsigned timeout_ms) override;

    // Puts the scheduler in its wait list unless it is already waiting.
    void schedule_input(SelectInputScheduler* scheduler);
    void schedule_output(SelectOutputScheduler* scheduler);

private:
    static bool can_wait(int fd);
    static int fill_set(ListHead& schedulers, fd_set& set, int highest);
    void dispatch(ListHead& schedulers, const fd_set& set, ListHead& waiting, bool output);

    Reactor* m_reactor;
    ListHead m_input_list;
    ListHead m_output_list;
    SelectInterrupter m_interrupter;
};
