// The equaliser model: band and shaping responses, the shaping clamp, the
// house curve and the band-list helpers.
#include "engine/tuning/eqfit.h"

#include <algorithm>
#include <cmath>

#include "engine/tuning/internal/tuning_detail.h"

namespace engine::eqfit {

namespace {

using tuning_detail::butter_pole;
using tuning_detail::cdiv;
using tuning_detail::cmul;

// Amplitude factor of a gain: clamped to +-60 dB; NaN counts as 0 dB.
float gain_factor(float db, float per) {
    if (std::isnan(db)) return 1.0f;
    return std::pow(10.0f, std::clamp(db, -60.0f, 60.0f) / per);
}

bool positive_finite(float v) { return std::isfinite(v) && v > 0.0f; }

// 20 log10(max(|H|, 1e-9)) from |H|^2, as (10 / ln 10) ln(max(|H|^2, 1e-18));
// a NaN magnitude takes the floor as well. The natural logarithm is several
// times cheaper than log10 and the fit evaluates this millions of times.
// std::fmax(mag2, 1e-18) written as a comparison (a NaN gives 1e-18), which
// compiles inline where fmax is a library call.
float power_db(float mag2) { return 4.3429448f * std::log(mag2 > 1e-18f ? mag2 : 1e-18f); }

// B_n(y1) / B_n(y2), B_n(y) = prod 1 / (j y - p_k).
Complex butter_ratio(int n, float y1, float y2) {
    Complex r{1.0f, 0.0f};
    for (int k = 0; k < n; ++k) {
        const Complex p = butter_pole(n, k);
        const Complex num{-p.real(), y2 - p.imag()};
        const Complex den{-p.real(), y1 - p.imag()};
        r = cmul(r, cdiv(num, den));
    }
    return r;
}

// What a band's response needs besides the frequency, computed once per band.
struct Coef {
    BandKind kind;
    float a;    // 10^(gain/40)
    float sqa;  // sqrt(a)
    float q;
    float hz;
};

Coef coef_of(const Band& b) {
    const float a = gain_factor(b.gain_db, 40.0f);
    return {b.kind, a, std::sqrt(a), b.q, b.hz};
}

// Numerator and denominator of a band at x = f / hz.
struct Fraction {
    Complex num;
    Complex den;
    float scale;
};

template <BandKind K>
Fraction fraction_of(const Coef& c, float x) {
    const float x2 = x * x;
    if constexpr (K == BandKind::LowShelf) {
        const float s = c.sqa * x / c.q;
        return {{c.a - x2, s}, {1.0f - c.a * x2, s}, c.a};
    } else if constexpr (K == BandKind::HighShelf) {
        const float s = c.sqa * x / c.q;
        return {{1.0f - c.a * x2, s}, {c.a - x2, s}, c.a};
    } else {
        return {{1.0f - x2, x * c.a / c.q}, {1.0f - x2, x / (c.a * c.q)}, 1.0f};
    }
}

Fraction band_fraction(const Coef& c, float x) {
    switch (c.kind) {
        case BandKind::LowShelf: return fraction_of<BandKind::LowShelf>(c, x);
        case BandKind::HighShelf: return fraction_of<BandKind::HighShelf>(c, x);
        case BandKind::Peak:
        default: return fraction_of<BandKind::Peak>(c, x);
    }
}

// |H|^2 of a band's fraction.
float fraction_mag2(const Fraction& fr) {
    const float n2 = fr.num.real() * fr.num.real() + fr.num.imag() * fr.num.imag();
    const float d2 = fr.den.real() * fr.den.real() + fr.den.imag() * fr.den.imag();
    return fr.scale * fr.scale * (n2 / d2);
}

float fraction_db(const Fraction& fr) { return power_db(fraction_mag2(fr)); }

// |H|^2 of a band of kind K at every frequency: one plain loop of arithmetic
// that the compiler runs several points at a time.
template <BandKind K>
void mag2_row(const Coef& c, float band_hz, std::span<const float> hz, float* out) {
    for (std::size_t j = 0; j < hz.size(); ++j) out[j] = fraction_mag2(fraction_of<K>(c, hz[j] / band_hz));
}

bool band_is_off(const Band& b) { return !b.on || !positive_finite(b.hz) || !positive_finite(b.q); }

bool band_is_unity(const Band& b, float f) { return !(f > 0.0f) || band_is_off(b); }

// The LivePa table on the 1/3-octave centres.
constexpr std::array<float, 31> LIVE_HZ{20,   25,   31.5f, 40,   50,   63,   80,    100,   125,   160,   200,
                                        250,  315,  400,   500,  630,  800,  1000,  1250,  1600,  2000,  2500,
                                        3150, 4000, 5000,  6300, 8000, 10000, 12500, 16000, 20000};
constexpr std::array<float, 31> LIVE_DB{0,    1,    3,    4.5f,  5.5f, 6,    6,    5.5f,  4.3f, 2.6f, 1.3f,
                                        0.5f, 0.1f, 0,    0,     0,    0,    0,    0,     0,    -0.3f, -0.65f,
                                        -1.05f, -1.6f, -2.3f, -3.1f, -4.1f, -5.5f, -8.7f, -13.4f, -17};

// c^k for the knee spacing constant.
float powi(float c, int k) {
    float r = 1.0f;
    for (int i = 0; i < k; ++i) r *= c;
    return r;
}

// Bandwidth in octaves of a band of quality q.
float bandwidth_oct(float q) { return 2.0f * std::asinh(1.0f / (2.0f * q)) / 0.6931472f; }

}  // namespace

// ---------------------------------------------------------------- Band

Band Band::default_at(float hz) { return Band{hz, 0.0f, 2.0f, false, BandKind::Peak}; }

Complex Band::response(float f) const {
    if (band_is_unity(*this, f)) return {1.0f, 0.0f};
    const Fraction fr = band_fraction(coef_of(*this), f / hz);
    const Complex h = cdiv(fr.num, fr.den);
    return {fr.scale * h.real(), fr.scale * h.imag()};
}

float band_db(const Band& band, float f) {
    if (band_is_unity(band, f)) return 0.0f;
    return fraction_db(band_fraction(coef_of(band), f / band.hz));
}

}  // namespace engine::eqfit

