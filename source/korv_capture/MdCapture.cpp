#include "source/korv_capture/MdCapture.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "source/korv_capture/CaptureClock.h"
#include "source/korv_capture/CaptureGroup.h"
#include "source/korv_capture/CaptureQueryClient.h"
#include "source/korv_capture/CaptureText.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/protocol/ProtocolStack.h"

using capture_text::say;

namespace {

// A lost session logs in again after this pause.
constexpr int RETRY_S = 5;
// What a file may hold in memory while its login is answered; past it the
// file goes on without the session rather than the capture growing without
// bound behind a slow server.
constexpr uint64_t MAX_HELD_BYTES = 256 * 1024 * 1024;
// Datagrams read from one group before the others get their turn.
constexpr int DRAIN_BATCH = 64;

}  // namespace

MdCapture::MdCapture(const CaptureOptions& options)
    : m_options(options), m_buffer(65536), m_packet(65536)
{
    m_topics.insert(options.topics.begin(), options.topics.end());
}

MdCapture::~MdCapture() = default;

int MdCapture::run(const volatile sig_atomic_t& stop)
{
    if (open_groups() != 0)
        return 1;
    if (!m_options.query.empty() &&
        sock_location_to_addr(m_server, "tcp", m_options.query.c_str()) != 0) {
        say(capture_text::format(capture_text::BAD_QUERY_LOCATION, m_options.query.c_str()));
        return 1;
    }
    const int64_t started = capture_monotonic_ms();
    int64_t next_report = started + 1000;
    int status = start_file();
    std::vector<pollfd> fds;
    while (status == 0 && !stop) {
        int64_t now = capture_monotonic_ms();
        if (m_options.duration_seconds > 0 &&
            now - started >= int64_t(m_options.duration_seconds * 1000))
            break;
        if (m_options.count != 0 && m_datagrams >= m_options.count)
            break;
        if ((m_options.rotate_bytes != 0 && m_writer.get_bytes() >= m_options.rotate_bytes) ||
            (m_options.rotate_seconds > 0 &&
             now - m_file_started_ms >= int64_t(m_options.rotate_seconds * 1000))) {
            status = finish_file();
            if (status == 0)
                status = start_file();
            continue;
        }
        if (now >= next_report) {
            say(capture_text::format(capture_text::PROGRESS, double(now - started) / 1000,
                                     counters_text().c_str()));
            next_report += 1000;
        }
        fds.clear();
        for (const auto& group : m_groups)
            fds.push_back(pollfd{group->get_fd(), POLLIN, 0});
        if (m_query != nullptr && m_query->get_fd() >= 0)
            fds.push_back(pollfd{m_query->get_fd(), m_query->get_poll_events(), 0});
        if (poll(fds.data(), fds.size(), 50) > 0) {
            for (size_t i = 0; i < m_groups.size() && status == 0; ++i)
                if ((fds[i].revents & POLLIN) != 0)
                    status = drain(i);
            if (fds.size() > m_groups.size() && fds.back().revents != 0 && m_query != nullptr)
                m_query->on_ready(fds.back().revents);
        }
        if (m_query != nullptr)
            m_query->on_tick();
        if (status == 0)
            status = follow_query();
    }
    int finished = finish_file();
    if (status == 0)
        status = finished;
    say(capture_text::format(capture_text::SUMMARY, m_path.c_str(),
                             double(capture_monotonic_ms() - started) / 1000,
                             counters_text().c_str()));
    return status;
}

int MdCapture::open_groups()
{
    for (const std::string& location : m_options.groups) {
        std::unique_ptr<CaptureGroup> group(new CaptureGroup(location));
        std::string error;
        if (group->open(m_options.rcvbuf_bytes, error) != 0) {
            say(error);
            return -1;
        }
        if (group->get_rcvbuf() < m_options.rcvbuf_bytes)
            say(capture_text::format(capture_text::RCVBUF_SHORT, location.c_str(),
                                     m_options.rcvbuf_bytes, group->get_rcvbuf()));
        m_groups.push_back(std::move(group));
        m_lines.emplace_back();
    }
    return 0;
}

