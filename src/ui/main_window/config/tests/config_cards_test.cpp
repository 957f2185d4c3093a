// The Config tab's handlers, each a row of settings before → after with the
// commands the scripted analyzer and meter received; the calibration picker;
// the markup of the pane in both views. The handler table is also written
// to artifacts/config_handlers.md.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"
#include "ui/main_window/config/generator_card.h"
#include "ui/main_window/config/input_card.h"
#include "ui/main_window/config/measurement_card.h"
#include "ui/main_window/config/pinned_card.h"
#include "ui/main_window/config/readout_card.h"
#include "ui/main_window/config/right_pane.h"
#include "ui/main_window/config/spl_card.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using engine::analyzer::Snapshot;
using engine::capture::AudioDevice;
using engine::meter::MeterSnapshot;
using engine::settings::View;

std::string describe(const engine::analyzer::Cmd& c) {
    using C = engine::analyzer::Cmd;
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, C::SetGenerator>)
                return fmt::format("analyzer SetGenerator({}, {} Hz, {} s, {} dBFS)",
                                   engine::generator::signal_name(x.params.signal), x.params.sine_hz,
                                   x.params.sweep_secs, x.params.gen_db);
            else if constexpr (std::is_same_v<T, C::SetDelay>) return fmt::format("analyzer SetDelay({})", x.samples);
            else if constexpr (std::is_same_v<T, C::SetAccumulate>) return fmt::format("analyzer SetAccumulate({})", x.on);
            else if constexpr (std::is_same_v<T, C::SetCycles>) return fmt::format("analyzer SetCycles({})", x.cycles);
            else return "analyzer other";
        },
        c.v);
}

std::string describe(const engine::meter::Cmd& c) {
    using C = engine::meter::Cmd;
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, C::SetResponse>) return fmt::format("meter SetResponse({})", static_cast<int>(x.response));
            else if constexpr (std::is_same_v<T, C::SetLeqWindows>)
                return fmt::format("meter SetLeqWindows({}, {})", x.short_secs, x.long_secs);
            else if constexpr (std::is_same_v<T, C::SetPeakDecay>) return fmt::format("meter SetPeakDecay({})", x.db_per_sec);
            else return "meter other";
        },
        c.v);
}

// The fields whose text differs between two settings records: "field: old → new".
std::vector<std::string> changes(const Settings& before, const Settings& after) {
    auto lines = [](const Settings& x) {
        std::vector<std::string> out;
        std::istringstream in(*x.render());
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    };
    const auto a = lines(before), b = lines(after);
    std::vector<std::string> out;
    std::string parent;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        auto trim = [](std::string t) {
            t.erase(0, t.find_first_not_of(' '));
            if (!t.empty() && t.back() == ',') t.pop_back();
            return t;
        };
        const std::string ta = trim(a[i]), tb = trim(b[i]);
        if (ta.ends_with("(") && ta.find(':') != std::string::npos) parent = ta.substr(0, ta.find(':')) + ".";
        if (ta == ")") parent.clear();
        if (ta == tb) continue;
        const auto colon = ta.find(": ");
        out.push_back(parent + ta.substr(0, colon) + ": " + ta.substr(colon + 2) + " → " + tb.substr(tb.find(": ") + 2));
    }
    return out;
}

// Where the scripted workers stand for a row.
struct Workers_ {
    bool analyzer = false;
    bool running = true;
    std::uint32_t rate = 48000;
    bool meter = false;
    float rms_dbfs = 0.0f;
};

struct Case {
    std::string handler;
    std::function<void(Settings&)> before;
    Workers_ workers;
    std::function<void(const WindowState&, const CardWorkers&)> act;
    std::vector<std::string> expected_changes;
    std::vector<std::string> expected_sent;
};

AudioDevice device(std::string id, std::string name, std::uint16_t channels,
                   std::vector<std::pair<std::uint32_t, std::uint16_t>> rates = {}) {
    return AudioDevice{std::move(id), std::move(name), std::move(rates), channels};
}

