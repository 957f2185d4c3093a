// The design model, crossover filter responses, the EQ of a source at a seat,
// traces through strips and the predicted sum.
#include "engine/tuning/design.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <memory>

#include "engine/core/tf.h"
#include "engine/core/trace.h"
#include "engine/tuning/internal/tuning_detail.h"

namespace engine::design {

using tuning_detail::butter_pole;
using tuning_detail::cabs;
using tuning_detail::cdiv;
using tuning_detail::cis;
using tuning_detail::cmul;
using tuning_detail::conf_at;
using tuning_detail::cscale;
using tuning_detail::value_at;

namespace {

// Four grid points side by side.
typedef float Lanes __attribute__((vector_size(16)));

template <class T>
T splat(float v);
template <>
float splat<float>(float v) {
    return v;
}
template <>
Lanes splat<Lanes>(float v) {
    return Lanes{v, v, v, v};
}

// A complex value or four of them, with the arithmetic of tuning_detail's
// cmul, cdiv and cscale, so both forms give the same bits.
template <class T>
struct Cx {
    T re;
    T im;
};
template <class T>
Cx<T> one() {
    return {splat<T>(1.0f), splat<T>(0.0f)};
}
template <class T>
Cx<T> mul(Cx<T> a, Cx<T> b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
template <class T>
Cx<T> div(Cx<T> a, Cx<T> b) {
    const T c = b.re;
    const T d = b.im;
    const T den = c * c + d * d;
    return {(a.re * c + a.im * d) / den, (a.im * c - a.re * d) / den};
}
template <class T>
Cx<T> scale(T g, Cx<T> a) {
    return {g * a.re, g * a.im};
}

// Frequencies are held within +-1e18: far beyond every corner, where each
// section's response is already below 1e-18, and small enough that the squared
// magnitudes below stay finite (an infinite one would turn 0/0 into NaN).
constexpr float FAR = 1e18f;
template <class T>
T hold(T v);
template <>
float hold<float>(float v) {
    return std::fmin(std::fmax(v, -FAR), FAR);
}
template <>
Lanes hold<Lanes>(Lanes v) {
    const Lanes hi = splat<Lanes>(FAR);
    const Lanes lo = splat<Lanes>(-FAR);
    v = v > hi ? hi : v;
    return v < lo ? lo : v;
}

// Product over the Butterworth poles of order n of 1 / (j w - p_k), one
// reciprocal per pole: far in the stop band the product only becomes small
// (or underflows to 0), where the reciprocal of the product of the factors
// would overflow to infinity and give NaN.
template <class T>
Cx<T> butterworth(int n, T w) {
    w = hold(w);
    Cx<T> h = one<T>();
    for (int k = 0; k < n; ++k) {
        const Complex p = butter_pole(n, k);
        h = mul(h, div(one<T>(), Cx<T>{splat<T>(-p.real()), w - p.imag()}));
    }
    return h;
}

// Second-order low-pass section of the Galileo kinds: corner 1.03 x hz, Q 0.91.
template <class T>
Cx<T> galileo_section(T y) {
    return div(one<T>(), Cx<T>{1.0f - y * y, y / 0.91f});
}

// The response of an active filter at x = f / hz (f > 0).
template <class T>
Cx<T> response_at(FilterKind kind, int order, bool lowpass, T x) {
    x = hold(x);
    switch (kind) {
        case FilterKind::Butterworth: {
            const T w = lowpass ? x : -1.0f / x;
            return butterworth(order, w);
        }
        case FilterKind::LinkwitzRiley: {
            const T w = lowpass ? x : -1.0f / x;
            const Cx<T> h = butterworth(std::max(order / 2, 1), w);
            return mul(h, h);
        }
        case FilterKind::GalileoHp: {
            const T y = x / 1.03f;
            return scale<T>(-(y * y), galileo_section(y));
        }
        case FilterKind::GalileoLp: {
            const T y = x / 1.03f;
            const T u = x / 3.1f;
            const Cx<T> first = div(one<T>(), Cx<T>{splat<T>(1.0f), x / 3.3f});
            return mul(mul(galileo_section(y), first), Cx<T>{1.0f - u * u, u / 2.2f});
        }
        case FilterKind::GalileoElliptic:
        default: {
            constexpr float C = 0.32038838f;
            const T y = x / 1.03f;
            const T v = x / 0.33f;
            const Cx<T> h = mul(galileo_section(y), Cx<T>{1.0f - v * v, v / 2.7f});
            return scale(splat<T>(C), scale(splat<T>(C), h));
        }
    }
}

bool active(const Filter& f) { return f.on && std::isfinite(f.hz) && f.hz > 0.0f; }
int order_of(const Filter& f) { return std::max(f.slope_db / 6, 1); }

// Filter::response at every grid frequency, four points at a time.
void grid_response(const Filter& filter, bool lowpass, std::array<Complex, tf::GRID_POINTS>& out) {
    if (!active(filter)) {
        out.fill(Complex{1.0f, 0.0f});
        return;
    }
    const auto& freq = tf::point_freq();
    const int order = order_of(filter);
    std::size_t i = 0;
    for (; i + 4 <= tf::GRID_POINTS; i += 4) {
        const Lanes f{freq[i], freq[i + 1], freq[i + 2], freq[i + 3]};
        const Cx<Lanes> h = response_at<Lanes>(filter.kind, order, lowpass, f / filter.hz);
        for (std::size_t m = 0; m < 4; ++m) out[i + m] = Complex{h.re[m], h.im[m]};
    }
    for (; i < tf::GRID_POINTS; ++i) out[i] = filter.response(lowpass, freq[i]);
}

float strip_gain(const Source& s) {
    const float g = std::pow(10.0f, s.gain_db / 20.0f);
    return s.invert ? -g : g;
}

}  // namespace

const char* short_label(FilterKind kind) {
    switch (kind) {
        case FilterKind::Butterworth: return "BW";
        case FilterKind::LinkwitzRiley: return "LR";
        case FilterKind::GalileoHp: return "2nd";
        case FilterKind::GalileoLp: return "lp";
        case FilterKind::GalileoElliptic:
        default: return "ell";
    }
}

Complex Filter::response(bool lowpass, float f) const {
    if (!(f > 0.0f) || !active(*this)) return {1.0f, 0.0f};
    const Cx<float> h = response_at<float>(kind, order_of(*this), lowpass, f / hz);
    return {h.re, h.im};
}

Source Source::make(std::string name) {
    Source s;
    s.name = std::move(name);
    s.hp = Filter{false, FilterKind::LinkwitzRiley, 24, 100.0f};
    s.lp = Filter{false, FilterKind::LinkwitzRiley, 24, 100.0f};
    s.shaping = Shaping::defaults(ShapingModel::Galileo);
    s.bands.clear();
    eqfit::resize_bands(s.bands, 6);
    return s;
}

std::pair<Source, Parts> Source::flat(const std::string& zone, const Parts& parts) const {
    Source copy = *this;
    copy.zones.clear();
    copy.routes.clear();
    if (zone.empty()) return {std::move(copy), parts};
    const auto it = std::find_if(zones.begin(), zones.end(), [&](const Zone& z) { return z.position == zone; });
    if (it == zones.end()) return {std::move(copy), parts};
    const Zone& z = *it;

    copy.name = name + " / " + z.position;
    if (!(peq && parts.eq)) copy.bands.clear();
    copy.shaping.on = shaping.on && parts.eq;
    if (parts.zone_eq && z.peq) {
        for (const Band& b : z.bands) {
            if (b.on) copy.bands.push_back(b);
        }
    }
    if (parts.air && z.air.on && z.air.band.on) copy.bands.push_back(z.air.band);
    copy.peq = true;

    Parts out = parts;
    out.eq = parts.eq || parts.zone_eq || parts.air;
    return {std::move(copy), out};
}

Complex Source::eq_at(const std::string& position, float f) const {
    Complex h = shaping.response(f);
    if (peq) {
        for (const Band& b : bands) h = cmul(h, b.response(f));
    }
    if (!position.empty()) {
        for (const Zone& z : zones) {
            if (z.position != position) continue;
            Complex zr{1.0f, 0.0f};
            if (z.air.on) zr = z.air.band.response(f);
            if (z.peq) {
                for (const Band& b : z.bands) zr = cmul(zr, b.response(f));
            }
            h = cmul(h, zr);
        }
    }
    return h;
}

Source& Design::source_mut(const std::string& name) {
    for (Source& s : sources) {
        if (s.name == name) return s;
    }
    sources.push_back(Source::make(name));
    return sources.back();
}

trace::Trace processed_with(const trace::Trace& t, const Source& source, bool with_filters) {
    const auto& freq = tf::point_freq();
    const float g = strip_gain(source);
    std::array<Complex, tf::GRID_POINTS> hp;
    std::array<Complex, tf::GRID_POINTS> lp;
    if (with_filters) {
        grid_response(source.hp, false, hp);
        grid_response(source.lp, true, lp);
    }
    std::vector<tf::Triple> bins(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        const float f = freq[i];
        Complex filt{1.0f, 0.0f};
        if (with_filters) filt = cmul(hp[i], lp[i]);
        const float phi = (source.delay_ms / 1000.0f) * (-tuning_detail::TWO_PI_F * f);
        // cos(+-0) = 1 and sin(+-0) = +-0 exactly: no delay needs no sine and cosine.
        const Complex rot = phi == 0.0f ? Complex{1.0f, phi} : cis(phi);
        const Complex v = cmul(cscale(g, cmul(value_at(t, i), filt)), rot);
        bins[i] = tf::Triple{v.real(), v.imag(), conf_at(t, i)};
    }
    return trace::Trace::with_points(t, bins);
}

align::PairsAt pairs_at_corners(Source reference, Source aligned, bool aligned_upper,
                                std::vector<std::pair<trace::Trace, trace::Trace>> raw) {
    // One side's traces per position with its corner at hz, kept per corner.
    struct Side {
        Source source;
        bool first;  // the first (reference) trace of each pair
        bool high_pass;
        std::vector<std::pair<float, std::vector<trace::Trace>>> kept;
    };
    struct Sides {
        std::vector<std::pair<trace::Trace, trace::Trace>> raw;
        Side reference;
        Side aligned;

        const std::vector<trace::Trace>& at(Side& side, float hz) {
            for (const auto& [k, traces] : side.kept) {
                if (std::bit_cast<std::uint32_t>(k) == std::bit_cast<std::uint32_t>(hz)) return traces;
            }
            Source s = side.source;
            (side.high_pass ? s.hp : s.lp).hz = hz;
            std::vector<trace::Trace> traces;
            traces.reserve(raw.size());
            for (const auto& [r, a] : raw) traces.push_back(processed_with(side.first ? r : a, s, true));
            side.kept.emplace_back(hz, std::move(traces));
            return side.kept.back().second;
        }
    };
    auto sides = std::make_shared<Sides>(Sides{std::move(raw), Side{std::move(reference), true, !aligned_upper, {}},
                                               Side{std::move(aligned), false, aligned_upper, {}}});
    return [sides](float hp_hz, float lp_hz) {
        Sides& s = *sides;
        const auto& r = s.at(s.reference, s.reference.high_pass ? hp_hz : lp_hz);
        const auto& a = s.at(s.aligned, s.aligned.high_pass ? hp_hz : lp_hz);
        std::vector<std::pair<trace::Trace, trace::Trace>> out;
        out.reserve(r.size());
        for (std::size_t i = 0; i < r.size(); ++i) out.emplace_back(r[i], a[i]);
        return out;
    };
}

std::optional<trace::Trace> sum_of(std::span<const std::pair<const Source*, const trace::Trace*>> pairs,
                                   bool with_eq) {
    if (pairs.empty()) return std::nullopt;
    const trace::Trace& first = *pairs.front().second;
    const double first_t =
        static_cast<double>(first.delay_samples) / static_cast<double>(std::max<std::uint32_t>(first.fs, 1));

    struct Prepared {
        float g;
        float t;
    };
    std::vector<Prepared> prep;
    prep.reserve(pairs.size());
    float gate = FLT_MAX;
    for (const auto& [src, tr] : pairs) {
        const double own =
            static_cast<double>(tr->delay_samples) / static_cast<double>(std::max<std::uint32_t>(tr->fs, 1));
        const float t = static_cast<float>(own - first_t) + src->delay_ms / 1000.0f;
        prep.push_back({strip_gain(*src), t});
        if (!std::isnan(tr->gate)) gate = std::fmin(gate, tr->gate);
    }

    const auto& freq = tf::point_freq();
    std::vector<tf::Triple> bins(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        const float f = freq[i];
        Complex sum{0.0f, 0.0f};
        float wsum = 0.0f;
        float csum = 0.0f;
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const Source& src = *pairs[p].first;
            const trace::Trace& tr = *pairs[p].second;
            const float conf = conf_at(tr, i);
            if (conf < tr.gate) continue;
            const Complex filt = cmul(src.hp.response(false, f), src.lp.response(true, f));
            const Complex eq = with_eq ? src.eq_at(tr.position, f) : Complex{1.0f, 0.0f};
            const Complex v = cmul(eq, cmul(filt, value_at(tr, i)));
            const float phi = (-tuning_detail::TWO_PI_F * f) * prep[p].t;
            sum += cmul(cscale(prep[p].g, v), cis(phi));
            const float w = cabs(filt) * std::fabs(prep[p].g);
            wsum += w;
            csum += w * conf;
        }
        bins[i] = tf::Triple{sum.real(), sum.imag(), wsum > 0.0f ? csum / wsum : 0.0f};
    }
    trace::Trace out = trace::Trace::make("Predicted", first.fs, first.delay_samples, bins, gate);
    out.position = first.position;
    return out;
}

}  // namespace engine::design

