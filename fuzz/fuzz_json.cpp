// Fuzz target: a JSON text parsed into a document, written out and the
// written text parsed again. Malformed text must end in JsonParseException
// and nothing else. The writer neither escapes strings nor avoids exponents,
// which the parser does not read, so the written text need not parse back
// to the same document; it must only be handled as safely as any input.
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
    std::string written = write_out(*value);
    JsonDoc again;
    try {
        JsonValue* reread = again.parse_json_text(written.c_str());
        if (reread != nullptr)
            write_out(*reread);
    } catch (const JsonParseException&) {
    }
    return 0;
}
