#include "velta/source/utility/JsonDoc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string written(const JsonValue& value, int indent = 0)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&text, &size);
    value.output(file, indent);
    fclose(file);
    std::string result(text, size);
    free(text);
    return result;
}

// The message, line and column of the parse error of text.
struct ParseError {
    std::string message;
    int line;
    int column;
};

ParseError parse_error(const char* text)
{
    JsonDoc doc;
    try {
        doc.parse_json_text(text);
    } catch (const JsonParseException& e) {
        return {e.what(), e.line(), e.column()};
    }
    ADD_FAILURE() << "no error for " << text;
    return {};
}

}  // namespace

TEST(JsonParser, EmptyContainersAndTrailingComma)
{
    JsonDoc doc;
    EXPECT_EQ(doc.parse_json_text("{}")->get_type(), JsonValue::TYPE_OBJECT);
    EXPECT_EQ(doc.parse_json_text(" [ ] ")->get_type(), JsonValue::TYPE_ARRAY);
    JsonValue* array = doc.parse_json_text("[1,2,]");
    EXPECT_EQ((*array)[0].as_integer(), 1);
    EXPECT_EQ((*array)[1].as_integer(), 2);
    EXPECT_TRUE((*array)[2].is_null());
    EXPECT_EQ(doc.parse_json_text(""), nullptr);
    EXPECT_EQ(doc.parse_json_text(" \r\n"), nullptr);
}

TEST(JsonParser, RepeatedKeyKeepsTheLastValue)
{
    JsonDoc doc;
    JsonValue* object = doc.parse_json_text("{\"a\":1,\"a\":2}");
    EXPECT_EQ((*object)["a"].as_integer(), 2);
    EXPECT_EQ(static_cast<JvalueObject*>(object)->items().size(), 1u);
}

TEST(JsonParser, Numbers)
{
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_text("[-0.25, 12.5, -7, 0, -, 2147483648]");
    EXPECT_EQ(v[0].get_type(), JsonValue::TYPE_FLOAT);
    EXPECT_DOUBLE_EQ(v[0].as_float(), -0.25);
    EXPECT_DOUBLE_EQ(v[1].as_float(), 12.5);
    EXPECT_EQ(v[2].as_integer(), -7);
    EXPECT_DOUBLE_EQ(v[2].as_float(), -7.0);
    EXPECT_EQ(v[3].as_integer(), 0);
    EXPECT_EQ(v[4].as_integer(), 0);                // a sign without digits
    EXPECT_EQ(v[5].as_integer(), -2147483647 - 1);  // wraps like a 32-bit accumulator
    // The exponent is left unread, so the array fails on it.
    ParseError e = parse_error("[1e3]");
    EXPECT_EQ(e.message, "expected ']', but 'e'");
}

TEST(JsonParser, DigitsAfterALeadingZeroAreLeftForTheCaller)
{
    ParseError e = parse_error("[007]");
    EXPECT_EQ(e.message, "expected ']', but '0'");
    EXPECT_EQ(e.line, 1);
    EXPECT_EQ(e.column, 3);
}

TEST(JsonParser, StringsEscapesAndLengthLimit)
{
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_text("[\"a\\\"b\\\\c\\/d\\ne\\tf\\bg\"]");
    EXPECT_STREQ(v[0].as_string(), "a\"b\\c/d\ne\tfbg");

    std::string longest = "[\"" + std::string(255, 'x') + "\"]";
    EXPECT_EQ(strlen(doc.parse_json_text(longest.c_str())->operator[](0).as_string()), 255u);
    std::string too_long = "[\"" + std::string(256, 'x') + "\"]";
    EXPECT_EQ(parse_error(too_long.c_str()).message, "String is too long.");
    EXPECT_EQ(parse_error("[\"abc").message, "Expected quotation mark.");
    EXPECT_EQ(parse_error("[\"abc\\").message, "Expected quotation mark.");
}

TEST(JsonParser, WordsOtherThanTrueAndFalseAreRefused)
{
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_text("[true,false]");
    EXPECT_TRUE(v[0].as_boolean());
    EXPECT_FALSE(v[1].as_boolean());
    EXPECT_EQ(parse_error("[null]").message, "value expected");
    EXPECT_EQ(parse_error("[tru]").message, "value expected");
    EXPECT_EQ(parse_error("[falsy]").message, "value expected");
    EXPECT_EQ(parse_error("42").message, "Expected a JSON object, array or literal.");
    EXPECT_EQ(parse_error("{\"a\" 1}").message, "expected ':', but '1'");
}

