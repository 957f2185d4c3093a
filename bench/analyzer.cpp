// Speed of the live analyzer: processing cost per second of audio (the
// real-time factor) with four layers at 48, 96 and 192 kHz, the sweep layer
// of a 30 s sweep at 192 kHz, and the cost of building and publishing the
// display data of one pass.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "base/tests/support.h"
#include "engine/analyzer/internal/run_state.h"

namespace analyzer = engine::analyzer;
namespace tf = engine::tf;
using namespace std::chrono_literals;

namespace {

using test_support::ManualClock;

// Pink-ish reference and a delayed, scaled microphone, generated once.
struct Signals {
    std::vector<float> ref;
    std::vector<float> mic;
    Signals(std::size_t n, std::size_t delay) : ref(n), mic(n) {
        std::mt19937 rng(11);
        std::normal_distribution<float> nd(0.0f, 0.2f);
        float b = 0.0f;
        for (float& v : ref) {
            const float w = nd(rng);
            b = 0.9f * b + 0.1f * w;
            v = b + 0.3f * w;
        }
        for (std::size_t i = delay; i < n; ++i) mic[i] = 0.5f * ref[i - delay] + 0.001f * nd(rng);
    }
};

struct Run {
    ManualClock clock;
    std::shared_ptr<engine::generator::SharedParams> gen = std::make_shared<engine::generator::SharedParams>();
    analyzer::SharedSnapshot snap;
    std::optional<analyzer::RunState> state;
    std::size_t block;
    const Signals& sig;
    std::size_t pos = 0;
    std::vector<float> mic, ref;

    Run(const analyzer::Params& p, float fs, bool output_open, const Signals& s)
        : block(static_cast<std::size_t>(fs) / 50), sig(s) {
        gen->params = p.gen;
        state.emplace(p, fs, output_open, gen, clock, std::nullopt);
    }

    // One 20 ms pass of audio.
    void pass() {
        if (pos + block > sig.ref.size()) pos = 0;
        mic.assign(sig.mic.begin() + static_cast<std::ptrdiff_t>(pos),
                   sig.mic.begin() + static_cast<std::ptrdiff_t>(pos + block));
        ref.assign(sig.ref.begin() + static_cast<std::ptrdiff_t>(pos),
                   sig.ref.begin() + static_cast<std::ptrdiff_t>(pos + block));
        pos += block;
        clock.sleep(20ms);
        state->pass(analyzer::PassInput{mic, ref, 0, std::nullopt, 0.0f, 0.0f}, snap);
    }
};

analyzer::Params four_layer_params(float fs, float cycles) {
    analyzer::Params p;
    p.gen.signal = engine::generator::Signal::Pink;
    p.average_secs = 1.0f;
    p.coherence_threshold = 0.5f;
    p.cycles = cycles;
    p.sample_rate = static_cast<std::uint32_t>(fs);
    p.delay_ms = 10.0f;
    p.accumulate = true;
    return p;
}

// Measured plans of everything the analyzer transforms at rate fs, learnt
// into the data folder's wisdom once (as a first run of the program does in
// the background), so that the figures are those of every later run.
void measured_plans(float fs, std::size_t length = 0) {
    const bool single = length != 0;
    const auto set = analyzer::build_layers(fs, single, length, engine::generator::Signal::Pink, 1.0f, 1.0f, 0.5f);
    const auto keys = analyzer::plans_needed(set, 65536 * analyzer::rate_factor(fs));
    if (const auto path = tf::plan::wisdom_path()) {
        const std::atomic<bool> stop{false};
        tf::plan::learn(keys, *path, stop);
    }
    tf::plan::PLANNER.drop_estimated();
}

// Time of the layers' forward FFTs alone for one second of audio in the
// four layers (two real-input transforms per frame, frames every n/2
// samples), measured apart from the analyzer, in seconds.
double layer_fft_seconds_per_audio_second(float fs) {
    const std::size_t k = analyzer::rate_factor(fs);
    double total = 0.0;
    for (std::size_t base : {32768u, 16384u, 4096u, 1024u}) {
        const std::size_t n = base * k;
        auto plan = tf::plan::real_forward(n);
        std::vector<float> in(n, 0.1f);
        std::vector<tf::Complex> buf(n / 2 + 1);
        const int reps = 20;
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) plan->process(in, buf);
        const double one = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
        const double frames = static_cast<double>(fs) / static_cast<double>(n / 2);
        total += 2.0 * frames * one;
    }
    return total;
}

// The split of a benchmark's time between the FFTs the analyzer runs (every
// transform executed on this thread, timed by the plan layer) and the rest.
class FftSplit {
public:
    FftSplit() {
        tf::plan::time_transforms(true);
        fft0_ = tf::plan::transform_time();
        t0_ = std::chrono::steady_clock::now();
    }
    // Per unit of `units`: fft_ms, other_ms, ffts (transform count).
    void report(benchmark::State& state, double units, const char* fft_name, const char* other_name,
                double scale) {
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
        const auto fft1 = tf::plan::transform_time();
        tf::plan::time_transforms(false);
        const double fft = fft1.seconds - fft0_.seconds;
        state.counters[fft_name] = fft / units * scale;
        state.counters[other_name] = (total - fft) / units * scale;
        state.counters["ffts"] = static_cast<double>(fft1.count - fft0_.count) / units;
    }

private:
    tf::plan::TransformTime fft0_;
    std::chrono::steady_clock::time_point t0_;
};