class ConfigCards : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        s().restart_worker = [this] { sent.push_back("restart"); };
        s().input_devices.set({{"JACK", {device("jack:system", "system", 8, {{48000, 8}}), device("jack:mono", "mono", 1)}},
                               {"ALSA", {device("alsa:hw0", "HW 0", 2)}},
                               {"Empty", {}}});
        s().output_devices.set({{"JACK", {device("jack:system", "system", 8, {{48000, 8}, {96000, 4}})}}});
    }

    CardWorkers scripted(const Workers_& w) {
        CardWorkers c;
        if (w.analyzer) {
            Snapshot snap;
            snap.running = w.running;
            snap.sample_rate = w.rate;
            c.workers.analyzer = [snap] { return std::optional(snap); };
        } else {
            c.workers.analyzer = [] { return std::optional<Snapshot>(); };
        }
        c.workers.send = [this](engine::analyzer::Cmd cmd) { sent.push_back(describe(cmd)); };
        if (w.meter) {
            MeterSnapshot m;
            m.running = true;
            m.rms_dbfs = w.rms_dbfs;
            c.workers.meter = [m] { return std::optional(m); };
        } else {
            c.workers.meter = [] { return std::optional<MeterSnapshot>(); };
        }
        c.send_meter = [this](engine::meter::Cmd cmd) { sent.push_back(describe(cmd)); };
        return c;
    }

    std::vector<std::string> sent;
};

// The transfer input at "JACK" / "jack:system" with mic 3, ref 2 and an output.
void jack_input(Settings& x) {
    x.host = "JACK";
    x.device = "jack:system";
    x.device_name = "system";
    x.mic_channel = 3;
    x.ref_channel = 2;
    x.out_device = "jack:system";
    x.out_channel = 6;
}
void spl_jack_input(Settings& x) {
    jack_input(x);
    x.view = View::Spl;
    x.spl_input = engine::settings::Input{"JACK", "jack:system", "system", 3, 48000, ""};
}
void none(Settings&) {}

