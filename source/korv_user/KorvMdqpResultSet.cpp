#include "source/korv_user/KorvMdqpResultSet.h"

#include <stdexcept>

#include "source/korv_user/KorvUserMdqpStub.h"
#include "velta/source/base/ErrorCode.h"

namespace KORV {
namespace USER {

KorvMdqpResultSet::KorvMdqpResultSet(KorvUserMdqpStub* stub, int request_id)
    : m_stub(stub),
      m_request_id(request_id),
      m_complete(false),
      m_refused(false),
      m_held_bytes(0),
      m_cache(CACHE_BLOCK)
{
}

KorvMdqpResultSet::~KorvMdqpResultSet() = default;

int KorvMdqpResultSet::schedule(Task* task)
{
    if (m_complete || !m_packets.empty())
        return EC_NONE;
    m_readers.push_back(task);
    return EC_WOULDBLOCK;
}

long KorvMdqpResultSet::seek(long, int)
{
    throw std::logic_error("The method or operation is not implemented.");
}

long KorvMdqpResultSet::tell()
{
    throw std::logic_error("The method or operation is not implemented.");
}

int KorvMdqpResultSet::read(PacketBuffer& out)
{
    if (m_packets.empty())
        return m_complete ? EC_CLOSED : EC_WOULDBLOCK;
    const Packet& body = m_packets.front();
    if (out.tail_size() < body.length())
        return EC_INSUF_BUFFER;
    out.append(body.data(), body.length());
    m_cache.pop_front(static_cast<int>(body.length()));
    m_held_bytes -= static_cast<long>(body.length());
    m_packets.pop_front();
    return EC_NONE;
}

int KorvMdqpResultSet::close()
{
    m_stub->close_request(static_cast<unsigned>(m_request_id));
    return EC_NONE;
}

int KorvMdqpResultSet::append(const Packet& body, bool last)
{
    // Nothing belongs to a refused reply, nor to one already complete.
    if (m_refused || m_complete)
        return EC_DISCARD;
    long length = static_cast<long>(body.length());
    if (length > CACHE_BLOCK || m_held_bytes + length > MAX_RESULT_BYTES) {
        m_refused = true;
        return EC_INSUF_BUFFER;
    }
    char* copy = m_cache.push_back(body.data(), static_cast<int>(length));
    m_held_bytes += length;
    m_packets.emplace_back(copy, static_cast<int>(length));
    m_complete = last;
    m_readers.emit_all();  // the set may be gone after this
    return EC_NONE;
}

}  // namespace USER
}  // namespace KORV
