// Alignment searches: overlap band, lag scans and the candidate choice.
#include "engine/tuning/align.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <unordered_map>

#include "base/cast.h"
#include "engine/tuning/internal/tuning_detail.h"

namespace engine::align {

using tuning_detail::cabs;
using tuning_detail::cis;
using tuning_detail::cmul;
using tuning_detail::conf_at;
using tuning_detail::MAX_DELAY_MS;
using tuning_detail::reaches_gate;
using tuning_detail::cscale;
using tuning_detail::total_key;
using tuning_detail::value_at;

namespace {

// Most lags one search scans (about 350 s each way at 48 kHz).
constexpr std::uint64_t MAX_LAGS = std::uint64_t{1} << 25;

// 20 log10(max(|z|, 1e-9)), taken as (10 / ln 10) ln(max(|z|^2, 1e-18)).
float level_db(Complex z) {
    // std::fmax (norm, 1e-18) without the call: a NaN norm takes the floor too.
    const float n = std::norm(z);
    return 4.3429448f * std::log(n > 1e-18f ? n : 1e-18f);
}

// Per-lag sums of one search over the lags lo..hi, the second trace delayed by
// (lag + offset) / fs seconds:
//   cross[l] = Re sum cross_k e^(j theta_k),   agree[l] = |sum phase_k e^(j theta_k)| / weight
// with theta_k = -2 pi hz_k (lag + offset) / fs. The phasors are stepped from
// lag to lag by a rotation, re-anchored every 64 lags from an angle reduced
// to one turn in double precision.
struct LagSums {
    std::vector<float> cross;
    std::vector<float> agree;
};

// Four lags side by side.
typedef float Lanes __attribute__((vector_size(16)));

// e^(j w m) for the lanes m = 0..3 and e^(j 4 w), from one group of four lags
// to the next, with w = -2 pi hz / fs.
struct Rotor {
    Lanes lane_r, lane_i;
    float step_r, step_i;
};

Rotor rotor_of(float hz, float fs) {
    const double w = -2.0 * std::numbers::pi * static_cast<double>(hz) / static_cast<double>(fs);
    Rotor q{Lanes{}, Lanes{}, 0.0f, 0.0f};
    // Powers of e^(j w) by exact-enough complex products in double precision.
    const std::complex<double> e1(std::cos(w), std::sin(w));
    std::complex<double> e = 1.0;
    for (int m = 0; m < 4; ++m) {
        q.lane_r[m] = static_cast<float>(e.real());
        q.lane_i[m] = static_cast<float>(e.imag());
        e *= e1;
    }
    q.step_r = static_cast<float>(e.real());
    q.step_i = static_cast<float>(e.imag());
    return q;
}

// The rotors of the grid frequencies at one sample rate (the last rate asked
// for on this thread): they depend on nothing else.
const std::array<Rotor, tf::GRID_POINTS>& grid_rotors(float fs) {
    thread_local struct {
        bool set = false;
        std::uint32_t fs_bits = 0;
        std::array<Rotor, tf::GRID_POINTS> rotors;
    } table;
    const auto bits = std::bit_cast<std::uint32_t>(fs);
    if (!table.set || table.fs_bits != bits) {
        const auto& f = tf::point_freq();
        for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) table.rotors[i] = rotor_of(f[i], fs);
        table.fs_bits = bits;
        table.set = true;
    }
    return table.rotors;
}

// nearbyint(t): for |t| < 2^51 by adding and taking away 1.5 x 2^52, which
// rounds to a whole number the same way, without the library call.
double round_even(double t) {
    constexpr double MAGIC = 6755399441055744.0;  // 1.5 x 2^52
    if (!(std::fabs(t) < 2251799813685248.0)) return std::nearbyint(t);
    return (t + MAGIC) - MAGIC;
}

// One search point made ready for a scan.
struct Prepared {
    float cr, ci, pr, pi;  // cross and phase
    double turns;          // hz / fs, turns per sample
    const Rotor* rotor;
};

// Adds two points' terms to the sums of `vecs` groups of four lags, starting
// from the phasors (rr, ri) of p and (qr, qi) of q: their rotations are
// independent, and each sum still takes p before q. Without CROSS the cross
// sums are left alone, which is exact when neither point has a cross term:
// adding +-0 to a sum that starts at +0 changes nothing (it never becomes -0).
template <bool CROSS>
void add_pair(const Prepared& p, const Prepared& q, Lanes rr, Lanes ri, Lanes qr, Lanes qi, std::size_t vecs,
              Lanes* __restrict acc_c, Lanes* __restrict acc_pr, Lanes* __restrict acc_pi) {
    const float psr = p.rotor->step_r;
    const float psi = p.rotor->step_i;
    const float qsr = q.rotor->step_r;
    const float qsi = q.rotor->step_i;
    for (std::size_t v = 0; v < vecs; ++v) {
        if constexpr (CROSS) acc_c[v] += p.cr * rr - p.ci * ri;
        acc_pr[v] += p.pr * rr - p.pi * ri;
        acc_pi[v] += p.pr * ri + p.pi * rr;
        if constexpr (CROSS) acc_c[v] += q.cr * qr - q.ci * qi;
        acc_pr[v] += q.pr * qr - q.pi * qi;
        acc_pi[v] += q.pr * qi + q.pi * qr;
        const Lanes nr = rr * psr - ri * psi;
        ri = rr * psi + ri * psr;
        rr = nr;
        const Lanes mr = qr * qsr - qi * qsi;
        qi = qr * qsi + qi * qsr;
        qr = mr;
    }
}

LagSums scan(const Search& s, std::int64_t offset, float fs, std::int64_t lo, std::int64_t hi) {
    constexpr std::int64_t BLOCK = 64;
    constexpr std::size_t VECS = BLOCK / 4;
    const std::size_t count = lo <= hi ? static_cast<std::size_t>(hi - lo + 1) : 0;
    LagSums out{std::vector<float>(count, 0.0f), std::vector<float>(count, 0.0f)};
    if (count == 0) return out;

    const auto& f = tf::point_freq();
    const auto& rotors = grid_rotors(fs);
    std::vector<Prepared> pts;
    pts.reserve(s.points.size());
    std::vector<Rotor> own;  // rotors of points off the grid
    own.reserve(s.points.size());
    for (const SearchPoint& p : s.points) {
        const double turns = static_cast<double>(p.hz) / static_cast<double>(fs);
        Prepared q{p.cross.real(), p.cross.imag(), p.phase.real(), p.phase.imag(), turns, nullptr};
        // Points on the grid take their rotor from the table.
        const auto it = std::lower_bound(f.begin(), f.end(), p.hz);
        if (it != f.end() && std::bit_cast<std::uint32_t>(*it) == std::bit_cast<std::uint32_t>(p.hz)) {
            q.rotor = &rotors[static_cast<std::size_t>(it - f.begin())];
        } else {
            own.push_back(rotor_of(p.hz, fs));
            q.rotor = &own.back();
        }
        pts.push_back(q);
    }

    // The block's first phasor of a point, its angle reduced to within half a
    // turn in double precision.
    const auto first = [](const Prepared& p, double base, Lanes& rr, Lanes& ri) {
        const double t = p.turns * base;
        const auto a = static_cast<float>(-2.0 * std::numbers::pi * (t - round_even(t)));
        const float ar = std::cos(a);
        const float ai = std::sin(a);
        rr = ar * p.rotor->lane_r - ai * p.rotor->lane_i;
        ri = ar * p.rotor->lane_i + ai * p.rotor->lane_r;
    };

    std::array<Lanes, VECS> acc_c{};
    std::array<Lanes, VECS> acc_pr{};
    std::array<Lanes, VECS> acc_pi{};
    for (std::int64_t start = lo; start <= hi; start += BLOCK) {
        const std::int64_t len = std::min(BLOCK, hi - start + 1);
        const auto vecs = static_cast<std::size_t>((len + 3) / 4);
        acc_c.fill(Lanes{});
        acc_pr.fill(Lanes{});
        acc_pi.fill(Lanes{});
        const double base = static_cast<double>(start + offset);
        // Two points side by side.
        const auto no_cross = [](const Prepared& p) { return p.cr == 0.0f && p.ci == 0.0f; };
        std::size_t k = 0;
        for (; k + 2 <= pts.size(); k += 2) {
            const Prepared& p = pts[k];
            const Prepared& q = pts[k + 1];
            Lanes rr, ri, qr, qi;
            first(p, base, rr, ri);
            first(q, base, qr, qi);
            if (no_cross(p) && no_cross(q)) {
                add_pair<false>(p, q, rr, ri, qr, qi, vecs, acc_c.data(), acc_pr.data(), acc_pi.data());
            } else {
                add_pair<true>(p, q, rr, ri, qr, qi, vecs, acc_c.data(), acc_pr.data(), acc_pi.data());
            }
        }
        for (; k < pts.size(); ++k) {
            const Prepared& p = pts[k];
            Lanes rr, ri;
            first(p, base, rr, ri);
            for (std::size_t v = 0; v < vecs; ++v) {
                acc_c[v] += p.cr * rr - p.ci * ri;
                acc_pr[v] += p.pr * rr - p.pi * ri;
                acc_pi[v] += p.pr * ri + p.pi * rr;
                const Lanes nr = rr * p.rotor->step_r - ri * p.rotor->step_i;
                ri = rr * p.rotor->step_i + ri * p.rotor->step_r;
                rr = nr;
            }
        }
        for (std::int64_t l = 0; l < len; ++l) {
            const auto idx = static_cast<std::size_t>(start - lo + l);
            const auto v = static_cast<std::size_t>(l / 4);
            const auto m = static_cast<int>(l % 4);
            out.cross[idx] = acc_c[v][m];
            out.agree[idx] = s.weight > 0.0f ? tuning_detail::hypot_f(acc_pr[v][m], acc_pi[v][m]) / s.weight : 0.0f;
        }
    }
    return out;
}

// Summed power of a position relative to its two traces' powers (0 to 2).
float relative_sum(float energy, float cross, bool invert) {
    const float c2 = 2.0f * cross;
    return std::fmax(invert ? energy - c2 : energy + c2, 0.0f) / std::fmax(energy, 1e-12f);
}

std::int64_t lag_of_ms(float ms, float fs) { return base::saturating_cast<std::int64_t>(ms / 1000.0f * fs); }

// |level_db (a) - level_db (b)| as far as overlap () compares it with its
// limits of 10, 15 and 20 dB. When the power ratio is clearly (by 0.004 dB,
// far beyond the rounding of the two logarithms) inside or outside each limit,
// a stand-in that compares the same way is returned without the logarithms;
// near a limit the difference itself.
float level_gap(Complex a, Complex b) {
    const float na0 = std::norm(a);
    const float nb0 = std::norm(b);
    const float na = na0 > 1e-18f ? na0 : 1e-18f;
    const float nb = nb0 > 1e-18f ? nb0 : 1e-18f;
    if (std::isfinite(na) && std::isfinite(nb)) {
        // Power ratios (>= 1) just inside and just outside each limit.
        static const std::array<std::pair<double, double>, 3> BOUNDS = [] {
            constexpr double MARGIN = 1e-3;  // natural-log units
            std::array<std::pair<double, double>, 3> out{};
            const double k = static_cast<double>(4.3429448f);
            const double limits[] = {10.0, 15.0, 20.0};
            for (std::size_t j = 0; j < 3; ++j) {
                out[j] = {std::exp(limits[j] / k - MARGIN), std::exp(limits[j] / k + MARGIN)};
            }
            return out;
        }();
        const double r = static_cast<double>(na) / static_cast<double>(nb);
        const double q = r >= 1.0 ? r : 1.0 / r;
        if (q <= BOUNDS[0].first) return 0.0f;
        if (q >= BOUNDS[0].second && q <= BOUNDS[1].first) return 12.5f;
        if (q >= BOUNDS[1].second && q <= BOUNDS[2].first) return 17.5f;
        if (q >= BOUNDS[2].second) return INFINITY;
    }
    return std::fabs(level_db(a) - level_db(b));
}

// Search::make (pairs_of (a, b, overlap (a, b) points), pairs_of (a, b, confident (a, b))) in one
// pass over the grid, or nothing when the two traces have no overlap.
std::optional<Search> search_of(const Trace& a, const Trace& b) {
    if (a.fs != b.fs) return std::nullopt;
    const auto& f = tf::point_freq();
    constexpr std::size_t N = tf::GRID_POINTS;
    struct Tested {
        std::size_t index;
        Complex va;
        Complex vb;
        float weight;
        float diff;
    };
    std::array<Tested, N> cands;
    std::size_t count = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (!(reaches_gate(a, i) && reaches_gate(b, i))) continue;
        const Complex va = value_at(a, i);
        const Complex vb = value_at(b, i);
        cands[count++] = {i, va, vb, std::min(conf_at(a, i), conf_at(b, i)), level_gap(va, vb)};
    }
    // The level limit whose points overlap () returns.
    std::optional<float> chosen;
    std::optional<float> fallback;
    for (const float limit : {10.0f, 15.0f, 20.0f}) {
        std::size_t n = 0;
        std::size_t lo_i = 0;
        std::size_t hi_i = 0;
        for (std::size_t k = 0; k < count; ++k) {
            if (!(cands[k].diff <= limit)) continue;
            if (n == 0) lo_i = cands[k].index;
            hi_i = cands[k].index;
            ++n;
        }
        if (n == 0) continue;
        const float lo = f[lo_i];
        const float hi = f[hi_i];
        if (hi - lo < 15.0f || n < 8) continue;
        if (hi / lo >= 1.26f) {
            chosen = limit;
            break;
        }
        fallback = limit;
    }
    if (!chosen) chosen = fallback;
    if (!chosen) return std::nullopt;

