#include "source/mirp_protocol/PlainCipher.h"

#include <cstring>

#include "velta/source/base/ErrorCode.h"

namespace {

int copy_through(const unsigned char* in, unsigned long in_len, unsigned char* out,
                 unsigned long& out_len)
{
    if (out_len < in_len)
        return EC_INSUF_BUFFER;
    if (in_len > 0)
        memcpy(out, in, in_len);
    out_len = in_len;
    return EC_NONE;
}

}  // namespace

int PlainCipher::encrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                         unsigned long& out_len)
{
    return copy_through(in, in_len, out, out_len);
}

int PlainCipher::decrypt(const unsigned char* in, unsigned long in_len, unsigned char* out,
                         unsigned long& out_len)
{
    return copy_through(in, in_len, out, out_len);
}
