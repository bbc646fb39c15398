#include "velta/source/base/StdLogger.h"

void StdLogger::output(const char* line)
{
    fprintf(m_stream, "%s\n", line);
}
