// Internal: where the framework's trace lines go.
//
// Connections, channels, snapshot and gap queries and cached packets are
// traced as plain lines ("connect to ...", "TcpChannel::...",
// "qry_topic_gap [a, b)"). They go to standard output unless the process
// sends them elsewhere: the switch is process-wide, since the lines come
// from every layer and every reactor thread. An embedding whose standard
// output is its own (a scripting language's, a tool's screen) turns them
// off or points them at a file.
//
// The lines of a process that cannot go on ("RuntimeError:",
// "EmergencyExit:", Fatal.h) are not trace lines: nothing here silences
// them.
//
// Any thread may trace and switch. A switch returns once no thread writes
// to the stream it replaced, so its owner may close it then.
#pragma once

#include <cstdio>

// Sends the trace lines to stream (nullptr: nowhere) and returns the stream
// they went to before (standard output at start-up).
FILE* set_trace_output(FILE* stream);
// Where the trace lines go now; nullptr when nowhere.
FILE* get_trace_output();

// One trace line (printf rules) to the current stream.
void trace_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Flushes the current stream.
void trace_flush();
