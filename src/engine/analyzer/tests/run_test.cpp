// The analyzer thread on a simulated room: delay search and lock, the live
// transfer function, capture, sweep harmonics, clock drift, buffer jumps,
// lost devices and the handle's life. The rig's clock moves the software
// host on by each sleep of the thread, so a minute of audio runs in seconds.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>

#include "base/log.h"
#include "engine/analyzer/tests/rig.h"

using namespace engine;
using analyzer::Cmd;
using analyzer_rig::Rig;
namespace host = audio_watcher::host;
using namespace std::chrono_literals;

namespace {

std::complex<double> response(const host::Biquad& q, double f, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / rate);
    return (q.b0 + q.b1 * z1 + q.b2 * z1 * z1) / (1.0 + q.a1 * z1 + q.a2 * z1 * z1);
}

// The lead the pairing reported at the first samples (the reference tap
// runs ahead of the input by what the output has buffered).
std::int64_t first_lead(const base::log::Capture& logs) {
    const auto recs = logs.with_message("reference ahead of the mic at the first samples, dropped");
    if (recs.empty()) return 0;
    return std::stoll(recs.front().field("lead"));
}

// Checks points against the room from 100 Hz to 10 kHz: gain 0.5 and the
// 1 kHz peak, within 0.5 dB and 5 degrees, with coherence above 0.9.
void expect_room_response(const std::vector<tf::Point>& points) {
    const host::Biquad peak = host::Biquad::peaking(48000.0, 1000.0, 2.0, 6.0);
    ASSERT_EQ(points.size(), tf::GRID_POINTS);
    std::size_t checked = 0;
    for (const tf::Point& p : points) {
        if (p.hz < 100.0f || p.hz > 10000.0f) continue;
        const std::complex<double> h = 0.5 * response(peak, p.hz, 48000.0);
        const double db = 20.0 * std::log10(std::abs(h));
        const double deg = std::arg(h) * 180.0 / std::numbers::pi;
        EXPECT_NEAR(p.db, db, 0.5) << p.hz;
        double dd = std::remainder(p.deg - deg, 360.0);
        EXPECT_LT(std::abs(dd), 5.0) << p.hz << " Hz: " << p.deg << " vs " << deg;
        EXPECT_GT(p.conf, 0.9f) << p.hz;
        ++checked;
    }
    EXPECT_GT(checked, 100u);
}

// "Live, coh {:.2f}" with a coherence of at least 0.9.
void expect_live(const std::string& status) {
    ASSERT_TRUE(status.starts_with("Live, coh ")) << status;
    EXPECT_GE(std::stod(status.substr(10)), 0.9) << status;
}

}  // namespace

class AnalyzerRun : public ::testing::TestWithParam<bool> {};  // the generated signal is the reference

