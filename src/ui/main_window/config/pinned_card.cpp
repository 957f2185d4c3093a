#include "ui/main_window/config/pinned_card.h"

#include <limits>

#include "reactive/root.h"
#include "shared-ui/icons.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using engine::settings::SettingsStoreImplExt;

namespace {
constexpr std::pair<std::uint8_t, const char*> SMOOTHINGS[] = {
    {0, "Off"}, {12, "1/12 octave"}, {6, "1/6 octave"}, {3, "1/3 octave"}, {1, "1 octave"}};
constexpr float MAX_CYCLES = 34.0f;
}  // namespace

void choose_smoothing(const WindowState& s, const Choice& chosen) {
    const auto v = parse_key<std::uint8_t>(chosen.first).value_or(0);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.smoothing = v; });
}

void set_cycles(const WindowState& s, const CardWorkers& w, double value) {
    const float c = clamp_value(value, 0.0f, MAX_CYCLES, 0.0f);
    SettingsStoreImplExt::update(s.settings, [c](Settings& x) { x.cycles = c; });
    if (w.has_analyzer()) w.send(engine::analyzer::Cmd{engine::analyzer::Cmd::SetCycles{c}});
    s.traces.update([c](std::vector<Trace>& traces) {
        for (auto& t : traces) t.apply_cycles(c);
    });
}

void step_lock_offset(const WindowState& s, double value) {
    const auto lock = s.level_lock.peek();
    if (!lock) return;
    const float m = std::numeric_limits<float>::max();
    s.level_lock.set(std::pair{lock->first, clamp_value(value, -m, m, 0.0f)});
}

void level_lock_button(const WindowState& s) { toggle_level_lock(s); }

reactive::Element pinned_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const auto& lock = s.level_lock();

    auto on_smoothing = reactive::use_callback<Choice>([s](Choice c) { choose_smoothing(s, c); });
    auto on_cycles = reactive::use_callback<double>([s](double v) { set_cycles(s, CardWorkers::of(s), v); });
    auto on_offset = reactive::use_callback<double>([s](double v) { step_lock_offset(s, v); });
    auto on_lock = reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { level_lock_button(s); });

    Choices smoothings;
    for (const auto& [v, label] : SMOOTHINGS) smoothings.emplace_back(std::to_string(v), label);
    return card("vt-card pinned", "",
                {row("Smoothing", choose(std::move(smoothings), std::to_string(st.get(&Settings::smoothing)), on_smoothing)),
                 row("Cycles", number(st.get(&Settings::cycles), 1, 1, on_cycles)),
                 controls_row("Offset dB",
                              {number(lock ? lock->second : 0.0, 0.5, 1, on_offset, !lock.has_value()),
                               reactive::component(shared_ui::components::button::default_button,
                                                   shared_ui::components::button::ButtonProps{
                                                       .button_type = shared_ui::components::button::ButtonType::Flat,
                                                       .icon = shared_ui::icons::LOCK,
                                                       .toggled = lock.has_value(),
                                                       .hint = "Lock the level the traces are drawn at (L)",
                                                       .onclick = on_lock},
                                                   "default_button")})});
}

}  // namespace ui::main_window
