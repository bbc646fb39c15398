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
// joins the counters file's writer and the reactor thread before anything
// they use goes, which also makes a join() blocked on another thread return;
// no handler runs once close() has returned.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserCounterBlocks.h"
#include "velta/source/task/Mutex.h"

class FileLogger;
class KorvUserTopicNotifier;
class SelectReactor;

namespace KORV {
namespace USER {

class KorvUserCountersFile;
class KorvUserMdqpStub;
class KorvUserMirpDemuxer;
class KorvUserSubscriber;

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

    // See set_counters_file in KorvUserCounters.h. The writer's thread
    // starts with the loop's and lists the topics subscribed by then.
    int set_counters_file(const char* path);

    // For the engine's own checks: the demultiplexers in registration order.
    const std::vector<KorvUserMirpDemuxer*>& get_demuxers() const { return m_demuxers; }
    // For the live counters, from any thread once configuration is over: the
    // blocks of counters the layers write for a topic (as the packets number
    // it, so 65543 finds 7) or a line, or null when there is none. The
    // topic's subscriber block comes with the number of lines feeding it.
    const SubscriberCounters* find_subscriber_counters(int topic_id, int* line_count) const;
    const HandlerCounters* find_handler_counters(int topic_id) const;
    const LineCounters* find_line_counters(int line) const;

private:
    void subscribe_all();
    KorvUserTopicNotifier* find_notifier(int topic_id) const;
    // The topic's one subscriber, whichever location made it.
    KorvUserSubscriber* find_subscriber(int topic_id) const;
    // Ends the reactor thread for good; returns once it has ended.
    void stop_thread();

    SelectReactor* m_reactor;
    KorvUserMdqpStub* m_stub;
    std::vector<KorvUserMirpDemuxer*> m_demuxers;
    std::map<int, KorvUserTopicNotifier*> m_notifiers;
    // The logger of the last set_log_file; the logging table does not own it.
    FileLogger* m_logger;
    // Empty when no counters file was asked for; the writer exists from
    // start() on.
    std::string m_counters_path;
    std::unique_ptr<KorvUserCountersFile> m_counters_file;
    // Held by whoever joins the reactor thread, so that a second joiner
    // waits for the first to be done instead of returning at once.
    Mutex m_join_mutex;
};

}  // namespace USER
}  // namespace KORV