TEST_P(AnalyzerRun, FindsTheDelayLocksItAndMeasuresTheRoom) {
    const bool internal = GetParam();
    base::log::Capture logs;
    Rig rig;
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, !internal));
    rig.start(Rig::params(internal));

    // Started, before the first pass.
    analyzer::Snapshot s = rig.snap();
    EXPECT_EQ(s.status, "Opening input");
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.gate, 0.5f);
    EXPECT_EQ(s.sample_rate, 48000u);

    rig.an->send(Cmd{Cmd::FindDelay{}});
    rig.run(400ms);
    s = rig.snap();
    EXPECT_EQ(s.status, "Finding delay");
    EXPECT_FALSE(s.warn);
    EXPECT_FALSE(s.found.has_value());

    rig.run(3s);
    s = rig.snap();
    const std::int64_t lead = first_lead(logs);
    if (!internal) EXPECT_EQ(lead, 0);
    const auto expected = static_cast<std::size_t>(480 + lead);
    ASSERT_TRUE(s.found.has_value());
    EXPECT_NEAR(static_cast<double>(*s.found), static_cast<double>(expected), 1.0);
    EXPECT_GT(s.find_conf, 6.0f);
    EXPECT_EQ(s.status, "Finding delay");
    const auto found_logs = logs.with_message("delay found");
    ASSERT_FALSE(found_logs.empty());
    EXPECT_EQ(found_logs.back().field("lag"), std::to_string(*s.found));

    rig.an->send(Cmd{Cmd::SetDelay{*s.found}});
    rig.run(40ms);  // the command, then a pass that publishes it
    s = rig.snap();
    EXPECT_EQ(s.status, "Averaging 0 of 3");
    EXPECT_EQ(s.delay, *s.found);
    EXPECT_FALSE(s.found.has_value());

    rig.run(3s);
    s = rig.snap();
    expect_live(s.status);
    EXPECT_FALSE(s.warn);
    EXPECT_EQ(s.fft_size, 32768u);
    EXPECT_GE(s.averages, 3u);
    // Pink noise at -10 dB, the room halves it.
    EXPECT_GT(s.ref_db, -30.0f);
    EXPECT_LT(s.ref_db, -10.0f);
    EXPECT_NEAR(s.mic_db, s.ref_db - 6.0f, 2.0f);
    expect_room_response(s.points);
    // The impulse response starts at time zero.
    ASSERT_EQ(s.ir.size(), tf::IR_DISPLAY_LEN);
    ASSERT_FALSE(s.arrivals.empty());
    EXPECT_NEAR(s.arrivals.front().ms, 0.0f, 0.2f);
    EXPECT_EQ(s.arrivals.front().db, 0.0f);
    // The microphone spectrum follows the pink noise: flat-ish per band.
    ASSERT_EQ(s.spectrum.size(), tf::GRID_POINTS);
    EXPECT_EQ(s.spectrum[100].conf, 1.0f);
    EXPECT_LT(s.spectrum[100].db, 0.0f);
    EXPECT_TRUE(s.harmonics.empty());
    EXPECT_FALSE(s.accumulate);
    EXPECT_TRUE(s.accumulated.empty());
}

INSTANTIATE_TEST_SUITE_P(Reference, AnalyzerRun, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Generated" : "InputChannel"; });

TEST(AnalyzerRunSingle, CaptureAccumulateStopAndClosedReply) {
    Rig rig;
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, true));
    analyzer::Params p = Rig::params(false);
    p.delay_ms = 10.0f;  // 480 samples
    rig.start(p);
    rig.run(2s);

    auto [tx, rx] = base::channel<trace::Trace>();
    rig.an->send(Cmd{Cmd::Capture{tx, "Live one"}});
    tx = base::Sender<trace::Trace>();
    rig.run(40ms);  // the command, then a pass that publishes it
    auto t = rx.try_recv();
    ASSERT_TRUE(t) << "no trace on the reply channel";
    EXPECT_EQ(t.value->name, "Live one");
    EXPECT_EQ(t.value->fs, 48000u);
    EXPECT_EQ(t.value->delay_samples, 480u);
    EXPECT_EQ(t.value->gate, 0.5f);
    ASSERT_EQ(t.value->layers.size(), 4u);
    EXPECT_EQ(t.value->layers[0].n, 32768u);
    EXPECT_EQ(t.value->layers[3].n, 1024u);
    EXPECT_EQ(rx.try_recv().status, base::RecvStatus::Closed);  // the reply sender was released
    const trace::Trace live = std::move(*t.value);
    expect_room_response(live.points);

    // Accumulate mode: accumulated points, octave confidences and a capture
    // of the accumulators.
    rig.an->send(Cmd{Cmd::SetAccumulate{true}});
    rig.run(40ms);  // the command, then a pass that publishes it
    analyzer::Snapshot s = rig.snap();
    EXPECT_TRUE(s.accumulate);
    EXPECT_TRUE(s.status.starts_with("Accumulating 0:00, conf ")) << s.status;
    rig.run(5s);
    s = rig.snap();
    EXPECT_TRUE(s.status.starts_with("Accumulating 0:05, conf ")) << s.status;
    EXPECT_TRUE(s.status.ends_with(", drift +0.00 ms")) << s.status;
    ASSERT_EQ(s.accumulated.size(), tf::GRID_POINTS);
    EXPECT_GT(s.accumulated[150].conf, 0.5f);
    EXPECT_GT(s.octave_conf[5], 0.5f);

    auto [tx2, rx2] = base::channel<trace::Trace>();
    rig.an->send(Cmd{Cmd::Capture{std::move(tx2), "Accumulated"}});
    rig.run(40ms);  // the command, then a pass that publishes it
    auto t2 = rx2.try_recv();
    ASSERT_TRUE(t2);
    EXPECT_EQ(t2.value->gate, 0.01f);
    EXPECT_EQ(t2.value->layers.size(), 4u);
    for (std::size_t i = 60; i < 200; i += 20)
        EXPECT_NEAR(t2.value->points[i].db, live.points[i].db, 0.5f) << i;

    rig.an->send(Cmd{Cmd::ClearAccumulated{}});
    rig.run(40ms);  // the command, then a pass that publishes it
    EXPECT_TRUE(rig.snap().status.starts_with("Accumulating 0:00")) << rig.snap().status;

    // Stop ends the thread; the handle stays valid and drops what it is sent.
    rig.an->send(Cmd{Cmd::Stop{}});
    rig.run(100ms);
    s = rig.snap();
    EXPECT_EQ(s.status, "Stopped");
    EXPECT_FALSE(s.warn);
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.lost);
    auto [tx3, rx3] = base::channel<trace::Trace>();
    rig.an->send(Cmd{Cmd::Capture{std::move(tx3), "Too late"}});
    EXPECT_FALSE(rx3.recv().has_value());  // closed without a value
}

