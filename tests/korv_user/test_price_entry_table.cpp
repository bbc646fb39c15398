#include "source/korv_user/KorvUserTopic.h"

#include <gtest/gtest.h>

#include <vector>

#include "velta/source/base/ErrorCode.h"

using KORV::USER::MAX_LEVEL;
using KORV::USER::PriceEntry;
using KORV::USER::PriceEntryTable;

namespace {

// Level i has price i and volume 10 * i.
PriceEntry level(int i)
{
    return PriceEntry{double(i), 10 * i};
}

void fill(PriceEntryTable& table, int n)
{
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(table.append(level(i)), EC_NONE);
}

// Prices of the valid levels, in order.
std::vector<double> prices(const PriceEntryTable& table)
{
    std::vector<double> out;
    for (int i = 0; i < table.get_count(); ++i)
        out.push_back(table.get_entries()[i].Price);
    return out;
}

}  // namespace

TEST(PriceEntryTable, TwentyAppendsFillItAndTheNextIsRefused)
{
    PriceEntryTable table;
    fill(table, MAX_LEVEL);
    EXPECT_EQ(table.get_count(), MAX_LEVEL);
    EXPECT_EQ(table.append(level(99)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.get_count(), MAX_LEVEL);
    EXPECT_EQ(table.get_entries()[MAX_LEVEL - 1].Price, MAX_LEVEL - 1);
}

TEST(PriceEntryTable, InsertShiftsLaterLevelsUpInOrder)
{
    PriceEntryTable table;
    fill(table, 3);
    EXPECT_EQ(table.insert(3, level(7)), EC_NONE);  // at the end: a plain append
    EXPECT_EQ(prices(table), (std::vector<double>{0, 1, 2, 7}));
    EXPECT_EQ(table.insert(0, level(9)), EC_NONE);
    EXPECT_EQ(prices(table), (std::vector<double>{9, 0, 1, 2, 7}));
    EXPECT_EQ(table.get_entries()[1].Volume, 0);
    EXPECT_EQ(table.get_entries()[4].Volume, 70);
}

TEST(PriceEntryTable, InsertOutsideTheLevelsOrPastAFullTableChangesNothing)
{
    PriceEntryTable table;
    fill(table, 3);
    EXPECT_EQ(table.insert(4, level(9)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.insert(-1, level(9)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(prices(table), (std::vector<double>{0, 1, 2}));

    PriceEntryTable full;
    fill(full, MAX_LEVEL);
    EXPECT_EQ(full.insert(MAX_LEVEL, level(99)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(full.insert(MAX_LEVEL + 1, level(99)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(full.get_count(), MAX_LEVEL);
    EXPECT_EQ(full.get_entries()[MAX_LEVEL - 1].Price, MAX_LEVEL - 1);
}

TEST(PriceEntryTable, ANewLevelOnAFullSideIsKeptAndTheLastLevelFallsOff)
{
    PriceEntryTable full;
    fill(full, MAX_LEVEL);
    EXPECT_EQ(full.insert(0, level(99)), EC_NONE);
    EXPECT_EQ(full.insert(5, level(97)), EC_NONE);
    EXPECT_EQ(full.insert(MAX_LEVEL - 1, level(98)), EC_NONE);
    EXPECT_EQ(prices(full), (std::vector<double>{99, 0, 1,  2,  3,  97, 4,  5,  6,  7,
                                                 8,  9, 10, 11, 12, 13, 14, 15, 16, 98}));
    EXPECT_EQ(full.get_entries()[0].Volume, 990);
    EXPECT_EQ(full.get_entries()[1].Volume, 0);
}

TEST(PriceEntryTable, UpdateOnlyWithinTheLevels)
{
    PriceEntryTable table;
    fill(table, 3);
    EXPECT_EQ(table.update(1, level(5)), EC_NONE);
    EXPECT_EQ(prices(table), (std::vector<double>{0, 5, 2}));
    EXPECT_EQ(table.update(3, level(6)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.update(-1, level(6)), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(prices(table), (std::vector<double>{0, 5, 2}));
}

TEST(PriceEntryTable, EraseShiftsLaterLevelsDown)
{
    PriceEntryTable table;
    fill(table, 3);
    EXPECT_EQ(table.erase(0), EC_NONE);
    EXPECT_EQ(prices(table), (std::vector<double>{1, 2}));
    EXPECT_EQ(table.erase(1), EC_NONE);
    EXPECT_EQ(prices(table), (std::vector<double>{1}));
}

TEST(PriceEntryTable, EraseOutsideTheLevelsChangesNothing)
{
    PriceEntryTable table;
    EXPECT_EQ(table.erase(0), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.get_count(), 0);
    fill(table, 2);
    EXPECT_EQ(table.erase(2), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.erase(-1), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(table.erase(MAX_LEVEL), EC_OUT_OF_BOUNDS);
    EXPECT_EQ(prices(table), (std::vector<double>{0, 1}));
}

TEST(PriceEntryTable, TruncateCutsBackButNeverGrows)
{
    PriceEntryTable table;
    fill(table, 3);
    table.truncate(5);
    EXPECT_EQ(table.get_count(), 3);
    table.truncate(2);
    EXPECT_EQ(prices(table), (std::vector<double>{0, 1}));
    table.truncate(3);  // the cut levels stay gone
    EXPECT_EQ(table.get_count(), 2);
    table.truncate(0);
    EXPECT_EQ(table.get_count(), 0);
    table.append(level(4));
    table.truncate(0);
    EXPECT_EQ(table.get_count(), 0);
}

TEST(PriceEntryTable, NegativeDepthEmptiesTheSideInsteadOfCorruptingTheCount)
{
    PriceEntryTable table;
    fill(table, 3);
    table.truncate(-5);
    EXPECT_EQ(table.get_count(), 0);
    EXPECT_EQ(table.append(level(1)), EC_NONE);
    EXPECT_EQ(table.get_count(), 1);
}
