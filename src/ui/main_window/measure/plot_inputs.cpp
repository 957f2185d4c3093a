#include "ui/main_window/measure/plot_inputs.h"

#include <algorithm>
#include <cmath>

#include "ui/main_window/core/design_edit.h"

namespace ui::main_window {

using engine::design::Design;
using engine::design::Source;
using engine::tf::Complex;
using engine::tf::Point;
using engine::tf::Triple;

namespace {

Source strip_of(const Design& design, const std::string& name) {
    for (const auto& src : design.sources)
        if (src.name == name) return src;
    return Source::make(name);
}

Complex crossover_at(const Source& src, float f) { return src.hp.response(false, f) * src.lp.response(true, f); }

std::vector<Point> crossover_points(const Source& src) {
    const auto& grid = engine::tf::point_freq();
    std::vector<Triple> bins(240);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const Complex v = crossover_at(src, grid[i]);
        bins[i] = Triple{v.real(), v.imag(), 1.0f};
    }
    return engine::tf::points_of(bins);
}

// The first ticked trace of `source` at `position`.
const Trace* reference_trace(const std::vector<Trace>& traces, const std::string& position, const std::string& source) {
    for (const auto& t : traces)
        if (t.position == position && t.source == source && t.used) return &t;
    return nullptr;
}

}  // namespace

Complex value_at(const Trace& t, std::size_t i) {
    if (!t.windowed.empty()) return i < t.windowed.size() ? t.windowed[i] : Complex{};
    return i < t.h.size() ? t.h[i] : Complex{};
}

std::optional<Trace> predicted_curve(const PredictedContext& c, std::size_t index, bool clear_unmeasured,
                                     bool with_eq) {
    if (index >= c.traces.size()) return std::nullopt;
    const Trace& t = c.traces[index];
    std::vector<std::string> names{t.source};
    for (const auto& n : c.summed_sources)
        if (n != t.source) names.push_back(n);

    std::vector<Source> strips;
    std::vector<std::pair<std::size_t, std::size_t>> contributing;  // (strip, trace index)
    std::vector<std::size_t> unmeasured;                            // strips
    strips.reserve(names.size());
    for (std::size_t n = 0; n < names.size(); ++n) {
        strips.push_back(strip_of(c.design, names[n]));
        if (n == 0) {
            contributing.emplace_back(n, index);
            continue;
        }
        std::optional<std::size_t> k;
        for (std::size_t i = 0; i < c.traces.size() && !k; ++i) {
            const auto& x = c.traces[i];
            if (x.used && x.position == t.position && x.source == names[n]) k = i;
        }
        if (k) contributing.emplace_back(n, *k);
        else unmeasured.push_back(n);
    }

    std::vector<Trace> copies;
    copies.reserve(contributing.size());
    for (const auto& [n, k] : contributing) {
        const Trace& x = c.traces[k];
        const Source& strip = strips[n];
        const bool reflect = strip.reflect_shown && strip.reflect_trust > 0.0f && k < c.reflections.size();
        std::vector<Triple> bins(240);
        for (std::size_t l = 0; l < bins.size(); ++l) {
            Complex v = value_at(x, l);
            if (reflect && l < c.reflections[k].size())
                v *= std::pow(10.0f, strip.reflect_trust * c.reflections[k][l] / 20.0f);
            bins[l] = Triple{v.real(), v.imag(), l < x.confidence.size() ? x.confidence[l] : 0.0f};
        }
        copies.push_back(Trace::with_points(x, bins));
    }
    std::vector<std::pair<const Source*, const Trace*>> pairs;
    for (std::size_t i = 0; i < contributing.size(); ++i) pairs.emplace_back(&strips[contributing[i].first], &copies[i]);
    auto sum = engine::design::sum_of(pairs, with_eq);
    if (!sum) return std::nullopt;
    if (!clear_unmeasured || unmeasured.empty()) return sum;

    std::vector<Triple> bins(sum->points.size());
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const float f = sum->points[i].hz;
        const Complex v = value_at(*sum, i);
        float conf = i < sum->confidence.size() ? sum->confidence[i] : 0.0f;
        for (const auto n : unmeasured)
            if (std::abs(crossover_at(strips[n], f)) > 0.1f) conf = 0.0f;
        bins[i] = Triple{v.real(), v.imag(), conf};
    }
    return Trace::with_points(*sum, bins);
}

