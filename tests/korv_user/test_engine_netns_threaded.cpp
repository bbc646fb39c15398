// The engine on its own thread: login and snapshot from an MDQP peer on
// 127.0.0.1, packets on a group of a private network namespace, close()
// from the test thread while another thread waits in join(), and the
// counters file that a thread of the engine's own writes.
#include "source/korv_user/UserApiImpl.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "source/korv_user/KorvUserCounters.h"
#include "tests/korv_user/test_subscriber_fixture.h"
#include "velta/source/base/ErrorCode.h"

using namespace subscriber_test;
using BRAX::KORV_USER_API::KorvUserApi;
using BRAX::KORV_USER_API::set_counters_file;

namespace {

struct GuardedHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        if (closed.load())
            late.store(true);
        volume.store(market_data->Volume);
        calls.fetch_add(1);
    }
    std::atomic<bool> closed{false};
    std::atomic<bool> late{false};
    std::atomic<int> calls{0};
    std::atomic<int> volume{0};
};

// Keeps the library's loop in its first call until released.
struct HoldingHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData*, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        calls.fetch_add(1);
        while (hold.load())
            usleep(1000);
    }
    std::atomic<bool> hold{true};
    std::atomic<int> calls{0};
};

template <class Done>
bool wait_for(Done done)
{
    for (int i = 0; i < 20000; ++i) {
        if (done())
            return true;
        usleep(1000);
    }
    return false;
}

// Accepts the library's query connection, logs it in and answers its
// snapshot query with snapshot_body(0).
void serve_login_and_snapshot(Listener& server, Peer& peer)
{
    ASSERT_TRUE(wait_for([&] {
        int fd = server.accept_one();
        if (fd >= 0)
            peer.adopt(fd);
        return fd >= 0;
    }));
    Parsed p;
    auto next = [&] {
        return wait_for([&] {
            while (peer.next_packet(p))
                if (p.trans_id != 0)
                    return true;
            return false;
        });
    };
    ASSERT_TRUE(next());
    peer.send(packet(0x12, p.request_id, rsp_info(0, "ok") + field(3, std::string(115, '\0'))));
    ASSERT_TRUE(next());
    ASSERT_EQ(p.trans_id, 0x31);
    peer.send(packet(0x32, p.request_id, snapshot_body(0)));
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A folder of its own under /tmp, removed with what is in it.
struct TempFolder {
    TempFolder()
    {
        char name[] = "/tmp/korv_counters_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder()
    {
        for (const std::string& entry : entries())
            unlink((path + "/" + entry).c_str());
        rmdir(path.c_str());
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    names.emplace_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string path;
};

// The file is there whole; with the topic's lines when a line carries it.
bool written(const std::string& path, bool with_topic = false)
{
    std::string text = read_file(path);
    return text.find("# TYPE korv_line_packet_age_seconds gauge") != std::string::npos &&
           (!with_topic || text.find("korv_topic_state{topic=\"7\"}") != std::string::npos);
}

}  // namespace

TEST(EngineThreaded, DeliversAndCloseFromAnotherThreadEndsJoinWithNoHandlerAfterwards)
{
    Listener server;
    GuardedHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location(server.location().c_str());
    api->reg_mirp_location("udpg://239.3.0.7:17201");
    api->set_authentication("P", "U", "W");
    ASSERT_EQ(api->subscribe_topic(TOPIC, &handler), 0);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(api->start());
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        EXPECT_TRUE(api->join());
        joined.store(true);
    });

    Peer peer;
    ASSERT_NO_FATAL_FAILURE(serve_login_and_snapshot(server, peer));
    ASSERT_TRUE(wait_for([&] { return handler.calls.load() > 0; }));

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr lo;
    lo.s_addr = inet_addr("127.0.0.1");
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = inet_addr("239.3.0.7");
    group.sin_port = htons(17201);
    uint32_t no = 1;
    // Packets keep coming until close, so handlers run up to it.
    auto send_one = [&] {
        std::string datagram = mirp_packet(no++);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group);
    };
    ASSERT_TRUE(wait_for([&] {
        send_one();
        return handler.volume.load() > 100;
    }));
    std::thread sender([&] {
        for (int i = 0; i < 200 && !joined.load(); ++i) {
            send_one();
            usleep(200);
        }
    });
    usleep(5000);
    api->close();
    handler.closed.store(true);
    joiner.join();
    sender.join();
    ::close(fd);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(joined.load());
    EXPECT_FALSE(handler.late.load());
}