TEST(AnalyzerRunSingle, SweepAndChirpReportTheSecondHarmonic) {
    Rig rig;
    host::Room room = analyzer_rig::standard_room(48000.0, true);
    // x + h2 x^2 on a sweep of amplitude 0.5: a second harmonic at -30 dB.
    const float a = generator::gain_of(-6.0206f);
    room.h2 = 2.0f * std::pow(10.0f, -30.0f / 20.0f) / a;
    // The loudspeaker's top end rolls off what lies above the sweep.
    room.filters.push_back(host::Biquad::lowpass(48000.0, 12000.0, 0.70710678));
    room.filters.push_back(host::Biquad::lowpass(48000.0, 12000.0, 0.70710678));
    rig.host->connect("out", "in", room);
    analyzer::Params p = Rig::params(false);
    p.delay_ms = 10.0f;
    rig.start(p);
    rig.run(1s);
    EXPECT_EQ(rig.snap().fft_size, 32768u);

    const generator::GenParams sweep{.sine_hz = 1000.0f, .sweep_secs = 1.0f, .gen_db = -6.0206f,
                                     .signal = generator::Signal::Sweep};
    rig.an->send(Cmd{Cmd::SetGenerator{sweep}});
    rig.run(6s);
    analyzer::Snapshot s = rig.snap();
    EXPECT_EQ(s.fft_size, 48000u);
    EXPECT_EQ(s.delay, 480u);
    ASSERT_EQ(s.harmonics.size(), 4u);
    EXPECT_EQ(s.harmonics[0].first, 2);
    EXPECT_NEAR(s.harmonics[0].second, -30.0f, 1.5f);
    EXPECT_LT(s.harmonics[1].second, -50.0f);
    EXPECT_TRUE(s.status.starts_with("Live, coh")) << s.status;

    // The same sweep again rebuilds nothing: the averages go on.
    const std::uint64_t before = s.averages;
    rig.an->send(Cmd{Cmd::SetGenerator{sweep}});
    rig.run(2s);
    EXPECT_GT(rig.snap().averages, before);

    generator::GenParams chirp = sweep;
    chirp.signal = generator::Signal::Chirp;
    rig.an->send(Cmd{Cmd::SetGenerator{chirp}});
    rig.run(40ms);  // the command, then a pass that publishes it
    EXPECT_EQ(rig.snap().fft_size, 24000u);
    EXPECT_EQ(rig.snap().averages, 0u);
    rig.run(3s);
    s = rig.snap();
    ASSERT_EQ(s.harmonics.size(), 4u);
    EXPECT_NEAR(s.harmonics[0].second, -30.0f, 1.5f);

    // Back to noise: four layers again, no harmonics.
    generator::GenParams pink = sweep;
    pink.signal = generator::Signal::Pink;
    rig.an->send(Cmd{Cmd::SetGenerator{pink}});
    rig.run(1s);
    s = rig.snap();
    EXPECT_EQ(s.fft_size, 32768u);
    EXPECT_TRUE(s.harmonics.empty());
}

