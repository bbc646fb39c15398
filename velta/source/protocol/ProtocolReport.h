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

// A set-up call that must give 0, or its text is reported as above and the
// enclosing function returns the call's own negative code; the process goes
// on.
#define VELTA_TRY_SETUP(call)                         \
    do {                                              \
        int velta_setup_result = (call);              \
        if (velta_setup_result != 0) {                \
            VELTA_PRINT_RUNTIME_ERROR(#call);         \
            return velta_setup_result;                \
        }                                             \
    } while (0)