namespace engine::tuning_detail {

void band_db_row(const eqfit::Band& band, std::span<const float> hz, std::vector<float>& row,
                 std::span<const float> weight) {
    using namespace eqfit;
    row.resize(hz.size());
    if (band_is_off(band)) {
        std::fill(row.begin(), row.end(), 0.0f);
        return;
    }
    const Coef c = coef_of(band);
    // The same values as band_db point by point: the magnitudes first, for
    // every point (those not wanted are dropped below), then the logarithms.
    switch (c.kind) {
        case BandKind::LowShelf: mag2_row<BandKind::LowShelf>(c, band.hz, hz, row.data()); break;
        case BandKind::HighShelf: mag2_row<BandKind::HighShelf>(c, band.hz, hz, row.data()); break;
        case BandKind::Peak:
        default: mag2_row<BandKind::Peak>(c, band.hz, hz, row.data()); break;
    }
    for (std::size_t j = 0; j < hz.size(); ++j) {
        const float f = hz[j];
        const bool wanted = weight.empty() || (j < weight.size() && weight[j] > 0.0f);
        row[j] = wanted && f > 0.0f ? power_db(row[j]) : 0.0f;
    }
}

}  // namespace engine::tuning_detail

namespace engine::eqfit {

// ---------------------------------------------------------------- Shaping

Shaping Shaping::defaults(ShapingModel model) {
    Shaping s;
    s.on = false;
    s.model = model;
    s.gain_db = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    if (model == ShapingModel::Callisto) {
        s.hz = {62.0f, 250.0f, 1000.0f, 4000.0f};
        s.slope_db = {12, 12, 12, 12};
    } else {
        s.hz = {125.0f, 500.0f, 4000.0f, 20000.0f};
        s.slope_db = {6, 6, 6, 6};
    }
    return s;
}

std::size_t Shaping::knees_used(ShapingModel model) { return model == ShapingModel::Callisto ? 4 : 3; }

namespace {

// What the shaping's response needs besides the frequency: the amplitude
// factors of its gains, and for the Callisto model each knee's order and
// corner frequencies.
struct ShapingCoef {
    std::array<float, 5> g{};
    std::array<bool, 4> knee{};
    std::array<int, 4> order{};
    std::array<float, 4> a_hz{};
    std::array<float, 4> b_hz{};
};

ShapingCoef shaping_coef(const Shaping& s) {
    ShapingCoef c;
    for (std::size_t i = 0; i < c.g.size(); ++i) c.g[i] = gain_factor(s.gain_db[i], 20.0f);
    if (s.model != ShapingModel::Callisto) return c;
    for (std::size_t i = 0; i < 4; ++i) {
        if (!positive_finite(s.hz[i])) continue;
        const int n = s.slope_db[i] < 6 ? 1 : std::min(s.slope_db[i] / 6, 4);
        const float ratio = c.g[i + 1] / c.g[i];
        const float rho = std::pow(ratio, 1.0f / static_cast<float>(n));
        float a = 0.0f;
        float b = 0.0f;
        if (i % 2 == 0) {
            a = std::fmin(rho, 1.0f);
            b = std::fmin(1.0f / rho, 1.0f);
        } else {
            a = std::fmax(rho, 1.0f);
            b = std::fmax(1.0f / rho, 1.0f);
        }
        c.knee[i] = true;
        c.order[i] = n;
        c.a_hz[i] = a * s.hz[i];
        c.b_hz[i] = b * s.hz[i];
    }
    return c;
}

// Shaping::response at f > 0 of a shaping that is on.
Complex shaping_response(const Shaping& s, const ShapingCoef& c, float f) {
    if (s.model == ShapingModel::Callisto) {
        Complex r{c.g[0], 0.0f};
        for (std::size_t i = 0; i < 4; ++i) {
            if (!c.knee[i]) continue;
            r = cmul(r, butter_ratio(c.order[i], f / c.a_hz[i], f / c.b_hz[i]));
        }
        return r;
    }

    // Galileo: three first-order splits into four bands.
    Complex sum{0.0f, 0.0f};
    Complex prod{1.0f, 0.0f};
    for (std::size_t i = 0; i < 3; ++i) {
        if (!positive_finite(s.hz[i])) continue;
        const float x = f / s.hz[i];
        const Complex low = cdiv({1.0f, 0.0f}, {1.0f, x});
        const Complex high{1.0f - low.real(), -low.imag()};
        const Complex term = cmul(prod, low);
        sum += Complex{c.g[i] * term.real(), c.g[i] * term.imag()};
        prod = cmul(prod, high);
    }
    return sum + Complex{c.g[3] * prod.real(), c.g[3] * prod.imag()};
}

}  // namespace

Complex Shaping::response(float f) const {
    if (!(f > 0.0f) || !on) return {1.0f, 0.0f};
    return shaping_response(*this, shaping_coef(*this), f);
}

void Shaping::clamp() {
    for (float& g : gain_db) {
        if (!std::isnan(g)) g = std::clamp(g, -15.0f, 12.0f);
    }
    constexpr float C = 1.2599209f;
    const int n = static_cast<int>(knees_used(model));
    float lo = 20.0f;
    for (int k = 0; k < n; ++k) {
        float hi = 20000.0f / powi(C, n - 1 - k);
        if (hi < lo) hi = lo;
        float& knee = hz[static_cast<std::size_t>(k)];
        // A knee that is not a number goes to its lowest allowed place.
        knee = std::isnan(knee) ? lo : std::clamp(knee, lo, hi);
        lo = knee * C;
    }
}

float shaping_db(const Shaping& shaping, float f) {
    if (!(f > 0.0f) || !shaping.on) return 0.0f;
    const Complex h = shaping.response(f);
    return power_db(h.real() * h.real() + h.imag() * h.imag());
}

}  // namespace engine::eqfit