    Search s;
    s.points.reserve(count);
    std::array<std::size_t, N> slot;
    slot.fill(SIZE_MAX);
    for (std::size_t k = 0; k < count; ++k) {
        const Tested& p = cands[k];
        const float mag = cabs(p.va) * cabs(p.vb);
        if (!(mag > 0.0f)) continue;
        const Complex prod = cmul(std::conj(p.va), p.vb);
        slot[p.index] = s.points.size();
        s.points.push_back({Complex{}, f[p.index], Complex{p.weight * prod.real() / mag, p.weight * prod.imag() / mag}});
        s.weight += p.weight;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const Tested& p = cands[k];
        if (!(p.diff <= *chosen)) continue;
        const Complex cross = cscale(p.weight, cmul(std::conj(p.va), p.vb));
        if (slot[p.index] != SIZE_MAX) {
            s.points[slot[p.index]].cross = cross;
        } else {
            s.points.push_back({cross, f[p.index], Complex{}});
        }
        s.energy += p.weight * (std::norm(p.va) + std::norm(p.vb));
    }
    return s;
}

}  // namespace

std::vector<Weighted> confident(const Trace& a, const Trace& b) {
    std::vector<Weighted> out;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (reaches_gate(a, i) && reaches_gate(b, i)) out.emplace_back(i, std::min(conf_at(a, i), conf_at(b, i)));
    }
    return out;
}

