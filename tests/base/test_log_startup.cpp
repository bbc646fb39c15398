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

// What the table looks like to a static initialiser, and a registration it
// makes, which must survive the library's own initialisation.
struct EarlyUser {
    EarlyUser()
    {
        m_stdout_open = log_enabled(0, 6) && !log_enabled(0, 7);
        m_stderr_open = log_enabled(1, 6) && !log_enabled(1, 7);
        m_events_silent = !log_enabled(LOG_EVENT_SLOT, 1);
        reg_logger(5, &g_capture, 6);
        log_output(5, 6, "captured before main;");
    }
    bool m_stdout_open;
    bool m_stderr_open;
    bool m_events_silent;
};

EarlyUser g_early_user;

}  // namespace

TEST(LogStartup, UsableFromStaticInitialisers)
{
    EXPECT_TRUE(g_early_user.m_stdout_open);
    EXPECT_TRUE(g_early_user.m_stderr_open);
    EXPECT_TRUE(g_early_user.m_events_silent);
    log_output(5, 6, "still registered in main");
    EXPECT_EQ(g_capture.m_text, "captured before main;still registered in main");
}
