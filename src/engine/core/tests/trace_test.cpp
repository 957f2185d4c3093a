#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <complex>
#include <numbers>
#include <vector>

#include "engine/core/snapshot.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace tf = engine::tf;

namespace engine::tf {
inline std::ostream& operator<<(std::ostream& os, const Arrival& a) { return os << "(" << a.ms << " ms, " << a.db << " dB)"; }
}  // namespace engine::tf
using engine::analyzer::Snapshot;
using engine::trace::Layer;
using engine::trace::LayerBins;
using engine::trace::Trace;
using tf::Complex;
using tf::Triple;

namespace {

// Peaking EQ biquad (+6 dB at 1 kHz, Q 2), evaluated exactly on the unit circle.
std::complex<double> peak_filter(double f, double fs) {
    const double a = std::pow(10.0, 6.0 / 40.0);
    const double w0 = 2.0 * std::numbers::pi * 1000.0 / fs;
    const double alpha = std::sin(w0) / (2.0 * 2.0);
    const double b0 = 1 + alpha * a, b1 = -2 * std::cos(w0), b2 = 1 - alpha * a;
    const double a0 = 1 + alpha / a, a1 = -2 * std::cos(w0), a2 = 1 - alpha / a;
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / fs);
    const std::complex<double> z2 = z1 * z1;
    return (b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2);
}

template <class F>
LayerBins layer_of(std::size_t n, double fs, F&& response) {
    LayerBins l{n, std::vector<Triple>(n / 2)};
    for (std::size_t k = 0; k < n / 2; ++k) {
        const auto h = response(fs * static_cast<double>(k) / static_cast<double>(n));
        l.bins[k] = Triple{static_cast<float>(h.real()), static_cast<float>(h.imag()), 1.0f};
    }
    return l;
}

std::vector<LayerBins> four_layers(double fs, auto response) {
    std::vector<LayerBins> out;
    for (std::size_t n : {32768u, 16384u, 4096u, 1024u}) out.push_back(layer_of(n, fs, response));
    return out;
}

std::vector<Triple> grid_triples(auto response, float conf = 1.0f) {
    std::vector<Triple> out(240);
    for (std::size_t i = 0; i < 240; ++i) {
        const auto h = response(static_cast<double>(tf::point_freq()[i]));
        out[i] = Triple{static_cast<float>(h.real()), static_cast<float>(h.imag()), conf};
    }
    return out;
}

auto delay_of(double seconds) {
    return [seconds](double f) { return std::polar(1.0, -2.0 * std::numbers::pi * f * seconds); };
}

}  // namespace

TEST(Trace, NewAndWithPoints) {
    const auto bins = grid_triples(delay_of(0.001), 0.5f);
    Trace t = Trace::make("Left", 48000, 12, bins, 0.7f);
    EXPECT_EQ(t.n, 0u);
    EXPECT_EQ(t.position, "Position 1");
    EXPECT_EQ(t.source, "Left");
    EXPECT_EQ(t.ir_ms, 0.0f);
    EXPECT_TRUE(t.layers.empty());
    EXPECT_TRUE(t.visible);
    EXPECT_TRUE(t.used);
    EXPECT_EQ(t.points.size(), 240u);
    EXPECT_EQ(t.points, tf::points_of(bins));
    EXPECT_EQ(engine::trace::default_position(), "Position 1");

    Trace measured = Trace::from_layers("Main", 48000, 40, four_layers(48000.0, delay_of(0.002)),
                                        std::vector<float>(240, 1.0f), 0.6f);
    measured.source = "PA";
    measured.position = "Seat 3";
    measured.visible = false;
    ASSERT_FALSE(measured.layers.empty());
    ASSERT_FALSE(measured.ir.empty());
    const Trace c = Trace::with_points(measured, bins);
    EXPECT_EQ(c.name, "Main");
    EXPECT_EQ(c.source, "PA");
    EXPECT_EQ(c.position, "Seat 3");
    EXPECT_EQ(c.gate, 0.6f);
    EXPECT_EQ(c.delay_samples, 40u);
    EXPECT_EQ(c.fs, 48000u);
    EXPECT_FALSE(c.visible);
    EXPECT_TRUE(c.used);
    EXPECT_TRUE(c.layers.empty());
    EXPECT_TRUE(c.ir.empty());
    EXPECT_TRUE(c.arrivals.empty());
    EXPECT_TRUE(c.cal.empty());
    EXPECT_EQ(c.ir_ms, 0.0f);
}

