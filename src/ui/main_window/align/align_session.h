#pragma once
// The values of an alignment in progress: the strip changes an alignment run
// offers (candidates) and the session that holds them. Plain values, held in
// the window's alignment session cell.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/tuning/design.h"

namespace ui::main_window {

// Alignment modes, in the order of the panel's buttons.
enum AlignMode : std::uint8_t {
    ALIGN_LEVEL = 0,
    ALIGN_DELAY = 1,
    ALIGN_DELAY_ALL = 2,
    ALIGN_CROSSOVER = 3,
    ALIGN_NO_MODE = 255,
};

// One strip change offered by an alignment run.
struct AlignCandidate {
    // Add gain_db to the aligned source's gain; lo_hz..hi_hz is the band compared.
    struct Level {
        float gain_db = 0.0f;
        float lo_hz = 0.0f;
        float hi_hz = 0.0f;
        bool operator==(const Level&) const = default;
    };
    // delay_ms >= 0: delay the aligned source by that much more; below 0 the
    // reference by -delay_ms more. invert: flip the aligned source.
    struct Delay {
        bool invert = false;
        float delay_ms = 0.0f;
        bool operator==(const Delay&) const = default;
    };
    // New crossover corners (the upper source's HP, the lower source's LP),
    // with the delay and polarity found for them and their ripple.
    struct Crossover {
        bool invert = false;
        bool aligned_upper = false;
        float hp_hz = 0.0f;
        float lp_hz = 0.0f;
        float delay_ms = 0.0f;
        float ripple_db = 0.0f;
        bool operator==(const Crossover&) const = default;
    };

    std::variant<Level, Delay, Crossover> kind;

    template <class V>
    bool is() const {
        return std::holds_alternative<V>(kind);
    }
    bool operator==(const AlignCandidate&) const = default;
};

// An alignment in progress.
struct AlignSession {
    std::string aligned;                           // the source being aligned
    std::string reference;                         // empty when there is no other source
    std::vector<engine::design::Source> saved;     // the design's strips when the session opened
    std::vector<AlignCandidate> candidates;        // of the last successful run
    std::string note;                              // of the last successful run
    std::size_t picked = 0;                        // the candidate last applied
    std::uint8_t mode = ALIGN_NO_MODE;             // of the last successful run
    // What is written into the strips now, and the reference it was written
    // against: undoing it restores exactly the fields it changed.
    std::optional<AlignCandidate> applied;
    std::string applied_reference;

    bool operator==(const AlignSession&) const = default;
};

}  // namespace ui::main_window
