#include "apps/korv_md_simulator/SimReplaySource.h"

#include "apps/korv_md_simulator/SimPublisher.h"

#ifdef KORV_HAVE_PCAP
#include "apps/korv_md_replay/PcapDatagramReader.h"
#endif

namespace KORV {
namespace SIM {

#ifdef KORV_HAVE_PCAP

SimReplaySource::SimReplaySource()
    : m_reader(new PcapDatagramReader()), m_at_end(false), m_pending(false), m_first_us(-1)
{
}

SimReplaySource::~SimReplaySource()
{
    delete m_reader;
}

int SimReplaySource::open(const std::string& path, std::string& error)
{
    if (m_reader->open(path) != 0) {
        error = m_reader->get_error();
        return -1;
    }
    return 0;
}

int SimReplaySource::publish_due(uint64_t elapsed_ms, SimPublisher& publisher, std::string& error)
{
    while (!m_at_end) {
        if (!m_pending) {
            int result = m_reader->next(m_next);
            if (result <= 0) {
                m_at_end = true;
                if (result < 0) {
                    error = m_reader->get_error();
                    return -1;
                }
                break;
            }
            m_pending = true;
            if (m_first_us < 0)
                m_first_us = m_next.time_us;
        }
        if (m_next.time_us - m_first_us > int64_t(elapsed_ms) * 1000)
            break;
        // One recorded datagram, one datagram on the group.
        publisher.flush();
        publisher.send(reinterpret_cast<const char*>(m_next.payload), m_next.length);
        publisher.flush();
        m_pending = false;
    }
    return 0;
}

#else

SimReplaySource::SimReplaySource()
    : m_reader(nullptr), m_at_end(true), m_pending(false), m_first_us(-1)
{
}

SimReplaySource::~SimReplaySource() = default;

int SimReplaySource::open(const std::string&, std::string& error)
{
    error = "--replay needs libpcap, which this build was made without";
    return -1;
}

int SimReplaySource::publish_due(uint64_t, SimPublisher&, std::string&)
{
    return 0;
}

#endif

}  // namespace SIM
}  // namespace KORV
