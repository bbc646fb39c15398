// Internal to the Python package: a capture file replayed through the
// library offline (the replay tool's ReplaySession), its updates taken one
// at a time on the caller's thread.
//
// The library is stepped only as far as the next update needs, so a file
// of any length replays in the memory of one step's deliveries.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "UpdateRecord.h"

class ReplaySession;

namespace korv_python {

class PyReplay {
public:
    // market_args: the simulator options of the captured run (--topic,
    // --seed, --instruments, --depth, credentials). Throws
    // std::invalid_argument when they or the file are refused.
    PyReplay(const std::string& path, double speed, const std::vector<std::string>& market_args);
    ~PyReplay();

    // The next update into record: false at the end of the file. Throws
    // std::runtime_error for a file damaged part way.
    bool next(UpdateRecord& record);

private:
    class Handler;

    std::unique_ptr<Handler> m_handler;
    std::unique_ptr<ReplaySession> m_session;
    bool m_finished = false;
};

}  // namespace korv_python
