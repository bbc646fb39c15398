#include "source/korv_capture/CaptureLine.h"

#include "source/mirp_protocol/MirpHeader.h"
#include "source/mirp_protocol/MirpPacket.h"

bool CaptureLine::count(const uint8_t* payload, size_t length, std::vector<Hole>& holes,
                        std::vector<uint16_t>& new_topics)
{
    Packet rest(reinterpret_cast<const char*>(payload), int(length));
    while (rest.length() > 0) {
        MirpPacket packet(rest);
        int size = packet.valid_packet();
        if (size <= 0) {
            ++m_malformed;
            return false;
        }
        rest.pop(static_cast<unsigned long>(size));
        bool heartbeat = packet.type() == BRAX::KORV::MIRP_TYPE_Heartbeat;
        uint16_t id = packet.topic_id();
        uint32_t no = packet.packet_no();
        auto found = m_topics.find(id);
        Topic& topic = m_topics[id];
        ++topic.packets;
        if (found == m_topics.end()) {
            topic.first_no = no;
            new_topics.push_back(id);
        } else {
            int32_t ahead = int32_t(no - topic.next_no);
            if (ahead < 0)
                continue;
            if (ahead > 0) {
                ++topic.gaps;
                topic.missing += uint64_t(ahead);
                holes.push_back(Hole{id, topic.next_no, no});
            }
        }
        topic.next_no = heartbeat ? no : no + 1;
    }
    return true;
}