std::vector<Weighted> overlap_with(const Trace& a, const Trace& b, float limit_db,
                                   const std::function<float(float)>& m) {
    const auto& f = tf::point_freq();
    std::vector<Weighted> out;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (!(reaches_gate(a, i) && reaches_gate(b, i))) continue;
        if (!(std::fabs(level_db(value_at(a, i)) - level_db(value_at(b, i))) <= limit_db)) continue;
        const float mf = m(f[i]);
        if (!(mf >= 0.05f)) continue;
        out.emplace_back(i, std::min(conf_at(a, i), conf_at(b, i)) * mf);
    }
    return out;
}

std::optional<Overlap> overlap(const Trace& a, const Trace& b) {
    if (a.fs != b.fs) return std::nullopt;
    const auto& f = tf::point_freq();
    // overlap_with (a, b, limit, 1) for the three limits, with each point's
    // confidence test and level difference taken once.
    struct Tested {
        std::size_t index;
        float weight;
        float diff;
    };
    std::vector<Tested> cands;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (!(reaches_gate(a, i) && reaches_gate(b, i))) continue;
        const float diff = std::fabs(level_db(value_at(a, i)) - level_db(value_at(b, i)));
        cands.push_back({i, std::min(conf_at(a, i), conf_at(b, i)), diff});
    }
    std::optional<Overlap> fallback;
    for (const float limit : {10.0f, 15.0f, 20.0f}) {
        std::vector<Weighted> pts;
        for (const Tested& c : cands) {
            if (c.diff <= limit) pts.emplace_back(c.index, c.weight);
        }
        if (pts.empty()) continue;
        const float lo = f[pts.front().first];
        const float hi = f[pts.back().first];
        if (hi - lo < 15.0f || pts.size() < 8) continue;
        if (hi / lo >= 1.26f) return Overlap{std::move(pts), lo, hi};
        fallback = Overlap{std::move(pts), lo, hi};
    }
    return fallback;
}

