// The scenarios that wait out the library's own time-outs (3 s query
// repetition, 5 s pause after the last server, 10 s keep-alive), apart from
// the quick ones so that the two run side by side.
#include "tests/scenario/ScenarioRunner.h"

using namespace scenario_test;

namespace {

class Scenario : public testing::TestWithParam<std::string> {};

TEST_P(Scenario, Runs)
{
    run_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, testing::ValuesIn(scenario_files(true)),
                         scenario_test_name);

TEST(ScenarioSuite, FindsItsFiles)
{
    EXPECT_GE(scenario_files(true).size(), 8u);
}

}  // namespace
