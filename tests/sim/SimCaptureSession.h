// Internal (tests): a session that keeps every datagram written to it, so
// that the publisher's output can be examined without a network.
#pragma once

#include <string>
#include <vector>

#include "velta/source/base/PacketBuffer.h"
#include "velta/source/protocol/Session.h"

namespace sim_test {

class SimCaptureSession : public Session {
public:
    explicit SimCaptureSession(std::vector<std::string>* datagrams) : m_datagrams(datagrams) {}

    int schedule(Task*) override { return 0; }
    int write(const PacketBuffer& buffer) override
    {
        m_datagrams->emplace_back(buffer.data(), buffer.length());
        return 0;
    }
    ProtocolKey* get_protocol_key() override { return nullptr; }
    Protocol* get_protocol() override { return nullptr; }

private:
    std::vector<std::string>* m_datagrams;
};

}  // namespace sim_test
