#include "velta/source/utility/MonitorIndexReporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/DrivenReactor.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/utility/MonitorIndexEngine.h"

namespace {

struct CapturingLogger : Logger {
    void output(const char* line) override { m_lines.push_back(line); }
    std::vector<std::string> take()
    {
        std::vector<std::string> lines;
        lines.swap(m_lines);
        return lines;
    }
    std::vector<std::string> m_lines;
};

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { reg_logger(LOG_EVENT_SLOT, &m_logger, 6); }
    void TearDown() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }
    CapturingLogger m_logger;
};

}  // namespace

TEST_F(ReportTest, TotalIndexReportsGrowthThenTotal)
{
    IntTotalIndexReporter reporter("Orders", 10);
    reporter.report();
    EXPECT_EQ(reporter.inc(3), 13);
    EXPECT_EQ(reporter.inc(4), 17);
    reporter.report();
    reporter.report();
    EXPECT_EQ(m_logger.take(),
              (std::vector<std::string>{"Orders 0", "OrdersTotal 10", "Orders 7", "OrdersTotal 17",
                                        "Orders 0", "OrdersTotal 17"}));
}

TEST_F(ReportTest, TotalIndexGrowthSurvivesWrapAround)
{
    IntTotalIndexReporter reporter("Wrap", 2147483647);
    reporter.inc(2);
    reporter.report();
    EXPECT_EQ(m_logger.take(), (std::vector<std::string>{"Wrap 2", "WrapTotal -2147483647"}));
}

TEST_F(ReportTest, ScalarIndexFormats)
{
    IntIndexReporter count("Count", 5);
    count.update(-3);
    count.report();
    FloatIndexReporter ratio("Ratio", 0.5);
    ratio.report();
    ratio.update(2.25);
    ratio.report();
    StringIndexReporter state("State", "up");
    state.report();
    EXPECT_EQ(m_logger.take(), (std::vector<std::string>{"Count -3", "Ratio 0.500000",
                                                         "Ratio 2.250000", "State up"}));
}

TEST_F(ReportTest, LinesAreFilteredByTheSlotThreshold)
{
    reg_logger(LOG_EVENT_SLOT, &m_logger, 4);
    IntIndexReporter("Quiet", 1).report();
    EXPECT_TRUE(m_logger.take().empty());
}

TEST(StringIndexReporter, LongerTextGrowsTheBufferShorterReusesIt)
{
    StringIndexReporter reporter("S", "abc");
    EXPECT_EQ(reporter.capacity(), 4u);
    reporter.update("abcdefgh");
    EXPECT_EQ(reporter.capacity(), 9u);
    reporter.update("x");
    EXPECT_EQ(reporter.capacity(), 9u);
    reporter.update(nullptr);
    EXPECT_EQ(reporter.capacity(), 9u);
}

TEST_F(ReportTest, TimerReportsItsIndicesTogetherInRegistrationOrderEveryInterval)
{
    DrivenReactor reactor;
    uint32_t start = reactor.current_jiffy();
    IntIndexReporter first("First", 1);
    IntIndexReporter second("Second", 2);
    {
        MonitorIndexEngine::IndexTimer timer(&reactor, 5);
        timer.reg_index(&first);
        timer.reg_index(&second);
        // 5 s are 625 jiffies of 8 ms; the wheel always runs one jiffy
        // ahead of the clock it was given.
        reactor.advance_to(start + 623);
        EXPECT_TRUE(m_logger.take().empty());
        reactor.advance_to(start + 624);
        EXPECT_EQ(m_logger.take(), (std::vector<std::string>{"First 1", "Second 2"}));
        reactor.advance_to(start + 1248);
        EXPECT_TRUE(m_logger.take().empty());
        reactor.advance_to(start + 1249);
        EXPECT_EQ(m_logger.take(), (std::vector<std::string>{"First 1", "Second 2"}));
        first.detach();
        reactor.advance_to(start + 1874);
        EXPECT_EQ(m_logger.take(), std::vector<std::string>{"Second 2"});
    }
    // The timer took the remaining reporter off its list when it went.
    EXPECT_TRUE(second.empty());
    reactor.advance_to(start + 3000);
    EXPECT_TRUE(m_logger.take().empty());
}
