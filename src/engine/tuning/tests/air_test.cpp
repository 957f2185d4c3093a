#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "engine/tuning/air.h"

namespace engine::air {
namespace {

TEST(Air, AbsorptionAtTwentyDegreesAndHalfHumidity) {
    // ISO 9613-1, table values at 20 degC, 50 %RH, 101.325 kPa (dB/km).
    const auto w = weather(20.0, 50.0);
    struct Case {
        double hz, db_per_km, tolerance;
    };
    for (const auto& c : {Case{1000, 4.66, 0.005}, Case{2000, 9.89, 0.005}, Case{8000, 105, 0.5}})
        EXPECT_NEAR(alpha_db_per_m(w, c.hz) * 1000.0, c.db_per_km, c.tolerance) << c.hz;
}

TEST(Air, TemperatureIsLimitedForTheAbsorption) {
    const auto at = [](double t) { return alpha_db_per_m(weather(t, 50.0), 4000.0); };
    EXPECT_EQ(at(55.0), at(50.0));
    EXPECT_EQ(at(-25.0), at(-20.0));
    EXPECT_NE(at(45.0), at(50.0));
}

TEST(Air, FitPointsStopAtSixteenKilohertz) {
    EXPECT_EQ(fit_points().size(), 232u);
    EXPECT_LE(fit_points().back(), 16000.0f);
}

TEST(Air, AShortThrowGetsTheNeutralBand) {
    const auto t = targets(weather(20.0, 50.0), 2.0f, 100.0f);
    const float top = *std::max_element(t.begin(), t.end());
    EXPECT_LT(top, 1.0f);
    EXPECT_NEAR(top, 0.7f, 0.1f);
    EXPECT_EQ(fit_band(t, true), neutral_band());
}

TEST(Air, OnlyThrowTimesStrengthCounts) {
    const auto w = weather(20.0, 50.0);
    const auto a = targets(w, 30.0f, 50.0f), b = targets(w, 15.0f, 100.0f);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-5f * std::max(1.0f, b[i]));
    // A NaN throw counts as none; strength is limited to 0..100.
    for (float v : targets(w, NAN, 100.0f)) EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(targets(w, 10.0f, 150.0f), targets(w, 10.0f, 100.0f));
}

TEST(Air, LongThrowsAreLimitedToEighteenDecibels) {
    const auto t = targets(weather(20.0, 50.0), 1000.0f, 100.0f);
    EXPECT_EQ(*std::max_element(t.begin(), t.end()), 18.0f);
    const auto b = fit_band(t, false);
    EXPECT_LE(b.gain_db, 18.0f);
    EXPECT_TRUE(b.on);
}

TEST(Air, FittedBandsAreRoundedAndInRange) {
    const auto w = weather(20.0, 50.0);
    for (bool shelves : {false, true}) {
        for (float d : {20.0f, 40.0f, 80.0f}) {
            const auto b = fit_band(targets(w, d, 100.0f), shelves);
            ASSERT_TRUE(b.on) << d;
            if (!shelves) {
                EXPECT_EQ(b.kind, eqfit::BandKind::Peak);
            }
            EXPECT_GE(b.hz, 2000.0f);
            EXPECT_LE(b.hz, 16000.0f);
            EXPECT_EQ(std::fmod(b.hz, 10.0f), 0.0f);
            EXPECT_NEAR(b.gain_db * 10.0f, std::round(b.gain_db * 10.0f), 1e-3f);
            EXPECT_GE(b.gain_db, 0.0f);
            EXPECT_LE(b.gain_db, 18.0f);
            if (b.kind == eqfit::BandKind::Peak) {
                EXPECT_NEAR(b.q * 100.0f, std::round(b.q * 100.0f), 1e-3f);
                EXPECT_GE(b.q, 0.3f);
                EXPECT_LE(b.q, 2.0f);
            } else {
                EXPECT_EQ(b.q, 0.70710677f);
            }
            // The fit beats leaving the band off.
            EXPECT_LT(band_error(b, targets(w, d, 100.0f)), band_error(neutral_band(), targets(w, d, 100.0f)));
        }
    }
}

}  // namespace
}  // namespace engine::air
