// Internal: the monitoring engine: a reactor thread of its own that writes
// every registered index reporter to the event log at its index's interval.
//
// One index timer per distinct interval (in seconds), made on first use and
// kept for the engine's life: it reports all reporters of its list together,
// in registration order, and re-arms itself. Registration and removal are
// synchronous calls into the engine thread, so the timer lists are only ever
// touched there and the caller resumes once the reporter is on (or off) its
// list. For that the engine turns its reactor's thread check on.
//
// start_monitor_index() creates the engine once per process; it is shut down
// at process exit (stop_monitor_index).
#pragma once

#include <atomic>
#include <map>

#include "velta/source/task/Mutex.h"
#include "velta/source/task/Semaphore.h"
#include "velta/source/task/SelectReactor.h"
#include "velta/source/task/Task.h"
#include "velta/source/utility/MonitorIndexReporter.h"

class IntMonitorIndex;
class TaskScheduler;

class MonitorIndexEngine : public SelectReactor {
public:
    // The reporters of one interval and the delay scheduler that wakes them.
    // Engine thread only.
    class IndexTimer : public Task {
    public:
        IndexTimer(Reactor* engine, int interval);
        // Unlinks the reporters still listed; none is reported again.
        ~IndexTimer() override;

        void reg_index(MonitorIndexReporter* reporter) { m_reporters.push_back(reporter); }
        // Reports every listed reporter, then re-arms.
        void wake_up() override;

    private:
        ListHead m_reporters;
        TaskScheduler* m_scheduler;
    };

    static std::atomic<MonitorIndexEngine*> m_instance;
    // Usable from static initialisers and at exit; recursive, since the
    // first start registers the "IsActive" index under it.
    static Mutex& m_start_lock;

    // Starts the engine thread.
    MonitorIndexEngine();
    // Stops and joins the thread, then drops the timers.
    ~MonitorIndexEngine() override;

    // Any thread except the engine's own reporters: put the reporter on the
    // timer of the interval and report it once; off its timer again.
    void reg_index_reporter(MonitorIndexReporter* reporter, int interval);
    void unreg_index_reporter(MonitorIndexReporter* reporter);

    // Engine thread: the timer of the interval, made on first use.
    IndexTimer* get_timer(int interval);

protected:
    bool init_instance() override;
    void exit_instance() override;

private:
    // Holds the thread back until the constructor has turned the check on.
    Semaphore m_started{0};
    // Posted once the thread has left its loop.
    Semaphore m_stopped{0};
    std::map<int, IndexTimer*> m_timers;
};

// The "IsActive" index (value 1, every 20 s) of a started engine.
extern IntMonitorIndex* g_mi_is_active;

// Creates the engine and its "IsActive" index on the first call; later calls
// do nothing. Any thread.
void start_monitor_index();
// Removes "IsActive" and deletes the engine. Indices still alive are taken
// off their timers; deleting them afterwards is safe. Registered to run at
// process exit by the first start.
void stop_monitor_index();
