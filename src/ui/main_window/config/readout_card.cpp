#include "ui/main_window/config/readout_card.h"

#include <limits>

#include "reactive/root.h"

namespace ui::main_window {

using engine::settings::Curve;
using engine::settings::SettingsStoreImplExt;

namespace {
constexpr float FLOAT_MAX = std::numeric_limits<float>::max();

std::string target_key(const std::optional<Curve>& c) {
    if (!c) return "Off";
    return *c == Curve::Flat ? "Flat" : "Live PA";
}
}  // namespace

void choose_target(const WindowState& s, const Choice& chosen) {
    std::optional<Curve> target;
    if (chosen.first == "Flat") target = Curve::Flat;
    else if (chosen.first == "Live PA") target = Curve::LivePa;
    SettingsStoreImplExt::update(s.settings, [target](Settings& x) { x.target = target; });
}

void set_bass_db(const WindowState& s, double value) {
    const float v = clamp_value(value, 0.0f, 20.0f, 0.0f);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.bass_db = v; });
}

void set_latency_ms(const WindowState& s, double value) {
    const float v = clamp_value(value, 0.0f, FLOAT_MAX, 0.0f);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.latency_ms = v; });
}

void set_air_temperature(const WindowState& s, double value) {
    const float v = clamp_value(value, -30.0f, 50.0f, Settings{}.temperature_c);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.temperature_c = v; });
}

void set_air_humidity(const WindowState& s, double value) {
    const float v = clamp_value(value, 0.0f, 100.0f, Settings{}.humidity_pct);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.humidity_pct = v; });
}

void choose_ui_size(const WindowState& s, UiSize size) {
    SettingsStoreImplExt::update(s.settings, [size](Settings& x) { x.ui_size = size; });
}

reactive::Element readout_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const auto& target = st.get(&Settings::target);
    const UiSize size = st.get(&Settings::ui_size);

    auto on_target = reactive::use_callback<Choice>([s](Choice c) { choose_target(s, c); });
    auto on_bass = reactive::use_callback<double>([s](double v) { set_bass_db(s, v); });
    auto on_latency = reactive::use_callback<double>([s](double v) { set_latency_ms(s, v); });
    auto on_temperature = reactive::use_callback<double>([s](double v) { set_air_temperature(s, v); });
    auto on_humidity = reactive::use_callback<double>([s](double v) { set_air_humidity(s, v); });
    auto on_tiny = reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { choose_ui_size(s, UiSize::Tiny); });
    auto on_small = reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { choose_ui_size(s, UiSize::Small); });
    auto on_normal =
        reactive::use_callback<const reactive::MouseEvent&>([s](const reactive::MouseEvent&) { choose_ui_size(s, UiSize::Normal); });

    std::vector<reactive::Element> rows;
    rows.push_back(row("Target", choose({{"Off", "Off"}, {"Flat", "Flat"}, {"Live PA", "Live PA"}}, target_key(target), on_target)));
    if (target == Curve::LivePa) rows.push_back(row("Bass dB", number(st.get(&Settings::bass_db), 1, 1, on_bass)));
    rows.push_back(row("Latency ms", number(st.get(&Settings::latency_ms), 0.1, 1, on_latency)));
    rows.push_back(row("Air °C", number(st.get(&Settings::temperature_c), 1, 1, on_temperature)));
    rows.push_back(row("Air %RH", number(st.get(&Settings::humidity_pct), 5, 0, on_humidity)));
    rows.push_back(controls_row("UI size", {toggle("Tiny", size == UiSize::Tiny, "", on_tiny),
                                            toggle("Small", size == UiSize::Small, "", on_small),
                                            toggle("Normal", size == UiSize::Normal, "", on_normal)}));
    return card("vt-card", "Readout", std::move(rows));
}

}  // namespace ui::main_window
