#include "source/korv_replay/ReplaySummary.h"

#include <time.h>

#include <cstdio>
#include <iterator>

#include "source/korv_replay/ReplayCapture.h"

namespace {

// Ranges shown per line; the rest are counted.
constexpr size_t SHOWN_RANGES = 8;

std::string time_text(int64_t ns)
{
    time_t seconds = time_t(ns / 1000000000);
    tm parts;
    gmtime_r(&seconds, &parts);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    snprintf(text + n, sizeof text - n, ".%09lld UTC", (long long)(ns % 1000000000));
    return text;
}

std::string range_text(uint32_t first, uint32_t end)
{
    return end - first == 1 ? std::to_string(first)
                            : std::to_string(first) + "-" + std::to_string(end - 1);
}

std::string ranges_text(const PacketRanges& ranges)
{
    std::string packets;
    std::string holes;
    size_t shown = 0;
    size_t hole_count = 0;
    const auto& all = ranges.get();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (shown < SHOWN_RANGES)
            packets += (shown == 0 ? "" : ", ") + range_text(it->first, it->second);
        ++shown;
        auto next = std::next(it);
        if (next != all.end()) {
            if (hole_count < SHOWN_RANGES)
                holes += (hole_count == 0 ? "" : ", ") + range_text(it->second, next->first);
            ++hole_count;
        }
    }
    if (shown > SHOWN_RANGES)
        packets += ", ... (" + std::to_string(shown) + " ranges)";
    if (hole_count > SHOWN_RANGES)
        holes += ", ... (" + std::to_string(hole_count) + " holes)";
    return "packets " + packets + (hole_count == 0 ? ", no hole" : "; holes " + holes);
}

}  // namespace

std::string replay_summary(const ReplayCapture& capture)
{
    std::string out = "file " + capture.get_name();
    if (capture.is_truncated())
        out += " (cut short: read up to its last whole record)";
    if (!capture.get_error_after_load().empty())
        out += " (" + capture.get_error_after_load() + ": read up to there)";
    out += "\n";
    const auto& datagrams = capture.get_datagrams();
    // Unsigned: the times of a damaged file may lie anywhere.
    uint64_t span = uint64_t(capture.get_last_ns()) - uint64_t(capture.get_first_ns());
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", double(span) / 1e9);
    out += "time " + time_text(capture.get_first_ns()) + " to " + time_text(capture.get_last_ns()) +
           " (" + seconds + " s)\n";
    out += "query side: ";
    if (capture.has_query_side())
        out += "recorded (" + std::to_string(capture.get_query_sessions()) +
               " session(s), login answer held";
    else
        out += "not recorded (no login answer";
    if (!capture.get_query_note().empty())
        out += "; the capture says " + capture.get_query_note();
    if (capture.get_lost_sessions() != 0)
        out += "; " + std::to_string(capture.get_lost_sessions()) +
               " session direction(s) lost a segment";
    out += ")\n";
    std::vector<uint64_t> per_line(capture.get_lines().size());
    for (const ReplayDatagram& datagram : datagrams)
        ++per_line[size_t(datagram.line)];
    out += "lines " + std::to_string(capture.get_lines().size()) + ", datagrams " +
           std::to_string(datagrams.size()) + "\n";
    for (size_t i = 0; i < capture.get_lines().size(); ++i) {
        const ReplayLine& line = capture.get_lines()[i];
        out += "  line " + std::to_string(i) + " " + line.name + ": datagrams " +
               std::to_string(per_line[i]);
        if (line.drops >= 0)
            out += ", kernel drops " + std::to_string(line.drops);
        out += "\n";
    }
    bool all_whole = true;
    out += "topics " + std::to_string(capture.get_topics().size()) + "\n";
    for (const auto& entry : capture.get_topics()) {
        int topic_id = entry.first;
        const ReplayCapture::Topic& topic = entry.second;
        out += "  topic " + std::to_string(topic_id) + "\n";
        for (const auto& line : topic.lines)
            out += "    line " + std::to_string(line.first) + ": " + ranges_text(line.second) +
                   "\n";
        std::string snapshots;
        size_t snapshot_count = 0;
        for (const ReplaySnapshot& snapshot : capture.get_snapshots()) {
            if (snapshot.topic_id != topic_id)
                continue;
            if (snapshot_count++ < SHOWN_RANGES)
                snapshots += (snapshots.empty() ? " at packet " : ", ") +
                             std::to_string(snapshot.packet_no) + " (" +
                             time_text(snapshot.time_ns) + ")";
        }
        out += "    snapshots " + std::to_string(snapshot_count) + snapshots + "\n";
        out += "    gap replies " + std::to_string(topic.gap_replies);
        if (!topic.replied.empty())
            out += " with " + ranges_text(topic.replied);
        out += "\n";
        ReplayTopicPlan plan = capture.plan(topic_id);
        std::string verdict;
        if (!plan.has_snapshot)
            verdict = "does not replay: no snapshot";
        else if (plan.touched_by_loss)
            verdict = "does not replay: a query reply of it lost a TCP segment";
        else if (plan.has_hole())
            verdict = "replays from packet " + std::to_string(plan.snapshot_packet_no + 1) +
                      " up to a hole nothing covers at " +
                      range_text(plan.hole_begin, plan.hole_end);
        else
            verdict = "replays without holes from packet " +
                      std::to_string(plan.snapshot_packet_no + 1) + " to " +
                      std::to_string(plan.last_packet_no);
        all_whole = all_whole && plan.vouched();
        out += "    " + verdict + "\n";
    }
    out += "frames skipped " + std::to_string(capture.get_skipped_frames()) +
           ", fragmented datagrams reassembled " + std::to_string(capture.get_reassembled()) +
           ", left incomplete " + std::to_string(capture.get_incomplete_fragments()) + "\n";
    out += std::string("replays without holes: ") +
           (all_whole && capture.has_query_side() && !capture.get_topics().empty() ? "yes"
                                                                                    : "no") +
           "\n";
    return out;
}
