#include "engine/core/trace.h"

#include <algorithm>
#include <array>
#include <bit>
#include <map>
#include <cmath>
#include <set>
#include <utility>

#include "base/cast.h"
#include "base/pages.h"
#include "engine/core/internal/tf_detail.h"

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

std::vector<float> Layer::impulse(float fs) const {
    std::vector<float> out;
    base::pages::resize(out, n);
    if (n == 0) return out;
    const std::size_t pre = base::saturating_cast<std::size_t>(std::floor(fs * 0.001f)) % n;
    std::size_t idx = n - pre;
    if (idx == n) idx = 0;
    for (std::int16_t q : ir) {
        out[idx] = static_cast<float>(q) * scale;
        if (++idx == n) idx = 0;
    }
    return out;
}

namespace {

Complex unit(Complex z) {
    const float a = tf::magnitude(z);
    return a > 0.0f ? z / a : Complex{};
}

}  // namespace

namespace {

// The bins grid point i reads in an FFT of size n (n >= 4): its band
// k_lo..k_hi, and k0, k1 = k0 + 1 around the grid frequency at x.
struct PointBins {
    std::size_t k_lo, k_hi, k0, k1;
    float x;
};

PointBins point_bins(std::size_t i, float df, std::size_t top) {
    PointBins p;
    p.k_lo = base::saturating_cast<std::size_t>(std::floor(tf::band_lo(i) / df + 0.5f));
    if (p.k_lo == 0) p.k_lo = 1;
    p.k_lo = std::min(p.k_lo, top);
    p.k_hi = base::saturating_cast<std::size_t>(std::floor(tf::band_hi(i) / df + 0.5f));
    p.k_hi = std::max(std::min(p.k_hi, top), p.k_lo);
    p.x = std::fmin(std::fmax(tf::point_freq()[i] / df, 1.0f), static_cast<float>(top));
    p.k0 = base::saturating_cast<std::size_t>(std::floor(p.x));
    p.k1 = std::min(p.k0 + 1, top);
    return p;
}

}  // namespace

std::vector<Triple> grid_of_bins(const LayerBins& layer, float fs) { return grid_of_bins(layer.n, fs, layer.bins); }

std::size_t grid_bins_read(std::size_t n, float fs, const std::vector<bool>& read) {
    if (n < 4) return 0;
    const float df = fs / static_cast<float>(n);
    const std::size_t top = n / 2 - 1;
    std::size_t count = 0;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (i < read.size() && !read[i]) continue;
        const PointBins p = point_bins(i, df, top);
        count = std::max(count, std::max(p.k_hi, p.k1) + 1);
    }
    return count;
}

namespace {

// grid_of_bins over bins 0 .. count - 1, bin(k) giving bin k (count <= k are zero).
template <class Bin>
std::vector<Triple> grid_of(std::size_t n, float fs, std::size_t count, Bin bin_at, const std::vector<bool>& read) {
    std::vector<Triple> out(tf::GRID_POINTS);
    if (n < 4) return out;
    auto bin = [&](std::size_t k) { return k < count ? bin_at(k) : Triple{}; };
    auto value = [&](std::size_t k) {
        const Triple b = bin(k);
        return Complex(b.re, b.im);
    };
    const float df = fs / static_cast<float>(n);
    const std::size_t top = n / 2 - 1;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        if (i < read.size() && !read[i]) continue;
        const auto [k_lo, k_hi, k0, k1, x] = point_bins(i, df, top);
        float mag = 0.0f;
        float conf = 0.0f;
        for (std::size_t k = k_lo; k <= k_hi; ++k) {
            const Triple b = bin(k);
            mag += tf::magnitude(Complex(b.re, b.im));
            conf += b.conf;
        }
        const float cnt = static_cast<float>(k_hi - k_lo + 1);
        mag /= cnt;
        conf /= cnt;

        const float t = x - static_cast<float>(k0);
        const Complex u = (1.0f - t) * unit(value(k0)) + t * unit(value(k1));
        float phase;
        if (std::abs(u) >= 0.5f) {
            phase = std::arg(u);
        } else {
            const std::size_t k = std::min(t >= 0.5f ? k0 + 1 : k0, top);
            phase = std::arg(unit(value(k)));
        }
        out[i] = Triple{mag * std::cos(phase), mag * std::sin(phase), conf};
    }
    return out;
}

}  // namespace

