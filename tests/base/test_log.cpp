#include "velta/source/base/Log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velta/source/base/Fatal.h"
#include "velta/source/base/FileLogger.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/base/StdLogger.h"

namespace {

struct CaptureLogger : Logger {
    void output(const char* line) override { m_lines.emplace_back(line); }
    std::vector<std::string> m_lines;
};

// Every test leaves the table as the process found it.
class LogTable : public ::testing::Test {
protected:
    void TearDown() override
    {
        reg_logger(0, &StdoutLogger::m_instance, 6);
        reg_logger(1, &StderrLogger::m_instance, 6);
        for (int slot = 2; slot < LOG_SLOT_COUNT; ++slot)
            reg_logger(slot, &NullLogger::m_instance, 0);
    }
    CaptureLogger m_capture;
};

std::string make_temp_dir()
{
    char name[] = "/tmp/test_log_XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    return name;
}

std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST_F(LogTable, StartsWithStandardStreamsAndSilentSlots)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_output(0, 6, "to stdout %d", 1), 0);
    EXPECT_EQ(log_output(0, 7, "filtered"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout 1\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(log_output(1, 6, "to stderr"), 0);
    EXPECT_EQ(log_output(1, 7, "filtered"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");

    EXPECT_EQ(g_defalut_log_handle, 0);
}

TEST_F(LogTable, SlotsOutsideTheTableAreRefused)
{
    for (int slot = 0; slot < LOG_SLOT_COUNT; ++slot)
        ASSERT_EQ(reg_logger(slot, &m_capture, 9), 0);
    EXPECT_EQ(log_output(8, 1, "lost"), -4);
    EXPECT_EQ(log_output(-1, 1, "lost"), -4);
    CaptureLogger other;
    EXPECT_EQ(reg_logger(-1, &other, 9), -4);
    EXPECT_EQ(reg_logger(8, &other, 9), -4);
    EXPECT_TRUE(m_capture.m_lines.empty());

    // The refused registrations replaced nothing.
    for (int slot = 0; slot < LOG_SLOT_COUNT; ++slot)
        log_output(slot, 9, "slot %d", slot);
    EXPECT_EQ(m_capture.m_lines.size(), 8u);
    EXPECT_TRUE(other.m_lines.empty());
}

TEST_F(LogTable, ThresholdIsInclusiveAndReplaceable)
{
    reg_logger(4, &m_capture, 3);
    log_output(4, 3, "at");
    log_output(4, 4, "above");
    log_output(4, -1, "severe");
    reg_logger(4, &m_capture, 0);
    log_output(4, 1, "silenced");
    log_output(4, 0, "level zero");
    EXPECT_EQ(m_capture.m_lines, (std::vector<std::string>{"at", "severe", "level zero"}));

    reg_logger(4, nullptr, 9);
    EXPECT_EQ(log_output(4, 1, "discarded"), 0);
    EXPECT_EQ(m_capture.m_lines.size(), 3u);
}

TEST_F(LogTable, LoggerFormOfLogOutputIgnoresThresholds)
{
    EXPECT_EQ(log_output(&m_capture, 99, "%s-%d", "direct", 5), 0);
    EXPECT_EQ(m_capture.m_lines, std::vector<std::string>{"direct-5"});
}

TEST_F(LogTable, LongMessagesAreCutToTheBuffer)
{
    const std::string text(5000, 'x');
    reg_logger(3, &m_capture, 6);
    log_output(3, 6, "%s", text.c_str());
    log_output(&m_capture, 6, "%s", text.c_str());
    reg_logger(LOG_EVENT_SLOT, &m_capture, 6);
    report_event(5, "Version", "%s", text.c_str());

    ASSERT_EQ(m_capture.m_lines.size(), 3u);
    EXPECT_EQ(m_capture.m_lines[0], text.substr(0, LOG_LINE_SIZE - 1));
    EXPECT_EQ(m_capture.m_lines[1], text.substr(0, LOG_LINE_SIZE - 1));
    const std::string head = "event Version 5 ";
    EXPECT_EQ(m_capture.m_lines[2], head + text.substr(0, LOG_LINE_SIZE - 1 - head.size()));
}

TEST_F(LogTable, EventsReachTheEventSlotOnlyWithinItsThreshold)
{
    // The event slot starts with threshold 0, until a log file is set.
    EXPECT_FALSE(log_enabled(LOG_EVENT_SLOT, 1));
    EXPECT_TRUE(log_enabled(LOG_EVENT_SLOT, 0));
    reg_logger(LOG_EVENT_SLOT, &m_capture, 0);
    report_event(3, "LoginError", "before %d", 1);
    reg_logger(LOG_EVENT_SLOT, &m_capture, 6);
    report_event(3, "LoginError", "after %d", 2);
    report_event(6, "query", "at threshold");
    report_event(7, "query", "too verbose");
    EXPECT_EQ(m_capture.m_lines, (std::vector<std::string>{"event LoginError 3 after 2",
                                                           "event query 6 at threshold"}));
}

TEST(UseLogFlags, StartFalseAndIgnoreUnknownFlags)
{
    for (int flag = 0; flag < USE_LOG_FLAG_COUNT; ++flag)
        EXPECT_FALSE(check_use_log(flag));
    set_use_log(USE_LOG_MIRP_LENGTH, true);
    EXPECT_TRUE(check_use_log(USE_LOG_MIRP_LENGTH));
    set_use_log(USE_LOG_MIRP_LENGTH, false);
    EXPECT_FALSE(check_use_log(USE_LOG_MIRP_LENGTH));

    set_use_log(USE_LOG_FLAG_COUNT, true);
    set_use_log(-1, true);
    EXPECT_FALSE(check_use_log(USE_LOG_FLAG_COUNT));
    EXPECT_FALSE(check_use_log(-1));
}

TEST(Path, SeparatorsBecomeSlashesAndLengthIsBounded)
{
    char out[MAX_PATH_LENGTH + 1];
    convert_path(out, "C:\\logs$today/run.log");
    EXPECT_STREQ(out, "C:/logs/today/run.log");

    const std::string long_path(MAX_PATH_LENGTH + 50, 'a');
    convert_path(out, long_path.c_str());
    EXPECT_EQ(std::string(out), long_path.substr(0, MAX_PATH_LENGTH));
}

TEST(Path, MfopenOpensTheConvertedPath)
{
    const std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    std::string written = dir + "\\sub$file.log";
    FILE* file = mfopen(written.c_str(), "a+t");
    ASSERT_NE(file, nullptr);
    fputs("hello\n", file);
    fclose(file);
    EXPECT_EQ(read_lines(dir + "/sub/file.log"), std::vector<std::string>{"hello"});
    unlink((dir + "/sub/file.log").c_str());
    rmdir((dir + "/sub").c_str());
    rmdir(dir.c_str());
}

TEST(Path, MfopenRefusesPathsItWouldHaveToCut)
{
    // Cut to 200 characters this would name "/tmp/" followed by 195 a's.
    const std::string path = "/tmp/" + std::string(MAX_PATH_LENGTH, 'a');
    errno = 0;
    EXPECT_EQ(mfopen(path.c_str(), "a+t"), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_NE(access(("/tmp/" + std::string(MAX_PATH_LENGTH - 5, 'a')).c_str(), F_OK), 0);
}

TEST_F(LogTable, FileLoggerWritesStampedPrefixedFlushedLines)
{
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/Syslog.log";
    {
        FileLogger logger(path.c_str(), "korv_user_api", 0);
        reg_logger(LOG_EVENT_SLOT, &logger, 6);
        report_event(3, "LoginError", "code %d", -7003);
        // Flushed per line: readable while the logger is still open.
        ASSERT_EQ(read_lines(path).size(), 1u);
        log_output(&logger, 6, "plain");
        reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0);
    }
    {
        // Reopening appends.
        FileLogger logger(path.c_str(), "other", 42);
        log_output(&logger, 6, "again");
    }

    char host[1025] = {};
    gethostname(host, sizeof host - 1);
    const std::string pid = std::to_string(getpid());
    const std::string stamp = "[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    const std::vector<std::string> lines = read_lines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + host + " korv_user_api 0\\[" + pid +
                                                      "\\]: event LoginError 3 code -7003")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(stamp + host + " korv_user_api 0\\[" + pid + "\\]: plain")))
        << lines[1];
    EXPECT_TRUE(
        std::regex_match(lines[2], std::regex(stamp + host + " other 42\\[" + pid + "\\]: again")))
        << lines[2];
    unlink(path.c_str());
    rmdir(dir.c_str());
}

// An unopenable log file used to end the process; its owner now hears of it
// and decides.
TEST_F(LogTable, UnopenableFileLeavesAClosedLoggerThatWritesNothing)
{
    FileLogger logger("/nonexistent-dir/x/Syslog.log", "korv_user_api", 0);
    EXPECT_FALSE(logger.is_open());
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    report_event(3, "LoginError", "lost");
    log_output(&logger, 6, "lost");
    EXPECT_EQ(access("/nonexistent-dir", F_OK), -1);
}

// Before a log file is set the event slot discards the EmergencyExit event,
// which used to end the process without a word.
TEST(EmergencyExitDeathTest, GoesToStandardErrorWhileTheEventSlotDiscardsIt)
{
    EXPECT_EXIT(
        emergency_exit("create eventfd", 26, "/src/velta/source/task/SelectInterrupter.cpp"),
        testing::ExitedWithCode(EXIT_FAILURE),
        "^EmergencyExit:\\[create eventfd\\] in line 26 of file "
        "velta/source/task/SelectInterrupter\n$");
    EXPECT_EXIT(
        {
            CaptureLogger events;
            reg_logger(LOG_EVENT_SLOT, &events, 6);
            emergency_exit("create eventfd", 26, "velta/source/task/SelectInterrupter.cpp");
        },
        testing::ExitedWithCode(EXIT_FAILURE), "^$");
}
