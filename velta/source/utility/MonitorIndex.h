// Internal: the handles by which application code publishes monitoring
// indices. Each factory registers a new index with the started monitoring
// engine (start_monitor_index() must have run) and returns its handle,
// owned by the caller; deleting the handle removes the index. Creation and
// deletion wait for the engine thread; updates never block on it and may
// come from any thread. The interval is in seconds.
#pragma once

class StringMonitorIndex {
public:
    virtual void update(const char* value) = 0;
    virtual ~StringMonitorIndex() = default;
    static StringMonitorIndex* create(const char* name, int interval, const char* value);
};

class IntMonitorIndex {
public:
    virtual void update(int value) = 0;
    virtual ~IntMonitorIndex() = default;
    static IntMonitorIndex* create(const char* name, int interval, int value);
};

// Reported as its growth since the last report and as its total.
class IntTotalMonitorIndex {
public:
    // Adds n; returns the new total.
    virtual int inc(int n) = 0;
    virtual ~IntTotalMonitorIndex() = default;
    static IntTotalMonitorIndex* create(const char* name, int interval, int value);
};

class FloatMonitorIndex {
public:
    virtual void update(double value) = 0;
    virtual ~FloatMonitorIndex() = default;
    static FloatMonitorIndex* create(const char* name, int interval, double value);
};
