// korv_md_bridge: subscribes topics with the library and republishes every
// delivered instrument's state into a NATS JetStream stream (see
// source/korv_bridge). Runs until SIGINT or SIGTERM, then waits for what is
// in flight and prints its counters.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "source/korv_bridge/BridgeOptions.h"
#include "source/korv_bridge/BridgePublisher.h"
#include "source/korv_bridge/BridgeText.h"
#include "source/korv_feed/ConflatingQueue.h"
#include "source/korv_feed/FeedHandler.h"
#include "source/korv_user/KorvUserApi.h"

using namespace BRAX::KORV_USER_API;
using namespace korv_bridge;

namespace {

constexpr size_t QUEUE_BOUND = size_t(1) << 22;
constexpr size_t QUEUE_RESERVE = 1024;

}  // namespace

int main(int argc, char* argv[])
{
    const char* program = argc > 0 ? argv[0] : "korv_md_bridge";
    BridgeOptions options;
    std::string error;
    if (!options.parse(argc, argv, error)) {
        fputs(error.c_str(), stderr);
        fprintf(stderr, text::BRIDGE_USAGE, program);
        return 2;
    }
    // Every thread started from here on leaves the two signals to sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Room for every instrument of the largest topics: the queue then never
    // drops a state, it only keeps the latest of each instrument.
    KORV::FEED::ConflatingQueue queue(QUEUE_BOUND, QUEUE_RESERVE);
    BridgePublisher publisher(options.publisher, queue);
    if (!publisher.start(error)) {
        fprintf(stderr, text::NATS_FAILED, program, "start", error.c_str());
        return 1;
    }
    KorvUserApi* api = KorvUserApi::create_instance();
    api->set_log_file("Syslog.log");
    int ret = api->reg_mdqp_location(options.mdqp_location.c_str());
    if (ret != 0) {
        fprintf(stderr, text::BAD_LOCATION, program, options.mdqp_location.c_str(), ret);
        api->close();
        return 2;
    }
    api->reg_mirp_location(options.mirp_location.c_str());
    api->set_authentication(options.participant_id.c_str(), options.user_id.c_str(),
                            options.password.c_str());
    std::vector<std::unique_ptr<KORV::FEED::FeedHandler>> handlers;
    for (unsigned topic : options.topics) {
        handlers.push_back(std::make_unique<KORV::FEED::FeedHandler>(int(topic), queue));
        api->subscribe_topic(int(topic), handlers.back().get());
    }
    api->start();
    int signal = 0;
    sigwait(&signals, &signal);
    api->close();
    queue.close();
    publisher.stop();
    printf("%s\n", publisher.counters_text().c_str());
    // The client library's own threads and memory end here, not at exit.
    nats_Close();
    return 0;
}
