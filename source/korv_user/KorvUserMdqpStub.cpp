#include "source/korv_user/KorvUserMdqpStub.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "source/korv_user/KorvMdqpResultSet.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mdqp_protocol/MdqpSender.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/Reactor.h"

using namespace BRAX::KORV;

namespace KORV {
namespace USER {

namespace {

// The flag nibble of every request this client sends.
constexpr int REQUEST_FLAG = 1;

// Requests are a few dozen bytes and each topic has at most one open: a
// queue this long means the server stopped reading while it still answers
// heartbeats, and the channel closes so that the next server takes over.
constexpr unsigned long REQUEST_QUEUE_LIMIT = 64 * 1024;

}  // namespace

std::string KorvUserMdqpStub::printable(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

KorvUserMdqpStub::KorvUserMdqpStub(Reactor* reactor)
    : m_reactor(reactor),
      m_channel(nullptr),
      m_sender(nullptr),
      m_request_id(0),
      m_state(SID_Connect),
      m_action_scheduler(nullptr),
      m_action_task(this),
      m_server_index(-1)
{
    m_protocol_stack.reg_protocol(PROTOCOL_ID_TCP, new TcpProtocol(m_reactor));
    memset(m_participant_id, 0, sizeof m_participant_id);
    memset(m_user_id, 0, sizeof m_user_id);
    memset(m_password, 0, sizeof m_password);
    m_action_scheduler = m_reactor->open_delay_scheduler(ACTION_DELAY);
    post_action(SID_Connect);
}

KorvUserMdqpStub::~KorvUserMdqpStub()
{
    delete m_sender;
    m_sender = nullptr;
    // Still attached: the channel's last report only reschedules the action
    // task, which goes with the stub.
    delete m_channel;
    m_channel = nullptr;
    delete m_action_scheduler;
    m_protocol_stack.clear();
    // Queries still open at shutdown would otherwise leak: their readers
    // never close them once the stub is gone (and must not).
    for (auto& entry : m_result_sets)
        delete entry.second;
    m_result_sets.clear();
}

int KorvUserMdqpStub::reg_server(const char* location)
{
    m_servers.emplace_back();
    m_servers.back().push_client(location);
    return EC_NONE;
}

void KorvUserMdqpStub::set_authentication(const char* participant_id, const char* user_id,
                                          const char* password)
{
    copy_text(m_participant_id, participant_id);
    copy_text(m_user_id, user_id);
    copy_text(m_password, password);
}

KorvMdqpResultSet* KorvUserMdqpStub::req_qry_topic_snap(short topic_id)
{
    report_event(5, "query", "req_qry_topic_snap  topic_id = %d", topic_id);
    if (m_state != SID_LoggedIn)
        return nullptr;
    uint32_t request_id = ++m_request_id;
    m_sender->prepare(MDQP_TID_ReqQryTopicSnap, request_id, REQUEST_FLAG);
    MDQP_TopicSnapTag tag;
    tag.TopicID = topic_id;
    tag.SnapNo = -1;
    m_sender->append_field(tag);
    m_sender->flush();
    return open_request(request_id);
}

KorvMdqpResultSet* KorvUserMdqpStub::req_qry_topic_gap(short topic_id, unsigned begin, unsigned end)
{
    report_event(4, "query", "req_qry_topic_gap topic_id = %d, [%u, %u)", topic_id, begin, end);
    if (m_state != SID_LoggedIn)
        return nullptr;
    uint32_t request_id = ++m_request_id;
    m_sender->prepare(MDQP_TID_ReqQryTopicGap, request_id, REQUEST_FLAG);
    MDQP_TopicGap gap;
    gap.TopicID = topic_id;
    gap.BeginPacketNo = begin;
    gap.EndPacketNo = end;
    m_sender->append_field(gap);
    m_sender->flush();
    return open_request(request_id);
}

KorvMdqpResultSet* KorvUserMdqpStub::open_request(uint32_t request_id)
{
    KorvMdqpResultSet* result_set = new KorvMdqpResultSet(this, static_cast<int>(request_id));
    m_result_sets[request_id] = result_set;
    return result_set;
}

void KorvUserMdqpStub::close_request(unsigned request_id)
{
    auto it = m_result_sets.find(request_id);
    if (it == m_result_sets.end())
        return;
    KorvMdqpResultSet* result_set = it->second;
    m_result_sets.erase(it);
    delete result_set;
}

int KorvUserMdqpStub::schedule(Task* task)
{
    if (m_state == SID_LoggedIn)
        return EC_NONE;
    m_waiting_tasks.push_back(task);
    return EC_WOULDBLOCK;
}

int KorvUserMdqpStub::handle_packet(MdqpChannel*, const MdqpPacket* packet)
{
    if (packet->trans_id() == MDQP_TID_RspUserLogin) {
        handle_login_response(packet);
        return EC_NONE;
    }
    // A closed query or a logout response: nobody waits for it.
    auto it = m_result_sets.find(packet->request_id());
    if (it == m_result_sets.end())
        return EC_NONE;
    KorvMdqpResultSet* result_set = it->second;
    // The reader woken here may close the set: it is not touched after.
    bool last = (packet->flag() & MDQP_FLAG_CONTINUE) == 0;
    if (result_set->append(*packet, last) == EC_INSUF_BUFFER)
        report_event(3, "MdqpError",
                     "refused reply to request %u: more than %d bytes unread or a body over %d",
                     packet->request_id(), KorvMdqpResultSet::MAX_RESULT_BYTES,
                     KorvMdqpResultSet::CACHE_BLOCK);
    return EC_NONE;
}

void KorvUserMdqpStub::handle_login_response(const MdqpPacket* packet)
{
    FieldIterator field(packet->data(), static_cast<int>(packet->length()),
                        MDQP_RspInfo::field_id());
    // Without an answer the login wait ends the attempt.
    if (field.is_end())
        return;
    MDQP_RspInfo info{};
    if (field.fetch_field(info) < static_cast<int>(sizeof info.ErrorID)) {
        report_event(3, "MdqpError", "refused login response: MDQP_RspInfo of %d bytes",
                     field.size());
        return;
    }
    if (info.ErrorID != 0) {
        report_event(3, "LoginError", "%d %s", info.ErrorID, printable(info.ErrorMsg).c_str());
        post_action(SID_Connect);
        return;
    }
    report_event(5, "LoginRsp", "%d %s", info.ErrorID, printable(info.ErrorMsg).c_str());
    // Decoded for completeness; the client needs none of its values.
    MDQP_RspUserLogin login{};
    get_first_field(packet, login);
    post_action(SID_LoggedIn);
}

int KorvUserMdqpStub::handle_error(MdqpChannel* channel, int)
{
    // Reports of a channel that is being replaced are stale.
    if (channel == m_channel)
        post_action(SID_Connect);
    return EC_NONE;
}

void KorvUserMdqpStub::post_action(StateID state)
{
    m_state = state;
    m_action_task.cancel();
    m_reactor->schedule(&m_action_task);
}

void KorvUserMdqpStub::wait_action(StateID state)
{
    m_state = state;
    m_action_task.cancel();
    m_action_scheduler->schedule(&m_action_task);
}

void KorvUserMdqpStub::on_action()
{
    switch (m_state) {
        case SID_Connect:
            connect();
            break;
        case SID_Login:
            if (user_login(m_participant_id, m_user_id, m_password) == EC_NONE)
                wait_action(SID_WaitLogin);
            else
                post_action(SID_Connect);
            break;
        case SID_WaitLogin:
            post_action(SID_Connect);
            break;
        case SID_LoggedIn:
            m_waiting_tasks.emit_all();
            break;
    }
}

void KorvUserMdqpStub::connect()
{
    // The old connection goes first, also when the round pauses below: left
    // in place it would report its failing heartbeats and cut the pause short.
    delete m_sender;
    m_sender = nullptr;
    MdqpChannel* channel = m_channel;
    m_channel = nullptr;  // its destructor reports to us; we ignore it
    delete channel;

    ++m_server_index;
    if (m_server_index >= static_cast<int64_t>(m_servers.size())) {
        m_server_index = -1;
        wait_action(SID_Connect);
        return;
    }
    Session* session = m_protocol_stack.open_session(
        &m_servers[static_cast<size_t>(m_server_index)], nullptr, nullptr);
    if (session == nullptr) {
        post_action(SID_Connect);
        return;
    }
    m_channel = new MdqpChannel(m_reactor, session, REQUEST_QUEUE_LIMIT);
    m_channel->attach_packet_handler(this);
    m_sender = new MdqpSender(m_channel);
    post_action(SID_Login);
}

int KorvUserMdqpStub::user_login(const char* participant_id, const char* user_id,
                                 const char* password)
{
    uint32_t request_id = ++m_request_id;
    m_sender->prepare(MDQP_TID_ReqUserLogin, request_id, REQUEST_FLAG);
    MDQP_ReqUserLogin login;
    copy_text(login.UserID, user_id);
    copy_text(login.ParticipantID, participant_id);
    copy_text(login.Password, password);
    m_sender->append_field(login);
    m_sender->flush();
    return EC_NONE;
}

}  // namespace USER
}  // namespace KORV