TEST_F(ConfigCards, EveryHandlerChangesItsSettingsAndTellsItsWorker) {
    const auto mono = std::vector<AudioDevice>{device("jack:mono", "mono", 1)};
    const std::optional<AudioDevice> big = device("jack:system", "system", 8, {{48000, 8}});
    const std::optional<AudioDevice> out4 = device("jack:system", "system", 8, {{48000, 8}, {96000, 4}});
    const auto chosen = [](std::string k) { return Choice{k, k}; };
    const Workers_ idle{}, running{.analyzer = true}, ended{.analyzer = true, .running = false}, metering{.meter = true};

    const std::vector<Case> cases = {
        // ---- Input card
        {"choose_host ALSA (transfer)", jack_input, running, [&](auto& st, auto&) { choose_host(st, false, chosen("ALSA")); },
         {"host: \"JACK\" → \"ALSA\"", "device: \"jack:system\" → \"alsa:hw0\"", "device_name: \"system\" → \"HW 0\"",
          "out_device: \"jack:system\" → \"\""},
         {"restart"}},
        {"choose_host ALSA (SPL view)", spl_jack_input, metering, [&](auto& st, auto&) { choose_host(st, true, chosen("ALSA")); },
         {"spl_input.host: \"JACK\" → \"ALSA\"", "spl_input.device: \"jack:system\" → \"alsa:hw0\"",
          "spl_input.device_name: \"system\" → \"HW 0\""},
         {"restart"}},
        {"choose_host without devices", jack_input, idle, [&](auto& st, auto&) { choose_host(st, false, chosen("Empty")); },
         {"host: \"JACK\" → \"Empty\"", "device: \"jack:system\" → \"\"", "device_name: \"system\" → \"\"",
          "out_device: \"jack:system\" → \"\""},
         {"restart"}},
        {"choose_device one channel (transfer)", jack_input, running,
         [&](auto& st, auto&) { choose_device(st, false, mono, 48000, chosen("jack:mono")); },
         {"device: \"jack:system\" → \"jack:mono\"", "device_name: \"system\" → \"mono\"", "mic_channel: 3 → 0",
          "ref_channel: 2 → 0"},
         {"restart"}},
        {"choose_device one channel (SPL view)", spl_jack_input, metering,
         [&](auto& st, auto&) { choose_device(st, true, mono, 48000, chosen("jack:mono")); },
         {"spl_input.device: \"jack:system\" → \"jack:mono\"", "spl_input.device_name: \"system\" → \"mono\"",
          "spl_input.mic_channel: 3 → 0"},
         {"restart"}},
        {"choose_device unplugged entry", jack_input, running,
         [&](auto& st, auto&) { choose_device(st, false, mono, 48000, chosen("jack:gone")); }, {}, {}},
        {"choose_mic_channel \"+5\"", jack_input, idle, [&](auto& st, auto&) { choose_mic_channel(st, false, chosen("+5")); },
         {"mic_channel: 3 → 5"}, {"restart"}},
        {"choose_mic_channel \"-1\" (fallback 0)", jack_input, idle,
         [&](auto& st, auto&) { choose_mic_channel(st, false, chosen("-1")); }, {"mic_channel: 3 → 0"}, {"restart"}},
        {"choose_ref_channel \"gen\"", jack_input, idle, [&](auto& st, auto&) { choose_ref_channel(st, chosen("gen")); },
         {"ref_internal: false → true"}, {"restart"}},
        {"choose_ref_channel \"\" (fallback 1)", jack_input, idle, [&](auto& st, auto&) { choose_ref_channel(st, chosen("")); },
         {"ref_channel: 2 → 1"}, {"restart"}},
        {"choose_sample_rate \"176400\", device without that rate", jack_input, running,
         [&](auto& st, auto&) { choose_sample_rate(st, false, device("jack:x", "x", 2), std::nullopt, chosen("176400")); },
         {"mic_channel: 3 → 1", "ref_channel: 2 → 1", "sample_rate: 48000 → 176400"}, {"restart"}},
        {"choose_sample_rate \"96000\" with the output at 4 channels", jack_input, running,
         [&](auto& st, auto&) { choose_sample_rate(st, false, big, out4, chosen("96000")); },
         {"sample_rate: 48000 → 96000", "out_channel: 6 → 3"}, {"restart"}},
        {"choose_sample_rate \"fast\" (fallback 48000), no devices", [](Settings& x) { jack_input(x); x.sample_rate = 44100; },
         idle, [&](auto& st, auto&) { choose_sample_rate(st, false, std::nullopt, std::nullopt, chosen("fast")); },
         {"sample_rate: 44100 → 48000"}, {"restart"}},
        {"clear_mic_cal_button (SPL view)", [](Settings& x) { spl_jack_input(x); x.spl_input.mic_cal_path = "/c/mic.txt"; x.mic_cal_path = "/c/t.txt"; },
         metering, [&](auto& st, auto&) { clear_mic_cal_button(st, true); },
         {"spl_input.mic_cal_path: \"/c/mic.txt\" → \"\""}, {"restart"}},
        // ---- Measurement card
        {"choose_averaging \"5\"", none, running, [&](auto& st, auto&) { choose_averaging(st, chosen("5")); },
         {"average_secs: 3.0 → 5.0"}, {"restart"}},
        {"choose_averaging \"x\" (fallback 3)", [](Settings& x) { x.average_secs = 10; }, idle,
         [&](auto& st, auto&) { choose_averaging(st, chosen("x")); }, {"average_secs: 10.0 → 3.0"}, {"restart"}},
        {"choose_gate \"x\" (fallback 0.7)", [](Settings& x) { x.coherence_threshold = 0.3f; }, idle,
         [&](auto& st, auto&) { choose_gate(st, chosen("x")); }, {"coherence_threshold: 0.3 → 0.7"}, {"restart"}},
        {"toggle_accumulate (shown on)", none, running, [&](auto& st, auto& w) { toggle_accumulate(st, w, true); },
         {"accumulate: true → false"}, {"analyzer SetAccumulate(false)"}},
        {"toggle_find_on_start", none, running, [&](auto& st, auto&) { toggle_find_on_start(st); },
         {"find_on_start: false → true"}, {}},
        {"toggle_stop_on_capture", none, idle, [&](auto& st, auto&) { toggle_stop_on_capture(st); },
         {"stop_on_capture: false → true"}, {}},
        {"set_delay_ms 600, running at 48000 Hz", none, running, [&](auto& st, auto& w) { set_delay_ms(st, w, 600, 48000); },
         {}, {"analyzer SetDelay(24000)"}},
        {"set_delay_ms 2.5, running, rate unknown", none, running, [&](auto& st, auto& w) { set_delay_ms(st, w, 2.5, 0); },
         {}, {"analyzer SetDelay(120)"}},
        {"set_delay_ms 600, no analyzer", none, idle, [&](auto& st, auto& w) { set_delay_ms(st, w, 600, 48000); },
         {"delay_ms: 0.0 → 500.0"}, {}},
        {"set_delay_ms 600, analyzer ended", none, ended, [&](auto& st, auto& w) { set_delay_ms(st, w, 600, 48000); },
         {"delay_ms: 0.0 → 500.0"}, {}},
        {"set_delay_ms -3", [](Settings& x) { x.delay_ms = 4; }, idle, [&](auto& st, auto& w) { set_delay_ms(st, w, -3, 48000); },
         {"delay_ms: 4.0 → 0.0"}, {}},
        // ---- Readout card
        {"choose_target \"Off\"", none, idle, [&](auto& st, auto&) { choose_target(st, chosen("Off")); },
         {"target: Some(LivePa) → None"}, {}},
        {"choose_target \"Flat\"", none, idle, [&](auto& st, auto&) { choose_target(st, chosen("Flat")); },
         {"target: Some(LivePa) → Some(Flat)"}, {}},
        {"set_bass_db 25", none, idle, [&](auto& st, auto&) { set_bass_db(st, 25); }, {"bass_db: 6.0 → 20.0"}, {}},
        {"set_bass_db -1", none, idle, [&](auto& st, auto&) { set_bass_db(st, -1); }, {"bass_db: 6.0 → 0.0"}, {}},
        {"set_latency_ms -5", [](Settings& x) { x.latency_ms = 2; }, idle, [&](auto& st, auto&) { set_latency_ms(st, -5); },
         {"latency_ms: 2.0 → 0.0"}, {}},
        {"set_air_temperature 80", none, idle, [&](auto& st, auto&) { set_air_temperature(st, 80); },
         {"temperature_c: 20.0 → 50.0"}, {}},
        {"set_air_temperature -40", none, idle, [&](auto& st, auto&) { set_air_temperature(st, -40); },
         {"temperature_c: 20.0 → -30.0"}, {}},
        {"set_air_humidity 120", none, idle, [&](auto& st, auto&) { set_air_humidity(st, 120); },
         {"humidity_pct: 50.0 → 100.0"}, {}},
        {"choose_ui_size Normal", none, idle, [&](auto& st, auto&) { choose_ui_size(st, UiSize::Normal); },
         {"ui_size: Tiny → Normal"}, {}},
        // ---- Generator card
        {"choose_signal \"Sine\"", none, running, [&](auto& st, auto& w) { choose_signal(st, w, chosen("Sine")); },
         {"signal: Off → Sine"}, {"analyzer SetGenerator(Sine, 1000 Hz, 4 s, -20 dBFS)"}},
        {"choose_signal \"Noise\" (no such signal)", none, running, [&](auto& st, auto& w) { choose_signal(st, w, chosen("Noise")); },
         {}, {}},
        {"step_sine_hz 5", none, running, [&](auto& st, auto& w) { step_sine_hz(st, w, 5); },
         {"sine_hz: 1000.0 → 10.0"}, {"analyzer SetGenerator(Off, 10 Hz, 4 s, -20 dBFS)"}},
        {"step_sweep_secs 40, no analyzer", none, idle, [&](auto& st, auto& w) { step_sweep_secs(st, w, 40); },
         {"sweep_secs: 4.0 → 30.0"}, {}},
        {"step_gen_db 3", none, running, [&](auto& st, auto& w) { step_gen_db(st, w, 3); },
         {"gen_db: -20.0 → 0.0"}, {"analyzer SetGenerator(Off, 1000 Hz, 4 s, 0 dBFS)"}},
        {"choose_output \"\" (None)", jack_input, running, [&](auto& st, auto&) { choose_output(st, {"", "None"}); },
         {"out_device: \"jack:system\" → \"\""}, {"restart"}},
        {"choose_output \"jack:system\" (the id)", none, idle, [&](auto& st, auto&) { choose_output(st, {"jack:system", "system"}); },
         {"out_device: \"\" → \"jack:system\""}, {"restart"}},
        {"choose_out_channel \"x\" (fallback 0)", jack_input, idle, [&](auto& st, auto&) { choose_out_channel(st, chosen("x")); },
         {"out_channel: 6 → 0"}, {"restart"}},
        // ---- SPL card
        {"choose_weighting \"A (ear, noise limits)\"", spl_jack_input, metering,
         [&](auto& st, auto&) { choose_weighting(st, chosen("A (ear, noise limits)")); }, {"weighting: Z → A"}, {}},
        {"choose_weighting \"B\" (no such weighting)", spl_jack_input, metering,
         [&](auto& st, auto&) { choose_weighting(st, chosen("B")); }, {}, {}},
        {"choose_response \"Slow (~1 s)\"", spl_jack_input, metering,
         [&](auto& st, auto& w) { choose_response(st, w, chosen("Slow (~1 s)")); }, {"spl_response: Fast → Slow"},
         {"meter SetResponse(2)"}},
        {"choose_spl_fft \"x\" (fallback 8192)", [](Settings& x) { spl_jack_input(x); x.spl_fft = 32768; }, metering,
         [&](auto& st, auto&) { choose_spl_fft(st, chosen("x")); }, {"spl_fft: 32768 → 8192"}, {"restart"}},
        {"choose_peak_decay \"0\" (Hold)", spl_jack_input, metering, [&](auto& st, auto& w) { choose_peak_decay(st, w, chosen("0")); },
         {"spl_peak_decay: 6.0 → 0.0"}, {"meter SetPeakDecay(0)"}},
        {"set_range_top 50, offset 30, bottom 25", [](Settings& x) { x.spl_offset_db = 30; x.spl_range_bottom_db = 25; x.spl_range_top_db = 60; },
         idle, [&](auto& st, auto&) { set_range_top(st, 50); }, {"spl_range_top_db: 60.0 → 35.0"}, {}},
        {"set_range_top 500", none, idle, [&](auto& st, auto&) { set_range_top(st, 500); }, {"spl_range_top_db: -20.0 → 200.0"}, {}},
        {"set_range_bottom -900", none, idle, [&](auto& st, auto&) { set_range_bottom(st, -900); },
         {"spl_range_bottom_db: -100.0 → -200.0"}, {}},
        {"set_range_bottom 0, above the top", none, idle, [&](auto& st, auto&) { set_range_bottom(st, 0); },
         {"spl_range_bottom_db: -100.0 → -30.0"}, {}},
        {"choose_leq_short \"30\"", spl_jack_input, metering, [&](auto& st, auto& w) { choose_leq_short(st, w, chosen("30")); },
         {"spl_leq_short_secs: 60 → 30"}, {"meter SetLeqWindows(30, 900)"}},
        {"choose_leq_long \"x\" (fallback 900)", [](Settings& x) { spl_jack_input(x); x.spl_leq_long_secs = 3600; }, metering,
         [&](auto& st, auto& w) { choose_leq_long(st, w, chosen("x")); }, {"spl_leq_long_secs: 3600 → 900"},
         {"meter SetLeqWindows(60, 900)"}},
        {"choose_spl_smoothing \"300\" (fallback 0)", none, idle, [&](auto& st, auto&) { choose_spl_smoothing(st, chosen("300")); },
         {"spl_smoothing: 3 → 0"}, {}},
        {"set_spl_offset 250", none, idle, [&](auto& st, auto&) { set_spl_offset(st, 250); }, {"spl_offset_db: 0.0 → 200.0"}, {}},
        {"calibrate_spl at -40 dBFS", spl_jack_input, {.meter = true, .rms_dbfs = -40}, [&](auto& st, auto& w) { calibrate_spl(st, w); },
         {"spl_offset_db: 0.0 → 134.0"}, {}},
        {"calibrate_spl at -120 dBFS", spl_jack_input, {.meter = true, .rms_dbfs = -120}, [&](auto& st, auto& w) { calibrate_spl(st, w); },
         {"spl_offset_db: 0.0 → 200.0"}, {}},
        {"calibrate_spl without a meter", spl_jack_input, idle, [&](auto& st, auto& w) { calibrate_spl(st, w); }, {}, {}},
        // ---- Pinned card
        {"choose_smoothing \"12\"", none, idle, [&](auto& st, auto&) { choose_smoothing(st, chosen("12")); },
         {"smoothing: 0 → 12"}, {}},
        {"set_cycles 40", none, running, [&](auto& st, auto& w) { set_cycles(st, w, 40); }, {"cycles: 0.0 → 34.0"},
         {"analyzer SetCycles(34)"}},
    };

    std::string table = "| handler | settings before → after | sent |\n|---|---|---|\n";
    for (const auto& c : cases) {
        Settings before;
        c.before(before);
        s().settings.set(before);
        sent.clear();
        c.act(s(), scripted(c.workers));
        const auto got = changes(before, s().settings.peek());
        EXPECT_EQ(got, c.expected_changes) << c.handler;
        EXPECT_EQ(sent, c.expected_sent) << c.handler;
        table += fmt::format("| {} | {} | {} |\n", c.handler, got.empty() ? "(none)" : fmt::format("{}", fmt::join(got, "; ")),
                             sent.empty() ? "(none)" : fmt::format("{}", fmt::join(sent, "; ")));
    }
    const std::filesystem::path dir = VELTRUM_ARTIFACT_DIR;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "config_handlers.md") << table;
}

