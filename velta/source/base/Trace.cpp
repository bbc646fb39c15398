#include "velta/source/base/Trace.h"

#include <cstdarg>
#include <mutex>

namespace {

// Constant-initialised, so usable by any static initialiser. Standard
// output is not a constant, hence the flag for "not switched yet".
std::mutex g_trace_mutex;
bool g_trace_switched = false;
FILE* g_trace_stream = nullptr;

FILE* current_stream()
{
    return g_trace_switched ? g_trace_stream : stdout;
}

}  // namespace

FILE* set_trace_output(FILE* stream)
{
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    FILE* before = current_stream();
    g_trace_stream = stream;
    g_trace_switched = true;
    return before;
}

FILE* get_trace_output()
{
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    return current_stream();
}

void trace_printf(const char* format, ...)
{
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    FILE* stream = current_stream();
    if (stream == nullptr)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
}

void trace_flush()
{
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    FILE* stream = current_stream();
    if (stream != nullptr)
        fflush(stream);
}