std::vector<Pair> pairs_of(const Trace& a, const Trace& b, std::span<const Weighted> points) {
    std::vector<Pair> out;
    out.reserve(points.size());
    for (const auto& [i, w] : points) out.push_back(Pair{i, value_at(a, i), value_at(b, i), w});
    return out;
}

Search Search::make(std::span<const Pair> overlap_pairs, std::span<const Pair> confident_pairs) {
    const auto& f = tf::point_freq();
    Search s;
    std::vector<std::size_t> slot(tf::GRID_POINTS, SIZE_MAX);
    for (const Pair& p : confident_pairs) {
        const float mag = cabs(p.a) * cabs(p.b);
        if (!(mag > 0.0f)) continue;
        const Complex prod = cmul(std::conj(p.a), p.b);
        if (p.index < slot.size()) slot[p.index] = s.points.size();
        s.points.push_back({Complex{}, f[std::min(p.index, tf::GRID_POINTS - 1)],
                            Complex{p.w * prod.real() / mag, p.w * prod.imag() / mag}});
        s.weight += p.w;
    }
    for (const Pair& p : overlap_pairs) {
        const Complex cross = cscale(p.w, cmul(std::conj(p.a), p.b));
        if (p.index < slot.size() && slot[p.index] != SIZE_MAX) {
            s.points[slot[p.index]].cross = cross;
        } else {
            s.points.push_back({cross, f[std::min(p.index, tf::GRID_POINTS - 1)], Complex{}});
        }
        s.energy += p.w * (std::norm(p.a) + std::norm(p.b));
    }
    return s;
}

