#include "apps/korv_depth_view/DepthViewModel.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

using namespace BRAX::KORV_USER_API;

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...)
{
    char text[256];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// Doubles as the test application prints them, so that the screen can be
// compared with its lines; "-" for the absent value.
std::string price(double value)
{
    if (value == UFBaseFloatType::NULL_VALUE)
        return "-";
    return format("%.12g", value);
}

// A text field bounded by its array, which it may fill without a terminator.
template <size_t N>
std::string text(const char (&field)[N])
{
    size_t length = 0;
    while (length < N && field[length] != '\0')
        ++length;
    return std::string(field, length);
}

// Two label/value pairs or three in one line, in fixed columns.
std::string pairs(const char* label1, const std::string& value1, const char* label2,
                  const std::string& value2, const char* label3 = nullptr,
                  const std::string& value3 = std::string())
{
    std::string line =
        format("%-14s%-13s%-14s%-13s", label1, value1.c_str(), label2, value2.c_str());
    if (label3 != nullptr)
        line += format("%-14s%s", label3, value3.c_str());
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string ladder_cell(const std::vector<TopicPriceEntry>& side, size_t level, bool volume_first)
{
    if (level >= side.size())
        return format("%13s %13s", "", "");
    std::string volume = format("%d", side[level].Volume);
    std::string level_price = price(side[level].Price);
    if (volume_first)
        return format("%13s %13s", volume.c_str(), level_price.c_str());
    return format("%13s %13s", level_price.c_str(), volume.c_str());
}

void add_instrument(std::vector<std::string>& lines, const InstrumentDepth& depth)
{
    const TopicMarketData& data = depth.market_data;
    lines.push_back(format("Instrument    %-30s updated %s %s.%03d",
                           text(data.InstrumentID).c_str(), text(data.UpdateDate).c_str(),
                           text(data.UpdateTime).c_str(), data.UpdateMillisec));
    lines.push_back("");
    lines.push_back(
        pairs("Last price", price(data.LastPrice), "Volume", format("%d", data.Volume)));
    lines.push_back(
        pairs("Turnover", price(data.Turnover), "Open interest", price(data.OpenInterest)));
    lines.push_back(pairs("Open", price(data.OpenPrice), "High", price(data.HighPrice), "Low",
                          price(data.LowPrice)));
    lines.push_back(
        pairs("Close", price(data.ClosePrice), "Settlement", price(data.SettlementPrice)));
    lines.push_back(pairs("Upper limit", price(data.UpperLimitPrice), "Lower limit",
                          price(data.LowerLimitPrice)));
    lines.push_back("");
    if (depth.bids.empty() && depth.asks.empty()) {
        lines.push_back("No price levels");
        return;
    }
    lines.push_back(format("Level %13s %13s | %13s %13s", "Bid volume", "Bid price", "Ask price",
                           "Ask volume"));
    size_t levels = std::max(depth.bids.size(), depth.asks.size());
    for (size_t level = 0; level < levels; ++level) {
        std::string line =
            format("%5zu %s | %s", level + 1, ladder_cell(depth.bids, level, true).c_str(),
                   ladder_cell(depth.asks, level, false).c_str());
        while (line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
}

}  // namespace

DepthViewModel::DepthViewModel(int topic_id, std::vector<std::string> instrument_ids)
    : m_topic_id(topic_id), m_instrument_ids(std::move(instrument_ids))
{
}

std::vector<std::string> DepthViewModel::instrument_ids(const DepthSnapshot& snapshot) const
{
    if (!m_instrument_ids.empty())
        return m_instrument_ids;
    std::vector<std::string> ids;
    for (const auto& entry : snapshot.instruments)
        ids.push_back(entry.first);
    return ids;
}

size_t DepthViewModel::selected_index(const std::vector<std::string>& ids) const
{
    auto found = std::find(ids.begin(), ids.end(), m_selected);
    return found == ids.end() ? 0 : size_t(found - ids.begin());
}

void DepthViewModel::move(const DepthSnapshot& snapshot, int step)
{
    std::vector<std::string> ids = instrument_ids(snapshot);
    if (ids.empty())
        return;
    size_t index = (selected_index(ids) + ids.size() + step) % ids.size();
    m_selected = ids[index];
}

void DepthViewModel::next(const DepthSnapshot& snapshot)
{
    move(snapshot, 1);
}

void DepthViewModel::previous(const DepthSnapshot& snapshot)
{
    move(snapshot, -1);
}

std::string DepthViewModel::status_line(const KorvTopicCounters& c)
{
    static const char* const states[] = {"login", "live", "replay", "snapshot", "gap query"};
    const char* state = c.State >= 0 && c.State < 5 ? states[c.State] : "?";
    std::string age = c.LastPacketAgeMs < 0 ? std::string("-")
                                            : format("%.1fs", double(c.LastPacketAgeMs) / 1000);
    unsigned long long refused = c.RefusedFarAhead + c.RefusedContent + c.RefusedDecrypt +
                                 c.RefusedEvents + c.RefusedNoCipher + c.RefusedCacheFull +
                                 c.RefusedBySnapshot;
    // The slowest delivery is known to the power of two that bounds it.
    int slowest = -1;
    for (int i = 0; i < KORV_HANDLER_TIME_BUCKETS; ++i)
        if (c.HandlerTime[i] != 0)
            slowest = i;
    std::string handler = "-";
    if (c.Deliveries != 0 && slowest + 1 < KORV_HANDLER_TIME_BUCKETS)
        handler = format("avg %lluus max<%lluus",
                         (unsigned long long)(c.HandlerTimeUs / c.Deliveries), 1ull << slowest);
    else if (c.Deliveries != 0)
        handler =
            format("avg %lluus max>=%lluus", (unsigned long long)(c.HandlerTimeUs / c.Deliveries),
                   1ull << (slowest - 1));
    return format(
        "%s #%u %s ago  packets %llu dup %llu gaps %llu recovered %llu  queries gap %llu "
        "snap %llu  refused %llu  cache %u  handler %s",
        state, c.LastPacketNo, age.c_str(), (unsigned long long)c.Packets,
        (unsigned long long)c.Duplicates, (unsigned long long)c.Gaps,
        (unsigned long long)c.Recovered, (unsigned long long)c.GapQueries,
        (unsigned long long)c.SnapshotQueries, refused, c.CacheDepth, handler.c_str());
}

std::vector<std::string> DepthViewModel::lines(const DepthSnapshot& snapshot,
                                               const KorvTopicCounters* counters) const
{
    std::vector<std::string> lines;
    std::vector<std::string> ids = instrument_ids(snapshot);
    std::string title = format("Topic %d", m_topic_id);
    if (snapshot.version == 0) {
        lines.push_back(title + "  waiting for market data");
    } else {
        const TopicSnapTime& snap = snapshot.snap_time;
        const TopicSettlementSession& session = snapshot.settlement_session;
        title +=
            format("  snap %s %s.%03d  session %s %s %d", text(snap.SnapDate).c_str(),
                   text(snap.SnapTime).c_str(), snap.SnapMillisec, text(session.SessionDay).c_str(),
                   text(session.SessionCode).c_str(), session.SessionNo);
        lines.push_back(title);
    }
    if (!ids.empty()) {
        size_t index = selected_index(ids);
        lines.back() += format("  [%zu/%zu]", index + 1, ids.size());
        lines.push_back("");
        auto found = snapshot.instruments.find(ids[index]);
        if (found == snapshot.instruments.end())
            lines.push_back(format("Instrument    %s  no market data yet", ids[index].c_str()));
        else
            add_instrument(lines, found->second);
    }
    lines.push_back("");
    if (counters != nullptr)
        lines.push_back(status_line(*counters));
    lines.push_back("n/Right next   p/Left previous   q quit");
    return lines;
}
