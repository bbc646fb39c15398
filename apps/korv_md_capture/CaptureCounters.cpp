#include "apps/korv_md_capture/CaptureCounters.h"

#include "source/mirp_protocol/MirpHeader.h"
#include "source/mirp_protocol/MirpPacket.h"

void CaptureCounters::count(const uint8_t* payload, size_t length)
{
    ++m_datagrams;
    m_bytes += length;
    Packet rest(reinterpret_cast<const char*>(payload), int(length));
    while (rest.length() > 0) {
        MirpPacket packet(rest);
        int size = packet.valid_packet();
        if (size <= 0) {
            ++m_malformed;
            return;
        }
        rest.pop(static_cast<unsigned long>(size));
        bool heartbeat = packet.type() == BRAX::KORV::MIRP_TYPE_Heartbeat;
        auto found = m_topics.find(packet.topic_id());
        Topic& topic = m_topics[packet.topic_id()];
        ++topic.packets;
        uint32_t no = packet.packet_no();
        if (found != m_topics.end()) {
            int32_t ahead = int32_t(no - topic.next_no);
            if (ahead < 0)
                continue;
            if (ahead > 0) {
                ++topic.gaps;
                topic.missing += uint64_t(ahead);
            }
        } else {
            topic.first_no = no;
        }
        topic.next_no = heartbeat ? no : no + 1;
    }
}

std::string CaptureCounters::line() const
{
    std::string text =
        "datagrams " + std::to_string(m_datagrams) + ", bytes " + std::to_string(m_bytes);
    if (m_malformed != 0)
        text += ", malformed " + std::to_string(m_malformed);
    for (const auto& entry : m_topics)
        text += ", topic " + std::to_string(entry.first) + " packets " +
                std::to_string(entry.second.packets) + " gaps " +
                std::to_string(entry.second.gaps) + " (missing " +
                std::to_string(entry.second.missing) + ")";
    return text;
}
