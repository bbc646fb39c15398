#include "velta/source/utility/JsonValue.h"

#include <new>
#include <stdexcept>

JsonValue JsonValue::NULL_VALUE(JsonValue::TYPE_NULL);

namespace {

void put_tabs(FILE* file, int count)
{
    for (int i = 0; i < count; ++i)
        fputc('\t', file);
}

bool is_container(const JsonValue* value)
{
    return value->get_type() == JsonValue::TYPE_OBJECT ||
           value->get_type() == JsonValue::TYPE_ARRAY;
}

// The layout shared by objects and arrays: a container item starts on a line
// of its own, one tab deeper; scalars follow on the same line after a blank.
template <class Items, class PutKey>
void output_items(FILE* file, int indent, const Items& items, char open, char close, PutKey put_key)
{
    fprintf(file, "%c ", open);
    bool nested = false;
    bool first = true;
    for (const auto& item : items) {
        if (!first)
            fputc(',', file);
        first = false;
        if (is_container(item.second)) {
            nested = true;
            fputc('\n', file);
            put_tabs(file, indent + 1);
        } else {
            fputc(' ', file);
        }
        put_key(item.first);
        item.second->output(file, indent + 1);
    }
    if (nested) {
        fputc('\n', file);
        put_tabs(file, indent);
    } else {
        fputc(' ', file);
    }
    fputc(close, file);
}

}  // namespace

void throw_json_type_error()
{
    throw std::runtime_error("invalid json value type");
}

JsonValue& JsonValue::operator[](const char* key) const
{
    if (m_type != TYPE_OBJECT)
        throw_json_type_error();
    const auto& items = static_cast<const JvalueObject*>(this)->items();
    auto it = items.find(key);
    return it == items.end() ? NULL_VALUE : *it->second;
}

JsonValue& JsonValue::operator[](int index) const
{
    if (m_type != TYPE_ARRAY)
        throw_json_type_error();
    const auto& items = static_cast<const JvalueArray*>(this)->items();
    auto it = items.find(index);
    return it == items.end() ? NULL_VALUE : *it->second;
}

const char* JsonValue::as_string() const
{
    if (m_type != TYPE_STRING)
        throw_json_type_error();
    return static_cast<const JvalueString*>(this)->m_text;
}

int JsonValue::as_integer() const
{
    if (m_type != TYPE_INTEGER)
        throw_json_type_error();
    return static_cast<const JvalueInteger*>(this)->m_value;
}

double JsonValue::as_float() const
{
    if (m_type == TYPE_FLOAT)
        return static_cast<const JvalueFloat*>(this)->m_value;
    if (m_type == TYPE_INTEGER)
        return static_cast<const JvalueInteger*>(this)->m_value;
    throw_json_type_error();
}

bool JsonValue::as_boolean() const
{
    if (m_type != TYPE_BOOLEAN)
        throw_json_type_error();
    return static_cast<const JvalueBoolean*>(this)->m_value;
}

void JsonValue::output(FILE* file, int indent) const
{
    switch (m_type) {
        case TYPE_NULL:
            fputs("null", file);
            break;
        case TYPE_OBJECT:
            output_items(file, indent, static_cast<const JvalueObject*>(this)->items(), '{', '}',
                         [file](const char* key) { fprintf(file, "\"%s\":", key); });
            break;
        case TYPE_ARRAY:
            output_items(file, indent, static_cast<const JvalueArray*>(this)->items(), '[', ']',
                         [](int) {});
            break;
        case TYPE_STRING:
            fprintf(file, "\"%s\"", as_string());
            break;
        case TYPE_BOOLEAN:
            fputs(as_boolean() ? "true" : "false", file);
            break;
        case TYPE_INTEGER:
            fprintf(file, "%d", as_integer());
            break;
        case TYPE_FLOAT:
            fprintf(file, "%.8g", as_float());
            break;
    }
}

void JvalueObject::add(const char* key, JsonValue* value)
{
    auto it = m_items.find(key);
    if (it != m_items.end()) {
        it->second = value;
        return;
    }
    size_t size = strlen(key) + 1;
    char* copy = static_cast<char*>(m_items.get_allocator().m_allocator->allocate(size, nullptr));
    memcpy(copy, key, size);
    m_items.emplace(copy, value);
}
