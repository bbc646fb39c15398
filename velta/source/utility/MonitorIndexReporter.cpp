#include "velta/source/utility/MonitorIndexReporter.h"

#include <cstdlib>
#include <cstring>

#include "velta/source/base/Fatal.h"
#include "velta/source/base/Log.h"

StringIndexReporter::StringIndexReporter(const char* name, const char* value)
    : MonitorIndexReporter(name)
{
    update(value);
}

StringIndexReporter::~StringIndexReporter()
{
    free(m_value);
}

void StringIndexReporter::update(const char* value)
{
    if (value == nullptr)
        value = "";
    size_t length = strlen(value) + 1;
    MutexShield shield(&m_mutex);
    if (m_capacity < length) {
        char* grown = static_cast<char*>(realloc(m_value, length));
        if (grown == nullptr)
            VELTA_EMERGENCY_EXIT("out of memory");
        m_value = grown;
        m_capacity = length;
    }
    memcpy(m_value, value, length);
}

void StringIndexReporter::report()
{
    MutexShield shield(&m_mutex);
    log_output(LOG_EVENT_SLOT, LOG_LEVEL, "%s %s", m_name.c_str(), m_value);
}

void IntIndexReporter::report()
{
    log_output(LOG_EVENT_SLOT, LOG_LEVEL, "%s %d", m_name.c_str(),
               m_value.load(std::memory_order_relaxed));
}

IntTotalIndexReporter::IntTotalIndexReporter(const char* name, int value)
    : MonitorIndexReporter(name), m_value(value), m_previous(value), m_total_name(m_name + "Total")
{
}

void IntTotalIndexReporter::report()
{
    int value = m_value.load(std::memory_order_relaxed);
    // Unsigned difference: the counter may have wrapped since the last report.
    int growth = static_cast<int>(static_cast<unsigned>(value) - static_cast<unsigned>(m_previous));
    log_output(LOG_EVENT_SLOT, LOG_LEVEL, "%s %d", m_name.c_str(), growth);
    log_output(LOG_EVENT_SLOT, LOG_LEVEL, "%s %d", m_total_name.c_str(), value);
    m_previous = value;
}

void FloatIndexReporter::report()
{
    log_output(LOG_EVENT_SLOT, LOG_LEVEL, "%s %lf", m_name.c_str(),
               m_value.load(std::memory_order_relaxed));
}
