// Internal to the bridge and its consumers: where the NATS servers are and
// how to log in to them, parsed from the command line, and the connection
// made from them.
//
// The connection reconnects for ever (a cluster member may come back, or
// another take over); what the owner must redo after a reconnect it learns
// through on_reconnected.
#pragma once

#include <nats/nats.h>

#include <string>
#include <vector>

namespace korv_bridge {

struct NatsSettings {
    std::vector<std::string> servers{"nats://127.0.0.1:4222"};
    std::string user;
    std::string password;
    std::string token;
    bool tls = false;
    std::string tls_ca;
    std::string tls_cert;
    std::string tls_key;
    std::string name;

    // Takes the option at argv[i] (and its value) if it is one of the
    // connection options; i then points at the last argument taken. false
    // for an option of the caller's; error (and true) for a bad value.
    bool take(int argc, char* argv[], int& i, std::string& error);
};

// Connects, trying the servers until one answers or attempts run out
// (attempts < 0: for ever); the last status.
// on_reconnected (may be null) runs on a client library thread after each
// reconnect.
natsStatus nats_connect(const NatsSettings& settings, natsConnectionHandler on_reconnected,
                        void* closure, int attempts, natsConnection** connection);

}  // namespace korv_bridge
