// One analyzer run's pass processing, driven block by block without devices:
// pairing, gaps, clipping, the Sine check, cycles and the display refresh.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <fmt/format.h>

#include "base/log.h"
#include "base/tests/support.h"
#include "engine/analyzer/internal/run_state.h"

using namespace engine;
using analyzer::Cmd;
using analyzer::Signal;
using namespace std::chrono_literals;

namespace {

using test_support::ManualClock;

struct Bench {
    ManualClock clock;
    std::shared_ptr<generator::SharedParams> gen = std::make_shared<generator::SharedParams>();
    analyzer::SharedSnapshot snap;
    std::optional<analyzer::RunState> state;
    std::mt19937 rng{7};

    explicit Bench(bool output_open = false, Signal signal = Signal::Pink, bool ref_internal = false,
                   std::vector<float> mic_cal = {}) {
        analyzer::Params p;
        p.gen.signal = signal;
        p.ref_internal = ref_internal;
        p.average_secs = 1.0f;
        p.mic_cal = std::move(mic_cal);
        gen->params = p.gen;
        snap.value = analyzer::Snapshot::opening(p.coherence_threshold);
        state.emplace(p, 48000.0f, output_open, gen, clock, std::nullopt);
    }

    std::vector<float> noise(std::size_t n) {
        std::normal_distribution<float> d(0.0f, 0.1f);
        std::vector<float> v(n);
        for (float& x : v) x = d(rng);
        return v;
    }

    // One pass of 20 ms: the clock moves, then the blocks are processed.
    void pass(std::vector<float> mic, std::vector<float> ref, float mic_peak = 0.0f, float ref_peak = 0.0f) {
        clock.sleep(20ms);
        state->pass(analyzer::PassInput{mic, ref, 0, std::nullopt, mic_peak, ref_peak}, snap);
    }
    void noise_pass() {
        const std::vector<float> x = noise(960);
        pass(x, x);
    }
    analyzer::Snapshot copy() {
        std::lock_guard lk(snap.mu);
        return snap.value;
    }
};

}  // namespace

TEST(AnalyzerRunState, PairingAndGaps) {
    base::log::Capture logs;
    Bench b;
    // The reference starts 50 samples ahead: they are dropped.
    b.pass(b.noise(100), b.noise(150));
    const auto lead = logs.with_message("reference ahead of the mic at the first samples, dropped");
    ASSERT_EQ(lead.size(), 1u);
    EXPECT_EQ(lead[0].field("lead"), "50");
    EXPECT_NEAR(std::stof(lead[0].field("lead_ms")), 1.0417f, 1e-3f);

    // Three seconds of exact zeros from the microphone, then sound: one gap.
    for (int i = 0; i < 150; ++i) b.pass(std::vector<float>(960, 0.0f), b.noise(960));
    EXPECT_TRUE(logs.with_message("input gap").empty());
    b.noise_pass();
    b.noise_pass();
    const auto gap = logs.with_message("input gap");
    ASSERT_EQ(gap.size(), 1u);
    EXPECT_NEAR(std::stof(gap[0].field("gap_ms")), 3000.0f, 1.0f);

    // A microphone that delivers nothing while the reference fills the
    // window: both rings are emptied and pairing starts again.
    for (int i = 0; i < 80; ++i) b.pass({}, b.noise(960));
    EXPECT_EQ(logs.with_message("one stream stood still for the whole window, pairing again").size(), 1u);
    b.pass(b.noise(960), b.noise(1000));
    EXPECT_EQ(logs.with_message("reference ahead of the mic at the first samples, dropped").size(), 2u);
}

