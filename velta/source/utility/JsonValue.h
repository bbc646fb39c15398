// Internal: the value model of JSON documents.
//
// Values are plain data tagged with their type and never destroyed: every
// value, container node, key and parsed string lives in the allocator of its
// document (JsonDoc) and goes away with it. Access with the wrong type throws
// std::runtime_error("invalid json value type"); lookups that find nothing
// return JsonValue::NULL_VALUE.
#pragma once

#include <cstdio>
#include <cstring>

#include "velta/source/utility/RbTree.h"

class JsonValue {
public:
    enum Type {
        TYPE_NULL = 0,
        TYPE_OBJECT = 1,
        TYPE_ARRAY = 2,
        TYPE_STRING = 3,
        TYPE_BOOLEAN = 4,
        TYPE_INTEGER = 5,
        TYPE_FLOAT = 6,
    };

    static JsonValue NULL_VALUE;

    constexpr explicit JsonValue(Type type) : m_type(type) {}
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;

    Type get_type() const { return m_type; }
    bool is_null() const { return m_type == TYPE_NULL; }

    JsonValue& operator[](const char* key) const;
    JsonValue& operator[](int index) const;
    const char* as_string() const;
    int as_integer() const;
    // A float, or an integer widened to double.
    double as_float() const;
    bool as_boolean() const;

    // Writes the value as indented text; indent is the container depth.
    void output(FILE* file, int indent) const;

private:
    Type m_type;
};

// Throws std::runtime_error("invalid json value type").
[[noreturn]] void throw_json_type_error();

struct JsonKeyLess {
    bool operator()(const char* a, const char* b) const { return strcmp(a, b) < 0; }
};

class JvalueObject : public JsonValue {
public:
    // Keys point into the document's allocator.
    using Items = RbTree<const char*, JsonValue*, JsonKeyLess>;

    explicit JvalueObject(Allocator* allocator)
        : JsonValue(TYPE_OBJECT), m_items(JsonKeyLess(), Items::allocator_type(allocator))
    {
    }

    // Replaces the value of a present key; otherwise adds the item under a
    // copy of the key taken from the allocator.
    void add(const char* key, JsonValue* value);
    const Items& items() const { return m_items; }

private:
    Items m_items;
};

class JvalueArray : public JsonValue {
public:
    using Items = RbTree<int, JsonValue*, std::less<int>>;

    explicit JvalueArray(Allocator* allocator)
        : JsonValue(TYPE_ARRAY), m_items(std::less<int>(), Items::allocator_type(allocator))
    {
    }

    // Stores the value under the next index.
    void append(JsonValue* value) { m_items.emplace(m_next_index++, value); }
    const Items& items() const { return m_items; }

private:
    Items m_items;
    int m_next_index = 0;
};

class JvalueString : public JsonValue {
public:
    // The text is not copied.
    explicit JvalueString(const char* text) : JsonValue(TYPE_STRING), m_text(text) {}
    const char* m_text;
};

class JvalueBoolean : public JsonValue {
public:
    explicit JvalueBoolean(bool value) : JsonValue(TYPE_BOOLEAN), m_value(value) {}
    bool m_value;
};

class JvalueInteger : public JsonValue {
public:
    explicit JvalueInteger(int value) : JsonValue(TYPE_INTEGER), m_value(value) {}
    int m_value;
};

class JvalueFloat : public JsonValue {
public:
    explicit JvalueFloat(double value) : JsonValue(TYPE_FLOAT), m_value(value) {}
    double m_value;
};

// Constructs a T in memory of the allocator; it is never destroyed.
template <class T, class... Args>
T* json_new(Allocator* allocator, Args&&... args)
{
    return new (allocator->allocate(sizeof(T), nullptr)) T(static_cast<Args&&>(args)...);
}
