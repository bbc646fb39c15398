// Internal: the cipher every MIRP body passes through, and its factory.
//
// On entry out_len is the capacity of out; on success it is the number of
// bytes written and the result is 0. A cipher is owned by one subscriber or
// encoder and used on its thread.
#pragma once

class MirpCipher {
public:
    virtual int encrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                        unsigned long& out_len) = 0;
    virtual int decrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                        unsigned long& out_len) = 0;
    virtual ~MirpCipher() {}
};

// The cipher of a topic's CipherType, owned by the caller: '0' is the plain
// cipher; any other type gives null, and bodies must then not be deciphered.
// The parameter blocks are for ciphers with keys; the plain one ignores them.
MirpCipher* mirp_create_cipher(unsigned char type, const unsigned char* param1,
                               const unsigned char* param2);
