#include "velta/source/utility/MonitorIndex.h"

#include "velta/source/base/Fatal.h"
#include "velta/source/utility/MonitorIndexEngine.h"
#include "velta/source/utility/MonitorIndexReporter.h"

namespace {

// Puts the reporter on the engine. The start lock keeps registration and
// removal from overlapping an engine shutdown.
void register_reporter(MonitorIndexReporter* reporter, int interval)
{
    MutexShield shield(&MonitorIndexEngine::m_start_lock);
    MonitorIndexEngine* engine = MonitorIndexEngine::m_instance.load();
    VELTA_ASSERT(engine != nullptr);
    engine->reg_index_reporter(reporter, interval);
}

// After a shutdown the engine has already taken the reporter off its timer.
void unregister_reporter(MonitorIndexReporter* reporter)
{
    MutexShield shield(&MonitorIndexEngine::m_start_lock);
    MonitorIndexEngine* engine = MonitorIndexEngine::m_instance.load();
    if (engine != nullptr)
        engine->unreg_index_reporter(reporter);
}

// The handle implementations: a reporter registered for the handle's life.
template <class Handle, class Reporter>
class MonitorIndexImpl : public Handle {
public:
    template <class Value>
    MonitorIndexImpl(const char* name, int interval, Value value) : m_reporter(name, value)
    {
        register_reporter(&m_reporter, interval);
    }
    ~MonitorIndexImpl() override { unregister_reporter(&m_reporter); }

protected:
    Reporter m_reporter;
};

class StringMonitorIndexImpl : public MonitorIndexImpl<StringMonitorIndex, StringIndexReporter> {
public:
    using MonitorIndexImpl::MonitorIndexImpl;
    void update(const char* value) override { m_reporter.update(value); }
};

class IntMonitorIndexImpl : public MonitorIndexImpl<IntMonitorIndex, IntIndexReporter> {
public:
    using MonitorIndexImpl::MonitorIndexImpl;
    void update(int value) override { m_reporter.update(value); }
};

class IntTotalMonitorIndexImpl
    : public MonitorIndexImpl<IntTotalMonitorIndex, IntTotalIndexReporter> {
public:
    using MonitorIndexImpl::MonitorIndexImpl;
    int inc(int n) override { return m_reporter.inc(n); }
};

class FloatMonitorIndexImpl : public MonitorIndexImpl<FloatMonitorIndex, FloatIndexReporter> {
public:
    using MonitorIndexImpl::MonitorIndexImpl;
    void update(double value) override { m_reporter.update(value); }
};

}  // namespace

StringMonitorIndex* StringMonitorIndex::create(const char* name, int interval, const char* value)
{
    return new StringMonitorIndexImpl(name, interval, value);
}

IntMonitorIndex* IntMonitorIndex::create(const char* name, int interval, int value)
{
    return new IntMonitorIndexImpl(name, interval, value);
}

IntTotalMonitorIndex* IntTotalMonitorIndex::create(const char* name, int interval, int value)
{
    return new IntTotalMonitorIndexImpl(name, interval, value);
}

FloatMonitorIndex* FloatMonitorIndex::create(const char* name, int interval, double value)
{
    return new FloatMonitorIndexImpl(name, interval, value);
}