std::optional<Candidate> pick(std::span<const Candidate> candidates) {
    float best = std::numeric_limits<float>::quiet_NaN();
    for (const Candidate& c : candidates) best = std::fmax(best, c.score);
    const float threshold = PICK_THRESHOLD * best;

    // Keys in wrapping unsigned arithmetic, so the neighbours of the extreme lags are well defined.
    const auto key = [](std::uint64_t lag, bool invert) { return (lag << 1) | static_cast<std::uint64_t>(invert); };
    std::unordered_map<std::uint64_t, float> scores;
    scores.reserve(candidates.size());
    for (const Candidate& c : candidates) scores[key(static_cast<std::uint64_t>(c.lag), c.invert)] = c.score;

    const auto beaten_by = [&](const Candidate& c, std::uint64_t lag) {
        const auto it = scores.find(key(lag, c.invert));
        return it != scores.end() && !std::isnan(it->second) && it->second > c.score;
    };
    std::optional<Candidate> current;
    for (const Candidate& d : candidates) {
        if (!(d.score >= threshold)) continue;
        const auto lag = static_cast<std::uint64_t>(d.lag);
        if (beaten_by(d, lag - 1) || beaten_by(d, lag + 1)) continue;
        if (!current) {
            current = d;
            continue;
        }
        const auto kd = total_key(d.agreement);
        const auto kc = total_key(current->agreement);
        const auto ad = d.lag < 0 ? -static_cast<std::uint64_t>(d.lag) : static_cast<std::uint64_t>(d.lag);
        const auto ac = current->lag < 0 ? -static_cast<std::uint64_t>(current->lag)
                                         : static_cast<std::uint64_t>(current->lag);
        bool replace = false;
        if (kd != kc) {
            replace = kd > kc;
        } else if (ad != ac) {
            replace = ad < ac;
        } else {
            replace = !(d.invert && !current->invert);
        }
        if (replace) current = d;
    }
    return current;
}

