// Fuzz target: each input is a capture file, read by the replay component
// as korv_md_replay reads one: the classic and block formats, every link
// type, IPv4 fragments, the TCP streams of query sessions and the MDQP
// messages in them, the MIRP packets of each datagram; then the file's
// summary and every topic's plan, and the gap replies its query side would
// serve. A plan must keep its hole inside the topic's numbers, and a served
// packet must be a whole MIRP packet of the topic asked for.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzBook.h"
#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplaySummary.h"
#include "source/mirp_protocol/MirpHeader.h"

namespace {

int g_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_fd = memfd_create("fuzz_replay_stream", 0);
    FUZZ_CHECK(g_fd >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FUZZ_CHECK(ftruncate(g_fd, 0) == 0);
    FUZZ_CHECK(pwrite(g_fd, data, size, 0) == ssize_t(size));
    ReplayCapture capture;
    std::string error;
    if (capture.load("/proc/self/fd/" + std::to_string(g_fd), error) != 0)
        return 0;
    replay_summary(capture);
    for (const auto& topic : capture.get_topics()) {
        ReplayTopicPlan plan = capture.plan(topic.first);
        if (plan.has_hole())
            FUZZ_CHECK(int32_t(plan.hole_end - plan.hole_begin) > 0 &&
                       int32_t(plan.hole_end - 1 - plan.last_packet_no) <= 0);
        for (const auto& packet : capture.find_packets(topic.first, 0, 0xffffffff, 50)) {
            FUZZ_CHECK(packet.second >= size_t(MIRP_HLEN));
            MirpHeader header;
            memcpy(&header, packet.first, sizeof header);
            FUZZ_CHECK(header.TopicID == topic.first);
            FUZZ_CHECK(size_t(MIRP_HLEN) + header.ContentLength == packet.second);
        }
    }
    return 0;
}
