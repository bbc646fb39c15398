// Internal: the blocks of live counters that the layers of the library write
// as they work, one block per object: a topic subscriber's, a multicast
// line's, a handler's. This header is a leaf: the layers include it and
// nothing above them; what reads the blocks (the public read functions, the
// counters file) sits on top and reaches them through the API object.
//
// Every cell is written on the reactor thread alone and may be read from any
// thread (see KorvUserCounterCell.h).
#pragma once

#include "source/korv_user/KorvUserCounterCell.h"

namespace KORV {
namespace USER {

// Buckets of the time a delivery held the loop: bucket 0 counts deliveries
// under 1 us, bucket i those from 2^(i-1) up to 2^i us, the last one
// everything from 2^(N-2) us on.
constexpr int HANDLER_TIME_BUCKETS = 16;

// What one topic's subscriber did, over every line that feeds it.
struct SubscriberCounters {
    CounterCell packets, reply_packets, applied, duplicates, gaps, recovered;
    CounterCell gap_queries, snapshot_queries, snapshots;
    CounterCell refused_far_ahead, refused_content, refused_decrypt, refused_events,
        refused_no_cipher, refused_cache_full, refused_by_snapshot;
    // Gap reply packets numbered outside the range asked for, or of
    // another topic.
    CounterCell refused_reply;
    // Two copies of one packet number that differ (the later one is the
    // query server's, or both came by multicast), and those of them that
    // found a forged packet already applied.
    CounterCell copies_differ, forged_applied;
    CounterCell state, cache_depth;
    // The book's packet number and when it last moved (counter_clock_ms);
    // the time stays 0 until it first moves.
    CounterCell packet_no, packet_no_ms;
};

// What came on one multicast location.
struct LineCounters {
    CounterCell datagrams, bytes, packets, other_topic_packets;
    CounterCell refused_no_header, refused_cut_short, channel_errors;
    // The last packet number of a subscribed topic and when it came
    // (counter_clock_ms); the time stays 0 until one comes.
    CounterCell packet_no, packet_no_ms;
};

// The calls of one topic's handler and the time they held the loop.
struct HandlerCounters {
    CounterCell calls, deliveries, time_us;
    CounterCell time[HANDLER_TIME_BUCKETS];
};

}  // namespace USER
}  // namespace KORV
