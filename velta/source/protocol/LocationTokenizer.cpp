#include "velta/source/protocol/LocationTokenizer.h"

#include <arpa/inet.h>

#include <cstring>

LocationTokenizer::LocationTokenizer(const char* text)
    : m_text(text != nullptr ? text : ""), m_position(0), m_exhausted(text == nullptr),
      m_delimiter('\0')
{
}

const char* LocationTokenizer::next(const char* delimiters)
{
    if (m_exhausted)
        return nullptr;
    char* start = &m_text[m_position];
    size_t length = strcspn(start, delimiters);
    m_delimiter = start[length];
    if (start[length] == '\0') {
        m_exhausted = true;
    } else {
        start[length] = '\0';
        m_position += length + 1;
    }
    return start;
}

bool LocationTokenizer::skip(const char* prefix)
{
    size_t length = strlen(prefix);
    if (m_exhausted || m_text.compare(m_position, length, prefix) != 0)
        return false;
    m_position += length;
    return true;
}

bool parse_location_host(const char* token, in_addr& addr)
{
    return token != nullptr && *token != '\0' && inet_aton(token, &addr) != 0;
}

bool parse_location_port(const char* token, unsigned short& port)
{
    if (token == nullptr || *token == '\0')
        return false;
    if (strcmp(token, "*") == 0) {
        port = 0;
        return true;
    }
    unsigned long value = 0;
    for (const char* p = token; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 65535)
            return false;
    }
    port = static_cast<unsigned short>(value);
    return true;
}
