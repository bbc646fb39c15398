#include "source/korv_capture/TcpStreamRecorder.h"

#include "source/korv_capture/PcapngWriter.h"
#include "velta/source/base/ErrorCode.h"

namespace {

// Initial sequence numbers: any value does, distinct ones read more easily.
constexpr uint32_t CLIENT_ISN = 0x10000000;
constexpr uint32_t SERVER_ISN = 0x20000000;

}  // namespace

TcpStreamRecorder::TcpStreamRecorder(PcapngWriter& writer, uint32_t interface_id,
                                     const Ipv4Endpoint& client, const Ipv4Endpoint& server)
    : m_writer(writer),
      m_interface_id(interface_id),
      m_client(client),
      m_server(server),
      m_client_seq(CLIENT_ISN),
      m_server_seq(SERVER_ISN),
      m_packet(IPV4_HEADER_SIZE + TCP_HEADER_SIZE + MAX_SEGMENT)
{
}

int TcpStreamRecorder::open(int64_t time_ns)
{
    int result = segment(true, time_ns, TCP_FLAG_SYN, nullptr, 0);
    ++m_client_seq;
    if (result == EC_NONE)
        result = segment(false, time_ns, TCP_FLAG_SYN | TCP_FLAG_ACK, nullptr, 0);
    ++m_server_seq;
    if (result == EC_NONE)
        result = segment(true, time_ns, TCP_FLAG_ACK, nullptr, 0);
    return result;
}

int TcpStreamRecorder::client_sent(int64_t time_ns, const uint8_t* bytes, size_t length)
{
    return data(true, time_ns, bytes, length);
}

int TcpStreamRecorder::client_received(int64_t time_ns, const uint8_t* bytes, size_t length)
{
    return data(false, time_ns, bytes, length);
}

int TcpStreamRecorder::close(int64_t time_ns)
{
    if (m_closed)
        return EC_NONE;
    m_closed = true;
    int result = segment(true, time_ns, TCP_FLAG_FIN | TCP_FLAG_ACK, nullptr, 0);
    ++m_client_seq;
    if (result == EC_NONE)
        result = segment(false, time_ns, TCP_FLAG_FIN | TCP_FLAG_ACK, nullptr, 0);
    ++m_server_seq;
    if (result == EC_NONE)
        result = segment(true, time_ns, TCP_FLAG_ACK, nullptr, 0);
    return result;
}

int TcpStreamRecorder::data(bool from_client, int64_t time_ns, const uint8_t* bytes, size_t length)
{
    for (size_t done = 0; done < length;) {
        size_t part = length - done < MAX_SEGMENT ? length - done : MAX_SEGMENT;
        int result = segment(from_client, time_ns, TCP_FLAG_PSH | TCP_FLAG_ACK, bytes + done, part);
        if (result != EC_NONE)
            return result;
        (from_client ? m_client_seq : m_server_seq) += uint32_t(part);
        done += part;
    }
    return EC_NONE;
}

int TcpStreamRecorder::segment(bool from_client, int64_t time_ns, uint8_t flags,
                               const uint8_t* bytes, size_t length)
{
    // A SYN acknowledges nothing; everything else acknowledges all the
    // other side has sent.
    uint32_t ack = (flags & TCP_FLAG_ACK) == 0 ? 0 : from_client ? m_server_seq : m_client_seq;
    size_t size = build_tcp_packet(
        from_client ? m_client : m_server, from_client ? m_server : m_client, m_ip_id++,
        from_client ? m_client_seq : m_server_seq, ack, flags, bytes, length, m_packet.data());
    return m_writer.write_packet(m_interface_id, time_ns, m_packet.data(), size);
}
