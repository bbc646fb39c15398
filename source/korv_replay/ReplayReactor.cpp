#include "source/korv_replay/ReplayReactor.h"

#include "velta/source/task/DelayTaskManager.h"
#include "velta/source/task/FileIoTaskManager.h"

void ReplayReactor::poll_once()
{
    poll_mutual();
    poll_notify();
    m_delay_manager->run_timers();
    m_ready_queue.emit_all();
    if (m_io_manager != nullptr)
        m_io_manager->poll(0);
}

int ReplayReactor::discard_ready()
{
    int count = 0;
    while (!m_ready_queue.empty()) {
        m_ready_queue.list().head()->detach();
        ++count;
    }
    return count;
}
