// Fuzz target: a location string through the chain of location parsers, as
// a client and as a server location, and through the tokenizer they share.
//
// The chain stops the process on a scheme nobody knows, which is a set-up
// error, not bad input to survive; so the input's first byte picks "tcp:" or
// "udpg:" and the rest of it follows that scheme.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzBook.h"
#include "velta/source/protocol/LocationTokenizer.h"
#include "velta/source/protocol/ProtocolStackKey.h"

namespace {

void check_push(int ret, const ProtocolStackKey& key)
{
    if (ret == 0) {
        FUZZ_CHECK(key.key_count() == 1);
        FUZZ_CHECK(key.get_key(0) != nullptr);
    } else {
        FUZZ_CHECK(ret < 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::string text = (data[0] & 1) != 0 ? "udpg:" : "tcp:";
    text.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    ProtocolStackKey client;
    check_push(client.push_client(text.c_str()), client);
    ProtocolStackKey server;
    check_push(server.push_server(text.c_str()), server);

    LocationTokenizer tokens(text.c_str());
    in_addr addr;
    unsigned short port;
    const char* token;
    while ((token = tokens.next(":@#/")) != nullptr) {
        parse_location_host(token, addr);
        parse_location_port(token, port);
    }
    return 0;
}
