#include "velta/source/protocol/ProtocolReport.h"

#include <cstdio>

#include "velta/source/base/Fatal.h"

void print_runtime_error(const char* text, int line, const char* file)
{
    char name[256];
    printf("RuntimeError:%s in line %d of file %s\n", text, line, source_file_name(file, name));
    fflush(stdout);
}
