// Fuzz target: one deciphered MIRP market event body, decoded by
// parse_snap_events into a topic's book and delivered by its notifier.
//
// Each input gets a fresh book holding a small snapshot (three instruments,
// three levels a side, depth 5), so that events name instruments and levels
// that exist, and no input depends on the ones before it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzBook.h"
#include "source/korv_user/KorvUserEventParser.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "velta/source/task/SelectReactor.h"

using namespace BRAX::KORV;
using KORV::USER::KorvUserTopic;

namespace {

constexpr int16_t TOPIC = 7;
constexpr int INSTRUMENTS = 3;

void fill_snapshot(KorvUserTopic& topic)
{
    topic.set_market_data_depth(5);
    topic.begin_snapshot();
    for (int no = 0; no < INSTRUMENTS; ++no) {
        MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "IF20%02d", no);
        instrument.VolumeMultiple = 300;
        instrument.PriceTick = 0.2;
        instrument.TradeBasePrice = 4000;
        instrument.InstrumentNo = no;
        topic.handle_instrument(&instrument);
        MDQP_TopicMarketData market_data = MDQP_TopicMarketData();
        market_data.InstrumentNo = no;
        market_data.LevelBasePrice = 4000;
        topic.handle_market_data(&market_data);
        for (int i = 0; i < 3; ++i)
            for (char side : {MDET_Bid, MDET_Ask}) {
                MDQP_TopicMarketByPrice level = MDQP_TopicMarketByPrice();
                level.InstrumentNo = no;
                level.EntryType = side;
                level.Price = side == MDET_Bid ? 3999.8 - 0.2 * i : 4000.2 + 0.2 * i;
                level.Volume = 10;
                topic.handle_market_by_price(&level);
            }
    }
    topic.commit();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static SelectReactor reactor;
    KorvUserTopic topic(TOPIC);
    fuzz_book::CheckingHandler handler;
    KorvUserTopicNotifier notifier(&reactor, TOPIC, &topic, &handler);
    fill_snapshot(topic);
    FUZZ_CHECK(handler.calls == INSTRUMENTS);

    // A copy of exactly the input's length, so that reading past the body is
    // seen by AddressSanitizer.
    std::vector<char> bytes(data, data + size);
    Packet body(bytes.data(), int(bytes.size()));
    KORV::USER::parse_snap_events(body, &topic);
    topic.commit();

    fuzz_book::check_book(topic);
    FUZZ_CHECK(topic.get_instrument_count() == INSTRUMENTS);
    FUZZ_CHECK(handler.calls <= 2 * INSTRUMENTS);
    return 0;
}
