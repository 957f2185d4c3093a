// Reflections: the comb ripple each later arrival leaves on the magnitude,
// estimated per grid point and taken out, loudest reflection first.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

namespace {

struct Fit {
    float amp = 0.0f, phase = 0.0f;
};

constexpr float TWO_PI = 2.0f * std::numbers::pi_v<float>;

}  // namespace

float ripple_db(float amp, float phase, float hz, float tau) {
    const float g = std::fmin(amp / 8.686f, 0.95f);
    const float theta = TWO_PI * hz * tau - phase;
    const float re = 1.0f + g * std::cos(theta);
    const float im = g * std::sin(theta);
    return 20.0f * std::log10(std::sqrt(re * re + im * im));
}

Reflections reflections_out(const std::vector<Point>& pts, const std::vector<Arrival>& arrivals, float gate) {
    Reflections out;
    out.clean = pts;
    out.per_arrival.assign(arrivals.size(), Ripple(pts.size(), {0.0f, 0.0f}));
    if (arrivals.empty() || pts.empty()) return out;

    // Times relative to the loudest arrival (the later one on a tie).
    std::size_t loud = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i)
        if (arrivals[i].db >= arrivals[loud].db) loud = i;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < arrivals.size(); ++i)
        if (arrivals[i].ms - arrivals[loud].ms > 0.0f) order.push_back(i);
    // Loudest reflection first; equal levels keep their list order.
    // (A level that is not a number sorts last.)
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const float x = arrivals[a].db, y = arrivals[b].db;
        return !std::isnan(x) && (std::isnan(y) || x > y);
    });

    std::vector<Point>& work = out.clean;
    const std::size_t n = work.size();
    std::vector<float> cs(n), sn(n);
    std::vector<Fit> fits(n);
    for (std::size_t m : order) {
        const float tau = (arrivals[m].ms - arrivals[loud].ms) / 1000.0f;
        const float period = 1.0f / tau;
        for (std::size_t k = 0; k < n; ++k) {
            const float phi = TWO_PI * work[k].hz * tau;
            cs[k] = std::cos(phi);
            sn[k] = std::sin(phi);
        }
        // Every window reads `work` as it stands before this reflection is
        // taken out. The window of point j spans f_j - P .. f_j + P; the
        // points are ascending, so it is found by moving two edges.
        std::size_t lo = 0, hi = 0;
        for (std::size_t j = 0; j < n; ++j) {
            fits[j] = {};
            const float fj = work[j].hz;
            if (!(fj >= period / 4.0f)) continue;
            while (lo < n && work[lo].hz < fj - period) ++lo;
            if (hi < lo) hi = lo;
            while (hi < n && work[hi].hz - fj <= period) ++hi;
            float s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, t0 = 0, t1 = 0, t2 = 0;
            int count = 0;
            for (std::size_t k = lo; k < hi; ++k) {
                const Point& p = work[k];
                if (!(p.conf >= gate) || !(std::fabs(p.hz - fj) <= period)) continue;
                ++count;
                const float x = (p.hz - fj) / period;
                const float w = p.hz;
                const float wx = w * x, wx2 = wx * x;
                s0 += w;
                s1 += wx;
                s2 += wx2;
                s3 += wx2 * x;
                s4 += wx2 * x * x;
                t0 += w * p.db;
                t1 += wx * p.db;
                t2 += wx2 * p.db;
            }
            if (count < 8) continue;
            const float det = s0 * (s2 * s4 - s3 * s3) - s1 * (s1 * s4 - s2 * s3) + s2 * (s1 * s3 - s2 * s2);
            float a, b, c;
            if (std::fabs(det) < std::max(s0, 1.0f) * 1e-9f) {
                a = s0 > 0.0f ? t0 / s0 : 0.0f;
                b = c = 0.0f;
            } else {
                a = (t0 * (s2 * s4 - s3 * s3) - s1 * (t1 * s4 - s3 * t2) + s2 * (t1 * s3 - s2 * t2)) / det;
                b = (s0 * (t1 * s4 - s3 * t2) - t0 * (s1 * s4 - s3 * s2) + s2 * (s1 * t2 - t1 * s2)) / det;
                c = (s0 * (s2 * t2 - t1 * s3) - s1 * (s1 * t2 - t1 * s2) + t0 * (s1 * s3 - s2 * s2)) / det;
            }
            float rc = 0, cc = 0, rs = 0, ss = 0;
            for (std::size_t k = lo; k < hi; ++k) {
                const Point& p = work[k];
                if (!(p.conf >= gate) || !(std::fabs(p.hz - fj) <= period)) continue;
                const float x = (p.hz - fj) / period;
                const float r = p.db - (a + b * x + c * x * x);
                rc += p.hz * r * cs[k];
                cc += p.hz * cs[k] * cs[k];
                rs += p.hz * r * sn[k];
                ss += p.hz * sn[k] * sn[k];
            }
            const float ca = rc / std::max(cc, 1e-6f);
            const float cb = rs / std::max(ss, 1e-6f);
            fits[j] = {std::hypot(ca, cb), std::atan2(cb, ca)};
        }
        Ripple& list = out.per_arrival[m];
        for (std::size_t j = 0; j < n; ++j) {
            list[j] = {fits[j].amp, fits[j].phase};
            if (fits[j].amp == 0.0f) continue;
            work[j].db -= ripple_db(fits[j].amp, fits[j].phase, work[j].hz, tau);
        }
    }
    return out;
}

std::vector<float> reflection_db(const std::vector<Point>& pts, const std::vector<Arrival>& arrivals, float gate) {
    const Reflections r = reflections_out(pts, arrivals, gate);
    const std::size_t n = std::min(r.clean.size(), pts.size());
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = r.clean[i].db - pts[i].db;
    return out;
}

}  // namespace ui::tf_plot
