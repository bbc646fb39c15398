// Test helper: reads a capture file of korv_md_capture block by block,
// independently of the writer, and puts its contents in plain form: the
// section's comments, the interfaces, every packet, the drop counts of the
// statistics blocks, the UDP payloads of each group, and the query
// session's streams both ways with the MDQP messages in them.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace capture_view {

struct Record {
    uint32_t interface_id;
    int64_t time_ns;
    std::string data;  // the raw IPv4 packet
};

struct Mdqp {
    uint8_t trans_id;
    uint8_t flag;
    uint32_t request_id;
    std::string body;
};

// One TCP connection of the query interface, by the client's port.
struct Stream {
    bool syn = false;      // began with a handshake
    bool fin = false;      // closed
    bool in_order = true;  // every segment's sequence number was the one expected
    std::string sent;      // client to server
    std::string received;  // server to client
};

struct File {
    std::string application;
    std::vector<std::string> comments;
    std::vector<std::string> interfaces;
    std::vector<uint16_t> link_types;
    std::vector<uint8_t> resolutions;
    std::vector<Record> packets;
    std::map<uint32_t, uint64_t> drops;
    std::map<uint32_t, std::string> statistics_comments;
    size_t sections = 0;
    bool whole = true;  // the file ends where a block ends
    size_t size = 0;

    bool has_comment(const std::string& text) const
    {
        for (const std::string& c : comments)
            if (c == text)
                return true;
        return false;
    }
    std::string comment_starting(const std::string& prefix) const
    {
        for (const std::string& c : comments)
            if (c.compare(0, prefix.size(), prefix) == 0)
                return c;
        return "";
    }
};

inline uint16_t le16(const std::string& s, size_t at)
{
    return uint16_t(uint8_t(s[at]) | uint8_t(s[at + 1]) << 8);
}

inline uint32_t le32(const std::string& s, size_t at)
{
    return uint32_t(le16(s, at)) | uint32_t(le16(s, at + 2)) << 16;
}

inline uint16_t be16(const std::string& s, size_t at)
{
    return uint16_t(uint8_t(s[at]) << 8 | uint8_t(s[at + 1]));
}

inline uint32_t be32(const std::string& s, size_t at)
{
    return uint32_t(be16(s, at)) << 16 | be16(s, at + 2);
}

// The options of a block from offset at to end: (code, value) in order.
inline std::vector<std::pair<uint16_t, std::string>> options(const std::string& block, size_t at,
                                                             size_t end)
{
    std::vector<std::pair<uint16_t, std::string>> out;
    while (at + 4 <= end) {
        uint16_t code = le16(block, at);
        uint16_t length = le16(block, at + 2);
        if (code == 0 || at + 4 + length > end)
            break;
        out.emplace_back(code, block.substr(at + 4, length));
        at += 4 + ((length + 3u) & ~3u);
    }
    return out;
}

inline File read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    File file;
    file.size = all.size();
    size_t at = 0;
    while (at < all.size()) {
        if (all.size() - at < 12) {
            file.whole = false;
            break;
        }
        uint32_t type = le32(all, at);
        uint32_t length = le32(all, at + 4);
        if (length < 12 || length % 4 != 0 || all.size() - at < length ||
            le32(all, at + length - 4) != length) {
            file.whole = false;
            break;
        }
        std::string block = all.substr(at, length);
        size_t end = length - 4;
        if (type == 0x0A0D0D0A) {
            ++file.sections;
            for (const auto& option : options(block, 24, end)) {
                if (option.first == 4)
                    file.application = option.second;
                else if (option.first == 1)
                    file.comments.push_back(option.second);
            }
        } else if (type == 1) {
            file.link_types.push_back(le16(block, 8));
            std::string name;
            uint8_t resolution = 6;
            for (const auto& option : options(block, 16, end)) {
                if (option.first == 2)
                    name = option.second;
                else if (option.first == 9)
                    resolution = uint8_t(option.second[0]);
            }
            file.interfaces.push_back(name);
            file.resolutions.push_back(resolution);
        } else if (type == 6) {
            uint32_t captured = le32(block, 20);
            int64_t time = int64_t(uint64_t(le32(block, 12)) << 32 | le32(block, 16));
            file.packets.push_back(Record{le32(block, 8), time, block.substr(28, captured)});
        } else if (type == 5) {
            for (const auto& option : options(block, 20, end))
                if (option.first == 5) {
                    uint64_t drops;
                    memcpy(&drops, option.second.data(), sizeof drops);
                    file.drops[le32(block, 8)] = drops;
                } else if (option.first == 1) {
                    file.statistics_comments[le32(block, 8)] = option.second;
                }
        }
        at += length;
    }
    return file;
}

