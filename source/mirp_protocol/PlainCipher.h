// Internal: the cipher that leaves bodies as they are. It has no state.
#pragma once

#include "source/mirp_protocol/MirpCipher.h"

class PlainCipher : public MirpCipher {
public:
    // Both copy in to out; -ENXIO (-6) and nothing written when out_len is
    // smaller than in_len.
    int encrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                unsigned long& out_len) override;
    int decrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                unsigned long& out_len) override;
};
