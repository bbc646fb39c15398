// Test helper: a topic subscriber with a real query stub logged in to a small
// MDQP peer on 127.0.0.1, and MIRP packets built byte by byte. The reactor
// is stepped one iteration at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserMdqpStub.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "tests/mdqp/test_mdqp_channel_peer.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"
#include "velta/source/base/NullLogger.h"
#include "velta/source/task/SelectReactor.h"

namespace subscriber_test {

using namespace mdqp_test;
using namespace BRAX::KORV;
using namespace KORV;
using namespace KORV::USER;
using BRAX::KORV_USER_API::KorvMarketDataHandler;
using BRAX::KORV_USER_API::TopicMarketData;
using BRAX::KORV_USER_API::TopicPriceEntry;
using BRAX::KORV_USER_API::TopicSettlementSession;
using BRAX::KORV_USER_API::TopicSnapTime;

constexpr short TOPIC = 7;

struct EventLog : Logger {
    EventLog() { reg_logger(LOG_EVENT_SLOT, this, 6); }
    ~EventLog() override { reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0); }
    void output(const char* line) override { lines.emplace_back(line); }
    int count(const std::string& part) const
    {
        int n = 0;
        for (const std::string& line : lines)
            n += line.find(part) != std::string::npos;
        return n;
    }
    std::vector<std::string> lines;
};

struct CountingHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        ++calls;
        last_volume = market_data->Volume;
        last_snap_time = *snap_time;
    }
    int calls = 0;
    int last_volume = 0;
    TopicSnapTime last_snap_time = TopicSnapTime();
};

template <class Record>
std::string record_field(const Record& record)
{
    std::string body(Record::stream_size(), '\0');
    record.to_stream(&body[0]);
    return field(Record::field_id(), body);
}

// Instrument 0 "IF2001" with a volume of 100 (or volume), three bid levels,
// depth 5, the plain cipher (or cipher_type) and MIRP packet number packet_no.
inline std::string snapshot_body(int packet_no, char cipher_type = '0', int bids = 3,
                                 int volume = 100)
{
    MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
    attribute.MarketDataDepth = 5;
    attribute.CipherType = cipher_type;
    MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
    tag.TopicID = TOPIC;
    tag.SnapNo = 40;
    MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
    strcpy(instrument.InstrumentID, "IF2001");
    instrument.VolumeMultiple = 1;
    instrument.PriceTick = 1;
    MDQP_TopicMarketData market_data = MDQP_TopicMarketData();
    market_data.Volume = volume;
    MDQP_MirpPakcetNo number = MDQP_MirpPakcetNo();
    number.PacketNo = packet_no;
    std::string body = record_field(attribute) + record_field(tag) + record_field(instrument) +
                       record_field(market_data);
    for (int i = 0; i < bids; ++i) {
        MDQP_TopicMarketByPrice level = MDQP_TopicMarketByPrice();
        level.EntryType = MDET_Bid;
        level.Price = 50 - i;
        level.Volume = 1;
        body += record_field(level);
    }
    return body + record_field(number);
}

// A market event packet: one trade slice of `volume` on instrument 0.
inline std::string mirp_packet(uint32_t packet_no, int volume = 1, bool more = false,
                               uint8_t type = MIRP_TYPE_MarketEvent, uint16_t topic = TOPIC)
{
    std::string body;
    if (type == MIRP_TYPE_MarketEvent) {
        unsigned char content[64];
        InstrumentEventContext context = {0, 0};
        int n = CODEC_InstrumentEventHeader::field_encode(content, sizeof content, &context);
        body += le16(MIRP_FID_InstrumentEventHeader) + le16(unsigned(n)) +
                std::string(reinterpret_cast<char*>(content), size_t(n));
        MIRP_TradeSlice slice = {0, volume, 0, 0};
        n = CODEC_TradeSlice::field_encode(content, sizeof content, &slice);
        body += le16(MIRP_FID_TradeSlice) + le16(unsigned(n)) +
                std::string(reinterpret_cast<char*>(content), size_t(n));
    }
    MirpHeader header;
    header.init();
    header.Flag = more ? MIRP_FLAG_CONTINUE : 0;
    header.TransId = type;
    header.ContentLength = uint16_t(body.size());
    header.PacketNo = packet_no;
    header.TopicID = topic;
    header.SnapSeconds = 1700000000;
    return std::string(reinterpret_cast<char*>(&header), sizeof header) + body;
}

class SubscriberTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_stub.reset(new KorvUserMdqpStub(&m_reactor));
        m_stub->reg_server(m_server.location().c_str());
        m_stub->set_authentication("P", "U", "W");
        m_notifier.reset(new KorvUserTopicNotifier(&m_reactor, TOPIC, &m_topic, &m_handler));
        m_subscriber.reset(new KorvUserSubscriber(&m_reactor, TOPIC, &m_topic, m_stub.get()));
    }
    void TearDown() override
    {
        m_subscriber.reset();
        m_stub.reset();
    }

    // Logs in and returns the snapshot query the subscriber sends then.
    Parsed login()
    {
        EXPECT_TRUE(run_until(m_reactor, [&] {
            int fd = m_server.accept_one();
            if (fd >= 0)
                m_peer.adopt(fd);
            return fd >= 0;
        }));
        Parsed request = next_request();
        m_peer.send(
            packet(0x12, request.request_id, rsp_info(0, "ok") + field(3, std::string(115, '\0'))));
        Parsed query = next_request();
        EXPECT_EQ(query.trans_id, 0x31);
        return query;
    }
    // The next packet from the subscriber side other than a heartbeat.
    Parsed next_request()
    {
        Parsed p;
        EXPECT_TRUE(run_until(m_reactor, [&] {
            while (m_peer.next_packet(p))
                if (p.trans_id != 0)
                    return true;
            return false;
        }));
        return p;
    }
    void feed(const std::string& bytes)
    {
        MirpPacket mirp(Packet(bytes.data(), int(bytes.size())));
        ASSERT_GT(mirp.valid_packet(), 0);
        m_subscriber->handle_mirp_packet(mirp);
    }
    void answer_snapshot(const Parsed& query, int packet_no)
    {
        m_peer.send(packet(0x32, query.request_id, snapshot_body(packet_no)));
    }
    bool run_until_live()
    {
        return run_until(m_reactor, [&] {
            return m_subscriber->get_state() == KorvUserSubscriber::SID_Live &&
                   m_subscriber->get_cached_count() == 0;
        });
    }
    int volume() const { return m_topic.get_instrument(0)->MarketData.Volume; }

    SelectReactor m_reactor;
    Listener m_server;
    Peer m_peer;
    EventLog m_events;
    KorvUserTopic m_topic{TOPIC};
    CountingHandler m_handler;
    std::unique_ptr<KorvUserMdqpStub> m_stub;
    std::unique_ptr<KorvUserTopicNotifier> m_notifier;
    std::unique_ptr<KorvUserSubscriber> m_subscriber;
};

}  // namespace subscriber_test
