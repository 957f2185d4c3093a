#include "engine/trace.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "base/cast.h"

namespace engine::trace {

std::string default_position() { return "Position 1"; }

Trace Trace::make(std::string name, std::uint32_t fs, std::size_t delay_samples, std::span<const Triple> bins,
                  float gate) {
    Trace t;
    t.source = name;
    t.name = std::move(name);
    t.position = default_position();
    t.fs = fs;
    t.n = 0;
    t.delay_samples = delay_samples;
    t.gate = gate;
    t.h.reserve(bins.size());
    t.confidence.reserve(bins.size());
    for (const Triple& b : bins) {
        t.h.emplace_back(b.re, b.im);
        t.confidence.push_back(b.conf);
    }
    t.rebuild_points();
    return t;
}

Trace Trace::with_points(const Trace& t, std::span<const Triple> bins) {
    Trace out = make(t.name, t.fs, t.delay_samples, bins, t.gate);
    out.source = t.source;
    out.position = t.position;
    out.visible = t.visible;
    out.used = t.used;
    return out;
}

void Trace::rebuild_points() {
    const std::vector<Complex>& src = windowed.empty() ? h : windowed;
    const std::size_t count = std::min({src.size(), confidence.size(), tf::GRID_POINTS});
    std::vector<Triple> bins(count);
    for (std::size_t i = 0; i < count; ++i) bins[i] = Triple{src[i].real(), src[i].imag(), confidence[i]};
    points = tf::points_of(bins);
}

void untick_duplicates(std::vector<Trace>& traces) {
    std::set<std::pair<std::string, std::string>> seen;
    for (Trace& t : traces) {
        if (!t.used) continue;
        if (!seen.emplace(t.position, t.source).second) t.used = false;
    }
}

}  // namespace engine::trace
