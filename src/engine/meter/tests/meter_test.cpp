#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numbers>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "audio-watcher/software_host.h"
#include "base/log.h"
#include "engine/audio/capture.h"
#include "engine/meter/meter.h"

namespace {

using audio_watcher::host::Room;
using audio_watcher::host::SoftDevice;
using audio_watcher::host::SoftwareHost;
using audio_watcher::host::StreamConfig;
using engine::meter::Cmd;
using engine::meter::MeterSnapshot;
using engine::meter::SharedSnapshot;
using engine::meter::Dsp;
using engine::meter::Params;
using engine::meter::Response;
using engine::tf::Weighting;

constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------- weightings

// Weightings at the 1/3-octave frequencies (base-ten exact values) against the
// standard's nominal table, with the class 1 acceptance limits.
TEST(Weighting, AgreesWithTheClassOneTable) {
    struct Row {
        float nominal;
        float a, c;
        float plus, minus;  // limits; minus = inf for "no lower limit"
    };
    constexpr float INF = std::numeric_limits<float>::infinity();
    const Row rows[] = {
        {10, -70.4f, -14.3f, 3.5f, INF},   {12.5f, -63.4f, -11.2f, 3.0f, INF}, {16, -56.7f, -8.5f, 2.5f, 4.5f},
        {20, -50.5f, -6.2f, 2.5f, 2.5f},   {25, -44.7f, -4.4f, 2.5f, 2.0f},    {31.5f, -39.4f, -3.0f, 2.0f, 2.0f},
        {40, -34.6f, -2.0f, 1.5f, 1.5f},   {50, -30.2f, -1.3f, 1.5f, 1.5f},    {63, -26.2f, -0.8f, 1.5f, 1.5f},
        {80, -22.5f, -0.5f, 1.5f, 1.5f},   {100, -19.1f, -0.3f, 1.5f, 1.5f},   {125, -16.1f, -0.2f, 1.5f, 1.5f},
        {160, -13.4f, -0.1f, 1.5f, 1.5f},  {200, -10.9f, 0.0f, 1.4f, 1.4f},    {250, -8.6f, 0.0f, 1.4f, 1.4f},
        {315, -6.6f, 0.0f, 1.4f, 1.4f},    {400, -4.8f, 0.0f, 1.4f, 1.4f},     {500, -3.2f, 0.0f, 1.4f, 1.4f},
        {630, -1.9f, 0.0f, 1.4f, 1.4f},    {800, -0.8f, 0.0f, 1.4f, 1.4f},     {1000, 0.0f, 0.0f, 1.1f, 1.1f},
        {1250, 0.6f, 0.0f, 1.4f, 1.4f},    {1600, 1.0f, -0.1f, 1.6f, 1.6f},    {2000, 1.2f, -0.2f, 1.6f, 1.6f},
        {2500, 1.3f, -0.3f, 1.6f, 1.6f},   {3150, 1.2f, -0.5f, 1.6f, 1.6f},    {4000, 1.0f, -0.8f, 1.6f, 1.6f},
        {5000, 0.5f, -1.3f, 2.1f, 2.1f},   {6300, -0.1f, -2.0f, 2.1f, 2.6f},   {8000, -1.1f, -3.0f, 2.1f, 3.1f},
        {10000, -2.5f, -4.4f, 2.6f, 3.6f}, {12500, -4.3f, -6.2f, 3.0f, 6.0f},  {16000, -6.6f, -8.5f, 3.5f, 17.0f},
        {20000, -9.3f, -11.2f, 4.0f, INF},
    };
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        const Row& r = rows[k];
        const float f = 1000.0f * std::pow(10.0f, (static_cast<float>(k) - 20.0f) / 10.0f);
        ASSERT_NEAR(f, r.nominal, r.nominal * 0.03f);
        for (auto [w, want] : {std::pair{Weighting::A, r.a}, std::pair{Weighting::C, r.c}}) {
            const float got = engine::tf::weighting_db(w, f);
            SCOPED_TRACE(testing::Message() << r.nominal << " Hz, weighting " << static_cast<int>(w));
            EXPECT_LE(got - want, r.plus);
            EXPECT_GE(got - want, -r.minus);
            // The design curve reproduces the table to its rounding.
            EXPECT_NEAR(got, want, 0.1f);
        }
        EXPECT_EQ(engine::tf::weighting_db(Weighting::Z, f), 0.0f);
    }
}