TEST(Trace, FromLayersReproducesAKnownFilter) {
    const double fs = 48000.0;
    const Trace t = Trace::from_layers("Peak", 48000, 0, four_layers(fs, [&](double f) { return peak_filter(f, fs); }),
                                       {}, 0.7f);
    ASSERT_EQ(t.h.size(), 240u);
    const auto& f = tf::point_freq();
    for (std::size_t i = 0; i < 240; ++i) {
        if (f[i] < 30.0f || f[i] > 18000.0f) continue;
        const auto want = peak_filter(f[i], fs);
        EXPECT_NEAR(t.points[i].db, 20.0 * std::log10(std::abs(want)), 0.1) << f[i];
        EXPECT_NEAR(t.points[i].deg, std::arg(want) * 180.0 / std::numbers::pi, 1.0) << f[i];
        EXPECT_FLOAT_EQ(t.confidence[i], 1.0f);
    }
    EXPECT_NEAR(t.points[tf::GRID_POINTS / 2].db, 20.0 * std::log10(std::abs(peak_filter(f[120], fs))), 0.1);
    // The layers keep 1 ms before zero and half the response, at full 16-bit scale.
    ASSERT_EQ(t.layers.size(), 4u);
    for (const Layer& l : t.layers) {
        EXPECT_EQ(l.ir.size(), 48 + l.n / 2);
        int peak = 0;
        for (auto q : l.ir) peak = std::max(peak, std::abs(static_cast<int>(q)));
        EXPECT_EQ(peak, 32767);
    }
}

TEST(Trace, FromLayersFlatUnitBinsAndCalibration) {
    const Trace t = Trace::from_layers("Flat", 48000, 0, std::vector<LayerBins>{LayerBins{32768, std::vector<Triple>(16384, {1.0f, 0.0f, 1.0f})}},
                                       {}, 0.5f);
    for (std::size_t i = 0; i < 240; ++i) {
        EXPECT_EQ(t.h[i], Complex(1.0f, 0.0f)) << i;
        EXPECT_EQ(t.confidence[i], 1.0f) << i;
    }
    EXPECT_TRUE(t.cal.empty());

    std::vector<float> cal(240, 6.0f);
    const Trace c = Trace::from_layers("Cal", 48000, 0, std::vector<LayerBins>{LayerBins{4096, std::vector<Triple>(2048, {1.0f, 0.0f, 1.0f})}},
                                       cal, 0.5f);
    EXPECT_EQ(c.cal, cal);
    EXPECT_NEAR(c.points[100].db, -6.0f, 1e-4f);
}

TEST(Trace, LayerImpulseAndQuantisation) {
    Layer l{1024, 0.5f, std::vector<std::int16_t>(48 + 512)};
    for (std::size_t k = 0; k < l.ir.size(); ++k) l.ir[k] = static_cast<std::int16_t>(k + 1);
    const auto ir = l.impulse(48000.0f);
    ASSERT_EQ(ir.size(), 1024u);
    for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(ir[976 + k], 0.5f * (k + 1)) << k;
    for (std::size_t k = 0; k < 512; ++k) EXPECT_EQ(ir[k], 0.5f * (48 + k + 1)) << k;
    for (std::size_t k = 512; k < 976; ++k) EXPECT_EQ(ir[k], 0.0f) << k;

    const Trace z = Trace::from_layers("Zero", 48000, 0, std::vector<LayerBins>{LayerBins{1024, std::vector<Triple>(512)}}, {}, 0.5f);
    ASSERT_EQ(z.layers.size(), 1u);
    EXPECT_EQ(z.layers[0].scale, 1.17549435e-38f / 32767.0f);
    for (auto q : z.layers[0].ir) EXPECT_EQ(q, 0);
    for (float v : z.layers[0].impulse(48000.0f)) EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(z.ir.empty());

    // A negative peak is stored as -32767.
    const Trace neg = Trace::from_layers("Neg", 48000, 0, std::vector<LayerBins>{layer_of(1024, 48000.0, [](double f) {
        return -std::polar(1.0, -2.0 * std::numbers::pi * f * 10.0 / 48000.0);
    })}, {}, 0.5f);
    int lo = 0;
    for (auto q : neg.layers[0].ir) lo = std::min(lo, static_cast<int>(q));
    EXPECT_EQ(lo, -32767);
}

