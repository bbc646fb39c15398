// The scenario suite: every tests/scenarios/*.scn file that runs on short
// scripted delays is one test here; the runner is ScenarioRunner.h.
#include "tests/scenario/ScenarioRunner.h"

using namespace scenario_test;

namespace {

class Scenario : public testing::TestWithParam<std::string> {};

TEST_P(Scenario, Runs)
{
    run_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, testing::ValuesIn(scenario_files(false)),
                         scenario_test_name);

TEST(ScenarioSuite, FindsItsFiles)
{
    EXPECT_GE(scenario_files(false).size(), 20u);
}

}  // namespace
