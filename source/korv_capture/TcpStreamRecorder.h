// Internal to the capture: records the bytes of one TCP connection, both
// ways, as the IPv4 TCP segments a packet capture of it would hold, so that
// a reader that reassembles TCP streams reads it like a capture of the wire:
// a handshake, data segments with consistent sequence and acknowledgement
// numbers (at most MAX_SEGMENT payload bytes each), and a close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source/korv_capture/Ipv4Frame.h"

class PcapngWriter;

class TcpStreamRecorder {
public:
    static constexpr size_t MAX_SEGMENT = 65000;

    // Writes to interface_id of the writer, which outlives the recorder.
    TcpStreamRecorder(PcapngWriter& writer, uint32_t interface_id, const Ipv4Endpoint& client,
                      const Ipv4Endpoint& server);

    // The handshake at time_ns: SYN, SYN-ACK, ACK. 0 or EC_WRITE.
    int open(int64_t time_ns);
    // Bytes the client sent or received at time_ns. 0 or EC_WRITE.
    int client_sent(int64_t time_ns, const uint8_t* data, size_t length);
    int client_received(int64_t time_ns, const uint8_t* data, size_t length);
    // The close at time_ns: FIN from the client, FIN-ACK from the server, the
    // last ACK. Once only; 0 or EC_WRITE.
    int close(int64_t time_ns);

private:
    int segment(bool from_client, int64_t time_ns, uint8_t flags, const uint8_t* data,
                size_t length);
    int data(bool from_client, int64_t time_ns, const uint8_t* data, size_t length);

    PcapngWriter& m_writer;
    uint32_t m_interface_id;
    Ipv4Endpoint m_client;
    Ipv4Endpoint m_server;
    // The next sequence number of each side.
    uint32_t m_client_seq;
    uint32_t m_server_seq;
    uint16_t m_ip_id = 0;
    bool m_closed = false;
    std::vector<uint8_t> m_packet;
};
