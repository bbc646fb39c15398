// Fuzz target, stateful: each input is one multicast datagram, cut by the
// demultiplexer into MIRP packets for the live subscribers of topics 7 and
// 8, applied to their books and delivered by their notifiers.
//
// The client logs in to a query server on 127.0.0.1 that answers every
// snapshot query with a fixed snapshot at MIRP packet 0 and every gap query
// with an empty reply, so packets numbered from 1 on are applied, and holes
// lead through the gap retries back to a snapshot. The clock moves on by
// 500 ms after each input. The demultiplexer joins its group, so the target
// runs only inside the private network namespace (scripts/netns-run).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "fuzz/FuzzBook.h"
#include "fuzz/FuzzClient.h"
#include "source/korv_user/KorvUserMirpDemuxer.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "velta/source/base/Packet.h"

using namespace KORV::USER;

namespace {

struct Book {
    explicit Book(Reactor* reactor, short topic_id)
        : topic(topic_id), notifier(reactor, topic_id, &topic, &handler)
    {
    }
    KorvUserTopic topic;
    fuzz_book::CheckingHandler handler;
    KorvUserTopicNotifier notifier;
};

struct World {
    World()
    {
        demuxer.subscribe(7, &first.topic, client.stub());
        demuxer.subscribe(8, &second.topic, client.stub());
    }
    FuzzClient client{true};
    Book first{client.reactor(), 7};
    Book second{client.reactor(), 8};
    KorvUserMirpDemuxer demuxer{client.reactor(), "udpg://239.3.0.1:30001"};
};

World* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* netns = getenv("KORV_IN_NETNS");
    if (netns == nullptr || strcmp(netns, "1") != 0) {
        fprintf(stderr, "fuzz_mirp_demuxer joins a multicast group: run it under scripts/netns-run\n");
        exit(2);
    }
    g_world = new World;
    g_world->client.advance(0);
    // The snapshot replies cross a real loopback connection: give them the
    // few real milliseconds they may need before the subscribers must be live.
    for (int round = 0; round < 200; ++round) {
        bool live = true;
        for (short topic : {7, 8})
            live = live && g_world->demuxer.find_subscriber(uint16_t(topic))->get_state() ==
                               KorvUserSubscriber::SID_Live;
        if (live)
            break;
        usleep(1000);
        g_world->client.serve(8);
    }
    for (short topic : {7, 8})
        if (g_world->demuxer.find_subscriber(uint16_t(topic))->get_state() != KorvUserSubscriber::SID_Live) {
            fprintf(stderr, "fuzz_mirp_demuxer: topic %d is not live after its snapshot (state %d)\n", topic, int(g_world->demuxer.find_subscriber(uint16_t(topic))->get_state()));
            exit(2);
        }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = *g_world;
    // A copy of exactly the datagram's length, as the transport hands it on.
    std::vector<char> bytes(data, data + size);
    Packet datagram(bytes.data(), int(bytes.size()));
    w.demuxer.handle_packet(nullptr, nullptr, &datagram);
    w.client.serve(16);
    fuzz_book::check_book(w.first.topic);
    fuzz_book::check_book(w.second.topic);
    w.client.advance(500);
    return 0;
}
