// Internal to the capture: its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "source/korv_capture/CaptureQueryClient.h"

struct CaptureOptions {
    std::vector<std::string> groups;  // udpg:// locations
    std::string query;                // tcp:// location, or empty
    CaptureCredentials credentials;
    bool no_login = false;
    std::vector<uint16_t> topics;  // empty: every topic the lines carry
    std::string out;
    uint64_t rotate_bytes = 0;    // 0: no rotation by size
    double rotate_seconds = 0;    // 0: no rotation by time
    double duration_seconds = 0;  // 0: until a signal
    uint64_t count = 0;           // 0: no limit on datagrams
    int rcvbuf_bytes = 16 * 1024 * 1024;

    // 0 when the capture can run, 1 when the usage was asked for, -1 with
    // the reason in error.
    int parse(int argc, char** argv, std::string& error);
    static std::string usage(const char* program);

    bool selects(uint16_t topic) const;
    // The file of the index-th rotation (1-based): "feed-0003.pcapng" for
    // "feed.pcapng"; the name given when there is no rotation.
    std::string file_path(unsigned index) const;
};
