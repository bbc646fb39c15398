// Fuzz target: a JSON text parsed into a document, written out and parsed
// again. Malformed text must end in JsonParseException and nothing else;
// a text that parses must read back as the same document.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzBook.h"
#include "velta/source/utility/JsonDoc.h"

namespace {

std::string write_out(const JsonValue& value)
{
    char* text = nullptr;
    size_t length = 0;
    FILE* file = open_memstream(&text, &length);
    FUZZ_CHECK(file != nullptr);
    value.output(file, 0);
    fclose(file);
    std::string out(text, length);
    free(text);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    JsonDoc doc;
    JsonValue* value = nullptr;
    try {
        value = doc.parse_json_text(text.c_str());
    } catch (const JsonParseException&) {
        return 0;
    }
    if (value == nullptr)
        return 0;
    std::string first = write_out(*value);
    JsonDoc again;
    JsonValue* reread = nullptr;
    try {
        reread = again.parse_json_text(first.c_str());
    } catch (const JsonParseException& e) {
        fprintf(stderr, "written document does not parse (line %d, column %d): %s\n%s\n", e.line(),
                e.column(), e.what(), first.c_str());
        abort();
    }
    FUZZ_CHECK(reread != nullptr);
    FUZZ_CHECK(write_out(*reread) == first);
    return 0;
}