TEST_F(ConfigCards, CyclesAreAppliedAgainToEveryStoredTrace) {
    const std::vector<engine::trace::LayerBins> layers{{4096, std::vector<engine::tf::Triple>(2048, {1.0f, 0.0f, 1.0f})}};
    Trace t = Trace::from_layers("Main", 48000, 0, layers, {}, 0.5f);
    t.apply_cycles(0.0f);
    s().traces.set({t, t});
    set_cycles(s(), scripted({}), 40);
    Trace expected = t;
    expected.apply_cycles(34.0f);
    ASSERT_FALSE(expected.windowed.empty());
    for (const auto& got : s().traces.peek()) EXPECT_EQ(got.windowed, expected.windowed);
    EXPECT_TRUE(sent.empty());  // no analyzer: nothing sent, the traces all the same
}

TEST_F(ConfigCards, OffsetStepperMovesOnlyAnExistingLock) {
    step_lock_offset(s(), 3.5);
    EXPECT_EQ(s().level_lock.peek(), std::nullopt);
    s().level_lock.set(std::pair{-12.0f, 0.0f});
    step_lock_offset(s(), 3.5);
    EXPECT_EQ(s().level_lock.peek(), (std::pair{-12.0f, 3.5f}));
    level_lock_button(s());
    EXPECT_EQ(s().level_lock.peek(), std::nullopt);
}

