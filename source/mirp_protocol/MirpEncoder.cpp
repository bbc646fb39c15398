#include "source/mirp_protocol/MirpEncoder.h"

#include <cstdio>
#include <cstring>

#include "source/mirp_protocol/MirpFieldCodec.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Fatal.h"

MirpEncoder::MirpEncoder(unsigned short topic_id, MirpCipher* cipher, OutputStream<Packet>* output)
    : m_output(output), m_cipher(cipher), m_edge(0), m_dropping_group(false), m_sequence_open(false)
{
    // Refused here rather than at the first packet, far from the mistake.
    VELTA_ASSERT(output != nullptr);
    m_header.init();
    m_header.TopicID = topic_id;
    m_buffer.reset(BODY_HEADROOM);
}

MirpEncoder::~MirpEncoder()
{
    delete m_cipher;
    m_output->close();
}

void MirpEncoder::set_trading_day(unsigned short day)
{
    m_header.TradingDay = day;
}

void MirpEncoder::prepare(unsigned char type, unsigned int snap_no, const unsigned int& seconds,
                          unsigned short millisec)
{
    m_header.TransId = type;
    m_header.SnapNo = static_cast<int32_t>(snap_no);
    m_header.SnapSeconds = seconds;
    m_header.SnapMillisec = millisec;
}

int MirpEncoder::append_field(unsigned short id, FieldEncode encode, const void* record,
                              int record_size)
{
    if (id == BRAX::KORV::MIRP_FID_InstrumentEventHeader) {
        m_edge = m_buffer.length();
        m_dropping_group = false;
    } else if (m_dropping_group) {
        return EC_INSUF_BUFFER;
    }
    // The field's bound plus its header: room for the longest content.
    unsigned long need = static_cast<unsigned long>(record_size + record_size / 4);
    need += MIRP_FIELD_HLEN;
    while (m_buffer.tail_size() < need) {
        if (m_edge == 0) {
            // No complete group lies ahead of the current one, which alone
            // outgrows a body (or no group header came). Sending the part
            // that fits would split it, so the group is dropped.
            // The RuntimeError line without ending the process: a sender that
            // ships an oversized group loses that group, not its other topics.
            runtime_error_report(
                "last instrument edge error, missing InstrumentEventHeader or too many event of a "
                "instrument",
                __LINE__, __FILE__);
            m_buffer.reset(BODY_HEADROOM);
            m_dropping_group = true;
            return EC_INSUF_BUFFER;
        }
        PacketBuffer groups = m_buffer;
        groups.truncate(m_edge);
        int ret = write_down(groups, false);
        if (ret != EC_NONE)
            return ret;
        m_buffer.pop(groups.length());
        m_buffer.move_data(BODY_HEADROOM);
    }
    char* field = m_buffer.tail();
    int size = encode(field + MIRP_FIELD_HLEN,
                      static_cast<int>(m_buffer.tail_size() - MIRP_FIELD_HLEN), record);
    if (size < 0)
        return size;
    MirpFieldHeader header = {id, static_cast<uint16_t>(size)};
    memcpy(field, &header, MIRP_FIELD_HLEN);
    m_buffer.extend(static_cast<unsigned long>(size) + MIRP_FIELD_HLEN);
    return EC_NONE;
}

int MirpEncoder::write_down(const PacketBuffer& body, bool last)
{
    if (body.length() > 0 && m_cipher == nullptr)
        return EC_INVAL;
    m_header.Flag = 0;
    m_header.ContentLength = static_cast<uint16_t>(body.length());
    m_header.PacketNo = static_cast<uint32_t>(m_output->tell() + 1);
    if (!last)
        m_header.Flag = MIRP_FLAG_CONTINUE;

    PacketBufferExt<1488> packet;
    packet.reset(BODY_HEADROOM);
    if (body.length() > 0) {
        unsigned long written = packet.tail_size();
        int ret =
            m_cipher->encrypt(reinterpret_cast<const unsigned char*>(body.data()), body.length(),
                              reinterpret_cast<unsigned char*>(packet.tail()), written);
        if (ret != EC_NONE)
            return ret;
        packet.extend(written);
        m_header.ContentLength = static_cast<uint16_t>(written);
    }
    memcpy(packet.alloc(MIRP_HLEN), &m_header, MIRP_HLEN);

    int ret = m_output->write(packet);
    if (ret != EC_NONE)
        return ret;
    if (last)
        m_header.SnapNo += 1;
    m_sequence_open = !last;
    m_edge = 0;
    return EC_NONE;
}

// A sequence whose earlier packets went out with CONTINUE set is ended even
// when its body is now empty (its last group was dropped): the receiver
// commits those packets only on a packet without the flag.
int MirpEncoder::flush()
{
    if (m_buffer.length() > 0 || m_sequence_open) {
        int ret = write_down(m_buffer, true);
        if (ret != EC_NONE)
            return ret;
    }
    int ret = m_output->flush();
    m_buffer.reset(BODY_HEADROOM);
    m_edge = 0;
    m_dropping_group = false;
    return ret;
}
