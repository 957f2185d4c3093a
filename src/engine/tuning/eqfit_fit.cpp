// The EQ fit: error measure, local search over a band list, the shaping
// stage's fit, band placement and pruning.
#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/tuning/eqfit.h"
#include "engine/tuning/internal/tuning_detail.h"

namespace engine::eqfit {

namespace {

constexpr float SHELF_Q = 0.70710677f;
constexpr float INF = std::numeric_limits<float>::infinity();

void band_row(const Band& b, std::span<const float> hz, std::vector<float>& row) {
    tuning_detail::band_db_row(b, hz, row);
}

// Sets a trial band's gain and Q to their allowed values.
void normalise(Band& b, float max_boost_db) {
    b.gain_db = std::clamp(b.gain_db, -15.0f, max_boost_db);
    if (b.kind == BandKind::Peak) {
        b.q = std::clamp(b.q, 0.5f, 10.0f);
        if (b.gain_db > 0.0f) b.q = std::fmin(b.q, 1.5f);
    } else {
        b.q = SHELF_Q;
    }
}

// Frequency range of a band kind: (low, high).
std::pair<float, float> kind_range(BandKind kind, float lo_hz, float hi_hz, float floor_hz) {
    const float mid = std::sqrt(lo_hz * hi_hz);
    switch (kind) {
        case BandKind::LowShelf: return {lo_hz, mid};
        case BandKind::HighShelf: return {std::fmax(mid, floor_hz), hi_hz};
        case BandKind::Peak:
        default: return {floor_hz, hi_hz};
    }
}

float clamp_range(float v, std::pair<float, float> r) { return std::fmin(std::fmax(v, r.first), r.second); }

// error_rows over the sum of all rows, where `others` holds the sum of every
// row but one and `own` that one row.
float error_sum(std::span<const float> resid, std::span<const float> weight, std::span<const float> others,
                std::span<const float> own, bool limit, float max_boost_db) {
    const std::size_t n = std::min(resid.size(), weight.size());
    float s0 = 0.0f;
    float s1 = 0.0f;
    float w = 0.0f;
    float penalty = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
        const float l = others[j] + own[j];
        const float wj = weight[j];
        if (limit && wj > 0.0f && l > max_boost_db + 0.01f) return INF;
        const float u = resid[j] + l;
        s0 += wj * u * u;
        s1 += wj * u;
        w += wj;
        if (limit) {
            const float boost = l > 0.0f ? l : 0.0f;  // std::fmax(l, 0), inline
            penalty += wj * boost * boost;
        }
    }
    if (n == 0) return 0.0f;
    penalty *= 0.1f;
    return w > 0.0f ? penalty + std::fmax(s0 - s1 * s1 / w, 0.0f) : penalty + s0;
}

float weighted_sum(std::span<const float> w, std::span<const float> v) {
    float s = 0.0f;
    for (std::size_t k = 0; k < w.size(); ++k) s += w[k] * v[k];
    return s;
}

}  // namespace

float error_rows(std::span<const float> resid, std::span<const float> weight,
                 std::span<const std::vector<float>> rows, bool limit, float max_boost_db) {
    const std::size_t n = std::min(resid.size(), weight.size());
    std::vector<float> total(n, 0.0f);
    for (const auto& row : rows) {
        for (std::size_t j = 0; j < n; ++j) total[j] += row[j];
    }
    const std::vector<float> zero(n, 0.0f);
    return error_sum(resid.first(n), weight.first(n), total, zero, limit, max_boost_db);
}

float error(std::span<const float> resid, std::span<const float> weight, std::span<const float> hz,
            std::span<const Band> bands, float max_boost_db, bool limit) {
    std::vector<std::vector<float>> rows(bands.size());
    for (std::size_t b = 0; b < bands.size(); ++b) band_row(bands[b], hz, rows[b]);
    return error_rows(resid, weight, rows, limit, max_boost_db);
}