TEST(ConfigLabels, FftChannelsAndCalibration) {
    EXPECT_EQ(fft_label(8192, 48000), "8192 · 5.9 Hz · 171 ms");
    EXPECT_EQ(fft_label(16384, 48000), "16384 · 2.9 Hz · 341 ms");
    EXPECT_EQ(fft_label(32768, 48000), "32768 · 1.5 Hz · 683 ms");
    EXPECT_EQ(channel_label(0), Choices{});
    EXPECT_EQ(channel_label(3), (Choices{{"0", "Ch 1"}, {"1", "Ch 2"}, {"2", "Ch 3"}}));
    EXPECT_EQ(parse_key<std::uint8_t>("255"), 255);
    EXPECT_EQ(parse_key<std::uint8_t>("256"), std::nullopt);
    EXPECT_EQ(parse_key<std::uint32_t>(" 1"), std::nullopt);
    EXPECT_EQ(parse_key<std::uint32_t>("+"), std::nullopt);
    const auto dir = test_support::scratch("config_cards", "labels");
    test_support::spit(dir / "mic.txt", "20 0\n20000 0\n");
    EXPECT_EQ(mic_cal_label(""), "None");
    EXPECT_EQ(mic_cal_label((dir / "mic.txt").string()), "mic.txt");
    EXPECT_EQ(mic_cal_label((dir / "gone.cal").string()), "gone.cal (missing)");
}

