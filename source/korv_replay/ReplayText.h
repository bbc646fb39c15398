// Internal to the replay component: every text the replay says about a
// file or a topic, so that each message has one place.
#pragma once

#include <cstdint>
#include <string>

namespace replay_text {

inline std::string not_a_capture(const std::string& path, const std::string& why)
{
    return path + ": not a readable capture file (" + why + ")";
}

inline std::string damaged_capture(const std::string& path, const std::string& why)
{
    return path + ": damaged capture file (" + why + ")";
}

inline std::string no_query_side(const std::string& path, const std::string& note)
{
    return path + ": the file holds no query side (no login answer" +
           (note.empty() ? std::string() : ", capture says: " + note) +
           "); give --sim-market with the market options of a simulator run to replay it anyway";
}

inline std::string no_topic(const std::string& path)
{
    return path + ": the file holds no MIRP packet of the topics asked for";
}

inline std::string no_line(const std::string& path)
{
    return path + ": the file holds no datagram of the lines asked for";
}

inline std::string cannot_listen(const std::string& location)
{
    return "the file's query side cannot listen on " + location;
}

inline std::string no_login(const std::string& location, unsigned timeout_ms)
{
    return "no login and snapshot query through " + location + " within " +
           std::to_string(timeout_ms) + " ms";
}

inline std::string topic_no_snapshot(int topic_id)
{
    return "topic " + std::to_string(topic_id) +
           ": the file holds no snapshot of it: not replayed";
}

inline std::string topic_touched_by_loss(int topic_id)
{
    return "topic " + std::to_string(topic_id) +
           ": the capture lost a TCP segment of a query reply that concerned it: not replayed";
}

inline std::string topic_hole(int topic_id, uint32_t begin, uint32_t end)
{
    return "topic " + std::to_string(topic_id) + ": packets " + std::to_string(begin) + " to " +
           std::to_string(end - 1) +
           " are in no datagram and no gap reply of the file: its lines end at packet " +
           std::to_string(begin - 1);
}

inline std::string topic_not_settled(int topic_id, uint32_t packet_no)
{
    return "topic " + std::to_string(topic_id) + ": the replay ended with its book at packet " +
           std::to_string(packet_no) + ", short of what the file holds";
}

}  // namespace replay_text
