// The stack joins the transports to the protocol code above them.
//
// Keys are pushed bottom-up, the transport first, so key 0 of a stack key is
// always the lowest layer. Sessions are opened in that order, because each
// protocol needs the session below it to write through. Upper demuxers are
// bound the other way round, top-down: the topmost protocol learns its
// demuxer first, and every protocol below is then bound with the protocol
// above it as its demuxer, so that a packet climbs the stack one layer per
// handle_packet call. A stack is itself a protocol only so that its owner
// can treat it as one; it never sits under another layer.
//
// Location strings all share one shape,
//     scheme "://" host ":" port [transport suffix]
// and are cut like strsep does it: each step takes the text up to the next
// delimiter. Whoever owns a scheme owns its whole text: a parser that knows
// the scheme but cannot read the address reports it and returns the error
// rather than passing the text on, since "no parser knows this scheme" stops
// the process and would hide a simple typing mistake.
//
// The chain head lives beside the transports' parsers, so that any use of
// the chain also links them in and builds them in a fixed order.

#include "velta/source/protocol/ProtocolStack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "velta/source/base/Fatal.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/LocationTokenizer.h"

void ProtocolStack::reg_protocol(int protocol_id, Protocol* protocol)
{
    m_protocols[protocol_id] = protocol;
}

Protocol* ProtocolStack::find_protocol(int protocol_id) const
{
    auto found = m_protocols.find(protocol_id);
    return found == m_protocols.end() ? nullptr : found->second;
}

void ProtocolStack::clear()
{
    while (!m_protocols.empty()) {
        Protocol* protocol = m_protocols.begin()->second;
        m_protocols.erase(m_protocols.begin());
        delete protocol;
    }
}

Session* ProtocolStack::open_session(const ProtocolKey* key, Protocol* lower, Session* lower_session)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_STACK)
        return nullptr;
    const ProtocolStackKey* stack_key = static_cast<const ProtocolStackKey*>(key);
    for (int i = 0; i < stack_key->key_count(); ++i) {
        const ProtocolKey* layer_key = stack_key->get_key(i);
        Protocol* protocol = find_protocol(static_cast<int>(layer_key->protocol_id()));
        if (protocol == nullptr)
            return nullptr;
        Session* session = protocol->open_session(layer_key, lower, lower_session);
        if (session == nullptr)
            return nullptr;
        lower = protocol;
        lower_session = session;
    }
    return lower_session;
}

int ProtocolStack::bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper)
{
    if (key->protocol_id() != PROTOCOL_ID_STACK) {
        Protocol* protocol = find_protocol(static_cast<int>(key->protocol_id()));
        if (protocol == nullptr)
            return -EFAULT;
        return protocol->bind_upper_demuxer(key, upper);
    }
    const ProtocolStackKey* stack_key = static_cast<const ProtocolStackKey*>(key);
    for (int i = stack_key->key_count() - 1; i >= 0; --i) {
        const ProtocolKey* layer_key = stack_key->get_key(i);
        Protocol* protocol = find_protocol(static_cast<int>(layer_key->protocol_id()));
        if (protocol == nullptr)
            return -ENOTBLK;
        int result = protocol->bind_upper_demuxer(layer_key, upper);
        if (result != 0)
            return result;
        upper = protocol;
    }
    return 0;
}

int ProtocolStack::unbind_upper_demuxer(const ProtocolKey* key)
{
    if (key->protocol_id() != PROTOCOL_ID_STACK)
        return -EFAULT;
    const ProtocolStackKey* stack_key = static_cast<const ProtocolStackKey*>(key);
    for (int i = stack_key->key_count() - 1; i >= 0; --i) {
        const ProtocolKey* layer_key = stack_key->get_key(i);
        Protocol* protocol = find_protocol(static_cast<int>(layer_key->protocol_id()));
        if (protocol == nullptr)
            return -ENOTBLK;
        int result = protocol->unbind_upper_demuxer(layer_key);
        if (result != 0)
            return result;
    }
    return 0;
}

int ProtocolStack::handle_packet(Protocol*, const ProtocolKey*, Packet*)
{
    throw std::logic_error("The method or operation is not implemented.");
}

int ProtocolStack::handle_error(Protocol*, const ProtocolKey*, int)
{
    throw std::logic_error("The method or operation is not implemented.");
}

// Hosts are read with inet_aton, which takes what inet_addr takes but tells
// a malformed address from 255.255.255.255. Ports are range-checked: a port
// that wraps would quietly name another endpoint.
int sock_location_to_addr(sockaddr_in& addr, const char* scheme, const char* location)
{
    LocationTokenizer tokens(location);
    const char* token = tokens.next(":");
    if (token == nullptr || strcmp(token, scheme) != 0)
        return -EFAULT;
    if (!tokens.skip("//"))
        return -EBADF;
    in_addr host;
    unsigned short port;
    if (!parse_location_host(tokens.next(":"), host) || !parse_location_port(tokens.next(""), port))
        return -EBADF;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr = host;
    addr.sin_port = htons(port);
    return 0;
}

void sock_addr_to_location(char (&out)[32], const char* scheme, const sockaddr_in& addr)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&addr.sin_addr.s_addr);
    snprintf(out, sizeof(out), "%s://%d.%d.%d.%d:%d", scheme, bytes[0], bytes[1], bytes[2],
             bytes[3], ntohs(addr.sin_port));
}

ProtocolLocation::ProtocolLocation() : m_next(m_instance)
{
    m_instance = this;
}

int ProtocolLocation::push_server(ProtocolStackKey& key, const char* location)
{
    return dispatch_server(m_next, key, location);
}

int ProtocolLocation::push_client(ProtocolStackKey& key, const char* location)
{
    return dispatch_client(m_next, key, location);
}

int ProtocolLocation::report_bad_location(const char* location, int error)
{
    trace_printf("Bad location %.200s, error %d\n", location, error);
    return error;
}

int ProtocolLocation::dispatch_server(ProtocolLocation* parser, ProtocolStackKey& key,
                                      const char* location)
{
    if (parser == nullptr)
        VELTA_RUNTIME_ERROR("Unknown server in location");
    return parser->push_server(key, location);
}

// Same as dispatch_server; each kind keeps its own message so that the
// report tells which side was being set up.
int ProtocolLocation::dispatch_client(ProtocolLocation* parser, ProtocolStackKey& key,
                                      const char* location)
{
    if (parser == nullptr)
        VELTA_RUNTIME_ERROR("Unknown client in location");
    return parser->push_client(key, location);
}
