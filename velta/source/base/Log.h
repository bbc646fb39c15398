// Internal: the process-wide logging service.
//
// Eight numbered slots, each a logger, a level threshold and a mutex. A line
// is written when its level is at most the slot's threshold (smaller levels
// are more severe). Slot 0 is standard output, slot 1 standard error, slot 2
// the event log written by report_event; all others discard until an
// application registers a logger. Any thread may log; one slot's lines never
// interleave. reg_logger takes no lock: register during set-up only.
#pragma once

class Logger;

typedef int LogLevel;
typedef int UseLogFlag;

constexpr int LOG_SLOT_COUNT = 8;
constexpr int LOG_EVENT_SLOT = 2;
constexpr int USE_LOG_FLAG_COUNT = 10;
// Enables the MIRP packet length diagnostic.
constexpr UseLogFlag USE_LOG_MIRP_LENGTH = 8;

extern int g_defalut_log_handle;

// -4 (-EINTR) for a slot outside 0..7; the table does not own the logger.
int reg_logger(int slot, Logger* logger, LogLevel threshold);

int log_output(int slot, LogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int log_output(Logger* logger, LogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "event <name> <level> " followed by the formatted text, to slot 2.
void report_event(LogLevel level, const char* event, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

bool check_use_log(UseLogFlag flag);
void set_use_log(UseLogFlag flag, bool value);
