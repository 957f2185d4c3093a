// Path builders: curves to SVG path data, smoothing, the reference level and
// the readout lists of the transfer view and the spectrum.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <compare>
#include <iterator>

#include <fmt/format.h>

#include "base/float_text.h"
#include "ui/tf_plot/internal/skeleton.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

float x_of_hz(float hz) { return std::log(hz / 20.0f) / LN_1000 * 1000.0f; }
float mag_y(float db, float ref) { return std::clamp(1.0f - (db - ref + 20.0f) / 40.0f, 0.0f, 1.0f) * 1000.0f; }
float phase_y(float deg) { return std::clamp(1.0f - (deg + 180.0f) / 360.0f, 0.0f, 1.0f) * 1000.0f; }
float conf_y(float conf) { return (1.0f - std::clamp(conf, 0.0f, 1.0f)) * 1000.0f; }

std::string num(float v) {
    if (!std::isfinite(v)) return "0";  // no attribute or style takes it
    std::string s = base::shortest(v == 0.0f ? 0.0f : v);
    if (s.ends_with(".0")) s.resize(s.size() - 2);
    return s;
}

std::string hz_label(float hz) { return hz < 1000.0f ? num(hz) : num(hz / 1000.0f) + "k"; }

float YRule::operator()(const Point& p) const {
    switch (kind) {
    case Mag: return mag_y(p.db, ref);
    case Phase: return phase_y(p.deg);
    case Rta: return std::clamp((top - p.db) / range, 0.0f, 1.0f) * 1000.0f;
    }
    return 0.0f;
}

namespace {

using internal::whole;

// Number text appended in place: these run once per point of every curve on
// each pass, so they avoid a temporary string per number.
void put_int(std::string& out, long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Fixed decimals, correctly rounded from the float's exact value.
void put_fixed(std::string& out, float v, int places) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, places);
    if (r.ec == std::errc{}) out.append(buf, r.ptr);
    else fmt::format_to(std::back_inserter(out), "{:.{}f}", v, places);
}

// A readout number: fixed decimals, and no minus sign on a value that
// prints as zero ("0", not "-0").
void put_readout(std::string& out, float v, int places) {
    const std::size_t start = out.size();
    put_fixed(out, v, places);
    if (out.size() > start && out[start] == '-' &&
        out.find_first_not_of("0.", start + 1) == std::string::npos)
        out.erase(start, 1);
}

void put_xy(std::string& out, char cmd, float x, float y) {
    out.push_back(cmd);
    put_int(out, whole(x));
    out.push_back(' ');
    put_int(out, whole(y));
}

// Fixed decimals (ties to even on the printed value).
std::string dec(float v, int places) { return fmt::format("{:.{}f}", v, places); }

// Σ conf·db / Σ conf over the points whose conf reaches `gate`; 0 when the
// weights sum to nothing.
float weighted_mean(const std::vector<Point>& pts, float gate) {
    float num = 0.0f, den = 0.0f;
    for (const Point& p : pts) {
        if (!(p.conf >= gate)) continue;
        num += p.conf * p.db;
        den += p.conf;
    }
    return den > 0.0f ? num / den : 0.0f;
}

// The loudest arrival: the highest db, the later one on a tie.
std::optional<std::size_t> loudest(const std::vector<Arrival>& arrivals) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < arrivals.size(); ++i)
        if (!best || arrivals[i].db >= arrivals[*best].db) best = i;
    return best;
}

std::vector<Point> smoothed(const std::optional<std::vector<Point>>& pts, std::uint8_t n) {
    return pts ? smooth(*pts, n) : std::vector<Point>{};
}

}  // namespace

std::string curve_path(const std::vector<Point>& pts, YRule y_of, float threshold) {
    std::string out;
    out.reserve(pts.size() * 10);
    std::size_t run = 0;
    float last_y = 0.0f;
    for (const Point& p : pts) {
        const float x = x_of_hz(p.hz);
        const float y = y_of(p);
        const bool drawn = !(p.conf < threshold) && std::isfinite(y) && std::isfinite(x);
        if (drawn && run > 0 && y_of.kind == YRule::Phase && std::fabs(y - last_y) > 500.0f) {
            if (run == 1) out += "h2";
            run = 0;
        }
        if (!drawn) {
            if (run == 1) out += "h2";
            run = 0;
            continue;
        }
        put_xy(out, run == 0 ? 'M' : 'L', x, y);
        ++run;
        last_y = y;
    }
    if (run == 1) out += "h2";
    return out;
}

