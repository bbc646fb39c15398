// Internal to the replay: prints what the library delivers exactly as the
// test application does, one line per changed instrument, to a stream of
// the replay's choosing.
//
// The library prints its own diagnostic lines on standard output; the
// replay sends those elsewhere, so that the lines of two replays of one file
// can be compared byte for byte. Reactor thread only.
#pragma once

#include <cstdint>
#include <cstdio>

#include "source/korv_user/KorvUserApi.h"

class ReplayLineHandler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    // out is not owned; the lines reach it through its own buffer, so the
    // caller flushes it when it wants them seen.
    explicit ReplayLineHandler(FILE* out);
    ~ReplayLineHandler() override;
    ReplayLineHandler(const ReplayLineHandler&) = delete;
    ReplayLineHandler& operator=(const ReplayLineHandler&) = delete;

    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession* settlement_session,
                            const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                            const BRAX::KORV_USER_API::TopicMarketData* market_data,
                            const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                            const BRAX::KORV_USER_API::TopicPriceEntry* asks) override;

    uint64_t get_calls() const { return m_calls; }

private:
    FILE* m_out;
    // Where the application's handler prints: in memory, because it flushes
    // after every line, which on a file would be a system call per line.
    FILE* m_lines_out;
    char* m_lines_data;
    size_t m_lines_size;
    // The test application's own handler.
    BRAX::KORV_USER_API::KorvMarketDataHandler* m_lines;
    uint64_t m_calls;
};
