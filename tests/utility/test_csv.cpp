#include "velta/source/utility/CSVRecord.h"
#include "velta/source/utility/CSVParser.h"
#include "velta/source/utility/FieldDescribe.h"
#include "velta/source/utility/NullValue.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstddef>
#include <string>
#include <vector>

#include "velta/source/base/Log.h"
#include "velta/source/base/NullLogger.h"

namespace {

// Every token of a line, and the state after the last call.
std::vector<std::string> tokens(const char* line, int* state = nullptr)
{
    std::vector<std::string> result;
    CSVParser parser(line);
    while (const char* token = parser.next_token())
        result.push_back(token);
    if (state != nullptr)
        *state = parser.error_code();
    return result;
}

struct Quote {
    int id;
    char name[8];
    double price;
    short lots;
    char side;
    float ratio;
    long long volume;

    static FieldDescribe m_describe;
    static void describe_members()
    {
        m_describe.setup_member(MT_INT, offsetof(Quote, id), "id", 4, 0, 0)
            .setup_member(MT_STRING, offsetof(Quote, name), "name", 8, 0, 0)
            .setup_member(MT_DOUBLE, offsetof(Quote, price), "price", 8, 0, 0)
            .setup_member(MT_SHORT, offsetof(Quote, lots), "lots", 2, 0, 0)
            .setup_member(MT_CHAR, offsetof(Quote, side), "side", 1, 0, 0)
            .setup_member(MT_FLOAT, offsetof(Quote, ratio), "ratio", 4, 0, 0)
            .setup_member(MT_LONG, offsetof(Quote, volume), "volume", 8, 0, 0);
    }
};
FieldDescribe Quote::m_describe(7, sizeof(Quote), "Quote", "QuoteRecord", &Quote::describe_members);

struct CapturingLogger : Logger {
    void output(const char* line) override { m_lines.push_back(line); }
    std::vector<std::string> m_lines;
};

std::string put_line(const Quote& quote)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&text, &size);
    Quote::m_describe.csv_put_line(file, &quote);
    fclose(file);
    std::string result(text, size);
    free(text);
    return result;
}

}  // namespace

