#pragma once
// Air absorption over a throw (ISO 9613-1 at the reference pressure) and the
// one EQ band that gives a share of it back.
#include <vector>

#include "engine/tuning/eqfit.h"

namespace engine::air {

using eqfit::Band;

// The terms of the absorption that depend on the weather alone.
struct Weather {
    double t_k = 293.15;   // temperature, kelvin (limited to -20..50 degC)
    double tau = 1.0;      // t_k / 293.15
    double fr_o = 0.0;     // oxygen relaxation frequency, Hz
    double fr_n = 0.0;     // nitrogen relaxation frequency, Hz
    double e_o = 0.0;      // exp(-2239.1 / T)
    double e_n = 0.0;      // exp(-3352.0 / T)
};

// The weather terms at a temperature in degC and a relative humidity in %.
Weather weather(double temperature_c, double humidity_pct);

// Absorption in dB per metre at f Hz.
double alpha_db_per_m(const Weather& w, double f);

// The fit frequencies: the grid points up to 16 kHz (232 of them).
const std::vector<float>& fit_points();

// The dB to give back at each fit point over `throw_m` metres at
// `strength_pct` percent, each limited to 0..18 dB.
std::vector<float> targets(const Weather& w, float throw_m, float strength_pct);

// Squared error of a band against the targets.
float band_error(const Band& band, const std::vector<float>& targets);

// 8000 Hz, 0 dB, Q 0.7, Peak, off: no compensation.
Band neutral_band();

// The band that best follows the targets: the neutral band when no target
// exceeds 1 dB; peaks (and high shelves when `shelves`) between 2 and 16 kHz,
// 0..18 dB, rounded to 10 Hz, 0.1 dB and Q 0.01.
Band fit_band(const std::vector<float>& targets, bool shelves);

}  // namespace engine::air
