// Band and shaping responses, the shaping clamp, the house curve and the
// band-list helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "engine/tuning/eqfit.h"

namespace {

using engine::eqfit::Band;
using engine::eqfit::BandKind;
using engine::eqfit::Complex;
using engine::eqfit::Curve;
using engine::eqfit::House;
using engine::eqfit::Shaping;
using engine::eqfit::ShapingModel;

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

float mag_db(Complex h) { return 20.0f * std::log10(std::abs(h)); }

// The same analog second-order prototypes, written as transfer functions in
// s and evaluated in double precision at s = j f / hz.
std::complex<double> reference(const Band& b, double f) {
    const double a = std::pow(10.0, std::clamp(static_cast<double>(b.gain_db), -60.0, 60.0) / 40.0);
    const std::complex<double> s(0.0, f / b.hz);
    const double q = b.q;
    switch (b.kind) {
        case BandKind::Peak: return (s * s + s * (a / q) + 1.0) / (s * s + s / (a * q) + 1.0);
        case BandKind::LowShelf:
            return a * (s * s + std::sqrt(a) / q * s + a) / (a * s * s + std::sqrt(a) / q * s + 1.0);
        case BandKind::HighShelf:
            return a * (a * s * s + std::sqrt(a) / q * s + 1.0) / (s * s + std::sqrt(a) / q * s + a);
    }
    return 1.0;
}

TEST(Band, PeakGivesItsGainAtItsCentreWithZeroPhase) {
    struct Case {
        float gain_db;
        float expect_db;
    };
    for (const Case c : {Case{6.0f, 6.0f}, Case{-9.5f, -9.5f}, Case{0.0f, 0.0f}, Case{100.0f, 60.0f},
                         Case{-100.0f, -60.0f}, Case{NaN, 0.0f}}) {
        const Band b{1000.0f, c.gain_db, 3.0f, true, BandKind::Peak};
        const Complex h = b.response(1000.0f);
        EXPECT_FLOAT_EQ(h.real(), std::pow(10.0f, c.expect_db / 20.0f)) << c.gain_db;
        EXPECT_EQ(h.imag(), 0.0f) << c.gain_db;
    }
}

TEST(Band, ResponsesAgreeWithTheAnalogPrototypes) {
    for (const BandKind kind : {BandKind::Peak, BandKind::LowShelf, BandKind::HighShelf}) {
        for (const float gain : {-12.0f, -3.0f, 4.5f, 9.0f}) {
            for (const float q : {0.5f, 0.7071f, 2.0f, 8.0f}) {
                const Band b{640.0f, gain, q, true, kind};
                for (float f = 20.0f; f <= 20000.0f; f *= 1.07f) {
                    const Complex h = b.response(f);
                    const std::complex<double> r = reference(b, f);
                    EXPECT_NEAR(h.real(), r.real(), 2e-5 * std::abs(r) + 1e-6);
                    EXPECT_NEAR(h.imag(), r.imag(), 2e-5 * std::abs(r) + 1e-6);
                    EXPECT_NEAR(engine::eqfit::band_db(b, f), 20.0 * std::log10(std::abs(r)), 1e-3);
                }
            }
        }
    }
}

TEST(Band, ShelvesReachTheirPlateaus) {
    const Band low{200.0f, 6.0f, 0.7071f, true, BandKind::LowShelf};
    const Band high{200.0f, 6.0f, 0.7071f, true, BandKind::HighShelf};
    EXPECT_NEAR(mag_db(low.response(2.0f)), 6.0f, 0.01f);
    EXPECT_NEAR(mag_db(low.response(20000.0f)), 0.0f, 0.01f);
    EXPECT_NEAR(mag_db(high.response(2.0f)), 0.0f, 0.01f);
    EXPECT_NEAR(mag_db(high.response(20000.0f)), 6.0f, 0.01f);
}

TEST(Band, InactiveBandsAreExactlyOne) {
    const Band base{1000.0f, 6.0f, 2.0f, true, BandKind::Peak};
    std::vector<Band> cases;
    for (const float hz : {0.0f, -5.0f, INF, NaN}) {
        Band b = base;
        b.hz = hz;
        cases.push_back(b);
    }
    for (const float q : {0.0f, -1.0f, INF, NaN}) {
        Band b = base;
        b.q = q;
        cases.push_back(b);
    }
    Band off = base;
    off.on = false;
    cases.push_back(off);
    for (const BandKind kind : {BandKind::Peak, BandKind::LowShelf, BandKind::HighShelf}) {
        cases.push_back(Band{1000.0f, 0.0f, 0.7f, true, kind});  // a shelf of 0 dB is 1 too
    }
    for (const Band& b : cases) {
        for (const float f : {20.0f, 999.0f, 1000.0f, 15000.0f}) {
            const Complex h = b.response(f);
            if (b.gain_db == 0.0f && b.on && std::isfinite(b.hz) && b.q > 0.0f && std::isfinite(b.q)) {
                EXPECT_NEAR(std::abs(h), 1.0f, 1e-6f);
            } else {
                EXPECT_EQ(h, Complex(1.0f, 0.0f));
            }
        }
    }
    EXPECT_EQ(base.response(0.0f), Complex(1.0f, 0.0f));
    EXPECT_EQ(base.response(-1.0f), Complex(1.0f, 0.0f));
}

TEST(Shaping, GalileoWithEqualGainsIsFlat) {
    Shaping s = Shaping::defaults(ShapingModel::Galileo);
    s.on = true;
    s.gain_db = {4.0f, 4.0f, 4.0f, 4.0f, -9.0f};  // the fifth gain is not used
    for (float f = 10.0f; f < 30000.0f; f *= 1.1f) {
        const Complex h = s.response(f);
        EXPECT_NEAR(h.real(), std::pow(10.0f, 0.2f), 2e-6f) << f;
        EXPECT_NEAR(h.imag(), 0.0f, 2e-6f) << f;
    }
    // A knee at 0 Hz is skipped together with the gain of its index.
    s.gain_db = {4.0f, -20.0f, 4.0f, 4.0f, 0.0f};
    s.hz[1] = 0.0f;
    for (float f = 10.0f; f < 30000.0f; f *= 1.1f) EXPECT_NEAR(mag_db(s.response(f)), 4.0f, 1e-4f) << f;
}

TEST(Shaping, OffOrAtZeroFrequencyIsExactlyOne) {
    Shaping s = Shaping::defaults(ShapingModel::Callisto);
    s.gain_db = {3, 6, -3, 2, 1};
    EXPECT_EQ(s.response(1000.0f), Complex(1.0f, 0.0f));
    s.on = true;
    EXPECT_EQ(s.response(0.0f), Complex(1.0f, 0.0f));
}

TEST(Shaping, GalileoPlateausFollowTheGains) {
    Shaping s = Shaping::defaults(ShapingModel::Galileo);
    s.on = true;
    s.hz = {100.0f, 1000.0f, 10000.0f, 20000.0f};
    s.gain_db = {6.0f, 0.0f, 0.0f, -6.0f, 0.0f};
    EXPECT_NEAR(mag_db(s.response(1.0f)), 6.0f, 0.1f);
    EXPECT_NEAR(mag_db(s.response(1.0e6f)), -6.0f, 0.1f);
}

TEST(Shaping, CallistoReachesEveryPlateauAndRoundsItsOrders) {
    Shaping s = Shaping::defaults(ShapingModel::Callisto);
    s.on = true;
    s.hz = {50.0f, 400.0f, 2000.0f, 10000.0f};
    s.gain_db = {6.0f, 0.0f, -4.0f, 2.0f, -6.0f};
    s.slope_db = {24, 24, 24, 24};
    EXPECT_NEAR(mag_db(s.response(5.0f)), 6.0f, 0.05f);
    EXPECT_NEAR(mag_db(s.response(150.0f)), 0.0f, 0.3f);
    EXPECT_NEAR(mag_db(s.response(1000.0f)), -4.0f, 0.3f);
    EXPECT_NEAR(mag_db(s.response(4500.0f)), 2.0f, 0.3f);
    EXPECT_NEAR(mag_db(s.response(200000.0f)), -6.0f, 0.05f);

    struct Case {
        std::uint8_t slope;
        std::uint8_t same_as;
    };
    for (const Case c : {Case{0, 6}, Case{5, 6}, Case{30, 24}, Case{255, 24}, Case{17, 12}}) {
        Shaping a = s;
        Shaping b = s;
        a.slope_db = {c.slope, c.slope, c.slope, c.slope};
        b.slope_db = {c.same_as, c.same_as, c.same_as, c.same_as};
        for (const float f : {30.0f, 300.0f, 3000.0f, 12000.0f}) EXPECT_EQ(a.response(f), b.response(f));
    }
}

TEST(Shaping, ClampKeepsGainsAndKneesInRange) {
    constexpr float C = 1.2599209f;
    Shaping cal = Shaping::defaults(ShapingModel::Callisto);
    cal.hz = {10.0f, 10.0f, 10.0f, 10.0f};
    cal.gain_db = {-40.0f, 30.0f, NaN, 5.0f, -15.0f};
    cal.clamp();
    EXPECT_FLOAT_EQ(cal.hz[0], 20.0f);
    EXPECT_FLOAT_EQ(cal.hz[1], 20.0f * C);
    EXPECT_FLOAT_EQ(cal.hz[2], 20.0f * C * C);
    EXPECT_FLOAT_EQ(cal.hz[3], 20.0f * C * C * C);
    EXPECT_EQ(cal.gain_db[0], -15.0f);
    EXPECT_EQ(cal.gain_db[1], 12.0f);
    EXPECT_TRUE(std::isnan(cal.gain_db[2]));
    EXPECT_EQ(cal.gain_db[3], 5.0f);

    Shaping gal = Shaping::defaults(ShapingModel::Galileo);
    gal.hz = {20000.0f, 20000.0f, 20000.0f, 333.0f};
    gal.clamp();
    EXPECT_FLOAT_EQ(gal.hz[0], 20000.0f / (C * C));
    EXPECT_FLOAT_EQ(gal.hz[1], 20000.0f / C);
    EXPECT_NEAR(gal.hz[2], 20000.0f, 0.01f);
    EXPECT_EQ(gal.hz[3], 333.0f);

    // A knee that is not a number takes its lowest allowed place.
    Shaping nan = Shaping::defaults(ShapingModel::Galileo);
    nan.hz[1] = NaN;
    nan.clamp();
    EXPECT_FLOAT_EQ(nan.hz[1], 125.0f * C);
    EXPECT_FLOAT_EQ(nan.hz[2], 4000.0f);
}

TEST(House, TargetLevels) {
    struct Case {
        Curve curve;
        float bass;
        float f;
        float db;
    };
    const Case cases[] = {
        {Curve::LivePa, 6.0f, 63.0f, 6.0f},     {Curve::LivePa, 6.0f, 80.0f, 6.0f},
        {Curve::LivePa, 6.0f, 400.0f, 0.0f},    {Curve::LivePa, 6.0f, 1000.0f, 0.0f},
        {Curve::LivePa, 6.0f, 1600.0f, 0.0f},   {Curve::LivePa, 6.0f, 20000.0f, -17.0f},
        {Curve::LivePa, 6.0f, 30000.0f, -17.0f}, {Curve::LivePa, 6.0f, 20.0f, 0.0f},
        {Curve::LivePa, 6.0f, 5.0f, 0.0f},      {Curve::LivePa, 12.0f, 63.0f, 12.0f},
        {Curve::LivePa, 12.0f, 20000.0f, -17.0f}, {Curve::LivePa, 0.0f, 100.0f, 0.0f},
        {Curve::LivePa, 6.0f, 2000.0f, -0.3f},  {Curve::Flat, 6.0f, 63.0f, 0.0f},
        {Curve::Flat, 12.0f, 20000.0f, 0.0f},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR((House{c.curve, c.bass}.db_at(c.f)), c.db, 1e-5f) << c.f << " Hz, bass " << c.bass;
    }
    // Between table points the level is linear in ln f.
    const float mid = std::sqrt(100.0f * 125.0f);
    EXPECT_NEAR((House{Curve::LivePa, 6.0f}.db_at(mid)), (5.5f + 4.3f) / 2.0f, 1e-4f);
}

TEST(BandLists, ResizeBands) {
    std::vector<Band> bands;
    engine::eqfit::resize_bands(bands, 6);
    const float expect[] = {65.901962f, 178.88544f, 485.56976f, 1318.0391f, 3577.7087f, 9711.3975f};
    ASSERT_EQ(bands.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(bands[i].hz, expect[i]);
        EXPECT_EQ(bands[i], Band::default_at(bands[i].hz));
        EXPECT_FALSE(bands[i].on);
        EXPECT_EQ(bands[i].q, 2.0f);
    }
    bands[1].gain_db = -3.0f;
    std::vector<Band> four = bands;
    engine::eqfit::resize_bands(four, 4);
    EXPECT_EQ(four, std::vector<Band>(bands.begin(), bands.begin() + 4));

    std::vector<Band> three;
    engine::eqfit::resize_bands(three, 3);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_FLOAT_EQ(three[0].hz, 40.0f * std::pow(400.0f, 1.0f / 6.0f));
    EXPECT_FLOAT_EQ(three[1].hz, 800.0f);
    EXPECT_FLOAT_EQ(three[2].hz, 40.0f * std::pow(400.0f, 5.0f / 6.0f));
}

TEST(BandLists, Spaced) {
    auto peak = [](float hz, float gain, float q) { return Band{hz, gain, q, true, BandKind::Peak}; };
    const float oct03 = 1000.0f * std::pow(2.0f, 0.3f);
    const float oct04 = 1000.0f * std::pow(2.0f, 0.4f);
    struct Case {
        std::vector<Band> bands;
        std::size_t index;
        float hz;
        bool ok;
    };
    const Case cases[] = {
        {{}, 0, 1000.0f, true},
        {{peak(1000, 3, 2), peak(oct03, 3, 2)}, 1, oct03, false},
        {{peak(1000, 3, 2), peak(oct04, 3, 2)}, 1, oct04, true},
        // boost Q 2 (0.71 oct) and cut Q 0.5 (2.54 oct), one octave apart
        {{peak(1000, 3, 2), peak(2000, -6, 0.5f)}, 0, 1000.0f, false},
        {{peak(1000, 3, 2), peak(2000, -6, 0.5f)}, 1, 2000.0f, false},
        // boost Q 0.5 and cut Q 4 (0.36 oct), one octave apart
        {{peak(1000, 3, 0.5f), peak(2000, -6, 4)}, 0, 1000.0f, true},
        {{peak(1000, 3, 0.5f), peak(2000, -6, 4)}, 1, 2000.0f, true},
        // past the end only the third-octave rule applies
        {{peak(1000, 3, 2), peak(2000, -6, 0.5f)}, 2, 4000.0f, true},
        {{peak(1000, 3, 2), peak(2000, -6, 0.5f)}, 2, 2100.0f, false},
        // equal signs keep only the third octave
        {{peak(1000, -3, 0.5f), peak(2000, -6, 0.5f)}, 0, 1000.0f, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(engine::eqfit::spaced(c.bands, c.index, c.hz), c.ok) << c.index << " at " << c.hz;
    }
}

}  // namespace