// ---------------------------------------------------------------- signal path

std::vector<float> sine(float hz, float amplitude, float fs, std::size_t count, std::size_t start = 0) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(start + i) / fs;
        out[i] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * t));
    }
    return out;
}

TEST(MeterDsp, ClampsTheFftSizeAndHopsAQuarter) {
    struct Case {
        std::size_t requested, n, hop;
    };
    for (const Case& c : {Case{0, 1024, 256}, Case{512, 1024, 256}, Case{8192, 8192, 2048},
                          Case{100000, 65536, 16384}}) {
        Params p;
        p.fft_size = c.requested;
        Dsp dsp(p, 48000.0f);
        EXPECT_EQ(dsp.n(), c.n) << c.requested;
        EXPECT_EQ(dsp.hop(), c.hop) << c.requested;
    }
}

TEST(MeterDsp, FirstAnalysisAfterNSamplesThenEveryHop) {
    Params p;
    p.fft_size = 1024;
    Dsp dsp(p, 48000.0f);
    const std::vector<float> x = sine(1000.0f, 0.1f, 48000.0f, 4096);
    EXPECT_EQ(dsp.push(std::span(x).first(1023)), 0u);
    EXPECT_EQ(dsp.push(std::span(x).subspan(1023, 1)), 1u);
    EXPECT_EQ(dsp.push(std::span(x).subspan(1024, 255)), 0u);
    EXPECT_EQ(dsp.push(std::span(x).subspan(1279, 1024)), 4u);
    EXPECT_EQ(dsp.analyses(), 5u);
}

TEST(MeterDsp, CommandsSetTauDecayAndWindows) {
    Params p;
    p.peak_decay = 6.0f;
    Dsp dsp(p, 48000.0f);
    EXPECT_EQ(dsp.tau(), 0.125f);
    EXPECT_EQ(dsp.peak_decay(), 6.0f);
    dsp.apply(Cmd{Cmd::SetResponse{Response::Slow}});
    EXPECT_EQ(dsp.tau(), 1.0f);
    dsp.apply(Cmd{Cmd::SetResponse{Response::Medium}});
    EXPECT_EQ(dsp.tau(), 0.5f);
    for (float bad : {-3.0f, std::nanf("")}) {
        dsp.apply(Cmd{Cmd::SetPeakDecay{bad}});
        EXPECT_EQ(dsp.peak_decay(), 0.0f);
    }
    p.peak_decay = std::nanf("");
    EXPECT_EQ(Dsp(p, 48000.0f).peak_decay(), 0.0f);
}

TEST(MeterDsp, LeqHistoryKeepsAtMostAnHour) {
    // A low rate keeps an hour of audio cheap: 1024 samples a second, four
    // analyses a second.
    Params p;
    p.fft_size = 1024;
    p.leq_windows = {10, 5000};
    Dsp dsp(p, 1024.0f);
    const std::vector<float> second = sine(100.0f, 0.1f, 1024.0f, 1024);
    MeterSnapshot m = dsp.publish();
    EXPECT_EQ(m.leq_short_db, -120.0f);  // no energy yet
    EXPECT_EQ(m.leq_secs, 0u);
    for (int i = 0; i < 3605; ++i) dsp.push(second);
    m = dsp.publish();
    EXPECT_EQ(m.leq_secs, 3600u);
    EXPECT_TRUE(std::isfinite(m.max_leq_long_db));  // 3600 entries serve the longer window
    EXPECT_NEAR(m.leq_long_db, m.leq_short_db, 0.01f);
}

// ---------------------------------------------------------------- the meter on a software host

