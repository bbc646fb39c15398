#include "velta/source/base/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "velta/source/base/Logger.h"
#include "velta/source/base/NullLogger.h"

namespace {

// Not thread-safe by itself: the slot's mutex is what keeps it consistent.
struct CaptureLogger : Logger {
    void output(const char* line) override { m_lines.emplace_back(line); }
    std::vector<std::string> m_lines;
};

}  // namespace

TEST(LogThreaded, OneSlotSerialisesItsLines)
{
    // Different slots have different mutexes, so each gets its own logger.
    CaptureLogger plain;
    CaptureLogger events;
    reg_logger(6, &plain, 6);
    reg_logger(LOG_EVENT_SLOT, &events, 6);
    constexpr int threads = 4;
    constexpr int lines = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < lines; ++i) {
                log_output(6, 6, "thread %d line %d", t, i);
                report_event(5, "query", "thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    reg_logger(6, &NullLogger::m_instance, 0);
    reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0);
    EXPECT_EQ(plain.m_lines.size(), static_cast<size_t>(threads * lines));
    EXPECT_EQ(events.m_lines.size(), static_cast<size_t>(threads * lines));
}
