// Internal: the logger of the event log file.
#pragma once

#include <cstdio>
#include <string>

#include "velta/source/base/Logger.h"

// Appends "<time> <prefix> <line>\n" to a file and flushes it, so that the
// file is complete up to the last line even if the process dies. The prefix
// is "<host> <name> <id>[<pid>]:"; the time is local, "%b %d %H:%M:%S".
class FileLogger : public Logger {
public:
    // A file that cannot be opened leaves the logger closed (is_open() false,
    // errno from the open); a closed logger writes nothing. The owner decides
    // what to do about it: the process is not ended for a log file.
    FileLogger(const char* path, const char* name, int id);
    ~FileLogger() override;
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    bool is_open() const { return m_file != nullptr; }
    void output(const char* line) override;

private:
    FILE* m_file;
    std::string m_prefix;
};
