#include "apps/korv_md_simulator/SimReplaySource.h"

#include "apps/korv_md_simulator/SimPublisher.h"

namespace KORV {
namespace SIM {

int SimReplaySource::open(const std::string& path, double speed, int rounds, std::string& error)
{
    if (m_capture.load(path, error) != 0)
        return -1;
    if (m_capture.get_datagrams().empty()) {
        error = path + ": the file holds no multicast datagram to publish";
        return -1;
    }
    m_speed = speed;
    m_rounds_wanted = rounds;
    return 0;
}

void SimReplaySource::publish_due(uint64_t elapsed_ms, SimPublisher& publisher)
{
    const std::vector<ReplayDatagram>& datagrams = m_capture.get_datagrams();
    const int64_t first_ns = datagrams.front().time_ns;
    while (!m_at_end) {
        if (m_next == datagrams.size()) {
            if (++m_rounds == m_rounds_wanted) {
                m_at_end = true;
                break;
            }
            // The next round starts after the last datagram's time.
            m_round_ms = elapsed_ms;
            m_next = 0;
        }
        const ReplayDatagram& datagram = datagrams[m_next];
        double due_ms = double(datagram.time_ns - first_ns) / 1e6 / m_speed;
        if (due_ms > double(elapsed_ms - m_round_ms))
            break;
        // One recorded datagram, one datagram on the group.
        publisher.flush();
        publisher.send(reinterpret_cast<const char*>(m_capture.payload(datagram)), datagram.length);
        publisher.flush();
        ++m_next;
    }
}

}  // namespace SIM
}  // namespace KORV
