#include "source/mdqp_protocol/MdqpHeader.h"

void MdqpHeader::to_stream(char* out) const
{
    out[0] = static_cast<char>(version | (flag << 4));
    out[1] = static_cast<char>(trans_id);
    out[2] = static_cast<char>(content_length & 0xff);
    out[3] = static_cast<char>(content_length >> 8);
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<char>((request_id >> (8 * i)) & 0xff);
}

void MdqpHeader::from_stream(const char* in)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    version = p[0] & 0x0f;
    flag = p[0] >> 4;
    trans_id = p[1];
    content_length = static_cast<uint16_t>(p[2] | (p[3] << 8));
    request_id = 0;
    for (int i = 0; i < 4; ++i)
        request_id |= static_cast<uint32_t>(p[4 + i]) << (8 * i);
}
