// Internal: the receiver of what an MdqpChannel brings in.
//
// Both calls run on the channel's reactor thread. handle_packet gets every
// packet but heartbeats; its result goes back to the transport (0 = go on,
// any other negative value closes the connection). handle_error reports,
// asynchronously and once per close, why the channel is finished; the
// handler is expected to delete the channel then, not inside the call.
#pragma once

class MdqpChannel;
class MdqpPacket;

class MdqpPacketHandler {
public:
    virtual int handle_packet(MdqpChannel* channel, const MdqpPacket* packet) = 0;
    virtual int handle_error(MdqpChannel* channel, int error) = 0;
    virtual ~MdqpPacketHandler() = default;
};