TEST(AnalyzerRunSingle, ClockSkewIsReportedAsDrift) {
    base::log::Capture logs;
    Rig rig(48000, 20.0);
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, false));
    rig.start(Rig::params(true));
    rig.an->send(Cmd{Cmd::FindDelay{}});
    rig.run(3s);
    ASSERT_TRUE(rig.snap().found.has_value());
    rig.an->send(Cmd{Cmd::SetDelay{*rig.snap().found}});
    rig.run(50s);
    const analyzer::Snapshot s = rig.snap();
    EXPECT_TRUE(s.warn);
    EXPECT_TRUE(s.status.starts_with("Clocks drift +")) << s.status;
    EXPECT_TRUE(s.status.ends_with(" ppm: input and output are not on one clock")) << s.status;
    const auto est = logs.with_message("drift estimate");
    ASSERT_GE(est.size(), 15u);
    EXPECT_NEAR(std::stod(est.back().field("clock_ppm")), 20.0, 2.0);
    EXPECT_TRUE(est.back().field("action").starts_with("Drift { median: ")) << est.back().field("action");
    EXPECT_TRUE(logs.with_message("lock followed a buffer jump").empty());
}

TEST(AnalyzerRunSingle, ASuddenJumpIsFollowed) {
    base::log::Capture logs;
    Rig rig;
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, true));
    analyzer::Params p = Rig::params(false);
    p.delay_ms = 10.0f;
    rig.start(p);
    rig.run(9s);  // drift steps every 2 s once the window is full: the baseline, then drift
    ASSERT_FALSE(logs.with_message("drift estimate").empty());
    EXPECT_EQ(logs.with_message("drift estimate").back().field("action"), "Drift { median: 0, drift: 0 }");

    host::Room moved = analyzer_rig::standard_room(48000.0, true);
    moved.delay = 680;
    rig.host->connect("out", "in", moved);
    bool followed = false;
    for (int i = 0; i < 12 && !followed; ++i) {
        rig.run(1s);
        followed = rig.snap().delay == 680;
    }
    ASSERT_TRUE(followed);
    analyzer::Snapshot s = rig.snap();
    EXPECT_EQ(s.status, "Lock moved +4.2 ms, followed");
    EXPECT_FALSE(s.warn);
    const auto follow = logs.with_message("lock followed a buffer jump");
    ASSERT_EQ(follow.size(), 1u);
    EXPECT_EQ(follow[0].field("step"), "200");
    EXPECT_EQ(follow[0].field("delay"), "680");
    bool pending = false;
    for (const auto& r : logs.with_message("drift estimate")) pending = pending || r.field("action") == "Pending";
    EXPECT_TRUE(pending);
    // The message stays 10 s; the measurement goes on at the new delay.
    rig.run(11s);
    s = rig.snap();
    expect_live(s.status);
    EXPECT_EQ(s.delay, 680u);
    expect_room_response(s.points);
}

