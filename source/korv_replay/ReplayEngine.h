// Public interface of the replay component: a capture file played through
// the library's own receive path (query stub, multicast demultiplexers,
// subscribers, books, notifiers), on a reactor the caller steps.
//
// The query side is the file's own: a ReplayQueryServer on 127.0.0.1 (a
// free port) answers the stub's login, snapshot and gap queries from what
// the file recorded, as the live server answered them. It is a real TCP
// listener rather than a stand-in object so that the stub, its channel and
// its framing run exactly as they do live, and so that the simulator can
// serve a file to clients with the same server. A caller may instead name
// a query server of its own (set_query_server), which must run on this
// engine's reactor (get_reactor) before start().
//
// Each line of the file (a multicast group and port) gets a demultiplexer
// of its own, which never joins its group: the datagrams come from the
// file, in file order. A topic's first line subscribes it, the others
// attach to the same subscriber, as the library does for two lines.
//
// What a topic needs is checked before anything is fed (see
// ReplayCapture::plan): a topic without a snapshot or touched by a lost
// segment is not replayed; one with a hole nothing covers is replayed up to
// the hole and no further. Each such topic gets a report, and so does one
// whose book did not reach the end of what the file holds.
//
// Caller's thread only; the handler is called from step() and finish().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayReactor.h"
#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserTopic.h"

class KorvUserTopicNotifier;
class ReplayQueryServer;

namespace KORV {
namespace USER {
class KorvUserMdqpStub;
class KorvUserMirpDemuxer;
class KorvUserSubscriber;
}  // namespace USER
}  // namespace KORV

class ReplayEngine {
public:
    struct Options {
        // Topics to replay; empty: every topic of the file.
        std::vector<int> topics;
        // Lines to replay, as "group:port" or the capture's name of the
        // line; empty: every line.
        std::vector<std::string> lines;
        // 0: as fast as possible; else that many times the recorded pace.
        double speed = 0;
    };

    // capture and handler are not owned and must outlive the engine.
    ReplayEngine(const ReplayCapture& capture, BRAX::KORV_USER_API::KorvMarketDataHandler* handler,
                 const Options& options);
    ~ReplayEngine();
    ReplayEngine(const ReplayEngine&) = delete;
    ReplayEngine& operator=(const ReplayEngine&) = delete;

    // A query server of the caller's instead of the file's, with the
    // credentials it accepts; its snapshot is taken to be consistent with
    // the packet before each topic's first.
    void set_query_server(const std::string& location, const std::string& participant_id,
                          const std::string& user_id, const std::string& password)
    {
        m_query_location = location;
        m_credentials = {participant_id, user_id, password};
    }
    Reactor* get_reactor() { return &m_reactor; }
    // "tcp://127.0.0.1:port" with a port nothing listens on right now.
    static std::string free_local_location();

    // Plans the topics, starts the query side and logs in, up to the point
    // where every subscriber has asked for its snapshot: 0, or a negative
    // code with error set (nothing to replay, no query side, no login).
    int start(std::string& error);
    // Feeds the next datagram of the chosen lines, after waiting for its
    // time at a recorded pace: 1 when one was fed, 0 at the end.
    int step();
    // Lets the library take what is still cached or asked for, at most
    // timeout_ms; then checks every topic's book against the file.
    void finish(unsigned timeout_ms);

    // One line per topic the replay cannot vouch for (in full or past a
    // point); empty when it vouches for every one.
    const std::vector<std::string>& get_reports() const { return m_reports; }
    const std::vector<int>& get_topics() const { return m_topic_ids; }
    // The capture time of the datagram last fed (that led to the current
    // deliveries), or of the first one before any.
    int64_t get_time_ns() const { return m_time_ns; }
    // The topic whose delivery the handler is in (for a handler of several).
    int get_delivering_topic() const { return m_delivering_topic; }
    uint64_t get_datagrams() const { return m_fed; }
    uint64_t get_bytes() const { return m_bytes; }
    uint64_t get_refused() const { return m_refused; }
    // How far into the file's datagrams the replay is, and how many it holds.
    size_t get_position() const { return m_next; }
    size_t get_size() const { return m_capture.get_datagrams().size(); }
    const KORV::USER::KorvUserSubscriber* get_subscriber(int topic_id) const;
    const KORV::USER::KorvUserTopic* get_book(int topic_id) const;

private:
    // Between a topic's notifier and the caller's handler: says which topic
    // delivers.
    class TopicHandler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
    public:
        TopicHandler(ReplayEngine* engine, int topic_id) : m_engine(engine), m_topic_id(topic_id)
        {
        }
        void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession* session,
                                const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                                const BRAX::KORV_USER_API::TopicMarketData* market_data,
                                const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                                const BRAX::KORV_USER_API::TopicPriceEntry* asks) override;

    private:
        ReplayEngine* m_engine;
        int m_topic_id;
    };

    struct ReplayTopic {
        int topic_id = 0;
        std::unique_ptr<TopicHandler> handler;
        ReplayTopicPlan plan;
        // Packets from this number on are not fed (0: no limit).
        uint32_t stop = 0;
        std::unique_ptr<KORV::USER::KorvUserTopic> book;
        KorvUserTopicNotifier* notifier = nullptr;
    };

    bool line_chosen(const ReplayLine& line) const;
    void plan_topics();
    int feed(const ReplayDatagram& datagram);
    bool settled() const;
    bool steps_until(bool (ReplayEngine::*done)() const, unsigned timeout_ms);
    bool all_asked() const;

    const ReplayCapture& m_capture;
    BRAX::KORV_USER_API::KorvMarketDataHandler* m_handler;
    Options m_options;
    std::string m_query_location;
    // Participant, user, password; a recorded server takes any.
    std::vector<std::string> m_credentials{"replay", "replay", "replay"};
    ReplayReactor m_reactor;
    std::unique_ptr<ReplayQueryServer> m_server;
    KORV::USER::KorvUserMdqpStub* m_stub = nullptr;
    std::vector<int> m_topic_ids;
    std::vector<ReplayTopic> m_topics;
    // By line index; null for the lines not replayed.
    std::vector<KORV::USER::KorvUserMirpDemuxer*> m_demuxers;
    std::vector<std::string> m_reports;
    std::vector<char> m_buffer;
    bool m_filtered = false;
    size_t m_next = 0;
    int64_t m_time_ns = 0;
    int m_delivering_topic = 0;
    double m_started = 0;
    uint64_t m_fed = 0;
    uint64_t m_bytes = 0;
    uint64_t m_refused = 0;
};
