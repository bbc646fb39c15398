// Internal: a JSON document: the owner of every value parsed into it or
// built by hand with it. All of them live in one GobbleAllocator (4096-byte
// blocks) and die with the document; nothing is freed one by one. One thread.
#pragma once

#include "velta/source/utility/GobbleAllocator.h"
#include "velta/source/utility/JsonParser.h"
#include "velta/source/utility/JsonValue.h"

class JsonDoc {
public:
    static constexpr unsigned long BLOCK_SIZE = 4096;

    JsonDoc() : m_allocator(BLOCK_SIZE) {}
    JsonDoc(const JsonDoc&) = delete;
    JsonDoc& operator=(const JsonDoc&) = delete;

    // Null for empty input; JsonParseException on malformed input.
    JsonValue* parse_json_text(const char* text);
    JsonValue* parse_json_file(const char* path);

    JsonValue* create_object_value();
    JsonValue* create_array_value();
    // Keeps the pointer: the text must outlive the document.
    JsonValue* create_string_value(const char* text);
    JsonValue* create_boolean_value(bool value);
    JsonValue* create_integer_value(int value);
    JsonValue* create_float_value(double value);

    // object must be an object; a present key gets the new value.
    void object_add_value(JsonValue& object, const char* key, JsonValue& value);
    // array must be an array; the value gets the next index.
    void array_add_item(JsonValue& array, JsonValue& value);

private:
    GobbleAllocator m_allocator;
};