TEST_F(ConfigCards, CalibrationPickerChecksTheFileAndTellsTheOutcome) {
    const auto dir = home_ / "cal";
    fs::create_directories(dir);
    std::string good = "# Hz dB\n";
    for (int i = 0; i < 240; ++i) good += fmt::format("{} {}\n", engine::tf::point_freq()[i], 0.1 * i);
    test_support::spit(dir / "good.txt", good);
    test_support::spit(dir / "comments.txt", "# only\n* comment\n; lines\n");
    struct Row {
        std::string file;
        std::string notice;
        std::string stored;
    };
    const std::vector<Row> rows = {
        {"good.txt", "Mic calibration: 240 points, 20 Hz..20000 Hz", (dir / "good.txt").string()},
        {"comments.txt", "Not a calibration file: no frequency / dB pairs found", ""},
        {"missing.txt", "Not a calibration file: No such file or directory (os error 2)", ""},
    };
    for (const auto& r : rows) {
        s().settings.set(Settings{});
        s().notice.set("");
        sent.clear();
        panel_answers->push_back(dir / r.file);
        reactive::spawn(pick_mic_cal(s(), false));
        loop.advance(DIALOG_PAUSE);
        ASSERT_TRUE(drive([&] { return !s().notice.peek().empty(); })) << r.file;
        EXPECT_EQ(s().notice.peek(), r.notice);
        EXPECT_EQ(s().settings.peek().mic_cal_path, r.stored);
        EXPECT_EQ(sent, r.stored.empty() ? std::vector<std::string>{} : std::vector<std::string>{"restart"});
    }
    ASSERT_FALSE(panels->empty());
    EXPECT_EQ(panels->back().title, "Microphone calibration file");
    EXPECT_EQ(panels->back().filter_name, "Calibration");
    EXPECT_EQ(panels->back().extensions, (std::vector<std::string>{"txt", "cal", "frd", "csv"}));
}

