#include "ui/main_window/config/generator_card.h"

#include <fmt/format.h>

#include "reactive/root.h"
#include "ui/main_window/config/input_card.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

using engine::analyzer::Cmd;
using engine::generator::GenParams;
using engine::settings::SettingsStoreImplExt;
using GenSignal = engine::generator::Signal;

namespace {
// The signals in the order the card lists them, with their keys and labels.
constexpr std::pair<GenSignal, const char*> SIGNALS[] = {
    {GenSignal::Off, "Off"}, {GenSignal::Sine, "Sine"}, {GenSignal::Pink, "Pink"}, {GenSignal::Sweep, "Sweep"}, {GenSignal::Chirp, "Chirp"}};
// Pink noise's crest factor leaves no headroom above this level.
constexpr float PINK_CLIPS_DB = -10.0f;
}  // namespace

void change_generator(const WindowState& s, const CardWorkers& w, const std::function<void(Settings&)>& change) {
    SettingsStoreImplExt::update(s.settings, change);
    if (!w.has_analyzer()) return;
    const Settings& x = s.settings.peek();
    w.send(Cmd{Cmd::SetGenerator{GenParams{x.sine_hz, x.sweep_secs, x.gen_db, x.signal}}});
}

void set_signal(Settings& settings, GenSignal signal) { settings.signal = signal; }
void set_sine_hz(Settings& settings, double hz) { settings.sine_hz = clamp_value(hz, 10.0f, 20000.0f, 1000.0f); }
void set_sweep_secs(Settings& settings, double secs) { settings.sweep_secs = clamp_value(secs, 0.5f, 30.0f, 4.0f); }
void set_gen_db(Settings& settings, double db) { settings.gen_db = clamp_value(db, -60.0f, 0.0f, -20.0f); }
void set_out_device(Settings& settings, std::string id) { settings.out_device = std::move(id); }
void set_out_channel(Settings& settings, std::uint64_t channel) { settings.out_channel = channel; }

void choose_signal(const WindowState& s, const CardWorkers& w, const Choice& chosen) {
    for (const auto& [signal, key] : SIGNALS)
        if (chosen.first == key) return change_generator(s, w, [v = signal](Settings& x) { set_signal(x, v); });
}

void step_sine_hz(const WindowState& s, const CardWorkers& w, double value) {
    change_generator(s, w, [value](Settings& x) { set_sine_hz(x, value); });
}
void step_sweep_secs(const WindowState& s, const CardWorkers& w, double value) {
    change_generator(s, w, [value](Settings& x) { set_sweep_secs(x, value); });
}
void step_gen_db(const WindowState& s, const CardWorkers& w, double value) {
    change_generator(s, w, [value](Settings& x) { set_gen_db(x, value); });
}

void choose_output(const WindowState& s, const Choice& chosen) {
    change_and_restart(s, [id = chosen.first](Settings& x) { set_out_device(x, id); });
}

void choose_out_channel(const WindowState& s, const Choice& chosen) {
    const auto v = parse_key<std::uint64_t>(chosen.first).value_or(0);
    change_and_restart(s, [v](Settings& x) { set_out_channel(x, v); });
}

reactive::Element generator_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const GenSignal signal = st.get(&Settings::signal);
    const float gen_db = st.get(&Settings::gen_db);
    const std::string& out = st.get(&Settings::out_device);
    const auto outputs = devices_of(s.output_devices(), st.get(&Settings::host));

    auto on_signal = reactive::use_callback<Choice>([s](Choice c) { choose_signal(s, CardWorkers::of(s), c); });
    auto on_hz = reactive::use_callback<double>([s](double v) { step_sine_hz(s, CardWorkers::of(s), v); });
    auto on_secs = reactive::use_callback<double>([s](double v) { step_sweep_secs(s, CardWorkers::of(s), v); });
    auto on_db = reactive::use_callback<double>([s](double v) { step_gen_db(s, CardWorkers::of(s), v); });
    auto on_output = reactive::use_callback<Choice>([s](Choice c) { choose_output(s, c); });
    auto on_channel = reactive::use_callback<Choice>([s](Choice c) { choose_out_channel(s, c); });

    Choices signals;
    std::string current;
    for (const auto& [sig, key] : SIGNALS) {
        signals.emplace_back(key, key);
        if (sig == signal) current = key;
    }
    std::vector<reactive::Element> rows;
    rows.push_back(row("Signal", choose(std::move(signals), current, on_signal)));
    if (signal == GenSignal::Sine) rows.push_back(row("Hz", number(st.get(&Settings::sine_hz), 10, 1, on_hz)));
    if (signal == GenSignal::Sweep) rows.push_back(row("Length s", number(st.get(&Settings::sweep_secs), 0.5, 1, on_secs)));
    rows.push_back(row("Level dBFS", number(gen_db, 1, 1, on_db)));
    if (signal == GenSignal::Pink && gen_db > PINK_CLIPS_DB)
        rows.push_back(reactive::div().cls("warn")(fmt::format("Pink clips above {:.0f} dBFS", PINK_CLIPS_DB)));
    Choices devices{{"", "None"}};
    for (const auto& d : outputs) devices.emplace_back(d.id, d.name);
    rows.push_back(row("Output", choose(std::move(devices), out, on_output)));
    if (!out.empty()) {
        std::size_t n = 2;
        for (const auto& d : outputs)
            if (d.id == out) {
                n = channels_at(d, st.get(&Settings::sample_rate));
                break;
            }
        rows.push_back(row("Channel", choose(channel_label(n), std::to_string(st.get(&Settings::out_channel)), on_channel)));
    }
    return card("vt-card", "Generator", std::move(rows));
}

}  // namespace ui::main_window
