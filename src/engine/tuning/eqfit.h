#pragma once
// The equaliser model and the EQ fit: parametric bands, the shaping stage of
// a strip, the house target curve, seat levelling and the fit itself.
// Everything here is a pure function on values.
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace engine::trace {
struct Trace;
}

namespace engine::eqfit {

using Complex = std::complex<float>;

// ---------------------------------------------------------------- bands

enum class BandKind : std::uint8_t { Peak = 0, LowShelf = 1, HighShelf = 2 };

// One parametric band. Q is always stored in the RBJ sense.
struct Band {
    float hz = 1000.0f;
    float gain_db = 0.0f;
    float q = 2.0f;
    bool on = false;
    BandKind kind = BandKind::Peak;

    // The default band at a frequency: Peak, off, 0 dB, Q 2.
    static Band default_at(float hz);

    // Complex response at f Hz (the analog second-order prototype at s = j f/hz).
    // 1 when off, at f <= 0, or with a centre or Q that is not a positive finite number.
    Complex response(float f) const;

    bool operator==(const Band&) const = default;
};

// ---------------------------------------------------------------- shaping

enum class ShapingModel : std::uint8_t { Galileo = 0, Callisto = 1 };

// The processor's shaping stage: plateau gains between knee frequencies.
struct Shaping {
    bool on = false;
    ShapingModel model = ShapingModel::Galileo;
    std::array<float, 5> gain_db{0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::array<float, 4> hz{125.0f, 500.0f, 4000.0f, 20000.0f};
    std::array<std::uint8_t, 4> slope_db{6, 6, 6, 6};

    // The stage of a model with its default knees and slopes, gains 0 dB, off.
    static Shaping defaults(ShapingModel model);

    // Number of knees the model uses (3 for Galileo, 4 for Callisto); gains used is one more.
    static std::size_t knees_used(ShapingModel model);

    // Complex response at f Hz; exactly 1 when off or at f <= 0.
    Complex response(float f) const;

    // Brings gains into [-15, +12] dB and keeps the used knees at least a third
    // of an octave apart inside 20 Hz .. 20 kHz, in place.
    void clamp();

    bool operator==(const Shaping&) const = default;
};

// ---------------------------------------------------------------- target curve

enum class Curve : std::uint8_t { Flat = 0, LivePa = 1 };

// The house target: a curve and the level its low-frequency hump reaches.
struct House {
    Curve curve = Curve::LivePa;
    float bass_db = 6.0f;

    // Target level in dB at f Hz.
    float db_at(float f) const;

    bool operator==(const House&) const = default;
};

// ---------------------------------------------------------------- band lists

// Makes the list exactly n long: cuts it, or appends default bands spread over
// n equal log-frequency slices of 40 Hz .. 16 kHz.
void resize_bands(std::vector<Band>& bands, std::size_t n);

// Whether band `index` may sit at hz without crowding the others (a third of
// an octave; a boost and a wider cut keep half the cut's bandwidth apart).
// `index` may lie past the end of the list for a band not in it yet.
bool spaced(std::span<const Band> bands, std::size_t index, float hz);

// Band response in dB: 20 log10(max(|H|, 1e-9)).
float band_db(const Band& band, float f);

// Shaping response in dB: 20 log10(max(|H|, 1e-9)).
float shaping_db(const Shaping& shaping, float f);

// ---------------------------------------------------------------- seats

// The merged, levelled seats on the 240-point grid; each list has 240 values.
struct Target {
    std::vector<float> hz;      // grid frequencies, Hz
    std::vector<float> db;      // merged, levelled level, dB (0 where no seat is confident)
    std::vector<float> weight;  // mean confidence weight per seat after smoothing
    std::vector<float> spread;  // largest minus smallest levelled seat level, dB

    bool operator==(const Target&) const = default;
};

// Each seat's level relative to the mean of all seats, in dB, one per trace.
// Every trace must carry its 240 derived points.
std::vector<float> seat_levels(std::span<const trace::Trace* const> traces);

// The levelled seats merged into one robust curve.
Target target(std::span<const trace::Trace* const> traces);

// ---------------------------------------------------------------- the fit

// What the fit may move.
struct FitWhat {
    bool gains = true;
    bool knees = true;
    bool bands = true;

    bool operator==(const FitWhat&) const = default;
};

struct Fit {
    std::vector<Band> bands;                    // sorted by ascending hz
    Shaping shaping;                            // the shaping stage after the fit
    std::vector<std::pair<float, float>> ranges;  // (first, last) Hz where seats disagree by 9 dB or more
    float rms_before = 0.0f;                    // dB, a constant offset removed
    float rms_after = 0.0f;                     // dB, with the fitted shaping and bands

    bool operator==(const Fit&) const = default;
};

// Weighted spread of resid + sum of rows about its own weighted mean, plus a
// boost penalty; +infinity with `limit` when a weighted point's total EQ
// exceeds max_boost_db by more than 0.01 dB.
float error_rows(std::span<const float> resid, std::span<const float> weight,
                 std::span<const std::vector<float>> rows, bool limit, float max_boost_db);

// error_rows with one row per band (its response in dB at each hz).
float error(std::span<const float> resid, std::span<const float> weight, std::span<const float> hz,
            std::span<const Band> bands, float max_boost_db, bool limit);

// Local search over frequency, gain and Q of every band, in place.
void refine(std::vector<Band>& bands, std::span<const float> resid, std::span<const float> weight,
            std::span<const float> hz, float max_boost_db, float lo_hz, float hi_hz, float floor_hz);

// Proposes shaping and bands so that the levelled measurement follows the
// house curve. Empty when nothing confident lies between lo and hi_hz.
// Deterministic: the same inputs give the same result.
std::optional<Fit> fit_leveled(const Target& target, std::size_t n_bands, Curve curve, bool shelves,
                               const Shaping& shaping, std::span<const Band> bands, float max_boost_db,
                               float floor_hz, float hi_hz, float bass_db, float lo_hz, FitWhat what);

}  // namespace engine::eqfit
