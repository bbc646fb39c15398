#include "source/mirp_protocol/MirpCipher.h"

#include "source/mirp_protocol/PlainCipher.h"

MirpCipher* mirp_create_cipher(unsigned char type, const unsigned char* param1,
                               const unsigned char* param2)
{
    if (type == '0')
        return new PlainCipher();
    return nullptr;
}
