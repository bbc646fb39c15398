// Internal to the tests: an output stream that keeps a copy of every packet
// written, for checking what an encoder produced.
#pragma once

#include <vector>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Packet.h"
#include "velta/source/stream/OutputStream.h"

// tell() is the number of packets written so far, after a start position;
// m_refuse makes write fail as a full stream does.
class RecordingStream : public OutputStream<Packet> {
public:
    explicit RecordingStream(long start) : m_start(start) {}
    int schedule(Task*) override { return 0; }
    long seek(long, int) override { return 0; }
    long tell() override { return m_start + static_cast<long>(m_packets.size()); }
    int write(const Packet& packet) override
    {
        if (m_refuse)
            return EC_WOULDBLOCK;
        m_packets.emplace_back(packet.data(), packet.data() + packet.length());
        return EC_NONE;
    }
    int flush() override
    {
        ++m_flushes;
        return EC_NONE;
    }
    int close() override
    {
        ++m_closes;
        return EC_NONE;
    }

    long m_start;
    std::vector<std::vector<char>> m_packets;
    bool m_refuse = false;
    int m_flushes = 0;
    int m_closes = 0;
};
