// Internal: one open conversation of a protocol, written to by the layer above.
//
// As a TaskScheduler, schedule() wakes the task when the session can be
// written again: 0 when it can be written now, -1 when the task waits.
#pragma once

#include <cerrno>

#include "velta/source/task/TaskScheduler.h"

class PacketBuffer;
class Protocol;
class ProtocolKey;
class ProtocolKeyBuffer;

class Session : public TaskScheduler {
public:
    virtual int write(const PacketBuffer& buffer) = 0;
    virtual ProtocolKey* get_protocol_key() = 0;
    virtual Protocol* get_protocol() = 0;
    // Copies the key of the protocol the buffer asks for; -EFAULT when this
    // session has none.
    virtual int find_protocol_key(ProtocolKeyBuffer&) { return -EFAULT; }
};
