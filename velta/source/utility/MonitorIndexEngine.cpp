#include "velta/source/utility/MonitorIndexEngine.h"

#include <cstdlib>

#include "velta/source/base/Fatal.h"
#include "velta/source/task/TaskScheduler.h"
#include "velta/source/utility/MonitorIndex.h"

namespace {

// The start lock may be taken before this file's static initialisers run (a
// start from another file's), so it is constant-initialised. It is also
// taken at exit by stop_monitor_index, which such an early start registers
// before this file's statics, and so would run after their destructors: it
// is never destroyed.
union StartLock {
    constexpr StartLock() : m_mutex() {}
    ~StartLock() {}
    Mutex m_mutex;
};
StartLock g_start_lock;

}  // namespace

std::atomic<MonitorIndexEngine*> MonitorIndexEngine::m_instance{nullptr};
Mutex& MonitorIndexEngine::m_start_lock = g_start_lock.m_mutex;
IntMonitorIndex* g_mi_is_active = nullptr;

namespace {

constexpr int IS_ACTIVE_INTERVAL = 20;

// The synchronous calls into the engine thread; they live on the caller's
// stack for the duration of schedule_mutual.
class RegIndexReporterTask : public Task {
public:
    RegIndexReporterTask(MonitorIndexEngine* engine, MonitorIndexReporter* reporter, int interval)
        : m_engine(engine), m_reporter(reporter), m_interval(interval)
    {
    }
    void wake_up() override
    {
        m_engine->get_timer(m_interval)->reg_index(m_reporter);
        m_reporter->report();
    }

private:
    MonitorIndexEngine* m_engine;
    MonitorIndexReporter* m_reporter;
    int m_interval;
};

// Ends the loop from inside, on the engine thread.
class StopTask : public Task {
public:
    explicit StopTask(Reactor* engine) : m_engine(engine) {}
    void wake_up() override { m_engine->stop(); }

private:
    Reactor* m_engine;
};

class UnregIndexReporterTask : public Task {
public:
    explicit UnregIndexReporterTask(MonitorIndexReporter* reporter) : m_reporter(reporter) {}
    void wake_up() override { m_reporter->detach(); }

private:
    MonitorIndexReporter* m_reporter;
};

}  // namespace

MonitorIndexEngine::IndexTimer::IndexTimer(Reactor* engine, int interval)
    : m_scheduler(engine->open_delay_scheduler(static_cast<unsigned>(interval) * 1000))
{
    m_scheduler->schedule(this);
}

MonitorIndexEngine::IndexTimer::~IndexTimer()
{
    while (!m_reporters.empty())
        m_reporters.head()->detach();
    delete m_scheduler;
}

void MonitorIndexEngine::IndexTimer::wake_up()
{
    for (ListNode* node = m_reporters.head(); node != &m_reporters; node = node->m_next)
        static_cast<MonitorIndexReporter*>(node)->report();
    m_scheduler->schedule(this);
}

MonitorIndexEngine::MonitorIndexEngine()
{
    if (!create())
        VELTA_RUNTIME_ERROR("can't create monitor index thread");
    // With the check on, schedule_mutual from other threads really waits for
    // the engine thread instead of running the call on the caller's thread.
    // The thread starts looping only after this, and after create() stored
    // its handle.
    m_thread_check = 1;
    m_started.unlock();
}

MonitorIndexEngine::~MonitorIndexEngine()
{
    // join() forgets the thread handle at once, and with the check on the
    // engine's last iteration would then fail its thread assertions. So the
    // loop is ended from inside and the thread is joined only once it has
    // left the loop.
    StopTask task(this);
    schedule_mutual(&task);
    m_stopped.lock();
    stop();
    for (auto& entry : m_timers)
        delete entry.second;
}

bool MonitorIndexEngine::init_instance()
{
    m_started.lock();
    return true;
}

void MonitorIndexEngine::exit_instance()
{
    m_stopped.unlock();
}

void MonitorIndexEngine::reg_index_reporter(MonitorIndexReporter* reporter, int interval)
{
    RegIndexReporterTask task(this, reporter, interval);
    schedule_mutual(&task);
}

void MonitorIndexEngine::unreg_index_reporter(MonitorIndexReporter* reporter)
{
    UnregIndexReporterTask task(reporter);
    schedule_mutual(&task);
}

MonitorIndexEngine::IndexTimer* MonitorIndexEngine::get_timer(int interval)
{
    IndexTimer*& timer = m_timers[interval];
    if (timer == nullptr)
        timer = new IndexTimer(this, interval);
    return timer;
}

void start_monitor_index()
{
    MutexShield shield(&MonitorIndexEngine::m_start_lock);
    if (MonitorIndexEngine::m_instance.load() != nullptr)
        return;
    static bool s_exit_registered = false;
    if (!s_exit_registered) {
        atexit(stop_monitor_index);
        s_exit_registered = true;
    }
    MonitorIndexEngine::m_instance.store(new MonitorIndexEngine);
    g_mi_is_active = IntMonitorIndex::create("IsActive", IS_ACTIVE_INTERVAL, 1);
}

void stop_monitor_index()
{
    MutexShield shield(&MonitorIndexEngine::m_start_lock);
    MonitorIndexEngine* engine = MonitorIndexEngine::m_instance.load();
    if (engine == nullptr)
        return;
    delete g_mi_is_active;
    g_mi_is_active = nullptr;
    MonitorIndexEngine::m_instance.store(nullptr);
    delete engine;
}
