// Internal: the interface of everything a logging slot can write to.
#pragma once

// Receives one finished line (no trailing newline) per call. Implementations
// decide where it goes; the logging table serialises the calls of one slot.
class Logger {
public:
    virtual void output(const char* line) = 0;
    virtual ~Logger() = default;
};
