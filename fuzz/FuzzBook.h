// Internal to the fuzzers: what a book and the records delivered from it must
// look like whatever the network sent. A broken rule aborts, which libFuzzer
// reports as a crash with the input that led to it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/UFDataType.h"

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

namespace fuzz_book {

using namespace BRAX::KORV_USER_API;

// Counts the handler calls and checks every record handed out: each side
// ends with its mark within the array, and the texts are terminated.
struct CheckingHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        FUZZ_CHECK(session != nullptr && snap_time != nullptr && market_data != nullptr);
        FUZZ_CHECK(memchr(market_data->InstrumentID, '\0', sizeof market_data->InstrumentID) != nullptr);
        FUZZ_CHECK(memchr(market_data->UpdateTime, '\0', sizeof market_data->UpdateTime) != nullptr);
        check_side(bids);
        check_side(asks);
        ++calls;
    }
    static void check_side(const TopicPriceEntry* side)
    {
        int n = 0;
        while (n < TOPIC_PRICE_ENTRY_COUNT && side[n].Price != UFBaseFloatType::NULL_VALUE)
            ++n;
        FUZZ_CHECK(n < TOPIC_PRICE_ENTRY_COUNT);
    }
    long calls = 0;
};

// Every entry of the table is there, numbered by its place, and no side holds
// more levels than it has room for.
inline void check_book(const KORV::USER::KorvUserTopic& topic)
{
    FUZZ_CHECK(topic.get_instrument_count() <= KORV::USER::MAX_INSTRUMENT_COUNT);
    for (int no = 0; no < topic.get_instrument_count(); ++no) {
        const KORV::USER::KorvUserTopic::InstrumentMarketData* entry = topic.get_instrument(no);
        if (entry == nullptr)
            continue;  // a number no snapshot defined
        FUZZ_CHECK(entry->InstrumentNo == no);
        for (const KORV::USER::PriceEntryTable* side : {&entry->BidTable, &entry->AskTable})
            FUZZ_CHECK(side->get_count() >= 0 && side->get_count() <= KORV::USER::MAX_LEVEL);
    }
}

}  // namespace fuzz_book