TEST(AnalyzerRunState, CyclesAndDisplayRefresh) {
    Bench b;
    for (const auto& [given, kept] : std::vector<std::pair<float, float>>{
             {-1.0f, 0.0f}, {std::numeric_limits<float>::quiet_NaN(), 0.0f}, {2.5f, 2.5f}, {0.0f, 0.0f}}) {
        b.state->command(Cmd{Cmd::SetCycles{given}});
        EXPECT_EQ(b.state->cycles(), kept) << given;
    }
    // Before the first frame: levels at the floor, no display data.
    b.noise_pass();
    analyzer::Snapshot s = b.copy();
    EXPECT_EQ(s.mic_db, -180.0f);
    EXPECT_EQ(s.ref_db, -180.0f);
    EXPECT_TRUE(s.points.empty());
    while (b.state->layer_set().layers.front().count < 2) b.noise_pass();
    s = b.copy();
    ASSERT_EQ(s.points.size(), tf::GRID_POINTS);
    EXPECT_GT(s.mic_db, -30.0f);
    // New cycles refresh the display once, even in silence.
    b.state->command(Cmd{Cmd::SetCycles{3.0f}});
    b.pass({}, {});
    const analyzer::Snapshot w = b.copy();
    EXPECT_NE(w.points, s.points);
    // Back to 0: the band values without windowing.
    b.state->command(Cmd{Cmd::SetCycles{0.0f}});
    b.pass({}, {});
    EXPECT_EQ(b.copy().points, s.points);
}

TEST(AnalyzerRunState, ClippingMessages) {
    Bench b;
    b.pass(b.noise(960), b.noise(960), 0.5f, 1.0f);
    EXPECT_EQ(b.copy().status, "Reference clipping");
    EXPECT_TRUE(b.copy().warn);
    b.pass(b.noise(960), b.noise(960), 1.0f, 0.2f);
    EXPECT_EQ(b.copy().status, "Microphone clipping");
    // Both together: the reference wins.
    b.pass(b.noise(960), b.noise(960), 1.0f, 0.9995f);
    EXPECT_EQ(b.copy().status, "Reference clipping");
    b.clock.t += 2s;
    b.noise_pass();
    EXPECT_EQ(b.copy().status, "Averaging 0 of 3");
}

TEST(AnalyzerRunState, DropoutsAreCountedAndLoggedAtMostEveryTenSeconds) {
    base::log::Capture logs;
    Bench b;
    const auto pass = [&](std::uint64_t xruns, std::uint64_t missed) {
        b.clock.sleep(20ms);
        std::vector<float> x = b.noise(960);
        b.state->pass(analyzer::PassInput{x, x, 0, std::nullopt, 0.0f, 0.0f, xruns, missed}, b.snap);
    };
    pass(2, 1);
    EXPECT_EQ(b.copy().dropouts, 3u);
    pass(0, 3);
    pass(1, 0);
    EXPECT_EQ(b.copy().dropouts, 7u);
    EXPECT_EQ(b.copy().status, "Averaging 0 of 3");  // the status line stays what it was
    b.clock.t += 10s;
    pass(0, 0);
    auto recs = logs.with_message("audio dropouts");
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].level, base::log::Level::Warn);
    EXPECT_EQ(recs[0].field("xruns"), "2");
    EXPECT_EQ(recs[0].field("missed_blocks"), "1");
    EXPECT_EQ(recs[1].field("xruns"), "1");
    EXPECT_EQ(recs[1].field("missed_blocks"), "3");
}

TEST(AnalyzerRunState, SineStopsTheSearch) {
    Bench b(true, Signal::Sine);
    b.state->command(Cmd{Cmd::FindDelay{}});
    EXPECT_TRUE(b.state->searching());
    b.noise_pass();
    EXPECT_FALSE(b.state->searching());
    EXPECT_EQ(b.copy().status, "Sine carries no delay information; use noise or a sweep");
    EXPECT_FALSE(b.copy().warn);
    b.clock.t += 10s;
    b.noise_pass();
    EXPECT_EQ(b.copy().status, "Averaging 0 of 3");
}

