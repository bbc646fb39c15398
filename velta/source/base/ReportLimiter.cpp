#include "velta/source/base/ReportLimiter.h"

#include <cstring>

#include "velta/source/task/TickCount.h"

namespace {

void copy_sender(char (&out)[ReportLimiter::SENDER_SIZE], const char* sender)
{
    snprintf(out, sizeof out, "%s", sender != nullptr ? sender : "unknown");
}

}  // namespace

ReportLimiter::ReportLimiter(const char* event, LogLevel level, uint64_t interval_ms)
    : m_event(event), m_level(level), m_interval_ms(interval_ms), m_clock(get_tick_count64)
{
}

ReportLimiter::Kind* ReportLimiter::find(const char* kind)
{
    for (Kind& entry : m_kinds) {
        if (entry.name == nullptr)
            entry.name = kind;
        if (entry.name == kind || strcmp(entry.name, kind) == 0)
            return &entry;
    }
    // More kinds than slots: the last slot takes the rest together.
    return &m_kinds[MAX_KINDS - 1];
}

bool ReportLimiter::admit(const char* kind, const char* sender)
{
    Kind* entry = find(kind);
    uint64_t now = m_clock();
    bool quiet = entry->last_line_ms == 0 || now - entry->last_line_ms >= m_interval_ms;
    if (entry->count == 0 && quiet) {
        entry->last_line_ms = now != 0 ? now : 1;
        return true;
    }
    if (entry->count == 0)
        copy_sender(entry->first_sender, sender);
    copy_sender(entry->last_sender, sender);
    ++entry->count;
    if (quiet) {
        report_event(m_level, SUMMARY_EVENT,
                     "%s %s: %llu more refused in %llu ms, first from %s, last from %s", m_event,
                     entry->name, static_cast<unsigned long long>(entry->count),
                     static_cast<unsigned long long>(now - entry->last_line_ms),
                     entry->first_sender, entry->last_sender);
        entry->count = 0;
        entry->last_line_ms = now != 0 ? now : 1;
    }
    return false;
}

uint64_t ReportLimiter::pending(const char* kind) const
{
    for (const Kind& entry : m_kinds)
        if (entry.name != nullptr && strcmp(entry.name, kind) == 0)
            return entry.count;
    return 0;
}
