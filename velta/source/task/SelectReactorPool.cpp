#include "velta/source/task/SelectReactorPool.h"

#include "velta/source/task/SelectReactor.h"

SelectReactorPool::SelectReactorPool(int count)
{
    for (int i = 0; i < count; ++i)
        m_reactors.push_back(new SelectReactor);
}

void SelectReactorPool::start()
{
    for (Reactor* reactor : m_reactors)
        reactor->create();
}

void SelectReactorPool::join()
{
    for (Reactor* reactor : m_reactors)
        reactor->join();
}

Reactor* SelectReactorPool::alloc_reactor()
{
    return m_reactors[m_next++ % m_reactors.size()];
}
