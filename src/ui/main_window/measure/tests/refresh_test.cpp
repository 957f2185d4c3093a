// The refresh loop's passes with scripted analyzer and meter snapshots on a
// virtual clock.
#include <cmath>
#include <numbers>

#include "engine/core/tf.h"
#include "ui/main_window/measure/refresh.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using engine::analyzer::Snapshot;
using engine::meter::MeterSnapshot;

class RefreshLoop : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        workers.analyzer = [this] { return analyzer; };
        workers.send = [this](engine::analyzer::Cmd c) { commands.push_back(std::move(c)); };
        workers.drop_analyzer = [this] { analyzer.reset(); };
        workers.meter = [this] { return meter; };
        workers.drop_meter = [this] { meter.reset(); };
        workers.start_meter = [this] {
            ++meter_starts;
            meter = MeterSnapshot{.status = "Opening input", .running = true};
        };
        refresh.emplace(s(), workers, [this](std::vector<PlotUpdate> b) -> base::Result<void> {
            sent.push_back({passes, std::move(b)});
            return {};
        });
    }
    // One pass, 33 ms after the last.
    void pass() {
        ++passes;
        now += std::chrono::milliseconds(33);
        refresh->pass(now);
    }
    std::vector<std::uint32_t> sent_passes() const {
        std::vector<std::uint32_t> out;
        for (const auto& [n, b] : sent) out.push_back(n);
        return out;
    }
    static Snapshot live(float db, std::optional<std::size_t> found = std::nullopt) {
        Snapshot x;
        x.running = true;
        x.sample_rate = 48000;
        x.status = "Running";
        x.found = found;
        for (std::size_t i = 0; i < 240; ++i) x.points.push_back({engine::tf::point_freq()[i], db, 0.0f, 1.0f});
        return x;
    }

    Workers workers;
    std::optional<Snapshot> analyzer;
    std::optional<MeterSnapshot> meter;
    std::vector<engine::analyzer::Cmd> commands;
    int meter_starts = 0;
    std::optional<Refresh> refresh;
    std::vector<std::pair<std::uint32_t, std::vector<PlotUpdate>>> sent;
    std::uint32_t passes = 0;
    reactive::Instant now{};
};

TEST_F(RefreshLoop, StaticPlotIsResentEveryTenthPass) {
    for (int i = 0; i < 31; ++i) pass();
    EXPECT_EQ(sent_passes(), (std::vector<std::uint32_t>{1, 10, 20, 30}));
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].second.back(), (PlotUpdate{"tf-plot", ui::tf_plot::ATTR_IR_MS, "40"}));
}

TEST_F(RefreshLoop, ChangedBatchIsSentAtOnce) {
    analyzer = live(-6.0f);
    for (int i = 0; i < 4; ++i) pass();
    analyzer->points[100].db = 6.0f;  // the curve changes its shape
    pass();
    pass();
    s().settings.set(&Settings::show_phase, false);  // a show switch changes the hash alone
    pass();
    EXPECT_EQ(sent_passes(), (std::vector<std::uint32_t>{1, 5, 7}));
    EXPECT_EQ(s().snapshot.peek().status, "Running");
}

TEST_F(RefreshLoop, BatchCarriesWhatChangedAndTheTenthPassRestatesAll) {
    analyzer = live(-6.0f);
    pass();
    ASSERT_EQ(sent.size(), 1u);
    const auto full = sent[0].second;
    analyzer->points[100].db = 6.0f;
    pass();
    ASSERT_EQ(sent.size(), 2u);
    const auto& changed = sent[1].second;
    const auto has = [&](const std::vector<PlotUpdate>& b, const std::string& id) {
        return std::any_of(b.begin(), b.end(), [&](const PlotUpdate& u) { return u.id == id; });
    };
    EXPECT_TRUE(has(changed, "tf-mag"));
    EXPECT_TRUE(has(changed, "tf-plot"));  // the readout list
    EXPECT_FALSE(has(changed, "tf-fill-0"));
    EXPECT_FALSE(has(changed, "tf-phase"));
    EXPECT_LT(changed.size(), full.size());
    for (const auto& u : changed) {
        const auto was = std::find_if(full.begin(), full.end(),
                                      [&](const PlotUpdate& x) { return x.id == u.id && x.attr == u.attr; });
        ASSERT_NE(was, full.end()) << u.id;
        EXPECT_NE(was->value, u.value) << u.id;
    }
    while (passes < 10) pass();
    EXPECT_EQ(sent_passes(), (std::vector<std::uint32_t>{1, 2, 10}));
    EXPECT_EQ(sent.back().second.size(), full.size());
    // A new page holds nothing: the next batch restates everything.
    refresh->restate();
    analyzer->points[100].db = 5.0f;
    pass();
    EXPECT_EQ(sent.back().second.size(), full.size());
}

