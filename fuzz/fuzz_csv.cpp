// Fuzz target: CSV text split into tokens, and a header line and a data
// line (the input's first two lines) read into a record whose fields are
// then read by index and by name in every type.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzBook.h"
#include "velta/source/utility/CSVParser.h"
#include "velta/source/utility/CSVRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    CSVParser parser(text.c_str());
    int tokens = 0;
    while (parser.next_token() != nullptr)
        FUZZ_CHECK(++tokens <= int(size) + 1);

    size_t cut = text.find('\n');
    std::string header = text.substr(0, cut);
    std::string values = cut == std::string::npos ? std::string() : text.substr(cut + 1);
    CSVRecord record;
    record.analysis(header.c_str(), values.c_str());
    FUZZ_CHECK(record.field_count() >= 0);
    for (int i = 0; i <= record.field_count() + 1; ++i) {
        record.get_field_content(i);
        record.field_as_char(i);
        record.field_as_short(i);
        record.field_as_int(i);
        record.field_as_double(i);
        record.field_as_long(i);
    }
    CSVParser names(header.c_str());
    const char* name;
    while ((name = names.next_token()) != nullptr) {
        std::string copy = name;
        record.get_field_index(copy.c_str());
        record.field_as_string(copy.c_str());
        record.field_as_double(copy.c_str());
    }
    return 0;
}
