// Internal: the process-wide logging service.
//
// Eight numbered slots, each a logger, a level threshold and a mutex. A line
// is written when its level is at most the slot's threshold (smaller levels
// are more severe). Slot 0 is standard output, slot 1 standard error, slot 2
// the event log written by report_event; all others discard until an
// application registers a logger. The table is ready before any static
// initialiser runs, so code may log during static initialisation.
//
// Any thread may log; one slot's lines never interleave. Registration takes
// the slot's lock, so it may happen while other threads log: once reg_logger
// or unreg_logger has returned, no thread is inside the logger that left the
// slot, and its owner may delete it.
#pragma once

#include <cstdio>

class Logger;

typedef int LogLevel;
typedef int UseLogFlag;

constexpr int LOG_SLOT_COUNT = 8;
constexpr int LOG_EVENT_SLOT = 2;
// Size of the buffer one message is formatted into; longer text is cut.
constexpr int LOG_LINE_SIZE = 4096;
constexpr int USE_LOG_FLAG_COUNT = 10;
// Enables the MIRP packet length diagnostic.
constexpr UseLogFlag USE_LOG_MIRP_LENGTH = 8;

// The slot log_output callers use when they have no slot of their own.
extern int g_defalut_log_handle;

// -4 (-EINTR) for a slot outside 0..7, else 0. The table does not own the
// logger, which must outlive its registration; nullptr silences the slot.
int reg_logger(int slot, Logger* logger, LogLevel threshold);
// Silences the slot (no logger, threshold 0) if it still holds this logger;
// true if it did. For owners that must not undo a later registration.
bool unreg_logger(int slot, Logger* logger);
// Whether a line of this level would be written to the slot.
bool log_enabled(int slot, LogLevel level);

// -4 (-EINTR) for a slot outside 0..7, else 0. Filtered messages are not
// formatted.
int log_output(int slot, LogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Straight to the given logger: no threshold, no lock. Returns 0.
int log_output(Logger* logger, LogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "event <name> <level> " followed by the formatted text, to slot 2.
void report_event(LogLevel level, const char* event, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Flags outside 0..9 read as false and cannot be set.
bool check_use_log(UseLogFlag flag);
void set_use_log(UseLogFlag flag, bool value);

// Paths may be written with backslashes or '$' as separators; all become '/'.
constexpr int MAX_PATH_LENGTH = 200;

// Copies at most MAX_PATH_LENGTH characters of in, separators turned into
// '/', and terminates out (at least MAX_PATH_LENGTH + 1 bytes).
void convert_path(char* out, const char* in);

// fopen of the converted path. A path longer than MAX_PATH_LENGTH is refused
// (nullptr, errno ENAMETOOLONG) rather than cut to a different file's name.
FILE* mfopen(const char* path, const char* mode);
