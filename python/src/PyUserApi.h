// Internal to the Python package: one KorvUserApi and the queue its topics
// deliver into, with the checks that turn misuse from Python into
// exceptions instead of undefined behaviour of the C++ interface (which
// expects configuration before start, one start, and nothing after close).
//
// The library's thread only ever touches the queue; it never calls into
// Python and never needs the interpreter's lock. The queue keeps the latest
// state of each instrument until Python reads it (ConflatingQueue).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserCounters.h"

#include "source/korv_feed/ConflatingQueue.h"
#include "source/korv_feed/FeedHandler.h"

namespace korv_python {

class PyUserApi {
public:
    // queue_size: the most instruments held for the reader at once.
    explicit PyUserApi(size_t queue_size);
    ~PyUserApi();

    // Configuration, before start; each throws std::invalid_argument with
    // the library's code and text when the library refuses the value.
    void set_log_file(const std::string& path);
    void reg_mdqp_location(const std::string& location);
    void reg_mirp_location(const std::string& location);
    void set_authentication(const std::string& participant_id, const std::string& user_id,
                            const std::string& password);
    void subscribe_topic(int topic_id);
    void set_counters_file(const std::string& path);
    void set_receive_mode(bool spin, int cpu);

    // The library's live counters; std::logic_error before start or after
    // close, std::invalid_argument for a topic or line it does not have.
    BRAX::KORV_USER_API::KorvTopicCounters topic_counters(int topic_id) const;
    BRAX::KORV_USER_API::KorvLineCounters line_counters(int line) const;

    // std::logic_error when already started or closed.
    void start();
    // Stops delivery and wakes every reader; idempotent.
    void close();

    bool started() const { return m_started; }
    bool closed() const { return m_api == nullptr; }
    KORV::FEED::ConflatingQueue& queue() { return m_queue; }

private:
    void require_configurable(const char* operation) const;
    void require_running(const char* operation) const;

    KORV::FEED::ConflatingQueue m_queue;
    BRAX::KORV_USER_API::KorvUserApi* m_api;
    std::vector<std::unique_ptr<KORV::FEED::FeedHandler>> m_handlers;
    bool m_started = false;
    // start and close release the interpreter's lock, so two Python
    // threads may call them at once.
    mutable std::mutex m_mutex;
};

// "error -13 (invalid parameter)": the library's code and its meaning.
std::string error_text(int code);

}  // namespace korv_python
