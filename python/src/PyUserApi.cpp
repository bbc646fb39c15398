#include "PyUserApi.h"

#include <stdexcept>

namespace korv_python {

using namespace BRAX::KORV_USER_API;

std::string error_text(int code)
{
    const char* meaning = "refused";
    switch (code) {
        case -9:
            meaning = "bad format";
            break;
        case -12:
            meaning = "already exists";
            break;
        case -13:
            meaning = "invalid parameter";
            break;
        case -15:
            meaning = "no such entry";
            break;
        case -16:
            meaning = "invalid value";
            break;
        default:
            break;
    }
    return "error " + std::to_string(code) + " (" + meaning + ")";
}

namespace {

void check(int code, const std::string& what)
{
    if (code != 0)
        throw std::invalid_argument(what + ": " + error_text(code));
}

}  // namespace

PyUserApi::PyUserApi(size_t queue_size) : m_queue(queue_size), m_api(KorvUserApi::create_instance())
{
}

PyUserApi::~PyUserApi()
{
    close();
}

void PyUserApi::require_configurable(const char* operation) const
{
    if (closed())
        throw std::logic_error(std::string(operation) + ": the API is closed");
    if (m_started)
        throw std::logic_error(std::string(operation) + ": configure before start");
}

void PyUserApi::set_log_file(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("set_log_file");
    check(m_api->set_log_file(path.c_str()), "set_log_file('" + path + "')");
}

void PyUserApi::reg_mdqp_location(const std::string& location)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("reg_mdqp_location");
    check(m_api->reg_mdqp_location(location.c_str()), "reg_mdqp_location('" + location + "')");
}

void PyUserApi::reg_mirp_location(const std::string& location)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("reg_mirp_location");
    check(m_api->reg_mirp_location(location.c_str()), "reg_mirp_location('" + location + "')");
}

void PyUserApi::set_authentication(const std::string& participant_id, const std::string& user_id,
                                   const std::string& password)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("set_authentication");
    // The library keeps 10, 15 and 40 characters; a longer value would log
    // in as someone else's shorter name.
    if (participant_id.size() > 10 || user_id.size() > 15 || password.size() > 40)
        throw std::invalid_argument(
            "set_authentication: participant_id, user_id and password take at most 10, 15 and "
            "40 characters: " +
            error_text(-13));
    check(m_api->set_authentication(participant_id.c_str(), user_id.c_str(), password.c_str()),
          "set_authentication");
}

void PyUserApi::subscribe_topic(int topic_id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("subscribe_topic");
    // Topics are 16-bit numbers on the wire; another number would alias one.
    if (topic_id < 0 || topic_id > 65535)
        throw std::invalid_argument("subscribe_topic(" + std::to_string(topic_id) +
                                    "): a topic is 0 to 65535: " + error_text(-13));
    auto handler = std::make_unique<KORV::FEED::FeedHandler>(topic_id, m_queue);
    check(m_api->subscribe_topic(topic_id, handler.get()),
          "subscribe_topic(" + std::to_string(topic_id) + ")");
    m_handlers.push_back(std::move(handler));
}

void PyUserApi::set_counters_file(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("set_counters_file");
    check(BRAX::KORV_USER_API::set_counters_file(m_api, path.c_str()),
          "set_counters_file('" + path + "')");
}

void PyUserApi::set_receive_mode(bool spin, int cpu)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("set_receive_mode");
    check(m_api->set_receive_mode(spin, cpu), "set_receive_mode");
}

// Other threads may read the counters only while the loop runs; the lock
// keeps close from ending it during the copy.
void PyUserApi::require_running(const char* operation) const
{
    if (closed())
        throw std::logic_error(std::string(operation) + ": the API is closed");
    if (!m_started)
        throw std::logic_error(std::string(operation) + ": start first");
}

KorvTopicCounters PyUserApi::topic_counters(int topic_id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_running("topic_counters");
    KorvTopicCounters counters;
    check(get_topic_counters(m_api, topic_id, &counters),
          "topic_counters(" + std::to_string(topic_id) + ")");
    return counters;
}

KorvLineCounters PyUserApi::line_counters(int line) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_running("line_counters");
    KorvLineCounters counters;
    check(get_line_counters(m_api, line, &counters), "line_counters(" + std::to_string(line) + ")");
    return counters;
}

void PyUserApi::start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    require_configurable("start");
    if (!m_api->start())
        throw std::runtime_error("start: the library's thread did not start");
    m_started = true;
}

void PyUserApi::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_api != nullptr) {
        // Joins the library's thread: no handler runs after this.
        m_api->close();
        m_api = nullptr;
    }
    m_queue.close();
}

}  // namespace korv_python
