// The analyzer's layer set, feeding and averaging a layer, the sweep layer's
// harmonics, the accumulators, the drift lock and the status line.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "base/tests/support.h"
#include "engine/analyzer/analyzer.h"
#include "engine/analyzer/internal/run_state.h"

using namespace engine;
using analyzer::Action;
using analyzer::Signal;

using test_support::noise;

// ---------------------------------------------------------------- layer set

TEST(AnalyzerLayers, RateFactor) {
    const std::vector<std::pair<float, std::size_t>> cases = {
        {0.0f, 1},      {22050.0f, 1},  {44100.0f, 1},  {48000.0f, 1},  {72000.0f, 2},
        {88200.0f, 2},  {96000.0f, 2},  {144000.0f, 4}, {176400.0f, 4}, {192000.0f, 4},
        {std::numeric_limits<float>::quiet_NaN(), 1},
    };
    for (const auto& [fs, k] : cases) EXPECT_EQ(analyzer::rate_factor(fs), k) << fs;
}

TEST(AnalyzerLayers, FourLayerSets) {
    struct Case {
        float fs;
        float average_secs;
        std::vector<std::size_t> sizes;
        std::vector<std::size_t> averages;
    };
    const std::vector<Case> cases = {
        {48000.0f, 3.0f, {32768, 16384, 4096, 1024}, {9, 18, 71, 282}},
        {96000.0f, 3.0f, {65536, 32768, 8192, 2048}, {9, 18, 71, 282}},
        {72000.0f, 3.0f, {65536, 32768, 8192, 2048}, {7, 14, 53, 211}},
        {192000.0f, 1.0f, {131072, 65536, 16384, 4096}, {3, 6, 24, 94}},
        {48000.0f, 1e-6f, {32768, 16384, 4096, 1024}, {1, 1, 1, 1}},
        {48000.0f, std::numeric_limits<float>::quiet_NaN(), {32768, 16384, 4096, 1024}, {1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        const analyzer::LayerSet set =
            analyzer::build_layers(c.fs, false, 0, Signal::Pink, 1.0f, c.average_secs, 0.6f);
        EXPECT_EQ(set.sizes, c.sizes) << c.fs;
        EXPECT_EQ(set.averages, c.averages) << c.fs << " " << c.average_secs;
        ASSERT_EQ(set.layers.size(), 4u);
        ASSERT_EQ(set.accumulators.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(set.layers[i].n, c.sizes[i]);
            EXPECT_EQ(set.layers[i].hop, c.sizes[i] / 2);
            EXPECT_EQ(set.layers[i].averages, c.averages[i]);
            EXPECT_FALSE(set.layers[i].sweep);
            EXPECT_TRUE(set.layers[i].harmonic_offsets.empty());
            EXPECT_EQ(set.accumulators[i].n, c.sizes[i]);
            EXPECT_EQ(set.accumulators[i].sxy.size(), c.sizes[i] / 2);
            EXPECT_EQ(set.accumulators[i].threshold, 0.6f);
            EXPECT_EQ(set.accumulators[i].full_weight, 2.0f * static_cast<float>(c.averages[i]));
            EXPECT_EQ(set.accumulators[i].shift, 0);
        }
    }
}

TEST(AnalyzerLayers, SweepLayer) {
    struct Case {
        Signal signal;
        float fs;
        std::size_t length;
        float sweep_secs;
        float average_secs;
        std::size_t averages;
        std::vector<std::size_t> offsets;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Case> cases = {
        {Signal::Chirp, 48000.0f, 24000, 1.0f, 3.0f, 6, {481, 763, 963, 1118}},
        // A Sweep of NaN or below 0.1 s behaves as one of 0.1 s: the Chirp's offsets.
        {Signal::Sweep, 48000.0f, 4800, nan, 3.0f, 30, {481, 763, 963, 1118}},
        {Signal::Sweep, 48000.0f, 4800, 0.05f, 3.0f, 30, {481, 763, 963, 1118}},
        {Signal::Sweep, 48000.0f, 96000, 2.0f, 1e-6f, 2, {9632, 15267, 19265, 22367}},
        {Signal::Pink, 48000.0f, 1000, 1.0f, 3.0f, 144, {}},
    };
    for (const Case& c : cases) {
        const analyzer::LayerSet set =
            analyzer::build_layers(c.fs, true, c.length, c.signal, c.sweep_secs, c.average_secs, 0.5f);
        ASSERT_EQ(set.layers.size(), 1u);
        const tf::TransferFunction& l = set.layers[0];
        EXPECT_EQ(set.sizes, std::vector<std::size_t>{c.length});
        EXPECT_EQ(set.averages, std::vector<std::size_t>{c.averages});
        EXPECT_EQ(l.n, c.length);
        EXPECT_EQ(l.hop, c.length);
        EXPECT_TRUE(l.sweep);
        EXPECT_EQ(l.harmonic_offsets, c.offsets) << static_cast<int>(c.signal) << " " << c.sweep_secs;
        for (float w : l.window) ASSERT_EQ(w, 1.0f);
        EXPECT_EQ(set.accumulators[0].full_weight, 2.0f * static_cast<float>(c.averages));
    }
}

// ---------------------------------------------------------------- feeding

TEST(AnalyzerLayers, DelayedMicrophoneSamplesAreDroppedBeforeTheFrames) {
    tf::TransferFunction l(8, 2, 48000.0f);
    l.reset(3);
    std::vector<float> mic(10), ref(10);
    for (std::size_t i = 0; i < 10; ++i) {
        mic[i] = static_cast<float>(i);
        ref[i] = 100.0f + static_cast<float>(i);
    }
    // 10 microphone samples, 3 dropped: one hop moves in, no frame yet.
    EXPECT_EQ(l.feed(mic, ref), 0u);
    EXPECT_EQ(l.filled, 4u);
    EXPECT_EQ(l.skip, 0u);
    EXPECT_EQ(l.mic_frame[4], 3.0f);  // microphone sample 3 meets reference sample 0
    EXPECT_EQ(l.ref_frame[4], 100.0f);
    EXPECT_EQ(l.mic_queue.size(), 3u);
    EXPECT_EQ(l.count, 0u);
    // n + d microphone samples complete the first frame.
    const std::vector<float> one{10.0f};
    EXPECT_EQ(l.feed(one, one), 1u);
    EXPECT_EQ(l.count, 1u);
    EXPECT_EQ(l.filled, 8u);
    EXPECT_EQ(l.mic_frame[7], 10.0f);

    // The same over several small passes at 48 kHz: the first 480 samples
    // never reach a frame of 1024.
    tf::TransferFunction big(1024, 4, 48000.0f);
    big.reset(480);
    const std::vector<float> sig = noise(2000, 1);
    std::size_t frames = 0;
    std::size_t fed = 0;
    while (fed + 100 <= 1500) {
        frames += big.feed(std::span(sig).subspan(fed, 100), std::span(sig).subspan(fed, 100));
        fed += 100;
    }
    EXPECT_EQ(frames, 0u);  // 1500 - 480 = 1020 samples < 1024
    frames += big.feed(std::span(sig).subspan(1500, 4), std::span(sig).subspan(1500, 4));
    EXPECT_EQ(frames, 1u);
    EXPECT_EQ(big.mic_frame[0], sig[480]);
}

TEST(AnalyzerLayers, AveragingWeights) {
    tf::TransferFunction l(64, 9, 48000.0f);
    const std::vector<float> sig = noise(64 * 40, 2);
    std::vector<float> weights;
    std::size_t pos = 0;
    while (l.count < 20) {
        const auto chunk = std::span(sig).subspan(pos, 32);
        pos += 32;
        if (l.feed(chunk, chunk) == 1) weights.push_back(l.w);
    }
    ASSERT_EQ(weights.size(), 20u);
    for (std::size_t j = 1; j <= 9; ++j) EXPECT_NEAR(weights[j - 1], 1.0f / static_cast<float>(j), 1e-6f) << j;
    float w = weights[8];
    for (std::size_t j = 10; j <= 20; ++j) {
        w = (1.0f - 1.0f / 9.0f) * (1.0f - 1.0f / 9.0f) * w + (1.0f / 9.0f) * (1.0f / 9.0f);
        EXPECT_NEAR(weights[j - 1], w, 1e-6f) << j;
    }
    // The same signal on both sides: H = 1 with full coherence.
    const auto [h, c] = l.bin(5);
    EXPECT_NEAR(h.real(), 1.0f, 1e-4f);
    EXPECT_NEAR(h.imag(), 0.0f, 1e-4f);
    EXPECT_NEAR(c, 1.0f, 1e-3f);
}

TEST(AnalyzerLayers, NonFiniteSamplesSkipTheirFrames) {
    tf::TransferFunction l(16, 4, 48000.0f);
    const std::vector<float> sig = noise(16, 3);
    EXPECT_EQ(l.feed(sig, sig), 1u);
    const float rms = l.mic_rms;
    std::vector<float> bad(8, 0.1f);
    bad[3] = std::numeric_limits<float>::quiet_NaN();
    // The NaN stays in the frame for two hops.
    EXPECT_EQ(l.feed(bad, bad), 0u);
    const std::vector<float> good(8, 0.2f);
    EXPECT_EQ(l.feed(good, good), 0u);
    EXPECT_EQ(l.count, 1u);
    EXPECT_EQ(l.mic_rms, rms);
    EXPECT_EQ(l.feed(good, good), 1u);
    EXPECT_EQ(l.count, 2u);
    EXPECT_NEAR(l.mic_rms, 0.2f, 1e-6f);
}

TEST(AnalyzerLayers, TransferFunctionOfADelayedGain) {
    // mic = 0.5 x reference delayed by 10 samples; with the layer reset to 10
    // the transfer function is 0.5 with no phase.
    const std::vector<float> ref = noise(48000, 4);
    std::vector<float> mic(ref.size(), 0.0f);
    for (std::size_t i = 10; i < ref.size(); ++i) mic[i] = 0.5f * ref[i - 10];
    tf::TransferFunction l(1024, 16, 48000.0f);
    l.reset(10);
    for (std::size_t pos = 0; pos + 960 <= ref.size(); pos += 960)
        l.feed(std::span(mic).subspan(pos, 960), std::span(ref).subspan(pos, 960));
    EXPECT_GE(l.count, 16u);
    for (std::size_t k : {5u, 50u, 300u, 500u}) {
        const auto [h, c] = l.bin(k);
        EXPECT_NEAR(std::abs(h), 0.5f, 0.01f) << k;
        EXPECT_NEAR(std::arg(h), 0.0f, 0.02f) << k;
        EXPECT_GT(c, 0.99f) << k;
    }
}

// ---------------------------------------------------------------- sweep layer

namespace {

std::vector<float> periods_of(Signal signal, std::size_t samples, float db) {
    generator::Generator g(48000.0f, generator::GenParams{.sweep_secs = 1.0f, .gen_db = db, .signal = signal});
    std::vector<float> out(samples);
    for (float& v : out) v = g.next();
    return out;
}

std::vector<float> chirp_periods(std::size_t periods, float db) { return periods_of(Signal::Chirp, 24000 * periods, db); }

// Two second-order low-pass sections at 12 kHz (a loudspeaker's top end).
void roll_off(std::vector<float>& x) {
    const double w = 2.0 * std::numbers::pi * 12000.0 / 48000.0;
    const double alpha = std::sin(w) / (2.0 * 0.70710678);
    const double a0 = 1.0 + alpha;
    const double b0 = (1.0 - std::cos(w)) / 2.0 / a0, b1 = (1.0 - std::cos(w)) / a0, b2 = b0;
    const double a1 = -2.0 * std::cos(w) / a0, a2 = (1.0 - alpha) / a0;
    for (int pass = 0; pass < 2; ++pass) {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (float& v : x) {
            const double y = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = v;
            y2 = y1;
            y1 = y;
            v = static_cast<float>(y);
        }
    }
}

}  // namespace

TEST(AnalyzerLayers, SweepLayerMeasuresTheSecondHarmonic) {
    // x + h2 x^2 puts a second harmonic of h2 A / 2 relative to a fundamental
    // of amplitude A: -30 dB for A = 0.5 and h2 = 0.1265. The products above
    // the sweep's top frequency are rolled off, as a loudspeaker would.
    const float a = generator::gain_of(-6.0206f);
    const float h2 = 2.0f * std::pow(10.0f, -30.0f / 20.0f) / a;
    for (const auto& [signal, n] : {std::pair{Signal::Chirp, std::size_t{24000}}, std::pair{Signal::Sweep, std::size_t{48000}}}) {
        const std::vector<float> ref = periods_of(signal, 3 * n, -6.0206f);
        std::vector<float> mic(ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i) mic[i] = ref[i] + h2 * ref[i] * ref[i];
        roll_off(mic);
        analyzer::LayerSet set = analyzer::build_layers(48000.0f, true, n, signal, 1.0f, 1.0f, 0.5f);
        tf::TransferFunction& l = set.layers[0];
        l.reset(0);
        EXPECT_EQ(l.feed(mic, ref), 3u);
        EXPECT_FALSE(l.off_direct);
        ASSERT_EQ(l.harmonics.size(), 4u);
        EXPECT_EQ(l.harmonics[0].first, 2);
        EXPECT_NEAR(l.harmonics[0].second, -30.0f, 1.5f) << static_cast<int>(signal);
        for (std::size_t k = 1; k < 4; ++k) {
            EXPECT_EQ(l.harmonics[k].first, k + 2);
            EXPECT_LT(l.harmonics[k].second, -60.0f);  // no third, fourth or fifth harmonic
        }
        EXPECT_EQ(l.clean.size(), n / 2);
        // With the harmonic images gated out, the response is the roll-off alone.
        for (std::size_t k : {100u, 1000u}) {  // 200 Hz and 2 kHz (Chirp), 100 Hz and 1 kHz (Sweep)
            const auto [h, c] = l.bin(k);
            EXPECT_NEAR(std::abs(h), 1.0f, 0.02f) << k;
        }
    }
}

TEST(AnalyzerLayers, SweepPeakBeforeTimeZeroIsOffTheDirectSound) {
    // The microphone leads the reference by 10 ms: the impulse peak sits 10 ms
    // before the end of the buffer.
    const std::vector<float> ref = chirp_periods(2, -6.0f);
    std::vector<float> mic(ref.size(), 0.0f);
    for (std::size_t i = 0; i + 480 < ref.size(); ++i) mic[i] = ref[i + 480];
    analyzer::LayerSet set = analyzer::build_layers(48000.0f, true, 24000, Signal::Chirp, 1.0f, 1.0f, 0.5f);
    tf::TransferFunction& l = set.layers[0];
    l.reset(0);
    EXPECT_EQ(l.feed(mic, ref), 2u);
    EXPECT_TRUE(l.off_direct);
    EXPECT_TRUE(l.clean.empty());
    EXPECT_TRUE(l.harmonics.empty());
}

// ---------------------------------------------------------------- accumulator

namespace {

// A layer whose bin 1 has the given bias-corrected coherence with N = 10
// averages and H = sqrt(raw) (sxx = syy = 1).
tf::TransferFunction layer_with_coherence(float coherence) {
    tf::TransferFunction l(8, 10, 48000.0f);
    l.w = 0.1f;
    const float raw = (coherence * 9.0f + 1.0f) / 10.0f;
    for (std::size_t k = 0; k < 4; ++k) {
        l.sxx[k] = 1.0f;
        l.syy[k] = 1.0f;
        l.sxy[k] = tf::Complex(std::sqrt(raw), 0.0f);
    }
    l.floor = 1e-4f;
    return l;
}

}  // namespace

TEST(AnalyzerLayers, AccumulatorKeepsBinsAtTheThreshold) {
    struct Case {
        float coherence;
        std::uint32_t times;
        float weight;
    };
    const std::vector<Case> cases = {{0.69f, 1, 0.0f}, {0.71f, 1, 0.71f}, {0.71f, 3, 3 * 0.71f}, {1.0f, 2, 2.0f}};
    for (const Case& c : cases) {
        const tf::TransferFunction l = layer_with_coherence(c.coherence);
        tf::Accumulator acc(8, 48000.0f, 0.7f, 10);
        acc.add(l, c.times);
        EXPECT_NEAR(acc.weight[1], c.weight, 1e-4f) << c.coherence;
        const float h = std::sqrt((c.coherence * 9.0f + 1.0f) / 10.0f);
        EXPECT_NEAR(acc.sxy[1].real(), c.weight * h, 1e-4f);
        EXPECT_NEAR(acc.power[1], c.weight * h * h, 1e-4f);
    }
    // A bin below the floor: skipped with a threshold, added as (0, 0) without.
    tf::TransferFunction l = layer_with_coherence(1.0f);
    l.sxx[2] = 0.0f;
    tf::Accumulator strict(8, 48000.0f, 0.7f, 10), open(8, 48000.0f, 0.0f, 10);
    strict.add(l, 1);
    open.add(l, 1);
    EXPECT_EQ(strict.weight[2], 0.0f);
    EXPECT_EQ(open.weight[2], 0.0f);
    EXPECT_EQ(open.sxy[2], tf::Complex{});
    EXPECT_NEAR(open.weight[1], 1.0f, 1e-5f);
}

TEST(AnalyzerLayers, AccumulatorShiftRotatesNewContributions) {
    const tf::TransferFunction l = layer_with_coherence(1.0f);
    tf::Accumulator acc(8, 48000.0f, 0.0f, 10);
    acc.shift = 2;  // bin k turns by k x 2 x 2 pi / 8: a quarter turn per bin
    acc.add(l, 1);
    EXPECT_NEAR(acc.sxy[0].real(), 1.0f, 1e-5f);
    EXPECT_NEAR(acc.sxy[1].real(), 0.0f, 1e-5f);
    EXPECT_NEAR(acc.sxy[1].imag(), 1.0f, 1e-5f);
    EXPECT_NEAR(acc.sxy[2].real(), -1.0f, 1e-5f);
    EXPECT_NEAR(acc.power[1], 1.0f, 1e-5f);
    acc.clear();
    EXPECT_EQ(acc.shift, 0);
    EXPECT_EQ(acc.weight[1], 0.0f);
}

// ---------------------------------------------------------------- drift lock

namespace {

std::optional<tf::DelayFound> res(std::int64_t lag, float q) {
    return tf::DelayFound{static_cast<std::size_t>(lag), q};
}

}  // namespace

TEST(AnalyzerDrift, BaselineFromTheThirdGoodResult) {
    analyzer::DriftTracker t;
    EXPECT_EQ(t.step(res(503, 20.0f), 500, 48000.0f, 0), Action{Action::Ignore{}});
    EXPECT_EQ(t.step(res(499, 5.0f), 500, 48000.0f, 0), Action{Action::Ignore{}});  // weak: not counted
    EXPECT_EQ(t.step(res(510, 20.0f), 500, 48000.0f, 0), Action{Action::Ignore{}});
    EXPECT_EQ(t.step(res(501, 20.0f), 500, 48000.0f, 0), Action{Action::Baseline{3}});  // 1, 3, 10
    EXPECT_EQ(t.baseline, 3);
    EXPECT_EQ(t.step(std::nullopt, 500, 48000.0f, 0), std::nullopt);
}

TEST(AnalyzerDrift, Decisions) {
    // Each case starts from a baseline of 0 at delay 1000 with a smoothed
    // quality of 20, then takes its steps; the last action is checked.
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, float>> steps;  // (offset e, quality)
        Action last;
        std::size_t history;
    };
    const std::vector<Case> cases = {
        {"small offset", {{3, 20.0f}}, Action{Action::Drift{3, 3}}, 1},
        {"median of three", {{3, 20.0f}, {9, 20.0f}, {5, 20.0f}}, Action{Action::Drift{5, 5}}, 3},
        {"jump seen once", {{200, 20.0f}}, Action{Action::Pending{}}, 0},
        {"jump confirmed", {{200, 20.0f}, {203, 20.0f}}, Action{Action::Follow{1203, 203}}, 0},
        {"jump forgotten", {{200, 20.0f}, {0, 20.0f}}, Action{Action::Drift{0, 0}}, 1},
        {"weak jump", {{100, 7.0f}}, Action{Action::Drift{100, 100}}, 1},
        {"far and weak", {{300, 7.0f}}, Action{Action::Ignore{}}, 0},
        {"not good", {{200, 20.0f}, {200, 6.0f}}, Action{Action::Ignore{}}, 0},
        {"negative jump", {{-150, 20.0f}, {-152, 20.0f}}, Action{Action::Follow{848, -152}}, 0},
        {"jump below zero", {{-1100, 20.0f}, {-1100, 20.0f}}, Action{Action::Follow{0, -1100}}, 0},
    };
    for (const Case& c : cases) {
        analyzer::DriftTracker t;
        t.baseline = 0;
        t.smoothed = 20.0f;
        std::optional<Action> last;
        for (const auto& [e, q] : c.steps) last = t.step(res(1000 + e, q), 1000, 48000.0f, 48000);
        ASSERT_TRUE(last.has_value()) << c.what;
        EXPECT_EQ(*last, c.last) << c.what << ": " << last->text();
        EXPECT_EQ(t.history.size(), c.history) << c.what;
    }
}

TEST(AnalyzerDrift, ClockDriftFromFiveStepsOverThirtySeconds) {
    analyzer::DriftTracker t;
    t.baseline = 0;
    t.smoothed = 20.0f;
    const float fs = 48000.0f;
    // 20 ppm: the offset grows by 0.96 samples per second; a step every 2 s.
    for (int i = 0; i <= 20; ++i) {
        const double secs = 2.0 * i;
        const auto e = static_cast<std::int64_t>(std::llround(secs * fs * 20e-6));
        t.step(res(1000 + e, 20.0f), 1000, fs, static_cast<std::size_t>(secs * fs));
        if (secs < 30.0) EXPECT_EQ(t.clock_drift, 0.0f) << secs;
    }
    EXPECT_NEAR(t.clock_drift, 20.0f, 1.5f);
    // A jump empties the history and the estimate.
    EXPECT_EQ(t.step(res(1200, 20.0f), 1000, fs, 42 * 48000), Action{Action::Pending{}});
    EXPECT_TRUE(t.history.empty());
    EXPECT_EQ(t.clock_drift, 0.0f);
    t.clear();
    EXPECT_FALSE(t.baseline.has_value());
    EXPECT_EQ(t.smoothed, 0.0f);
}

TEST(AnalyzerDrift, ActionText) {
    EXPECT_EQ(Action{Action::Ignore{}}.text(), "Ignore");
    EXPECT_EQ(Action{Action::Baseline{-12}}.text(), "Baseline(-12)");
    EXPECT_EQ((Action{Action::Drift{3, 4}}.text()), "Drift { median: 3, drift: 4 }");
    EXPECT_EQ(Action{Action::Pending{}}.text(), "Pending");
    EXPECT_EQ((Action{Action::Follow{680, 200}}.text()), "Follow { delay: 680, step: 200 }");
}

// ---------------------------------------------------------------- status line

TEST(AnalyzerStatus, FirstMatchingRowWins) {
    using analyzer::StatusInputs;
    // Every row's condition on top of all the rows below it.
    StatusInputs all;
    all.rate_message = "Output runs at 44100 Hz, input at 48000 Hz";
    all.ref_internal = true;
    all.signal = Signal::Off;
    all.clip = "Reference clipping";
    all.transient = "Lock moved +4.2 ms, followed";
    all.baseline = -96;
    all.clock_drift = -20.4f;
    all.count = 20;
    all.wanted = 71;
    all.mic_db = -90.0f;
    all.ref_db = -70.0f;
    all.searching = true;
    all.off_direct = true;
    all.accumulate = true;
    all.accumulating_for = std::chrono::seconds(125);
    all.mean_conf = 0.875f;
    all.shift_ms = 0.0625f;

    struct Row {
        std::function<void(StatusInputs&)> clear;  // removes this row's condition
        const char* status;
        bool warn;
    };
    const std::vector<Row> rows = {
        {[](StatusInputs& s) { s.rate_message.reset(); }, "Output runs at 44100 Hz, input at 48000 Hz", true},
        {[](StatusInputs& s) { s.signal = Signal::Pink; }, "Generator is off, pick a signal", true},
        {[](StatusInputs& s) { s.clip.reset(); }, "Reference clipping", true},
        {[](StatusInputs& s) { s.transient.reset(); }, "Lock moved +4.2 ms, followed", false},
        {[](StatusInputs& s) { s.baseline = 63; }, "Arrival is -2.0 ms from the delay; Find delay locks on it", true},
        // The reference row needs a reference channel.
        {[](StatusInputs& s) { s.clock_drift = 4.9f; s.ref_internal = false; },
         "Clocks drift -20 ppm: input and output are not on one clock", true},
        {[](StatusInputs& s) { s.ref_db = -10.0f; }, "No reference signal on the reference channel", true},
        {[](StatusInputs& s) { s.mic_db = -30.0f; }, "No microphone signal", true},
        {[](StatusInputs& s) { s.searching = false; }, "Finding delay", false},
        {[](StatusInputs& s) { s.off_direct = false; }, "Delay is not on the direct sound, find the delay", true},
        {[](StatusInputs& s) { s.count = 71; }, "Averaging 20 of 71", false},
        {[](StatusInputs& s) { s.accumulate = false; }, "Accumulating 2:05, conf 0.88, drift +0.06 ms", false},
        {[](StatusInputs&) {}, "Live, coh 0.88", false},
    };
    StatusInputs s = all;
    for (const Row& r : rows) {
        EXPECT_EQ(analyzer::status_line(s), std::make_pair(std::string(r.status), r.warn)) << r.status;
        r.clear(s);
    }
}

TEST(AnalyzerStatus, EdgeRows) {
    using analyzer::StatusInputs;
    StatusInputs s;
    s.count = 0;
    s.wanted = 9;
    s.mic_db = -180.0f;
    s.ref_db = -180.0f;
    // Before the first frame neither level row applies.
    EXPECT_EQ(analyzer::status_line(s).first, "Averaging 0 of 9");
    s.count = 1;
    EXPECT_EQ(analyzer::status_line(s).first, "No reference signal on the reference channel");
    s.ref_db = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(analyzer::status_line(s).first, "No reference signal on the reference channel");
    s.ref_internal = true;
    s.signal = Signal::Pink;
    EXPECT_EQ(analyzer::status_line(s).first, "No microphone signal");
    s.mic_db = -70.0f;
    s.ref_db = -40.0f;  // below -60 and 30 dB under the reference
    EXPECT_EQ(analyzer::status_line(s).first, "No microphone signal");
    s.ref_db = -55.0f;
    EXPECT_EQ(analyzer::status_line(s).first, "Averaging 1 of 9");
    // A baseline of 64 samples shows only while the user has not started a search.
    s.baseline = 64;
    EXPECT_EQ(analyzer::status_line(s).first, "Arrival is +1.3 ms from the delay; Find delay locks on it");
    s.search_started = true;
    s.searching = true;
    EXPECT_EQ(analyzer::status_line(s).first, "Finding delay");
}
