// Console and processor exports: a command text, an OSC message and a whole
// Compass setting file for a strip with many bands.
#include <benchmark/benchmark.h>

#include "engine/exports/compass.h"
#include "engine/exports/wing.h"

namespace {

engine::design::Source strip() {
    auto s = engine::design::Source::make("Main / Row 3");
    s.bands.clear();
    for (int i = 0; i < 12; ++i)
        s.bands.push_back({60.0f * float(i + 1), float(i % 7) - 3.0f, 1.5f, true, engine::design::BandKind::Peak});
    s.shaping.on = true;
    s.hp = {true, engine::design::FilterKind::GalileoHp, 12, 45.0f};
    s.delay_ms = 3.25f;
    return s;
}

void BM_WingCommand(benchmark::State& state) {
    const auto s = strip();
    for (auto _ : state) benchmark::DoNotOptimize(engine::wing::command(s, "bus 3", engine::design::Parts{}));
}
BENCHMARK(BM_WingCommand);

void BM_OscStr(benchmark::State& state) {
    const auto cmd = engine::wing::command(strip(), "bus 3", engine::design::Parts{})->text;
    for (auto _ : state) benchmark::DoNotOptimize(engine::wing::osc_str(cmd));
}
BENCHMARK(BM_OscStr);

void BM_CompassFile(benchmark::State& state) {
    const auto s = strip();
    for (auto _ : state) benchmark::DoNotOptimize(engine::compass::strip_file(s));
}
BENCHMARK(BM_CompassFile);

void BM_CompassListing(benchmark::State& state) {
    const auto s = strip();
    for (auto _ : state) benchmark::DoNotOptimize(engine::compass::nodes(engine::compass::listing(s, "Main Row 3")));
}
BENCHMARK(BM_CompassListing);

}  // namespace

BENCHMARK_MAIN();
