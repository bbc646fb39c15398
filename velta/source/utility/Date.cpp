#include "velta/source/utility/Date.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int FIRST_YEAR = 1980;
// Every run of 400 Gregorian years has the same length.
constexpr unsigned DAYS_PER_400_YEARS = 146097;

// atoi of the count characters at offset, stopping early at the terminator
// of a short text.
int read_number(const char* text, int offset, int count)
{
    char field[8] = {};
    size_t length = strnlen(text, offset + count);
    if (length > static_cast<size_t>(offset))
        memcpy(field, text + offset, length - offset);
    return atoi(field);
}

int year_days(int year)
{
    return Date::is_leap_year(year) ? 366 : 365;
}

}  // namespace

bool Date::is_leap_year(int year)
{
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

int Date::days(int year, int month)
{
    switch (month) {
        case 1:
        case 3:
        case 5:
        case 7:
        case 8:
        case 10:
        case 12:
            return 31;
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return is_leap_year(year) ? 29 : 28;
        default:
            return 0;
    }
}

unsigned Date::date_to_long(const char* text)
{
    int year = read_number(text, 0, 4);
    int month = read_number(text, 4, 2);
    unsigned n = read_number(text, 6, 2);
    for (int y = FIRST_YEAR; y < year; ++y)
        n += year_days(y);
    for (int m = 1; m < month && m <= 12; ++m)
        n += days(year, m);
    return n;
}

char* Date::long_to_date(unsigned n, char* out)
{
    unsigned year = FIRST_YEAR;
    while (n > DAYS_PER_400_YEARS) {
        n -= DAYS_PER_400_YEARS;
        year += 400;
    }
    while (n > static_cast<unsigned>(year_days(year)))
        n -= year_days(year++);
    unsigned month = 1;
    while (n > static_cast<unsigned>(days(year, month)))
        n -= days(year, month++);
    snprintf(out, TEXT_SIZE, "%04u%02u%02u", year, month, n);
    return out;
}

int Date::week_day(const char* text)
{
    return (date_to_long(text) + 1) % 7;
}

bool Date::is_valid(const char* text)
{
    return strcmp(text, Date(text).to_string()) == 0;
}

Date::Date(unsigned n)
{
    char text[TEXT_SIZE];
    m_text = long_to_date(n, text);
}

Date::Date(const char* text) : Date(date_to_long(text)) {}

int Date::year() const
{
    return read_number(m_text.c_str(), 0, 4);
}

int Date::month() const
{
    return read_number(m_text.c_str(), 4, 2);
}

int Date::day() const
{
    return read_number(m_text.c_str(), 6, 2);
}

Date Date::operator++(int)
{
    Date before = *this;
    ++*this;
    return before;
}

Date Date::operator--(int)
{
    Date before = *this;
    --*this;
    return before;
}
