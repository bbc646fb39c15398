#include "apps/korv_md_simulator/SimPacketHistory.h"

#include <gtest/gtest.h>

#include <string>

using KORV::SIM::SimPacketHistory;

TEST(SimPacketHistory, KeepsTheNewestPacketsAcrossTheNumberWrap)
{
    SimPacketHistory history(3);
    EXPECT_EQ(nullptr, history.find(0));
    uint32_t first = 0xFFFFFFFEu;
    for (uint32_t i = 0; i < 5; ++i) {
        std::string packet = "packet " + std::to_string(i);
        history.add(first + i, packet.data(), packet.size());
    }
    // Numbers 0xFFFFFFFE, 0xFFFFFFFF, 0, 1, 2 went in; the newest three stay.
    EXPECT_EQ(3u, history.size());
    EXPECT_EQ(0u, history.first_packet_no());
    EXPECT_EQ(nullptr, history.find(0xFFFFFFFFu));
    ASSERT_NE(nullptr, history.find(0));
    EXPECT_EQ("packet 2", *history.find(0));
    EXPECT_EQ("packet 4", *history.find(2));
    EXPECT_EQ(nullptr, history.find(3));
    EXPECT_EQ(nullptr, history.find(0x80000000u));
}