int MdCapture::start_file()
{
    m_path = m_options.file_path(++m_file_index);
    m_file_started_ms = capture_monotonic_ms();
    m_query_recorded = false;
    m_retry_ms = -1;
    if (m_writer.open(m_path) != EC_NONE) {
        say(m_writer.get_error());
        return 1;
    }
    ++m_files;
    if (m_options.query.empty())
        return start_section(capture_text::NO_QUERY_SERVER);
    if (m_options.no_login)
        return start_section(capture_text::NO_LOGIN_ASKED);
    start_query();
    return follow_query();
}

void MdCapture::start_query()
{
    m_query.reset(new CaptureQueryClient(m_options.query, m_server, m_options.credentials, m_writer,
                                         uint32_t(m_groups.size())));
    m_query->start();
    for (uint16_t topic : m_topics)
        m_query->query_snapshot(topic);
}

int MdCapture::follow_query()
{
    if (m_query == nullptr) {
        if (m_retry_ms >= 0 && capture_monotonic_ms() >= m_retry_ms) {
            m_retry_ms = -1;
            start_query();
        }
        return 0;
    }
    CaptureQueryClient::State state = m_query->get_state();
    if (state == CaptureQueryClient::ST_LoggedIn && !m_writer.is_started()) {
        m_query_recorded = true;
        return start_section("");
    }
    if (state != CaptureQueryClient::ST_Failed && !m_writer.is_started() &&
        m_writer.get_held_bytes() > MAX_HELD_BYTES) {
        retire_query();
        return start_section(capture_text::format(capture_text::HELD_TOO_LONG,
                                                  (unsigned long long)(MAX_HELD_BYTES >> 20)));
    }
    if (state != CaptureQueryClient::ST_Failed)
        return 0;
    std::string reason = m_query->get_failure();
    retire_query();
    if (!m_writer.is_started())
        return start_section(reason);
    if (m_query_recorded) {
        say(capture_text::format(capture_text::RECONNECTING, m_path.c_str(), reason.c_str(),
                                 RETRY_S));
        m_retry_ms = capture_monotonic_ms() + RETRY_S * 1000;
    }
    return 0;
}

void MdCapture::retire_query()
{
    m_query->close();
    m_logins += m_query->was_logged_in() ? 1 : 0;
    m_snapshots += m_query->get_snapshots();
    m_gap_queries += m_query->get_gap_queries();
    m_unfilled_gaps += m_query->get_unfilled_gaps();
    m_query.reset();
}

int MdCapture::start_section(const std::string& none_reason)
{
    m_none_reason = none_reason;
    if (!none_reason.empty())
        say(capture_text::format(capture_text::MULTICAST_ALONE, m_path.c_str(),
                                 none_reason.c_str()));
    std::vector<std::string> comments;
    comments.push_back(none_reason.empty() ? capture_text::COMMENT_QUERY_RECORDED
                                           : capture_text::format(capture_text::COMMENT_QUERY_NONE,
                                                                  none_reason.c_str()));
    // The smallest buffer any group got: what bounds the burst the capture
    // absorbs.
    int rcvbuf = 0;
    for (const auto& group : m_groups)
        if (rcvbuf == 0 || group->get_rcvbuf() < rcvbuf)
            rcvbuf = group->get_rcvbuf();
    comments.push_back(capture_text::format(capture_text::COMMENT_RCVBUF, rcvbuf));
    comments.push_back(capture_text::COMMENT_VERSION);
    std::vector<std::string> interfaces;
    for (const auto& group : m_groups)
        interfaces.push_back(group->get_location());
    if (none_reason.empty())
        interfaces.push_back(m_options.query);
    if (m_writer.start_section(comments, interfaces) != EC_NONE) {
        say(m_writer.get_error());
        return 1;
    }
    return 0;
}

