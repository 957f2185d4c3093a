// The crossover corner search: the alignment of the pairs a corner pair
// gives, the fit of each corner pair, and the candidates walked outer then
// inner.
#include "engine/tuning/align.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "base/cast.h"
#include "engine/tuning/internal/tuning_detail.h"

namespace engine::align {

using tuning_detail::cis;
using tuning_detail::cmul;
using tuning_detail::MAX_DELAY_MS;
using tuning_detail::reaches_gate;
using tuning_detail::total_key;
using tuning_detail::value_at;

std::optional<CrossoverFit> corner_fit(const CornerSearch& search, float hp_hz, float lp_hz) {
    const std::vector<std::pair<Trace, Trace>> pairs = search.pairs_at(hp_hz, lp_hz);
    const auto m = align_multi_in(pairs, search.window, MAX_DELAY_MS);
    if (!m) return std::nullopt;

    const auto& f = tf::point_freq();
    constexpr std::size_t N = tf::GRID_POINTS;
    const float rec_lo = search.lo_hz / 2.0f;
    const float rec_hi = search.hi_hz * 2.0f;
    // ln f of every grid point.
    static const std::array<float, N> LN_F = [] {
        std::array<float, N> out{};
        for (std::size_t i = 0; i < N; ++i) out[i] = std::log(tf::point_freq()[i]);
        return out;
    }();
    // The grid points that can give a record, and the stretch whose power their smoothing reads.
    std::size_t first = 0;
    while (first < N && f[first] < rec_lo) ++first;
    std::size_t last = first;
    while (last < N && !(f[last] > rec_hi)) ++last;
    const std::size_t from_all = first >= 4 ? first - 4 : 0;
    const std::size_t to_all = std::min(last + 4, N);
    float pooled = 0.0f;
    std::size_t pooled_n = 0;
    std::array<float, N> power{};
    std::array<bool, N> used{};
    struct Record {
        float x, level;
        bool in_range;
    };
    std::vector<Record> records;
    records.reserve(last - first);
    for (const auto& [r, a] : pairs) {
        const auto fs = static_cast<float>(r.fs);
        const std::int64_t shift = static_cast<std::int64_t>(a.delay_samples) -
                                   static_cast<std::int64_t>(r.delay_samples) +
                                   base::saturating_round<std::int64_t>(m->delay_ms / 1000.0f * fs);
        const float t = static_cast<float>(shift) / fs;
        for (std::size_t i = from_all; i < to_all; ++i) {
            const bool r_ok = reaches_gate(r, i);
            const bool a_ok = reaches_gate(a, i);
            used[i] = r_ok || a_ok;
            const Complex x = r_ok ? value_at(r, i) : Complex{};
            Complex y = a_ok ? cmul(value_at(a, i), cis(-tuning_detail::TWO_PI_F * f[i] * t)) : Complex{};
            if (m->invert) y = -y;
            power[i] = std::norm(x + y);
        }
        records.clear();
        for (std::size_t i = first; i < last; ++i) {
            if (!used[i] || f[i] < rec_lo || f[i] > rec_hi) continue;
            const std::size_t from = i >= 4 ? i - 4 : 0;
            const std::size_t to = std::min(i + 4, N - 1);
            float sum = 0.0f;
            for (std::size_t k = from; k <= to; ++k) sum += power[k];
            const float mean = sum / static_cast<float>(to - from + 1);
            records.push_back({LN_F[i], 20.0f * std::log10(std::fmax(std::sqrt(mean), 1e-9f)),
                               search.lo_hz <= f[i] && f[i] <= search.hi_hz});
        }
        if (records.size() < 8) continue;
        float mx = 0.0f;
        float my = 0.0f;
        for (const Record& rec : records) {
            mx += rec.x;
            my += rec.level;
        }
        mx /= static_cast<float>(records.size());
        my /= static_cast<float>(records.size());
        float sxx = 0.0f;
        float sxy = 0.0f;
        for (const Record& rec : records) {
            sxx += (rec.x - mx) * (rec.x - mx);
            sxy += (rec.x - mx) * (rec.level - my);
        }
        const float slope = sxy / std::fmax(sxx, 1e-12f);
        for (const Record& rec : records) {
            if (!rec.in_range) continue;
            const float d = (rec.level - my) - slope * (rec.x - mx);
            pooled += d * d;
            ++pooled_n;
        }
    }
    if (pooled_n <= 7) return std::nullopt;
    return CrossoverFit{hp_hz, lp_hz, m->delay_ms, std::sqrt(pooled / static_cast<float>(pooled_n)), m->invert};
}

CrossoverCandidates::CrossoverCandidates(std::vector<float> outer, std::vector<float> inner, PerPair fn)
    : outer_(std::move(outer)), inner_(std::move(inner)), fn_(std::move(fn)) {}

std::optional<CrossoverFit> CrossoverCandidates::next() {
    while (i_ < outer_.size()) {
        if (j_ >= inner_.size()) {
            ++i_;
            j_ = 0;
            continue;
        }
        const float o = outer_[i_];
        const float n = inner_[j_++];
        if (auto fit = fn_(o, n)) return fit;
    }
    return std::nullopt;
}

CrossoverCandidates crossover_candidates(std::vector<float> outer, std::vector<float> inner,
                                         CrossoverCandidates::PerPair fn) {
    return CrossoverCandidates(std::move(outer), std::move(inner), std::move(fn));
}

std::pair<std::vector<CrossoverFit>, std::optional<CrossoverFit>> crossovers(float hp_hz, float lp_hz,
                                                                             const PairsAt& pairs_at) {
    const float c = std::sqrt(hp_hz * lp_hz);
    if (!(std::isfinite(c) && c > 0.0f)) return {};
    const float lo = 0.5f * c;
    const float hi = 2.0f * c;
    const auto base = align_multi_in(pairs_at(c, c), std::nullopt, MAX_DELAY_MS);
    if (!base) return {};

    const CornerSearch search{pairs_at, Window{base->delay_ms, 500.0f / c, base->invert}, lo, hi};
    const auto n = base::saturating_cast<std::size_t>(std::floor(6.0f * std::log2(hi / lo)));
    std::vector<float> grid;
    for (std::size_t k = 0; k <= n; ++k) grid.push_back(lo * std::pow(2.0f, static_cast<float>(k) / 6.0f));

    std::vector<CrossoverFit> fits;
    auto it = crossover_candidates(grid, grid, [&](float hp, float lp) { return corner_fit(search, hp, lp); });
    while (auto fit = it.next()) fits.push_back(*fit);
    std::stable_sort(fits.begin(), fits.end(), [](const CrossoverFit& x, const CrossoverFit& y) {
        return total_key(x.ripple_db) < total_key(y.ripple_db);
    });
    return {std::move(fits), corner_fit(search, hp_hz, lp_hz)};
}

}  // namespace engine::align