// A 1-channel generator device "gen" playing a sine into the microphone
// channel of "mic" through a plain room.
struct Rig {
    std::shared_ptr<SoftwareHost> host = std::make_shared<SoftwareHost>();
    audio_watcher::host::ScopedHost use{host};
    audio_watcher::host::StreamHandle out;
    std::atomic<float> amplitude{0.1f};
    std::atomic<float> hz{1000.0f};
    std::atomic<bool> burst{false};  // one block at 0.9995 full scale
    double phase = 0.0;

    Rig() {
        SoftDevice gen;
        gen.id = "gen";
        gen.name = "Generator";
        gen.output_channels = 1;
        host->add_device(gen);
        SoftDevice mic;
        mic.id = "mic";
        mic.name = "Measurement Mic";
        mic.input_channels = 2;
        host->add_device(mic);
        Room room;
        host->connect("gen", "mic", room);
        auto dev = engine::capture::find_device("Software", "software:gen", false);
        EXPECT_TRUE(dev.has_value());
        auto stream = (*dev)->build_output_stream(
            StreamConfig{std::nullopt, 1, audio_watcher::host::SampleFormat::F32, 48000},
            [this](void* data, std::size_t n) {
                auto* p = static_cast<float*>(data);
                const float a = burst.exchange(false) ? 0.9995f : amplitude.load();
                const double step = 2.0 * std::numbers::pi * hz.load() / 48000.0;
                for (std::size_t i = 0; i < n; ++i) {
                    p[i] = a * static_cast<float>(std::sin(phase));
                    phase = std::fmod(phase + step, 2.0 * std::numbers::pi);
                }
            },
            [](const audio_watcher::host::AudioError&) {});
        EXPECT_TRUE(stream.has_value());
        out = std::move(*stream);
        EXPECT_TRUE(out->play().has_value());
    }
    ~Rig() { out.reset(); }
};

// Simulated time: each sleep moves the host's clock on by as much audio.
class SimClock final : public engine::meter::Clock {
public:
    explicit SimClock(std::shared_ptr<SoftwareHost> host) : host_(std::move(host)) {}
    std::function<void(double secs)> after_sleep;

    std::chrono::nanoseconds now() override { return t_; }
    void sleep(std::chrono::nanoseconds d) override {
        t_ += d;
        const auto frames = static_cast<std::uint64_t>(d.count() * 48000 / 1'000'000'000);
        host_->advance(frames);
        if (after_sleep) after_sleep(std::chrono::duration<double>(t_).count());
    }

private:
    std::shared_ptr<SoftwareHost> host_;
    std::chrono::nanoseconds t_{0};
};

Params mic_params(std::size_t fft_size = 8192) {
    Params p;
    p.host = "Software";
    p.device = "software:mic";
    p.mic_channel = 0;
    p.fft_size = fft_size;
    p.sample_rate = 48000;
    p.leq_windows = {2, 5};
    p.peak_decay = 0.0f;
    p.response = Response::Fast;
    return p;
}

struct Seen {
    double t;
    MeterSnapshot s;
};

// Runs the worker on this thread until `until` seconds of simulated audio
// (then Stop) or until it ends by itself. `each` sees the snapshot after every
// sleep and may send commands.
struct Session {
    std::shared_ptr<SharedSnapshot> snap = std::make_shared<SharedSnapshot>();
    std::vector<Seen> seen;