// One second of audio through the four layers: pairing, feeding, averaging,
// accumulation, the drift step every 2 s, the display data whenever the
// longest layer completes a frame, and publishing. fft_ms_per_s is the time
// of every transform the passes ran (layers, display impulse responses and
// envelopes, delay search), other_ms_per_s the rest of the wall time of the
// passes, both per second of audio; layer_fft_ms_per_s the layers' forward
// transforms alone, measured apart.
void BM_FourLayersOneSecond(benchmark::State& state) {
    const auto fs = static_cast<float>(state.range(0));
    const auto cycles = static_cast<float>(state.range(1));
    const Signals sig(static_cast<std::size_t>(fs) * 8, 480);
    measured_plans(fs);
    Run run(four_layer_params(fs, cycles), fs, false, sig);
    for (int i = 0; i < 150; ++i) run.pass();  // 3 s: averages complete, accumulating
    FftSplit split;
    for (auto _ : state) {
        for (int i = 0; i < 50; ++i) run.pass();
    }
    split.report(state, static_cast<double>(state.iterations()), "fft_ms_per_s", "other_ms_per_s", 1000.0);
    state.counters["rt_factor"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["layer_fft_ms_per_s"] = layer_fft_seconds_per_audio_second(fs) * 1000.0;
}
BENCHMARK(BM_FourLayersOneSecond)
    ->ArgsProduct({{48000, 96000, 192000}, {0, 34}})
    ->ArgNames({"fs", "cycles"})
    ->Unit(benchmark::kMillisecond);

// The sweep layer of a 30 s sweep at 192 kHz: one iteration is one frame
// (30 s of audio; two 5.76 M-point forward transforms, then the inverse and
// forward transforms of the harmonic separation).
void BM_SweepLayer30sAt192k(benchmark::State& state) {
    const float fs = 192000.0f;
    analyzer::Params p = four_layer_params(fs, 0.0f);
    p.gen = engine::generator::GenParams{.sweep_secs = 30.0f, .signal = engine::generator::Signal::Sweep};
    const Signals sig(5760000 + 40000, 480);
    Run run(p, fs, true, sig);
    for (int i = 0; i < 1500; ++i) run.pass();  // the first frame
    for (auto _ : state) {
        for (int i = 0; i < 1500; ++i) run.pass();
    }
    auto plan = tf::plan::real_forward(5760000);
    std::vector<float> in(5760000, 0.1f);
    std::vector<tf::Complex> buf(5760000 / 2 + 1);
    const auto t0 = std::chrono::steady_clock::now();
    plan->process(in, buf);
    const double one = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["rt_factor"] = benchmark::Counter(30.0, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["fft_ms_each"] = one * 1000.0;
}
BENCHMARK(BM_SweepLayer30sAt192k)->Unit(benchmark::kMillisecond)->Iterations(2);

// One pass that rebuilds and publishes the display data (forced by a change
// of cycles, no new audio): band values of four layers, merge, impulse
// response, arrivals, spectrum, and the two publishing steps. fft_us and
// other_us split the time of one pass as in BM_FourLayersOneSecond.
void BM_DisplayPublish(benchmark::State& state) {
    const auto fs = static_cast<float>(state.range(0));
    const auto cycles = static_cast<float>(state.range(1));
    const Signals sig(static_cast<std::size_t>(fs) * 4, 480);
    measured_plans(fs);
    Run run(four_layer_params(fs, cycles), fs, false, sig);
    for (int i = 0; i < 150; ++i) run.pass();
    std::vector<float> none;
    FftSplit split;
    for (auto _ : state) {
        run.state->command(analyzer::Cmd{analyzer::Cmd::SetCycles{cycles}});
        run.clock.sleep(20ms);
        run.state->pass(analyzer::PassInput{none, none, 0, std::nullopt, 0.0f, 0.0f}, run.snap);
    }
    split.report(state, static_cast<double>(state.iterations()), "fft_us", "other_us", 1e6);
}
BENCHMARK(BM_DisplayPublish)
    ->ArgsProduct({{48000, 192000}, {0, 34}})
    ->ArgNames({"fs", "cycles"})
    ->Unit(benchmark::kMicrosecond);

// A pass without new audio or display data: status line and the status
// fields of the snapshot only.
void BM_StatusOnlyPass(benchmark::State& state) {
    const Signals sig(48000 * 4, 480);
    Run run(four_layer_params(48000.0f, 0.0f), 48000.0f, false, sig);
    for (int i = 0; i < 150; ++i) run.pass();
    std::vector<float> none;
    for (auto _ : state) {
        run.clock.sleep(20ms);
        run.state->pass(analyzer::PassInput{none, none, 0, std::nullopt, 0.0f, 0.0f}, run.snap);
    }
}
BENCHMARK(BM_StatusOnlyPass)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
