#include "apps/korv_md_replay/ReplayLineHandler.h"

// The test application's handler, without its main.
#define KORV_USER_API_TEST_NO_MAIN
#include "source/korv_user_api_test.cpp"

ReplayLineHandler::ReplayLineHandler(FILE* out)
    : m_out(out), m_lines(new TestMarketDataHandler()), m_calls(0)
{
}

ReplayLineHandler::~ReplayLineHandler()
{
    delete m_lines;
}

void ReplayLineHandler::handle_market_data(const TopicSettlementSession* settlement_session,
                                           const TopicSnapTime* snap_time,
                                           const TopicMarketData* market_data,
                                           const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    // The application's handler prints on stdout; glibc lets the stream
    // variable point elsewhere for the length of the call, and nothing else
    // prints meanwhile (one thread).
    FILE* saved = stdout;
    stdout = m_out;
    m_lines->handle_market_data(settlement_session, snap_time, market_data, bids, asks);
    stdout = saved;
    ++m_calls;
}
