// The A, C and Z frequency weightings.
#include <cmath>

#include "engine/core/tf.h"
#include "engine/core/internal/tf_detail.h"

namespace engine::tf {

namespace {
// Squared pole frequencies of the weighting filters: 20.6, 107.7, 737.9 and 12194 Hz.
const float P1 = 20.6f * 20.6f;
const float P2 = 107.7f * 107.7f;
const float P3 = 737.9f * 737.9f;
const float P4 = 12194.0f * 12194.0f;
}  // namespace

float a_weighting_db(float hz) {
    const float q = hz * hz;
    const float r = q * (q * P4) / ((q + P1) * std::sqrt((q + P2) * (q + P3)) * (q + P4));
    return 20.0f * std::log10(std::fmax(r, 1e-12f)) + 2.0f;
}

float c_weighting_db(float hz) {
    const float q = hz * hz;
    const float r = q * P4 / ((q + P1) * (q + P4));
    return 20.0f * std::log10(std::fmax(r, 1e-12f)) + 0.06f;
}

float weighting_db(Weighting w, float hz) {
    switch (w) {
        case Weighting::A: return a_weighting_db(hz);
        case Weighting::C: return c_weighting_db(hz);
        case Weighting::Z: break;
    }
    return 0.0f;
}

}  // namespace engine::tf
