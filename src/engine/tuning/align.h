#pragma once
// Delay and polarity alignment of two sources from stored traces: the band
// where both play, the lag scan at one position or over several at once, the
// choice among near-equal lags, and the crossover corner search.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace engine::align {

using Complex = std::complex<float>;
using trace::Trace;

// (grid index, weight) of one grid point used by a search, ascending by index.
using Weighted = std::pair<std::size_t, float>;

// (grid index, value of the first trace, value of the second trace, weight).
struct Pair {
    std::size_t index = 0;
    Complex a;
    Complex b;
    float w = 0.0f;
};

// The band where both traces play: its points and first and last frequency.
struct Overlap {
    std::vector<Weighted> points;
    float lo_hz = 0.0f;
    float hi_hz = 0.0f;
};

struct SearchPoint {
    Complex cross;  // w conj(A) B at an overlap point, else 0
    float hz = 0.0f;
    Complex phase;  // w conj(A) B / (|A| |B|) at a confident point, else 0
};

// What one position contributes to a search.
struct Search {
    std::vector<SearchPoint> points;
    float energy = 0.0f;  // sum over the overlap of w (|A|^2 + |B|^2)
    float weight = 0.0f;  // sum of the weights of the points carrying a phase term

    static Search make(std::span<const Pair> overlap_pairs, std::span<const Pair> confident_pairs);
};

// One lag tried: lag in samples (the extra delay of the second trace),
// polarity of the second trace, score (larger is better) and agreement (a
// second figure of merit, larger is better).
struct Candidate {
    std::int64_t lag = 0;
    bool invert = false;
    float score = 0.0f;
    float agreement = 0.0f;

    bool operator==(const Candidate&) const = default;
};

// Restricts a multi-position search to lags around a centre and one polarity.
struct Window {
    float center_ms = 0.0f;
    float width_ms = 0.0f;  // half width
    bool invert = false;
};

// Result of a search over several positions.
struct MultiAlignment {
    std::vector<std::pair<std::string, float>> seats;  // per position: name and what it gives up, dB (<= 0)
    float delay_ms = 0.0f;                             // the second trace's extra delay
    bool invert = false;

    bool operator==(const MultiAlignment&) const = default;
};

// One position of a multi-position search.
struct Pos {
    std::string position;
    Search search;
    std::size_t a_delay = 0;
    std::size_t b_delay = 0;
    std::uint32_t fs = 0;
};

// Result of the delay and polarity alignment at one position.
struct Alignment {
    std::vector<tf::Point> points;                   // the two traces summed at the chosen lag and polarity
    std::vector<std::pair<float, bool>> others;      // (delay_ms, invert) summing about as well, best first
    std::size_t band_points = 0;
    float delay_ms = 0.0f;                           // negative: the reference is to be delayed
    float sum_db = 0.0f;                             // gain of the coherent sum over the summed energy
    float drop_db = 0.0f;                            // the lower score an eighth period either side, dB
    float drop_ms = 0.0f;                            // that eighth period, ms
    float lo_hz = 0.0f;
    float hi_hz = 0.0f;
    bool invert = false;
    bool at_limit = false;                           // the chosen lag is at the 40 ms edge

    bool operator==(const Alignment&) const = default;
};

// One corner pair of the crossover search.
struct CrossoverFit {
    float hp_hz = 0.0f;
    float lp_hz = 0.0f;
    float delay_ms = 0.0f;
    float ripple_db = 0.0f;  // RMS deviation of the smoothed sum from each position's tilt line
    bool invert = false;

    bool operator==(const CrossoverFit&) const = default;
};

// The fraction of the best score within which candidates count as equal (-0.5 dB in power).
inline constexpr float PICK_THRESHOLD = 0.8912509f;

// Grid points where both traces reach their gates; weight = the smaller confidence.
std::vector<Weighted> confident(const Trace& a, const Trace& b);

// Confident points whose levels differ by at most limit_db and where m(f) >= 0.05;
// weight = min(confidences) x m(f).
std::vector<Weighted> overlap_with(const Trace& a, const Trace& b, float limit_db,
                                   const std::function<float(float)>& m);

// The band where both play (level limits of 10, 15, then 20 dB), or nothing.
std::optional<Overlap> overlap(const Trace& a, const Trace& b);

// The two traces' values at the given points.
std::vector<Pair> pairs_of(const Trace& a, const Trace& b, std::span<const Weighted> points);

// The choice among lag candidates (in lag order): the ones within 0.5 dB of the
// best score that are local peaks of their own polarity, then the highest
// agreement, the smaller |lag|, normal polarity, the later one. A score that is
// not a number never qualifies and never disqualifies a neighbour.
std::optional<Candidate> pick(std::span<const Candidate> candidates);

// One delay and polarity for all positions (pairs of first, second trace).
std::optional<MultiAlignment> align_multi_in(std::span<const std::pair<Trace, Trace>> pairs,
                                             std::optional<Window> window, float max_ms);

// Delay and polarity of the aligned trace a against the reference r at one
// position, searched over +-40 ms.
std::optional<Alignment> align(const Trace& r, const Trace& a);

// Corner pair -> (reference trace, aligned trace) per position, through the strips with those corners.
using PairsAt = std::function<std::vector<std::pair<Trace, Trace>>(float hp_hz, float lp_hz)>;

// What every corner fit of one crossover search shares.
struct CornerSearch {
    PairsAt pairs_at;
    std::optional<Window> window;
    float lo_hz = 0.0f;  // corner range, two octaves around its centre
    float hi_hz = 0.0f;
};

// The fit of one corner pair, or nothing when the search or the flatness measure has nothing.
std::optional<CrossoverFit> corner_fit(const CornerSearch& search, float hp_hz, float lp_hz);

// Lazy iteration over every (outer, inner) corner pair, yielding the results
// that are present; the per-pair function runs only when the next result is asked for.
class CrossoverCandidates {
public:
    using PerPair = std::function<std::optional<CrossoverFit>(float outer, float inner)>;
    CrossoverCandidates(std::vector<float> outer, std::vector<float> inner, PerPair fn);
    std::optional<CrossoverFit> next();

private:
    std::vector<float> outer_;
    std::vector<float> inner_;
    PerPair fn_;
    std::size_t i_ = 0;
    std::size_t j_ = 0;
};

CrossoverCandidates crossover_candidates(std::vector<float> outer, std::vector<float> inner,
                                         CrossoverCandidates::PerPair fn);

// Corner pairs up to an octave around sqrt(hp x lp), flattest first, and the
// fit of the corners as they are.
std::pair<std::vector<CrossoverFit>, std::optional<CrossoverFit>> crossovers(float hp_hz, float lp_hz,
                                                                             const PairsAt& pairs_at);

}  // namespace engine::align
