// Internal: the keys of several protocol layers in one key, lowest layer first.
//
// Layout (172 bytes of key, padded to 176 by the 8-byte alignment):
//   | header 8 | offsets 7 x 4 | count 4 | data area 128 | used 4 |
// Each pushed key starts at a multiple of 8 inside the data area, which
// itself starts 40 bytes into the key, so a pushed key with 64-bit fields is
// read in place.
#pragma once

#include <cstdint>

#include "velta/source/protocol/ProtocolKey.h"

class alignas(8) ProtocolStackKey : public ProtocolKey {
public:
    static constexpr int MAX_KEYS = 7;
    static constexpr unsigned DATA_SIZE = 128;
    static constexpr int KEY_LENGTH = 172;

    ProtocolStackKey();

    // -ENXIO when seven keys are held or the key does not fit the free space.
    int push(const ProtocolKey& key);
    // The i-th key from the bottom, or null outside 0 .. count - 1.
    const ProtocolKey* get_key(int i) const;
    int key_count() const { return m_key_count; }

    // Parse a location with the chain of location parsers and push its key.
    // A location of no known scheme stops the process.
    int push_server(const char* location);
    int push_client(const char* location);

private:
    uint32_t m_offsets[MAX_KEYS];
    int m_key_count;
    alignas(8) char m_data[DATA_SIZE];
    uint32_t m_used;
};

static_assert(sizeof(ProtocolKey) == 8, "key header is id and length");
static_assert(sizeof(ProtocolStackKey) == 176, "stack key is 172 bytes padded to 8");
static_assert(alignof(ProtocolStackKey) == 8, "pushed keys need 8-byte alignment");
static_assert(PROTOCOL_KEY_MAX_LENGTH >= static_cast<int>(sizeof(ProtocolStackKey)),
              "a key buffer holds a stack key");
