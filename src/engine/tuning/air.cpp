#include "engine/tuning/air.h"

#include <algorithm>
#include <cmath>

#include "engine/core/tf.h"

namespace engine::air {

namespace {

constexpr float SHELF_Q = 0.70710677f;
constexpr float MAX_DB = 18.0f;

float limit(float v, float lo, float hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

double limit_d(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }

}  // namespace

Weather weather(double temperature_c, double humidity_pct) {
    Weather w;
    w.t_k = limit_d(temperature_c, -20.0, 50.0) + 273.15;
    w.tau = w.t_k / 293.15;
    const double c = -6.8346 * std::pow(273.16 / w.t_k, 1.261) + 4.6151;
    const double h = limit_d(humidity_pct, 0.0, 100.0) * std::pow(10.0, c);
    w.fr_o = 24.0 + 40400.0 * h * (0.02 + h) / (0.391 + h);
    w.fr_n = std::pow(w.tau, -0.5) * (9.0 + 280.0 * h * std::exp(-4.17 * (std::pow(w.tau, -1.0 / 3.0) - 1.0)));
    w.e_o = std::exp(-2239.1 / w.t_k);
    w.e_n = std::exp(-3352.0 / w.t_k);
    return w;
}

double alpha_db_per_m(const Weather& w, double f) {
    const double f2 = f * f;
    return 8.686 * f2 *
           (1.84e-11 * std::sqrt(w.tau) +
            std::pow(w.tau, -2.5) * (0.01275 * w.e_o / (w.fr_o + f2 / w.fr_o) + 0.1068 * w.e_n / (w.fr_n + f2 / w.fr_n)));
}

const std::vector<float>& fit_points() {
    static const std::vector<float> points = [] {
        std::vector<float> v;
        for (float f : tf::point_freq())
            if (f <= 16000.0f) v.push_back(f);
        return v;
    }();
    return points;
}

std::vector<float> targets(const Weather& w, float throw_m, float strength_pct) {
    const float d = std::isnan(throw_m) ? 0.0f : std::max(throw_m, 0.0f);
    const float s = std::min(std::max(strength_pct, 0.0f), 100.0f);
    std::vector<float> t;
    t.reserve(fit_points().size());
    for (float f : fit_points()) {
        const float a = static_cast<float>(alpha_db_per_m(w, f));
        t.push_back(limit(a * d * s / 100.0f, 0.0f, MAX_DB));
    }
    return t;
}

float band_error(const Band& band, const std::vector<float>& targets) {
    const auto& pts = fit_points();
    float e = 0.0f;
    for (std::size_t i = 0; i < pts.size() && i < targets.size(); ++i) {
        const float d = eqfit::band_db(band, pts[i]) - targets[i];
        e += d * d;
    }
    return e;
}

Band neutral_band() { return Band{8000.0f, 0.0f, 0.7f, false, eqfit::BandKind::Peak}; }

Band fit_band(const std::vector<float>& targets, bool shelves) {
    if (std::none_of(targets.begin(), targets.end(), [](float t) { return t > 1.0f; })) return neutral_band();

    Band best = neutral_band();
    float e_best = band_error(best, targets);
    const auto consider = [&](const Band& b) {
        const float e = band_error(b, targets);
        if (e < e_best) {
            best = b;
            e_best = e;
            return true;
        }
        return false;
    };

    constexpr float PEAK_Q[] = {0.4f, 0.5f, 0.7f, 1.0f, 1.4f};
    for (int k = 0; k < 10; ++k) {
        const float f0 = 2000.0f * std::exp2(static_cast<float>(k) / 3.0f);
        for (int m = 1; m <= 36; ++m) {
            const float g = 0.5f * static_cast<float>(m);
            for (float q : PEAK_Q) consider(Band{f0, g, q, true, eqfit::BandKind::Peak});
            if (shelves) consider(Band{f0, g, SHELF_Q, true, eqfit::BandKind::HighShelf});
        }
    }

    // Pattern search around the best candidate.
    float step = 0.25f;
    while (true) {
        bool accepted = false;
        const int params = best.kind == eqfit::BandKind::Peak ? 3 : 2;
        for (int p = 0; p < params; ++p) {
            for (int dir : {-1, 1}) {
                Band c = best;
                const float d = static_cast<float>(dir) * step;
                if (p == 0) c.hz = limit(c.hz * std::exp2(d), 2000.0f, 16000.0f);
                else if (p == 1) c.gain_db = limit(c.gain_db + 4.0f * d, 0.0f, MAX_DB);
                else c.q = limit(c.q * std::exp2(d), 0.3f, 2.0f);
                if (consider(c)) accepted = true;
            }
        }
        if (!accepted) {
            step /= 2.0f;
            if (step <= 0.005f) break;
        }
    }

    best.hz = std::round(best.hz / 10.0f) * 10.0f;
    best.gain_db = std::round(best.gain_db * 10.0f) / 10.0f;
    if (best.kind == eqfit::BandKind::Peak) best.q = std::round(best.q * 100.0f) / 100.0f;
    return best;
}

}  // namespace engine::air