namespace {

// Half the width of a 1/N-octave window, in points of the list (at least 1).
long long half_width(const std::vector<Point>& pts, std::uint8_t n) {
    const float s = std::log2(pts.back().hz / pts.front().hz) / static_cast<float>(pts.size() - 1);
    const long long r = base::saturating_round<long long>(0.5f / static_cast<float>(n) / s);
    return std::min(std::max(r, 1LL), static_cast<long long>(pts.size()));
}

}  // namespace

std::vector<Point> smooth(const std::vector<Point>& pts, std::uint8_t n) {
    if (n == 0 || pts.size() < 3) return pts;
    const long long count = static_cast<long long>(pts.size());
    const long long b = half_width(pts, n);
    std::vector<Point> out = pts;
    for (long long j = 0; j < count; ++j) {
        float num = 0.0f, den = 0.0f;
        for (long long k = std::max(j - b, 0LL); k <= std::min(j + b, count - 1); ++k) {
            num += pts[k].conf * pts[k].db;
            den += pts[k].conf;
        }
        if (den > 0.0f) out[j].db = num / den;
    }
    return out;
}

std::vector<Point> rta_bands(const std::vector<Point>& pts, std::uint8_t n) {
    if (n == 0 || pts.size() < 3) return pts;
    const long long count = static_cast<long long>(pts.size());
    const long long b = half_width(pts, n);
    std::vector<double> powers(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const double p = std::pow(10.0, static_cast<double>(pts[i].db) / 10.0);
        powers[i] = std::isfinite(p) ? p : 0.0;
    }
    std::vector<Point> out = pts;
    for (long long j = 0; j < count; ++j) {
        // Band powers summed over 2b points: the two outermost count half.
        double power = 0.0;
        for (long long k = std::max(j - b, 0LL); k <= std::min(j + b, count - 1); ++k)
            power += (k == j - b || k == j + b) ? 0.5 * powers[k] : powers[k];
        if (power > 0.0) out[j].db = static_cast<float>(10.0 * std::log10(power));
    }
    return out;
}

float mag_offset_to(const std::vector<Point>& curve, const std::vector<Point>* target, float gate, float lo,
                    float hi) {
    std::vector<std::pair<float, float>> pairs;  // (difference, weight)
    float total = 0.0f;
    for (std::size_t i = 0; i < curve.size(); ++i) {
        const Point& p = curve[i];
        if (!(p.conf >= gate) || !(lo <= p.hz && p.hz <= hi)) continue;
        const float t = target && i < target->size() && i < 240 ? (*target)[i].db : 0.0f;
        pairs.emplace_back(p.db - t, p.conf);
        total += p.conf;
    }
    if (!(total > 0.0f)) return weighted_mean(curve, gate);
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return std::is_lt(std::strong_order(a.first, b.first)); });
    const float half = total * 0.5f;
    float run = 0.0f;
    for (const auto& [d, w] : pairs) {
        run += w;
        if (run >= half) return d;
    }
    return pairs.back().first;
}

std::vector<PlotUpdate> rta_paths(const std::optional<Spectrum>& spectrum, const std::vector<Point>* peak) {
    std::vector<PlotUpdate> out;
    if (!spectrum) {
        out.push_back({"tf-rta", ATTR_D, ""});
        out.push_back({"tf-rta-peak", ATTR_D, ""});
        out.push_back({"tf-plot", ATTR_RTA, ""});
        return out;
    }
    const YRule rule{.kind = YRule::Rta, .top = spectrum->top, .range = spectrum->range};
    out.push_back({"tf-rta", ATTR_D, curve_path(spectrum->points, rule, 0.0f)});
    out.push_back({"tf-rta-peak", ATTR_D, peak ? curve_path(*peak, rule, 0.0f) : std::string()});
    std::string list;
    list.reserve(spectrum->points.size() * 11);
    for (std::size_t i = 0; i < spectrum->points.size(); ++i) {
        const Point& p = spectrum->points[i];
        if (i) list += ';';
        put_readout(list, p.db, 1);
        list += ',';
        put_fixed(list, rule(p), 0);
    }
    out.push_back({"tf-plot", ATTR_RTA, std::move(list)});
    return out;
}

