#include "apps/korv_md_replay/ReplayLineHandler.h"

// The test application's handler, without its main.
#define KORV_USER_API_TEST_NO_MAIN
#include "source/korv_user_api_test.cpp"

ReplayLineHandler::ReplayLineHandler(FILE* out)
    : m_out(out),
      m_lines_out(nullptr),
      m_lines_data(nullptr),
      m_lines_size(0),
      m_lines(new TestMarketDataHandler()),
      m_calls(0)
{
    m_lines_out = open_memstream(&m_lines_data, &m_lines_size);
}

ReplayLineHandler::~ReplayLineHandler()
{
    delete m_lines;
    if (m_lines_out != nullptr)
        fclose(m_lines_out);
    free(m_lines_data);
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
    stdout = m_lines_out != nullptr ? m_lines_out : m_out;
    m_lines->handle_market_data(settlement_session, snap_time, market_data, bids, asks);
    stdout = saved;
    if (m_lines_out != nullptr) {
        fflush(m_lines_out);
        fwrite(m_lines_data, 1, m_lines_size, m_out);
        rewind(m_lines_out);
    }
    ++m_calls;
}
