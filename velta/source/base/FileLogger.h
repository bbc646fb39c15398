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
    // A file that cannot be opened ends the process: there is nowhere left
    // to report to but standard error.
    FileLogger(const char* path, const char* name, int id);
    ~FileLogger() override;
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    void output(const char* line) override;

private:
    FILE* m_file;
    std::string m_prefix;
};
