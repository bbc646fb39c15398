#include "source/korv_user/KorvUserCounters.h"

#include "source/korv_user/KorvUserCounterBlocks.h"
#include "source/korv_user/UserApiImpl.h"
#include "velta/source/base/ErrorCode.h"

using KORV::USER::counter_clock_ms;
using KORV::USER::HandlerCounters;
using KORV::USER::LineCounters;
using KORV::USER::SubscriberCounters;
using KORV::USER::UserApiImpl;

namespace BRAX {
namespace KORV_USER_API {

static_assert(KORV_HANDLER_TIME_BUCKETS == ::KORV::USER::HANDLER_TIME_BUCKETS,
              "the public histogram has the buckets the handler's counters keep");

namespace {

// Milliseconds since a stamp of counter_clock_ms, -1 for the unset stamp.
int64_t age_ms(uint64_t stamp)
{
    if (stamp == 0)
        return -1;
    uint64_t now = counter_clock_ms();
    return now > stamp ? int64_t(now - stamp) : 0;
}

}  // namespace

int get_topic_counters(KorvUserApi* api, int topic_id, KorvTopicCounters* out)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr || out == nullptr)
        return EC_PARAM;
    int line_count = 0;
    const SubscriberCounters* s = impl->find_subscriber_counters(topic_id, &line_count);
    const HandlerCounters* n = impl->find_handler_counters(topic_id);
    if (s == nullptr || n == nullptr)
        return EC_NOENT;
    *out = KorvTopicCounters();
    out->TopicID = uint16_t(topic_id);
    out->LineCount = line_count;
    out->State = int(s->state.get());
    out->Packets = s->packets.get();
    out->ReplyPackets = s->reply_packets.get();
    out->Applied = s->applied.get();
    out->Duplicates = s->duplicates.get();
    out->Gaps = s->gaps.get();
    out->Recovered = s->recovered.get();
    out->GapQueries = s->gap_queries.get();
    out->SnapshotQueries = s->snapshot_queries.get();
    out->Snapshots = s->snapshots.get();
    out->RefusedFarAhead = s->refused_far_ahead.get();
    out->RefusedContent = s->refused_content.get();
    out->RefusedDecrypt = s->refused_decrypt.get();
    out->RefusedEvents = s->refused_events.get();
    out->RefusedNoCipher = s->refused_no_cipher.get();
    out->RefusedCacheFull = s->refused_cache_full.get();
    out->RefusedBySnapshot = s->refused_by_snapshot.get();
    out->RefusedReply = s->refused_reply.get();
    out->CopiesDiffer = s->copies_differ.get();
    out->ForgedApplied = s->forged_applied.get();
    out->CacheDepth = uint32_t(s->cache_depth.get());
    out->LastPacketNo = uint32_t(s->packet_no.get());
    out->LastPacketAgeMs = age_ms(s->packet_no_ms.get());
    out->HandlerCalls = n->calls.get();
    out->Deliveries = n->deliveries.get();
    out->HandlerTimeUs = n->time_us.get();
    for (int i = 0; i < KORV_HANDLER_TIME_BUCKETS; ++i)
        out->HandlerTime[i] = n->time[i].get();
    return EC_NONE;
}

int get_line_counters(KorvUserApi* api, int line, KorvLineCounters* out)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr || out == nullptr)
        return EC_PARAM;
    const LineCounters* c = impl->find_line_counters(line);
    if (c == nullptr)
        return EC_NOENT;
    *out = KorvLineCounters();
    out->Line = line;
    out->Datagrams = c->datagrams.get();
    out->Bytes = c->bytes.get();
    out->Packets = c->packets.get();
    out->OtherTopicPackets = c->other_topic_packets.get();
    out->RefusedNoHeader = c->refused_no_header.get();
    out->RefusedCutShort = c->refused_cut_short.get();
    out->ChannelErrors = c->channel_errors.get();
    out->LastPacketNo = uint32_t(c->packet_no.get());
    out->LastPacketAgeMs = age_ms(c->packet_no_ms.get());
    return EC_NONE;
}

int set_counters_file(KorvUserApi* api, const char* path)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr)
        return EC_PARAM;
    return impl->set_counters_file(path);
}

}  // namespace KORV_USER_API
}  // namespace BRAX
