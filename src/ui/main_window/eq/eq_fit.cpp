#include "ui/main_window/eq/eq_fit.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "shared-ui/components/slider.h"
#include "shared-ui/components/stepper.h"
#include "shared-ui/icons.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/eq/eq_tab.h"
#include "ui/main_window/measure/seats.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

using engine::eqfit::Band;
using engine::eqfit::Shaping;
using reactive::Element;

namespace {

std::string nothing_to_fit(float lo, float hi) {
    return fmt::format("Nothing confident to fit between {:.0f} and {:.0f} Hz; check the crossover", lo, hi);
}

// The trace's values times the air bands of its zones and, for a zone fit,
// the shared EQ of the source.
Trace prepared(const Trace& t, const Source& source, bool zone_fit) {
    const auto& grid = engine::tf::point_freq();
    const auto& values = t.windowed.empty() ? t.h : t.windowed;
    std::vector<engine::tf::Triple> bins(engine::tf::GRID_POINTS);
    for (std::size_t k = 0; k < bins.size(); ++k) {
        const float f = grid[k];
        engine::tf::Complex v = k < values.size() ? values[k] : engine::tf::Complex{};
        for (const auto& z : source.zones)
            if (z.position == t.position && z.air.on) v *= z.air.band.response(f);
        if (zone_fit) {
            v *= source.shaping.response(f);
            if (source.peq)
                for (const auto& b : source.bands) v *= b.response(f);
        }
        bins[k] = engine::tf::Triple{v.real(), v.imag(), k < t.confidence.size() ? t.confidence[k] : 0.0f};
    }
    return Trace::with_points(t, bins);
}

}  // namespace

std::vector<std::size_t> fit_trace_filter(const std::vector<Trace>& traces, const std::vector<std::string>& positions,
                                          const std::string& source, const std::optional<std::string>& zone_position) {
    std::vector<std::size_t> out;
    for (const auto& p : positions) {
        if (zone_position && p != *zone_position) continue;
        for (std::size_t i = 0; i < traces.size(); ++i) {
            if (traces[i].position == p && traces[i].source == source && traces[i].used) {
                out.push_back(i);
                break;
            }
        }
    }
    return out;
}

std::pair<float, float> fit_range(const Source& source) {
    float lo = 40.0f, hi = 16000.0f;
    if (source.hp.on && !std::isnan(source.hp.hz)) lo = std::max(source.hp.hz, 40.0f);
    if (source.lp.on && !std::isnan(source.lp.hz)) hi = std::min(source.lp.hz, 16000.0f);
    return {lo, hi};
}

