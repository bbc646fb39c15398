// Internal to the replay: one capture file played through an OfflineReplay,
// a datagram at a time, at full speed or at a multiple of the recorded pace.
// The replay tool and the Python package both drive it, so that a file
// replays the same way from either.
//
// Caller's thread only; the handler is called from step() and finish().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "apps/korv_md_replay/OfflineReplay.h"
#include "apps/korv_md_replay/PcapDatagramReader.h"

class ReplaySession {
public:
    // speed: 0 for full speed, else that many times the recorded pace.
    ReplaySession(const KORV::SIM::SimOptions& market,
                  BRAX::KORV_USER_API::KorvMarketDataHandler* handler, double speed);
    ~ReplaySession();

    // Opens the file and starts the replay up to its snapshot: 0, or a
    // negative code with get_error() saying why (no capture file, no UDP
    // datagram in it, no snapshot).
    int open(const std::string& path);
    // Feeds the next datagram, after waiting for its time at a recorded
    // pace: 1 when one was fed, 0 at the end of the file, a negative code
    // for a damaged file (get_error()).
    int step();
    // Lets the library take what is still cached: true when nothing was
    // left missing.
    bool finish(unsigned timeout_ms);

    const std::string& get_error() const { return m_error; }
    uint64_t get_datagrams() const { return m_datagrams; }
    uint64_t get_bytes() const { return m_bytes; }
    const PcapDatagramReader& get_reader() const { return m_reader; }
    const OfflineReplay& get_replay() const { return *m_replay; }

private:
    KORV::SIM::SimOptions m_market;
    BRAX::KORV_USER_API::KorvMarketDataHandler* m_handler;
    double m_speed;
    PcapDatagramReader m_reader;
    std::unique_ptr<OfflineReplay> m_replay;
    CapturedDatagram m_datagram;
    // The datagram read ahead by open(), fed by the first step().
    bool m_pending = false;
    int64_t m_first_us = 0;
    double m_started = 0;
    uint64_t m_datagrams = 0;
    uint64_t m_bytes = 0;
    std::string m_error;
};
