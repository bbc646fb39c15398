#include "velta/source/base/Log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <pthread.h>

#include "velta/source/base/Fatal.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/base/StdLogger.h"

// The static loggers are constructed ahead of every ordinary static
// initialiser, so that code logging from its own static initialisation finds
// them built; being constructed first they are also destroyed last.
// NullLogger has a constant constructor and needs no such care.
NullLogger NullLogger::m_instance;
__attribute__((init_priority(101))) StdoutLogger StdoutLogger::m_instance;
__attribute__((init_priority(101))) StderrLogger StderrLogger::m_instance;

// The logger is read and replaced only under the mutex, so once reg_logger
// has returned no thread is still inside the logger it replaced. The
// threshold is read without the lock, to keep filtered messages cheap.
struct LoggerSlot {
    Logger* logger;
    std::atomic<LogLevel> threshold;
    pthread_mutex_t mutex;
};

// Constant-initialised: the table holds only addresses, numbers and static
// mutex initialisers, so it is complete before any code runs.
LoggerSlot g_loggers[LOG_SLOT_COUNT] = {
    {&StdoutLogger::m_instance, 6, PTHREAD_MUTEX_INITIALIZER},
    {&StderrLogger::m_instance, 6, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
    {&NullLogger::m_instance, 0, PTHREAD_MUTEX_INITIALIZER},
};

int g_defalut_log_handle = 0;

bool g_use_log_flag[USE_LOG_FLAG_COUNT] = {};

namespace {

bool valid_slot(int slot)
{
    return slot >= 0 && slot < LOG_SLOT_COUNT;
}

bool passes(const LoggerSlot& slot, LogLevel level)
{
    return level <= slot.threshold.load(std::memory_order_relaxed);
}

void output_locked(LoggerSlot& slot, const char* line)
{
    pthread_mutex_lock(&slot.mutex);
    slot.logger->output(line);
    pthread_mutex_unlock(&slot.mutex);
}

}  // namespace

int reg_logger(int slot, Logger* logger, LogLevel threshold)
{
    if (!valid_slot(slot))
        return -EINTR;
    LoggerSlot& entry = g_loggers[slot];
    pthread_mutex_lock(&entry.mutex);
    entry.logger = logger != nullptr ? logger : &NullLogger::m_instance;
    entry.threshold.store(threshold, std::memory_order_relaxed);
    pthread_mutex_unlock(&entry.mutex);
    return 0;
}

bool unreg_logger(int slot, Logger* logger)
{
    if (!valid_slot(slot))
        return false;
    LoggerSlot& entry = g_loggers[slot];
    pthread_mutex_lock(&entry.mutex);
    bool held = entry.logger == logger;
    if (held) {
        entry.logger = &NullLogger::m_instance;
        entry.threshold.store(0, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&entry.mutex);
    return held;
}

bool log_enabled(int slot, LogLevel level)
{
    return valid_slot(slot) && passes(g_loggers[slot], level);
}

int log_output(int slot, LogLevel level, const char* format, ...)
{
    if (!valid_slot(slot))
        return -EINTR;
    if (!passes(g_loggers[slot], level))
        return 0;
    char line[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    output_locked(g_loggers[slot], line);
    return 0;
}

int log_output(Logger* logger, LogLevel level, const char* format, ...)
{
    VELTA_ASSERT(logger != nullptr);
    char line[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    logger->output(line);
    return 0;
}

void report_event(LogLevel level, const char* event, const char* format, ...)
{
    LoggerSlot& slot = g_loggers[LOG_EVENT_SLOT];
    if (!passes(slot, level))
        return;
    char line[LOG_LINE_SIZE];
    int head = snprintf(line, sizeof line, "event %s %d ", event, level);
    if (head >= 0 && head < LOG_LINE_SIZE - 1) {
        va_list args;
        va_start(args, format);
        vsnprintf(line + head, sizeof line - head, format, args);
        va_end(args);
    }
    output_locked(slot, line);
}

bool check_use_log(UseLogFlag flag)
{
    return flag >= 0 && flag < USE_LOG_FLAG_COUNT && g_use_log_flag[flag];
}

void set_use_log(UseLogFlag flag, bool value)
{
    if (flag >= 0 && flag < USE_LOG_FLAG_COUNT)
        g_use_log_flag[flag] = value;
}

void convert_path(char* out, const char* in)
{
    int i = 0;
    for (; i < MAX_PATH_LENGTH && in[i] != '\0'; ++i)
        out[i] = (in[i] == '\\' || in[i] == '$') ? '/' : in[i];
    out[i] = '\0';
}

FILE* mfopen(const char* path, const char* mode)
{
    if (strlen(path) > MAX_PATH_LENGTH) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char converted[MAX_PATH_LENGTH + 1];
    convert_path(converted, path);
    return fopen(converted, mode);
}
