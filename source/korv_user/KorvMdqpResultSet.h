// Internal: the reply of one MDQP query, read packet body by packet body.
//
// The stub appends the body of every reply packet with the query's request
// id, the last one (without MDQP_FLAG_CONTINUE) marked as such. Each body
// wakes the parked reader, so a long reply (the snapshot of a large topic)
// is taken in while the server still sends the rest of it, instead of all
// at once at its end. Each read() yields exactly one packet body, one field
// list, in arrival order.
//
// Bodies wait in memory until read, so a reply whose unread part grows past
// MAX_RESULT_BYTES, or a body larger than one cache block, is refused: it
// never completes, and its reader gives up at its time-out and closes it.
//
// Reactor thread only. Created by the stub, owned by the reader, who ends it
// with close() while the stub still exists.
#pragma once

#include <deque>

#include "velta/source/base/CacheList.h"
#include "velta/source/base/Packet.h"
#include "velta/source/base/PacketBuffer.h"
#include "velta/source/stream/InputStream.h"
#include "velta/source/task/TaskQueue.h"

namespace KORV {
namespace USER {

class KorvUserMdqpStub;

class KorvMdqpResultSet : public InputStream<PacketBuffer> {
public:
    static constexpr int CACHE_BLOCK = 32768;
    // Room for the snapshot of the largest topic the book takes, 131072
    // instruments at full depth (about 150 MB).
    static constexpr int MAX_RESULT_BYTES = 256 * 1024 * 1024;

    KorvMdqpResultSet(KorvUserMdqpStub* stub, int request_id);
    ~KorvMdqpResultSet() override;

    // 0 when a body waits or the reply is complete; otherwise the task
    // waits for the next body: -1.
    int schedule(Task* task) override;
    long seek(long offset, int whence) override;
    long tell() override;
    // -1 when every body so far was read and more are to come, -19 when the
    // last was read, -6 (nothing consumed) when out's tailroom is short of
    // the next body; otherwise appends the next body to out and returns 0.
    int read(PacketBuffer& out) override;
    // Destroys the set through its stub.
    int close() override;

    // Keeps a copy of the body, completes the reply with the last one, and
    // wakes the reader, who may close the set before this returns: 0,
    // EC_INSUF_BUFFER when the reply grows too large (once; the set then
    // never completes), EC_DISCARD for every body after that.
    int append(const Packet& body, bool last);

    int request_id() const { return m_request_id; }

private:
    KorvUserMdqpStub* m_stub;
    int m_request_id;
    bool m_complete;
    bool m_refused;
    long m_held_bytes;
    std::deque<Packet> m_packets;
    CacheList m_cache;
    TaskQueue m_readers;
};

}  // namespace USER
}  // namespace KORV