std::vector<Triple> grid_of_bins(std::size_t n, float fs, std::span<const Triple> bins, const std::vector<bool>& read) {
    return grid_of(n, fs, bins.size(), [&](std::size_t k) { return bins[k]; }, read);
}

void impulse_of_transfer(std::size_t n, std::span<Complex> x, std::vector<float>& out) {
    out.resize(n);
    if (n == 0) return;
    // Bins 0..n/2 of a real response (0 and n/2 left empty); the others mirror them.
    x[0] = Complex{};
    x[n / 2] = Complex{};
    tf::plan::real_inverse(n)->process(x.first(n / 2 + 1), out);
    const float nf = static_cast<float>(n);
    for (float& v : out) v /= nf;
}

namespace {

// The layer of `count` kept samples, value(j) the j-th of them, quantised to
// 16 bits against the largest.
template <class Value>
Layer quantise(std::size_t n, std::size_t count, Value value) {
    Layer layer;
    layer.n = n;
    float p = 1.17549435e-38f;
    for (std::size_t j = 0; j < count; ++j) p = std::fmax(p, std::abs(value(j)));
    layer.scale = p / 32767.0f;
    layer.ir.resize(count);
    for (std::size_t j = 0; j < count; ++j) layer.ir[j] = base::saturating_round<std::int16_t>(value(j) / layer.scale);
    return layer;
}

// The stored layer of the first `given` bins of an FFT of size n, bin(k)
// giving bin k (the others zero): the 1 ms before time zero and the n/2
// samples from time zero on, of its circular impulse response (bins 0 and
// n/2 left out). `done` is called once no bin is read any more.
template <class Bin, class Done>
Layer layer_of(std::size_t n, std::size_t given, Bin bin, float fs, Done done) {
    if (n == 0) {
        done();
        Layer layer;
        layer.scale = 1.17549435e-38f / 32767.0f;
        return layer;
    }
    const std::size_t pre = base::saturating_cast<std::size_t>(std::floor(fs * 0.001f));
    const std::size_t count = pre + n / 2;
    std::vector<Complex>& x = tf::thread_scratch();
    base::pages::resize(x, n / 2 + 1);
    given = std::min(n / 2, given);
    for (std::size_t k = 0; k < given; ++k) x[k] = bin(k);
    std::fill(x.begin() + static_cast<std::ptrdiff_t>(given), x.end(), Complex{});
    done();
    const tf::plan::FftHandle inverse = tf::plan::inverse(n);
    if (inverse->by_chirp() && pre <= n - n / 2) {
        // Only the kept samples are transformed. The bins of a real response
        // above n/2 mirror those below, so with Y the inverse transform of
        // bins 1 .. n/2 - 1 alone, sample t is 2 Re(Y_t) / n.
        x[0] = Complex{};
        base::pages::resize(x, std::max(n / 2 + 1, count));
        inverse->process_part(std::span<const Complex>(x).first(n / 2), (n - pre) % n, std::span<Complex>(x).first(count));
        const float nf = static_cast<float>(n);
        return quantise(n, count, [&](std::size_t j) { return 2.0f * x[j].real() / nf; });
    }
    std::vector<float> ir;
    impulse_of_transfer(n, x, ir);
    return quantise(n, count, [&](std::size_t j) { return ir[j < pre ? (n - pre % n + j) % n : j - pre]; });
}

}  // namespace

Trace Trace::from_layers(std::string name, std::uint32_t fs, std::size_t delay_samples,
                         std::span<const LayerBins> layers, std::span<const float> cal, float gate) {
    const float fsf = static_cast<float>(fs);
    std::vector<std::vector<Triple>> grids;
    grids.reserve(layers.size());
    for (const LayerBins& l : layers) grids.push_back(grid_of_bins(l, fsf));
    const std::vector<Triple> merged = tf::merge_cal(grids, cal, fsf);
    Trace t = make(std::move(name), fs, delay_samples, merged, gate);
    t.layers.reserve(layers.size());
    for (const LayerBins& l : layers)
        t.layers.push_back(layer_of(
            l.n, l.bins.size(), [&](std::size_t k) { return Complex(l.bins[k].re, l.bins[k].im); }, fsf, [] {}));
    t.cal.assign(cal.begin(), cal.end());
    t.render_ir();
    return t;
}

