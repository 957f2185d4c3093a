#pragma once
// The alignment searches behind the Align panel's mode buttons: from the
// stored, ticked traces they work out candidate strip changes and a one-line
// note (Level, Delay, Delay over all positions, Crossover).
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "engine/tuning/align.h"
#include "engine/tuning/design.h"
#include "ui/main_window/align/align_session.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

using TracePairs = std::vector<std::pair<Trace, Trace>>;
// The candidates of a run, in the order offered, and its note.
using AlignFound = std::pair<std::vector<AlignCandidate>, std::string>;

// Runs `mode` for `aligned` against `reference` on the window's traces and
// design. A failure is the text to show. Changes nothing but the alignment
// cell (the Delay mode stores its result there).
base::Result<AlignFound> alignment_search(const WindowState& s, const std::string& reference,
                                          const std::string& aligned, std::uint8_t mode);

// The weight of frequency f where both strips' crossover filters pass (the
// product of the two strips' HP x LP magnitudes); none below 0.05.
std::optional<float> strip_weight(const engine::design::Source& reference, const engine::design::Source& aligned,
                                  float f);

// (reference, aligned) ticked traces per position, in the traces' position
// order; positions lacking either are skipped. The first passes both through
// their strips (with the crossover filters), the second gives them as stored.
TracePairs strip_pairs_by_position(const WindowState& s, const std::string& reference, const std::string& aligned);
TracePairs raw_pairs_by_position(const WindowState& s, const std::string& reference, const std::string& aligned);

// The band where both traces play through both strips (level within 10, 15,
// then 20 dB, weighted by the strips), or none; none for different rates.
std::optional<engine::align::Overlap> level_band(const Trace& reference, const Trace& aligned,
                                                 const engine::design::Source& r, const engine::design::Source& a);

// The notes of the modes.
std::string level_note(const std::string& aligned, float d, const std::string& reference, float lo_hz, float hi_hz);
std::string delay_note(const engine::align::Alignment& al, const std::string& reference, const std::string& aligned);
std::string multi_note(const engine::align::MultiAlignment& m, const std::string& reference,
                       const std::string& aligned);
// `fits` sorted flattest first (not empty); `as_were` the current corners' fit.
std::string crossover_note(const std::vector<engine::align::CrossoverFit>& fits,
                           const std::optional<engine::align::CrossoverFit>& as_were, std::size_t positions,
                           float hp, float lp);

// The first to four corner pairs offered: flattest first, none within 0.2
// octave in both corners of one offered before.
std::vector<engine::align::CrossoverFit> shortlist(const std::vector<engine::align::CrossoverFit>& fits);

}  // namespace ui::main_window
