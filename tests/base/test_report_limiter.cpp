#include "velta/source/base/ReportLimiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velta/source/base/Logger.h"
#include "velta/source/base/NullLogger.h"

namespace {

struct CaptureLogger : Logger {
    void output(const char* line) override { m_lines.emplace_back(line); }
    std::vector<std::string> m_lines;
};

uint64_t g_now = 5000;
uint64_t fake_clock()
{
    return g_now;
}

class ReportLimiterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_now = 5000;
        reg_logger(LOG_EVENT_SLOT, &m_capture, 6);
        m_limiter.set_clock(fake_clock);
    }
    void TearDown() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }

    CaptureLogger m_capture;
    ReportLimiter m_limiter{"MirpError", 3};
};

TEST_F(ReportLimiterTest, FloodWritesFirstInFullThenOneSummaryPerSecond)
{
    int full = 0;
    // 10,000 refusals over 3 seconds: one full report, then a summary per second.
    for (int i = 0; i < 10000; ++i) {
        g_now = 5000 + uint64_t(i) * 3000 / 10000;
        if (m_limiter.admit("short datagram", i % 2 ? "10.0.0.1:5" : "10.0.0.2:6"))
            ++full;
    }
    EXPECT_EQ(full, 1);
    ASSERT_EQ(m_capture.m_lines.size(), 2u);
    EXPECT_EQ(m_capture.m_lines[0],
              "event Refused 3 MirpError short datagram: 3334 more refused in 1000 ms, first from "
              "10.0.0.1:5, last from 10.0.0.2:6");
    EXPECT_GT(m_limiter.pending("short datagram"), 0u);
}

TEST_F(ReportLimiterTest, KindsAreCountedApartAndQuietResetsToFullReports)
{
    EXPECT_TRUE(m_limiter.admit("short datagram", nullptr));
    EXPECT_TRUE(m_limiter.admit("foreign topic", nullptr));
    EXPECT_FALSE(m_limiter.admit("short datagram", nullptr));
    EXPECT_EQ(m_limiter.pending("short datagram"), 1u);
    EXPECT_EQ(m_limiter.pending("foreign topic"), 0u);
    // After a quiet second the pending count goes out with the next refusal...
    g_now += 1500;
    EXPECT_FALSE(m_limiter.admit("short datagram", nullptr));
    ASSERT_EQ(m_capture.m_lines.size(), 1u);
    EXPECT_EQ(
        m_capture.m_lines[0],
        "event Refused 3 MirpError short datagram: 2 more refused in 1500 ms, first from unknown, "
        "last from unknown");
    // ...and once nothing is pending, a refusal after a quiet second is written in full.
    g_now += 1000;
    EXPECT_TRUE(m_limiter.admit("short datagram", nullptr));
    EXPECT_TRUE(m_limiter.admit("foreign topic", nullptr));
}

}  // namespace