namespace engine::tuning_detail {

namespace {

struct PoleTable {
    // poles[n][k] for orders 1..MAX_BUTTER_ORDER.
    std::array<std::array<Complex, MAX_BUTTER_ORDER>, MAX_BUTTER_ORDER + 1> poles{};
    PoleTable() {
        for (int order = 1; order <= MAX_BUTTER_ORDER; ++order) {
            for (int j = 0; j < order; ++j) {
                const float theta = static_cast<float>(order + 1 + 2 * j) * PI_F / static_cast<float>(2 * order);
                poles[static_cast<std::size_t>(order)][static_cast<std::size_t>(j)] = {std::cos(theta), std::sin(theta)};
            }
        }
    }
};

// Computed once at start-up: the responses ask for the same few poles at every grid point.
const PoleTable POLES;

}  // namespace

Complex butter_pole(int n, int k) {
    if (n >= 1 && n <= MAX_BUTTER_ORDER && k >= 0 && k < n) {
        return POLES.poles[static_cast<std::size_t>(n)][static_cast<std::size_t>(k)];
    }
    const float theta = static_cast<float>(n + 1 + 2 * k) * PI_F / static_cast<float>(2 * n);
    return {std::cos(theta), std::sin(theta)};
}

}  // namespace engine::tuning_detail
