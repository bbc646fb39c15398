#include "velta/source/utility/CSVParser.h"

#include <cstring>

namespace {

bool ends_line(char c)
{
    return c == '\0' || c == '\r' || c == '\n';
}

}  // namespace

void CSVParser::parse(const char* line)
{
    m_line = line;
    m_pos = 0;
    m_state = STATE_MORE;
    read_char();
}

void CSVParser::read_char()
{
    char c = m_line[m_pos];
    if (ends_line(c)) {
        m_cur = m_next = '\0';
        return;
    }
    m_cur = c;
    ++m_pos;
    m_next = m_line[m_pos];
}

void CSVParser::make_word(const char* delimiters)
{
    int length = 0;
    while (length < WORD_LENGTH && m_cur != '\0') {
        if (strchr(delimiters, m_cur) != nullptr) {
            if (m_cur != '"' || m_next != '"')
                break;
            read_char();  // a doubled quote is one quote of the text
        }
        m_word[length++] = m_cur;
        read_char();
    }
    m_word[length] = '\0';
}

const char* CSVParser::next_token()
{
    if (m_state != STATE_MORE)
        return nullptr;
    if (m_cur == '"') {
        read_char();
        make_word("\"");
        if (m_cur != '"') {
            m_state = STATE_NO_QUOTE;
            return nullptr;
        }
        read_char();
    } else {
        make_word(",");
    }
    if (m_cur == ',') {
        read_char();
        return m_word;
    }
    if (m_cur == '\0') {
        m_state = STATE_END;
        return m_word;
    }
    m_state = STATE_UNEXPECTED;
    return nullptr;
}