    void run(Rig& rig, Params p, double until,
             std::function<void(double, const MeterSnapshot&, const base::Sender<Cmd>&)> each = {}) {
        auto [tx, rx] = base::channel<Cmd>();
        snap->value.status = "Opening input";
        snap->value.running = true;
        auto clock = std::make_shared<SimClock>(rig.host);
        clock->after_sleep = [&, tx = tx](double t) {
            MeterSnapshot s;
            {
                std::lock_guard lk(snap->mu);
                s = snap->value;
            }
            if (each) each(t, s, tx);
            seen.push_back({t, std::move(s)});
            if (t >= until - 1e-9) tx.send(Cmd{Cmd::Stop{}});
        };
        engine::meter::run(std::move(p), std::move(rx), snap, clock);
        clock->after_sleep = nullptr;
    }
    MeterSnapshot last() {
        std::lock_guard lk(snap->mu);
        return snap->value;
    }
    // The first snapshot seen at or after t.
    const MeterSnapshot& at(double t) const {
        for (const Seen& x : seen) {
            if (x.t >= t - 1e-9) return x.s;
        }
        return seen.back().s;
    }
};

float peak_db(const std::vector<engine::tf::Point>& pts) {
    float m = NEG_INF;
    for (const auto& p : pts) m = std::fmax(m, p.db);
    return m;
}

TEST(Meter, SineLevelsFollowTheWeightings) {
    struct Case {
        float hz;
        std::size_t fft_size;
        float a_below_z;  // expected Z - A
    };
    for (const Case& c : {Case{1000.0f, 8192, -engine::tf::a_weighting_db(1000.0f)}, Case{100.0f, 32768, 19.1f}}) {
        SCOPED_TRACE(c.hz);
        Rig rig;
        rig.hz = c.hz;
        rig.amplitude = 0.1f;  // RMS 0.0707: -23.01 dBFS
        Session s;
        s.run(rig, mic_params(c.fft_size), 3.0);
        const MeterSnapshot m = s.last();
        const float want_z = 20.0f * std::log10(0.1f / std::sqrt(2.0f));
        EXPECT_EQ(m.status, "Stopped");
        EXPECT_EQ(m.sample_rate, 48000u);
        EXPECT_FLOAT_EQ(m.hop_secs, static_cast<float>(c.fft_size / 4) / 48000.0f);
        EXPECT_NEAR(m.z_db, want_z, 0.05f);
        EXPECT_NEAR(m.rms_dbfs, want_z, 0.05f);
        EXPECT_NEAR(m.z_db - m.a_db, c.a_below_z, 0.2f);
        EXPECT_NEAR(m.c_db, want_z + engine::tf::c_weighting_db(c.hz), 0.1f);
        ASSERT_EQ(m.rta.size(), 240u);
        ASSERT_EQ(m.rta_peak.size(), 240u);
        EXPECT_EQ(m.rta[0].hz, engine::tf::point_freq()[0]);
        EXPECT_EQ(m.rta[10].deg, 0.0f);
        EXPECT_EQ(m.rta[10].conf, 1.0f);
    }
}

TEST(Meter, CalibrationIsSubtractedFromEveryLevel) {
    Rig rig;
    Params p = mic_params();
    p.mic_cal.assign(240, 6.0f);
    Session plain, cal;
    plain.run(rig, mic_params(), 2.0);
    cal.run(rig, p, 2.0);
    EXPECT_NEAR(cal.last().z_db, plain.last().z_db - 6.0f, 0.01f);
    EXPECT_NEAR(cal.last().leq_short_db, plain.last().leq_short_db - 6.0f, 0.01f);
    EXPECT_NEAR(peak_db(cal.last().rta), peak_db(plain.last().rta) - 6.0f, 0.01f);
}

TEST(Meter, MaximaWaitForOneSecondAndLeqMaximaForTheirWindows) {
    Rig rig;
    Session s;
    Params p = mic_params();
    p.leq_windows = {2, 60};
    s.run(rig, p, 62.0);  // a minute of simulated audio, hop 2048
    bool published = false;
    for (const Seen& x : s.seen) {
        const MeterSnapshot& m = x.s;
        if (m.frames == 0) {
            EXPECT_EQ(m.max_z_db, 0.0f);  // nothing published yet
            EXPECT_EQ(m.max_leq_long_db, 0.0f);
            continue;
        }
        published = true;
        const bool second = static_cast<double>(m.frames) * 2048.0 / 48000.0 >= 1.0;
        EXPECT_EQ(std::isfinite(m.max_z_db), second) << x.t;
        EXPECT_EQ(std::isfinite(m.max_a_db), second) << x.t;
        EXPECT_EQ(std::isfinite(m.max_c_db), second) << x.t;
        EXPECT_EQ(std::isfinite(m.max_leq_short_db), m.leq_secs >= 2) << x.t;
        EXPECT_EQ(std::isfinite(m.max_leq_long_db), m.leq_secs >= 60) << x.t;
        EXPECT_LE(m.leq_secs, 60u);
    }
    EXPECT_TRUE(published);
    const MeterSnapshot m = s.last();
    EXPECT_EQ(m.leq_secs, 60u);
    EXPECT_NEAR(m.leq_short_db, m.a_db, 0.05f);
    EXPECT_NEAR(m.leq_long_db, m.a_db, 0.05f);
    EXPECT_NEAR(m.max_leq_long_db, m.a_db, 0.05f);
    EXPECT_NEAR(m.max_z_db, m.z_db, 0.05f);
}

TEST(Meter, ResetClearsMaximaLeqAndPeaksButNotTheRta) {
    Rig rig;
    rig.amplitude = 0.2f;
    Session s;
    MeterSnapshot before;
    s.run(rig, mic_params(), 12.0, [&](double t, const MeterSnapshot& m, const base::Sender<Cmd>& tx) {
        if (t == 3.0) rig.amplitude = 0.1f;  // 6 dB down
        if (std::abs(t - 9.0) < 1e-9) {
            before = m;
            tx.send(Cmd{Cmd::Reset{}});
        }
    });
    // The first publication after the reset (the snapshot seen at 9.01 s is the
    // last one before it).
    const std::uint64_t frames_before = s.at(9.01).frames;
    MeterSnapshot after;
    for (const Seen& x : s.seen) {
        if (x.t > 9.0 && x.s.frames > frames_before) {
            after = x.s;
            break;
        }
    }
    EXPECT_NEAR(before.max_z_db - before.z_db, 6.02f, 0.15f);
    EXPECT_NEAR(peak_db(before.rta_peak) - peak_db(before.rta), 6.02f, 0.15f);
    EXPECT_EQ(after.max_z_db, after.z_db);  // the elapsed second still counts
    EXPECT_EQ(after.leq_secs, 0u);
    EXPECT_EQ(after.max_leq_short_db, NEG_INF);
    EXPECT_EQ(after.max_leq_long_db, NEG_INF);
    EXPECT_EQ(peak_db(after.rta_peak), peak_db(after.rta));
    EXPECT_NEAR(peak_db(after.rta), peak_db(before.rta), 0.1f);  // not reset
    EXPECT_GT(after.frames, before.frames);
    const MeterSnapshot& later = s.at(11.5);
    EXPECT_EQ(later.leq_secs, 2u);
    EXPECT_TRUE(std::isfinite(later.max_leq_short_db));
    EXPECT_EQ(later.max_leq_long_db, NEG_INF);
}

TEST(Meter, SetResponseChangesHowFastTheRtaFollows) {
    struct Case {
        Response initial, commanded;
        float risen_db;  // after a 6.02 dB step, 0.5 s later
    };
    const auto rise = [](float tau) {
        return 10.0f * std::log10(1.0f + 3.0f * (1.0f - std::exp(-0.5f / tau)));
    };
    for (const Case& c : {Case{Response::Slow, Response::Fast, rise(0.125f)},
                          Case{Response::Fast, Response::Medium, rise(0.5f)},
                          Case{Response::Fast, Response::Slow, rise(1.0f)}}) {
        SCOPED_TRACE(static_cast<int>(c.commanded));
        Rig rig;
        Params p = mic_params(1024);
        p.response = c.initial;
        float base = 0.0f;
        Session s;
        s.run(rig, p, 3.0, [&](double t, const MeterSnapshot& m, const base::Sender<Cmd>& tx) {
            if (t < 0.011) tx.send(Cmd{Cmd::SetResponse{c.commanded}});
            if (std::abs(t - 2.5) < 1e-9) {
                base = peak_db(m.rta);
                rig.amplitude = 0.2f;
            }
        });
        EXPECT_NEAR(peak_db(s.at(3.0).rta) - base, c.risen_db, 0.4f);
    }
}

TEST(Meter, SetLeqWindowsReplacesBothWindows) {
    Rig rig;
    Params p = mic_params();
    p.leq_windows = {60, 900};
    Session s;
    s.run(rig, p, 6.5, [&](double t, const MeterSnapshot&, const base::Sender<Cmd>& tx) {
        if (std::abs(t - 5.5) < 1e-9) tx.send(Cmd{Cmd::SetLeqWindows{2, 4}});
    });
    const MeterSnapshot& before = s.at(5.5);
    EXPECT_EQ(before.leq_secs, 5u);
    EXPECT_EQ(before.max_leq_short_db, NEG_INF);
    const MeterSnapshot after = s.last();
    EXPECT_EQ(after.leq_secs, 4u);
    EXPECT_TRUE(std::isfinite(after.max_leq_short_db));
    EXPECT_TRUE(std::isfinite(after.max_leq_long_db));
}

TEST(Meter, SetPeakDecayHoldsOrLetsThePeakFall) {
    struct Case {
        float initial, commanded, gap_db;  // peak above the RTA 3 s after a 6 dB drop
    };
    for (const Case& c : {Case{10.0f, -3.0f, 6.02f}, Case{0.0f, std::nanf(""), 6.02f}, Case{0.0f, 10.0f, 0.0f}}) {
        SCOPED_TRACE(c.commanded);
        Rig rig;
        rig.amplitude = 0.2f;
        Params p = mic_params(1024);
        p.peak_decay = c.initial;
        Session s;
        s.run(rig, p, 5.0, [&](double t, const MeterSnapshot&, const base::Sender<Cmd>& tx) {
            if (t < 0.011) tx.send(Cmd{Cmd::SetPeakDecay{c.commanded}});
            if (std::abs(t - 2.0) < 1e-9) rig.amplitude = 0.1f;
        });
        const MeterSnapshot m = s.last();
        EXPECT_NEAR(peak_db(m.rta_peak) - peak_db(m.rta), c.gap_db, 0.1f);
    }
}

TEST(Meter, NearFullScalePeakShowsClippingForTwoSeconds) {
    Rig rig;
    Session s;
    s.run(rig, mic_params(), 5.0, [&](double t, const MeterSnapshot&, const base::Sender<Cmd>&) {
        if (std::abs(t - 1.0) < 1e-9) rig.burst = true;
    });
    std::vector<double> clipped;
    for (std::size_t i = 1; i < s.seen.size(); ++i) {
        const MeterSnapshot& m = s.seen[i].s;
        EXPECT_EQ(m.warn, m.clipping);
        EXPECT_EQ(m.status, m.clipping ? "Microphone clipping" : "Metering");
        EXPECT_TRUE(m.running);
        if (m.clipping) clipped.push_back(s.seen[i].t);
    }
    ASSERT_FALSE(clipped.empty());
    // One run of consecutive cycles from the clip until 2 s after it.
    for (std::size_t i = 1; i < clipped.size(); ++i) EXPECT_NEAR(clipped[i] - clipped[i - 1], 0.01, 1e-6);
    EXPECT_GE(clipped.back() - clipped.front(), 1.98);
    EXPECT_LE(clipped.back() - clipped.front(), 2.03);
    EXPECT_GE(clipped.front(), 1.0);
}

TEST(Meter, LostInputEndsTheWorker) {
    Rig rig;
    Session s;
    s.run(rig, mic_params(), 60.0, [&](double t, const MeterSnapshot&, const base::Sender<Cmd>&) {
        if (std::abs(t - 1.0) < 1e-9) rig.host->remove_device("mic");
    });
    const MeterSnapshot m = s.last();
    EXPECT_LT(s.seen.back().t, 1.1);
    EXPECT_EQ(m.status, "Input device lost");
    EXPECT_TRUE(m.warn);
    EXPECT_FALSE(m.running);
    EXPECT_TRUE(m.ended);
}

TEST(Meter, InputThatCannotBeOpenedIsReported) {
    Rig rig;
    base::log::Capture logs;
    Params p = mic_params();
    p.device = "software:nothing";
    Session s;
    s.run(rig, p, 1.0);
    const MeterSnapshot m = s.last();
    EXPECT_TRUE(s.seen.empty());
    EXPECT_EQ(m.status, "Cannot open input: audio device not found");
    EXPECT_TRUE(m.warn);
    EXPECT_FALSE(m.running);
    EXPECT_FALSE(m.ended);
    ASSERT_EQ(logs.with_message("meter input open failed: audio device not found").size(), 1u);
    EXPECT_EQ(logs.with_message("meter input open failed: audio device not found")[0].level,
              base::log::Level::Error);
}

TEST(Meter, StopOrAClosedChannelReadsStopped) {
    Rig rig;
    base::log::Capture logs;
    Session s;
    s.run(rig, mic_params(), 0.5);
    const MeterSnapshot m = s.last();
    EXPECT_EQ(m.status, "Stopped");
    EXPECT_FALSE(m.warn);
    EXPECT_FALSE(m.running);
    EXPECT_FALSE(m.ended);
    const auto started = logs.with_message("meter started");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].field("fs"), "48000.0");
    EXPECT_EQ(started[0].field("n"), "8192");
    EXPECT_EQ(started[0].field("hop"), "2048");

    // All senders gone.
    auto snap = std::make_shared<SharedSnapshot>();
    snap->value.running = true;
    auto clock = std::make_shared<SimClock>(rig.host);
    {
        auto [tx, rx] = base::channel<Cmd>();
        clock->after_sleep = [tx = std::move(tx)](double) mutable { tx = base::Sender<Cmd>(); };
        engine::meter::run(mic_params(), std::move(rx), snap, clock);
    }
    EXPECT_EQ(snap->value.status, "Stopped");
    EXPECT_FALSE(snap->value.running);
}

