// The benchmark binary's entry: runs the benchmarks selected on the command
// line as usual, then prints each figure that has a goal beside its goal or
// baseline, with the ratio. With repetitions the fastest repetition of each
// benchmark is compared (see BenchStatistics.h). The
// exit status is 1 when any benchmark stopped with an error.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, so that logs and pipes get plain text.
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                m_failed = true;
                continue;
            }
            bool min = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
            if (run.run_type == Run::RT_Aggregate && !min)
                continue;
            std::string name = run.run_name.str();
            // The minimum replaces the single repetitions of its benchmark.
            if (!min && m_from_min.count(name) != 0)
                continue;
            for (const auto& counter : run.counters)
                m_values[name + ":" + counter.first] = counter.second.value;
            m_from_min[name] = min;
        }
    }

    // The value, or a negative number when that benchmark did not run.
    double value(const std::string& name, const std::string& counter) const
    {
        auto it = m_values.find(name + ":" + counter);
        return it == m_values.end() ? -1 : it->second;
    }

    bool failed() const { return m_failed; }

private:
    bool m_failed = false;
    std::map<std::string, double> m_values;
    std::map<std::string, bool> m_from_min;
};

constexpr double NS = 1e-9;

// "figure  ns  | baseline  ns | ratio | goal", or nothing when either is missing.
void compare(const char* what, double figure, const char* base_what, double base, const char* goal)
{
    if (figure < 0 || base < 0)
        return;
    printf("%-44s %8.1f ns  %-26s %8.1f ns  ratio %5.2f  %s\n", what, figure / NS, base_what,
           base / NS, figure / base, goal);
}

void print_summary(const SummaryReporter& r)
{
    printf("\nSummary (fastest repetition when repeated)\n");
    double goal_apply = 30 * NS, goal_level = 20 * NS;
    for (const char* batch : {"/1", "/8"}) {
        std::string apply_name = std::string("MIRP decode+apply per event") + batch;
        std::string decode_name = std::string("MIRP decode only per event") + batch;
        std::string proto_name = std::string("protobuf parse alone per event") + batch;
        double apply = r.value(std::string("BM_MirpDecodeApply") + batch, "per_event");
        double decode = r.value(std::string("BM_MirpDecodeOnly") + batch, "per_event");
        double proto = r.value(std::string("BM_ProtobufParse") + batch, "per_event");
        double varint = r.value(std::string("BM_ScalarVarintLoop") + batch, "per_event");
        compare(apply_name.c_str(), apply, "goal", goal_apply, "goal: ratio <= 1");
        compare(apply_name.c_str(), apply, "protobuf parse alone", proto,
                "goal: ratio <= 0.33 (3x faster)");
        compare(apply_name.c_str(), apply, "scalar varint loop", varint,
                "goal: ratio <= 2.0 (the floor of any varint format)");
        compare(decode_name.c_str(), decode, "scalar varint loop", varint, "goal: ratio <= 1.3");
        compare(proto_name.c_str(), proto, "scalar varint loop", varint, "");
    }
    const char* levels[] = {"BM_BookLevelChange",
                            "BM_BookLevelInsertDelete/0",
                            "BM_BookLevelInsertDelete/10",
                            "BM_BookLevelInsertDelete/19",
                            "BM_BookLevelInsertCommitTrim/5",
                            "BM_BookLevelInsertCommitTrim/10",
                            "BM_BookLevelInsertCommitTrim/19"};
    for (const char* name : levels) {
        std::string what = std::string(name + 3) + " per level event";
        compare(what.c_str(), r.value(name, "per_op"), "goal", goal_level, "goal: ratio <= 1");
    }
    struct Model {
        const char* name;
        const char* label;
        const char* goal;
    } models[] = {{"BM_MirpDecodeApplyScale/", "uniform", "goal at 100000: ratio <= 1.7"},
                  {"BM_MirpDecodeApplyScaleSkewed/", "skewed", "goal at 100000: ratio <= 1.5"}};
    for (const Model& model : models) {
        double small = r.value(std::string(model.name) + "10", "per_event");
        for (const char* size : {"100", "1000", "10000", "100000"}) {
            std::string what = std::string("decode+apply, ") + model.label + ", " + size;
            compare(what.c_str(), r.value(std::string(model.name) + size, "per_event"),
                    "10 instruments", small, model.goal);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    benchmark::Shutdown();
    // A benchmark that stopped with an error fails the run, so that the
    // smoke mode catches it.
    return reporter.failed() ? 1 : 0;
}
