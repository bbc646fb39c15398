#include "velta/source/base/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
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

namespace {

// Tells whether it was still written to after it was retired.
struct RetiringLogger : Logger {
    void output(const char* line) override
    {
        m_inside.store(true);
        if (m_retired.load())
            m_late.fetch_add(1);
        usleep(20);
        m_inside.store(false);
    }
    std::atomic<bool> m_inside{false};
    std::atomic<bool> m_retired{false};
    std::atomic<int> m_late{0};
};

}  // namespace

// A monitoring thread logs while set-up replaces and deletes the event log's
// logger: once reg_logger has returned, no thread may still be inside the
// logger it replaced, or deleting it is a use after free.
TEST(LogThreaded, ReplacedLoggerIsLeftByEveryThreadBeforeRegistrationReturns)
{
    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
        while (!stop.load())
            report_event(5, "query", "from the engine thread");
    });
    int late = 0;
    int still_inside = 0;
    for (int round = 0; round < 2000; ++round) {
        RetiringLogger first;
        RetiringLogger second;
        reg_logger(LOG_EVENT_SLOT, &first, 6);
        usleep(10);
        reg_logger(LOG_EVENT_SLOT, &second, 6);
        first.m_retired.store(true);
        still_inside += first.m_inside.load();
        usleep(10);
        unreg_logger(LOG_EVENT_SLOT, &second);
        second.m_retired.store(true);
        still_inside += second.m_inside.load();
        late += first.m_late.load() + second.m_late.load();
    }
    stop.store(true);
    writer.join();
    reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0);
    EXPECT_EQ(still_inside, 0);
    EXPECT_EQ(late, 0);
}
