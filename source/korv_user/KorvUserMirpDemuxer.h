// Internal: receives the datagrams of one multicast location, cuts them into
// MIRP packets and hands each to the subscriber of its topic.
//
// The constructor and subscribe() run on the thread that sets the library
// up, before the reactor runs; joining the group and everything after it
// run on the reactor thread. Nothing is locked.
#pragma once

#include <cstdint>
#include <map>

#include "source/korv_user/KorvUserCounterBlocks.h"
#include "velta/source/base/ReportLimiter.h"
#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/ProtocolStack.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/task/Task.h"

class Reactor;
class TaskScheduler;
class UdpgProtocol;

namespace KORV {
namespace USER {

class KorvUserMdqpStub;
class KorvUserSubscriber;
class KorvUserTopic;

class KorvUserMirpDemuxer : public Demuxer {
public:
    // What came on this location, for the library's live counters.
    using Counters = LineCounters;

    // Parses the "udpg" location now and joins its group on the reactor.
    KorvUserMirpDemuxer(Reactor* reactor, const char* location);
    // Releases the subscribers it owns, then the transport.
    ~KorvUserMirpDemuxer() override;
    KorvUserMirpDemuxer(const KorvUserMirpDemuxer&) = delete;
    KorvUserMirpDemuxer& operator=(const KorvUserMirpDemuxer&) = delete;

    // One datagram: 0 when used up, or the negative answer of the first
    // packet that is not whole (the transport drops the rest of the
    // datagram and reads on). The first refusal of each kind is reported
    // in full, the rest counted (see ReportLimiter).
    int handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet) override;
    // The group's channel was closed by a receive error: reported (bounded
    // like the refusals), and the location is bound again REBIND_DELAY ms
    // later. If that bind fails (the route or interface is gone), it is
    // reported and tried again every REBIND_DELAY ms until it succeeds or
    // the demultiplexer goes; only a failure of the very first bind ends
    // the process.
    int handle_error(Protocol* from, const ProtocolKey* key, int error) override;

    // A socket that fails on every receive, bound again at once, would make
    // the loop open a socket and join the group (a membership report on the
    // network each time) on every turn. Once a second it costs nothing; a
    // passing fault loses a second of the feed, which gap queries recover.
    static constexpr unsigned REBIND_DELAY = 1000;

    // A subscriber for the topic: 0, or -12 when the topic has one already.
    int subscribe(short topic_id, KorvUserTopic* topic, KorvUserMdqpStub* stub);
    // Feeds this location's packets of the topic to a subscriber that another
    // demultiplexer owns (a second line of the same topic): 0, or -12 when
    // the topic has a subscriber here already.
    int attach(short topic_id, KorvUserSubscriber* subscriber);
    // The subscriber of a topic id as the packets carry it, or null.
    KorvUserSubscriber* find_subscriber(uint16_t topic_id) const;
    const Counters& get_counters() const { return m_counters; }

private:
    struct m_subscribe_task_type : Task {
        explicit m_subscribe_task_type(KorvUserMirpDemuxer* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_subscribe(); }
        KorvUserMirpDemuxer* m_owner;
    };

    void on_subscribe();
    // "a.b.c.d:port" of the sender of the datagram being handled, or null
    // when the transport cannot tell.
    const char* describe_sender(char (&out)[ReportLimiter::SENDER_SIZE], Protocol* from,
                                const ProtocolKey* key) const;

    Reactor* m_reactor;
    ProtocolStack m_stack;
    // Owned by m_stack.
    UdpgProtocol* m_udpg;
    ProtocolStackKey m_key;
    m_subscribe_task_type m_subscribe_task;
    // Delays binding again, by REBIND_DELAY.
    TaskScheduler* m_delay_scheduler;
    // Keyed by the unsigned 16-bit topic id that the packet headers carry,
    // so that topics from 32768 up are found too.
    struct Entry {
        KorvUserSubscriber* subscriber;
        bool owned;
    };
    std::map<int, Entry> m_subscribers;
    // Set by the first bind that succeeds.
    bool m_joined;
    // Set while the destructor closes the transport: its last report must
    // not bind again.
    bool m_closing;
    ReportLimiter m_reports;
    Counters m_counters;
};

}  // namespace USER
}  // namespace KORV
