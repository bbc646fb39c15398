// Internal (benchmarks): the statistic the figures are read from.
//
// The machine is shared: other work only ever adds time to a repetition,
// never removes it, so the fastest of the repetitions is the least disturbed
// figure. Every benchmark reports it as "min" beside the usual aggregates.
#pragma once

#include <algorithm>
#include <vector>

inline double bench_min(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

#define KORV_BENCHMARK(fn) BENCHMARK(fn)->ComputeStatistics("min", bench_min)
