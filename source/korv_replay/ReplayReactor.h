// Internal to the replay component: the library's select reactor, stepped by the
// replay between captured datagrams.
//
// A full iteration (wake_up) waits up to 8 ms for descriptors when nothing
// is ready, which would cap a replay at full speed to a few hundred
// datagrams a second; poll_once() does the same work without waiting.
// Caller's thread only, like every reactor the caller steps.
#pragma once

#include "velta/source/task/SelectReactor.h"

class ReplayReactor : public SelectReactor {
public:
    // One iteration whose descriptor poll does not wait.
    void poll_once();
    // Cancels every ready task and answers how many there were. The replay
    // uses it once, right after it made the multicast demultiplexer, to
    // withhold the demultiplexer's join of its group: the datagrams come
    // from the file instead.
    int discard_ready();
};