TEST(CSVParser, QuotedFieldsWithCommasAndDoubledQuotes)
{
    int state = -1;
    EXPECT_EQ(tokens("a,\"b,c\",\"d\"\"e\",", &state),
              (std::vector<std::string>{"a", "b,c", "d\"e", ""}));
    EXPECT_EQ(state, CSVParser::STATE_END);
    EXPECT_EQ(tokens("", &state), std::vector<std::string>{""});
    EXPECT_EQ(tokens("x,y\r\nz"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(tokens("a\"b"), std::vector<std::string>{"a\"b"});
}

TEST(CSVParser, MalformedFieldsEndTheTokens)
{
    int state = -1;
    EXPECT_EQ(tokens("a,\"b", &state), std::vector<std::string>{"a"});
    EXPECT_EQ(state, CSVParser::STATE_NO_QUOTE);
    EXPECT_EQ(tokens("a,\"b\"x", &state), std::vector<std::string>{"a"});
    EXPECT_EQ(state, CSVParser::STATE_UNEXPECTED);
    std::string longest(CSVParser::WORD_LENGTH, 'w');
    EXPECT_EQ(tokens(longest.c_str(), &state), std::vector<std::string>{longest});
    std::string too_long = longest + "w,next";
    EXPECT_TRUE(tokens(too_long.c_str(), &state).empty());
    EXPECT_EQ(state, CSVParser::STATE_UNEXPECTED);
    std::string quoted_too_long = "\"" + too_long + "\"";
    tokens(quoted_too_long.c_str(), &state);
    EXPECT_EQ(state, CSVParser::STATE_NO_QUOTE);
    CSVParser idle;
    EXPECT_EQ(idle.next_token(), nullptr);
}

TEST(CSVRecord, FieldsByIndexAndNameWithNullValues)
{
    CSVRecord record;
    EXPECT_TRUE(record.analysis("id,name,price", "7,abc,"));
    EXPECT_EQ(record.get_field_index("id"), 1);
    EXPECT_EQ(record.get_field_index("nope"), -1);
    EXPECT_EQ(record.field_as_int("id"), 7);
    EXPECT_STREQ(record.field_as_string("name"), "abc");
    EXPECT_EQ(record.field_as_double("price"), DBL_MAX);
    EXPECT_EQ(record.field_as_string("nope"), nullptr);
    EXPECT_EQ(record.field_as_char("price"), 0x7F);
    EXPECT_EQ(record.field_as_short("price"), 0x7FFF);
    EXPECT_EQ(record.field_as_int("nope"), 2147483647);
    EXPECT_EQ(record.field_as_long(3), 9223372036854775807LL);
    EXPECT_EQ(record.get_field_content(0), nullptr);
    EXPECT_EQ(record.get_field_content(4), nullptr);
    EXPECT_EQ(record.field_as_short(1), 7);
    EXPECT_EQ(record.field_as_char(2), 'a');

    EXPECT_FALSE(record.analysis_field_content("8,def"));
    EXPECT_EQ(record.field_as_int(1), 8);
    EXPECT_EQ(record.get_field_content(3), nullptr);  // nothing left from the line before
}

TEST(CSVRecord, RepeatedNameMapsToItsLastOccurrence)
{
    CSVRecord record;
    record.analysis("a,b,a", "1,2,3");
    EXPECT_EQ(record.get_field_index("a"), 3);
    EXPECT_EQ(record.field_as_int("a"), 3);
}

TEST(CSVRecord, LinesLongerThanTheBuffersAreCutWithoutOverflow)
{
    // 60 names or values of 99 characters need 6000 bytes of a buffer.
    std::string long_names, short_names, values;
    for (int i = 0; i < 60; ++i) {
        long_names += (i ? "," : "") + std::to_string(100 + i) + std::string(96, 'n');
        short_names += (i ? ",f" : "f") + std::to_string(i);
        values += (i ? "," : "") + std::string(99, 'v');
    }
    CSVRecord record;
    record.analysis_field_name(long_names.c_str());
    EXPECT_EQ(record.field_count(), CSVRecord::BUFFER_SIZE / 100);

    record.analysis_field_name(short_names.c_str());
    EXPECT_EQ(record.field_count(), 60);
    EXPECT_FALSE(record.analysis_field_content(values.c_str()));
    EXPECT_EQ(strlen(record.get_field_content(1)), 99u);
    EXPECT_NE(record.get_field_content(CSVRecord::BUFFER_SIZE / 100), nullptr);
    EXPECT_EQ(record.get_field_content(CSVRecord::BUFFER_SIZE / 100 + 1), nullptr);
}

TEST(FieldDescribe, MembersAndStreamLayout)
{
    const FieldDescribe& d = Quote::m_describe;
    EXPECT_EQ(d.id(), 7);
    EXPECT_STREQ(d.first_name(), "Quote");
    EXPECT_STREQ(d.second_name(), "QuoteRecord");
    EXPECT_EQ(d.member_count(), 7);
    EXPECT_EQ(d.stream_size(), 4 + 8 + 8 + 2 + 1 + 4 + 8);
    EXPECT_EQ(d.member_desc(2).m_stream_offset, 12);
    EXPECT_STREQ(d.member_desc(2).m_name, "price");
}

TEST(FieldDescribe, StreamFormIsBigEndianAndRoundTrips)
{
    Quote quote = {0x01020304, "ab", 1.0, 0x0506, 'B', 2.0f, 0x0102030405060708LL};
    char stream[64] = {};
    EXPECT_EQ(Quote::m_describe.object_to_stream(&quote, stream), 7);
    EXPECT_EQ(std::string(stream, 4), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(std::string(stream + 4, 3), std::string("ab\0", 3));
    EXPECT_EQ(static_cast<unsigned char>(stream[12]), 0x3F);  // 1.0 = 3FF0...
    EXPECT_EQ(static_cast<unsigned char>(stream[13]), 0xF0);
    EXPECT_EQ(std::string(stream + 20, 3), std::string("\x05\x06"
                                                       "B",
                                                       3));
    EXPECT_EQ(std::string(stream + 27, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    Quote back = {};
    EXPECT_EQ(Quote::m_describe.stream_to_object(&back, stream), 7);
    EXPECT_EQ(back.id, quote.id);
    EXPECT_STREQ(back.name, "ab");
    EXPECT_EQ(back.price, 1.0);
    EXPECT_EQ(back.lots, quote.lots);
    EXPECT_EQ(back.side, 'B');
    EXPECT_EQ(back.ratio, 2.0f);
    EXPECT_EQ(back.volume, quote.volume);
}

TEST(FieldDescribe, LongNamesAreCut)
{
    static std::string long_name(300, 'x');
    static FieldDescribe* described = nullptr;
    struct Local {
        static void describe() { described->setup_member(MT_INT, 0, long_name.c_str(), 4, 0, 0); }
    };
    alignas(FieldDescribe) static char storage[sizeof(FieldDescribe)];
    described = reinterpret_cast<FieldDescribe*>(storage);
    FieldDescribe* d =
        new (storage) FieldDescribe(1, 4, long_name.c_str(), long_name.c_str(), &Local::describe);
    EXPECT_EQ(strlen(d->first_name()), static_cast<size_t>(FieldDescribe::FIRST_NAME_LENGTH));
    EXPECT_EQ(strlen(d->second_name()), static_cast<size_t>(FieldDescribe::SECOND_NAME_LENGTH));
    EXPECT_EQ(strlen(d->member_desc(0).m_name), static_cast<size_t>(MemberDesc::NAME_LENGTH));
    d->~FieldDescribe();
}

TEST(TransToStruct, FillsEveryMemberAndTrimsText)
{
    CSVRecord record;
    ASSERT_TRUE(record.analysis("volume,ratio,side,lots,price,name,id",
                                "123456789012,0.5,S,12,101.25,\"abc   \",42"));
    Quote quote = {};
    EXPECT_TRUE(record.trans_to_struct(&Quote::m_describe, reinterpret_cast<char*>(&quote)));
    EXPECT_EQ(quote.id, 42);
    EXPECT_EQ(std::string(quote.name, 8), std::string("abc\0\0\0\0\0", 8));
    EXPECT_EQ(quote.price, 101.25);
    EXPECT_EQ(quote.lots, 12);
    EXPECT_EQ(quote.side, 'S');
    EXPECT_EQ(quote.ratio, 0.5f);
    EXPECT_EQ(quote.volume, 123456789012LL);

    // A text longer than the member is cut and terminated in its last byte;
    // an absent double is written as an empty column.
    record.analysis("volume,ratio,side,lots,price,name,id", ",,x,1,,abcdefghij,3");
    EXPECT_TRUE(record.trans_to_struct(&Quote::m_describe, reinterpret_cast<char*>(&quote)));
    EXPECT_STREQ(quote.name, "abcdefg");
    EXPECT_EQ(quote.ratio, FLT_MAX);
    EXPECT_EQ(put_line(quote), "3,abcdefg,,1,x,3.40282347e+38,\n");
}

TEST(TransToStruct, MissingFieldStopsWithTheDbCommandEvent)
{
    CapturingLogger logger;
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    CSVRecord record;
    record.analysis("id,name", "5,x");
    Quote quote = {};
    EXPECT_FALSE(record.trans_to_struct(&Quote::m_describe, reinterpret_cast<char*>(&quote)));
    reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0);
    EXPECT_EQ(quote.id, 5);
    EXPECT_STREQ(quote.name, "x");
    ASSERT_EQ(logger.m_lines.size(), 1u);
    EXPECT_EQ(logger.m_lines[0], "event DbCommand 3 Can't find field[price]");
}

TEST(FieldDescribe, CsvPutLine)
{
    Quote quote = {-5, "name", 2.5, static_cast<short>(-1), 'B', 1.5f, 77};
    EXPECT_EQ(put_line(quote), "-5,name,2.5,65535,B,1.5,77\n");
}
