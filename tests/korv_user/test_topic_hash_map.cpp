#include "source/korv_user/HashMap.h"

#include <gtest/gtest.h>

#include <string>

using namespace KORV::USER;

typedef HashMap<const char*, int, HashString, CompString> StringMap;

TEST(HashString, EmptyOrNullGivesTheSeed)
{
    EXPECT_EQ(hash_string(0, ""), 0u);
    EXPECT_EQ(hash_string(7, nullptr), 7u);
    EXPECT_EQ(hash_string(7, ""), 7u);
}

// Reference values from an independent model of the deployed hash.
TEST(HashString, MatchesTheDeployedValues)
{
    EXPECT_EQ(hash_string(0, "a"), 0x1e6c0u);
    EXPECT_EQ(hash_string(7, "a"), 0x1e8c0u);
    EXPECT_EQ(hash_string(0, "IF2406"), 0xf8da1cdu);
    EXPECT_EQ(hash_string(0, "cu2409C72000"), 0x7062b7eau);
    EXPECT_EQ(hash_string(0, "a\xe9"), 0xf3416u);  // characters are sign-extended
    EXPECT_EQ(HashString()("IF2406"), 0xf8da1cdu);
}

TEST(HashString, LongTextsKeepTheirHighBits)
{
    // Past 256 characters the squares exceed 32 bits; the result is not masked.
    std::string text(300, 'x');
    EXPECT_EQ(hash_string(0, text.c_str()), 0x1c13a971aull);
}

TEST(HashMap, BucketCountIsTheFirstPrimeNotBelowTheRequest)
{
    EXPECT_EQ(StringMap(0).bucket_count(), 53u);
    EXPECT_EQ(StringMap(53).bucket_count(), 53u);
    EXPECT_EQ(StringMap(54).bucket_count(), 97u);
    EXPECT_EQ(StringMap(1000).bucket_count(), 1543u);
}

TEST(HashMap, InsertDoesNotReplaceAnEqualKey)
{
    StringMap map(53);
    char key[] = "IF2406";
    *map.insert(key, 1) += 10;
    map.insert("other", 2);
    map.insert("IF2406", 3);  // a different pointer to an equal text
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(*map.find("IF2406"), 3);
    EXPECT_EQ(*map.find("other"), 2);
    EXPECT_EQ(map.find("IF2407"), nullptr);

    map.clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.find("IF2406"), nullptr);
    map.insert(key, 4);
    EXPECT_EQ(*map.find(key), 4);
}

TEST(HashMap, StoredValuesKeepTheirAddressWhileTheMapGrows)
{
    StringMap map(53);
    int* first = map.insert("k0", 0);
    std::vector<std::string> keys;
    for (int i = 1; i < 2000; ++i)
        keys.push_back("k" + std::to_string(i));
    for (int i = 1; i < 2000; ++i)
        map.insert(keys[i - 1].c_str(), i);
    EXPECT_EQ(map.find("k0"), first);
    EXPECT_EQ(*map.find("k1999"), 1999);
}
