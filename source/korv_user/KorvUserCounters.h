// Public: live counters of the market data subscriber library, per topic and
// per multicast line, copied into plain structures on demand and, when asked
// for, written once a second to a text file that a metrics collector reads.
//
// Thread rules. The library keeps the counters on its event-loop thread in
// words that other threads may read. get_topic_counters and
// get_line_counters may be called from any thread, a handler included,
// without locking or waiting; on other threads than the configuring one
// only once configuration is over (after start), and never after close.
// Each value copied is one the loop held, but two values may be a few
// packets apart. set_counters_file is a configuration operation: same
// thread and time as those of KorvUserApi, before start (after it, -5).
// The file is written by a thread of the library's own, never by the
// event-loop thread, so writing it costs the market data path nothing and
// it keeps coming while a handler holds the loop.
#pragma once

#include <cstdint>

#include "KorvUserApi.h"

namespace BRAX {
namespace KORV_USER_API {

// Handler time buckets: bucket 0 counts deliveries under 1 µs, bucket i those
// from 2^(i-1) up to 2^i µs, the last one everything from 2^(N-2) µs on.
constexpr int KORV_HANDLER_TIME_BUCKETS = 16;

// One subscribed topic, over every line that carries it.
struct KorvTopicCounters {
    int TopicID;
    // Multicast lines that feed the topic.
    int LineCount;
    // 0 logging in, 1 live, 2 replaying what was cached, 3 snapshot query,
    // 4 gap query.
    int State;
    // Packets of the topic from the multicast, every line together.
    uint64_t Packets;
    // Packets of the topic carried by gap replies.
    uint64_t ReplyPackets;
    // Packets taken in order (their events applied, or heartbeats).
    uint64_t Applied;
    // Packets already taken or already waiting in the cache: with two lines
    // carrying the topic, about one in two.
    uint64_t Duplicates;
    // Holes found in the numbering (found again after a reply that did not
    // fill it, counted again).
    uint64_t Gaps;
    // Gap reply packets that were not there yet.
    uint64_t Recovered;
    uint64_t GapQueries;
    uint64_t SnapshotQueries;
    // Snapshots read whole and put in the book.
    uint64_t Snapshots;
    // Refused packets, by kind: numbered too far beyond the book, content
    // longer than a packet holds, not decipherable, events cut short, no
    // cipher known yet, cache full, cached but not explained by a snapshot,
    // a gap reply's packet outside the range asked for (or of another topic).
    uint64_t RefusedFarAhead;
    uint64_t RefusedContent;
    uint64_t RefusedDecrypt;
    uint64_t RefusedEvents;
    uint64_t RefusedNoCipher;
    uint64_t RefusedCacheFull;
    uint64_t RefusedBySnapshot;
    uint64_t RefusedReply;
    // Two copies of one packet number that differed (the query server's
    // copy is taken), and those that found a differing copy already applied
    // from the multicast, which costs a snapshot query.
    uint64_t CopiesDiffer;
    uint64_t ForgedApplied;
    // Packets waiting in the cache now.
    uint32_t CacheDepth;
    // The number of the last packet taken, and milliseconds since; -1 when
    // none was taken yet.
    uint32_t LastPacketNo;
    int64_t LastPacketAgeMs;
    // Calls of the handler, and the deliveries (runs of calls after one
    // commit) they came in, with the time each delivery held the loop.
    uint64_t HandlerCalls;
    uint64_t Deliveries;
    uint64_t HandlerTimeUs;
    uint64_t HandlerTime[KORV_HANDLER_TIME_BUCKETS];
};

// One multicast location, numbered from 0 in the order of reg_mirp_location.
struct KorvLineCounters {
    int Line;
    uint64_t Datagrams;
    uint64_t Bytes;
    // Whole MIRP packets cut from the datagrams, and those of them whose
    // topic is not subscribed.
    uint64_t Packets;
    uint64_t OtherTopicPackets;
    // Datagrams refused: a rest too short for a packet header, or a packet
    // whose content runs past the datagram's end.
    uint64_t RefusedNoHeader;
    uint64_t RefusedCutShort;
    // Receive errors that closed the group's channel (it is bound again a
    // second later).
    uint64_t ChannelErrors;
    // The number of the last packet of a subscribed topic on this line, and
    // milliseconds since; -1 when none came yet.
    uint32_t LastPacketNo;
    int64_t LastPacketAgeMs;
};

// Copies the counters of a subscribed topic: 0, -13 for a null argument,
// -15 when the topic is not subscribed or no location carries it.
int get_topic_counters(KorvUserApi* api, int topic_id, KorvTopicCounters* out);
// Copies the counters of a line: 0, -13 for a null argument, -15 when there
// is no such line (so a loop from 0 finds them all).
int get_line_counters(KorvUserApi* api, int line, KorvLineCounters* out);
// Writes every topic's and line's counters to path, in the text format of
// the Prometheus node exporter's text-file collector, from start on: at
// once, then once a second until close. Each time into a new temporary file
// beside it (path.tmp.XXXXXX, created under a name that did not exist, so a
// file or symbolic link planted there is never followed), then renamed over
// path, so that a reader never sees half a file. The topics are those
// subscribed when start is called.
// 0; -13 for a null argument or an empty path; -5 after start; -15 when no
// topic is subscribed yet; -3 when no file can be created in path's folder
// (missing, not a folder, or not writable). A later call before start moves
// the file to the new path. A write that fails later (a full disk) is
// reported once in the event log as "CountersError", and tried again each
// second.
int set_counters_file(KorvUserApi* api, const char* path);

}  // namespace KORV_USER_API
}  // namespace BRAX