std::optional<MultiAlignment> align_multi_in(std::span<const std::pair<Trace, Trace>> pairs,
                                             std::optional<Window> window, float max_ms) {
    std::vector<Pos> positions;
    positions.reserve(pairs.size());
    for (const auto& [a, b] : pairs) {
        auto search = search_of(a, b);
        if (!search) continue;
        positions.push_back(Pos{a.position, std::move(*search), a.delay_samples, b.delay_samples, a.fs});
    }
    if (positions.empty()) return std::nullopt;
    for (const Pos& p : positions) {
        if (p.fs != positions.front().fs) return std::nullopt;
    }
    const auto fs = static_cast<float>(positions.front().fs);

    const std::int64_t m = lag_of_ms(max_ms, fs);
    std::int64_t lo = -m;
    std::int64_t hi = m;
    std::vector<bool> polarities{false, true};
    if (window) {
        lo = std::clamp(lag_of_ms(window->center_ms - window->width_ms, fs), -m, m);
        hi = std::clamp(lag_of_ms(window->center_ms + window->width_ms, fs), -m, m);
        polarities = {window->invert};
    }
    if (lo > hi) return std::nullopt;
    // A range beyond any real delay (a maximum of hours) is refused rather than scanned.
    if (static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) >= MAX_LAGS) return std::nullopt;

    std::vector<LagSums> sums;
    sums.reserve(positions.size());
    for (const Pos& p : positions) {
        const auto offset = static_cast<std::int64_t>(p.b_delay) - static_cast<std::int64_t>(p.a_delay);
        sums.push_back(scan(p.search, offset, fs, lo, hi));
    }

    const auto count = static_cast<std::size_t>(hi - lo + 1);
    std::vector<Candidate> candidates;
    candidates.reserve(count * polarities.size());
    const auto npos = static_cast<float>(positions.size());
    for (std::size_t l = 0; l < count; ++l) {
        float coherence = 0.0f;
        for (const LagSums& s : sums) coherence += s.agree[l];
        coherence /= npos;
        for (const bool inv : polarities) {
            float score = 0.0f;
            for (std::size_t p = 0; p < positions.size(); ++p) {
                score += relative_sum(positions[p].search.energy, sums[p].cross[l], inv);
            }
            candidates.push_back({lo + static_cast<std::int64_t>(l), inv, score, coherence});
        }
    }
    const auto chosen = pick(candidates);
    if (!chosen) return std::nullopt;

    MultiAlignment out;
    const auto at = static_cast<std::size_t>(chosen->lag - lo);
    for (std::size_t p = 0; p < positions.size(); ++p) {
        const float energy = positions[p].search.energy;
        float best = 0.0f;
        for (std::size_t l = 0; l < count; ++l) {
            best = std::fmax(best, relative_sum(energy, sums[p].cross[l], false));
            best = std::fmax(best, relative_sum(energy, sums[p].cross[l], true));
        }
        const float here = relative_sum(energy, sums[p].cross[at], chosen->invert);
        const float gives = best > 0.0f ? 10.0f * std::log10(std::fmax(here / best, 1e-9f)) : 0.0f;
        out.seats.emplace_back(positions[p].position, gives);
    }
    out.delay_ms = static_cast<float>(chosen->lag) / fs * 1000.0f;
    out.invert = chosen->invert;
    return out;
}

