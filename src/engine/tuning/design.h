#pragma once
// The system design: the loudspeaker sources with their processing strips,
// seat zones and routes; the filter responses of a strip and the predicted
// sum of measured traces through their strips.
#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/tuning/align.h"
#include "engine/tuning/eqfit.h"

namespace engine::trace {
struct Trace;
}

namespace engine::design {

using Complex = std::complex<float>;
using eqfit::Band;
using eqfit::BandKind;
using eqfit::Shaping;
using eqfit::ShapingModel;

// Crossover filter families, in their stored order.
enum class FilterKind : std::uint8_t {
    Butterworth = 0,
    LinkwitzRiley = 1,
    GalileoHp = 2,
    GalileoLp = 3,
    GalileoElliptic = 4,
};

// Short label used in console warnings and by the panels: "BW", "LR", "2nd", "lp", "ell".
const char* short_label(FilterKind kind);

// One crossover filter.
struct Filter {
    bool on = false;
    FilterKind kind = FilterKind::LinkwitzRiley;
    std::uint8_t slope_db = 24;  // dB/oct in steps of 6; order = slope_db / 6
    float hz = 100.0f;           // corner frequency

    // Complex response at f Hz. `lowpass` selects the low-pass use of the
    // Butterworth and Linkwitz-Riley families; the Galileo kinds ignore it.
    // Exactly 1 when off, at f <= 0, or with a corner that is not positive and finite.
    Complex response(bool lowpass, float f) const;

    bool operator==(const Filter&) const = default;
};

// Q convention of the target processor (how Q is shown, typed and written out).
enum class QConv : std::uint8_t { Rbj = 0, Wing = 1, AllenHeath = 2, Galileo = 3 };

// Air-absorption compensation of a seat zone.
struct Air {
    bool on = false;
    float strength_pct = 100.0f;
    std::optional<float> distance_m;
    // Recomputed by the window's air-compensation effect; only applied here.
    Band band{8000.0f, 0.0f, 0.7f, false, BandKind::Peak};

    bool operator==(const Air&) const = default;
};

// A seat zone: per-seat correction on top of the source strip.
struct Zone {
    std::string position;  // the measurement position this zone belongs to
    std::vector<Band> bands;
    bool peq = true;
    Air air;

    bool operator==(const Zone&) const = default;
};

// Which parts of a strip are sent.
struct Parts {
    bool eq = true;       // the source bands and shaping
    bool zone_eq = true;  // the zone's bands
    bool air = true;      // the zone's air band
    bool hp = true;
    bool lp = true;
    bool delay = true;
    bool polarity = true;

    bool operator==(const Parts&) const = default;
};

// Where a zone strip goes: the single alternative Wing with the console
// target text as the user chose it ("ch 5").
struct Dest {
    enum class Kind : std::uint8_t { Wing = 0 };
    Kind kind = Kind::Wing;
    std::string target;

    static Dest wing(std::string target) { return Dest{Kind::Wing, std::move(target)}; }

    bool operator==(const Dest&) const = default;
};

// One send of a zone strip.
struct Route {
    std::string zone;  // zone position; empty or unmatched: the plain source strip
    Parts parts;
    Dest dest;

    bool operator==(const Route&) const = default;
};

// One loudspeaker source and its processing strip.
struct Source {
    std::string name;
    float gain_db = 0.0f;
    float delay_ms = 0.0f;
    bool invert = false;
    Filter hp;
    Filter lp;
    Shaping shaping;
    std::vector<Band> bands;
    QConv q_as = QConv::Rbj;
    bool shelves = true;
    bool peq = true;
    std::vector<Zone> zones;
    float split_hz = 1000.0f;
    std::vector<Route> routes;
    float reflect_trust = 1.0f;
    bool reflect_shown = true;

    // A new source with every default (six log-spaced Peak bands, off).
    static Source make(std::string name);

    // One strip ready to send: this source flattened with one of its zones,
    // and the parts that apply to it.
    std::pair<Source, Parts> flat(const std::string& zone, const Parts& parts) const;

    // Complex response at f of the shaping stage, the source bands (when peq)
    // and every zone of `position`. Filters, gain, delay and polarity are not in it.
    Complex eq_at(const std::string& position, float f) const;

    bool operator==(const Source&) const = default;
};

// The system design kept in every project.
struct Design {
    std::vector<Source> sources;

    // The first source named `name`; a new one is appended when there is none.
    Source& source_mut(const std::string& name);

    bool operator==(const Design&) const = default;
};

// The trace through the source's gain, polarity and delay, and through its
// hp and lp filters when `with_filters` is set (the EQ is not applied).
trace::Trace processed_with(const trace::Trace& trace, const Source& source, bool with_filters);

// The trial pairs of a crossover search: the raw (reference, aligned) pairs
// through copies of the two strips whose crossover corners (the upper
// source's HP, the lower one's LP) are replaced by the corners asked for.
// Each side depends on one corner only, so the returned function keeps each
// side's traces per corner and makes them once; call it from one thread at a time.
align::PairsAt pairs_at_corners(Source reference, Source aligned, bool aligned_upper,
                                std::vector<std::pair<trace::Trace, trace::Trace>> raw);

// The complex sum "Predicted" of every (source, trace) pair through its full
// strip (EQ too when `with_eq`), on the first trace's time base. Nothing for no pairs.
std::optional<trace::Trace> sum_of(std::span<const std::pair<const Source*, const trace::Trace*>> pairs,
                                   bool with_eq);

}  // namespace engine::design
