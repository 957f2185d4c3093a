// Air-absorption compensation: the targets of one zone and the fit of its
// band (coarse search and refinement), as the window's effect runs them.
#include <benchmark/benchmark.h>

#include "engine/tuning/air.h"

namespace {

void BM_AirTargets(benchmark::State& state) {
    const auto w = engine::air::weather(20.0, 50.0);
    for (auto _ : state) benchmark::DoNotOptimize(engine::air::targets(w, 40.0f, 100.0f));
}
BENCHMARK(BM_AirTargets)->Unit(benchmark::kMicrosecond);

void BM_AirFitBand(benchmark::State& state) {
    const auto t = engine::air::targets(engine::air::weather(20.0, 50.0), 40.0f, 100.0f);
    const bool shelves = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(engine::air::fit_band(t, shelves));
}
BENCHMARK(BM_AirFitBand)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
