// Internal: a protocol layer, which opens sessions and binds upper demuxers
// for the endpoints named by its keys.
#pragma once

#include "velta/source/protocol/Demuxer.h"

class Session;

class Protocol : public Demuxer {
public:
    // A new session for key on top of the given lower layer; null on failure.
    // The caller owns the session.
    virtual Session* open_session(const ProtocolKey* key, Protocol* lower,
                                  Session* lower_session) = 0;
    virtual int bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper) = 0;
    virtual int unbind_upper_demuxer(const ProtocolKey* key) = 0;
};