TEST(AnalyzerRunState, GeneratorOffWithTheGeneratedReference) {
    Bench b(true, Signal::Off, true);
    b.noise_pass();
    EXPECT_EQ(b.copy().status, "Generator is off, pick a signal");
    EXPECT_TRUE(b.copy().warn);
    b.state->command(Cmd{Cmd::SetGenerator{generator::GenParams{.signal = Signal::Pink}}});
    EXPECT_EQ(b.gen->params.signal, Signal::Pink);
    b.noise_pass();
    EXPECT_EQ(b.copy().status, "Averaging 0 of 3");
}

TEST(AnalyzerRunState, GeneratorSwitchesTheLayerSetOnlyWithAnOutput) {
    const generator::GenParams sweep{.sweep_secs = 0.5f, .signal = Signal::Sweep};
    Bench none(false);
    none.state->command(Cmd{Cmd::SetGenerator{sweep}});
    EXPECT_FALSE(none.state->sweep_mode());
    EXPECT_EQ(none.state->layer_set().layers.size(), 4u);

    Bench b(true);
    b.state->command(Cmd{Cmd::SetDelay{100}});
    b.state->command(Cmd{Cmd::SetGenerator{sweep}});
    ASSERT_TRUE(b.state->sweep_mode());
    ASSERT_EQ(b.state->layer_set().layers.size(), 1u);
    EXPECT_EQ(b.state->layer_set().sizes[0], 24000u);
    EXPECT_EQ(b.state->layer_set().layers[0].delay, 100u);  // the averages restart at the old delay
    EXPECT_EQ(b.state->window(), 65536u);                   // clamp(24000 + 24000, 65536, 216000)
    // A Sweep of 4 s: the window grows with the period.
    b.state->command(Cmd{Cmd::SetGenerator{generator::GenParams{.sweep_secs = 4.0f, .signal = Signal::Sweep}}});
    EXPECT_EQ(b.state->window(), 216000u);
    b.state->command(Cmd{Cmd::SetGenerator{generator::GenParams{.signal = Signal::Pink}}});
    EXPECT_FALSE(b.state->sweep_mode());
    EXPECT_EQ(b.state->layer_set().layers.size(), 4u);
    EXPECT_EQ(b.state->window(), 65536u);
}

TEST(AnalyzerRunState, AccumulateBeforeAnyAccumulatedBin) {
    Bench b;
    b.state->command(Cmd{Cmd::SetAccumulate{true}});
    while (b.state->layer_set().layers.front().count < 1) b.noise_pass();
    const analyzer::Snapshot s = b.copy();
    EXPECT_TRUE(s.accumulate);
    ASSERT_EQ(s.accumulated.size(), tf::GRID_POINTS);
    for (const tf::Point& p : s.accumulated) ASSERT_EQ(p.conf, 0.0f);
    EXPECT_EQ(s.ir.size(), tf::IR_DISPLAY_LEN);  // from the longest layer
    b.noise_pass();
    EXPECT_EQ(b.copy().status, "Averaging 1 of 3");
}

TEST(AnalyzerRunState, LivePointsAreThoseOfACapture) {
    // The display evaluates only the grid points the merge reads; a capture
    // evaluates every layer in full. Both give the same points.
    Bench b;
    std::uint64_t last = 0;
    while (b.state->layer_set().layers.front().count < 3 || b.state->layer_set().layers.front().count == last) {
        last = b.state->layer_set().layers.front().count;
        b.noise_pass();
    }
    auto [tx, rx] = base::channel<trace::Trace>();
    b.state->command(Cmd{Cmd::Capture{std::move(tx), "Now"}});
    auto t = rx.try_recv();
    ASSERT_TRUE(t);
    EXPECT_EQ(t.value->points, b.copy().points);
}