Trace Trace::from_bins(std::string name, std::uint32_t fs, std::size_t delay_samples, std::size_t n,
                       std::vector<Complex>&& h, std::vector<float>&& conf, float gate) {
    const float fsf = static_cast<float>(fs);
    const std::size_t given = std::min(h.size(), conf.size());
    const std::vector<std::vector<Triple>> grids{grid_of(
        n, fsf, given, [&](std::size_t k) { return Triple{h[k].real(), h[k].imag(), conf[k]}; }, {})};
    std::vector<float>().swap(conf);
    Trace t = make(std::move(name), fs, delay_samples, tf::merge_cal(grids, {}, fsf), gate);
    t.layers.push_back(layer_of(n, given, [&](std::size_t k) { return h[k]; }, fsf,
                                [&] { std::vector<Complex>().swap(h); }));
    t.render_ir();
    return t;
}

namespace {

// For each of `count` layers, whether the merge at grid point i reads it at
// all (layers fully crossed over to a shorter one are not read). Kept per
// thread for each sample rate and layer count.
const std::vector<std::array<bool, tf::GRID_POINTS>>& merge_reads(std::size_t count, float fs) {
    thread_local std::map<std::pair<std::uint32_t, std::size_t>, std::vector<std::array<bool, tf::GRID_POINTS>>> cache;
    const auto key = std::make_pair(std::bit_cast<std::uint32_t>(fs), count);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    std::vector<std::array<bool, tf::GRID_POINTS>> reads(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<std::vector<Triple>> probe(count, std::vector<Triple>(tf::GRID_POINTS));
        probe[k].assign(tf::GRID_POINTS, Triple{1.0f, 0.0f, 0.0f});
        const auto m = tf::merge_cal(probe, {}, fs);
        for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) reads[k][i] = m[i].re != 0.0f;
    }
    return cache.emplace(key, std::move(reads)).first->second;
}

}  // namespace

void Trace::apply_cycles(float cycles) {
    windowed.clear();
    if (cycles > 0.0f && !layers.empty()) {
        const float fsf = static_cast<float>(fs);
        const tf::Grid& f = tf::point_freq();
        // Only the four layers of the layer set have crossovers.
        const std::size_t count = std::min<std::size_t>(layers.size(), 4);
        const auto& reads = merge_reads(count, fsf);
        std::vector<std::vector<Triple>> grids(count, std::vector<Triple>(tf::GRID_POINTS));
        for (std::size_t l = 0; l < count; ++l) {
            const std::vector<float> ir = layers[l].impulse(fsf);
            if (ir.empty()) continue;
            for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
                // A value the merge gives no weight is not computed.
                if (!reads[l][i]) continue;
                const Complex v = tf::windowed_at(ir, fsf, f[i], cycles);
                grids[l][i] = Triple{v.real(), v.imag(), i < confidence.size() ? confidence[i] : 0.0f};
            }
        }
        const std::vector<Triple> merged = tf::merge_cal(grids, cal, fsf);
        windowed.reserve(merged.size());
        for (const Triple& m : merged) windowed.emplace_back(m.re, m.im);
    }
    rebuild_points();
}

void Trace::render_ir() {
    if (layers.empty()) return;
    const float fsf = static_cast<float>(fs);
    const std::vector<float> imp = layers.front().impulse(fsf);
    tf::IrView view = tf::confident_ir_display(imp, confidence, fsf);
    ir_ms = view.span_ms;
    ir = std::move(view.display.display);
    arrivals = std::move(view.display.arrivals);
}

void untick_duplicates(std::vector<Trace>& traces) {
    std::set<std::pair<std::string, std::string>> seen;
    for (Trace& t : traces) {
        if (!t.used) continue;
        if (!seen.emplace(t.position, t.source).second) t.used = false;
    }
}

}  // namespace engine::trace
