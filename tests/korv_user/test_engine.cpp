// The engine's wiring of locations and topics, before any thread runs.
#include "source/korv_user/UserApiImpl.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserMirpDemuxer.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Logger.h"

using namespace KORV::USER;
using namespace BRAX::KORV_USER_API;

namespace {

struct NoHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData*, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        ADD_FAILURE() << "no thread runs, so nothing is delivered";
    }
};

struct CaptureLogger : Logger {
    void output(const char* line) override { m_lines.emplace_back(line); }
    std::vector<std::string> m_lines;
};

std::string temp_log_path(const char* name)
{
    return "/tmp/test_engine_" + std::to_string(getpid()) + "_" + name + ".log";
}

size_t count_lines(const std::string& path)
{
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    return lines;
}

}  // namespace

TEST(Engine, EveryPairOfLocationAndTopicGetsExactlyOneSubscriber)
{
    NoHandler handler;
    UserApiImpl api;
    EXPECT_EQ(api.subscribe_topic(7, &handler), 0);
    EXPECT_EQ(api.subscribe_topic(3, &handler), 0);
    EXPECT_EQ(api.reg_mirp_location("udpg://239.3.0.1:30001"), 0);
    EXPECT_EQ(api.reg_mirp_location("udpg://239.3.0.2:30001"), 0);
    EXPECT_EQ(api.subscribe_topic(7, &handler), EC_EXIST);
    EXPECT_EQ(api.subscribe_topic(40000, &handler), 0);
    // Other numbers of the same topics on the wire, which carries 16 bits.
    EXPECT_EQ(api.subscribe_topic(7 + 65536, &handler), EC_EXIST);
    EXPECT_EQ(api.subscribe_topic(40000 - 65536, &handler), EC_EXIST);
    EXPECT_EQ(api.reg_fens_location(nullptr), 0);
    EXPECT_EQ(api.reg_fens_location(""), 0);

    ASSERT_EQ(api.get_demuxers().size(), 2u);
    KorvUserTopic* books[3] = {};
    for (KorvUserMirpDemuxer* demuxer : api.get_demuxers()) {
        int i = 0;
        for (int topic : {3, 7, 40000}) {
            KorvUserSubscriber* subscriber = demuxer->find_subscriber(uint16_t(topic));
            ASSERT_NE(subscriber, nullptr) << topic;
            // One book per topic, shared by the subscribers of all locations.
            if (books[i] == nullptr)
                books[i] = subscriber->get_user_topic();
            EXPECT_EQ(subscriber->get_user_topic(), books[i]);
            EXPECT_EQ(uint16_t(books[i]->get_topic_id()), topic);
            // A repeated subscription is refused, so there is no second one.
            EXPECT_EQ(demuxer->subscribe(short(topic), books[i], nullptr), EC_EXIST);
            ++i;
        }
    }
    EXPECT_TRUE(api.join());  // no thread was started
}

// Each of these used to be accepted: a mistyped query server was kept and
// never reached, without a word; a null handler or log path crashed the
// process later; an unopenable log file ended it.
TEST(Engine, SetUpMistakesAreRefusedWithAnErrorAndChangeNothing)
{
    CaptureLogger events;
    reg_logger(LOG_EVENT_SLOT, &events, 6);
    {
        UserApiImpl api;
        testing::internal::CaptureStdout();
        EXPECT_EQ(api.reg_mdqp_location("tcp:/127.0.0.1:5000"), EC_FORMAT);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Bad location tcp:/127.0.0.1:5000, error -9\n");
        EXPECT_EQ(api.reg_mdqp_location(nullptr), EC_PARAM);
        EXPECT_EQ(api.reg_mdqp_location("tcp://127.0.0.1:5000"), 0);

        EXPECT_EQ(api.subscribe_topic(5, nullptr), EC_PARAM);
        EXPECT_EQ(api.reg_mirp_location("udpg://239.3.0.1:30001"), 0);
        EXPECT_EQ(api.get_demuxers()[0]->find_subscriber(5), nullptr);

        EXPECT_EQ(api.set_log_file(nullptr), EC_PARAM);
        EXPECT_EQ(api.set_log_file("/nonexistent-dir/x/Syslog.log"), EC_ACCESS);
        report_event(3, "LoginError", "still here");
        EXPECT_EQ(events.m_lines, std::vector<std::string>{"event LoginError 3 still here"});
    }
    // The object had no log file of its own, so it left the slot alone.
    report_event(3, "LoginError", "after close");
    EXPECT_EQ(events.m_lines.size(), 2u);
    reg_logger(LOG_EVENT_SLOT, nullptr, 0);
}

// Closing an object used to silence the event slot even when another live
// object's log file had been registered there since.
TEST(Engine, ClosingOneObjectLeavesAnotherObjectsLogFileInPlace)
{
    const std::string first_path = temp_log_path("first");
    const std::string second_path = temp_log_path("second");
    auto* first = new UserApiImpl();
    auto* second = new UserApiImpl();
    ASSERT_EQ(first->set_log_file(first_path.c_str()), 0);
    ASSERT_EQ(second->set_log_file(second_path.c_str()), 0);
    first->close();
    report_event(3, "LoginError", "to the second file");
    EXPECT_EQ(count_lines(second_path), 1u);
    EXPECT_EQ(count_lines(first_path), 0u);
    second->close();
    report_event(3, "LoginError", "nowhere");
    EXPECT_EQ(count_lines(second_path), 1u);
    EXPECT_FALSE(log_enabled(LOG_EVENT_SLOT, 3));
    unlink(first_path.c_str());
    unlink(second_path.c_str());
}
