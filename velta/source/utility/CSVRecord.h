// Internal: one CSV header line's field names and one data line's values,
// looked up by 1-based index or by name and converted into a structure by
// its FieldDescribe.
//
// Names and values are copied into two buffers of BUFFER_SIZE bytes each
// (terminators included). Tokens that no longer fit are dropped: a header
// keeps the fields whose names fit, and a data line whose values do not all
// fit leaves the rest of the fields without a value.
//
// Missing, empty or unknown fields read as the null value of their type
// (NullValue.h).
#pragma once

#include <cstring>
#include <map>
#include <vector>

#include "velta/source/utility/FieldDescribe.h"

class CSVRecord {
public:
    static constexpr int BUFFER_SIZE = 4096;

    struct Field {
        const char* m_name;
        const char* m_value;  // null until a data line gave one
    };

    CSVRecord() = default;
    CSVRecord(const CSVRecord&) = delete;
    CSVRecord& operator=(const CSVRecord&) = delete;

    bool analysis(const char* header_line, const char* value_line);
    // Replaces the fields by the names of the line; a repeated name maps to
    // its last occurrence. Always true.
    bool analysis_field_name(const char* line);
    // True when every field got a value.
    bool analysis_field_content(const char* line);

    int field_count() const { return static_cast<int>(m_fields.size()); }
    // 1-based, or -1 for an unknown name.
    int get_field_index(const char* name) const;
    // Null for an index out of range or a field without value.
    const char* get_field_content(int index) const;

    const char* field_as_string(int index) const { return get_field_content(index); }
    char field_as_char(int index) const;
    short field_as_short(int index) const;
    int field_as_int(int index) const;
    double field_as_double(int index) const;
    long long field_as_long(int index) const;

    const char* field_as_string(const char* name) const;
    char field_as_char(const char* name) const { return field_as_char(get_field_index(name)); }
    short field_as_short(const char* name) const { return field_as_short(get_field_index(name)); }
    int field_as_int(const char* name) const { return field_as_int(get_field_index(name)); }
    double field_as_double(const char* name) const
    {
        return field_as_double(get_field_index(name));
    }
    long long field_as_long(const char* name) const { return field_as_long(get_field_index(name)); }

    // Stores every member of the description from the field of its name;
    // false, with the "DbCommand" event, at the first member without field
    // (the members before it are stored).
    bool trans_to_struct(FieldDescribe* description, char* object) const;

private:
    struct NameLess {
        bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
    };

    // A copy of the token in the buffer, or null when it does not fit.
    static const char* store(const char* token, char* buffer, int& length);
    // The field's value when it is a non-empty text, else null.
    const char* text_of(int index) const;

    std::vector<Field> m_fields;
    std::map<const char*, int, NameLess> m_index;
    char m_name_buffer[BUFFER_SIZE];
    int m_name_length = 0;
    char m_value_buffer[BUFFER_SIZE];
    int m_value_length = 0;
};
