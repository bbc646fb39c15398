// Internal to the Python package: a capture file replayed through the
// library offline (the replay component's ReplayEngine), its updates taken
// one at a time on the caller's thread.
//
// The library is stepped only as far as the next update needs. In the
// records of a replay, handler_ns is the capture time of the datagram that
// led to the delivery (nanoseconds since the epoch), not the handler's
// clock: offline, that is the time that means something.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "UpdateRecord.h"

class ReplayCapture;
class ReplayEngine;

namespace KORV {
namespace SIM {
class SimQuerySide;
}  // namespace SIM
}  // namespace KORV

namespace korv_python {

class PyReplay {
public:
    // topics and lines: what to replay (empty: everything in the file).
    // market_args: empty for the file's own query side; else the
    // simulator's market options (--seed, --instruments, --depth...) that
    // answer instead, for a file of the simulator without a query side.
    // Throws std::invalid_argument when the options or the file are refused.
    PyReplay(const std::string& path, double speed, const std::vector<int>& topics,
             const std::vector<std::string>& lines, const std::vector<std::string>& market_args);
    ~PyReplay();

    // The next update into record: false at the end of the file. Throws
    // std::runtime_error, after the last update, when a topic could not be
    // replayed whole (the text says which and why).
    bool next(UpdateRecord& record);

private:
    class Handler;

    std::unique_ptr<ReplayCapture> m_capture;
    std::unique_ptr<Handler> m_handler;
    std::unique_ptr<ReplayEngine> m_engine;
    std::unique_ptr<KORV::SIM::SimQuerySide> m_market;
    bool m_finished = false;
    bool m_reported = false;
};

}  // namespace korv_python