TEST(JsonParser, ErrorLineCountsCarriageReturnsOnly)
{
    ParseError crlf = parse_error("{\r\n\"a\":1,\r\n\"b\":x}");
    EXPECT_EQ(crlf.message, "value expected");
    EXPECT_EQ(crlf.line, 3);
    EXPECT_EQ(crlf.column, 6);  // the line feed after the carriage return is column 1
    ParseError lf = parse_error("{\n\"a\":1,\n\"b\":x}");
    EXPECT_EQ(lf.line, 1);
}

TEST(JsonParser, DeepNestingIsRefusedInsteadOfExhaustingTheStack)
{
    std::string deep(100000, '[');
    EXPECT_EQ(parse_error(deep.c_str()).message, "Nesting is too deep.");
    std::string fine(JsonParser::MAX_DEPTH, '[');
    fine += std::string(JsonParser::MAX_DEPTH, ']');
    JsonDoc doc;
    EXPECT_NE(doc.parse_json_text(fine.c_str()), nullptr);
}

TEST(JsonParser, FilesAreReadAcrossBufferBoundaries)
{
    char path[] = "/tmp/json_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "{\r\n\"pad\":\"" + std::string(200, 'p') + "\",\r\n\"list\":[";
    for (int i = 0; i < 400; ++i)
        text += std::to_string(i) + ",";
    text += "]}";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_file(path);
    EXPECT_EQ(v["list"][399].as_integer(), 399);
    unlink(path);
    EXPECT_THROW(doc.parse_json_file(path), std::runtime_error);
}

TEST(JsonValue, LookupsAndWrongTypes)
{
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_text("{\"a\":[1],\"s\":\"t\"}");
    EXPECT_EQ(&v["missing"], &JsonValue::NULL_VALUE);
    EXPECT_EQ(&v["a"][5], &JsonValue::NULL_VALUE);
    try {
        v["missing"].as_integer();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "invalid json value type");
    }
    EXPECT_THROW(v[0], std::runtime_error);
    EXPECT_THROW(v["s"]["x"], std::runtime_error);
    EXPECT_THROW(v["s"].as_float(), std::runtime_error);
    EXPECT_THROW(doc.array_add_item(v, v), std::runtime_error);
    EXPECT_THROW(doc.object_add_value(v["a"], "k", v), std::runtime_error);
}

TEST(JsonWriter, ScalarsOnOneLine)
{
    JsonDoc doc;
    EXPECT_EQ(written(*doc.parse_json_text("{\"a\":1,\"b\":2}")), "{  \"a\":1, \"b\":2 }");
    EXPECT_EQ(written(*doc.parse_json_text("{\"b\":true,\"a\":\"x\",\"c\":0.5}")),
              "{  \"a\":\"x\", \"b\":true, \"c\":0.5 }");
    EXPECT_EQ(written(*doc.parse_json_text("[1.123456789]")), "[  1.1234568 ]");
    EXPECT_EQ(written(*doc.parse_json_text("{}")), "{  }");
}

TEST(JsonWriter, ContainersStartOnNewLinesOneTabDeeper)
{
    JsonDoc doc;
    JsonValue& v = *doc.parse_json_text("{\"a\":1,\"o\":{\"l\":[2,[]]}}");
    EXPECT_EQ(written(v),
              "{  \"a\":1,\n"
              "\t\"o\":{ \n"
              "\t\t\"l\":[  2,\n"
              "\t\t\t[  ]\n"
              "\t\t]\n"
              "\t}\n"
              "}");
}

TEST(JsonDoc, BuiltByHand)
{
    JsonDoc doc;
    JsonValue& object = *doc.create_object_value();
    JsonValue& array = *doc.create_array_value();
    std::string key = "k";
    doc.object_add_value(object, key.c_str(), array);
    key = "changed";  // the document keeps its own copy of the key
    doc.array_add_item(array, *doc.create_string_value("s"));
    doc.array_add_item(array, *doc.create_float_value(2.5));
    doc.array_add_item(array, *doc.create_boolean_value(false));
    doc.array_add_item(array, JsonValue::NULL_VALUE);
    doc.object_add_value(object, "i", *doc.create_integer_value(-3));
    EXPECT_EQ(written(object), "{  \"i\":-3,\n\t\"k\":[  \"s\", 2.5, false, null ]\n}");
    doc.object_add_value(object, "i", *doc.create_integer_value(4));
    EXPECT_EQ(object["i"].as_integer(), 4);
}