TEST(Trace, LayersOfEverySizeAndTheOlderForm) {
    // A filter 3 ms late, at a power of two (the library's own transform)
    // and at sizes done by chirp, odd and even, where only the kept samples
    // are transformed.
    const double fs = 48000.0;
    auto response = [&](double f) { return peak_filter(f, fs) * std::polar(1.0, -2.0 * std::numbers::pi * f * 0.003); };
    for (const std::size_t n : {4096u, 65537u, 131074u}) {
        SCOPED_TRACE(n);
        const LayerBins bins = layer_of(n, fs, response);
        const Trace t = Trace::from_layers("L", 48000, 0, std::vector<LayerBins>{bins}, {}, 0.5f);
        ASSERT_EQ(t.layers.size(), 1u);
        const Layer& l = t.layers[0];
        ASSERT_EQ(l.ir.size(), 48 + n / 2);

        // A trace of the older form (raw bins and confidences) comes out the same.
        std::vector<Complex> h;
        std::vector<float> conf;
        for (const Triple& b : bins.bins) {
            h.emplace_back(b.re, b.im);
            conf.push_back(b.conf);
        }
        EXPECT_EQ(Trace::from_bins("L", 48000, 0, n, std::move(h), std::move(conf), 0.5f), t);

        // The stored samples against the whole inverse transform.
        std::vector<Complex> x(n / 2 + 1);
        for (std::size_t k = 0; k < n / 2; ++k) x[k] = Complex(bins.bins[k].re, bins.bins[k].im);
        std::vector<float> ir;
        engine::trace::impulse_of_transfer(n, x, ir);
        float peak = 0.0f;
        auto kept = [&](std::size_t j) { return ir[j < 48 ? n - 48 + j : j - 48]; };
        for (std::size_t j = 0; j < l.ir.size(); ++j) peak = std::max(peak, std::abs(kept(j)));
        EXPECT_NEAR(l.scale, peak / 32767.0f, peak / 32767.0f * 1e-4f);
        int worst = 0;
        for (std::size_t j = 0; j < l.ir.size(); ++j)
            worst = std::max(worst, std::abs(static_cast<int>(l.ir[j]) - static_cast<int>(std::lround(kept(j) / l.scale))));
        EXPECT_LE(worst, n == 4096 ? 0 : 1);
        EXPECT_EQ(tf::plan::by_chirp(n), n != 4096);
    }
}

TEST(Trace, RenderedDisplayOfADelayedLayer) {
    const Trace t = Trace::from_layers("Delay", 48000, 0, four_layers(48000.0, delay_of(240.0 / 48000.0)), {}, 0.5f);
    EXPECT_EQ(t.ir.size(), 600u);
    EXPECT_EQ(t.ir_ms, 40.0f);
    ASSERT_FALSE(t.arrivals.empty());
    EXPECT_EQ(t.arrivals.front(), (tf::Arrival{5.0f, 0.0f}));
}

TEST(Trace, ApplyCycles) {
    const double fs = 48000.0;
    Trace t = Trace::from_layers("Peak", 48000, 0, four_layers(fs, [&](double f) { return peak_filter(f, fs); }), {}, 0.7f);
    const auto plain = t.points;
    for (float c : {0.0f, -3.0f, std::nanf("")}) {
        t.apply_cycles(c);
        EXPECT_TRUE(t.windowed.empty()) << c;
        EXPECT_EQ(t.points, plain) << c;
    }
    t.apply_cycles(6.0f);
    ASSERT_EQ(t.windowed.size(), 240u);
    EXPECT_NE(t.points, plain);
    // The filter's response is short: a 6-cycle window keeps it to a fraction of a dB above 100 Hz.
    for (std::size_t i = 0; i < 240; ++i) {
        if (tf::point_freq()[i] < 100.0f || tf::point_freq()[i] > 18000.0f) continue;
        EXPECT_NEAR(t.points[i].db, plain[i].db, 0.5f) << tf::point_freq()[i];
    }
    t.apply_cycles(0.0f);
    EXPECT_EQ(t.points, plain);

    Trace computed = Trace::make("Sum", 48000, 0, grid_triples(delay_of(0.0)), 0.7f);
    const auto before = computed.points;
    computed.apply_cycles(6.0f);
    EXPECT_TRUE(computed.windowed.empty());
    EXPECT_EQ(computed.points, before);

    // More stored layers than the layer set has: the extra ones are left out.
    Trace six = t;
    six.layers.push_back(t.layers[3]);
    six.layers.push_back(t.layers[3]);
    six.apply_cycles(6.0f);
    t.apply_cycles(6.0f);
    EXPECT_EQ(six.windowed, t.windowed);
}

TEST(Trace, UntickDuplicates) {
    struct Row { const char* source; const char* position; bool used; bool after; };
    const Row rows[] = {
        {"A", "P1", true, true}, {"A", "P1", true, false}, {"B", "P1", true, true},
        {"A", "P2", false, false}, {"A", "P2", true, true},
    };
    std::vector<Trace> traces;
    for (const Row& r : rows) {
        Trace t = Trace::make(r.source, 48000, 0, grid_triples(delay_of(0.0)), 0.7f);
        t.position = r.position;
        t.used = r.used;
        traces.push_back(t);
    }
    engine::trace::untick_duplicates(traces);
    for (std::size_t i = 0; i < traces.size(); ++i) EXPECT_EQ(traces[i].used, rows[i].after) << i;
}

