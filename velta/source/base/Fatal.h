// Internal: how the framework stops when it cannot go on.
//
// Set-up failures ("RuntimeError") and unrecoverable resource failures
// ("EmergencyExit") print one line naming the source file by its path below
// the source root without extension ("velta/source/task/Reactor"), then end
// the process at once with a failure status: no static destructors run, since
// reactor threads may still be using the objects they would destroy.
// Violated internal preconditions use VELTA_ASSERT, which reports the
// condition the same way and aborts.
#pragma once

// "RuntimeError:%s in line %d of file %s\n" on standard output, flushed.
void runtime_error_report(const char* text, int line, const char* file);

// runtime_error_report, then exit.
[[noreturn]] void runtime_error_exit(const char* text, int line, const char* file);

// The "EmergencyExit" event (level 1) to the event log slot, then exit.
// While the event slot would discard it, the line also goes to standard
// error as "EmergencyExit:[%s] in line %d of file %s\n".
[[noreturn]] void emergency_exit(const char* text, int line, const char* file);

// Reports "<file>:<line>: Assertion `<text>' failed." on standard error and aborts.
[[noreturn]] void assertion_failed(const char* text, int line, const char* file);

// The path of a source file below the source root, without extension:
// "/any/where/velta/source/task/Reactor.cpp" gives "velta/source/task/Reactor".
// Writes into out (at least 256 bytes) and returns it.
const char* source_file_name(const char* path, char* out);

#define VELTA_RUNTIME_ERROR(text) runtime_error_exit((text), __LINE__, __FILE__)
#define VELTA_EMERGENCY_EXIT(text) emergency_exit((text), __LINE__, __FILE__)
#define VELTA_ASSERT(cond) ((cond) ? (void)0 : assertion_failed(#cond, __LINE__, __FILE__))
