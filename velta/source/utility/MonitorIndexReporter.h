// Internal: the reporters of monitoring indices: a named value that the
// monitoring engine writes to the event log (slot 2, level 5) once when it
// is registered and then once per interval of its index timer.
//
// Thread rules: report() runs on the engine thread only; the update
// operations may be called from any thread. Integer and float values are
// single atomic words; the text value is guarded by its reporter's mutex.
// A reporter sits on one index timer's list by its ListNode, and only the
// engine thread links or unlinks it.
#pragma once

#include <atomic>
#include <string>

#include "velta/source/task/ListNode.h"
#include "velta/source/task/Mutex.h"

class MonitorIndexReporter : public ListNode {
public:
    static constexpr int LOG_LEVEL = 5;

    explicit MonitorIndexReporter(const char* name) : m_name(name) {}
    virtual void report() = 0;
    virtual ~MonitorIndexReporter() = default;

    const char* name() const { return m_name.c_str(); }

protected:
    std::string m_name;
};

// "<name> <text>".
class StringIndexReporter : public MonitorIndexReporter {
public:
    StringIndexReporter(const char* name, const char* value);
    ~StringIndexReporter() override;

    // Grows the buffer to exactly the text's size when it is too small;
    // otherwise reuses it. A null text is taken as empty.
    void update(const char* value);
    size_t capacity() const { return m_capacity; }
    void report() override;

private:
    Mutex m_mutex;
    char* m_value = nullptr;
    size_t m_capacity = 0;
};

// "<name> <value>".
class IntIndexReporter : public MonitorIndexReporter {
public:
    IntIndexReporter(const char* name, int value) : MonitorIndexReporter(name), m_value(value) {}
    void update(int value) { m_value.store(value, std::memory_order_relaxed); }
    void report() override;

private:
    std::atomic<int> m_value;
};

// Two lines per report: "<name> <growth since the last report>" and
// "<name>Total <value>". The first report shows the growth since creation.
class IntTotalIndexReporter : public MonitorIndexReporter {
public:
    IntTotalIndexReporter(const char* name, int value);
    // Adds n and returns the new value; wraps like a 32-bit counter.
    int inc(int n)
    {
        unsigned before = static_cast<unsigned>(m_value.fetch_add(n, std::memory_order_relaxed));
        return static_cast<int>(before + static_cast<unsigned>(n));
    }
    void report() override;

private:
    std::atomic<int> m_value;
    int m_previous;  // engine thread only
    std::string m_total_name;
};

// "<name> <value>" with "%lf".
class FloatIndexReporter : public MonitorIndexReporter {
public:
    FloatIndexReporter(const char* name, double value) : MonitorIndexReporter(name), m_value(value)
    {
    }
    void update(double value) { m_value.store(value, std::memory_order_relaxed); }
    void report() override;

private:
    std::atomic<double> m_value;
};
