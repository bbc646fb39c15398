// Fuzz target, stateful: the fuzzer plays the query server. Each input is
// the next stretch of bytes that the server sends on the client's TCP
// connection; they go through the client's MDQP channel into the stub, its
// result sets and the snapshot and gap handling of one topic subscriber,
// whose book feeds a notifier.
//
// One client lives for the whole run, so an input meets whatever state the
// ones before it left (a half-received packet included). Request ids
// 0xffffffff and 0xfffffffe in a packet header stand for the client's last
// query and the one before (see FuzzClient). The server side answers logins
// by itself; after each input the clock moves on by one heartbeat interval,
// so that query time-outs and retries come every few inputs. A crash found
// here may need the inputs before it: rerun the corpus folder, or the
// reproducer after the inputs of its session.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzBook.h"
#include "fuzz/FuzzClient.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mdqp_protocol/MdqpChannel.h"

using namespace KORV::USER;

namespace {

constexpr short TOPIC = 7;

struct World {
    FuzzClient client{false};
    KorvUserTopic topic{TOPIC};
    fuzz_book::CheckingHandler handler;
    KorvUserTopicNotifier notifier{client.reactor(), TOPIC, &topic, &handler};
    KorvUserSubscriber subscriber{client.reactor(), TOPIC, &topic, client.stub()};
};

World* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_world = new World;
    g_world->client.advance(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = *g_world;
    w.client.send_stream(data, size);
    w.client.serve(16);
    fuzz_book::check_book(w.topic);
    w.client.advance(MDQP_TIMER_INTERVAL);
    fuzz_book::check_book(w.topic);
    return 0;
}
