// Internal to the fuzzers: one subscriber client, kept for the whole run,
// against a query server that a stateful target plays on 127.0.0.1.
//
// The client side is the library's own: a select reactor and the query stub
// with its TCP transport; the target adds subscribers, books and notifiers on
// the same reactor. The server side is a plain socket. It answers every
// login itself and, when asked to, every snapshot query (with a fixed
// snapshot at MIRP packet 0) and gap query (with an empty reply); whatever
// else the client receives is the target's input. The reactor is stepped
// without waiting, and time moves only when the target advances it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserMdqpStub.h"
#include "velta/source/task/SelectReactor.h"

class FuzzClient {
public:
    explicit FuzzClient(bool answer_queries);
    ~FuzzClient();
    FuzzClient(const FuzzClient&) = delete;
    FuzzClient& operator=(const FuzzClient&) = delete;

    Reactor* reactor() { return &m_reactor; }
    KORV::USER::KorvUserMdqpStub* stub() { return m_stub; }

    // Sends bytes to the client on the current connection, with the request
    // ids LAST_QUERY and QUERY_BEFORE_LAST of whole packet headers replaced
    // by those of the client's queries; nothing while not connected.
    void send_stream(const uint8_t* data, size_t size);
    // Steps the reactor and serves the server side a number of times.
    void serve(int iterations);
    // Moves the clock, sends a heartbeat (the client gives up on a silent
    // server) and serves; while the client is not logged in the clock moves
    // on by the stub's reconnect pause until it is, so that every input
    // starts with a logged-in client.
    void advance(uint32_t ms);

private:
    void step();
    void accept_client();
    void receive_requests();
    void answer(uint8_t trans_id, uint32_t request_id, const std::string& body);
    void send_raw(const std::string& bytes);

    SelectReactor m_reactor;
    bool m_answer_queries;
    int m_listen_fd;
    int m_peer_fd;
    std::string m_received;
    // Request ids of the snapshot and gap queries, oldest first.
    std::vector<uint32_t> m_queries;
    KORV::USER::KorvUserMdqpStub* m_stub;
};