TEST_F(RefreshLoop, UnchangedInputsAreComputedOnceAndSendNothing) {
    // The seat view with Predicted on: the seats, the view and the reflection
    // rows are all read by the plot.
    s().sources.set({"Main"});
    s().current_source_name.set("Main");
    s().traces.set({make_trace("a", "Main", "Here"), make_trace("b", "Main", "There")});
    s().position.set("Here");
    s().right_tab.set(2);
    s().show_predicted.set(true);
    for (int i = 0; i < 25; ++i) pass();
    EXPECT_EQ(sent_passes(), (std::vector<std::uint32_t>{1, 10, 20}));
    EXPECT_EQ(s().seats.computations(), 1u);
    EXPECT_EQ(s().predicted.computations(), 1u);
    EXPECT_EQ(s().reflections.computations(), 1u);
    ASSERT_EQ(s().reflections.peek().size(), 2u);
    // A change of the trace list: each once more. The hidden seat's curve
    // leaves the plot's skeleton, so nothing needs sending; shown again, its
    // element is new and its paths are sent.
    s().traces.update([](std::vector<Trace>& t) { t[1].visible = false; });
    pass();
    pass();
    EXPECT_EQ(s().seats.computations(), 2u);
    EXPECT_EQ(s().reflections.computations(), 2u);
    EXPECT_EQ(sent_passes().back(), 20u);
    s().traces.update([](std::vector<Trace>& t) { t[1].visible = true; });
    pass();
    ASSERT_EQ(sent_passes().back(), 28u);
    const auto& b = sent.back().second;
    EXPECT_TRUE(std::any_of(b.begin(), b.end(), [](const PlotUpdate& u) { return u.id == "tf-stored-mag-1"; }));
    EXPECT_LT(b.size(), sent.front().second.size());
}

TEST_F(RefreshLoop, AutomaticDelayIsAppliedTwoSecondsAfterTheFirstReport) {
    s().auto_delay.set(true);
    analyzer = live(0.0f);
    pass();
    analyzer->found = 100;
    pass();  // first report
    const auto first = now;
    while (now + std::chrono::milliseconds(33) < first + std::chrono::seconds(2)) {
        analyzer->found = 100 + passes;
        pass();
    }
    EXPECT_TRUE(commands.empty());
    analyzer->found = 480;
    pass();  // the first pass at least 2 s later, with its own value
    ASSERT_EQ(commands.size(), 1u);
    const auto* set = std::get_if<engine::analyzer::Cmd::SetDelay>(&commands[0].v);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->samples, 480u);
    EXPECT_FALSE(s().auto_delay.peek());
    pass();
    EXPECT_EQ(commands.size(), 1u);
}

TEST_F(RefreshLoop, DelaySettingFollowsTheDelayInUse) {
    s().settings.set(&Settings::delay_ms, 1.0f);
    analyzer = live(0.0f);
    analyzer->delay = 48;
    pass();
    EXPECT_FLOAT_EQ(s().settings.peek().delay_ms, 1.0f);
    analyzer->delay = 96;
    pass();
    EXPECT_FLOAT_EQ(s().settings.peek().delay_ms, 2.0f);
}

TEST_F(RefreshLoop, LostRunIsDroppedAndWaitsForItsDevice) {
    analyzer = live(0.0f);
    s().auto_delay.set(true);
    s().viewed_trace.set(0);
    pass();
    EXPECT_TRUE(s().snapshot.peek().running);
    analyzer->running = false;
    analyzer->lost = true;
    analyzer->status = "Input device lost";
    pass();
    EXPECT_FALSE(analyzer);
    EXPECT_TRUE(s().waiting_for_device.peek());
    EXPECT_FALSE(s().auto_delay.peek());
    EXPECT_EQ(s().viewed_trace.peek(), std::nullopt);
    pass();
    EXPECT_FALSE(s().snapshot.peek().running);
}

