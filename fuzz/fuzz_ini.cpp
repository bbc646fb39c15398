// Fuzz target: an INI-style file read into a configuration store, then
// every key of its lines looked up. The reader takes a path, so the input is
// written to a temporary file first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzBook.h"
#include "velta/source/utility/Config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::string path = [] {
        char name[] = "/tmp/fuzz_ini_XXXXXX";
        int fd = mkstemp(name);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        return std::string(name);
    }();
    FILE* file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    fwrite(data, 1, size, file);
    fclose(file);

    Config config;
    FUZZ_CHECK(parse_ini_file(path.c_str(), config) == 0);
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq);
        const ConfigItem& item = config[key.c_str()];
        if (item.as_string() != nullptr)
            item.as_int();
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
