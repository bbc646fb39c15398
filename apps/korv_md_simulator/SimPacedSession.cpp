#include "apps/korv_md_simulator/SimPacedSession.h"

#include <algorithm>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/PacketBuffer.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"
#include "velta/source/task/TickCount.h"

namespace KORV {
namespace SIM {

namespace {

// The bucket holds this long's worth of bytes: enough to carry the rate over
// the loop's own pauses, too little to send a snapshot in one burst.
constexpr double BURST_MS = 10;
// At least one whole MDQP packet passes at once, whatever the rate.
constexpr double MIN_BURST = 2048;

}  // namespace

SimPacedSession::SimPacedSession(Reactor* reactor, Session* inner, double mbit_per_second)
    : m_inner(inner),
      m_bytes_per_ms(mbit_per_second * 1000000 / 8 / 1000),
      m_burst(std::max(MIN_BURST, m_bytes_per_ms * BURST_MS)),
      m_credit(m_burst),
      m_last_ms(get_tick_count64()),
      m_refill_scheduler(reactor->open_delay_scheduler(REFILL_MS)),
      m_refill_task(this)
{
}

SimPacedSession::~SimPacedSession()
{
    m_refill_task.cancel();
    m_waiting.clear();
    delete m_refill_scheduler;
    delete m_inner;
}

void SimPacedSession::refill()
{
    uint64_t now = get_tick_count64();
    m_credit = std::min(m_burst, m_credit + double(now - m_last_ms) * m_bytes_per_ms);
    m_last_ms = now;
}

int SimPacedSession::write(const PacketBuffer& buffer)
{
    refill();
    if (m_credit <= 0)
        return EC_WOULDBLOCK;
    int ret = m_inner->write(buffer);
    if (ret >= 0)
        m_credit -= double(buffer.length());
    return ret;
}

int SimPacedSession::schedule(Task* task)
{
    refill();
    if (m_credit > 0)
        return m_inner->schedule(task);
    m_waiting.push_back(task);
    if (!m_refill_task.in_queue())
        m_refill_scheduler->schedule(&m_refill_task);
    return EC_WOULDBLOCK;
}

void SimPacedSession::on_refill()
{
    refill();
    if (m_credit > 0)
        m_waiting.emit_all();
    else
        m_refill_scheduler->schedule(&m_refill_task);
}

ProtocolKey* SimPacedSession::get_protocol_key()
{
    return m_inner->get_protocol_key();
}

Protocol* SimPacedSession::get_protocol()
{
    return m_inner->get_protocol();
}

int SimPacedSession::find_protocol_key(ProtocolKeyBuffer& buffer)
{
    return m_inner->find_protocol_key(buffer);
}

}  // namespace SIM
}  // namespace KORV