void refine(std::vector<Band>& bands, std::span<const float> resid, std::span<const float> weight,
            std::span<const float> hz, float max_boost_db, float lo_hz, float hi_hz, float floor_hz) {
    const std::size_t n = std::min(resid.size(), weight.size());
    std::vector<std::vector<float>> rows(bands.size());
    for (std::size_t b = 0; b < bands.size(); ++b) band_row(bands[b], hz, rows[b]);
    float best = error_rows(resid, weight, rows, true, max_boost_db);

    std::vector<float> others(n);
    std::vector<float> trial_row;
    for (int pass = 0; pass < 4; ++pass) {
        for (std::size_t b = 0; b < bands.size(); ++b) {
            // The sum of every other band's row stays fixed while this band moves.
            std::fill(others.begin(), others.end(), 0.0f);
            for (std::size_t o = 0; o < bands.size(); ++o) {
                if (o == b) continue;
                for (std::size_t j = 0; j < n; ++j) others[j] += rows[o][j];
            }
            const auto range = kind_range(bands[b].kind, lo_hz, hi_hz, floor_hz);
            for (int param = 0; param < 3; ++param) {
                float step = param == 0 ? 0.35f : param == 1 ? 3.0f : 0.5f;
                for (int attempt = 0; attempt < 6; ++attempt) {
                    bool accepted = false;
                    for (const float dir : {1.0f, -1.0f}) {
                        const Band saved = bands[b];
                        Band& t = bands[b];
                        if (param == 0) t.hz = t.hz * std::exp(dir * step);
                        if (param == 1) t.gain_db = t.gain_db + dir * step;
                        if (param == 2) t.q = t.q * std::exp(dir * step);
                        t.hz = clamp_range(t.hz, range);
                        normalise(t, max_boost_db);
                        if (!spaced(bands, b, t.hz)) {
                            bands[b] = saved;
                            continue;
                        }
                        // Points without weight add nothing to the error: their row entries are skipped.
                        tuning_detail::band_db_row(t, hz, trial_row, weight);
                        const float e = error_sum(resid.first(n), weight.first(n), others, trial_row, true,
                                                  max_boost_db);
                        if (e < best) {
                            best = e;
                            rows[b].swap(trial_row);
                            accepted = true;
                            break;
                        }
                        bands[b] = saved;
                    }
                    if (!accepted) step *= 0.5f;
                }
            }
        }
    }
}

