// Internal to the capture: one capture run. It joins the groups, records
// every datagram on its group's interface of the current file, runs a
// query session of its own per file (see CaptureQueryClient) and rotates
// files by size or time, each new file starting with its own login and a
// snapshot of every captured topic, so that each file replays alone.
//
// A file's header says whether it holds the query session, which is known
// only once the login has been answered; until then the writer holds the
// packets in memory (see PcapngWriter).
//
// Single-threaded: one poll loop serves the groups and the query socket.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "source/korv_capture/CaptureLine.h"
#include "source/korv_capture/CaptureOptions.h"
#include "source/korv_capture/PcapngWriter.h"

class CaptureGroup;
class CaptureQueryClient;

class MdCapture {
public:
    explicit MdCapture(const CaptureOptions& options);
    ~MdCapture();
    MdCapture(const MdCapture&) = delete;
    MdCapture& operator=(const MdCapture&) = delete;

    // Captures until stop is set, the duration has passed or the count is
    // reached; progress and summary lines go to standard error. The exit
    // status: 0, or 1 when a group could not be joined or a file written.
    int run(const volatile sig_atomic_t& stop);

private:
    int open_groups();
    int start_file();
    int finish_file();
    void start_query();
    // Settles the file's header once the login is answered, and follows a
    // session that fails later.
    int follow_query();
    // The file's header: the query session recorded (none_reason empty) or
    // not, and why.
    int start_section(const std::string& none_reason);
    // Ends the session and adds its counts to the run's.
    void retire_query();
    int drain(size_t index);
    std::string counters_text() const;

    CaptureOptions m_options;
    sockaddr_in m_server{};
    std::vector<std::unique_ptr<CaptureGroup>> m_groups;
    std::vector<CaptureLine> m_lines;
    PcapngWriter m_writer;
    std::unique_ptr<CaptureQueryClient> m_query;
    // Topics to snapshot in every file: those asked for, and those seen.
    std::set<uint16_t> m_topics;
    std::string m_path;
    unsigned m_file_index = 0;
    int64_t m_file_started_ms = 0;
    bool m_query_recorded = false;
    int64_t m_retry_ms = -1;  // when a lost session logs in again
    std::string m_none_reason;
    std::vector<uint8_t> m_buffer;
    std::vector<uint8_t> m_packet;
    uint16_t m_ip_id = 0;
    uint64_t m_datagrams = 0;
    uint64_t m_bytes = 0;
    unsigned m_files = 0;
    uint64_t m_logins = 0;
    uint64_t m_snapshots = 0;
    uint64_t m_gap_queries = 0;
    uint64_t m_unfilled_gaps = 0;
};
