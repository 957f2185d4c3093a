#include "audio-watcher/config.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace audio_watcher::config {

std::uint32_t format_preference(SampleFormat f) {
    switch (f) {
        case SampleFormat::F32: return 10;
        case SampleFormat::I32: return 9;
        case SampleFormat::I24: return 8;
        case SampleFormat::I16: return 7;
        case SampleFormat::F64: return 6;
        case SampleFormat::I64: return 5;
        case SampleFormat::U32: return 4;
        case SampleFormat::U16: return 3;
        case SampleFormat::U24: return 3;
        case SampleFormat::U64: return 2;
        case SampleFormat::I8: return 1;
        case SampleFormat::U8: return 1;
    }
    return 0;
}

std::uint32_t rate_score(std::uint32_t candidate, std::uint32_t desired) {
    if (candidate == desired) return std::numeric_limits<std::uint32_t>::max();
    if (candidate == 0 || desired == 0) return 0;
    const std::uint32_t hi = std::max(candidate, desired);
    const std::uint32_t lo = std::min(candidate, desired);
    if (hi % lo != 0) return 0;
    const std::uint32_t r = hi / lo;
    return r <= 100 ? 100 - r : 0;
}

std::uint32_t best_rate_in_range(std::uint32_t desired, std::uint32_t min, std::uint32_t max) {
    if (min <= desired && desired <= max) return desired;
    const std::uint32_t lo = max >= 44100 ? std::max(min, std::uint32_t{44100}) : min;
    if (lo > max) throw std::invalid_argument(fmt::format("min > max. min = {}, max = {}", lo, max));
    std::uint32_t best = std::clamp(desired, lo, max);
    std::uint32_t score = 0;
    for (std::uint32_t i = 2; i <= 32; ++i) {
        if (desired % i == 0) {
            const std::uint32_t q = desired / i;
            if (lo <= q && q <= max && rate_score(q, desired) > score) {
                best = q;
                score = rate_score(q, desired);
            }
        }
        const std::uint32_t h = desired * i;  // unsigned: wraps like the 32-bit arithmetic it stands for
        if (lo <= h && h <= max && rate_score(h, desired) > score) {
            best = h;
            score = rate_score(h, desired);
        }
    }
    return best;
}

std::optional<StreamConfig> pick_config(std::span<const SupportedRange> ranges, std::uint32_t desired) {
    using Key = std::tuple<bool, std::uint32_t, std::uint32_t, std::uint16_t>;
    const SupportedRange* winner = nullptr;
    Key best_key{};
    for (const auto& r : ranges) {
        const std::uint32_t rate = best_rate_in_range(desired, r.min_rate, r.max_rate);
        const Key key{rate >= 44100, format_preference(r.format), rate_score(rate, desired), r.channels};
        if (winner == nullptr || key >= best_key) {  // equal keys: the later range wins
            winner = &r;
            best_key = key;
        }
    }
    if (winner == nullptr) return std::nullopt;
    return StreamConfig{.buffer_size = winner->buffer_size,
                        .channels = winner->channels,
                        .format = winner->format,
                        .rate = best_rate_in_range(desired, winner->min_rate, winner->max_rate)};
}

}  // namespace audio_watcher::config
