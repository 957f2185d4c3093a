#include "engine/core/snapshot.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "base/cast.h"

namespace engine::analyzer {

namespace {

constexpr std::size_t SYNTH_LEN = 16384;

// An impulse response of 16384 samples synthesised from 240 grid values: the
// bulk delay is taken out so the phase can be interpolated between grid
// points along log frequency, then put back at each bin's own frequency.
std::vector<float> synthesise_ir(const std::vector<tf::Complex>& h_in, float fs) {
    std::vector<tf::Complex> h(tf::GRID_POINTS);
    std::copy_n(h_in.begin(), std::min(h_in.size(), tf::GRID_POINTS), h.begin());
    const float tau = tf::bulk_delay(h);
    const tf::Grid& f = tf::point_freq();
    constexpr double two_pi = 2.0 * std::numbers::pi;
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i)
        h[i] *= tf::Complex(std::polar(1.0, two_pi * static_cast<double>(f[i]) * static_cast<double>(tau)));

    std::vector<tf::Complex> s(SYNTH_LEN);
    for (std::size_t k = 1; k < SYNTH_LEN / 2; ++k) {
        const float fk = static_cast<float>(k) * fs * 6.1035156e-05f;
        if (!(fk >= 20.0f && fk <= 20000.0f)) continue;
        const float u = std::fmax(tf::grid_position(fk), 0.0f);
        const std::size_t j = std::min<std::size_t>(base::saturating_cast<std::size_t>(std::floor(u)), 238);
        const float t = u - static_cast<float>(j);
        const tf::Complex v = (1.0f - t) * h[j] + t * h[j + 1];
        s[k] = v * tf::Complex(std::polar(1.0, -two_pi * static_cast<double>(fk) * static_cast<double>(tau)));
        s[SYNTH_LEN - k] = std::conj(s[k]);
    }
    tf::fft_inverse(s);
    std::vector<float> ir(SYNTH_LEN);
    for (std::size_t k = 0; k < SYNTH_LEN; ++k) ir[k] = s[k].real() * 6.1035156e-05f;
    return ir;
}

}  // namespace

std::array<float, OCTAVE_BANDS> octave_confidence(const std::vector<float>& confidence) {
    std::array<float, OCTAVE_BANDS> out{};
    const tf::Grid& f = tf::point_freq();
    const std::size_t count = std::min(confidence.size(), tf::GRID_POINTS);
    for (std::size_t b = 0; b < OCTAVE_BANDS; ++b) {
        const float c = 31.25f * static_cast<float>(1u << b);
        const float lo = c / 1.4142135f;
        const float hi = c * 1.4142135f;
        float sum = 0.0f;
        std::size_t n = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (f[i] >= lo && f[i] < hi) {
                sum += confidence[i];
                ++n;
            }
        }
        out[b] = n > 0 ? sum / static_cast<float>(n) : 0.0f;
    }
    return out;
}

Snapshot Snapshot::opening(float coherence_threshold) {
    Snapshot s;
    s.status = "Opening input";
    s.gate = coherence_threshold;
    s.running = true;
    return s;
}

Snapshot Snapshot::of_trace(const trace::Trace& trace) {
    Snapshot s;
    s.points = trace.points;
    if (!trace.ir.empty()) {
        s.ir = trace.ir;
        s.ir_span_ms = trace.ir_ms;
        s.arrivals = trace.arrivals;
    } else {
        const float fs = static_cast<float>(trace.fs);
        const std::vector<float> ir = synthesise_ir(trace.windowed.empty() ? trace.h : trace.windowed, fs);
        tf::IrView view = tf::confident_ir_display(ir, trace.confidence, fs);
        s.ir_span_ms = view.span_ms;
        s.ir = std::move(view.display.display);
        s.arrivals = std::move(view.display.arrivals);
    }
    float sum = 0.0f;
    std::size_t n = 0;
    for (const Point& p : trace.points) {
        if (p.hz >= 40.0f && p.hz <= 16000.0f) {
            sum += p.conf;
            ++n;
        }
    }
    const float mean = n > 0 ? sum / static_cast<float>(n) : 0.0f;
    s.status = fmt::format("Viewing {} at {}, conf {:.2f}", trace.name, trace.position, mean);
    s.label = trace.name;
    s.octave_conf = octave_confidence(trace.confidence);
    s.fft_size = trace.layers.empty() ? 0 : trace.layers.front().n;
    s.delay = trace.delay_samples;
    s.sample_rate = trace.fs;
    s.gate = trace.gate;
    return s;
}

}  // namespace engine::analyzer