// UDP payloads of the interface, with the destination address and port.
struct Datagram {
    uint32_t source;  // network order
    uint32_t destination;
    uint16_t port;
    bool checksum_ok;  // the IPv4 header's
    std::string payload;
};

inline bool ipv4_checksum_ok(const std::string& ip)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum += be16(ip, i);
    while (sum >> 16 != 0)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

inline std::vector<Datagram> datagrams(const File& file, uint32_t interface_id)
{
    std::vector<Datagram> out;
    for (const Record& p : file.packets) {
        if (p.interface_id != interface_id || p.data.size() < 28 || uint8_t(p.data[9]) != 17)
            continue;
        Datagram d;
        memcpy(&d.source, p.data.data() + 12, 4);
        memcpy(&d.destination, p.data.data() + 16, 4);
        d.port = be16(p.data, 22);
        d.checksum_ok = ipv4_checksum_ok(p.data);
        d.payload = p.data.substr(28, be16(p.data, 24) - 8u);
        out.push_back(d);
    }
    return out;
}

// The TCP connections of the interface by client port (the server's port
// is server_port).
inline std::map<uint16_t, Stream> streams(const File& file, uint32_t interface_id,
                                          uint16_t server_port)
{
    std::map<uint16_t, Stream> out;
    std::map<uint16_t, uint32_t> next_client;
    std::map<uint16_t, uint32_t> next_server;
    for (const Record& p : file.packets) {
        if (p.interface_id != interface_id || p.data.size() < 40 || uint8_t(p.data[9]) != 6)
            continue;
        const std::string& d = p.data;
        uint16_t source_port = be16(d, 20);
        bool from_client = be16(d, 22) == server_port;
        uint16_t client = from_client ? source_port : be16(d, 22);
        Stream& s = out[client];
        uint32_t seq = be32(d, 24);
        uint8_t flags = uint8_t(d[33]);
        size_t header = size_t(uint8_t(d[32]) >> 4) * 4;
        std::string payload = d.substr(20 + header, be16(d, 2) - 20u - header);
        std::map<uint16_t, uint32_t>& next = from_client ? next_client : next_server;
        if ((flags & 0x02) != 0) {
            s.syn = s.syn || from_client;
            next[client] = seq + 1;
            continue;
        }
        if (next.count(client) == 0 || next[client] != seq)
            s.in_order = false;
        next[client] = seq + uint32_t(payload.size()) + ((flags & 0x01) != 0 ? 1 : 0);
        s.fin = s.fin || (flags & 0x01) != 0;
        (from_client ? s.sent : s.received) += payload;
    }
    return out;
}

// The MDQP packets of one direction of a stream; heartbeats included.
inline std::vector<Mdqp> mdqp_packets(const std::string& stream)
{
    std::vector<Mdqp> out;
    size_t at = 0;
    while (stream.size() - at >= 8) {
        uint16_t length = le16(stream, at + 2);
        if (stream.size() - at < 8u + length)
            break;
        out.push_back(Mdqp{uint8_t(stream[at + 1]), uint8_t(uint8_t(stream[at]) >> 4),
                           le32(stream, at + 4), stream.substr(at + 8, length)});
        at += 8u + length;
    }
    return out;
}

// The fields of an MDQP body: (id, body).
inline std::vector<std::pair<uint16_t, std::string>> fields(const std::string& body)
{
    std::vector<std::pair<uint16_t, std::string>> out;
    size_t at = 0;
    while (body.size() - at >= 4) {
        uint16_t id = le16(body, at);
        uint16_t size = le16(body, at + 2);
        if (body.size() - at - 4 < size)
            break;
        out.emplace_back(id, body.substr(at + 4, size));
        at += 4u + size;
    }
    return out;
}

}  // namespace capture_view
