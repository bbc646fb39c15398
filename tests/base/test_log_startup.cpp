// Logging must work from static initialisers of other translation units,
// whatever order the linker gives them. This file's initialiser runs before
// the library's ordinary ones, since its object comes first on the link line.
#include "velta/source/base/Log.h"

#include <gtest/gtest.h>

#include <string>

#include "velta/source/base/Logger.h"

namespace {

struct CaptureLogger : Logger {
    void output(const char* line) override { m_text += line; }
    std::string m_text;
};

CaptureLogger g_capture;

struct EarlyUser {
    EarlyUser()
    {
        m_stdout_result = log_output(0, 6, "logged to stdout before main");
        m_stderr_result = log_output(1, 7, "filtered before main");
        m_reg_result = reg_logger(5, &g_capture, 6);
        log_output(5, 6, "captured before main");
    }
    int m_stdout_result;
    int m_stderr_result;
    int m_reg_result;
};

EarlyUser g_early_user;

}  // namespace

TEST(LogStartup, UsableFromStaticInitialisers)
{
    EXPECT_EQ(g_early_user.m_stdout_result, 0);
    EXPECT_EQ(g_early_user.m_stderr_result, 0);
    EXPECT_EQ(g_early_user.m_reg_result, 0);
    EXPECT_EQ(g_capture.m_text, "captured before main");
}
