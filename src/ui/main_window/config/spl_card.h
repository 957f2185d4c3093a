#pragma once
// The SPL card of the Config tab in the SPL view: weighting, RTA response,
// FFT size, peak decay, the level range shown, the Leq windows, smoothing,
// and the SPL offset with its calibrator button.
#include <cstdint>

#include "ui/main_window/config/card_parts.h"

namespace ui::main_window {

// The level of the acoustic calibrator the offset is set for.
inline constexpr float CALIBRATOR_DB = 94.0f;

// Reads the window state from the root's context.
reactive::Element spl_card();

// "{N} · {fs/N:.1} Hz · {N/fs×1000:.0} ms"; the size alone without a rate.
std::string fft_label(std::uint64_t size, std::uint32_t rate);

void set_spl_fft(Settings& settings, std::uint64_t size);

// The card's handlers; those the meter takes live also reach a meter that exists.
void choose_weighting(const WindowState& s, const Choice& chosen);
void choose_response(const WindowState& s, const CardWorkers& w, const Choice& chosen);
void choose_spl_fft(const WindowState& s, const Choice& chosen);
void choose_peak_decay(const WindowState& s, const CardWorkers& w, const Choice& chosen);
// The range bounds are shown and typed with the offset added and stored
// without it, each at least 10 dB from the other and within ±200 dB.
void set_range_top(const WindowState& s, double value);
void set_range_bottom(const WindowState& s, double value);
void choose_leq_short(const WindowState& s, const CardWorkers& w, const Choice& chosen);
void choose_leq_long(const WindowState& s, const CardWorkers& w, const Choice& chosen);
void choose_spl_smoothing(const WindowState& s, const Choice& chosen);
void set_spl_offset(const WindowState& s, double value);
// Sets the offset so that the meter's level now reads the calibrator's.
void calibrate_spl(const WindowState& s, const CardWorkers& w);

}  // namespace ui::main_window
