// Internal: a protocol that routes each key of a stack key to the protocol
// registered for that key's id, and the chain of location parsers that
// builds stack keys from location strings.
#pragma once

#include <netinet/in.h>

#include <map>

#include "velta/source/protocol/Protocol.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/Session.h"

class ProtocolStack : public Protocol {
public:
    ProtocolStack() = default;
    ProtocolStack(const ProtocolStack&) = delete;
    ProtocolStack& operator=(const ProtocolStack&) = delete;
    // Owners call clear() first; a stack does not delete in its destructor
    // because its owner decides when the transports may go.
    ~ProtocolStack() override = default;

    // Registers (or replaces) the protocol of an id; the stack owns it.
    void reg_protocol(int protocol_id, Protocol* protocol);
    Protocol* find_protocol(int protocol_id) const;
    // Deletes every registered protocol.
    void clear();

    // Opens the sessions of a stack key bottom-up, each on the one below;
    // returns the top session or null.
    Session* open_session(const ProtocolKey* key, Protocol* lower, Session* lower_session) override;
    // Binds top-down, so that each layer delivers to the layer above it.
    int bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper) override;
    int unbind_upper_demuxer(const ProtocolKey* key) override;

    // A stack is never a lower layer's upper demuxer: both throw.
    int handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet) override;
    int handle_error(Protocol* from, const ProtocolKey* key, int error) override;

private:
    std::map<int, Protocol*> m_protocols;
};

// A parser of location strings of one scheme. Every instance links itself in
// front of a process-wide chain; a parser that does not recognise a location
// passes it on to the next one, and a location nobody recognises stops the
// process. The transports' parsers are static objects built before main, and
// the chain is read-only afterwards.
class ProtocolLocation {
public:
    ProtocolLocation();
    ProtocolLocation(const ProtocolLocation&) = delete;
    ProtocolLocation& operator=(const ProtocolLocation&) = delete;
    virtual ~ProtocolLocation() = default;

    // Base behaviour: hand the location to the next parser of the same kind.
    virtual int push_server(ProtocolStackKey& key, const char* location);
    virtual int push_client(ProtocolStackKey& key, const char* location);

    static ProtocolLocation* instance() { return m_instance; }
    // Hand a location to parser, or stop the process when there is none.
    static int dispatch_server(ProtocolLocation* parser, ProtocolStackKey& key,
                               const char* location);
    static int dispatch_client(ProtocolLocation* parser, ProtocolStackKey& key,
                               const char* location);
    // For a location of a parser's own scheme that it cannot read: prints
    // why and gives the code back, so that a mistyped address is not taken
    // for an unknown scheme.
    static int report_bad_location(const char* location, int error);

    static ProtocolLocation* m_instance;

private:
    ProtocolLocation* m_next;
};

// "scheme://a.b.c.d:port" into an IPv4 address. -EFAULT for another scheme,
// -EBADF for a malformed address or port.
int sock_location_to_addr(sockaddr_in& addr, const char* scheme, const char* location);
// The reverse, "%s://%d.%d.%d.%d:%d", cut to fit.
void sock_addr_to_location(char (&out)[32], const char* scheme, const sockaddr_in& addr);
