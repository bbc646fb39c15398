// Internal: the parser of "tcp://a.b.c.d:port" locations.
#pragma once

#include "velta/source/protocol/ProtocolStack.h"

class TcpLocation : public ProtocolLocation {
public:
    // A server location is the local address to listen on (remote 0), a
    // client location the server to connect to (local 0).
    int push_server(ProtocolStackKey& key, const char* location) override;
    int push_client(ProtocolStackKey& key, const char* location) override;
};

extern TcpLocation g_tcp_location;
