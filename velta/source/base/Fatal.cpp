#include "velta/source/base/Fatal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "velta/source/base/Log.h"

const char* source_file_name(const char* path, char* out)
{
    const char* start = path;
    const char* found = strstr(path, "velta/source/");
    if (found == nullptr) {
        // The last "source/" is the project's own source root.
        for (const char* p = strstr(path, "source/"); p != nullptr; p = strstr(p + 1, "source/"))
            found = p;
    }
    if (found != nullptr)
        start = found;
    size_t length = strlen(start);
    const char* dot = strrchr(start, '.');
    const char* slash = strrchr(start, '/');
    if (dot != nullptr && (slash == nullptr || dot > slash))
        length = static_cast<size_t>(dot - start);
    if (length > 255)
        length = 255;
    memcpy(out, start, length);
    out[length] = '\0';
    return out;
}

void runtime_error_report(const char* text, int line, const char* file)
{
    char name[256];
    printf("RuntimeError:%s in line %d of file %s\n", text, line, source_file_name(file, name));
    fflush(stdout);
}

void runtime_error_exit(const char* text, int line, const char* file)
{
    runtime_error_report(text, line, file);
    _exit(EXIT_FAILURE);
}

namespace {

void emergency_line_stderr(const char* text, int line, const char* file)
{
    char name[256];
    fprintf(stderr, "EmergencyExit:[%s] in line %d of file %s\n", text, line,
            source_file_name(file, name));
    fflush(stderr);
}

}  // namespace

// Before a log file is set the event slot discards everything; the process
// must not end without a word, so the line then goes to standard error too.
void emergency_exit(const char* text, int line, const char* file)
{
    char name[256];
    if (!log_enabled(LOG_EVENT_SLOT, 1))
        emergency_line_stderr(text, line, file);
    report_event(1, "EmergencyExit", ":%s in line %d of file %s\n", text, line,
                 source_file_name(file, name));
    fflush(stdout);
    _exit(EXIT_FAILURE);
}

void assertion_failed(const char* text, int line, const char* file)
{
    char name[256];
    fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", source_file_name(file, name), line, text);
    fflush(stderr);
    abort();
}
