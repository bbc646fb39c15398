// Internal: a calendar date kept as its "%Y%m%d" text, computed with day
// numbers counted from 1 January 1980 (day 1). Dates before 1980 are not
// supported. A text whose day or month overflows is carried forward on
// construction ("20240230" becomes "20240301").
#pragma once

#include <string>

class Date {
public:
    // Room long_to_date needs for any day number: years past 9999 have more
    // than four digits.
    static constexpr int TEXT_SIZE = 32;

    static bool is_leap_year(int year);
    // Days of the month; 0 for a month number outside 1..12.
    static int days(int year, int month);
    static unsigned date_to_long(const char* text);
    // Writes the date of day number n into out (TEXT_SIZE bytes) and returns it.
    static char* long_to_date(unsigned n, char* out);
    // 0 = Sunday.
    static int week_day(const char* text);
    // Whether the text survives the round trip through its day number.
    static bool is_valid(const char* text);

    explicit Date(unsigned n);
    explicit Date(const char* text);

    const char* to_string() const { return m_text.c_str(); }
    unsigned to_long() const { return date_to_long(m_text.c_str()); }
    int year() const;
    int month() const;
    int day() const;
    int week_day() const { return week_day(m_text.c_str()); }

    Date operator+(int n) const { return Date(to_long() + n); }
    Date operator-(int n) const { return Date(to_long() - n); }
    Date& operator+=(int n) { return *this = *this + n; }
    Date& operator-=(int n) { return *this = *this - n; }
    Date& operator++() { return *this += 1; }
    Date& operator--() { return *this -= 1; }
    Date operator++(int);
    Date operator--(int);

    int operator-(const Date& other) const { return static_cast<int>(to_long() - other.to_long()); }
    int operator-(const char* other) const
    {
        return static_cast<int>(to_long() - date_to_long(other));
    }
    bool operator==(const Date& other) const { return to_long() == other.to_long(); }
    bool operator==(const char* other) const { return to_long() == date_to_long(other); }
    bool operator!=(const Date& other) const { return !(*this == other); }
    bool operator!=(const char* other) const { return !(*this == other); }

private:
    std::string m_text;
};
