// Internal: the reactor the system runs, waiting for descriptors with select.
#pragma once

#include "velta/source/task/Reactor.h"

class SelectReactor : public Reactor {
public:
    SelectReactor();
    // Stops and joins the thread before deleting the I/O manager it polls.
    ~SelectReactor() override;
};
