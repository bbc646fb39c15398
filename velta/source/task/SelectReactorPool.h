// Internal: a fixed set of select reactors handed out round robin.
//
// The pool does not own its reactors: whoever takes them from alloc_reactor()
// stops and deletes them.
#pragma once

#include <cstdint>
#include <vector>

class Reactor;

class SelectReactorPool {
public:
    explicit SelectReactorPool(int count);

    // Starts every reactor's thread, in order.
    void start();
    // Waits for every reactor's thread to end.
    void join();
    // The reactors in turn: 0, 1, ..., count - 1, 0, ...
    Reactor* alloc_reactor();

private:
    std::vector<Reactor*> m_reactors;
    uint32_t m_next = 0;
};
