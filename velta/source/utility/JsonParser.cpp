#include "velta/source/utility/JsonParser.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "velta/source/base/Log.h"

namespace {

constexpr int MAX_STRING_LENGTH = 255;
constexpr int STRING_BUFFER_SIZE = MAX_STRING_LENGTH + 1;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

JsonParser::JsonParser(Allocator* allocator, JsonInputStream* stream)
    : m_allocator(allocator), m_stream(stream), m_char(stream->next_char())
{
}

void JsonParser::fail(const std::string& message)
{
    throw JsonParseException(message, m_stream->get_line_no(), m_stream->get_col_no());
}

void JsonParser::skip_white()
{
    while (m_char == ' ' || m_char == '\t' || m_char == '\r' || m_char == '\n')
        next();
}

void JsonParser::expected(char c)
{
    skip_white();
    if (m_char == c) {
        next();
        return;
    }
    char message[32];
    snprintf(message, sizeof(message), "expected '%c', but '%c'", c, m_char);
    fail(message);
}

void JsonParser::enter()
{
    if (++m_depth > MAX_DEPTH)
        fail("Nesting is too deep.");
}

JsonValue* JsonParser::parse()
{
    skip_white();
    if (m_char == '\0')
        return nullptr;
    if (m_char != '[' && m_char != '{')
        fail("Expected a JSON object, array or literal.");
    return parse_value();
}

JsonValue* JsonParser::parse_value()
{
    switch (m_char) {
        case '"':
            next();
            return json_new<JvalueString>(m_allocator, parse_string());
        case '[':
            next();
            return parse_array();
        case '{':
            next();
            return parse_object();
        case 't':
        case 'f':
            return parse_boolean();
        default:
            if (m_char == '-' || is_digit(m_char))
                return parse_number();
            fail("value expected");
    }
}

JsonValue* JsonParser::parse_object()
{
    enter();
    JvalueObject* object = json_new<JvalueObject>(m_allocator, m_allocator);
    skip_white();
    if (m_char == '}') {
        next();
        --m_depth;
        return object;
    }
    for (;;) {
        expected('"');
        char key[STRING_BUFFER_SIZE];
        read_string(key);
        skip_white();
        expected(':');
        skip_white();
        object->add(key, parse_value());
        skip_white();
        if (m_char != ',')
            break;
        next();
    }
    expected('}');
    --m_depth;
    return object;
}

JsonValue* JsonParser::parse_array()
{
    enter();
    JvalueArray* array = json_new<JvalueArray>(m_allocator, m_allocator);
    for (;;) {
        skip_white();
        if (m_char == ']')
            break;
        array->append(parse_value());
        skip_white();
        if (m_char != ',')
            break;
        next();
    }
    expected(']');
    --m_depth;
    return array;
}

void JsonParser::read_string(char* text)
{
    int length = 0;
    for (;;) {
        char c = m_char;
        if (c == '"') {
            next();
            break;
        }
        if (c == '\0')
            fail("Expected quotation mark.");
        if (length == MAX_STRING_LENGTH)
            fail("String is too long.");
        next();
        if (c == '\\') {
            c = m_char;
            if (c == '\0')
                fail("Expected quotation mark.");
            next();
            switch (c) {
                case '0':
                    c = '\0';
                    break;
                case 'a':
                    c = '\a';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 't':
                    c = '\t';
                    break;
                default:
                    break;
            }
        }
        text[length++] = c;
    }
    text[length] = '\0';
}

const char* JsonParser::parse_string()
{
    char text[STRING_BUFFER_SIZE];
    read_string(text);
    size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(m_allocator->allocate(size, nullptr));
    memcpy(copy, text, size);
    return copy;
}

JsonValue* JsonParser::parse_number()
{
    bool negative = m_char == '-';
    if (negative)
        next();
    if (m_char == '0') {
        // Digits after a leading zero are left for the caller, which fails on them.
        next();
        if (m_char == '.') {
            next();
            return parse_fraction(0.0, negative);
        }
        return json_new<JvalueInteger>(m_allocator, 0);
    }
    // Wraps on overflow, as a 32-bit accumulator does.
    uint32_t value = 0;
    while (is_digit(m_char)) {
        value = value * 10 + static_cast<uint32_t>(m_char - '0');
        next();
    }
    if (m_char == '.') {
        next();
        return parse_fraction(static_cast<int32_t>(value), negative);
    }
    return json_new<JvalueInteger>(m_allocator, static_cast<int32_t>(negative ? 0 - value : value));
}

JsonValue* JsonParser::parse_fraction(double whole, bool negative)
{
    double factor = 1.0;
    double value = whole;
    while (is_digit(m_char)) {
        factor /= 10;
        value += (m_char - '0') * factor;
        next();
    }
    return json_new<JvalueFloat>(m_allocator, negative ? -value : value);
}

JsonValue* JsonParser::parse_boolean()
{
    const char* word = m_char == 't' ? "true" : "false";
    for (const char* p = word; *p != '\0'; ++p) {
        if (m_char != *p)
            fail("value expected");
        next();
    }
    return json_new<JvalueBoolean>(m_allocator, word[0] == 't');
}

JsonValue* parse_json_text(Allocator* allocator, const char* text)
{
    JsonTextInputStream stream(text);
    return JsonParser(allocator, &stream).parse();
}

JsonValue* parse_json_file(Allocator* allocator, const char* path)
{
    std::unique_ptr<FILE, FileCloser> file(mfopen(path, "rt"));
    if (!file)
        throw std::runtime_error("can't open json file");
    JsonFileInputStream stream(file.get());
    return JsonParser(allocator, &stream).parse();
}
