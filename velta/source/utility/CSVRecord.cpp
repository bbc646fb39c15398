#include "velta/source/utility/CSVRecord.h"

#include <cfloat>
#include <cstdlib>

#include "velta/source/base/Log.h"
#include "velta/source/utility/CSVParser.h"
#include "velta/source/utility/NullValue.h"

namespace {

// Copies a text member: cut to its width, terminated in its last byte, and
// trailing blanks removed.
void store_text(char* to, int size, const char* text)
{
    memset(to, 0, size);
    if (text == nullptr)
        return;
    strncpy(to, text, size);
    to[size - 1] = '\0';
    for (int i = static_cast<int>(strlen(to)) - 1; i >= 0 && to[i] == ' '; --i)
        to[i] = '\0';
}

// A double narrowed to float, out-of-range values (the absent double among
// them) held at the largest finite float instead of overflowing.
float narrow_to_float(double value)
{
    if (value > FLT_MAX)
        return FLT_MAX;
    if (value < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(value);
}

}  // namespace

bool CSVRecord::analysis(const char* header_line, const char* value_line)
{
    analysis_field_name(header_line);
    return analysis_field_content(value_line);
}

const char* CSVRecord::store(const char* token, char* buffer, int& length)
{
    int size = static_cast<int>(strlen(token)) + 1;
    if (size > BUFFER_SIZE - length)
        return nullptr;
    char* copy = buffer + length;
    memcpy(copy, token, size);
    length += size;
    return copy;
}

bool CSVRecord::analysis_field_name(const char* line)
{
    m_name_length = 0;
    m_value_length = 0;
    m_fields.clear();
    m_index.clear();
    CSVParser parser(line);
    while (const char* token = parser.next_token()) {
        const char* name = store(token, m_name_buffer, m_name_length);
        if (name == nullptr)
            break;
        m_fields.push_back({name, nullptr});
        m_index[name] = field_count();
    }
    return true;
}

bool CSVRecord::analysis_field_content(const char* line)
{
    m_value_length = 0;
    for (Field& field : m_fields)
        field.m_value = nullptr;
    CSVParser parser(line);
    size_t filled = 0;
    while (filled < m_fields.size()) {
        const char* token = parser.next_token();
        if (token == nullptr)
            break;
        const char* value = store(token, m_value_buffer, m_value_length);
        if (value == nullptr)
            break;
        m_fields[filled++].m_value = value;
    }
    return filled == m_fields.size();
}

int CSVRecord::get_field_index(const char* name) const
{
    auto it = m_index.find(name);
    return it == m_index.end() ? -1 : it->second;
}

const char* CSVRecord::get_field_content(int index) const
{
    if (index < 1 || index > field_count())
        return nullptr;
    return m_fields[index - 1].m_value;
}

const char* CSVRecord::field_as_string(const char* name) const
{
    return get_field_content(get_field_index(name));
}

const char* CSVRecord::text_of(int index) const
{
    const char* value = get_field_content(index);
    return value == nullptr || value[0] == '\0' ? nullptr : value;
}

char CSVRecord::field_as_char(int index) const
{
    const char* text = text_of(index);
    return text == nullptr ? NULL_CHAR_VALUE : text[0];
}

short CSVRecord::field_as_short(int index) const
{
    const char* text = text_of(index);
    return text == nullptr ? NULL_SHORT_VALUE : static_cast<short>(atoi(text));
}

int CSVRecord::field_as_int(int index) const
{
    const char* text = text_of(index);
    return text == nullptr ? NULL_INT_VALUE : atoi(text);
}

double CSVRecord::field_as_double(int index) const
{
    const char* text = text_of(index);
    return text == nullptr ? NULL_DOUBLE_VALUE : atof(text);
}

long long CSVRecord::field_as_long(int index) const
{
    const char* text = text_of(index);
    return text == nullptr ? NULL_LONG_VALUE : atoll(text);
}

bool CSVRecord::trans_to_struct(FieldDescribe* description, char* object) const
{
    for (int i = 0; i < description->member_count(); ++i) {
        const MemberDesc& member = description->member_desc(i);
        int index = get_field_index(member.m_name);
        if (index < 0) {
            report_event(3, "DbCommand", "Can't find field[%s]", member.m_name);
            return false;
        }
        char* to = object + member.m_object_offset;
        switch (member.m_type) {
            case MT_CHAR:
                *to = field_as_char(index);
                break;
            case MT_SHORT: {
                short value = field_as_short(index);
                memcpy(to, &value, sizeof(value));
                break;
            }
            case MT_INT: {
                int value = field_as_int(index);
                memcpy(to, &value, sizeof(value));
                break;
            }
            case MT_FLOAT: {
                float value = narrow_to_float(field_as_double(index));
                memcpy(to, &value, sizeof(value));
                break;
            }
            case MT_DOUBLE: {
                double value = field_as_double(index);
                memcpy(to, &value, sizeof(value));
                break;
            }
            case MT_LONG: {
                long long value = field_as_long(index);
                memcpy(to, &value, sizeof(value));
                break;
            }
            case MT_STRING:
                store_text(to, member.m_size, get_field_content(index));
                break;
            default:
                break;
        }
    }
    return true;
}