std::optional<Alignment> align(const Trace& r, const Trace& a) {
    const auto band = overlap(r, a);
    if (!band) return std::nullopt;
    const auto band_pairs = pairs_of(r, a, band->points);
    const auto conf = confident(r, a);
    const auto conf_pairs = pairs_of(r, a, conf);
    const Search search = Search::make(band_pairs, conf_pairs);

    const auto fs = static_cast<float>(r.fs);
    const std::int64_t max = base::saturating_cast<std::int64_t>(fs * 0.04f);
    if (static_cast<std::uint64_t>(max) >= MAX_LAGS / 2) return std::nullopt;
    const auto offset = static_cast<std::int64_t>(a.delay_samples) - static_cast<std::int64_t>(r.delay_samples);
    const LagSums sums = scan(search, offset, fs, -max, max);

    std::vector<Candidate> candidates;
    candidates.reserve(sums.cross.size() * 2);
    for (std::size_t l = 0; l < sums.cross.size(); ++l) {
        const std::int64_t lag = -max + static_cast<std::int64_t>(l);
        const float c2 = 2.0f * sums.cross[l];
        candidates.push_back({lag, false, std::fmax(search.energy + c2, 0.0f), sums.agree[l]});
        candidates.push_back({lag, true, std::fmax(search.energy - c2, 0.0f), sums.agree[l]});
    }
    float best = std::numeric_limits<float>::quiet_NaN();
    for (const Candidate& c : candidates) best = std::fmax(best, c.score);
    const auto chosen = pick(candidates);
    if (!chosen) return std::nullopt;

    // Band centre: weighted geometric mean of the band's frequencies.
    const auto& f = tf::point_freq();
    float wsum = 0.0f;
    float lsum = 0.0f;
    for (const auto& [i, w] : band->points) {
        wsum += w;
        lsum += w * std::log(f[i]);
    }
    const float fc = wsum > 0.0f ? std::exp(lsum / wsum) : std::sqrt(band->lo_hz * band->hi_hz);

    // Other lags that sum about as well, more than a quarter period apart.
    Alignment out;
    {
        std::vector<Candidate> near;
        for (const Candidate& c : candidates) {
            if (c.score >= PICK_THRESHOLD * best) near.push_back(c);
        }
        std::stable_sort(near.begin(), near.end(),
                         [](const Candidate& x, const Candidate& y) { return total_key(x.score) > total_key(y.score); });
        const float quarter = fs / fc / 4.0f;
        const auto apart = [&](std::int64_t x, std::int64_t y) {
            return std::fabs(static_cast<float>(x - y)) > quarter;
        };
        for (const Candidate& e : near) {
            if (!apart(e.lag, chosen->lag)) continue;
            bool ok = true;
            for (const auto& [ms, inv] : out.others) {
                if (!apart(e.lag, lag_of_ms(ms, fs))) {
                    ok = false;
                    break;
                }
            }
            if (ok) out.others.emplace_back(static_cast<float>(e.lag) / fs * 1000.0f, e.invert);
        }
    }

    // Sharpness: the score an eighth period either side.
    const std::int64_t q = std::max<std::int64_t>(base::saturating_round<std::int64_t>(fs / (8.0f * fc)), 1);
    float worse = std::numeric_limits<float>::infinity();
    for (const std::int64_t lag : {chosen->lag - q, chosen->lag + q}) {
        float c = scan(search, offset, fs, lag, lag).cross[0];
        if (chosen->invert) c = -c;
        worse = std::fmin(worse, std::fmax(search.energy + 2.0f * c, 0.0f));
    }

    // The summed curve at the chosen lag and polarity.
    const float tau0 = static_cast<float>(offset + chosen->lag) / fs;
    const float sigma = chosen->invert ? -1.0f : 1.0f;
    std::vector<tf::Triple> bins(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        const Complex rot = cis(-tuning_detail::TWO_PI_F * f[i] * tau0);
        const Complex v = value_at(r, i) + cscale(sigma, cmul(value_at(a, i), rot));
        bins[i] = {v.real(), v.imag(), std::fmin(conf_at(r, i), conf_at(a, i))};
    }
    out.points = tf::points_of(bins);
    out.band_points = band_pairs.size();
    out.delay_ms = static_cast<float>(chosen->lag) / fs * 1000.0f;
    out.sum_db = 10.0f * std::log10(std::fmax(chosen->score / search.energy, 1e-9f));
    out.drop_db = 10.0f * std::log10(std::fmax(worse / chosen->score, 1e-9f));
    out.drop_ms = static_cast<float>(q) / fs * 1000.0f;
    out.lo_hz = band->lo_hz;
    out.hi_hz = band->hi_hz;
    out.invert = chosen->invert;
    out.at_limit = (chosen->lag < 0 ? -chosen->lag : chosen->lag) >= max;
    return out;
}

}  // namespace engine::align
