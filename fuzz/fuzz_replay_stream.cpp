// Fuzz target, stateful: each input is a stream of datagrams, each a 16-bit
// little-endian length and that many bytes (a short last one takes what is
// left), played through the offline replay: framed as the capture tool
// writes them, read back from the frame, and fed to the library's receive
// path for topic 1001 (demultiplexer, subscriber, book, notifier).
//
// The query side is the simulator's in the same process, over 127.0.0.1:
// its snapshot is the simulator's market at packet 0 (seed 1, ten
// instruments), so packets from 1 on apply, and holes lead to its (empty)
// gap replies and new snapshots. The clock moves on by 500 ms after each
// input. No multicast group is joined.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/korv_md_replay/OfflineReplay.h"
#include "apps/korv_md_replay/UdpFrame.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "fuzz/FuzzBook.h"
#include "fuzz/FuzzClock.h"

namespace {

constexpr int TOPIC_ID = 1001;

struct World {
    fuzz_book::CheckingHandler handler;
    OfflineReplay replay{TOPIC_ID, KORV::SIM::SimOptions(), &handler};
    std::vector<uint8_t> frame = std::vector<uint8_t>(UDP_FRAME_HEADROOM + 65536);
};

World* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_world = new World;
    std::string error;
    if (g_world->replay.start(1767605400, 0, 1, error) != 0) {
        fprintf(stderr, "fuzz_replay_stream: %s\n", error.c_str());
        exit(2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = *g_world;
    size_t offset = 0;
    while (offset < size) {
        size_t length = data[offset];
        if (offset + 1 < size)
            length |= size_t(data[offset + 1]) << 8;
        offset += 2;
        if (offset > size)
            offset = size;
        if (length > size - offset)
            length = size - offset;
        CapturedDatagram datagram;
        datagram.payload = data + offset;
        datagram.length = length;
        offset += length;
        // Through the frame the way the capture file holds it.
        size_t frame_length = encode_udp_frame(datagram, w.frame.data());
        CapturedDatagram read;
        FUZZ_CHECK(decode_udp_frame(UDP_FRAME_LINK_ETHERNET, w.frame.data(), frame_length, read) ==
                   0);
        FUZZ_CHECK(read.length == length);
        w.replay.feed(read.payload, read.length);
        w.replay.poll();
    }
    for (int i = 0; i < 8; ++i)
        w.replay.poll();
    fuzz_book::check_book(w.replay.get_topic());
    fuzz_advance_clock(500);
    return 0;
}
