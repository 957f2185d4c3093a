#pragma once
// Synthetic measurements for the plot tests and benchmarks: a loudspeaker in
// a room (high-pass, high-frequency roll-off, one strong and a few weaker
// reflections, measurement noise that changes from pass to pass).
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "ui/tf_plot/tf_plot.h"

namespace tf_plot_test {

using ui::tf_plot::Arrival;
using ui::tf_plot::PathInputs;
using ui::tf_plot::Point;

inline double grid_hz(int i) { return 20.0 * std::pow(1000.0, i / 239.0); }

// Arrivals of the synthetic room: the direct sound and four reflections.
inline std::vector<Arrival> room_arrivals() {
    return {{0.0f, 0.0f}, {4.2f, -8.0f}, {11.5f, -15.0f}, {19.0f, -21.0f}, {27.5f, -26.0f}};
}

struct Speaker {
    double level_db = -6.0;  // mid-band level
    double hp_hz = 55.0;     // second-order high-pass
    double lp_hz = 17000.0;  // second-order low-pass
    double tilt_db = -1.5;   // per decade above 1 kHz
    double delay_ms = 0.35;  // left in the phase
    double noise_db = 0.6;   // measurement noise
    bool reflections = true;
};

// The response on the 240-point grid. `pass` changes the noise only.
inline std::vector<Point> response(const Speaker& s, unsigned pass, unsigned seed = 1) {
    std::mt19937 rng(seed * 7919u + pass);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    using C = std::complex<double>;
    const double pi = std::numbers::pi;
    std::vector<Point> out;
    out.reserve(240);
    for (int i = 0; i < 240; ++i) {
        const double f = grid_hz(i);
        const C s_hp = C(0, f / s.hp_hz);
        const C hp = s_hp * s_hp / (s_hp * s_hp + s_hp / 0.707 + 1.0);
        const C s_lp = C(0, f / s.lp_hz);
        const C lp = 1.0 / (s_lp * s_lp + s_lp / 0.707 + 1.0);
        C h = hp * lp * std::pow(10.0, (s.level_db + (f > 1000 ? s.tilt_db * std::log10(f / 1000) : 0)) / 20);
        if (s.reflections)
            for (const auto& a : room_arrivals())
                if (a.ms > 0)
                    h *= 1.0 + std::pow(10.0, a.db / 20.0) * 0.8 * std::exp(C(0, -2 * pi * f * a.ms / 1000.0));
        h *= std::exp(C(0, -2 * pi * f * s.delay_ms / 1000.0));
        const double edge = std::min(1.0, std::min(f / 45.0, 18000.0 / f));
        const double conf = std::clamp(0.97 * edge + 0.03 * u(rng) - (f < 120 ? 0.15 * (120 - f) / 100 : 0), 0.0, 1.0);
        const double db = 20 * std::log10(std::abs(h)) + s.noise_db * u(rng) * (1.3 - conf);
        out.push_back({static_cast<float>(f), static_cast<float>(db), static_cast<float>(std::arg(h) * 180 / pi),
                       static_cast<float>(conf)});
    }
    return out;
}

// A smooth curve in dB around 0 (EQ curve, target, crossover responses).
template <class F>
std::vector<Point> curve(F db_of_hz) {
    std::vector<Point> out;
    for (int i = 0; i < 240; ++i) {
        const double f = grid_hz(i);
        out.push_back({static_cast<float>(f), static_cast<float>(db_of_hz(f)), 0.0f, 1.0f});
    }
    return out;
}

inline double bell(double f, double f0, double gain_db, double octaves) {
    const double x = std::log2(f / f0) / octaves;
    return gain_db * std::exp(-x * x * 2.0);
}

// Impulse-response display samples (dB, 0 = strongest) over -2 .. ir_ms.
inline std::vector<float> impulse(float ir_ms, unsigned pass, std::size_t n = 420) {
    std::mt19937 rng(pass + 17u);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = -2.0 + (ir_ms + 2.0) * i / (n - 1);
        double db = -60.0 + 6.0 * u(rng);
        if (t >= 0) db = std::max(db, -6.0 - 1.6 * t - 8.0 * u(rng));
        for (const auto& a : room_arrivals()) {
            const double d = std::fabs(t - a.ms);
            if (d < 0.4) db = std::max(db, a.db - 60.0 * d);
        }
        out[i] = static_cast<float>(std::max(db, -60.0));
    }
    return out;
}

// A pink-ish spectrum with a few tonal peaks, levels in dBFS.
inline std::vector<Point> spectrum(unsigned pass, double shift = 0.0) {
    std::mt19937 rng(pass + 3u);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    return curve([&](double f) {
        double db = -38.0 - 3.0 * std::log2(f / 100.0) - (f < 40 ? (40 - f) * 0.6 : 0) + 2.5 * u(rng);
        db += bell(f, 63.0 * std::pow(2.0, shift), 14, 0.2) + bell(f, 1000.0, 18, 0.08) + bell(f, 3150, 9, 0.15);
        return std::max(db, -110.0);
    });
}

// The heavy input of the benchmark: live and accumulated curves, eight
// stored curves, sum, average, EQ curve, four crossovers, target, five
// arrivals with reflections and a hovered one, a spectrum.
inline PathInputs heavy_inputs(unsigned pass) {
    PathInputs in;
    Speaker sp;
    in.live = response(sp, pass);
    in.accumulated = response(sp, pass + 1000);
    for (std::size_t i = 0; i < 10; ++i) in.octave_conf[i] = 0.5f + 0.05f * static_cast<float>(i);
    in.ir = impulse(40.0f, pass);
    in.threshold = 0.5f;
    in.clean_mix = 0.4f;
    for (unsigned k = 0; k < 8; ++k) {
        Speaker s = sp;
        s.level_db -= k;
        s.delay_ms += 0.1 * k;
        in.stored.push_back({response(s, 5000 + k, k + 2), k, 0.4f});
    }
    in.sum = response(sp, 9000);
    in.average = response(sp, 9001);
    in.eq_curve = curve([](double f) { return bell(f, 120, -4, 0.6) + bell(f, 2500, 2.5, 1.2); });
    for (std::size_t k = 0; k < 4; ++k)
        in.crossovers.push_back(
            {k, curve([k](double f) { return -12.0 * std::fabs(std::log2(f / (100.0 * std::pow(4.0, k)))); })});
    std::array<Point, 240> target;
    const auto t = curve([](double f) { return f < 100 ? 4.0 * std::log2(100 / f) * 0.5 : -1.0 * std::log2(f / 100) * 0.4; });
    std::copy(t.begin(), t.end(), target.begin());
    in.target = target;
    in.smoothing = 6;
    in.rta = std::pair{spectrum(pass), 0.0f};
    in.arrivals = room_arrivals();
    in.hovered = 1;
    return in;
}

// One spectrogram row in the transport's text form.
inline std::string spectrogram_row(std::uint64_t tag, float bottom, float top, float secs,
                                   const std::vector<Point>& levels) {
    std::string s = fmt::format("{}|{:.1f}|{:.1f}|{:.4f}|", tag, bottom, top, secs);
    for (std::size_t i = 0; i < levels.size(); ++i) s += fmt::format("{}{:.1f}", i ? "," : "", levels[i].db);
    return s;
}

}  // namespace tf_plot_test
