// Internal: the receiving side of a protocol layer.
//
// A lower layer hands each packet it received to its upper demuxer, which
// consumes what it can by popping bytes from the front of the packet, and
// reports its own closing through handle_error.
#pragma once

class Packet;
class Protocol;
class ProtocolKey;

class Demuxer {
public:
    // 0: go on with what is left of the packet; -1: the rest is incomplete,
    // wait for more; another negative code: close the lower channel with it.
    // A datagram transport takes any answer but 0 as the refusal of the rest
    // of that datagram alone: it drops it and reads on.
    virtual int handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet) = 0;
    // The lower channel of key has gone away for the given reason.
    virtual int handle_error(Protocol* from, const ProtocolKey* key, int error) = 0;
    virtual ~Demuxer() = default;
};
