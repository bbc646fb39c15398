// Internal: hands the changed instruments of one topic's book to the
// application's handler after every commit.
//
// Reactor thread only (the constructor may run on the setting-up thread
// before the reactor runs). The delivery task is always parked in the book's
// wait queue or scheduled on the reactor, except while it delivers; commit
// wakes it synchronously, so delivery happens inside the processing of the
// snapshot or packet that completed the batch.
#pragma once

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserCounterBlocks.h"
#include "source/korv_user/KorvUserTopic.h"
#include "velta/source/task/Task.h"

class Reactor;

class KorvUserTopicNotifier {
public:
    // The handler's share of the library's live counters.
    using Counters = KORV::USER::HandlerCounters;

    // Not owned: reactor, topic and handler must outlive the notifier.
    KorvUserTopicNotifier(Reactor* reactor, int topic_id, KORV::USER::KorvUserTopic* topic,
                          BRAX::KORV_USER_API::KorvMarketDataHandler* handler);
    KorvUserTopicNotifier(const KorvUserTopicNotifier&) = delete;
    KorvUserTopicNotifier& operator=(const KorvUserTopicNotifier&) = delete;
    ~KorvUserTopicNotifier();

    KORV::USER::KorvUserTopic* get_user_topic() const { return m_topic; }
    const Counters& get_counters() const { return m_counters; }

    // Arms the delivery task for the next batch.
    void post_fetch_result();

private:
    class m_fetch_result_task_type : public Task {
    public:
        explicit m_fetch_result_task_type(KorvUserTopicNotifier* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_fetch_result(); }

    private:
        KorvUserTopicNotifier* m_owner;
    };

    void on_fetch_result();
    // One delivery of `calls` handler calls that took `ns`.
    void count_delivery(int calls, int64_t ns);

    Reactor* m_reactor;
    KORV::USER::KorvUserTopic* m_topic;
    BRAX::KORV_USER_API::KorvMarketDataHandler* m_handler;
    m_fetch_result_task_type m_fetch_result_task;
    Counters m_counters;
};