TEST_F(RefreshLoop, MeterRestartsTwoSecondsAfterItEndedOnceItsInputIsListed) {
    s().settings.set(&Settings::view, engine::settings::View::Spl);
    s().settings.update([](Settings& x) { x.spl_input.host = "JACK"; x.spl_input.device = "jack:system"; });
    pass();
    EXPECT_EQ(meter_starts, 1);
    meter->running = false;
    meter->ended = true;
    pass();
    EXPECT_FALSE(meter);
    EXPECT_TRUE(s().waiting_for_device.peek());
    // Not listed at the 2 s mark: the meter stays off.
    for (int i = 0; i < 70; ++i) pass();
    EXPECT_EQ(meter_starts, 1);
    EXPECT_TRUE(s().waiting_for_device.peek());

    // Ends again; listed this time.
    s().waiting_for_device.set(false);
    pass();
    EXPECT_EQ(meter_starts, 2);
    meter->running = false;
    meter->ended = true;
    pass();
    s().input_devices.set({{"JACK", {engine::capture::AudioDevice{.id = "jack:system", .name = "system"}}}});
    int passes_to_restart = 0;
    while (meter_starts == 2 && passes_to_restart < 100) {
        pass();
        ++passes_to_restart;
    }
    EXPECT_EQ(meter_starts, 3);
    EXPECT_GE(passes_to_restart * 33, 2000);
    EXPECT_LE(passes_to_restart * 33, 2100);
}

TEST_F(RefreshLoop, SplBatchAndSpectrogramRow) {
    s().settings.set(&Settings::view, engine::settings::View::Spl);
    pass();  // starts the meter: empty RTA
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].second.back(), (PlotUpdate{"tf-plot", ui::tf_plot::ATTR_PTS, ""}));
    pass();
    EXPECT_EQ(sent.size(), 1u);  // same frame, same settings
    meter->frames = 1234;
    meter->hop_secs = 0.1f;
    meter->rta = {{1000.0f, -50.0f, 0.0f, 1.0f}, {2000.0f, -52.25f, 0.0f, 1.0f}};
    meter->rta_peak = meter->rta;
    pass();
    ASSERT_EQ(sent.size(), 2u);
    const auto& batch = sent[1].second;
    const auto row = std::find_if(batch.begin(), batch.end(), [](const PlotUpdate& u) { return u.id == "tf-spectrogram"; });
    ASSERT_NE(row, batch.end());
    EXPECT_EQ(row->value, "1234|-100.0|-20.0|0.1000|-50.0,-52.2");
}

// The meter's RTA levels of a steady sine: a periodic Hann window of n
// samples, band powers on the grid, normalised so that a band holding the
// whole sine reads its RMS level in dBFS.
std::vector<engine::tf::Point> sine_rta(float hz, float rms_dbfs, std::size_t n, float fs) {
    const double a = std::sqrt(2.0) * std::pow(10.0, rms_dbfs / 20.0);
    std::vector<float> x(n);
    float k = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float w = 0.5f - 0.5f * std::cos(static_cast<float>(i) * 6.2831855f / static_cast<float>(n));
        k += w * w;
        x[i] = w * static_cast<float>(a * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / fs));
    }
    k *= static_cast<float>(n) * 0.5f;
    std::vector<engine::tf::Complex> spec(n / 2 + 1);
    engine::tf::plan::real_forward(n)->process(x, spec);
    std::vector<float> power(n / 2);
    for (std::size_t i = 0; i < n / 2; ++i) power[i] = std::norm(spec[i]);
    const std::vector<float> bands = engine::tf::band_powers(n, power, fs);
    std::vector<engine::tf::Point> out;
    for (std::size_t i = 0; i < bands.size(); ++i)
        out.push_back({engine::tf::point_freq()[i], 10.0f * std::log10(std::fmax(bands[i] / k, 1e-12f)), 0.0f, 1.0f});
    return out;
}

// The readout levels of the RTA curve in a batch ("db,y;db,y;...").
std::vector<float> rta_readout(const std::vector<PlotUpdate>& batch) {
    std::vector<float> out;
    for (const auto& u : batch) {
        if (u.id != "tf-plot" || u.attr != ui::tf_plot::ATTR_RTA) continue;
        std::size_t at = 0;
        while (at < u.value.size()) {
            const std::size_t end = std::min(u.value.find(';', at), u.value.size());
            out.push_back(std::stof(u.value.substr(at, u.value.find(',', at) - at)));
            at = end + 1;
        }
    }
    return out;
}