// A clock that fails on its third sleep, the way a fault inside the worker would.
class FailingClock final : public engine::meter::Clock {
public:
    explicit FailingClock(std::shared_ptr<SoftwareHost> host) : host_(std::move(host)) {}
    std::chrono::nanoseconds now() override { return t_; }
    void sleep(std::chrono::nanoseconds d) override {
        if (++sleeps_ == 3) throw std::runtime_error("clock broke");
        t_ += d;
        host_->advance(480);
    }

private:
    std::shared_ptr<SoftwareHost> host_;
    std::chrono::nanoseconds t_{0};
    int sleeps_ = 0;
};

TEST(Meter, ExceptionEscapingTheWorkerEndsWithMeterStopped) {
    Rig rig;
    base::log::Capture logs;
    auto meter = engine::meter::Meter::start(mic_params(), std::make_shared<FailingClock>(rig.host));
    MeterSnapshot m = meter.snapshot();
    while (!m.ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m = meter.snapshot();
    }
    EXPECT_EQ(m.status, "Meter stopped");
    EXPECT_TRUE(m.warn);
    EXPECT_FALSE(m.running);
    // The thread logs what escaped it before ending.
    while (logs.with_message("meter thread failed: clock broke").empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(Meter, HandleStartsOpeningAndDropJoinsTheWorker) {
    Rig rig;
    auto clock = std::make_shared<SimClock>(rig.host);
    std::atomic<int> cycles{0};
    clock->after_sleep = [&](double) { ++cycles; };
    {
        auto meter = engine::meter::Meter::start(mic_params(), clock);
        const MeterSnapshot first = meter.snapshot();
        EXPECT_TRUE(first.running);
        EXPECT_TRUE(first.status == "Opening input" || first.status == "Metering") << first.status;
        while (cycles.load() < 50) std::this_thread::yield();
        EXPECT_TRUE(meter.send(Cmd{Cmd::Reset{}}));
    }
    // Joined: the worker has released its input stream; only the generator's is left.
    EXPECT_EQ(rig.host->stream_count(), 1u);
}

}  // namespace
