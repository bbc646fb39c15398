#include "source/mirp_protocol/MirpPacket.h"

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"

int MirpPacket::valid_packet()
{
    if (length() < static_cast<unsigned long>(MIRP_HLEN))
        return EC_WOULDBLOCK;
    memcpy(&m_header, data(), MIRP_HLEN);
    unsigned long body = length() - MIRP_HLEN;
    if (m_header.ContentLength > body) {
        if (check_use_log(USE_LOG_MIRP_LENGTH))
            log_output(g_defalut_log_handle, 6,
                       "KORV Push packet length inconsistent: TransId=%08x,Length()-MIRP_HLEN=%d "
                       "m_header.ContentLength=%d\n",
                       static_cast<unsigned>(m_header.TransId), static_cast<int>(body),
                       static_cast<int>(m_header.ContentLength));
        return EC_FORMAT;
    }
    pop(MIRP_HLEN);
    set_length(m_header.ContentLength);
    return MIRP_HLEN + m_header.ContentLength;
}
