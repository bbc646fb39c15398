// Internal: a time of day kept as seconds since midnight (0..86399), with
// its "%H:%M:%S" text form. INVALID marks a time that could not be read.
#pragma once

#include <cstdint>

class Time {
public:
    static constexpr uint32_t INVALID = 0xFFFFFFFF;
    static constexpr uint32_t SECONDS_PER_DAY = 86400;

    // Seconds, or -1 for a text that is not "HH:MM:SS"; the empty text is 0.
    // Seconds 60 and 61 are accepted for leap seconds.
    static int time_to_long(const char* text);
    // The text of s, or null when s is not a time of day. The text lives in
    // a buffer of the calling thread, valid until that thread's next call.
    static const char* long_to_time(unsigned s);
    static bool is_valid(const char* text) { return time_to_long(text) != -1; }

    explicit Time(const char* text) : m_value(time_to_long(text)) {}
    explicit Time(unsigned s) : m_value(s) {}

    bool is_valid() const { return m_value != INVALID; }
    unsigned to_long() const { return m_value; }
    const char* to_string() const { return long_to_time(m_value); }
    unsigned hour() const { return m_value / 3600; }
    unsigned minute() const { return m_value % 3600 / 60; }
    unsigned second() const { return m_value % 60; }

    // Wraps around midnight in both directions; an invalid time stays invalid.
    Time operator+(int n) const;
    Time operator-(int n) const { return *this + -n; }
    int operator-(const Time& other) const { return static_cast<int>(m_value - other.m_value); }
    bool operator==(const Time& other) const { return m_value == other.m_value; }
    bool operator==(const char* text) const { return *this == Time(text); }
    bool operator!=(const Time& other) const { return !(*this == other); }
    bool operator!=(const char* text) const { return !(*this == text); }

private:
    uint32_t m_value;
};
