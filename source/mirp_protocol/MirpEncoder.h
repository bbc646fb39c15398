// Internal: the sending side of MIRP for one topic.
//
// Packs instrument groups of event fields into MIRP packets, cutting the
// stream only at group boundaries, marks every packet of a sequence but the
// last with MIRP_FLAG_CONTINUE (the receiver commits only after the last),
// numbers the packets after the output stream's position, passes each body
// through the topic's cipher and writes the packets to the output stream.
//
// A sender calls prepare, then append_field for each field in body order (an
// instrument event header first in every group, then that instrument's
// events), then flush. Single-threaded: one encoder per topic, one thread.
#pragma once

#include <cstdint>

#include "source/mirp_protocol/MirpCipher.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "velta/source/base/Packet.h"
#include "velta/source/base/PacketBuffer.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/stream/OutputStream.h"

class MirpEncoder {
public:
    // The form of a codec's field_encode.
    typedef int (*FieldEncode)(void* out, int size, const void* record);

    // Takes ownership of the cipher; the output, which must not be null, is
    // closed by the destructor.
    MirpEncoder(unsigned short topic_id, MirpCipher* cipher, OutputStream<Packet>* output);
    virtual ~MirpEncoder();

    void set_trading_day(unsigned short day);
    void prepare(unsigned char type, unsigned int snap_no, const unsigned int& seconds,
                 unsigned short millisec);

    // Appends one field; record_size is the record's in-memory size. When the
    // body has no room, the complete groups before the current one go out
    // first as a packet with CONTINUE set. Results: 0; EC_INSUF_BUFFER when
    // the current group cannot fit one body (or no group header came since
    // the last packet): the whole group is dropped, up to the next group
    // header, and nothing is written; the encoder's or the output's error
    // when the packet ahead could not be written, with the body and the field
    // left as they were, so the call can be repeated.
    int append_field(unsigned short id, FieldEncode encode, const void* record, int record_size);

    // Ends the sequence: the body goes out with CONTINUE clear and SnapNo
    // counts one more sequence; then the output is flushed. An empty body
    // goes out only to end a sequence that has packets out already. On a
    // failed write the body is kept for another flush.
    int flush();

    // Emits one packet of the given body; 0 or the cipher's or output's error.
    int write_down(const PacketBuffer& body, bool last);

    const MirpHeader& header() const { return m_header; }

private:
    // Room kept in front of the body, so that the body's bytes sit where the
    // packet's would.
    static constexpr unsigned long BODY_HEADROOM = 256;

    OutputStream<Packet>* m_output;
    MirpCipher* m_cipher;
    PacketBufferExt<1464> m_buffer;
    MirpHeader m_header;
    // Body offset where the current group starts; 0 when no boundary is known
    // inside the body.
    uint64_t m_edge;
    // Set when a group did not fit: its remaining fields are dropped until
    // the next group header, so no packet carries part of it.
    bool m_dropping_group;
    // Set while packets of the sequence went out with CONTINUE and its last
    // packet did not.
    bool m_sequence_open;
};
