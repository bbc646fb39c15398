#include "velta/source/utility/JsonDoc.h"

JsonValue* JsonDoc::parse_json_text(const char* text)
{
    return ::parse_json_text(&m_allocator, text);
}

JsonValue* JsonDoc::parse_json_file(const char* path)
{
    return ::parse_json_file(&m_allocator, path);
}

JsonValue* JsonDoc::create_object_value()
{
    return json_new<JvalueObject>(&m_allocator, &m_allocator);
}

JsonValue* JsonDoc::create_array_value()
{
    return json_new<JvalueArray>(&m_allocator, &m_allocator);
}

JsonValue* JsonDoc::create_string_value(const char* text)
{
    return json_new<JvalueString>(&m_allocator, text);
}

JsonValue* JsonDoc::create_boolean_value(bool value)
{
    return json_new<JvalueBoolean>(&m_allocator, value);
}

JsonValue* JsonDoc::create_integer_value(int value)
{
    return json_new<JvalueInteger>(&m_allocator, value);
}

JsonValue* JsonDoc::create_float_value(double value)
{
    return json_new<JvalueFloat>(&m_allocator, value);
}

void JsonDoc::object_add_value(JsonValue& object, const char* key, JsonValue& value)
{
    if (object.get_type() != JsonValue::TYPE_OBJECT)
        throw_json_type_error();
    static_cast<JvalueObject&>(object).add(key, &value);
}

void JsonDoc::array_add_item(JsonValue& array, JsonValue& value)
{
    if (array.get_type() != JsonValue::TYPE_ARRAY)
        throw_json_type_error();
    static_cast<JvalueArray&>(array).append(&value);
}
