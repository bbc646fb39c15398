#include "velta/source/base/FileLogger.h"

#include <ctime>
#include <unistd.h>

#include "velta/source/base/Log.h"

FileLogger::FileLogger(const char* path, const char* name, int id)
    : m_file(mfopen(path, "a+t"))
{
    if (m_file == nullptr)
        return;
    char host[1025] = {};
    gethostname(host, sizeof host - 1);
    m_prefix = std::string(host) + " " + name + " " + std::to_string(id) + "[" +
               std::to_string(getpid()) + "]:";
}

FileLogger::~FileLogger()
{
    if (m_file != nullptr)
        fclose(m_file);
}

void FileLogger::output(const char* line)
{
    if (m_file == nullptr)
        return;
    // localtime_r: any thread may log through a file logger.
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[20];
    strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local);
    fprintf(m_file, "%s %s %s\n", stamp, m_prefix.c_str(), line);
    fflush(m_file);
}
