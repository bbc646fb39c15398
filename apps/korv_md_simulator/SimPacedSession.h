// Internal: a session of the simulator's query server that lets bytes
// through no faster than a given rate, as a slower link would.
//
// It wraps the accepted connection's session: writes pass while the
// connection has credit (a token bucket of about 10 ms worth of bytes,
// refilled with the time that passed), and are refused with -1 when it has
// none. The channel above then queues its packets as it does behind a full
// socket, and the writer task waits here until credit came back. A large
// snapshot so takes the time it would on that link, and whatever follows it
// on the connection (gap replies, heartbeats) waits behind it.
//
// Reactor thread only. Owns the wrapped session.
#pragma once

#include <cstdint>

#include "velta/source/protocol/Session.h"
#include "velta/source/task/Task.h"
#include "velta/source/task/TaskQueue.h"

class Reactor;

namespace KORV {
namespace SIM {

class SimPacedSession : public Session {
public:
    // How often waiting writers look for credit again.
    static constexpr unsigned REFILL_MS = 1;

    SimPacedSession(Reactor* reactor, Session* inner, double mbit_per_second);
    ~SimPacedSession() override;
    SimPacedSession(const SimPacedSession&) = delete;
    SimPacedSession& operator=(const SimPacedSession&) = delete;

    int write(const PacketBuffer& buffer) override;
    // 0 when the wrapped session can be written now and there is credit;
    // otherwise the task waits for both: -1.
    int schedule(Task* task) override;
    ProtocolKey* get_protocol_key() override;
    Protocol* get_protocol() override;
    int find_protocol_key(ProtocolKeyBuffer& buffer) override;

private:
    struct m_refill_task_type : Task {
        explicit m_refill_task_type(SimPacedSession* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_refill(); }
        SimPacedSession* m_owner;
    };

    void refill();
    void on_refill();

    Session* m_inner;
    double m_bytes_per_ms;
    double m_burst;
    double m_credit;
    uint64_t m_last_ms;
    TaskScheduler* m_refill_scheduler;
    m_refill_task_type m_refill_task;
    TaskQueue m_waiting;
};

}  // namespace SIM
}  // namespace KORV
