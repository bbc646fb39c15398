// Internal: the one implementation of the public KorvUserApi.
//
// It owns the library's event loop and everything on it: one reactor, one
// query stub, one multicast demultiplexer per multicast location, and one
// book with its notifier and one subscriber per subscribed topic (owned by
// the first location that carries the topic and fed by all of them). Its
// operations only build and connect these objects; the network work runs on
// the reactor thread.
//
// Configuration comes from one thread before start(). close() may come from
// any thread but the reactor's own (so not from a handler): it stops and
// joins the reactor thread before anything the thread uses goes, which also
// makes a join() blocked on another thread return; no handler runs once
// close() has returned.
#pragma once

#include <map>
#include <vector>

#include "source/korv_user/KorvUserApi.h"
#include "velta/source/task/Mutex.h"

class FileLogger;
class KorvUserTopicNotifier;
class SelectReactor;

namespace KORV {
namespace USER {

class KorvUserMdqpStub;
class KorvUserMirpDemuxer;

class UserApiImpl : public BRAX::KORV_USER_API::KorvUserApi {
public:
    UserApiImpl();
    ~UserApiImpl() override;
    UserApiImpl(const UserApiImpl&) = delete;
    UserApiImpl& operator=(const UserApiImpl&) = delete;

    bool start() override;
    void close() override;
    bool join() override;
    int reg_fens_location(const char* location) override;
    int reg_mdqp_location(const char* location) override;
    int reg_mirp_location(const char* location) override;
    int set_authentication(const char* participant_id, const char* user_id,
                           const char* password) override;
    int subscribe_topic(int topic_id, BRAX::KORV_USER_API::KorvMarketDataHandler* handler) override;
    int set_log_file(const char* path) override;
    int set_receive_mode(bool spin, int cpu) override;

    // For the engine's own checks: the demultiplexers in registration order.
    const std::vector<KorvUserMirpDemuxer*>& get_demuxers() const { return m_demuxers; }
    // For the live counters: the notifier of each subscribed topic.
    const std::map<int, KorvUserTopicNotifier*>& get_notifiers() const { return m_notifiers; }

private:
    void subscribe_all();
    // Ends the reactor thread for good; returns once it has ended.
    void stop_thread();

    SelectReactor* m_reactor;
    KorvUserMdqpStub* m_stub;
    std::vector<KorvUserMirpDemuxer*> m_demuxers;
    std::map<int, KorvUserTopicNotifier*> m_notifiers;
    // The logger of the last set_log_file; the logging table does not own it.
    FileLogger* m_logger;
    // Held by whoever joins the reactor thread, so that a second joiner
    // waits for the first to be done instead of returning at once.
    Mutex m_join_mutex;
};

}  // namespace USER
}  // namespace KORV
