// Internal: the transports' report of a failed set-up step that they survive.
//
// Same line as a fatal set-up failure, "RuntimeError:%s in line %d of file
// %s\n" on standard output, but the process goes on: a connect that cannot
// be made only costs that connection, and the caller tries elsewhere.
#pragma once

#include "velta/source/base/Fatal.h"

#define VELTA_PRINT_RUNTIME_ERROR(text) runtime_error_report((text), __LINE__, __FILE__)

// A set-up call that must give 0, or the process stops with the call's own
// text as the reason ("socket_set_nonblocking(m_group_fd)").
#define VELTA_CHECK_SETUP(call) ((call) == 0 ? (void)0 : VELTA_RUNTIME_ERROR(#call))