// Each of these used to be accepted and fail later, if at all: a missing or
// unwritable folder only as a log line once a second, a call after start
// by touching the loop's timers from another thread.
TEST(CountersFile, SetUpMistakesAreRefusedWhenTheCallIsMade)
{
    TempFolder folder;
    GuardedHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    std::string path = folder.path + "/korv.prom";
    EXPECT_EQ(set_counters_file(api, path.c_str()), EC_NOENT);
    ASSERT_EQ(api->subscribe_topic(TOPIC, &handler), 0);
    EXPECT_EQ(set_counters_file(api, nullptr), EC_PARAM);
    EXPECT_EQ(set_counters_file(api, ""), EC_PARAM);
    EXPECT_EQ(set_counters_file(nullptr, path.c_str()), EC_PARAM);
    std::ofstream(folder.path + "/plain") << "a file, not a folder\n";
    for (const std::string& wrong :
         {folder.path + "/missing/korv.prom", folder.path + "/plain/korv.prom",
          std::string("/proc/korv.prom")})
        EXPECT_EQ(set_counters_file(api, wrong.c_str()), EC_ACCESS) << wrong;
    // Finding out left nothing behind.
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"plain"});

    EXPECT_EQ(set_counters_file(api, path.c_str()), 0);
    testing::internal::CaptureStdout();
    api->start();
    std::string other = folder.path + "/other.prom";
    int after_start = set_counters_file(api, other.c_str());
    bool came = wait_for([&] { return written(path); });
    api->close();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(after_start, EC_OPERATION);
    EXPECT_TRUE(came);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"korv.prom", "plain"}));
}

// The temporary file used to be opened by its fixed name, following a
// symbolic link planted there: the link's target was overwritten with the
// counters, and the link itself then renamed over the path.
TEST(CountersFile, ALinkPlantedAtTheTemporaryPathIsNeverFollowed)
{
    TempFolder folder;
    std::string path = folder.path + "/korv.prom";
    std::string target = folder.path + "/target";
    std::ofstream(target) << "precious\n";
    ASSERT_EQ(symlink(target.c_str(), (path + ".tmp").c_str()), 0);
    GuardedHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    ASSERT_EQ(api->subscribe_topic(TOPIC, &handler), 0);
    ASSERT_EQ(set_counters_file(api, path.c_str()), 0);
    testing::internal::CaptureStdout();
    api->start();
    bool came = wait_for([&] { return written(path); });
    api->close();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(came);
    EXPECT_EQ(read_file(target), "precious\n");
    struct stat file;
    ASSERT_EQ(lstat(path.c_str(), &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode));
    // Readable by a collector that runs as another user.
    EXPECT_EQ(file.st_mode & 0777, 0644u);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"korv.prom", "korv.prom.tmp", "target"}));
}

// The file used to be written by the loop's own thread, between packets: a
// handler that held the loop stopped it, just when it was wanted most.
TEST(CountersFile, KeepsComingWhileAHandlerHoldsTheLoop)
{
    TempFolder folder;
    std::string path = folder.path + "/korv.prom";
    Listener server;
    HoldingHandler handler;
    KorvUserApi* api = KorvUserApi::create_instance();
    api->reg_mdqp_location(server.location().c_str());
    api->reg_mirp_location("udpg://239.3.0.7:17202");
    api->set_authentication("P", "U", "W");
    ASSERT_EQ(api->subscribe_topic(TOPIC, &handler), 0);
    ASSERT_EQ(set_counters_file(api, path.c_str()), 0);
    testing::internal::CaptureStdout();
    api->start();
    Peer peer;
    serve_login_and_snapshot(server, peer);
    bool held = wait_for([&] { return handler.calls.load() > 0; });
    // Whatever was written before the loop was held goes; a new one comes.
    unlink(path.c_str());
    bool came = held && wait_for([&] { return written(path, true); });
    std::string text = read_file(path);
    handler.hold.store(false);
    api->close();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(held);
    EXPECT_TRUE(came);
    EXPECT_NE(text.find("korv_topic_snapshot_queries_total{topic=\"7\"} 1"), std::string::npos)
        << text;
}
