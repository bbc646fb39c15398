#include "velta/source/utility/Time.h"

#include <cstdio>
#include <cstring>

namespace {

int two_digits(const char* text)
{
    return 10 * (text[0] - '0') + (text[1] - '0');
}

}  // namespace

int Time::time_to_long(const char* text)
{
    if (text[0] == '\0')
        return 0;
    if (strlen(text) != 8 || text[2] != ':' || text[5] != ':')
        return -1;
    int hour = two_digits(text);
    int minute = two_digits(text + 3);
    int second = two_digits(text + 6);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 61)
        return -1;
    return hour * 3600 + minute * 60 + second;
}

const char* Time::long_to_time(unsigned s)
{
    // One buffer per thread: callers on different threads never see each
    // other's text, and one thread keeps the "valid until the next call" rule.
    thread_local char text[16];
    if (s >= SECONDS_PER_DAY)
        return nullptr;
    snprintf(text, sizeof(text), "%02u:%02u:%02u", s / 3600, s % 3600 / 60, s % 60);
    return text;
}

Time Time::operator+(int n) const
{
    if (!is_valid())
        return *this;
    // Signed arithmetic so that going back past midnight lands on the same
    // clock time of the previous day.
    long long value = (static_cast<long long>(m_value) + n) % SECONDS_PER_DAY;
    if (value < 0)
        value += SECONDS_PER_DAY;
    return Time(static_cast<unsigned>(value));
}