void fit_eq(const WindowState& s) {
    const auto& traces = s.traces.peek();
    const std::string name = current_source(s);
    const auto zone = current_zone(s);
    const auto picked =
        fit_trace_filter(traces, positions(traces), name, zone ? std::optional(zone->second) : std::nullopt);
    if (picked.empty()) {
        s.notice.set(fmt::format("No trace of {} to fit", name));
        return;
    }
    const Source source = source_or_new(s, name);
    const auto [lo, hi] = fit_range(source);
    // A crossover with its high-pass above its low-pass (or above 16 kHz)
    // leaves no range to fit in.
    if (!(lo <= hi)) {
        s.notice.set(nothing_to_fit(lo, hi));
        return;
    }

    std::vector<Trace> ready;
    ready.reserve(picked.size());
    for (auto i : picked) ready.push_back(prepared(traces[i], source, zone.has_value()));
    std::vector<const Trace*> ptrs;
    for (const auto& t : ready) ptrs.push_back(&t);
    auto target = engine::eqfit::target(ptrs);

    const std::size_t points = std::min(target.hz.size(), target.weight.size());
    for (std::size_t i = 0; i < points; ++i) {
        const float f = target.hz[i];
        const float g = std::abs(source.hp.response(false, f) * source.lp.response(true, f));
        target.weight[i] *= g * g;
    }

    const float trust = source.reflect_trust;
    if (trust > 0.0f) {
        std::vector<std::vector<float>> smooth;
        for (std::size_t n = 0; n < ready.size(); ++n) {
            const auto r = ui::tf_plot::reflection_db(ready[n].points, traces[picked[n]].arrivals, ready[n].gate);
            std::vector<float> sk(r.size());
            for (std::size_t k = 0; k < r.size(); ++k) {
                const std::size_t a = k >= 2 ? k - 2 : 0, b = std::min(k + 2, r.size() - 1);
                float sum = 0.0f;
                for (std::size_t j = a; j <= b; ++j) sum += r[j];
                const float m = sum / static_cast<float>(b - a + 1);
                sk[k] = limited(1.0f - (std::abs(m) - 1.0f) / 2.0f, 0.0f, 1.0f);
            }
            smooth.push_back(std::move(sk));
        }
        for (std::size_t i = 0; i < points; ++i) {
            float sum = 0.0f;
            std::size_t count = 0;
            for (const auto& sk : smooth)
                if (i < sk.size()) {
                    sum += sk[i];
                    ++count;
                }
            const float a = count ? sum / static_cast<float>(count) : 1.0f;
            target.weight[i] *= 1.0f - trust * (1.0f - a);
        }
    }

    const auto setting = s.settings.peek().target;
    const auto curve = setting == engine::eqfit::Curve::LivePa ? engine::eqfit::Curve::LivePa
                                                               : engine::eqfit::Curve::Flat;
    const float bass = setting ? s.settings.peek().bass_db : 6.0f;
    const float boost = s.max_boost.peek();
    const auto what = s.fit_what.peek();

    std::optional<engine::eqfit::Fit> fit;
    std::size_t n = 1;
    if (!zone) {
        n = std::max<std::size_t>(source.bands.size(), 1);
        const std::vector<Band> start = source.peq ? source.bands : std::vector<Band>{};
        fit = engine::eqfit::fit_leveled(target, n, curve, source.shelves, source.shaping, start, boost, lo, hi, bass,
                                         lo, what);
    } else {
        const auto& z = source.zones[zone->first];
        n = std::max<std::size_t>(z.bands.size(), 1);
        const float floor = limited(source.split_hz, lo, hi);
        fit = engine::eqfit::fit_leveled(target, n, curve, source.shelves,
                                         Shaping::defaults(engine::eqfit::ShapingModel::Galileo), {}, boost, floor,
                                         hi, bass, lo, engine::eqfit::FitWhat{false, false, true});
    }
    if (!fit) {
        s.notice.set(nothing_to_fit(lo, hi));
        return;
    }

    s.notice.set(fmt::format("EQ fit for {}: {:.1f} dB rms down to {:.1f} dB", name, fit->rms_before, fit->rms_after));
    s.fit_curve.set({name, fit->ranges});
    auto bands = fit->bands;
    engine::eqfit::resize_bands(bands, n);
    const bool zone_fit = zone.has_value();
    edit_current_source(s, [&](Source& src) {
        if (what.bands || zone_fit) {
            src.bands = bands;
            src.peq = true;
        }
        if (!zone_fit) src.shaping = fit->shaping;
    });
    set_predicted(s, true);
}

bool fit_enabled(const WindowState& s) {
    if (s.sources().empty()) return false;
    if (current_zone(s)) return true;
    const auto what = s.fit_what();
    if (what.bands) return true;
    return source_or_new(s, current_source(s)).shaping.on && (what.gains || what.knees);
}

void reset_eq_and_shaping(const WindowState& s) {
    edit_current_source(s, [](Source& src) {
        const std::size_t n = src.bands.size();
        src.bands.clear();
        engine::eqfit::resize_bands(src.bands, n);
        nominal_shaping(src.shaping);
    });
}