Paths build_paths(const PathInputs& in) {
    const std::uint8_t n = in.smoothing;
    // 1. Arrival times relative to the loudest.
    std::vector<Arrival> rel = in.arrivals;
    if (auto l = loudest(in.arrivals))
        for (auto& a : rel) a.ms = a.ms - in.arrivals[*l].ms;
    bool any_later = false;
    for (const auto& a : rel) any_later = any_later || a.ms > 0.0f;

    // 2. Smoothing.
    const std::vector<Point> live_s = smooth(in.live, n);
    const std::vector<Point> acc_s = smoothed(in.accumulated, n);
    std::vector<StoredCurve> stored;
    stored.reserve(in.stored.size());
    for (const auto& c : in.stored) stored.push_back({smooth(c.points, n), c.n, c.gate});
    const std::optional<std::vector<Point>> sum_s =
        in.sum ? std::optional(smooth(*in.sum, n)) : std::nullopt;

    // 3. The main curve and its threshold.
    const bool use_acc = in.accumulated && !in.accumulated->empty();
    const std::vector<Point>& main = use_acc ? acc_s : live_s;
    const std::vector<Point>& raw = use_acc ? *in.accumulated : in.live;
    const float t = use_acc ? 0.01f : in.threshold;

    // 4. Reflections.
    const std::vector<Point>& source = in.reflect_source ? in.reflect_source->first : raw;
    const float gate = in.reflect_source ? in.reflect_source->second : t;
    const Reflections refl = reflections_out(source, rel, gate);

    // 5. The main curve with its reflections taken out.
    std::vector<Point> clean_raw;
    const std::size_t nc = std::min({raw.size(), refl.clean.size(), source.size()});
    clean_raw.reserve(nc);
    for (std::size_t i = 0; i < nc; ++i) {
        Point p = raw[i];
        p.db = raw[i].db + refl.clean[i].db - source[i].db;
        clean_raw.push_back(p);
    }
    const std::vector<Point> clean_s = smooth(clean_raw, n);

    // 6. The displayed curve, drawn toward the clean one by clean_mix.
    std::vector<Point> display;
    if (in.clean_mix > 0.0f) {
        const std::size_t nd = std::min(main.size(), clean_s.size());
        display.reserve(nd);
        for (std::size_t i = 0; i < nd; ++i) {
            Point p = main[i];
            p.db = main[i].db + in.clean_mix * (clean_s[i].db - main[i].db);
            display.push_back(p);
        }
    } else {
        display = main;
    }

    // 7. Where a reflection ripple is strong.
    std::vector<Point> marked = display;
    for (std::size_t i = 0; i < marked.size(); ++i) {
        bool strong = false;
        for (const auto& list : refl.per_arrival)
            if (i < list.size() && list[i].first >= 2.0f) strong = true;
        if (!strong) marked[i].conf = 0.0f;
    }

    // 8. The main curve with the hovered arrival taken out.
    std::optional<std::vector<Point>> hover;
    if (in.hovered && *in.hovered < refl.per_arrival.size() && *in.hovered < rel.size() &&
        rel[*in.hovered].ms > 0.0f) {
        const std::size_t h = *in.hovered;
        const float tau = rel[h].ms / 1000.0f;
        const Ripple& rip = refl.per_arrival[h];
        std::vector<Point> c;
        const std::size_t nh = std::min(rip.size(), raw.size());
        c.reserve(nh);
        for (std::size_t i = 0; i < nh; ++i) {
            Point p = raw[i];
            p.db = raw[i].db - ripple_db(rip[i].first, rip[i].second, raw[i].hz, tau);
            c.push_back(p);
        }
        c = smooth(c, n);
        for (std::size_t i = 0; i < c.size(); ++i)
            if (rip[i].first < 2.0f) c[i].conf = 0.0f;
        hover = std::move(c);
    }

    // 9. The reference level.
    float ref = 0.0f;
    if (in.fixed_ref) ref = in.fixed_ref_db;
    else if (!display.empty()) ref = weighted_mean(display, t);
    else if (sum_s && !sum_s->empty()) ref = weighted_mean(*sum_s, 0.3f);
    else if (!stored.empty()) ref = weighted_mean(stored.front().points, stored.front().gate);
    if (!in.fixed_ref && in.steady_ref && std::fabs(ref - *in.steady_ref) <= STEADY_REF_DB) ref = *in.steady_ref;

    // 10. The updates.
    Paths out;
    out.ref_db = ref;
    auto& u = out.updates;
    u.reserve(32 + 2 * stored.size() + in.crossovers.size());
    const YRule mag{.kind = YRule::Mag, .ref = ref};
    const YRule mag0{.kind = YRule::Mag, .ref = 0.0f};
    const YRule phase{.kind = YRule::Phase};
    for (const auto& c : stored) {
        u.push_back({fmt::format("tf-stored-mag-{}", c.n), ATTR_D, curve_path(c.points, mag, c.gate)});
        u.push_back({fmt::format("tf-stored-phase-{}", c.n), ATTR_D, curve_path(c.points, phase, c.gate)});
    }
    u.push_back({"tf-mag-dim", ATTR_D, curve_path(live_s, mag, 0.0f)});
    u.push_back({"tf-mag", ATTR_D, curve_path(display, mag, t)});
    u.push_back({"tf-phase-dim", ATTR_D, curve_path(live_s, phase, 0.0f)});
    u.push_back({"tf-phase", ATTR_D, curve_path(display, phase, t)});
    u.push_back({"tf-mag-reflect", ATTR_D, hover ? std::string() : curve_path(marked, mag, t)});
    u.push_back({"tf-mag-clean", ATTR_D, hover || !any_later ? std::string() : curve_path(clean_s, mag, t)});
    u.push_back({"tf-comb", ATTR_D, hover ? curve_path(*hover, mag, t) : std::string()});

    std::string coh = "M0 1000";
    coh.reserve(live_s.size() * 10 + 20);
    for (const Point& p : live_s) {
        const float x = x_of_hz(p.hz), y = conf_y(p.conf);
        if (std::isfinite(x) && std::isfinite(y)) put_xy(coh, 'L', x, y);
    }
    coh += "L1000 1000Z";
    u.push_back({"tf-coh", ATTR_D, std::move(coh)});

    std::string ir = "M0 1000";
    ir.reserve(in.ir.size() * 10 + 20);
    const float span = static_cast<float>(std::max<std::size_t>(in.ir.size(), 2) - 1);
    for (std::size_t i = 0; i < in.ir.size(); ++i) {
        const float x = static_cast<float>(i) / span * 1000.0f;
        const float y = std::clamp(in.ir[i] / -60.0f, 0.0f, 1.0f) * 1000.0f;
        if (std::isfinite(y)) put_xy(ir, 'L', x, y);
    }
    ir += "L1000 1000Z";
    u.push_back({"tf-ir", ATTR_D, std::move(ir)});

    u.push_back({"tf-sum", ATTR_D, sum_s ? curve_path(*sum_s, mag, 0.3f) : std::string()});
    u.push_back({"tf-avg", ATTR_D, in.average ? curve_path(smooth(*in.average, n), mag, 0.3f) : std::string()});
    u.push_back({"tf-eq-curve", ATTR_D, in.eq_curve ? curve_path(*in.eq_curve, mag0, 0.0f) : std::string()});
    u.push_back({"tf-target", ATTR_D,
                 in.target ? curve_path(std::vector<Point>(in.target->begin(), in.target->end()), mag0, 0.0f)
                           : std::string()});
    for (const auto& [k, pts] : in.crossovers)
        u.push_back({fmt::format("tf-xover-{}", k), ATTR_D, curve_path(pts, mag0, 0.0f)});

    std::optional<Spectrum> spectrum;
    if (in.rta) spectrum = Spectrum{in.rta->first, in.rta->second, 100.0f};
    for (auto& r : rta_paths(spectrum, nullptr)) u.push_back(std::move(r));

    for (std::size_t i = 0; i < 10; ++i)
        u.push_back({fmt::format("tf-fill-{}", i), ATTR_STYLE, "--fill: " + dec(in.octave_conf[i], 2)});

    // The readout list.
    std::string pts;
    auto entry = [&](const Point& p, float conf) {
        if (!std::isfinite(p.db)) return;
        put_readout(pts, p.db - ref, 1);
        pts += ',';
        put_readout(pts, p.deg, 0);
        pts += ',';
        put_readout(pts, conf, 2);
        pts += ',';
        put_fixed(pts, mag(p), 0);
        pts += ',';
        put_fixed(pts, phase_y(p.deg), 0);
        pts += ',';
        put_fixed(pts, conf_y(p.conf), 0);
    };
    if (!display.empty()) {
        pts.reserve(display.size() * 24);
        const bool live_conf = display.size() == live_s.size();
        for (std::size_t i = 0; i < display.size(); ++i) {
            if (i) pts += ';';
            Point p = display[i];
            if (live_conf) p.conf = live_s[i].conf;
            entry(p, p.conf);
        }
    } else if (!stored.empty()) {
        const std::size_t count = stored.front().points.size();
        for (std::size_t i = 0; i < count; ++i) {
            if (i) pts += ';';
            const Point* best = nullptr;
            for (const auto& c : stored) {
                if (i >= c.points.size() || !(c.points[i].conf >= c.gate)) continue;
                if (!best || c.points[i].db >= best->db) best = &c.points[i];
            }
            if (best) entry(*best, best->conf);
        }
    }
    u.push_back({"tf-plot", ATTR_PTS, std::move(pts)});

    std::string irs;
    irs.reserve(in.ir.size() * 4);
    for (std::size_t i = 0; i < in.ir.size(); ++i) {
        if (i) irs += ',';
        put_int(irs, whole(in.ir[i]));
    }
    u.push_back({"tf-plot", ATTR_IR, std::move(irs)});
    return out;
}

}  // namespace ui::tf_plot
