#include "source/korv_user/HashMap.h"

namespace KORV {
namespace USER {

const uint32_t g_hash_primes[28] = {
    53,        97,        193,       389,       769,        1543,       3079,
    6151,      12289,     24593,     49157,     98317,      196613,     393241,
    786433,    1572869,   3145739,   6291469,   12582917,   25165843,   50331653,
    100663319, 201326611, 402653189, 805306457, 1610612741, 3221225473, 4294967291};

uint64_t hash_string(uint64_t seed, const char* s)
{
    if (s == nullptr || *s == '\0')
        return seed;
    uint64_t h = seed;
    uint64_t m = 256;
    for (; *s != '\0'; ++s) {
        uint64_t v = uint64_t(int64_t(int8_t(*s))) | m;
        m += 256;
        uint64_t r = (v ^ (v >> 2)) & 15;
        h = ((h << r) | (h >> (32 - r))) & 0xFFFFFFFF;
        h ^= v * v;
    }
    return h ^ (h >> 16);
}

}  // namespace USER
}  // namespace KORV