void toggle_fit_gains(const WindowState& s) { s.fit_what.update([](auto& w) { w.gains = !w.gains; }); }
void toggle_fit_knees(const WindowState& s) { s.fit_what.update([](auto& w) { w.knees = !w.knees; }); }
void toggle_fit_bands(const WindowState& s) { s.fit_what.update([](auto& w) { w.bands = !w.bands; }); }

void step_max_boost(const WindowState& s, double db) { s.max_boost.set(static_cast<float>(limited(db, 0.0, 12.0))); }

void slide_reflect_trust(const WindowState& s, double trust) {
    edit_current_source(s, [&](Source& src) { src.reflect_trust = static_cast<float>(limited(trust, 0.0, 1.0)); });
}

void toggle_reflect_shown(const WindowState& s) {
    edit_current_source(s, [](Source& src) { src.reflect_shown = !src.reflect_shown; });
}

// ---------------------------------------------------------------- the card

Element fit_card() {
    using shared_ui::components::button::ButtonType;
    const auto s = use_window_state();
    const auto shown = source_or_new(s, current_source(s));
    const auto what = s.fit_what();
    const auto move = [&](const char* label, const char* hint, bool on, void (*fn)(const WindowState&)) {
        return kit_button({.toggled = on,
                           .label = label,
                           .hint = hint,
                           .fill = true,
                           .onclick = [s, fn](const reactive::MouseEvent&) { fn(s); }});
    };
    return reactive::div().cls("vt-card vt-fit")(
        card_heading(
            "Fit",
            {kit_button({.button_type = ButtonType::Flat,
                         .label = "Fit",
                         .hint = "Bring this source to the target over 40 Hz..16 kHz on the confidence-weighted "
                                 "average of the chosen positions, moving what the Move row allows: the shaping's "
                                 "gains and knees, then bands on what is left",
                         .disabled = !fit_enabled(s),
                         .onclick = [s](const reactive::MouseEvent&) { fit_eq(s); }}),
             kit_button({.button_type = ButtonType::Flat,
                         .label = "Reset",
                         .hint = "Every band back to 0 dB, off, spread over the range; the shaping flat at the "
                                 "nominal knees, on or off as it is",
                         .onclick = [s](const reactive::MouseEvent&) { reset_eq_and_shaping(s); }})}),
        reactive::component(zone_row, "zone_row"),
        card_row("Move", {move("Gains", "Let Fit move the shaping's gains", what.gains, toggle_fit_gains),
                          move("Knees", "Let Fit move the shaping's knee frequencies", what.knees, toggle_fit_knees),
                          move("PEQ", "Let Fit replace the parametric bands; off keeps them as they are", what.bands,
                               toggle_fit_bands)}),
        card_row("Boost dB",
                 {reactive::component(shared_ui::components::stepper::default_stepper,
                                      shared_ui::components::stepper::StepperProps{
                                          .value = s.max_boost(),
                                          .step = 1,
                                          .onchange = reactive::Callback<double>([s](double v) { step_max_boost(s, v); }),
                                          .decimals = 1},
                                      "default_stepper")}),
        // The slider, then the switch that draws Predicted without them.
        card_row("Reflections",
                 {reactive::component(shared_ui::components::slider::default_slider,
                                      shared_ui::components::slider::default_sliderProps{
                                          .value = shown.reflect_trust,
                                          .min = 0,
                                          .max = 1,
                                          .onchange = reactive::Callback<double>(
                                              [s](double v) { slide_reflect_trust(s, v); })},
                                      "default_slider"),
                  kit_button({.icon = shown.reflect_shown ? shared_ui::icons::PREVIEW
                                                          : shared_ui::icons::TEXT_CUE_VISIBILITY_OFF,
                              .toggled = shown.reflect_shown,
                              .hint = "Draw Predicted without the reflections too, as far as the slider goes",
                              .onclick = [s](const reactive::MouseEvent&) { toggle_reflect_shown(s); }})}));
}

}  // namespace ui::main_window
