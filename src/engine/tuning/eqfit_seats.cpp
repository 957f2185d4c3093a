// Seat levelling and the merged fit target.
#include <algorithm>
#include <cmath>

#include "engine/tuning/eqfit.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"
#include "engine/tuning/internal/tuning_detail.h"

namespace engine::eqfit {

namespace {

// Confidence weight of point i of a trace: its confidence when it reaches the gate, else 0.
// A trace without a point at i is not confident there.
float conf_weight(const trace::Trace& t, std::size_t i) {
    if (i >= t.points.size()) return 0.0f;
    const float c = t.points[i].conf;
    return c >= t.gate ? c : 0.0f;
}

}  // namespace

std::vector<float> seat_levels(std::span<const trace::Trace* const> traces) {
    if (traces.empty()) return {};
    const auto& f = tf::point_freq();
    std::vector<std::pair<std::size_t, float>> kept;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (f[i] < 40.0f || f[i] > 16000.0f) continue;
        float w = conf_weight(*traces.front(), i);
        for (const trace::Trace* t : traces) w = std::min(w, conf_weight(*t, i));
        if (w > 0.0f) kept.emplace_back(i, w);
    }
    float wsum = 0.0f;
    for (const auto& [i, w] : kept) wsum += w;
    wsum = std::max(wsum, 1.1754944e-38f);

    std::vector<float> levels;
    levels.reserve(traces.size());
    for (const trace::Trace* t : traces) {
        float acc = 0.0f;
        for (const auto& [i, w] : kept) acc += w * t->points[i].db;
        levels.push_back(kept.empty() ? 0.0f : acc / wsum);
    }
    float mean = 0.0f;
    for (const float l : levels) mean += l;
    mean /= static_cast<float>(levels.size());
    for (float& l : levels) l -= mean;
    return levels;
}

Target target(std::span<const trace::Trace* const> traces) {
    constexpr std::size_t N = tf::GRID_POINTS;
    const auto& f = tf::point_freq();
    Target out;
    out.hz.assign(f.begin(), f.end());
    out.db.assign(N, 0.0f);
    out.weight.assign(N, 0.0f);
    out.spread.assign(N, 0.0f);
    std::vector<float> a(N, 0.0f);
    std::vector<float> b(N, 0.0f);

    const std::vector<float> levels = seat_levels(traces);
    std::vector<std::pair<float, float>> seat;  // (levelled dB, weight)
    for (std::size_t k = 0; k < N; ++k) {
        seat.clear();
        for (std::size_t j = 0; j < traces.size(); ++j) {
            const float w = conf_weight(*traces[j], k);
            if (w > 0.0f) seat.emplace_back(traces[j]->points[k].db - levels[j], w);
        }
        if (seat.empty()) continue;
        float p = 0.0f;
        float lo = seat.front().first;
        float hi = seat.front().first;
        for (const auto& [d, w] : seat) {
            p += w;
            lo = std::fmin(lo, d);
            hi = std::fmax(hi, d);
        }
        out.spread[k] = hi - lo;
        const float agree = std::clamp(2.0f - out.spread[k] / 6.0f, 0.0f, 1.0f);
        b[k] = agree * p;
        if (seat.size() <= 2) {
            float s = 0.0f;
            for (const auto& [d, w] : seat) s += d * w;
            a[k] = agree * s;
        } else {
            std::stable_sort(seat.begin(), seat.end(),
                             [](const auto& x, const auto& y) { return tuning_detail::total_less(x.first, y.first); });
            float run = 0.0f;
            float median = seat.back().first;
            for (const auto& [d, w] : seat) {
                run += w;
                if (run >= 0.5f * p) {
                    median = d;
                    break;
                }
            }
            a[k] = agree * p * median;
        }
    }

    const float seats = static_cast<float>(traces.size());
    for (std::size_t k = 0; k < N; ++k) {
        const std::size_t from = k >= 2 ? k - 2 : 0;
        const std::size_t to = std::min<std::size_t>(k, N - 3) + 2;
        float sa = 0.0f;
        float sb = 0.0f;
        for (std::size_t j = from; j <= to; ++j) {
            sa += a[j];
            sb += b[j];
        }
        if (sb > 0.0f) {
            out.db[k] = sa / sb;
            out.weight[k] = sb / static_cast<float>(to - from + 1) / seats;
        }
    }
    return out;
}

}  // namespace engine::eqfit