TEST(AnalyzerRunState, NoDriftStepWithoutADelay) {
    base::log::Capture logs;
    Bench b;  // delay 0
    for (int i = 0; i < 400; ++i) b.noise_pass();  // 8 s, the window full
    EXPECT_TRUE(logs.with_message("drift estimate").empty());
    EXPECT_FALSE(b.state->drift().baseline.has_value());
    EXPECT_EQ(b.state->drift().clock_drift, 0.0f);
    // With a delay the steps run every 2 s.
    b.state->command(Cmd{Cmd::SetDelay{1}});
    for (int i = 0; i < 400; ++i) b.noise_pass();
    EXPECT_GE(logs.with_message("drift estimate").size(), 3u);
}

TEST(AnalyzerRunState, SearchThenKeepDelay) {
    Bench b;
    b.state->command(Cmd{Cmd::FindDelay{}});
    for (int i = 0; i < 60; ++i) b.noise_pass();
    EXPECT_EQ(b.copy().status, "Finding delay");
    EXPECT_FALSE(b.copy().warn);
    b.state->command(Cmd{Cmd::KeepDelay{}});
    EXPECT_FALSE(b.state->searching());
    b.noise_pass();
    const std::uint64_t count = b.state->layer_set().layers.front().count;
    EXPECT_EQ(b.copy().status, fmt::format("Averaging {} of 3", count));
}

TEST(AnalyzerRunState, CaptureBeforeAnyAccumulatedBinGivesTheLiveLayers) {
    Bench b;
    b.state->command(Cmd{Cmd::SetAccumulate{true}});
    b.noise_pass();
    auto [tx, rx] = base::channel<trace::Trace>();
    b.state->command(Cmd{Cmd::Capture{std::move(tx), "Early"}});
    auto t = rx.try_recv();
    ASSERT_TRUE(t);
    EXPECT_EQ(t.value->gate, 0.5f);  // the coherence threshold, not 0.01
    EXPECT_EQ(t.value->layers.size(), 4u);
    EXPECT_EQ(t.value->name, "Early");
}

TEST(AnalyzerRunState, CalibrationMovesLiveAndCapturedCurvesAlike) {
    // The same noise as microphone and reference reads 0 dB; a microphone
    // that reads 3 dB hot everywhere takes 3 dB off both the live curve and
    // a capture, with and without frequency-dependent windowing.
    for (const float cycles : {0.0f, 6.0f}) {
        SCOPED_TRACE(cycles);
        Bench b(false, Signal::Pink, false, std::vector<float>(tf::GRID_POINTS, 3.0f));
        b.state->command(Cmd{Cmd::SetCycles{cycles}});
        while (b.state->layer_set().layers.front().count < 3) b.noise_pass();
        const analyzer::Snapshot live = b.copy();
        auto [tx, rx] = base::channel<trace::Trace>();
        b.state->command(Cmd{Cmd::Capture{std::move(tx), "Cal"}});
        auto t = rx.try_recv();
        ASSERT_TRUE(t);
        EXPECT_EQ(t.value->cal, std::vector<float>(tf::GRID_POINTS, 3.0f));
        t.value->apply_cycles(cycles);
        ASSERT_EQ(live.points.size(), tf::GRID_POINTS);
        ASSERT_EQ(t.value->points.size(), tf::GRID_POINTS);
        for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
            const float hz = live.points[i].hz;
            if (hz < 40.0f || hz > 16000.0f) continue;
            EXPECT_NEAR(live.points[i].db, -3.0f, 0.05f) << hz;
            EXPECT_NEAR(t.value->points[i].db, live.points[i].db, 0.05f) << hz;
        }
        // The microphone spectrum is read through the same calibration.
        Bench plain;
        plain.state->command(Cmd{Cmd::SetCycles{cycles}});
        while (plain.state->layer_set().layers.front().count < 3) plain.noise_pass();
        const analyzer::Snapshot raw = plain.copy();
        ASSERT_EQ(raw.spectrum.size(), live.spectrum.size());
        for (std::size_t i = 0; i < raw.spectrum.size(); ++i)
            EXPECT_NEAR(live.spectrum[i].db, raw.spectrum[i].db - 3.0f, 0.01f) << i;
    }
}
