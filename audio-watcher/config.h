#pragma once
// Choosing the stream configuration with which a device is opened.
#include <cstdint>
#include <optional>
#include <span>

#include "audio-watcher/host.h"

namespace audio_watcher::config {

using host::SampleFormat;
using host::StreamConfig;
using host::SupportedRange;

// Preference of a sample format (higher wins): F32 10, I32 9, I24 8, I16 7,
// F64 6, I64 5, U32 4, U16 and U24 3, U64 2, I8 and U8 1, anything else 0.
std::uint32_t format_preference(SampleFormat f);

// How well a candidate rate suits the desired one: the maximum for equal
// rates; 100 - r when one is r times the other (r <= 100); else 0.
std::uint32_t rate_score(std::uint32_t candidate, std::uint32_t desired);

// The rate to use inside [min, max] for a desired rate. Rates below 44100 are
// avoided when the range reaches 44100; small whole ratios of the desired
// rate are preferred. Requires min <= max (throws std::invalid_argument with
// "min > max. min = {}, max = {}" otherwise).
std::uint32_t best_rate_in_range(std::uint32_t desired, std::uint32_t min, std::uint32_t max);

// The configuration to open a device with: empty only for an empty list.
std::optional<StreamConfig> pick_config(std::span<const SupportedRange> ranges, std::uint32_t desired);

}  // namespace audio_watcher::config