std::optional<Fit> fit_leveled(const Target& target, std::size_t n_bands, Curve curve, bool shelves,
                               const Shaping& shaping, std::span<const Band> bands, float max_boost_db,
                               float floor_hz, float hi_hz, float bass_db, float lo_hz, FitWhat what) {
    const std::size_t n = std::min({target.hz.size(), target.weight.size(), target.db.size()});
    const std::span<const float> hz(target.hz.data(), n);
    const House house{curve, bass_db};
    const float lo = std::fmin(floor_hz, lo_hz);

    // 1. Weights inside the fitted range.
    std::vector<float> w(n, 0.0f);
    float wsum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
        if (lo <= hz[k] && hz[k] <= hi_hz) w[k] = target.weight[k];
        wsum += w[k];
    }
    if (!(wsum > 0.0f)) return std::nullopt;

    // 2. Residual against the house curve.
    std::vector<float> resid(n);
    for (std::size_t k = 0; k < n; ++k) resid[k] = target.db[k] - house.db_at(hz[k]);

    // 3. Dips beyond reach lose weight.
    const float m = weighted_sum(w, resid) / wsum;
    const float tol = std::fmax(max_boost_db / 2.0f, 1.0f);
    for (std::size_t k = 0; k < n; ++k) {
        w[k] *= std::clamp(1.0f - (m - resid[k] - max_boost_db) / tol, 0.0f, 1.0f);
    }
    float wtot = 0.0f;
    for (const float x : w) wtot += x;
    if (!(wtot > 0.0f)) return std::nullopt;

    // 4. Centre.
    const float mean = weighted_sum(w, resid) / wtot;
    std::vector<float> r(n);
    for (std::size_t k = 0; k < n; ++k) r[k] = resid[k] - mean;
    Fit fit;
    {
        float s2 = 0.0f;
        float s1 = 0.0f;
        for (std::size_t k = 0; k < n; ++k) {
            s2 += w[k] * r[k] * r[k];
            s1 += w[k] * r[k];
        }
        fit.rms_before = std::sqrt(std::fmax(s2 - s1 * s1 / wtot, 0.0f) / wtot);
    }

    // 5. Bands that stay are fitted around.
    if (!what.bands) {
        for (const Band& b : bands) {
            for (std::size_t k = 0; k < n; ++k) r[k] += band_db(b, hz[k]);
        }
    }

    // 6. The shaping stage.
    Shaping sh = shaping;
    if ((what.gains || what.knees) && sh.on) {
        const std::size_t knees = Shaping::knees_used(sh.model);
        struct Param {
            bool gain;
            std::size_t index;
        };
        std::vector<Param> params;
        if (what.gains) {
            for (std::size_t i = 0; i <= knees; ++i) params.push_back({true, i});
        }
        if (what.knees) {
            for (std::size_t i = 0; i < knees; ++i) params.push_back({false, i});
        }
        std::vector<float> s_db;
        const auto shaping_error = [&](const Shaping& s) {
            tuning_detail::shaping_db_row(s, hz, s_db);
            float e = 0.0f;
            for (std::size_t k = 0; k < n; ++k) {
                const float u = r[k] + s_db[k];
                e += w[k] * u * u;
            }
            return e;
        };
        float best = shaping_error(sh);
        for (int pass = 0; pass < 4; ++pass) {
            for (const Param& p : params) {
                float step = p.gain ? 3.0f : 0.35f;
                for (int attempt = 0; attempt < 6; ++attempt) {
                    bool accepted = false;
                    for (const float dir : {1.0f, -1.0f}) {
                        Shaping t = sh;
                        if (p.gain) {
                            t.gain_db[p.index] = std::clamp(t.gain_db[p.index] + dir * step, -15.0f, max_boost_db);
                        } else {
                            t.hz[p.index] = t.hz[p.index] * std::exp(dir * step);
                        }
                        t.clamp();
                        const float e = shaping_error(t);
                        if (e < best) {
                            best = e;
                            sh = t;
                            accepted = true;
                            break;
                        }
                    }
                    if (!accepted) step *= 0.5f;
                }
            }
        }
    }

    // 7. The shaping's response joins the residual; the level is taken again.
    std::vector<float> sh_db;
    tuning_detail::shaping_db_row(sh, hz, sh_db);
    for (std::size_t k = 0; k < n; ++k) r[k] += sh_db[k];
    const float m1 = weighted_sum(w, r) / wtot;
    for (float& x : r) x -= m1;

    // 8. Band placement.
    std::vector<Band> placed;
    if (what.bands) {
        std::vector<bool> tried(n, false);
        std::vector<float> cur(n);
        std::vector<float> dev(n);
        std::vector<std::pair<float, float>> ref;
        const float grid_step = n >= 2 ? std::log2(hz[1] / hz[0]) : 0.0f;
        while (placed.size() < n_bands) {
            for (std::size_t k = 0; k < n; ++k) {
                cur[k] = r[k];
                for (const Band& b : placed) cur[k] += band_db(b, hz[k]);
            }
            // Level reference: the weighted median below floor_hz when there is
            // confident data there, else over every weighted point.
            bool below = false;
            for (std::size_t k = 0; k < n; ++k) below = below || (hz[k] < floor_hz && w[k] > 0.0f);
            ref.clear();
            for (std::size_t k = 0; k < n; ++k) {
                if (w[k] > 0.0f && (!below || hz[k] < floor_hz)) ref.emplace_back(cur[k], w[k]);
            }
            std::stable_sort(ref.begin(), ref.end(),
                             [](const auto& x, const auto& y) { return tuning_detail::total_less(x.first, y.first); });
            float total = 0.0f;
            for (const auto& [c, wk] : ref) total += wk;
            float offset = 0.0f;
            float run = 0.0f;
            for (const auto& [c, wk] : ref) {
                run += wk;
                offset = c;
                if (run >= total / 2.0f) break;
            }
            for (std::size_t k = 0; k < n; ++k) dev[k] = cur[k] - offset;

            // Candidate point: the largest weighted deviation, the higher frequency on ties.
            std::size_t cand = n;
            float score = 0.0f;
            for (std::size_t k = 0; k < n; ++k) {
                if (hz[k] < floor_hz || tried[k]) continue;
                if (!spaced(placed, placed.size(), hz[k])) continue;
                const float s = w[k] * std::fabs(dev[k]);
                if (std::isnan(s)) continue;
                if (cand == n || s >= score) {
                    cand = k;
                    score = s;
                }
            }
            if (cand == n || !(score > 0.0f)) break;

            const float dstar = dev[cand];
            const float sign = dstar >= 0.0f ? 1.0f : -1.0f;
            const float half = std::fabs(dstar) / 2.0f;
            std::size_t lower = 0;
            for (std::size_t k = cand; k > 0 && sign * dev[k - 1] >= half; --k) ++lower;
            std::size_t upper = 0;
            for (std::size_t k = cand + 1; k < n && sign * dev[k] >= half; ++k) ++upper;
            const float bw = std::fmax(static_cast<float>(lower + upper + 1) * grid_step, 0.1f);
            float q = std::clamp(std::pow(2.0f, bw / 2.0f) / (std::pow(2.0f, bw) - 1.0f), 0.5f, 10.0f);
            float gain = dstar > 15.0f ? -15.0f : -dstar;
            gain = std::fmin(gain, max_boost_db);
            if (gain > 0.0f) q = std::fmin(q, 1.5f);

            const float fc = hz[cand];
            const float mid = std::sqrt(lo * hi_hz);
            std::optional<std::vector<Band>> winner;
            float winner_err = INF;
            for (const BandKind kind : {BandKind::Peak, BandKind::LowShelf, BandKind::HighShelf}) {
                const bool has_kind =
                    std::any_of(placed.begin(), placed.end(), [&](const Band& b) { return b.kind == kind; });
                Band nb{fc, gain, q, true, kind};
                if (kind == BandKind::Peak) {
                    if (!(floor_hz <= fc && fc <= hi_hz)) continue;
                } else {
                    if (!shelves || has_kind) continue;
                    nb.q = SHELF_Q;
                    if (kind == BandKind::LowShelf && !(floor_hz <= lo && lo <= fc && fc <= mid)) continue;
                    if (kind == BandKind::HighShelf && !(std::fmax(mid, floor_hz) <= fc && fc <= hi_hz)) continue;
                }
                std::vector<Band> trial = placed;
                trial.push_back(nb);
                if (!spaced(trial, trial.size() - 1, fc)) continue;
                refine(trial, r, w, hz, max_boost_db, lo, hi_hz, floor_hz);
                const float e = error(r, w, hz, trial, max_boost_db, true);
                if (!std::isfinite(e)) continue;
                if (!winner || e < winner_err) {
                    winner = std::move(trial);
                    winner_err = e;
                }
            }
            if (winner) {
                placed = std::move(*winner);
            } else {
                tried[cand] = true;
            }
        }

        // 9. Pruning: drop bands that earn less than 0.1 dB.
        std::stable_sort(placed.begin(), placed.end(),
                         [](const Band& a, const Band& b) {
                             return tuning_detail::total_less(std::fabs(a.gain_db), std::fabs(b.gain_db));
                         });
        std::size_t i = 0;
        while (i < placed.size()) {
            const float e_with = error(r, w, hz, placed, max_boost_db, false);
            std::vector<Band> trial = placed;
            trial.erase(trial.begin() + static_cast<std::ptrdiff_t>(i));
            refine(trial, r, w, hz, max_boost_db, lo, hi_hz, floor_hz);
            const float e_without = error(r, w, hz, trial, max_boost_db, false);
            if (std::sqrt(e_without / wtot) - std::sqrt(e_with / wtot) < 0.1f) {
                placed = std::move(trial);
            } else {
                ++i;
            }
        }
        std::stable_sort(placed.begin(), placed.end(),
                         [](const Band& a, const Band& b) { return tuning_detail::total_less(a.hz, b.hz); });
        fit.bands = std::move(placed);
    } else {
        fit.bands.assign(bands.begin(), bands.end());
    }
    fit.shaping = sh;

    // 10. Where the seats disagree by 9 dB or more.
    const std::size_t ns = std::min(target.spread.size(), n);
    std::optional<std::size_t> run_start;
    const auto close_run = [&](std::size_t first, std::size_t last) {
        if (hz[first] <= hi_hz && hz[last] >= floor_hz) fit.ranges.emplace_back(hz[first], hz[last]);
    };
    for (std::size_t k = 0; k < ns; ++k) {
        const bool disagree = std::clamp(2.0f - target.spread[k] / 6.0f, 0.0f, 1.0f) <= 0.5f;
        if (disagree && !run_start) run_start = k;
        if (!disagree && run_start) {
            close_run(*run_start, k - 1);
            run_start.reset();
        }
    }
    if (run_start) close_run(*run_start, ns - 1);

    // 11. What is left with the final shaping and bands.
    const float level = mean + m1;
    std::vector<float> final_resid(n);
    for (std::size_t k = 0; k < n; ++k) {
        final_resid[k] = target.db[k] - level - house.db_at(hz[k]) + sh_db[k];
    }
    fit.rms_after = std::sqrt(error(final_resid, w, hz, fit.bands, max_boost_db, false) / wtot);
    return fit;
}

}  // namespace engine::eqfit
