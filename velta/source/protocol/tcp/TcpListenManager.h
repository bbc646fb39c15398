// Internal: the process-wide registry of listening addresses, each with its
// ring of listeners and the one descriptor they share. Any thread; the map
// is guarded by the manager's mutex.
#pragma once

#include <cstdint>
#include <map>

#include "velta/source/task/Mutex.h"

class TcpListener;

class TcpListenManager {
public:
    TcpListenManager() = default;
    TcpListenManager(const TcpListenManager&) = delete;
    TcpListenManager& operator=(const TcpListenManager&) = delete;

    // Joins the address's ring, or opens the listening descriptor and starts
    // a ring of one. 0, or the failing step's code (the step is reported on
    // standard output and nothing is kept).
    int reg_listener(uint64_t addr, TcpListener* listener);
    // Takes the listener out of its ring; whatever descriptor it still holds
    // moves on to the next listener. The last listener of an address closes
    // the listening descriptor and ends the address's entry. Called on the
    // listener's own reactor thread.
    void unreg_listener(uint64_t addr, TcpListener* listener);

    bool is_listening(uint64_t addr);

    static TcpListenManager m_instance;

private:
    Mutex m_mutex;
    std::map<uint64_t, TcpListener*> m_listeners;
};
