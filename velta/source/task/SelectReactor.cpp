#include "velta/source/task/SelectReactor.h"

#include "velta/source/task/SelectIoTaskManager.h"

SelectReactor::SelectReactor()
{
    m_io_manager = new SelectIoTaskManager(this);
}

SelectReactor::~SelectReactor()
{
    // The thread polls the I/O manager on every turn: it must have ended
    // before the manager goes. The base destructor's stop() then finds
    // nothing left to do.
    stop();
    delete m_io_manager;
    m_io_manager = nullptr;
}
