// korv_md_book: rebuilds the book korv_md_bridge publishes and prints every
// state it applies exactly as the test application prints a delivery, so
// that the two outputs compare line by line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#define KORV_USER_API_TEST_NO_MAIN
#include "source/korv_user_api_test.cpp"

#include "source/korv_bridge/BookConsumer.h"
#include "source/korv_bridge/BridgeText.h"

using namespace korv_bridge;

namespace {

struct ToolOptions {
    ConsumerSettings consumer;
    long idle_ms = -1;
};

bool parse(int argc, char* argv[], ToolOptions& options, std::string& bad)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (options.consumer.nats.take(argc, argv, i, bad)) {
            if (!bad.empty())
                return false;
            continue;
        }
        if (option == "--latency") {
            options.consumer.keep_latencies = true;
            continue;
        }
        if (i + 1 >= argc) {
            bad = option;
            return false;
        }
        const std::string value = argv[++i];
        char* end = nullptr;
        long number = strtol(value.c_str(), &end, 10);
        bool numeric = !value.empty() && *end == '\0' && number >= 0;
        if (option == "--prefix")
            options.consumer.prefix = value;
        else if (option == "--durable")
            options.consumer.durable = value;
        else if (option == "--topic" && numeric)
            options.consumer.topic_id = number;
        else if (option == "--replicas" && numeric && number >= 1)
            options.consumer.replicas = int(number);
        else if (option == "--until-whole-idle" && numeric)
            options.idle_ms = number;
        else {
            bad = option + " " + value;
            return false;
        }
    }
    return true;
}

double percentile(std::vector<int64_t> values, double fraction)
{
    if (values.empty())
        return 0;
    size_t at = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return double(values[at]) / 1000.0;
}

// Prints the book until the end condition (or for ever); the exit status.
int run(const char* program, const ToolOptions& options)
{
    BookConsumer consumer(options.consumer);
    std::string error;
    if (!consumer.start(error)) {
        fprintf(stderr, text::NATS_FAILED, program, "subscribe", error.c_str());
        return 1;
    }
    TestMarketDataHandler printer;
    bool announced = false;
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        const InstrumentState* state = consumer.next(50);
        auto now = std::chrono::steady_clock::now();
        if (state) {
            printer.handle_market_data(&state->session, &state->snap_time, &state->market_data,
                                       state->bids, state->asks);
            last = now;
        }
        if (!announced && consumer.whole()) {
            announced = true;
            fprintf(stderr, text::WHOLE, consumer.size());
        }
        if (options.idle_ms >= 0 && consumer.whole() &&
            now - last >= std::chrono::milliseconds(options.idle_ms))
            break;
    }
    if (options.consumer.keep_latencies) {
        const auto& latencies = consumer.latencies();
        fprintf(stderr, text::LATENCY, latencies.size(), percentile(latencies, 0.5),
                percentile(latencies, 0.99), percentile(latencies, 1.0));
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* program = argc > 0 ? argv[0] : "korv_md_book";
    ToolOptions options;
    std::string bad;
    if (!parse(argc, argv, options, bad)) {
        fprintf(stderr, text::BAD_ARGUMENT, program, bad.c_str());
        fprintf(stderr, text::CONSUMER_USAGE, program);
        return 2;
    }
    int status = run(program, options);
    // The client library's own threads and memory end here, not at exit.
    nats_Close();
    return status;
}