int MdCapture::finish_file()
{
    if (m_query != nullptr) {
        if (!m_writer.is_started() && m_query->get_state() != CaptureQueryClient::ST_LoggedIn) {
            retire_query();
            start_section(capture_text::ENDED_BEFORE_LOGIN);
        } else {
            if (!m_writer.is_started()) {
                m_query_recorded = true;
                start_section("");
            }
            retire_query();
        }
    }
    int64_t now = capture_realtime_ns();
    for (size_t i = 0; i < m_groups.size(); ++i) {
        uint64_t drops = m_groups[i]->get_drops();
        m_writer.write_statistics(
            uint32_t(i), now, m_groups[i]->drops_known() ? &drops : nullptr,
            capture_text::format(capture_text::COMMENT_RCVBUF, m_groups[i]->get_rcvbuf()));
    }
    if (m_writer.close() != EC_NONE) {
        say(m_writer.get_error());
        return 1;
    }
    return 0;
}

int MdCapture::drain(size_t index)
{
    CaptureGroup& group = *m_groups[index];
    for (int n = 0; n < DRAIN_BATCH; ++n) {
        ReceivedDatagram datagram;
        int result = group.receive(m_buffer, datagram);
        if (result == 0)
            return 0;
        if (result < 0) {
            say(capture_text::format(capture_text::RECEIVE_FAILED, group.get_location().c_str(),
                                     strerror(errno)));
            return 1;
        }
        size_t size = build_udp_packet(datagram.source, group.get_group(), m_ip_id++,
                                       datagram.payload, datagram.length, m_packet.data());
        if (m_writer.write_packet(uint32_t(index), datagram.time_ns, m_packet.data(), size) !=
            EC_NONE) {
            say(m_writer.get_error());
            return 1;
        }
        ++m_datagrams;
        m_bytes += datagram.length;
        std::vector<CaptureLine::Hole> holes;
        std::vector<uint16_t> new_topics;
        m_lines[index].count(datagram.payload, datagram.length, holes, new_topics);
        for (uint16_t topic : new_topics)
            if (m_options.selects(topic) && m_topics.insert(topic).second && m_query != nullptr)
                m_query->query_snapshot(topic);
        for (const CaptureLine::Hole& hole : holes)
            if (m_options.selects(hole.topic) && m_query != nullptr)
                m_query->query_gap(hole.topic, hole.begin, hole.end);
        if (m_options.count != 0 && m_datagrams >= m_options.count)
            return 0;
    }
    return 0;
}

std::string MdCapture::counters_text() const
{
    uint64_t logins = m_logins;
    uint64_t snapshots = m_snapshots;
    uint64_t gap_queries = m_gap_queries;
    uint64_t unfilled = m_unfilled_gaps;
    if (m_query != nullptr) {
        logins += m_query->was_logged_in() ? 1 : 0;
        snapshots += m_query->get_snapshots();
        gap_queries += m_query->get_gap_queries();
        unfilled += m_query->get_unfilled_gaps();
    }
    std::string text = "files " + std::to_string(m_files) + ", datagrams " +
                       std::to_string(m_datagrams) + ", bytes " + std::to_string(m_bytes);
    uint64_t drops = 0;
    int rcvbuf = 0;
    for (const auto& group : m_groups) {
        drops += group->get_drops();
        if (rcvbuf == 0 || group->get_rcvbuf() < rcvbuf)
            rcvbuf = group->get_rcvbuf();
    }
    text += ", rcvbuf " + std::to_string(rcvbuf) + " (asked " +
            std::to_string(m_options.rcvbuf_bytes) + "), kernel drops " + std::to_string(drops);
    text += ", query " + (m_query_recorded        ? std::string("recorded")
                          : m_none_reason.empty() ? std::string("pending")
                                                  : "none (" + m_none_reason + ")");
    text += ", logins " + std::to_string(logins) + ", snapshots " + std::to_string(snapshots) +
            ", gap queries " + std::to_string(gap_queries) + " (unfilled " +
            std::to_string(unfilled) + ")";
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].get_malformed() != 0)
            text += ", line " + std::to_string(i) + " malformed " +
                    std::to_string(m_lines[i].get_malformed());
        for (const auto& entry : m_lines[i].get_topics())
            text += ", line " + std::to_string(i) + " topic " + std::to_string(entry.first) +
                    " packets " + std::to_string(entry.second.packets) + " gaps " +
                    std::to_string(entry.second.gaps) + " (missing " +
                    std::to_string(entry.second.missing) + ")";
    }
    return text;
}