// ---------------------------------------------------------------- display snapshot

TEST(SnapshotOfTrace, SynthesisedFromAPureDelay) {
    Trace t = Trace::make("Left", 48000, 7, grid_triples(delay_of(0.005)), 0.7f);
    const Snapshot s = Snapshot::of_trace(t);
    ASSERT_EQ(s.ir.size(), 600u);
    EXPECT_EQ(s.ir_span_ms, 40.0f);
    // 5 ms after zero is sample 96 + 240 of the 2016 shown: block 100.
    EXPECT_EQ(s.ir[100], 0.0f);
    bool found = false;
    for (const auto& a : s.arrivals) found |= a == tf::Arrival{5.0f, 0.0f};
    EXPECT_TRUE(found);
    EXPECT_EQ(s.points, t.points);
    EXPECT_EQ(s.label, "Left");
    EXPECT_EQ(s.status, "Viewing Left at Position 1, conf 1.00");
    EXPECT_EQ(s.delay, 7u);
    EXPECT_EQ(s.sample_rate, 48000u);
    EXPECT_EQ(s.gate, 0.7f);
    EXPECT_EQ(s.fft_size, 0u);
    EXPECT_FALSE(s.found);
    EXPECT_FALSE(s.running);
    for (float c : s.octave_conf) EXPECT_EQ(c, 1.0f);

    // `windowed`, when present, is what is drawn.
    Trace w = t;
    w.windowed = Trace::make("x", 48000, 0, grid_triples(delay_of(0.010)), 0.7f).h;
    const Snapshot sw = Snapshot::of_trace(w);
    EXPECT_NE(std::find(sw.arrivals.begin(), sw.arrivals.end(), tf::Arrival{10.0f, 0.0f}), sw.arrivals.end());
    EXPECT_EQ(std::find(sw.arrivals.begin(), sw.arrivals.end(), tf::Arrival{5.0f, 0.0f}), sw.arrivals.end());
}

TEST(SnapshotOfTrace, StoredDisplayZeroResponseAndStatus) {
    Trace m = Trace::from_layers("Main", 48000, 0, four_layers(48000.0, delay_of(0.003)), {}, 0.7f);
    m.ir.assign(600, -60.0f);
    m.ir[3] = 0.0f;
    m.ir_ms = 80.0f;
    m.arrivals = {{1.5f, -3.0f}};
    const Snapshot s = Snapshot::of_trace(m);
    EXPECT_EQ(s.ir, m.ir);
    EXPECT_EQ(s.ir_span_ms, 80.0f);
    EXPECT_EQ(s.arrivals, m.arrivals);
    EXPECT_EQ(s.fft_size, 32768u);

    Trace zero = Trace::make("Zero", 48000, 0, std::vector<Triple>(240), 0.7f);
    const Snapshot z = Snapshot::of_trace(zero);
    EXPECT_TRUE(z.ir.empty());
    EXPECT_TRUE(z.arrivals.empty());
    EXPECT_EQ(z.ir_span_ms, 40.0f);
    EXPECT_EQ(z.status, "Viewing Zero at Position 1, conf 0.00");
    for (float c : z.octave_conf) EXPECT_EQ(c, 0.0f);

    std::vector<Triple> bins = grid_triples(delay_of(0.0), 0.87f);
    Trace left = Trace::make("Left", 48000, 0, bins, 0.7f);
    EXPECT_EQ(Snapshot::of_trace(left).status, "Viewing Left at Position 1, conf 0.87");

    // Confidence only below 40 Hz: the mean of the status line is 0.
    for (std::size_t i = 0; i < 240; ++i) bins[i].conf = tf::point_freq()[i] < 40.0f ? 1.0f : 0.0f;
    const Snapshot low = Snapshot::of_trace(Trace::make("Low", 48000, 0, bins, 0.7f));
    EXPECT_EQ(low.status, "Viewing Low at Position 1, conf 0.00");
    EXPECT_GT(low.octave_conf[0], 0.5f);  // 22 .. 44 Hz, partly below 40 Hz
    EXPECT_LT(low.octave_conf[0], 1.0f);
    EXPECT_EQ(low.octave_conf[1], 0.0f);

    const Snapshot o = Snapshot::opening(0.6f);
    EXPECT_EQ(o.status, "Opening input");
    EXPECT_TRUE(o.running);
    EXPECT_EQ(o.gate, 0.6f);
    EXPECT_FALSE(o.warn);
}
