#include "apps/korv_md_simulator/SimPublisher.h"

#include "velta/source/base/PacketBuffer.h"
#include "velta/source/protocol/Session.h"

namespace KORV {
namespace SIM {

namespace {

bool happens(SimRandom& random, double fraction)
{
    // Decided in millionths, so the outcome does not depend on floating point
    // details of the random source.
    return fraction > 0 && random.below(1000000) < uint32_t(fraction * 1000000);
}

}  // namespace

SimPublisher::SimPublisher(Session* session, int datagram_size, const SimFaults& faults,
                           uint64_t seed)
    : m_session(session),
      m_datagram_size(size_t(datagram_size)),
      m_faults(faults),
      m_random(seed ^ 0x5EED0F4A17ULL),
      m_burst_left(0)
{
}

SimPublisher::~SimPublisher()
{
    delete m_session;
}

void SimPublisher::send(const char* packet, unsigned long length)
{
    if (!m_datagram.empty() && m_datagram.size() + length > m_datagram_size)
        flush();
    m_datagram.append(packet, length);
    ++m_counters.packets;
}

void SimPublisher::flush()
{
    if (m_datagram.empty())
        return;
    std::string datagram;
    datagram.swap(m_datagram);
    ++m_counters.datagrams;
    if (m_burst_left > 0) {
        --m_burst_left;
        ++m_counters.dropped;
        return;
    }
    if (happens(m_random, m_faults.drop_fraction)) {
        ++m_counters.dropped;
        return;
    }
    // Cut anywhere inside, so that the last packet's length field lies.
    if (datagram.size() > 1 && happens(m_random, m_faults.truncate_fraction)) {
        datagram.resize(1 + m_random.below(uint32_t(datagram.size() - 1)));
        ++m_counters.truncated;
    }
    emit(datagram);
    if (happens(m_random, m_faults.duplicate_fraction)) {
        ++m_counters.duplicated;
        emit(datagram);
    }
}

void SimPublisher::finish()
{
    flush();
    for (const auto& held : m_delayed)
        pass(held.second);
    m_delayed.clear();
    release_window();
}

void SimPublisher::emit(const std::string& datagram)
{
    if (happens(m_random, m_faults.delay_fraction)) {
        ++m_counters.delayed;
        m_delayed.emplace_back(DELAY_SPAN, datagram);
        return;
    }
    pass(datagram);
    std::vector<std::string> due;
    for (auto held = m_delayed.begin(); held != m_delayed.end();) {
        if (--held->first > 0) {
            ++held;
            continue;
        }
        due.push_back(held->second);
        held = m_delayed.erase(held);
    }
    for (const std::string& late : due)
        pass(late);
}

void SimPublisher::pass(const std::string& datagram)
{
    if (m_faults.reorder_window <= 1)
        return write_socket(datagram);
    m_window.push_back(datagram);
    if (int(m_window.size()) >= m_faults.reorder_window)
        release_window();
}

void SimPublisher::release_window()
{
    for (size_t i = m_window.size(); i > 1; --i)
        std::swap(m_window[i - 1], m_window[m_random.below(uint32_t(i))]);
    for (const std::string& datagram : m_window)
        write_socket(datagram);
    m_window.clear();
}

void SimPublisher::write_socket(const std::string& datagram)
{
    PacketBuffer buffer(const_cast<char*>(datagram.data()), datagram.size());
    buffer.init(const_cast<char*>(datagram.data()), datagram.size(), 0, datagram.size());
    if (m_session->write(buffer) == 0)
        ++m_counters.sent;
    else
        ++m_counters.send_failures;
}

}  // namespace SIM
}  // namespace KORV
