// Cost of the meter's signal path per second of audio: every 10 ms of
// samples is queued, analysed hop by hop and published, as the worker does.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "engine/meter/meter.h"

namespace {

void BM_MeterSecondOfAudio(benchmark::State& state) {
    const auto rate = static_cast<std::uint32_t>(state.range(0));
    engine::meter::Params p;
    p.fft_size = static_cast<std::size_t>(state.range(1));
    p.leq_windows = {60, 900};
    p.sample_rate = rate;
    p.peak_decay = 6.0f;
    engine::meter::Dsp dsp(p, static_cast<float>(rate));
    std::vector<float> second(rate);
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < second.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const float white = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
        second[i] = 0.1f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * i / rate)) + 0.01f * white;
    }
    const std::size_t cycle = rate / 100;
    for (auto _ : state) {
        for (std::size_t at = 0; at + cycle <= second.size(); at += cycle) {
            if (dsp.push(std::span(second).subspan(at, cycle)) > 0) {
                benchmark::DoNotOptimize(dsp.publish());
            }
        }
    }
    state.counters["analyses"] = static_cast<double>(dsp.analyses());
}

BENCHMARK(BM_MeterSecondOfAudio)
    ->ArgNames({"rate", "n"})
    ->Args({48000, 1024})
    ->Args({48000, 65536})
    ->Args({192000, 1024})
    ->Args({192000, 65536})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
