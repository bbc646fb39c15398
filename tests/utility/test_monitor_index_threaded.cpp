#include "velta/source/utility/MonitorIndexEngine.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/utility/MonitorIndex.h"

namespace {

// Collects the event log lines; the engine thread writes, tests wait.
class CapturingLogger : public Logger {
public:
    void output(const char* line) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        m_changed.notify_all();
    }

    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines.size();
    }

    std::vector<std::string> lines_from(size_t start)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::vector<std::string>(m_lines.begin() + std::min(start, m_lines.size()),
                                        m_lines.end());
    }

    // Waits until the lines after start hold the wanted line count times;
    // false after a generous time-out.
    bool wait_for(const std::string& wanted, size_t start, int count = 1)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::count(m_lines.begin() + std::min(start, m_lines.size()), m_lines.end(),
                              wanted) >= count;
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

CapturingLogger g_logger;

// The engine is started from a static initialiser, ahead of the library's
// own (this file comes first on the link line): the start lock was then a
// zero-filled, non-recursive mutex, and the start deadlocked when it
// registered the "IsActive" index under it.
bool start_before_main()
{
    reg_logger(LOG_EVENT_SLOT, &g_logger, 6);
    start_monitor_index();
    return true;
}
const bool g_started_before_main = start_before_main();

MonitorIndexEngine* engine()
{
    return MonitorIndexEngine::m_instance.load();
}

// Runs fn on the engine thread and waits for it.
template <class Fn>
void on_engine(Fn fn)
{
    struct CallTask : Task {
        explicit CallTask(Fn& fn) : m_fn(fn) {}
        void wake_up() override { m_fn(); }
        Fn& m_fn;
    } task(fn);
    engine()->schedule_mutual(&task);
}

// Records the thread on which it is reported.
class ThreadRecordingReporter : public MonitorIndexReporter {
public:
    ThreadRecordingReporter() : MonitorIndexReporter("Recorder") {}
    void report() override { m_thread.store(pthread_self()); }
    std::atomic<pthread_t> m_thread{0};
};

}  // namespace

TEST(MonitorIndexEngine, StartsOnceWithItsIsActiveIndex)
{
    EXPECT_TRUE(g_started_before_main);
    MonitorIndexEngine* first = engine();
    ASSERT_NE(first, nullptr);
    IntMonitorIndex* is_active = g_mi_is_active;
    start_monitor_index();
    EXPECT_EQ(engine(), first);
    EXPECT_EQ(g_mi_is_active, is_active);
    EXPECT_TRUE(g_logger.wait_for("IsActive 1", 0));
}

TEST(MonitorIndexEngine, RegistrationRunsOnTheEngineThread)
{
    ThreadRecordingReporter reporter;
    engine()->reg_index_reporter(&reporter, 3);
    // Reported once, on the engine thread, before the call returned.
    EXPECT_TRUE(pthread_equal(reporter.m_thread.load(), engine()->thread_handle()));
    EXPECT_FALSE(reporter.empty());
    engine()->unreg_index_reporter(&reporter);
    EXPECT_TRUE(reporter.empty());
}

TEST(MonitorIndexEngine, SameIntervalSharesOneTimer)
{
    MonitorIndexEngine::IndexTimer* five = nullptr;
    MonitorIndexEngine::IndexTimer* five_again = nullptr;
    MonitorIndexEngine::IndexTimer* seven = nullptr;
    on_engine([&] {
        five = engine()->get_timer(5);
        five_again = engine()->get_timer(5);
        seven = engine()->get_timer(7);
    });
    EXPECT_EQ(five, five_again);
    EXPECT_NE(five, seven);
}

TEST(MonitorIndex, TotalIndexGrowthAndTotalPerInterval)
{
    size_t start = g_logger.size();
    IntTotalMonitorIndex* index = IntTotalMonitorIndex::create("Fills", 1, 10);
    // The registration report is written before create returns.
    EXPECT_EQ(g_logger.lines_from(start), (std::vector<std::string>{"Fills 0", "FillsTotal 10"}));
    size_t after_create = g_logger.size();
    EXPECT_EQ(index->inc(3), 13);
    EXPECT_EQ(index->inc(4), 17);
    EXPECT_TRUE(g_logger.wait_for("FillsTotal 17", after_create, 2));
    std::vector<std::string> lines = g_logger.lines_from(after_create);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) { return line.rfind("Fills", 0) != 0; }),
                lines.end());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"Fills 7", "FillsTotal 17", "Fills 0", "FillsTotal 17"}));
    delete index;
}

TEST(MonitorIndex, IndicesOfOneIntervalReportTogetherAndDeletedOnesStop)
{
    StringMonitorIndex* a = StringMonitorIndex::create("Alpha", 1, "a");
    FloatMonitorIndex* b = FloatMonitorIndex::create("Beta", 1, 1.5);
    size_t start = g_logger.size();
    a->update("longer text");
    ASSERT_TRUE(g_logger.wait_for("Beta 1.500000", start));
    std::vector<std::string> lines = g_logger.lines_from(start);
    auto beta = std::find(lines.begin(), lines.end(), "Beta 1.500000");
    ASSERT_NE(beta, lines.begin());
    EXPECT_EQ(*(beta - 1), "Alpha longer text");

    delete a;
    size_t after_delete = g_logger.size();
    b->update(2.0);
    ASSERT_TRUE(g_logger.wait_for("Beta 2.000000", after_delete, 2));
    lines = g_logger.lines_from(after_delete);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Alpha", 0) == 0; }),
              0);
    delete b;
}

TEST(MonitorIndex, ConcurrentRegistrationUpdatesAndReports)
{
    // Indices of one interval come and go on several threads while the
    // engine walks their timer; shared indices are updated meanwhile.
    StringMonitorIndex* shared_text = StringMonitorIndex::create("SharedText", 1, "");
    IntTotalMonitorIndex* shared_total = IntTotalMonitorIndex::create("SharedTotal", 1, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, shared_text, shared_total] {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
            for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
                std::string name = "Worker" + std::to_string(t) + "_" + std::to_string(i);
                IntMonitorIndex* index = IntMonitorIndex::create(name.c_str(), 1, i);
                index->update(i + 1);
                shared_text->update(std::string(static_cast<size_t>(i % 50), 'x').c_str());
                shared_total->inc(1);
                delete index;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    int total = shared_total->inc(0);
    EXPECT_GT(total, 0);
    size_t start = g_logger.size();
    EXPECT_TRUE(g_logger.wait_for("SharedTotalTotal " + std::to_string(total), start));
    delete shared_text;
    delete shared_total;
}

TEST(MonitorIndexShutdown, TakesLiveIndicesOffTheirTimers)
{
    IntMonitorIndex* survivor = IntMonitorIndex::create("Survivor", 1, 1);
    stop_monitor_index();
    EXPECT_EQ(engine(), nullptr);
    EXPECT_EQ(g_mi_is_active, nullptr);
    delete survivor;  // safe after the engine is gone
    start_monitor_index();
    EXPECT_NE(engine(), nullptr);
    EXPECT_NE(g_mi_is_active, nullptr);
}
