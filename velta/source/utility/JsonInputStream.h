// Internal: character sources of the JSON parser.
//
// Both count lines and columns the same way: every character read moves one
// column on, and a carriage return starts the next line at column 0 (a line
// feed alone does not, so LF-only texts report line 1 throughout). At the
// end of the input they yield NUL from then on.
#pragma once

#include <cstdio>

class JsonInputStream {
public:
    virtual char next_char() = 0;
    virtual int get_line_no() = 0;
    virtual int get_col_no() = 0;
    virtual ~JsonInputStream() = default;

protected:
    // Counts the character c that was just read.
    void count(char c);

    int m_line = 1;
    int m_col = 0;
};

// Reads a NUL-terminated text it does not own.
class JsonTextInputStream : public JsonInputStream {
public:
    explicit JsonTextInputStream(const char* text) : m_next(text) {}
    char next_char() override;
    int get_line_no() override { return m_line; }
    int get_col_no() override { return m_col; }

private:
    const char* m_next;
};

// Reads an open file it does not own, 1024 bytes at a time.
class JsonFileInputStream : public JsonInputStream {
public:
    explicit JsonFileInputStream(FILE* file) : m_file(file) {}
    char next_char() override;
    int get_line_no() override { return m_line; }
    int get_col_no() override { return m_col; }

private:
    FILE* m_file;
    char m_buffer[1024];
    size_t m_length = 0;
    size_t m_pos = 0;
    bool m_end = false;
};