// The pane rendered into the in-memory DOM on the fixture's window state.
class PaneMarkup : public ConfigCards {
protected:
    void mount() {
        root_.set_page(&page_);
        root_.provide_context(s());
        root_.provide_context(s().settings);
        root_.provide_context(s().tooltip);
        root_.provide_context(s().open_dropdown);
        root_.mount(reactive::component(right_pane, "right_pane"));
        flush();
    }
    void flush() {
        loop.run_until_idle();
        root_.flush();
        loop.run_until_idle();
    }
    std::vector<std::string> texts(const std::string& cls) {
        std::vector<std::string> out;
        collect(doc_.root(), cls, out);
        return out;
    }
    static std::string text_of(const reactive::dom::Node& n) {
        if (n.is_text) return n.text;
        std::string t;
        for (const auto* c : n.children) t += text_of(*c);
        return t;
    }
    static void collect(const reactive::dom::Node& n, const std::string& cls, std::vector<std::string>& out) {
        if (auto it = n.attrs.find("class"); it != n.attrs.end() && it->second == cls) out.push_back(text_of(n));
        for (const auto* c : n.children) collect(*c, cls, out);
    }
    std::string html() { return doc_.html(); }
    const reactive::dom::Node* button_with(const std::string& label, const reactive::dom::Node* n = nullptr) {
        if (!n) n = &doc_.root();
        if (n->tag == "button" && text_of(*n) == label) return n;
        for (const auto* c : n->children)
            if (const auto* hit = button_with(label, c)) return hit;
        return nullptr;
    }

    reactive::FakePage page_;
    reactive::dom::Document doc_;
    reactive::Root root_{loop, [this](reactive::EditBatch b) { ASSERT_TRUE(doc_.apply(b)); }};
};

