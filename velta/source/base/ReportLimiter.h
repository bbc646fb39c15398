// Internal: keeps a flood of refused input from flooding the event log.
//
// Anyone on the network can send a group's port a stream of datagrams the
// receiver must refuse; writing one event per refusal lets a hostile or
// misconfigured sender fill the host's disk. A limiter writes the first
// refusal of each kind in full, at once, then only counts, and while
// refusals go on writes at most one summary line per interval per kind: how
// many were not written, and the first and last sender among them.
//
// The summary is an event of its own, SUMMARY_EVENT at the refusals' level,
// naming the event it counts: a reader that parses one event's lines by
// their format never meets a summary among them.
//
// Not thread-safe: each limiter belongs to one reactor thread.
#pragma once

#include <cstdint>

#include "velta/source/base/Log.h"

class ReportLimiter {
public:
    typedef uint64_t (*Clock)();

    static constexpr int MAX_KINDS = 8;
    static constexpr int SENDER_SIZE = 48;
    static constexpr const char* SUMMARY_EVENT = "Refused";

    // event and level are those of report_event; kinds are told apart by the
    // text given to admit, which must outlive the limiter (a literal).
    ReportLimiter(const char* event, LogLevel level, uint64_t interval_ms = 1000);

    // True when the caller should write this refusal in full: the first of
    // its kind, or the first after a quiet interval. Otherwise it is counted,
    // and the summary line is written when one is due. sender may be null.
    bool admit(const char* kind, const char* sender);

    // Refusals of kind counted since the last line written for it.
    uint64_t pending(const char* kind) const;

    // For tests: the millisecond clock the intervals are measured on.
    void set_clock(Clock clock) { m_clock = clock; }

private:
    struct Kind {
        const char* name = nullptr;
        uint64_t last_line_ms = 0;
        uint64_t count = 0;
        char first_sender[SENDER_SIZE] = {};
        char last_sender[SENDER_SIZE] = {};
    };

    Kind* find(const char* kind);

    const char* m_event;
    LogLevel m_level;
    uint64_t m_interval_ms;
    Clock m_clock;
    Kind m_kinds[MAX_KINDS];
};
