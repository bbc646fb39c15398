#include "apps/korv_md_simulator/SimPacketHistory.h"

namespace KORV {
namespace SIM {

void SimPacketHistory::add(uint32_t packet_no, const char* data, unsigned long length)
{
    if (m_packets.empty())
        m_first_no = packet_no;
    m_packets.emplace_back(data, length);
    if (m_packets.size() > m_capacity) {
        m_packets.pop_front();
        ++m_first_no;
    }
}

const std::string* SimPacketHistory::find(uint32_t packet_no) const
{
    int64_t index = int32_t(packet_no - m_first_no);
    if (index < 0 || uint64_t(index) >= m_packets.size())
        return nullptr;
    return &m_packets[size_t(index)];
}

}  // namespace SIM
}  // namespace KORV
