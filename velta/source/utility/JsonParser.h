// Internal: the JSON reader of the framework's documents.
//
// A recursive-descent parser of a small dialect: the top level is an object
// or an array (text after it is not examined), strings hold at most 255
// characters with the escapes \0 \\ \a \n \r \t (any other escaped character
// stands for itself), numbers are integers or decimal fractions without
// exponents, true and false are the only words (no null), and a comma before
// a closing bracket is accepted. Errors throw JsonParseException with the
// line and column at which reading stopped.
#pragma once

#include <stdexcept>
#include <string>

#include "velta/source/base/Allocator.h"
#include "velta/source/utility/JsonInputStream.h"
#include "velta/source/utility/JsonValue.h"

class JsonParseException : public std::runtime_error {
public:
    JsonParseException(const std::string& message, int line, int column)
        : std::runtime_error(message), m_line(line), m_column(column)
    {
    }
    int line() const { return m_line; }
    int column() const { return m_column; }

private:
    int m_line;
    int m_column;
};

class JsonParser {
public:
    // Containers may nest this deep; deeper input is refused rather than
    // allowed to exhaust the stack.
    static constexpr int MAX_DEPTH = 1000;

    JsonParser(Allocator* allocator, JsonInputStream* stream);

    // The top-level value, or null for empty input.
    JsonValue* parse();

private:
    [[noreturn]] void fail(const std::string& message);
    void next() { m_char = m_stream->next_char(); }
    void skip_white();
    void expected(char c);
    JsonValue* parse_value();
    JsonValue* parse_object();
    JsonValue* parse_array();
    // Reads the rest of a string (after its opening quote) into text, which
    // holds 256 bytes.
    void read_string(char* text);
    // A string value's text, copied into the allocator.
    const char* parse_string();
    JsonValue* parse_number();
    JsonValue* parse_fraction(double whole, bool negative);
    JsonValue* parse_boolean();
    void enter();

    Allocator* m_allocator;
    JsonInputStream* m_stream;
    char m_char;
    int m_depth = 0;
};

// Parse into the given allocator; the values live as long as its memory.
JsonValue* parse_json_text(Allocator* allocator, const char* text);
// Throws std::runtime_error("can't open json file") when the file cannot be
// opened.
JsonValue* parse_json_file(Allocator* allocator, const char* path);
