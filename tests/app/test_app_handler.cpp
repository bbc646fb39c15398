// The test application's handler, compiled from the application's own source.
#define KORV_USER_API_TEST_NO_MAIN
#include "source/korv_user_api_test.cpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

const double ABSENT = UFBaseFloatType::NULL_VALUE;

struct Update {
    Update()
    {
        memset(&m_session, 0, sizeof m_session);
        memset(&m_snap_time, 0, sizeof m_snap_time);
        memset(&m_data, 0, sizeof m_data);
        strcpy(m_session.SessionDay, "20261209");
        strcpy(m_session.SessionCode, "D1");
        m_session.SessionNo = 3;
        strcpy(m_snap_time.SnapDate, "20261209");
        strcpy(m_snap_time.SnapTime, "09:30:01");
        m_snap_time.SnapMillisec = 500;
        strcpy(m_data.InstrumentID, "ag2612");
        m_data.LastPrice = 7251.5;
        m_data.LevelBasePrice = 7000;
        m_data.SnapValue1 = 1;
        m_data.SnapValue2 = 2;
        m_data.OpenPrice = 7200;
        m_data.HighPrice = 7300;
        m_data.LowPrice = 7150;
        m_data.Volume = 42;
        m_data.Turnover = 3045630;
        m_data.OpenInterest = 1200;
        m_data.ClosePrice = ABSENT;
        m_data.SettlementPrice = ABSENT;
        m_data.UpperLimitPrice = 7900;
        m_data.LowerLimitPrice = 6500;
        m_data.SnapValue3 = 3;
        m_data.Delta = ABSENT;
        m_data.SnapValue4 = 4;
        strcpy(m_data.UpdateDate, "20261209");
        strcpy(m_data.UpdateTime, "09:30:01");
        m_data.UpdateMillisec = 500;
    }

    // Exactly the levels and the end mark: reading past it is caught by the
    // address sanitizer.
    static std::vector<TopicPriceEntry> side(std::vector<TopicPriceEntry> levels)
    {
        levels.push_back({ABSENT, 0});
        return levels;
    }

    TopicSettlementSession m_session;
    TopicSnapTime m_snap_time;
    TopicMarketData m_data;
    std::vector<TopicPriceEntry> m_bids = side({{7251, 5}, {7250, 7}});
    std::vector<TopicPriceEntry> m_asks =
        side({{7252, 1}, {7253, 2}, {7254, 3}, {7255, 4}, {7256, 5}, {7257, 6}});
};

class AppHandler : public ::testing::Test {
protected:
    std::string deliver(const Update& update)
    {
        testing::internal::CaptureStdout();
        m_handler.handle_market_data(&update.m_session, &update.m_snap_time, &update.m_data,
                                     update.m_bids.data(), update.m_asks.data());
        return testing::internal::GetCapturedStdout();
    }

    TestMarketDataHandler m_handler;
    Update m_update;
};

// Everything of the line before the levels, for the default update.
const std::string HEAD =
    "20261209,D1,3,7251.5,7000,1,2,7200,7300,7150,42,3045630,1200,,,7900,6500,3,,09:30:01,500,"
    "ag2612,";

size_t count_columns(const std::string& line)
{
    return static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
}

}  // namespace

TEST(PrintFloat, AbsentIsEmptyAndEverythingElseTwelveDigits)
{
    testing::internal::CaptureStdout();
    print_float(ABSENT);
    printf("|");
    print_float(1.0 / 3.0);
    printf("|");
    print_float(std::nan(""));
    printf("|");
    print_float(-2.5e-7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "|0.333333333333|nan|-2.5e-07");
}

TEST_F(AppHandler, FirstUpdateAnnouncesTheTimeThenPrintsTheFullLine)
{
    EXPECT_EQ(deliver(m_update),
              "!09:30:01.500\n" + HEAD +
                  "7251,5,7252,1,7250,7,7253,2,,0,7254,3,,0,7255,4,,0,7256,5,20261209\n");
}

TEST_F(AppHandler, TimeLineOnlyWhenTimeOrMillisecondsMove)
{
    deliver(m_update);
    const std::string line = deliver(m_update);
    EXPECT_EQ(line.find('!'), std::string::npos) << line;

    // The date takes no part in the comparison.
    strcpy(m_update.m_snap_time.SnapDate, "20261210");
    EXPECT_EQ(deliver(m_update).find('!'), std::string::npos);

    m_update.m_snap_time.SnapMillisec = 501;
    EXPECT_EQ(deliver(m_update).rfind("!09:30:01.501\n", 0), 0u);

    strcpy(m_update.m_snap_time.SnapTime, "09:30:02");
    EXPECT_EQ(deliver(m_update).rfind("!09:30:02.501\n", 0), 0u);
}

TEST_F(AppHandler, EmptyTimeAndZeroMillisecondsAreNotAnnouncedFirst)
{
    memset(&m_update.m_snap_time, 0, sizeof m_update.m_snap_time);
    EXPECT_EQ(deliver(m_update).rfind(HEAD, 0), 0u);
}

TEST_F(AppHandler, SidesWithoutLevelsPrintEmptyLevelsInterleaved)
{
    m_update.m_bids = Update::side({});
    EXPECT_EQ(
        deliver(m_update),
        "!09:30:01.500\n" + HEAD + ",0,7252,1,,0,7253,2,,0,7254,3,,0,7255,4,,0,7256,5,20261209\n");

    m_update.m_asks = Update::side({});
    const std::string line = deliver(m_update);
    EXPECT_EQ(line, HEAD + ",0,,0,,0,,0,,0,,0,,0,,0,,0,,0,20261209\n");
    EXPECT_EQ(count_columns(line), 43u);
}

TEST_F(AppHandler, AbsentValuesLeaveEmptyColumns)
{
    m_update.m_data.LastPrice = ABSENT;
    m_update.m_data.Turnover = ABSENT;
    m_update.m_data.OpenInterest = std::nan("");
    const std::string line = deliver(m_update);
    EXPECT_NE(line.find(",3,,7000,"), std::string::npos) << line;
    EXPECT_NE(line.find(",42,,nan,,,"), std::string::npos) << line;
    EXPECT_EQ(count_columns(line.substr(line.find('\n') + 1)), 43u);
}

TEST_F(AppHandler, TextsThatFillTheirFieldsStayInTheirColumns)
{
    memset(m_update.m_data.InstrumentID, 'I', sizeof m_update.m_data.InstrumentID);
    memset(m_update.m_data.UpdateDate, 'D', sizeof m_update.m_data.UpdateDate);
    memset(m_update.m_session.SessionCode, 'C', sizeof m_update.m_session.SessionCode);
    const std::string line = deliver(m_update);
    EXPECT_NE(line.find("," + std::string(31, 'I') + ",7251,5,"), std::string::npos) << line;
    EXPECT_NE(line.find(",DDDDDDDDD\n"), std::string::npos) << line;
    EXPECT_NE(line.find("20261209,CCCCCCCCC,3,"), std::string::npos) << line;
}
