#include "ui/main_window/config/measurement_card.h"

#include <cmath>

#include <fmt/format.h>

#include "base/cast.h"
#include "reactive/root.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

using engine::settings::SettingsStoreImplExt;
using engine::analyzer::Cmd;

void set_average_secs(Settings& settings, float secs) { settings.average_secs = secs; }
void set_coherence_threshold(Settings& settings, float threshold) { settings.coherence_threshold = threshold; }

void choose_averaging(const WindowState& s, const Choice& chosen) {
    const float v = parse_float_key(chosen.first).value_or(3.0f);
    change_and_restart(s, [v](Settings& x) { set_average_secs(x, v); });
}

void choose_gate(const WindowState& s, const Choice& chosen) {
    const float v = parse_float_key(chosen.first).value_or(0.7f);
    change_and_restart(s, [v](Settings& x) { set_coherence_threshold(x, v); });
}

void toggle_accumulate(const WindowState& s, const CardWorkers& w, bool shown) {
    const bool on = !shown;
    SettingsStoreImplExt::update(s.settings, [on](Settings& x) { x.accumulate = on; });
    if (w.has_analyzer()) w.send(Cmd{Cmd::SetAccumulate{on}});
}

void toggle_find_on_start(const WindowState& s) {
    SettingsStoreImplExt::update(s.settings, [](Settings& x) { x.find_on_start = !x.find_on_start; });
}

void toggle_stop_on_capture(const WindowState& s) {
    SettingsStoreImplExt::update(s.settings, [](Settings& x) { x.stop_on_capture = !x.stop_on_capture; });
}

void set_delay_ms(const WindowState& s, const CardWorkers& w, double value, std::uint32_t rate) {
    const float ms = clamp_value(value, 0.0f, 500.0f, 0.0f);
    // A run that has ended would drop the command: the delay is kept for the next one.
    const auto running = w.workers.analyzer ? w.workers.analyzer() : std::nullopt;
    if (running && running->running) {
        const double fs = rate == 0 ? 48000.0 : rate;
        w.send(Cmd{Cmd::SetDelay{base::saturating_round<std::size_t>(static_cast<double>(ms) / 1000.0 * fs)}});
        return;
    }
    SettingsStoreImplExt::update(s.settings, [ms](Settings& x) { x.delay_ms = ms; });
}

double shown_delay_ms(const engine::analyzer::Snapshot& snapshot, float stored_ms) {
    if (!snapshot.running) return stored_ms;
    if (snapshot.sample_rate == 0) return 0.0;
    return static_cast<double>(snapshot.delay) / snapshot.sample_rate * 1000.0;
}

reactive::Element measurement_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const float average = st.get(&Settings::average_secs);
    const float gate = st.get(&Settings::coherence_threshold);
    const bool accumulate = st.get(&Settings::accumulate);
    const bool find = st.get(&Settings::find_on_start);
    const bool stop = st.get(&Settings::stop_on_capture);
    // The snapshot copy changes with every level; the card follows only the delay and the rate.
    const auto shown = reactive::use_memo([s] {
        const auto& snap = s.snapshot();
        return std::pair{shown_delay_ms(snap, s.settings.get(&Settings::delay_ms)), snap.sample_rate};
    });
    const auto [delay, rate] = shown();

    auto on_average = reactive::use_callback<Choice>([s](Choice c) { choose_averaging(s, c); });
    auto on_gate = reactive::use_callback<Choice>([s](Choice c) { choose_gate(s, c); });
    auto on_accumulate = reactive::use_callback<const reactive::MouseEvent&>(
        [s, accumulate](const reactive::MouseEvent&) { toggle_accumulate(s, CardWorkers::of(s), accumulate); });
    auto on_find = reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { toggle_find_on_start(s); });
    auto on_stop =
        reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { toggle_stop_on_capture(s); });
    auto on_delay = reactive::use_callback<double>([s, rate](double v) { set_delay_ms(s, CardWorkers::of(s), v, rate); });

    Choices averages, gates;
    for (const float v : {1.0f, 2.0f, 3.0f, 5.0f, 10.0f}) averages.emplace_back(fmt::format("{:.0f}", v), fmt::format("{:.0f} s", v));
    for (const float v : {0.3f, 0.4f, 0.5f, 0.7f, 0.9f}) gates.emplace_back(fmt::format("{:.1f}", v), fmt::format("{:.1f}", v));

    return card("vt-card", "Measurement",
                {row("Averaging", choose(std::move(averages), fmt::format("{:.0f}", average), on_average)),
                 row("Gate", choose(std::move(gates), fmt::format("{:.1f}", gate), on_gate)),
                 controls_row("Average", {toggle(accumulate ? "Accumulate" : "Rolling", accumulate,
                                                 "Accumulate keeps only coherent bins over time; Rolling is a plain "
                                                 "running average (A)",
                                                 on_accumulate)}),
                 controls_row("Find on start",
                              {toggle(find ? "On" : "Off", find,
                                      "Space also starts a delay search; its lock is applied once it has stood for 2 s",
                                      on_find)}),
                 controls_row("Stop on save", {toggle(stop ? "On" : "Off", stop,
                                                      "Enter snapshots the trace and ends the run at once", on_stop)}),
                 row("Delay ms", number(delay, 0.1, 1, on_delay))});
}

}  // namespace ui::main_window