TEST(AnalyzerRunSingle, LostDevices) {
    struct Case {
        const char* remove;
        bool internal;
        const char* status;  // nullptr: the run goes on
    };
    const Case cases[] = {
        {"in", true, "Input device lost"},
        {"in", false, "Input device lost"},
        {"out", true, "Output device lost"},
        {"out", false, nullptr},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, !c.internal));
        rig.start(Rig::params(c.internal));
        rig.run(200ms);
        rig.host->remove_device(c.remove);
        rig.run(200ms);
        const analyzer::Snapshot s = rig.snap();
        if (c.status == nullptr) {
            EXPECT_TRUE(s.running) << c.remove;
            EXPECT_FALSE(s.lost);
        } else {
            EXPECT_EQ(s.status, c.status);
            EXPECT_TRUE(s.lost);
            EXPECT_TRUE(s.warn);
            EXPECT_FALSE(s.running);
        }
        // Dropping the handle of an ended thread returns at once and leaves
        // the last status.
        auto shared = rig.an->snapshot();
        rig.clock->release();
        rig.an.reset();
        std::lock_guard lk(shared->mu);
        if (c.status != nullptr) EXPECT_EQ(shared->value.status, c.status);
        else EXPECT_EQ(shared->value.status, "Stopped");
    }
}

TEST(AnalyzerRunSingle, StartFailuresAndRateMessage) {
    struct Case {
        const char* what;
        std::function<void(Rig&, analyzer::Params&)> setup;
        const char* status;
        bool running;
    };
    const std::vector<Case> cases = {
        {"no output for the generated reference",
         [](Rig&, analyzer::Params& p) { p.out_device.clear(); },
         "Cannot open output: pick an output device for the generator", false},
        {"unknown input", [](Rig&, analyzer::Params& p) { p.device = "software:nothing"; },
         "Cannot open input: audio device not found", false},
        {"unknown output", [](Rig&, analyzer::Params& p) { p.out_device = "software:nothing"; },
         "Cannot open output: audio device not found", false},
        {"output channel", [](Rig&, analyzer::Params& p) { p.out_channel = 5; },
         "Cannot open output: output has 2 channels, channel 6 not available", false},
        {"output at 44100 Hz",
         [](Rig& r, analyzer::Params&) {
             host::SoftDevice out{.id = "out", .name = "Out", .input_channels = 0, .output_channels = 2};
             out.output_ranges = std::vector<host::SupportedRange>{
                 host::SupportedRange{.min_rate = 44100, .max_rate = 44100, .channels = 2}};
             r.host->add_device(out);
         },
         "Output runs at 44100 Hz, input at 48000 Hz", true},
    };
    for (const Case& c : cases) {
        Rig rig;
        analyzer::Params p = Rig::params(true);
        c.setup(rig, p);
        rig.start(p);
        rig.run(2s);
        const analyzer::Snapshot s = rig.snap();
        EXPECT_EQ(s.status, c.status) << c.what;
        EXPECT_TRUE(s.warn) << c.what;
        EXPECT_EQ(s.running, c.running) << c.what;
    }
    // The same rates with the reference on an input channel: no message.
    Rig rig;
    host::SoftDevice out{.id = "out", .name = "Out", .input_channels = 0, .output_channels = 2};
    out.output_ranges =
        std::vector<host::SupportedRange>{host::SupportedRange{.min_rate = 44100, .max_rate = 44100, .channels = 2}};
    rig.host->add_device(out);
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, true));
    rig.start(Rig::params(false));
    rig.run(2s);
    EXPECT_NE(rig.snap().status, "Output runs at 44100 Hz, input at 48000 Hz");
    EXPECT_TRUE(rig.snap().running);
}

TEST(AnalyzerRunSingle, DroppingTheHandleStopsAndJoins) {
    Rig rig;
    rig.host->connect("out", "in", analyzer_rig::standard_room(48000.0, true));
    rig.start(Rig::params(false));
    rig.run(500ms);
    auto shared = rig.an->snapshot();
    EXPECT_TRUE(rig.snap().running);
    rig.clock->release();
    rig.an.reset();  // sends Stop and joins
    std::lock_guard lk(shared->mu);
    EXPECT_EQ(shared->value.status, "Stopped");
    EXPECT_FALSE(shared->value.running);
    EXPECT_EQ(rig.host->stream_count(), 0u);
}