namespace engine::tuning_detail {

void shaping_db_row(const eqfit::Shaping& shaping, std::span<const float> hz, std::vector<float>& row) {
    using namespace eqfit;
    row.resize(hz.size());
    // shaping_db point by point, the parts that do not depend on the
    // frequency computed once.
    const ShapingCoef c = shaping_coef(shaping);
    for (std::size_t j = 0; j < hz.size(); ++j) {
        const float f = hz[j];
        if (!(f > 0.0f) || !shaping.on) {
            row[j] = 0.0f;
            continue;
        }
        const Complex h = shaping_response(shaping, c, f);
        row[j] = power_db(h.real() * h.real() + h.imag() * h.imag());
    }
}

}  // namespace engine::tuning_detail

namespace engine::eqfit {

// ---------------------------------------------------------------- House

float House::db_at(float f) const {
    float l = 0.0f;
    if (curve == Curve::LivePa) {
        if (f <= 20.0f || std::isnan(f)) {
            l = 0.0f;
        } else if (f >= 20000.0f) {
            l = -17.0f;
        } else {
            std::size_t m = 1;
            while (m < LIVE_HZ.size() - 1 && !(LIVE_HZ[m] > f)) ++m;
            const float f0 = LIVE_HZ[m - 1];
            const float f1 = LIVE_HZ[m];
            l = LIVE_DB[m - 1] + (LIVE_DB[m] - LIVE_DB[m - 1]) * std::log(f / f0) / std::log(f1 / f0);
        }
    }
    return std::fmin(l, 0.0f) + bass_db * std::fmax(l, 0.0f) / 6.0f;
}

// ---------------------------------------------------------------- band lists

void resize_bands(std::vector<Band>& bands, std::size_t n) {
    if (bands.size() > n) {
        bands.resize(n);
        return;
    }
    for (std::size_t j = bands.size(); j < n; ++j) {
        const float e = (static_cast<float>(j) + 0.5f) / static_cast<float>(n);
        bands.push_back(Band::default_at(40.0f * std::pow(400.0f, e)));
    }
}

bool spaced(std::span<const Band> bands, std::size_t index, float hz) {
    if (bands.empty()) return true;
    const bool inside = index < bands.size();
    for (std::size_t j = 0; j < bands.size(); ++j) {
        if (j == index) continue;
        const float d = std::fabs(std::log2(bands[j].hz / hz));
        if (d < 0.33333334f) return false;
        if (!inside) continue;
        const Band& me = bands[index];
        const Band& other = bands[j];
        if (me.gain_db > 0.0f && other.gain_db < 0.0f) {
            const float bw_cut = bandwidth_oct(other.q);
            if (bw_cut > bandwidth_oct(me.q) && d < bw_cut / 2.0f) return false;
        }
        if (me.gain_db < 0.0f && other.gain_db > 0.0f) {
            const float bw_cut = bandwidth_oct(me.q);
            if (bw_cut > bandwidth_oct(other.q) && d < bw_cut / 2.0f) return false;
        }
    }
    return true;
}

}  // namespace engine::eqfit
