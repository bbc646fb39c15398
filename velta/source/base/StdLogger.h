// Internal: loggers that write to a standard stream, one line per call.
#pragma once

#include <cstdio>

#include "velta/source/base/Logger.h"

// Writes "<line>\n" to a stream it does not own.
class StdLogger : public Logger {
public:
    explicit StdLogger(FILE* stream) : m_stream(stream) {}
    void output(const char* line) override;

private:
    FILE* m_stream;
};

// Slot 0 at start-up. m_instance lives for the whole process.
class StdoutLogger : public StdLogger {
public:
    StdoutLogger() : StdLogger(stdout) {}
    static StdoutLogger m_instance;
};

// Slot 1 at start-up. m_instance lives for the whole process.
class StderrLogger : public StdLogger {
public:
    StderrLogger() : StdLogger(stderr) {}
    static StderrLogger m_instance;
};
