// The analysis layer set of the analyzer.
#include <algorithm>
#include <bit>
#include <cmath>
#include <tuple>

#include "base/cast.h"
#include "engine/analyzer/analyzer.h"

namespace engine::analyzer {

std::size_t rate_factor(float fs) {
    const float r = std::round(fs / 48000.0f);
    const std::uint64_t ri = base::saturating_cast<std::uint64_t>(r);
    if (ri <= 1) return 1;
    return static_cast<std::size_t>(std::bit_ceil(std::min<std::uint64_t>(ri, std::uint64_t{1} << 32)));
}

std::vector<std::size_t> harmonic_offsets(float fs, Signal signal, float sweep_secs) {
    float t;
    if (signal == Signal::Chirp) {
        t = 0.1f;
    } else if (signal == Signal::Sweep) {
        t = std::fmax(sweep_secs, 0.1f);  // NaN gives 0.1
    } else {
        return {};
    }
    const float f_top = std::fmin(fs * 0.5f, 20000.0f);
    const float d = std::log(f_top / 20.0f);
    constexpr float LN[4] = {0.6931472f, 1.0986123f, 1.3862944f, 1.609438f};
    std::vector<std::size_t> out;
    out.reserve(4);
    for (float ln_k : LN) out.push_back(base::saturating_cast<std::size_t>(((t * ln_k) / d) * fs));
    return out;
}

LayerSet build_layers(float fs, bool single, std::size_t length, Signal signal, float sweep_secs, float average_secs,
                      float coherence_threshold) {
    LayerSet set;
    if (single) {
        const std::size_t n = length;
        const float want = std::ceil(fs * average_secs / static_cast<float>(n));
        const std::size_t avg = std::max<std::size_t>(2, base::saturating_cast<std::size_t>(want));
        tf::TransferFunction layer(n, avg, fs);
        layer.hop = n;
        std::fill(layer.window.begin(), layer.window.end(), 1.0f);
        layer.sweep = true;
        layer.harmonic_offsets = harmonic_offsets(fs, signal, sweep_secs);
        set.sizes.push_back(n);
        set.averages.push_back(avg);
        set.layers.push_back(std::move(layer));
    } else {
        const std::size_t k = rate_factor(fs);
        for (std::size_t base_n : {32768u, 16384u, 4096u, 1024u}) {
            const std::size_t n = base_n * k;
            const float want = std::ceil(fs * average_secs / static_cast<float>(n / 2));
            const std::size_t avg = std::max<std::size_t>(1, base::saturating_cast<std::size_t>(want));
            set.sizes.push_back(n);
            set.averages.push_back(avg);
            set.layers.emplace_back(n, avg, fs);
        }
    }
    for (std::size_t i = 0; i < set.layers.size(); ++i)
        set.accumulators.emplace_back(set.sizes[i], fs, coherence_threshold, set.averages[i]);
    return set;
}

std::vector<std::pair<std::size_t, tf::plan::Direction>> plans_needed(const LayerSet& set, std::size_t window) {
    using tf::plan::Direction;
    std::vector<std::pair<std::size_t, Direction>> out;
    // The longest layer first: it costs the most when estimated.
    for (std::size_t n : set.sizes) {
        out.emplace_back(n, Direction::RealForward);
        out.emplace_back(n, Direction::RealInverse);
    }
    if (!set.sizes.empty()) out.emplace_back(set.sizes.front(), Direction::Inverse);
    if (window >= 2) {
        const std::size_t m = std::bit_ceil(2 * window);
        out.emplace_back(m, Direction::RealForward);
        out.emplace_back(m, Direction::RealInverse);
    }
    return out;
}

}  // namespace engine::analyzer
