// Internal: splits one comma-separated line into tokens.
//
// A field is either plain text up to the next comma or text in double quotes
// (in which a doubled quote stands for one quote and commas are data). A
// carriage return, line feed or NUL ends the line. Every line yields at least
// one token (an empty line one empty token); the last comes with state
// STATE_END, and the call after it returns null. A field of more than
// WORD_LENGTH characters fails (STATE_UNEXPECTED, or STATE_NO_QUOTE inside
// quotes).
#pragma once

class CSVParser {
public:
    static constexpr int STATE_MORE = 0;
    static constexpr int STATE_END = 1;
    static constexpr int STATE_NO_QUOTE = 2;    // missing closing quote
    static constexpr int STATE_UNEXPECTED = 3;  // unexpected character after a field
    static constexpr int WORD_LENGTH = 100;

    CSVParser() = default;
    explicit CSVParser(const char* line) { parse(line); }

    // Starts on a line it does not own; the line must outlive the parser's use.
    void parse(const char* line);
    // The next token (valid until the next call), or null at the end or
    // after an error.
    const char* next_token();
    int error_code() const { return m_state; }

private:
    void read_char();
    void make_word(const char* delimiters);

    int m_state = STATE_END;
    const char* m_line = nullptr;
    int m_pos = 0;
    char m_cur = '\0';
    char m_next = '\0';
    char m_word[WORD_LENGTH + 1] = {};
};
