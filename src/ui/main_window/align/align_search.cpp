#include "ui/main_window/align/align_search.h"

#include <cmath>
#include <complex>

#include <fmt/format.h>

#include "base/cast.h"
#include "engine/core/tf.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/measure/plot_inputs.h"

namespace ui::main_window {

using engine::align::CrossoverFit;
using engine::design::Source;

namespace {

constexpr const char* NO_OVERLAP = "No overlap: both traces need confident points within 10 dB of each other";
constexpr const char* WIDE_BAND = " Wide band: set the strips' crossovers to bound it.";
constexpr float MAX_DELAY_MS = 40.0f;

// A frequency printed without decimals, halves rounded away from zero.
long long whole_hz(float hz) { return base::saturating_round<long long>(hz); }

std::string need_here(const std::string& reference, const std::string& aligned) {
    return fmt::format("Need {} and {} measured at this position", reference, aligned);
}

float level_db(std::complex<float> v) { return 20.0f * std::log10(std::max(std::abs(v), 1e-9f)); }

// The first ticked trace of `source` at `position`.
const Trace* ticked(const std::vector<Trace>& traces, const std::string& position, const std::string& source) {
    for (const auto& t : traces)
        if (t.used && t.position == position && t.source == source) return &t;
    return nullptr;
}

TracePairs pairs_by_position(const WindowState& s, const std::string& reference, const std::string& aligned,
                             bool through_strips) {
    const Source r = source_or_new(s, reference);
    const Source a = source_or_new(s, aligned);
    const auto& traces = s.traces.peek();
    TracePairs out;
    for (const auto& p : positions(traces)) {
        const Trace* rt = ticked(traces, p, reference);
        const Trace* at = ticked(traces, p, aligned);
        if (!rt || !at) continue;
        if (through_strips)
            out.emplace_back(engine::design::processed_with(*rt, r, true), engine::design::processed_with(*at, a, true));
        else
            out.emplace_back(*rt, *at);
    }
    return out;
}

base::Result<AlignFound> level_mode(const WindowState& s, const std::string& reference, const std::string& aligned) {
    const auto ref = trace_through_strip_unfiltered(s, reference);
    const auto al = trace_through_strip_unfiltered(s, aligned);
    if (!ref || !al) return base::fail(need_here(reference, aligned));
    const Source r = source_or_new(s, reference);
    const Source a = source_or_new(s, aligned);
    const auto band = level_band(*ref, *al, r, a);
    if (!band) return base::fail(NO_OVERLAP);
    float num = 0.0f;
    float den = 0.0f;
    for (const auto& [i, w] : band->points) {
        num += w * (level_db(value_at(*al, i)) - level_db(value_at(*ref, i)));
        den += w;
    }
    if (!(den > 0.0f)) return base::fail(NO_OVERLAP);
    const float d = num / den;
    std::vector<AlignCandidate> c{AlignCandidate{AlignCandidate::Level{-d, band->lo_hz, band->hi_hz}}};
    return AlignFound{std::move(c), level_note(aligned, d, reference, band->lo_hz, band->hi_hz)};
}

base::Result<AlignFound> delay_mode(const WindowState& s, const std::string& reference, const std::string& aligned) {
    const auto ref = trace_through_strip(s, reference);
    const auto al = trace_through_strip(s, aligned);
    if (!ref || !al) return base::fail(need_here(reference, aligned));
    auto found = engine::align::align(*ref, *al);
    if (!found) return base::fail(NO_OVERLAP);
    s.alignment.set(*found);
    std::vector<AlignCandidate> c{AlignCandidate{AlignCandidate::Delay{found->invert, found->delay_ms}}};
    for (std::size_t k = 0; k < found->others.size() && k < 3; ++k)
        c.push_back(AlignCandidate{AlignCandidate::Delay{found->others[k].second, found->others[k].first}});
    return AlignFound{std::move(c), delay_note(*found, reference, aligned)};
}

base::Result<AlignFound> delay_all_mode(const WindowState& s, const std::string& reference,
                                        const std::string& aligned) {
    if (!trace_through_strip(s, reference) || !trace_through_strip(s, aligned))
        return base::fail(need_here(reference, aligned));
    const TracePairs pairs = strip_pairs_by_position(s, reference, aligned);
    if (pairs.size() < 2)
        return base::fail(fmt::format("Need {} and {} captured at two or more positions", reference, aligned));
    const auto m = engine::align::align_multi_in(pairs, std::nullopt, MAX_DELAY_MS);
    if (!m) return base::fail(NO_OVERLAP);
    std::vector<AlignCandidate> c{AlignCandidate{AlignCandidate::Delay{m->invert, m->delay_ms}}};
    return AlignFound{std::move(c), multi_note(*m, reference, aligned)};
}

base::Result<AlignFound> crossover_mode(const WindowState& s, const std::string& reference,
                                        const std::string& aligned) {
    const Source r = source_or_new(s, reference);
    const Source a = source_or_new(s, aligned);
    const bool aligned_can = a.hp.on && r.lp.on;
    const bool reference_can = r.hp.on && a.lp.on;
    if (!aligned_can && !reference_can)
        return base::fail("Switch on the HP of the upper source and the LP of the lower one, with the filter types you want");
    const bool aligned_upper = aligned_can && reference_can ? a.hp.hz >= r.hp.hz : aligned_can;
    const float hp = aligned_upper ? a.hp.hz : r.hp.hz;
    const float lp = aligned_upper ? r.lp.hz : a.lp.hz;
    const float c = std::sqrt(hp * lp);
    if (!(hp * lp > 0.0f) || !std::isfinite(c))
        return base::fail("Set the two corners roughly first; the search runs an octave either side of them");
    TracePairs raw = raw_pairs_by_position(s, reference, aligned);
    if (raw.empty()) return base::fail(need_here(reference, aligned));
    const std::size_t count = raw.size();
    const auto [fits, as_were] = engine::align::crossovers(
        hp, lp, engine::design::pairs_at_corners(r, a, aligned_upper, std::move(raw)));
    if (fits.empty()) return base::fail(NO_OVERLAP);
    std::vector<AlignCandidate> out;
    for (const CrossoverFit& f : shortlist(fits)) {
        out.push_back(AlignCandidate{AlignCandidate::Crossover{
            f.invert, aligned_upper, static_cast<float>(whole_hz(f.hp_hz)), static_cast<float>(whole_hz(f.lp_hz)),
            f.delay_ms, f.ripple_db}});
    }
    return AlignFound{std::move(out), crossover_note(fits, as_were, count, hp, lp)};
}

}  // namespace

base::Result<AlignFound> alignment_search(const WindowState& s, const std::string& reference,
                                          const std::string& aligned, std::uint8_t mode) {
    switch (mode) {
        case ALIGN_LEVEL: return level_mode(s, reference, aligned);
        case ALIGN_DELAY: return delay_mode(s, reference, aligned);
        case ALIGN_DELAY_ALL: return delay_all_mode(s, reference, aligned);
        case ALIGN_CROSSOVER: return crossover_mode(s, reference, aligned);
        default: return base::fail(NO_OVERLAP);
    }
}

std::optional<float> strip_weight(const Source& reference, const Source& aligned, float f) {
    const float wr = std::abs(reference.hp.response(false, f) * reference.lp.response(true, f));
    const float wa = std::abs(aligned.hp.response(false, f) * aligned.lp.response(true, f));
    const float w = wr * wa;
    if (!(w >= 0.05f)) return std::nullopt;
    return w;
}

TracePairs strip_pairs_by_position(const WindowState& s, const std::string& reference, const std::string& aligned) {
    return pairs_by_position(s, reference, aligned, true);
}

TracePairs raw_pairs_by_position(const WindowState& s, const std::string& reference, const std::string& aligned) {
    return pairs_by_position(s, reference, aligned, false);
}

std::optional<engine::align::Overlap> level_band(const Trace& reference, const Trace& aligned, const Source& r,
                                                 const Source& a) {
    if (reference.fs != aligned.fs) return std::nullopt;
    const auto& f = engine::tf::point_freq();
    const auto weight = [&](float hz) { return strip_weight(r, a, hz).value_or(0.0f); };
    std::optional<engine::align::Overlap> fallback;
    for (const float limit : {10.0f, 15.0f, 20.0f}) {
        auto pts = engine::align::overlap_with(reference, aligned, limit, weight);
        if (pts.size() < 8) continue;
        const float lo = f[pts.front().first];
        const float hi = f[pts.back().first];
        if (!(hi - lo >= 15.0f)) continue;
        if (hi / lo >= 1.26f) return engine::align::Overlap{std::move(pts), lo, hi};
        fallback = engine::align::Overlap{std::move(pts), lo, hi};
    }
    return fallback;
}

std::string level_note(const std::string& aligned, float d, const std::string& reference, float lo_hz, float hi_hz) {
    return fmt::format("{} was {:+.1f} dB against {} over {}..{} Hz.{}", aligned, d, reference, whole_hz(lo_hz),
                       whole_hz(hi_hz), hi_hz / lo_hz > 4.0f ? WIDE_BAND : "");
}

std::string delay_note(const engine::align::Alignment& al, const std::string& reference, const std::string& aligned) {
    const std::string& name = al.delay_ms < 0.0f ? reference : aligned;
    const std::string flip = al.invert ? fmt::format(", {} flipped", aligned) : std::string();
    std::string extra;
    if (al.at_limit) extra += " Hit the search limit, do not trust this.";
    if (!al.others.empty()) extra += " Other delays sum the same, pick by geometry.";
    if (al.hi_hz / al.lo_hz > 4.0f) extra += WIDE_BAND;
    return fmt::format("{} delayed {:.2f} ms more{}. Sum {:+.1f} dB over {}..{} Hz, {} points, {:.1f} dB at \u00b1{:.1f} ms.{}",
                       name, std::fabs(al.delay_ms), flip, al.sum_db, whole_hz(al.lo_hz), whole_hz(al.hi_hz),
                       al.band_points, al.drop_db, al.drop_ms, extra);
}

std::string multi_note(const engine::align::MultiAlignment& m, const std::string& reference,
                       const std::string& aligned) {
    const std::string& name = m.delay_ms < 0.0f ? reference : aligned;
    const std::string flip = m.invert ? fmt::format(", {} flipped", aligned) : std::string();
    std::string seats;
    for (const auto& [position, db] : m.seats) {
        if (!seats.empty()) seats += ", ";
        seats += fmt::format("{} {:.1f} dB", position, db);
    }
    return fmt::format("{} delayed {:.2f} ms more{}. Against each seat's own best: {}", name, std::fabs(m.delay_ms),
                       flip, seats);
}

std::string crossover_note(const std::vector<CrossoverFit>& fits, const std::optional<CrossoverFit>& as_were,
                           std::size_t positions, float hp, float lp) {
    const float c = std::sqrt(hp * lp);
    const bool as_good = as_were && as_were->ripple_db - fits.front().ripple_db < 0.3f;
    return fmt::format(
        "Flattest of {} corner pairs {:.0f}..{:.0f} Hz, each aligned on its own: ripple {:.1f} dB, every seat ({}) "
        "about its own tilt over that band. HP {:.0f} / LP {:.0f} as they were: {}{}. Worst pair {:.1f} dB.",
        fits.size(), 0.5f * c, 2.0f * c, fits.front().ripple_db, positions, hp, lp,
        as_were ? fmt::format("{:.1f} dB", as_were->ripple_db) : std::string("no overlap"),
        as_good ? ", as good: the corners hardly matter here, choose by what the boxes can take" : "",
        fits.back().ripple_db);
}

std::vector<CrossoverFit> shortlist(const std::vector<CrossoverFit>& fits) {
    std::vector<CrossoverFit> out;
    for (const auto& f : fits) {
        if (out.size() >= 4) break;
        const bool near = std::any_of(out.begin(), out.end(), [&](const CrossoverFit& j) {
            return std::fabs(std::log2(j.hp_hz / f.hp_hz)) < 0.2f && std::fabs(std::log2(j.lp_hz / f.lp_hz)) < 0.2f;
        });
        if (!near) out.push_back(f);
    }
    return out;
}

}  // namespace ui::main_window
