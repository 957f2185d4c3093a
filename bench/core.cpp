// Speed of the measurement core.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "base/tests/support.h"
#include "engine/core/snapshot.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace tf = engine::tf;
using tf::Complex;

namespace {

using test_support::noise;

// Forward and inverse FFT of one size, in place.
void BM_FftForwardInverse(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    auto fwd = tf::plan::forward(n);
    auto inv = tf::plan::inverse(n);
    const auto re = noise(n, 1);
    std::vector<Complex> buf(n);
    for (std::size_t k = 0; k < n; ++k) buf[k] = Complex(re[k], 0.0f);
    for (auto _ : state) {
        fwd->process(buf);
        inv->process(buf);
        for (auto& v : buf) v *= 1.0f / static_cast<float>(n);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetComplexityN(state.range(0));
    state.counters["ns_per_nlog2n"] = benchmark::Counter(
        static_cast<double>(n) * std::log2(static_cast<double>(n)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// 1024 K .. 32768 K for K = 1, 2, 4 (powers of two 1024 .. 131072), the
// analyzer's odd sizes, and primes near 10^5 and 10^6 (their ratio shows
// the growth: about n log n, not n^2).
BENCHMARK(BM_FftForwardInverse)
    ->RangeMultiplier(2)
    ->Range(1024, 131072)
    ->Arg(24000)
    ->Arg(100003)
    ->Arg(999983)
    ->Arg(1440000)
    ->Arg(5760000)
    ->Unit(benchmark::kMicrosecond);

// The first real transform and the complex inverse of one size on a fresh
// thread, planning included (each thread plans its own sizes): what reading
// a sweep layer of that length costs before anything is cached. Sizes: primes
// around the largest factor the library's own transform keeps, primes times
// 64, 48000, and the largest prime sweep layers.
void BM_FftOddSize(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto x = noise(n, 3);
    for (auto _ : state) {
        std::thread([&] {
            std::vector<Complex> out(n);
            tf::plan::real_forward(n)->process(x, std::span<Complex>(out).first(n / 2 + 1));
            tf::plan::inverse(n)->process(out);
            benchmark::DoNotOptimize(out.data());
        }).join();
    }
}
BENCHMARK(BM_FftOddSize)
    ->Arg(4099)
    ->Arg(20011)
    ->Arg(32771)
    ->Arg(32779)
    ->Arg(100003)
    ->Arg(4099 * 64)
    ->Arg(32779 * 64)
    ->Arg(48000)
    ->Arg(1000003)
    ->Arg(8388593)
    ->Unit(benchmark::kMillisecond);

// Delay search on the lengths the analyzer hands it: the search window
// 65536 K (K = 1, 2, 4) and the longest sweep windows (4.5 s at 48 and 192 kHz).
void BM_FindDelay(benchmark::State& state) {
    const auto m = static_cast<std::size_t>(state.range(0));
    const float fs = static_cast<float>(state.range(1));
    const auto ref = noise(m, 2);
    std::vector<float> mic(m, 0.0f);
    for (std::size_t t = 480; t < m; ++t) mic[t] = 0.7f * ref[t - 480];
    for (auto _ : state) {
        auto r = tf::find_delay(mic, ref, fs);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_FindDelay)
    ->Args({65536, 48000})
    ->Args({131072, 96000})
    ->Args({262144, 192000})
    ->Args({216000, 48000})
    ->Args({864000, 192000})
    ->Unit(benchmark::kMillisecond);

std::complex<double> room(double f) {
    // A delay of 3 ms, a gentle low-pass and a reflection 4 ms later at -6 dB.
    const double w = 2.0 * std::numbers::pi * f;
    const std::complex<double> lp = 1.0 / std::complex<double>(1.0, f / 8000.0);
    return lp * (std::polar(1.0, -w * 0.003) + 0.5 * std::polar(1.0, -w * 0.007));
}

std::vector<engine::trace::Trace> measured_traces(std::size_t count) {
    const double fs = 48000.0;
    std::vector<engine::trace::LayerBins> layers;
    for (std::size_t n : {32768u, 16384u, 4096u, 1024u}) {
        engine::trace::LayerBins l{n, std::vector<tf::Triple>(n / 2)};
        for (std::size_t k = 0; k < n / 2; ++k) {
            const auto h = room(fs * static_cast<double>(k) / static_cast<double>(n));
            l.bins[k] = {static_cast<float>(h.real()), static_cast<float>(h.imag()), 0.9f};
        }
        layers.push_back(std::move(l));
    }
    const auto one = engine::trace::Trace::from_layers("Main", 48000, 0, layers, {}, 0.7f);
    return std::vector<engine::trace::Trace>(count, one);
}

// The cycles setting changed: every stored trace recomputes its window.
void BM_ApplyCycles100Traces(benchmark::State& state) {
    auto traces = measured_traces(100);
    const float cycles = static_cast<float>(state.range(0));
    for (auto _ : state) {
        for (auto& t : traces) t.apply_cycles(cycles);
        benchmark::DoNotOptimize(traces.data());
    }
}
BENCHMARK(BM_ApplyCycles100Traces)->Arg(1)->Arg(6)->Arg(34)->Unit(benchmark::kMillisecond);

// A computed trace (no display of its own): the display is synthesised.
void BM_SnapshotOfComputedTrace(benchmark::State& state) {
    std::vector<tf::Triple> bins(240);
    for (std::size_t i = 0; i < 240; ++i) {
        const auto h = room(tf::point_freq()[i]);
        bins[i] = {static_cast<float>(h.real()), static_cast<float>(h.imag()), 0.9f};
    }
    const auto t = engine::trace::Trace::make("Predicted", 48000, 0, bins, 0.7f);
    for (auto _ : state) {
        auto s = engine::analyzer::Snapshot::of_trace(t);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_SnapshotOfComputedTrace)->Unit(benchmark::kMicrosecond);

// A measured trace keeps its display: a copy.
void BM_SnapshotOfMeasuredTrace(benchmark::State& state) {
    const auto t = measured_traces(1).front();
    for (auto _ : state) {
        auto s = engine::analyzer::Snapshot::of_trace(t);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_SnapshotOfMeasuredTrace)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
