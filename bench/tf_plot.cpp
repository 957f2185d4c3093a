// Plot path builders on the heavy input (live and accumulated curves, eight
// stored curves, sum, average, EQ curve, four crossovers, target, five
// arrivals with reflections and a hovered one, a spectrum); the reflection
// analysis on its own; the size of a batch as sent.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "ui/tf_plot/tests/synthetic.h"
#include "ui/tf_plot/tf_plot.h"

namespace {

using namespace ui::tf_plot;

void BM_BuildPaths(benchmark::State& state) {
    std::vector<PathInputs> inputs;
    for (unsigned k = 0; k < 8; ++k) inputs.push_back(tf_plot_test::heavy_inputs(k));
    std::size_t i = 0, bytes = 0;
    for (auto _ : state) {
        auto p = build_paths(inputs[i++ % inputs.size()]);
        benchmark::DoNotOptimize(p);
    }
    for (const auto& in : inputs) bytes += plot_batch(build_paths(in).updates).dump().size();
    state.counters["batch_bytes"] = static_cast<double>(bytes / inputs.size());
}
BENCHMARK(BM_BuildPaths)->Unit(benchmark::kMicrosecond);

void BM_ReflectionsOut(benchmark::State& state) {
    const auto in = tf_plot_test::heavy_inputs(0);
    for (auto _ : state) {
        auto r = reflections_out(*in.accumulated, in.arrivals, 0.01f);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ReflectionsOut)->Unit(benchmark::kMicrosecond);

void BM_PlotBatchJson(benchmark::State& state) {
    const auto u = build_paths(tf_plot_test::heavy_inputs(0)).updates;
    for (auto _ : state) {
        auto j = plot_batch(u).dump();
        benchmark::DoNotOptimize(j);
    }
}
BENCHMARK(BM_PlotBatchJson)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
