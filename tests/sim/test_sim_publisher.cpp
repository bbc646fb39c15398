#include "apps/korv_md_simulator/SimPublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/sim/SimCaptureSession.h"

using namespace KORV::SIM;
using sim_test::SimCaptureSession;

namespace {

// Distinct 100-byte packets: their first byte numbers them.
std::string packet(int n)
{
    return std::string(1, char(n)) + std::string(99, 'x');
}

std::vector<std::string> run(const SimFaults& faults, int packets, int per_datagram = 1,
                             int burst_at = -1, int burst = 0)
{
    std::vector<std::string> datagrams;
    SimPublisher publisher(new SimCaptureSession(&datagrams), 1472, faults, 3);
    for (int n = 0; n < packets; ++n) {
        if (n == burst_at)
            publisher.start_burst(burst);
        std::string p = packet(n);
        publisher.send(p.data(), p.size());
        if ((n + 1) % per_datagram == 0)
            publisher.flush();
    }
    publisher.finish();
    return datagrams;
}

}  // namespace

TEST(SimPublisher, PacksWholePacketsUpToTheDatagramSize)
{
    std::vector<std::string> datagrams = run(SimFaults(), 40, 40);
    // 14 packets of 100 bytes fit 1472 bytes, the 15th does not.
    ASSERT_EQ(3u, datagrams.size());
    EXPECT_EQ(1400u, datagrams[0].size());
    EXPECT_EQ(1400u, datagrams[1].size());
    EXPECT_EQ(1200u, datagrams[2].size());
    EXPECT_EQ(char(14), datagrams[1][0]);
}

TEST(SimPublisher, DropsDuplicatesAndLosesBursts)
{
    SimFaults drop_all;
    drop_all.drop_fraction = 1;
    EXPECT_TRUE(run(drop_all, 50).empty());

    SimFaults some;
    some.drop_fraction = 0.2;
    size_t kept = run(some, 1000).size();
    EXPECT_GT(kept, 700u);
    EXPECT_LT(kept, 900u);
    EXPECT_EQ(kept, run(some, 1000).size()) << "faults replay from the seed";

    SimFaults twice;
    twice.duplicate_fraction = 1;
    std::vector<std::string> doubled = run(twice, 10);
    ASSERT_EQ(20u, doubled.size());
    EXPECT_EQ(doubled[4], doubled[5]);

    std::vector<std::string> burst = run(SimFaults(), 20, 1, 5, 4);
    ASSERT_EQ(16u, burst.size());
    EXPECT_EQ(char(4), burst[4][0]);
    EXPECT_EQ(char(9), burst[5][0]);
}

TEST(SimPublisher, ReordersOnlyWithinItsWindow)
{
    SimFaults faults;
    faults.reorder_window = 5;
    std::vector<std::string> datagrams = run(faults, 23);
    ASSERT_EQ(23u, datagrams.size());
    bool moved = false;
    for (size_t i = 0; i < datagrams.size(); ++i) {
        int n = datagrams[i][0];
        EXPECT_EQ(int(i) / 5, n / 5) << "datagram " << n << " left its window";
        moved |= n != int(i);
    }
    EXPECT_TRUE(moved);
}
