// Internal: the library's client of the market data query service.
//
// The stub keeps the registered server locations and connects to them in
// turn, logs in, and reconnects to the next server after any failure: a
// refused login, 5000 ms without a login response, or an error reported by
// the channel. Running past the last server waits 5000 ms before the first
// one is tried again. While logged in it sends snapshot and gap queries;
// the reply of each collects in the KorvMdqpResultSet that the query
// returns. As a TaskScheduler it parks tasks until the next successful
// login.
//
// The constructor, reg_server and set_authentication run on the
// application's thread before the reactor thread starts; everything else
// runs on the reactor thread. Nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "source/mdqp_protocol/MdqpPacketHandler.h"
#include "velta/source/protocol/ProtocolStack.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/task/Task.h"
#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/TaskScheduler.h"

class MdqpSender;
class Reactor;

namespace KORV {
namespace USER {

class KorvMdqpResultSet;

class KorvUserMdqpStub : public MdqpPacketHandler, public TaskScheduler {
public:
    enum StateID { SID_Connect = 0, SID_Login = 1, SID_WaitLogin = 2, SID_LoggedIn = 3 };

    // How long a login response and the pause after the last server take.
    static constexpr unsigned ACTION_DELAY = 5000;

    explicit KorvUserMdqpStub(Reactor* reactor);
    ~KorvUserMdqpStub() override;
    KorvUserMdqpStub(const KorvUserMdqpStub&) = delete;
    KorvUserMdqpStub& operator=(const KorvUserMdqpStub&) = delete;

    int handle_packet(MdqpChannel* channel, const MdqpPacket* packet) override;
    int handle_error(MdqpChannel* channel, int error) override;
    // 0 when logged in; otherwise the task waits for the next login: -1.
    int schedule(Task* task) override;

    // Appends a "tcp" client location to the servers; always 0.
    int reg_server(const char* location);
    // Keeps at most 10, 15 and 40 characters. The texts are sent in the
    // login request only; they are never logged.
    void set_authentication(const char* participant_id, const char* user_id, const char* password);

    // The result set of a new query, owned by the caller, who ends it with
    // its close(); null when not logged in.
    KorvMdqpResultSet* req_qry_topic_snap(short topic_id);
    KorvMdqpResultSet* req_qry_topic_gap(short topic_id, unsigned begin, unsigned end);
    // Removes and destroys the result set of request_id, if there is one.
    void close_request(unsigned request_id);

    // A server's text with control characters and backslashes written as
    // escapes, so that it cannot break or forge a log line. Every character
    // becomes at most four.
    static std::string printable(const char* text);

    StateID state() const { return m_state; }
    // Queries whose result sets are still open.
    size_t open_requests() const { return m_result_sets.size(); }

private:
    void post_action(StateID state);
    void wait_action(StateID state);
    void on_action();
    void connect();
    int user_login(const char* participant_id, const char* user_id, const char* password);
    void handle_login_response(const MdqpPacket* packet);
    KorvMdqpResultSet* open_request(uint32_t request_id);

    struct m_action_task_type : Task {
        explicit m_action_task_type(KorvUserMdqpStub* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_action(); }
        KorvUserMdqpStub* m_owner;
    };

    Reactor* m_reactor;
    ProtocolStack m_protocol_stack;
    char m_participant_id[11];
    char m_user_id[16];
    char m_password[41];
    MdqpChannel* m_channel;
    MdqpSender* m_sender;
    uint32_t m_request_id;
    std::map<uint32_t, KorvMdqpResultSet*> m_result_sets;
    StateID m_state;
    TaskScheduler* m_action_scheduler;
    m_action_task_type m_action_task;
    std::vector<ProtocolStackKey> m_servers;
    int64_t m_server_index;
    TaskQueue m_waiting_tasks;
};

}  // namespace USER
}  // namespace KORV
