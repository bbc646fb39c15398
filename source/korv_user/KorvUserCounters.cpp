#include "source/korv_user/KorvUserCounters.h"

#include <memory>

#include "source/korv_user/KorvUserCountersFile.h"
#include "source/korv_user/KorvUserMirpDemuxer.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/korv_user/UserApiImpl.h"
#include "velta/source/base/ErrorCode.h"

using KORV::USER::counter_clock_ms;
using KORV::USER::KorvUserCountersFile;
using KORV::USER::KorvUserMirpDemuxer;
using KORV::USER::KorvUserSubscriber;
using KORV::USER::UserApiImpl;

namespace BRAX {
namespace KORV_USER_API {

namespace {

// Milliseconds since a stamp of counter_clock_ms, -1 for the unset stamp.
int64_t age_ms(uint64_t stamp)
{
    if (stamp == 0)
        return -1;
    uint64_t now = counter_clock_ms();
    return now > stamp ? int64_t(now - stamp) : 0;
}

// The notifier of the topic as the packets number it, so that 65543 finds 7
// the way subscribe_topic matches them.
KorvUserTopicNotifier* find_notifier(const UserApiImpl& impl, int topic_id)
{
    for (const auto& entry : impl.get_notifiers())
        if (uint16_t(entry.first) == uint16_t(topic_id))
            return entry.second;
    return nullptr;
}

}  // namespace

int get_topic_counters(KorvUserApi* api, int topic_id, KorvTopicCounters* out)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr || out == nullptr)
        return EC_PARAM;
    KorvUserTopicNotifier* notifier = find_notifier(*impl, topic_id);
    KorvUserSubscriber* subscriber = nullptr;
    for (KorvUserMirpDemuxer* demuxer : impl->get_demuxers()) {
        subscriber = demuxer->find_subscriber(uint16_t(topic_id));
        if (subscriber != nullptr)
            break;
    }
    if (notifier == nullptr || subscriber == nullptr)
        return EC_NOENT;
    const KorvUserSubscriber::Counters& s = subscriber->get_counters();
    *out = KorvTopicCounters();
    out->TopicID = uint16_t(topic_id);
    out->LineCount = subscriber->get_line_count();
    out->State = int(s.state.get());
    out->Packets = s.packets.get();
    out->ReplyPackets = s.reply_packets.get();
    out->Applied = s.applied.get();
    out->Duplicates = s.duplicates.get();
    out->Gaps = s.gaps.get();
    out->Recovered = s.recovered.get();
    out->GapQueries = s.gap_queries.get();
    out->SnapshotQueries = s.snapshot_queries.get();
    out->Snapshots = s.snapshots.get();
    out->RefusedFarAhead = s.refused_far_ahead.get();
    out->RefusedContent = s.refused_content.get();
    out->RefusedDecrypt = s.refused_decrypt.get();
    out->RefusedEvents = s.refused_events.get();
    out->RefusedNoCipher = s.refused_no_cipher.get();
    out->RefusedCacheFull = s.refused_cache_full.get();
    out->RefusedBySnapshot = s.refused_by_snapshot.get();
    out->CacheDepth = uint32_t(s.cache_depth.get());
    out->LastPacketNo = uint32_t(s.packet_no.get());
    out->LastPacketAgeMs = age_ms(s.packet_no_ms.get());
    const KorvUserTopicNotifier::Counters& n = notifier->get_counters();
    out->HandlerCalls = n.calls.get();
    out->Deliveries = n.deliveries.get();
    out->HandlerTimeUs = n.time_us.get();
    for (int i = 0; i < KORV_HANDLER_TIME_BUCKETS; ++i)
        out->HandlerTime[i] = n.time[i].get();
    return EC_NONE;
}

int get_line_counters(KorvUserApi* api, int line, KorvLineCounters* out)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr || out == nullptr)
        return EC_PARAM;
    const std::vector<KorvUserMirpDemuxer*>& demuxers = impl->get_demuxers();
    if (line < 0 || size_t(line) >= demuxers.size())
        return EC_NOENT;
    const KorvUserMirpDemuxer::Counters& c = demuxers[size_t(line)]->get_counters();
    *out = KorvLineCounters();
    out->Line = line;
    out->Datagrams = c.datagrams.get();
    out->Bytes = c.bytes.get();
    out->Packets = c.packets.get();
    out->OtherTopicPackets = c.other_topic_packets.get();
    out->RefusedNoHeader = c.refused_no_header.get();
    out->RefusedCutShort = c.refused_cut_short.get();
    out->ChannelErrors = c.channel_errors.get();
    out->LastPacketNo = uint32_t(c.packet_no.get());
    out->LastPacketAgeMs = age_ms(c.packet_no_ms.get());
    return EC_NONE;
}

// The writer stays with the lowest topic's notifier: the notifiers go with
// the API object, before its reactor, which the writer's timer needs.
int set_counters_file(KorvUserApi* api, const char* path)
{
    auto* impl = dynamic_cast<UserApiImpl*>(api);
    if (impl == nullptr || path == nullptr || *path == '\0')
        return EC_PARAM;
    if (impl->get_notifiers().empty())
        return EC_NOENT;
    // A topic subscribed since the last call may come first now.
    for (const auto& entry : impl->get_notifiers())
        entry.second->set_counters_file(nullptr);
    KorvUserTopicNotifier* owner = impl->get_notifiers().begin()->second;
    owner->set_counters_file(std::unique_ptr<KorvUserCountersFile>(
        new KorvUserCountersFile(api, owner->get_reactor(), path)));
    return EC_NONE;
}

}  // namespace KORV_USER_API
}  // namespace BRAX
