#include "source/korv_user/KorvUserCountersFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "source/korv_user/KorvUserCounters.h"
#include "velta/source/base/Log.h"

using namespace BRAX::KORV_USER_API;

namespace KORV {
namespace USER {

namespace {

void append(std::string& out, const char* pattern, ...) __attribute__((format(printf, 2, 3)));

void append(std::string& out, const char* pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    out += text;
}

template <class Counters>
struct Metric {
    const char* name;
    const char* type;
    const char* help;
    int64_t (*value)(const Counters&);
};

// Counters end in _total, as the exposition format has them; the values
// that go up and down are gauges.
const Metric<KorvTopicCounters> g_topic_metrics[] = {
    {"korv_topic_packets_total", "counter", "Packets of the topic from the multicast, all lines.",
     [](const KorvTopicCounters& c) { return int64_t(c.Packets); }},
    {"korv_topic_reply_packets_total", "counter", "Packets of the topic in gap replies.",
     [](const KorvTopicCounters& c) { return int64_t(c.ReplyPackets); }},
    {"korv_topic_applied_total", "counter", "Packets taken in order.",
     [](const KorvTopicCounters& c) { return int64_t(c.Applied); }},
    {"korv_topic_duplicates_total", "counter", "Packets already taken or cached.",
     [](const KorvTopicCounters& c) { return int64_t(c.Duplicates); }},
    {"korv_topic_gaps_total", "counter", "Holes found in the packet numbers.",
     [](const KorvTopicCounters& c) { return int64_t(c.Gaps); }},
    {"korv_topic_recovered_total", "counter", "Gap reply packets that were new.",
     [](const KorvTopicCounters& c) { return int64_t(c.Recovered); }},
    {"korv_topic_gap_queries_total", "counter", "Gap queries sent.",
     [](const KorvTopicCounters& c) { return int64_t(c.GapQueries); }},
    {"korv_topic_snapshot_queries_total", "counter", "Snapshot queries sent.",
     [](const KorvTopicCounters& c) { return int64_t(c.SnapshotQueries); }},
    {"korv_topic_snapshots_total", "counter", "Snapshots taken whole.",
     [](const KorvTopicCounters& c) { return int64_t(c.Snapshots); }},
    {"korv_topic_cache_depth", "gauge", "Packets waiting in the cache.",
     [](const KorvTopicCounters& c) { return int64_t(c.CacheDepth); }},
    {"korv_topic_packet_no", "gauge", "The book's packet number.",
     [](const KorvTopicCounters& c) { return int64_t(c.LastPacketNo); }},
    {"korv_topic_state", "gauge",
     "0 login, 1 live, 2 replaying the cache, 3 snapshot query, 4 gap query.",
     [](const KorvTopicCounters& c) { return int64_t(c.State); }},
    {"korv_topic_lines", "gauge", "Multicast lines feeding the topic.",
     [](const KorvTopicCounters& c) { return int64_t(c.LineCount); }},
    {"korv_topic_handler_calls_total", "counter", "Calls of the market data handler.",
     [](const KorvTopicCounters& c) { return int64_t(c.HandlerCalls); }},
    {"korv_topic_copies_differ_total", "counter",
     "Two copies of one packet number that differed; the query server's was taken.",
     [](const KorvTopicCounters& c) { return int64_t(c.CopiesDiffer); }},
    {"korv_topic_forged_applied_total", "counter",
     "Differing copies found already applied from the multicast: a snapshot was queried.",
     [](const KorvTopicCounters& c) { return int64_t(c.ForgedApplied); }},
};

// The refusals, one family with the kind as a label.
struct Refusal {
    const char* kind;
    uint64_t KorvTopicCounters::*field;
};
const Refusal g_refusals[] = {
    {"far_ahead", &KorvTopicCounters::RefusedFarAhead},
    {"content", &KorvTopicCounters::RefusedContent},
    {"decrypt", &KorvTopicCounters::RefusedDecrypt},
    {"events", &KorvTopicCounters::RefusedEvents},
    {"no_cipher", &KorvTopicCounters::RefusedNoCipher},
    {"cache_full", &KorvTopicCounters::RefusedCacheFull},
    {"by_snapshot", &KorvTopicCounters::RefusedBySnapshot},
    {"reply", &KorvTopicCounters::RefusedReply},
};

const Metric<KorvLineCounters> g_line_metrics[] = {
    {"korv_line_datagrams_total", "counter", "Datagrams received.",
     [](const KorvLineCounters& c) { return int64_t(c.Datagrams); }},
    {"korv_line_bytes_total", "counter", "Bytes of the datagrams received.",
     [](const KorvLineCounters& c) { return int64_t(c.Bytes); }},
    {"korv_line_packets_total", "counter", "Whole packets cut from the datagrams.",
     [](const KorvLineCounters& c) { return int64_t(c.Packets); }},
    {"korv_line_other_topic_packets_total", "counter", "Packets of topics not subscribed.",
     [](const KorvLineCounters& c) { return int64_t(c.OtherTopicPackets); }},
    {"korv_line_refused_no_header_total", "counter",
     "Datagrams refused: a rest too short for a packet header.",
     [](const KorvLineCounters& c) { return int64_t(c.RefusedNoHeader); }},
    {"korv_line_refused_cut_short_total", "counter",
     "Datagrams refused: a packet running past the datagram's end.",
     [](const KorvLineCounters& c) { return int64_t(c.RefusedCutShort); }},
    {"korv_line_channel_errors_total", "counter", "Receive errors that closed the channel.",
     [](const KorvLineCounters& c) { return int64_t(c.ChannelErrors); }},
    {"korv_line_packet_no", "gauge", "The last packet number of a subscribed topic.",
     [](const KorvLineCounters& c) { return int64_t(c.LastPacketNo); }},
};

void head(std::string& out, const char* name, const char* type, const char* help)
{
    append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// Seconds since the last packet, left out while there was none.
void age_family(std::string& out, const char* name, const char* label,
                const std::vector<std::pair<int, int64_t>>& ages)
{
    head(out, name, "gauge", "Seconds since the last packet.");
    for (const auto& age : ages)
        if (age.second >= 0)
            append(out, "%s{%s=\"%d\"} %.3f\n", name, label, age.first, age.second / 1000.0);
}

// Creates "<path>.tmp.XXXXXX" under a name that did not exist: with
// O_CREAT|O_EXCL, a file or symbolic link already there makes it pick
// another name, never open it. The descriptor, or -1 with errno set.
int create_temporary(const std::string& path, std::string& temporary)
{
    temporary = path + ".tmp.XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Made for its owner alone; the collector may run as another user.
    if (fchmod(fd, 0644) != 0) {
        int error = errno;
        ::close(fd);
        unlink(temporary.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

// 0, or the errno of the write that failed.
int write_all(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += size_t(n);
    }
    return 0;
}

}  // namespace

KorvUserCountersFile::KorvUserCountersFile(KorvUserApi* api, std::vector<int> topic_ids,
                                           std::string path)
    : m_api(api),
      m_topic_ids(std::move(topic_ids)),
      m_path(std::move(path)),
      m_failure_reported(false)
{
}

KorvUserCountersFile::~KorvUserCountersFile()
{
    stop();
}

int KorvUserCountersFile::check_folder(const std::string& path)
{
    std::string temporary;
    int fd = create_temporary(path, temporary);
    if (fd < 0)
        return errno;
    ::close(fd);
    unlink(temporary.c_str());
    return 0;
}

std::string KorvUserCountersFile::text(KorvUserApi* api, const std::vector<int>& topic_ids)
{
    std::vector<KorvTopicCounters> topics;
    for (int topic_id : topic_ids) {
        KorvTopicCounters counters;
        if (get_topic_counters(api, topic_id, &counters) == 0)
            topics.push_back(counters);
    }
    std::vector<KorvLineCounters> lines;
    for (KorvLineCounters counters; get_line_counters(api, int(lines.size()), &counters) == 0;)
        lines.push_back(counters);

    std::string out;
    for (const auto& metric : g_topic_metrics) {
        head(out, metric.name, metric.type, metric.help);
        for (const KorvTopicCounters& c : topics)
            append(out, "%s{topic=\"%d\"} %" PRId64 "\n", metric.name, c.TopicID, metric.value(c));
    }
    head(out, "korv_topic_refused_total", "counter", "Packets refused, by kind.");
    for (const KorvTopicCounters& c : topics)
        for (const Refusal& refusal : g_refusals)
            append(out, "korv_topic_refused_total{topic=\"%d\",kind=\"%s\"} %" PRIu64 "\n",
                   c.TopicID, refusal.kind, c.*refusal.field);
    std::vector<std::pair<int, int64_t>> ages;
    for (const KorvTopicCounters& c : topics)
        ages.emplace_back(c.TopicID, c.LastPacketAgeMs);
    age_family(out, "korv_topic_packet_age_seconds", "topic", ages);
    // The buckets are cumulative and bounded above, as the format wants.
    head(out, "korv_topic_handler_seconds", "histogram",
         "Time the handler held the loop per delivery.");
    for (const KorvTopicCounters& c : topics) {
        uint64_t count = 0;
        for (int i = 0; i < KORV_HANDLER_TIME_BUCKETS; ++i) {
            count += c.HandlerTime[i];
            if (i + 1 < KORV_HANDLER_TIME_BUCKETS)
                append(out,
                       "korv_topic_handler_seconds_bucket{topic=\"%d\",le=\"%g\"} %" PRIu64 "\n",
                       c.TopicID, double(uint64_t(1) << i) / 1e6, count);
            else
                append(out,
                       "korv_topic_handler_seconds_bucket{topic=\"%d\",le=\"+Inf\"} %" PRIu64 "\n",
                       c.TopicID, count);
        }
        append(out, "korv_topic_handler_seconds_sum{topic=\"%d\"} %.6f\n", c.TopicID,
               double(c.HandlerTimeUs) / 1e6);
        append(out, "korv_topic_handler_seconds_count{topic=\"%d\"} %" PRIu64 "\n", c.TopicID,
               c.Deliveries);
    }
    for (const auto& metric : g_line_metrics) {
        head(out, metric.name, metric.type, metric.help);
        for (const KorvLineCounters& c : lines)
            append(out, "%s{line=\"%d\"} %" PRId64 "\n", metric.name, c.Line, metric.value(c));
    }
    ages.clear();
    for (const KorvLineCounters& c : lines)
        ages.emplace_back(c.Line, c.LastPacketAgeMs);
    age_family(out, "korv_line_packet_age_seconds", "line", ages);
    return out;
}

int KorvUserCountersFile::write_file(const std::string& text) const
{
    std::string temporary;
    int fd = create_temporary(m_path, temporary);
    if (fd < 0)
        return errno;
    int error = write_all(fd, text);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), m_path.c_str()) != 0)
        error = errno;
    if (error != 0)
        unlink(temporary.c_str());
    return error;
}

void KorvUserCountersFile::stop()
{
    m_stop.signal();
    join();
}

void KorvUserCountersFile::run()
{
    do {
        int error = write_file(text(m_api, m_topic_ids));
        if (error != 0 && !m_failure_reported)
            report_event(3, "CountersError", "cannot write the counters file %s: %s",
                         m_path.c_str(), strerror(error));
        m_failure_reported = error != 0;
    } while (m_stop.wait(INTERVAL) != 0);
}

}  // namespace USER
}  // namespace KORV