TEST_F(RefreshLoop, RtaOfASineReadsItsLevelAtEveryBandwidth) {
    // -17 dBFS at 240 Hz, as the meter sees it with its default FFT size.
    const auto rta = sine_rta(240.0f, -17.0f, 16384, 48000.0f);
    double total = 0.0;
    std::size_t loudest = 0;
    for (std::size_t i = 0; i < rta.size(); ++i) {
        total += std::pow(10.0, rta[i].db / 10.0);
        if (rta[i].db > rta[loudest].db) loudest = i;
    }
    ASSERT_NEAR(10.0 * std::log10(total), -17.0, 0.05);  // what Z reads
    s().settings.update([](Settings& x) {
        x.view = engine::settings::View::Spl;
        x.weighting = engine::tf::Weighting::Z;
        x.spl_offset_db = 0.0f;
    });
    pass();
    std::uint64_t frames = 0;
    for (std::uint8_t n : {0, 12, 6, 3, 1}) {
        SCOPED_TRACE(static_cast<int>(n));
        s().settings.set(&Settings::spl_smoothing, n);
        meter->frames = ++frames;
        meter->rta = rta;
        meter->rta_peak = rta;
        sent.clear();
        pass();
        ASSERT_EQ(sent.size(), 1u);
        const auto shown = rta_readout(sent[0].second);
        ASSERT_EQ(shown.size(), 240u);
        if (n == 0) {
            // The grid's own bands: the meter's levels as they are.
            for (std::size_t i = 0; i < 240; ++i) EXPECT_NEAR(shown[i], rta[i].db, 0.05f) << i;
            continue;
        }
        // A band as wide as the window's spread of the sine holds all of it;
        // at 1/12 octave (14 Hz here) a little of the spread falls outside.
        const float tol = n >= 12 ? 0.3f : 0.1f;
        EXPECT_NEAR(shown[loudest], -17.0f, tol);
        EXPECT_NEAR(*std::max_element(shown.begin(), shown.end()), -17.0f, tol);
        // Far from the sine the curve stays low.
        EXPECT_LT(shown[loudest + 48], -60.0f);
    }
}

TEST_F(RefreshLoop, Weighting) {
    using engine::tf::Weighting;
    struct Case {
        Weighting w;
        float hz, offset, db;
        float tol;
    };
    const Case cases[] = {
        {Weighting::Z, 100.0f, 0.0f, -10.0f, 0.0f},  {Weighting::Z, 100.0f, 94.0f, 84.0f, 0.0f},
        {Weighting::A, 1000.0f, 0.0f, -10.0f, 0.01f}, {Weighting::C, 1000.0f, 0.0f, -10.0f, 0.01f},
        {Weighting::A, 100.0f, 0.0f, -29.1f, 0.1f},   {Weighting::C, 100.0f, 0.0f, -10.3f, 0.1f},
        {Weighting::A, 0.0f, 0.0f, -248.0f, 0.001f},  {Weighting::C, 0.0f, 0.0f, -249.94f, 0.001f},
    };
    for (const auto& c : cases) {
        const auto out = weight_points({{c.hz, -10.0f, 12.0f, 0.5f}}, c.w, c.offset);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_NEAR(out[0].db, c.db, c.tol) << static_cast<int>(c.w) << " " << c.hz;
        EXPECT_EQ(out[0].deg, 12.0f);
        EXPECT_EQ(out[0].conf, 0.5f);
    }
    EXPECT_TRUE(weight_points({}, Weighting::A, 3.0f).empty());
}

TEST(SipHash, ReferenceVectorsAndBatchHash) {
    // The reference SipHash-2-4 vectors (key 00..0f) check the rounds and the padding.
    std::string msg;
    for (char c = 0; c < 15; ++c) msg.push_back(c);
    EXPECT_EQ(siphash("", 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 2, 4), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(siphash(msg, 0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 2, 4), 0xa129ca6149be45e5ULL);

    Settings settings;
    const std::vector<PlotUpdate> a{{"tf-mag", ui::tf_plot::ATTR_D, "M0 0"}};
    const std::vector<PlotUpdate> b{{"tf-mag", ui::tf_plot::ATTR_D, "M0 1"}};
    EXPECT_NE(batch_hash(a, settings), batch_hash(b, settings));
    EXPECT_EQ(batch_hash(a, settings), 0x14494b320e5ececfULL);
    const auto before = batch_hash(a, settings);
    settings.show_rta = !settings.show_rta;
    EXPECT_NE(batch_hash(a, settings), before);
}

}  // namespace
}  // namespace ui::main_window::testing
