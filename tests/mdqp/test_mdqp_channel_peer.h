// Test helper: the far end of an MDQP connection on 127.0.0.1, written with
// plain sockets and byte strings so that it shares no code with the classes
// under test. Tests drive it and the reactor one step at a time.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "velta/source/task/Reactor.h"

namespace mdqp_test {

inline std::string le16(unsigned v)
{
    return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)};
}

inline std::string le32(uint32_t v)
{
    return le16(v & 0xffff) + le16(v >> 16);
}

// byte 0 = version 1 | flag << 4.
inline std::string packet(int trans_id, uint32_t request_id, const std::string& body, int flag = 0)
{
    std::string out;
    out += static_cast<char>(1 | (flag << 4));
    out += static_cast<char>(trans_id);
    out += le16(static_cast<unsigned>(body.size()));
    out += le32(request_id);
    return out + body;
}

inline std::string field(unsigned id, const std::string& body)
{
    return le16(id) + le16(static_cast<unsigned>(body.size())) + body;
}

inline std::string heartbeat()
{
    return packet(0, 0, "");
}

// An MDQP_RspInfo body: ErrorID and an 81-byte NUL-padded ErrorMsg.
inline std::string rsp_info(int error_id, const std::string& text)
{
    std::string msg = text;
    msg.resize(81, '\0');
    return field(1, le32(static_cast<uint32_t>(error_id)) + msg);
}

struct Parsed {
    int byte0 = 0;
    int trans_id = 0;
    uint32_t request_id = 0;
    std::string body;
    int flag() const { return byte0 >> 4; }
};

inline unsigned get16(const std::string& s, size_t at)
{
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

inline uint32_t get32(const std::string& s, size_t at)
{
    return get16(s, at) | static_cast<uint32_t>(get16(s, at + 2)) << 16;
}

// Takes one whole packet off the front of stream.
inline bool take_packet(std::string& stream, Parsed& out)
{
    if (stream.size() < 8)
        return false;
    size_t length = 8 + get16(stream, 2);
    if (stream.size() < length)
        return false;
    out.byte0 = static_cast<unsigned char>(stream[0]);
    out.trans_id = static_cast<unsigned char>(stream[1]);
    out.request_id = get32(stream, 4);
    out.body = stream.substr(8, length - 8);
    stream.erase(0, length);
    return true;
}

// A listening socket on an ephemeral port of 127.0.0.1.
class Listener {
public:
    explicit Listener(int rcvbuf = 0)
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // Inherited by accepted sockets: a small window fills up quickly.
        if (rcvbuf > 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        listen(m_fd, 5);
        fcntl(m_fd, F_SETFL, O_NONBLOCK);
    }
    ~Listener() { ::close(m_fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::string location() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }
    // A non-blocking accepted socket, or -1 when nobody is waiting.
    int accept_one()
    {
        int fd = accept(m_fd, nullptr, nullptr);
        if (fd >= 0)
            fcntl(fd, F_SETFL, O_NONBLOCK);
        return fd;
    }

private:
    int m_fd;
    int m_port;
};

// One accepted connection.
class Peer {
public:
    Peer() = default;
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return m_fd >= 0; }
    void adopt(int fd)
    {
        close();
        m_fd = fd;
        m_received.clear();
        m_peer_closed = false;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads what has arrived, at most limit bytes; false once the other end closed.
    bool receive(size_t limit = 1 << 20)
    {
        char buf[65536];
        while (limit > 0) {
            ssize_t n = recv(m_fd, buf, std::min(sizeof buf, limit), 0);
            if (n == 0)
                m_peer_closed = true;
            if (n <= 0)
                break;
            m_received.append(buf, static_cast<size_t>(n));
            limit -= static_cast<size_t>(n);
        }
        return !m_peer_closed;
    }
    bool next_packet(Parsed& out)
    {
        receive();
        return take_packet(m_received, out);
    }
    std::string& received() { return m_received; }
    bool peer_closed() const { return m_peer_closed; }

private:
    int m_fd = -1;
    std::string m_received;
    bool m_peer_closed = false;
};

// Steps the reactor one iteration at a time until done() holds. The
// deadline only keeps a broken build from hanging the suite.
template <class Done>
bool run_until(Reactor& reactor, Done done, int deadline_ms = 20000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        reactor.wake_up();
    }
    return true;
}

inline void run_iterations(Reactor& reactor, int count)
{
    for (int i = 0; i < count; ++i)
        reactor.wake_up();
}

inline long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

}  // namespace mdqp_test