TEST_F(PaneMarkup, TransferViewHasTabsFourCardsAndThePinnedCard) {
    s().settings.update([this](Settings& x) {
        jack_input(x);
        x.device = "jack:gone";
        x.device_name = "USB Mic";
        x.mic_cal_path = (fs::path(home_) / "deleted.frd").string();
        x.signal = engine::generator::Signal::Pink;
        x.gen_db = -9;
    });
    mount();
    EXPECT_EQ(texts("tab-btn active"), std::vector<std::string>{"Config"});
    EXPECT_EQ(texts("tab-btn"), (std::vector<std::string>{"Align", "EQ"}));
    EXPECT_EQ(texts("name"), (std::vector<std::string>{"Input", "Measurement", "Readout", "Generator"}));
    EXPECT_EQ(texts("label"), (std::vector<std::string>{"Driver", "Device", "Mic", "Ref", "Rate", "Mic cal",
                                                        "Averaging", "Gate", "Average", "Find on start", "Stop on save",
                                                        "Delay ms", "Target", "Bass dB", "Latency ms", "Air °C",
                                                        "Air %RH", "UI size", "Signal", "Level dBFS", "Output", "Channel",
                                                        "Smoothing", "Cycles", "Offset dB"}));
    EXPECT_EQ(texts("warn"), std::vector<std::string>{"Pink clips above -10 dBFS"});
    const std::string page = html();
    EXPECT_NE(page.find("USB Mic (unplugged)"), std::string::npos);
    EXPECT_NE(page.find("deleted.frd (missing)"), std::string::npos);
    EXPECT_NE(page.find("vt-card pinned"), std::string::npos);

    // Rows follow the settings they depend on.
    s().settings.update([](Settings& x) {
        x.gen_db = -10;
        x.signal = engine::generator::Signal::Chirp;
        x.out_device.clear();
        x.target = engine::settings::Curve::Flat;
        x.mic_cal_path.clear();
    });
    flush();
    const auto labels = texts("label");
    for (const char* gone : {"Bass dB", "Hz", "Length s", "Channel"})
        EXPECT_EQ(std::count(labels.begin(), labels.end(), gone), 0) << gone;
    EXPECT_TRUE(texts("warn").empty());
    EXPECT_NE(html().find(">None<"), std::string::npos);

    // The tabs switch the list; the pinned card stays.
    s().right_tab.set(2);
    flush();
    EXPECT_EQ(texts("tab-btn active"), std::vector<std::string>{"EQ"});
    const auto names = texts("name");
    EXPECT_EQ(std::count(names.begin(), names.end(), "Input"), 0);
    EXPECT_NE(html().find("vt-card pinned"), std::string::npos);
}

TEST_F(PaneMarkup, SplViewHasNoTabsTheSplInputAndTheSplCard) {
    s().settings.update([](Settings& x) { spl_jack_input(x); });
    s().right_tab.set(1);
    mount();
    EXPECT_TRUE(texts("tab-bar").empty());
    EXPECT_EQ(texts("name"), (std::vector<std::string>{"SPL Input", "SPL"}));
    EXPECT_EQ(html().find("vt-card pinned"), std::string::npos);
    const auto labels = texts("label");
    EXPECT_EQ(std::count(labels.begin(), labels.end(), "Ref"), 0);
    EXPECT_NE(html().find("vt-card wide"), std::string::npos);
    // The calibrator button waits for a running meter.
    const auto* calibrate = button_with("94 dB");
    ASSERT_TRUE(calibrate);
    EXPECT_TRUE(calibrate->attrs.contains("disabled"));
    s().meter_snapshot.update([](MeterSnapshot& m) { m.running = true; });
    flush();
    EXPECT_FALSE(button_with("94 dB")->attrs.contains("disabled"));
}

TEST_F(PaneMarkup, OffsetStepperIsBlankAndInertWithoutALevelLock) {
    mount();
    EXPECT_NE(html().find("stepper-wrapper disabled"), std::string::npos);
    s().level_lock.set(std::pair{-3.0f, 1.5f});
    flush();
    EXPECT_EQ(html().find("stepper-wrapper disabled"), std::string::npos);
}

}  // namespace
}  // namespace ui::main_window::testing
