#include "source/korv_user/UserApiImpl.h"

#include "source/korv_user/KorvUserCountersFile.h"
#include "source/korv_user/KorvUserMdqpStub.h"
#include "source/korv_user/KorvUserMirpDemuxer.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/FileLogger.h"
#include "velta/source/base/Fatal.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/task/SelectReactor.h"

using BRAX::KORV_USER_API::KorvMarketDataHandler;
using BRAX::KORV_USER_API::KorvUserApi;

FILE* BRAX::KORV_USER_API::set_trace_output(FILE* stream)
{
    return ::set_trace_output(stream);
}

KorvUserApi* KorvUserApi::create_instance()
{
    return new ::KORV::USER::UserApiImpl();
}

namespace KORV {
namespace USER {

UserApiImpl::UserApiImpl()
    : m_reactor(new SelectReactor()), m_stub(new KorvUserMdqpStub(m_reactor)), m_logger(nullptr)
{
}

// The thread goes first, so nothing below is released under it; the reactor
// goes last, because the channels of the stub and of the demultiplexers and
// the subscribers' timers unlink themselves from it as they are released.
UserApiImpl::~UserApiImpl()
{
    // The writer reads the counters of everything below.
    m_counters_file.reset();
    stop_thread();
    delete m_stub;
    // A topic's subscriber belongs to the first location that carries it;
    // the later ones only feed it, so they go first.
    for (auto demuxer = m_demuxers.rbegin(); demuxer != m_demuxers.rend(); ++demuxer)
        delete *demuxer;
    for (auto& entry : m_notifiers) {
        KorvUserTopic* topic = entry.second->get_user_topic();
        delete entry.second;
        delete topic;
    }
    m_demuxers.clear();
    m_notifiers.clear();
    delete m_reactor;
    // Another API object may have put its own log file in the slot since;
    // that one stays.
    if (m_logger != nullptr) {
        unreg_logger(LOG_EVENT_SLOT, m_logger);
        delete m_logger;
    }
}

bool UserApiImpl::start()
{
    if (!m_reactor->create())
        return false;
    if (!m_counters_path.empty() && m_counters_file == nullptr) {
        std::vector<int> topic_ids;
        for (const auto& entry : m_notifiers)
            topic_ids.push_back(entry.first);
        m_counters_file.reset(new KorvUserCountersFile(this, topic_ids, m_counters_path));
        if (!m_counters_file->create())
            report_event(3, "CountersError", "cannot start the writer of the counters file %s",
                         m_counters_path.c_str());
    }
    return true;
}

// A folder that cannot take the file is refused here, where the caller can
// still hear of it, rather than only logged once a second later.
int UserApiImpl::set_counters_file(const char* path)
{
    if (path == nullptr || *path == '\0')
        return EC_PARAM;
    // The writer's thread reads the topics as start() leaves them.
    if (m_reactor->thread_handle() != 0 || m_counters_file != nullptr)
        return EC_OPERATION;
    if (m_notifiers.empty())
        return EC_NOENT;
    if (KorvUserCountersFile::check_folder(path) != 0)
        return EC_ACCESS;
    m_counters_path = path;
    return EC_NONE;
}

int UserApiImpl::set_receive_mode(bool spin, int cpu)
{
    if (cpu < -1)
        return EC_PARAM;
    // The loop reads both settings only as its thread starts.
    if (m_reactor->thread_handle() != 0)
        return EC_OPERATION;
    m_reactor->set_spin(spin);
    m_reactor->set_cpu(cpu);
    return EC_NONE;
}

void UserApiImpl::close()
{
    delete this;
}

bool UserApiImpl::join()
{
    MutexShield shield(&m_join_mutex);
    return m_reactor->join();
}

void UserApiImpl::stop_thread()
{
    // Deleting the reactor from its own thread would free what the running
    // handler stands on.
    VELTA_ASSERT(m_reactor->thread_handle() == 0 ||
                 !pthread_equal(pthread_self(), m_reactor->thread_handle()));
    // stop() joins the thread unless a join() on another thread holds it;
    // then the mutex waits for that join to finish.
    m_reactor->stop();
    MutexShield shield(&m_join_mutex);
    m_reactor->join();
}

int UserApiImpl::reg_fens_location(const char*)
{
    return EC_NONE;
}

// The stub keeps whatever it is given and would only fail to connect, later
// and silently, on the reactor thread; a mistyped location is refused here,
// where the caller can still hear of it.
int UserApiImpl::reg_mdqp_location(const char* location)
{
    if (location == nullptr)
        return EC_PARAM;
    ProtocolStackKey key;
    int ret = key.push_client(location);
    if (ret != EC_NONE)
        return ret;
    return m_stub->reg_server(location);
}

int UserApiImpl::reg_mirp_location(const char* location)
{
    m_demuxers.push_back(new KorvUserMirpDemuxer(m_reactor, location));
    subscribe_all();
    return EC_NONE;
}

int UserApiImpl::set_authentication(const char* participant_id, const char* user_id,
                                    const char* password)
{
    m_stub->set_authentication(participant_id, user_id, password);
    return EC_NONE;
}

int UserApiImpl::subscribe_topic(int topic_id, KorvMarketDataHandler* handler)
{
    // Every delivery calls the handler.
    if (handler == nullptr)
        return EC_PARAM;
    // Topics are numbered in 16 bits on the wire. Two numbers that name the
    // same topic there (7 and 65543, -1 and 65535) would leave the second
    // handler without a subscriber, though both calls had succeeded.
    if (find_notifier(topic_id) != nullptr)
        return EC_EXIST;
    KorvUserTopic* topic = new KorvUserTopic(int16_t(topic_id));
    m_notifiers[topic_id] = new KorvUserTopicNotifier(m_reactor, topic_id, topic, handler);
    subscribe_all();
    return EC_NONE;
}

// A file that cannot be opened leaves the event log where it was. Other
// threads (a monitoring engine) may log meanwhile: once reg_logger has
// returned none of them is inside the logger it replaced, so it can go.
int UserApiImpl::set_log_file(const char* path)
{
    if (path == nullptr)
        return EC_PARAM;
    FileLogger* logger = new FileLogger(path, "korv_user_api", 0);
    if (!logger->is_open()) {
        delete logger;
        return EC_ACCESS;
    }
    reg_logger(LOG_EVENT_SLOT, logger, 6);
    delete m_logger;
    m_logger = logger;
    return EC_NONE;
}

// One subscriber per topic, whatever the number of locations carrying it:
// the first location makes it and every other one feeds it, so that the
// topic has one packet sequence and one snapshot, and a packet that comes
// on two lines is applied once. Demultiplexers refuse a topic they have, so
// running this again only adds the missing pairs.
void UserApiImpl::subscribe_all()
{
    for (auto& entry : m_notifiers) {
        short topic_id = short(entry.first);
        KorvUserSubscriber* subscriber = find_subscriber(topic_id);
        for (KorvUserMirpDemuxer* demuxer : m_demuxers) {
            if (subscriber == nullptr) {
                demuxer->subscribe(topic_id, entry.second->get_user_topic(), m_stub);
                subscriber = demuxer->find_subscriber(uint16_t(topic_id));
            } else {
                demuxer->attach(topic_id, subscriber);
            }
        }
    }
}

KorvUserTopicNotifier* UserApiImpl::find_notifier(int topic_id) const
{
    for (const auto& entry : m_notifiers)
        if (uint16_t(entry.first) == uint16_t(topic_id))
            return entry.second;
    return nullptr;
}

KorvUserSubscriber* UserApiImpl::find_subscriber(int topic_id) const
{
    for (KorvUserMirpDemuxer* demuxer : m_demuxers) {
        KorvUserSubscriber* subscriber = demuxer->find_subscriber(uint16_t(topic_id));
        if (subscriber != nullptr)
            return subscriber;
    }
    return nullptr;
}

const SubscriberCounters* UserApiImpl::find_subscriber_counters(int topic_id, int* line_count) const
{
    KorvUserSubscriber* subscriber = find_subscriber(topic_id);
    if (subscriber == nullptr)
        return nullptr;
    *line_count = subscriber->get_line_count();
    return &subscriber->get_counters();
}

const HandlerCounters* UserApiImpl::find_handler_counters(int topic_id) const
{
    KorvUserTopicNotifier* notifier = find_notifier(topic_id);
    return notifier == nullptr ? nullptr : &notifier->get_counters();
}

const LineCounters* UserApiImpl::find_line_counters(int line) const
{
    if (line < 0 || size_t(line) >= m_demuxers.size())
        return nullptr;
    return &m_demuxers[size_t(line)]->get_counters();
}

}  // namespace USER
}  // namespace KORV