std::vector<Point> average_of(std::span<const Trace* const> traces, float offset_db) {
    if (traces.empty()) return {};
    const auto t = engine::eqfit::target(traces);
    std::vector<Point> out(t.hz.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = Point{t.hz[i], offset_db + t.db[i], 0.0f, t.weight[i] > 0.0f ? 1.0f : 0.0f};
    return out;
}

std::vector<std::size_t> at_position(const std::vector<Trace>& traces, const std::string& position) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < traces.size(); ++i)
        if (traces[i].position == position) out.push_back(i);
    return out;
}

std::optional<std::array<Point, 240>> target_curve(const Settings& settings) {
    if (!settings.target) return std::nullopt;
    const engine::eqfit::House house{*settings.target, settings.bass_db};
    const auto& grid = engine::tf::point_freq();
    std::array<Point, 240> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = Point{grid[i], house.db_at(grid[i]), 0.0f, 1.0f};
    return out;
}

ui::tf_plot::PathInputs plot_inputs(const WindowState& s, bool analyzer, const engine::analyzer::Snapshot* shown,
                                    const std::optional<Seats>& seats,
                                    const std::vector<std::vector<float>>& reflections) {
    const auto& settings = s.settings();
    const auto& traces = s.traces();
    const auto& design = s.design();
    const std::string& position = s.position();
    const bool show_predicted = s.show_predicted();
    const bool predicted_mode = !analyzer && show_predicted;
    const std::size_t tab = s.right_tab();
    const auto viewed = s.viewed_trace();
    const std::string source = current_source(s);
    const Source strip = strip_of(design, source);

    ui::tf_plot::PathInputs in;
    if (shown) {
        in.live = shown->points;
        if (shown->accumulate) in.accumulated = shown->accumulated;
        in.octave_conf = shown->octave_conf;
        in.ir = shown->ir;
        in.threshold = shown->gate;
    } else {
        in.threshold = settings.coherence_threshold;
    }

    // Stored curves: the viewed trace is the main curve only with no
    // analyzer and Predicted off.
    const auto excluded = (!analyzer && !show_predicted) ? viewed : std::nullopt;
    for (auto& c : stored_curves(traces, position, excluded, seats))
        in.stored.push_back(ui::tf_plot::StoredCurve{std::move(c.points), c.index, c.gate});

    // The predicted or aligned sum.
    if (!seats) {
        if (!show_predicted)
            if (const auto& a = s.alignment()) in.sum = a->points;
    } else if (predicted_mode) {
        const PredictedContext ctx{traces, design, reflections, s.summed_sources()};
        const auto picked = s.picked_seat();
        const auto entry = picked ? std::find_if(seats->seats.begin(), seats->seats.end(),
                                                 [&](const Seat& x) { return x.position == *picked; })
                                  : seats->seats.end();
        if (entry != seats->seats.end()) {
            if (auto p = predicted_curve(ctx, entry->trace, false, true); p && !p->points.empty()) {
                for (auto& pt : p->points) pt.db = seats->picked_db + (pt.db - entry->db);
                in.sum = std::move(p->points);
            }
        } else {
            std::vector<Trace> plain, eq;
            for (const auto& seat : seats->seats) {
                if (!seat.ticked) continue;
                auto a = predicted_curve(ctx, seat.trace, true, false);
                auto b = predicted_curve(ctx, seat.trace, true, true);
                if (!a || !b) continue;
                plain.push_back(std::move(*a));
                eq.push_back(std::move(*b));
            }
            std::vector<const Trace*> refs;
            for (const auto& t : plain) refs.push_back(&t);
            auto sum = average_of(refs, seats->picked_db);
            std::vector<float> d;
            for (std::size_t j = 0; j < sum.size(); ++j) {
                d.clear();
                for (std::size_t k = 0; k < plain.size(); ++k) {
                    if (j >= plain[k].points.size() || j >= eq[k].points.size()) continue;
                    if (!(plain[k].points[j].conf > 0.0f)) continue;
                    const float diff = eq[k].points[j].db - plain[k].points[j].db;
                    if (std::isfinite(diff)) d.push_back(diff);
                }
                if (d.empty()) continue;
                std::sort(d.begin(), d.end());
                const std::size_t n = d.size();
                sum[j].db += 0.5f * (d[(n - 1) / 2] + d[n / 2]);
            }
            if (!sum.empty()) in.sum = std::move(sum);
        }
    }

    if (seats && s.show_average()) in.average = seats->average;

    const auto target = target_curve(settings);
    in.target = target;

    // EQ curve and crossovers: only while no analyzer runs.
    if (!analyzer && tab == 2) {
        const auto zone = current_zone(s);
        const std::string zone_pos = zone ? zone->second : std::string();
        const auto& grid = engine::tf::point_freq();
        std::vector<Triple> bins(240);
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const Complex v = strip.eq_at(zone_pos, grid[i]);
            bins[i] = Triple{v.real(), v.imag(), 1.0f};
        }
        in.eq_curve = engine::tf::points_of(bins);
    }
    for (std::size_t i = 0; i < design.sources.size(); ++i) {
        const auto& src = design.sources[i];
        const bool drawn = !analyzer && tab != 0 && (src.hp.on || src.lp.on) && (tab != 2 || src.name == source);
        in.crossovers.emplace_back(i, drawn ? crossover_points(src) : std::vector<Point>{});
    }

    // The fixed drawing level.
    if (const auto lock = s.level_lock()) {
        in.fixed_ref = true;
        in.fixed_ref_db = lock->first - lock->second;
    } else {
        const Trace* ref = nullptr;
        if (viewed && *viewed < traces.size() && traces[*viewed].position == position) ref = &traces[*viewed];
        else if (predicted_mode) ref = reference_trace(traces, position, source);
        if (ref) {
            const Source band = strip_of(design, ref->source);
            const float lo = band.hp.on ? std::max(band.hp.hz, 40.0f) : 40.0f;
            const float hi = band.lp.on ? std::min(band.lp.hz, 16000.0f) : 16000.0f;
            std::vector<Point> tgt;
            if (target) tgt.assign(target->begin(), target->end());
            in.fixed_ref = true;
            in.fixed_ref_db = ui::tf_plot::mag_offset_to(ref->points, target ? &tgt : nullptr, ref->gate, lo, hi);
        }
    }

    in.smoothing = settings.smoothing;

    if (settings.show_rta && shown) {
        const float off = settings.spl_offset_db;
        auto pts = shown->spectrum;
        for (auto& p : pts) p.db += off;
        const float top = off == 0.0f ? 0.0f : std::ceil(off / 10.0f) * 10.0f;
        in.rta = std::pair{std::move(pts), top};
    }

    // The reflection reference and the arrivals.
    const Trace* reflect_ref = nullptr;
    if (tab == 2 && !seats && predicted_mode) reflect_ref = reference_trace(traces, position, source);
    if (reflect_ref) in.reflect_source = std::pair{reflect_ref->points, reflect_ref->gate};
    if (!predicted_mode) {
        if (shown) in.arrivals = shown->arrivals;
        in.hovered = s.hovered_arrival();
    } else if (reflect_ref) {
        in.arrivals = reflect_ref->arrivals;
    }
    in.clean_mix = (reflect_ref && strip.reflect_shown) ? strip.reflect_trust : 0.0f;
    return in;
}

}  // namespace ui::main_window
