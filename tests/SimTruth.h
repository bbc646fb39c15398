// Test helper: the simulator's truth file, and what the library delivered
// or the test application printed, in the same form, so end-to-end tests can
// compare them instrument by instrument.
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "source/korv_user/KorvUserApi.h"

namespace sim_truth {

using namespace BRAX::KORV_USER_API;

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The comma-separated column at index of line.
inline std::string column(const std::string& line, size_t index)
{
    std::stringstream in(line);
    std::string part;
    for (size_t i = 0; i <= index; ++i)
        std::getline(in, part, ',');
    return part;
}

inline size_t column_count(const std::string& line)
{
    size_t n = 1;
    for (char c : line)
        n += c == ',';
    return n;
}

// The instrument id is column 21 of the 43-column market line.
constexpr size_t ID_COLUMN = 21;
constexpr size_t MARKET_COLUMNS = 43;

// Instrument id to its two truth lines: the market line, "\n", the "L,"
// line of all its levels.
inline std::map<std::string, std::string> read_truth(const std::string& path)
{
    std::map<std::string, std::string> truth;
    std::ifstream in(path);
    std::string line, market_line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] != 'L') {
            market_line = line;
            continue;
        }
        std::string id = line.substr(2, line.find(',', 2) - 2);
        truth[id] = market_line + "\n" + line;
    }
    return truth;
}

// The market line of a two-line truth entry.
inline std::string market_line(const std::string& entry)
{
    return entry.substr(0, entry.find('\n'));
}

// Instrument id to the last market line the test application printed.
inline std::map<std::string, std::string> last_application_lines(const std::string& output)
{
    std::map<std::string, std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (column_count(line) == MARKET_COLUMNS)
            lines[column(line, ID_COLUMN)] = line;
    }
    return lines;
}

inline std::string number(double value)
{
    if (value == UFBaseFloatType::NULL_VALUE)
        return "";
    char text[64];
    snprintf(text, sizeof text, "%.12g", value);
    return text;
}

// Keeps the last delivery of every instrument in the truth's form.
class BookRecorder : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime*,
                            const TopicMarketData* md, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        std::ostringstream line;
        line << session->SessionDay << ',' << session->SessionCode << ',' << session->SessionNo
             << ',';
        for (double v : {md->LastPrice, md->LevelBasePrice, md->SnapValue1, md->SnapValue2,
                         md->OpenPrice, md->HighPrice, md->LowPrice})
            line << number(v) << ',';
        line << md->Volume << ',';
        for (double v : {md->Turnover, md->OpenInterest, md->ClosePrice, md->SettlementPrice,
                         md->UpperLimitPrice, md->LowerLimitPrice, md->SnapValue3, md->Delta})
            line << number(v) << ',';
        line << md->UpdateTime << ',' << md->UpdateMillisec << ',' << md->InstrumentID << ',';
        int bid_count = count(bids), ask_count = count(asks);
        for (int i = 0; i < 5; ++i) {
            line << (i < bid_count ? number(bids[i].Price) + "," + std::to_string(bids[i].Volume)
                                   : std::string(",0"))
                 << ',';
            line << (i < ask_count ? number(asks[i].Price) + "," + std::to_string(asks[i].Volume)
                                   : std::string(",0"))
                 << ',';
        }
        line << md->UpdateDate;
        std::ostringstream levels;
        levels << "L," << md->InstrumentID;
        for (const TopicPriceEntry* side : {bids, asks}) {
            int n = count(side);
            levels << ',' << n;
            for (int i = 0; i < n; ++i)
                levels << ',' << number(side[i].Price) << ',' << side[i].Volume;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines[md->InstrumentID] = line.str() + "\n" + levels.str();
        ++m_calls;
    }
    std::map<std::string, std::string> lines()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    int calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    static int count(const TopicPriceEntry* side)
    {
        int n = 0;
        while (n < 20 && side[n].Price != UFBaseFloatType::NULL_VALUE)
            ++n;
        return n;
    }
    std::mutex m_mutex;
    std::map<std::string, std::string> m_lines;
    int m_calls = 0;
};

}  // namespace sim_truth
