#include "velta/source/utility/JsonInputStream.h"

void JsonInputStream::count(char c)
{
    ++m_col;
    if (c == '\r') {
        ++m_line;
        m_col = 0;
    }
}

char JsonTextInputStream::next_char()
{
    char c = *m_next;
    if (c == '\0')
        return c;
    ++m_next;
    count(c);
    return c;
}

char JsonFileInputStream::next_char()
{
    if (m_pos == m_length) {
        if (!m_end) {
            m_length = fread(m_buffer, 1, sizeof(m_buffer), m_file);
            m_pos = 0;
            m_end = m_length == 0;
        }
        if (m_end)
            return '\0';
    }
    char c = m_buffer[m_pos++];
    count(c);
    return c;
}
