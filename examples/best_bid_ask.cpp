// The least program: subscribe one topic and print every instrument's best
// bid and ask as it changes.
//   example_best_bid_ask [seconds [topic mdqp_location mirp_location participant user password]]
// The defaults match the simulator's, so `scripts/run-example best_bid_ask`
// runs it against the simulator in a private network.
#include <korv_user_api/KorvUserApi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace BRAX::KORV_USER_API;

namespace {

// Called on the library's own thread, once per changed instrument. The
// pointers are valid only during the call.
class BestBidAsk : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        // An empty side starts with the end mark, whose price is the absent value.
        auto show = [](const TopicPriceEntry& level, char* text, size_t size) {
            if (level.Price == UFBaseFloatType::NULL_VALUE)
                snprintf(text, size, "-");
            else
                snprintf(text, size, "%d@%.12g", level.Volume, level.Price);
        };
        char bid[64], ask[64];
        show(bids[0], bid, sizeof bid);
        show(asks[0], ask, sizeof ask);
        printf("%s.%03d %-12s bid %-16s ask %s\n", snap_time->SnapTime, snap_time->SnapMillisec,
               market_data->InstrumentID, bid, ask);
        fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 5;
    bool given = argc > 7;
    BestBidAsk handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location(given ? argv[3] : "tcp://127.0.0.1:30007");
    api->reg_mirp_location(given ? argv[4] : "udpg://239.3.0.1:30001");
    api->set_authentication(given ? argv[5] : "P01", given ? argv[6] : "U01",
                            given ? argv[7] : "secret");
    api->subscribe_topic(given ? atoi(argv[2]) : 1001, &handler);
    api->start();
    // The application's thread is free while the library works; here it
    // only waits, then closes, which stops the library's thread first.
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    api->close();
    return 0;
}
