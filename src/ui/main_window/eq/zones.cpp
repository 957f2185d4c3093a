#include "ui/main_window/eq/zones.h"
#include "ui/main_window/config/readout_card.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "engine/tuning/air.h"
#include "reactive/root.h"
#include "shared-ui/components/stepper.h"
#include "shared-ui/icons.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/eq/eq_tab.h"
#include "ui/main_window/eq/strips_text.h"

namespace ui::main_window {

using engine::design::Zone;
using engine::eqfit::Band;
using engine::eqfit::BandKind;
using reactive::Element;

namespace {

void change_zone(const WindowState& s, std::size_t i, const std::function<void(Zone&)>& change) {
    current_source_mut(s, [&](Source& src) {
        if (i < src.zones.size()) change(src.zones[i]);
    });
}

bool same_band(const Band& a, const Band& b) {
    return a.hz == b.hz && a.gain_db == b.gain_db && a.q == b.q && a.on == b.on && a.kind == b.kind;
}

}  // namespace

float measured_throw(const Zone& zone, const std::string& source, const std::vector<Trace>& traces,
                     const Settings& settings) {
    if (zone.air.distance_m) return *zone.air.distance_m;
    const auto t = std::find_if(traces.begin(), traces.end(), [&](const Trace& x) {
        return x.source == source && x.position == zone.position && x.used;
    });
    if (t == traces.end()) return 0.0f;
    const float fs = std::max(static_cast<float>(t->fs), 1.0f);
    const float delay_ms = static_cast<float>(t->delay_samples) / fs * 1000.0f;
    const float c = (331.3f + 0.606f * settings.temperature_c) / 1000.0f;
    float late = delay_ms - settings.latency_ms;
    if (std::isnan(late)) late = 0.0f;
    return c * std::max(late, 0.0f);
}

Zone new_zone(std::string position) {
    Zone z;
    z.position = std::move(position);
    z.bands = {Band::default_at(108.576706f), Band::default_at(800.0f), Band::default_at(5894.449f)};
    z.peq = true;
    z.air.on = false;
    z.air.strength_pct = 100.0f;
    z.air.distance_m = std::nullopt;
    z.air.band = engine::air::neutral_band();
    return z;
}

void add_zones_from_positions(const WindowState& s) {
    const std::string name = current_source(s);
    if (name.empty()) return;
    const auto& traces = s.traces.peek();
    std::vector<std::string> candidates;
    for (const auto& p : positions(traces)) {
        if (std::any_of(traces.begin(), traces.end(),
                        [&](const Trace& t) { return t.position == p && t.source == name && t.used; }))
            candidates.push_back(p);
    }
    current_source_mut(s, [&](Source& src) {
        for (const auto& p : candidates) {
            if (std::none_of(src.zones.begin(), src.zones.end(), [&](const Zone& z) { return z.position == p; }))
                src.zones.push_back(new_zone(p));
        }
    });
}

void set_zone_position(const WindowState& s, std::size_t i, const shared_ui::components::dropdown::Choice& choice) {
    change_zone(s, i, [&](Zone& z) { z.position = choice.first; });
}

void remove_zone(const WindowState& s, std::size_t i) {
    s.picked_zone.set(std::nullopt);
    current_source_mut(s, [&](Source& src) {
        if (i < src.zones.size()) src.zones.erase(src.zones.begin() + static_cast<std::ptrdiff_t>(i));
    });
}

void toggle_zone_air(const WindowState& s, std::size_t i) {
    change_zone(s, i, [](Zone& z) { z.air.on = !z.air.on; });
}

void set_zone_air_strength(const WindowState& s, std::size_t i, double pct) {
    change_zone(s, i, [&](Zone& z) { z.air.strength_pct = static_cast<float>(limited(pct, 0.0, 100.0)); });
}

void set_zone_throw(const WindowState& s, std::size_t i, double metres) {
    change_zone(s, i, [&](Zone& z) { z.air.distance_m = static_cast<float>(limited(metres, 0.0, 1000.0)); });
}

void reset_zone_throw(const WindowState& s, std::size_t i) {
    change_zone(s, i, [](Zone& z) { z.air.distance_m = std::nullopt; });
}

void set_split_hz(const WindowState& s, double hz) {
    current_source_mut(s, [&](Source& src) { src.split_hz = limited(static_cast<float>(hz), 40.0f, 16000.0f); });
}

std::string air_band_text(const Band& band, engine::design::QConv q_as) {
    if (!band.on) return "under 1 dB, no band";
    return fmt::format("{} {:.0f} Hz {:+.1f} dB {} {:.2f}", band_kind_code(band.kind), band.hz, band.gain_db,
                       q_header(q_as), q_shown(q_as, band.q));
}

std::size_t compensate_air(const WindowState& s, AirCache& cache) {
    const float temperature = s.settings.get(&Settings::temperature_c);
    const float humidity = s.settings.get(&Settings::humidity_pct);
    (void)s.settings.get(&Settings::latency_ms);
    const Settings settings = s.settings.peek();
    const auto& traces = s.traces();
    const auto& design = s.design();
    if (design.sources.empty()) return 0;

    const auto weather = engine::air::weather(temperature, humidity);
    struct Write {
        std::size_t source, zone;
        Band band;
    };
    std::vector<Write> writes;
    for (std::size_t si = 0; si < design.sources.size(); ++si) {
        const auto& src = design.sources[si];
        for (std::size_t zi = 0; zi < src.zones.size(); ++zi) {
            const auto& zone = src.zones[zi];
            if (!zone.air.on) continue;
            const float d = measured_throw(zone, src.name, traces, settings);
            const std::array<float, 5> inputs{temperature, humidity, d, zone.air.strength_pct,
                                              src.shelves ? 1.0f : 0.0f};
            const auto key = std::pair{src.name, zi};
            if (const auto hit = cache.find(key);
                hit != cache.end() && hit->second.inputs == inputs && same_band(hit->second.band, zone.air.band))
                continue;
            const Band band =
                engine::air::fit_band(engine::air::targets(weather, d, zone.air.strength_pct), src.shelves);
            cache[key] = AirFitted{inputs, band};
            if (!same_band(band, zone.air.band)) writes.push_back({si, zi, band});
        }
    }
    if (writes.empty()) return 0;
    s.design.update([&](engine::design::Design& d) {
        for (const auto& w : writes) d.sources[w.source].zones[w.zone].air.band = w.band;
    });
    return writes.size();
}

void zone_air_compensation(const WindowState& s) {
    auto cache = reactive::use_hook<std::shared_ptr<AirCache>>([] { return std::make_shared<AirCache>(); });
    reactive::use_effect([s, cache] { (void)compensate_air(s, *cache); });
}

// ---------------------------------------------------------------- the card

namespace {

using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::dropdown::Choice;
using shared_ui::components::dropdown::DropdownProps;
using shared_ui::components::stepper::StepperProps;

Element stepper(double value, double step, std::size_t decimals, bool disabled, std::function<void(double)> fn) {
    return reactive::component(shared_ui::components::stepper::default_stepper,
                               StepperProps{.value = value,
                                            .step = step,
                                            .disabled = disabled,
                                            .onchange = reactive::Callback<double>(std::move(fn)),
                                            .decimals = decimals},
                               "default_stepper");
}

Element zone_block(const WindowState& s, const Zone& z, std::size_t i, float throw_m,
                   const std::vector<Choice>& options, engine::design::QConv q_as) {
    const bool air = z.air.on;
    std::vector<Element> rows;
    rows.push_back(reactive::div().cls("row")(
        reactive::component(shared_ui::components::dropdown::dropdown,
                            DropdownProps{.options = options,
                                          .fill = true,
                                          .value = z.position,
                                          .onchange = reactive::Callback<Choice>(
                                              [s, i](Choice c) { set_zone_position(s, i, c); })},
                            "dropdown"),
        kit_button({.button_type = ButtonType::Flat,
                    .icon = shared_ui::icons::DELETE,
                    .hint = "Remove this zone and its bands",
                    .onclick = [s, i](const reactive::MouseEvent&) { remove_zone(s, i); }})));
    rows.push_back(card_row(
        "Air %",
        {kit_button({.toggled = air,
                     .label = "Air",
                     .hint = "Give this zone back what the air absorbs over its throw, with one band fitted for the "
                             "temperature and humidity in Config. Both fits work on what it leaves, so new weather "
                             "moves the band alone",
                     .onclick = [s, i](const reactive::MouseEvent&) { toggle_zone_air(s, i); }}),
         stepper(z.air.strength_pct, 10, 0, !air, [s, i](double v) { set_zone_air_strength(s, i, v); })}));
    rows.push_back(card_row(
        "Throw m", {stepper(throw_m, 1, 1, !air, [s, i](double v) { set_zone_throw(s, i, v); }),
                    kit_button({.toggled = !z.air.distance_m.has_value(),
                                .label = "Auto",
                                .hint = "The throw from the measured delay of this zone's used trace, less the rig's "
                                        "latency",
                                .disabled = !air,
                                .onclick = [s, i](const reactive::MouseEvent&) { reset_zone_throw(s, i); }})}));
    if (air)
        rows.push_back(card_row("Air band", {reactive::span().cls("count")(air_band_text(z.air.band, q_as))}));
    return reactive::div().cls("vt-zone").key("zone-" + std::to_string(i))(std::move(rows));
}

}  // namespace

Element zones_card() {
    const auto s = use_window_state();
    const auto shown = source_or_new(s, current_source(s));
    const auto& traces = s.traces();
    const Settings& settings = s.settings();
    const bool no_sources = s.sources().empty();

    std::vector<Element> children;
    children.push_back(card_heading(
        "Zones", {kit_button({.button_type = ButtonType::Flat,
                              .label = "From positions",
                              .hint = "One zone per position this source has a used trace at. Pick a zone in the Fit "
                                      "card: its Fit places bands from Split Hz up, on top of the shared ones. Split "
                                      "at the bottom with the shared EQ off designs the zones on their own",
                              .disabled = no_sources,
                              .onclick = [s](const reactive::MouseEvent&) { add_zones_from_positions(s); }})}));
    std::vector<Choice> options;
    for (const auto& p : positions(traces)) options.emplace_back(p, p);
    for (std::size_t i = 0; i < shown.zones.size(); ++i) {
        const auto& z = shown.zones[i];
        children.push_back(
            zone_block(s, z, i, measured_throw(z, shown.name, traces, settings), options, shown.q_as));
    }
    // What all zones share, under them.
    if (!shown.zones.empty()) {
        children.push_back(
            card_row("Split Hz", {stepper(shown.split_hz, 100, 0, false, [s](double v) { set_split_hz(s, v); })}));
        children.push_back(card_row("Air °C", {stepper(settings.temperature_c, 1, 1, false,
                                                       [s](double v) { set_air_temperature(s, v); })}));
        children.push_back(card_row(
            "Air %RH", {stepper(settings.humidity_pct, 5, 0, false, [s](double v) { set_air_humidity(s, v); })}));
    }
    return reactive::div().cls("vt-card vt-zones")(std::move(children));
}

}  // namespace ui::main_window
