// Seat levelling, the fit target and the EQ fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "engine/tuning/eqfit.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace {

using namespace engine::eqfit;
using engine::tf::Triple;
using engine::trace::Trace;

// A seat measured with the given level in dB at each grid frequency.
Trace seat(const std::function<float(float)>& db_at, float conf = 0.95f, float gate = 0.5f) {
    const auto& f = engine::tf::point_freq();
    std::vector<Triple> bins;
    for (const float hz : f) bins.push_back({std::pow(10.0f, db_at(hz) / 20.0f), 0.0f, conf});
    return Trace::make("seat", 48000, 0, bins, gate);
}

std::vector<const Trace*> ptrs(const std::vector<Trace>& ts) {
    std::vector<const Trace*> out;
    for (const Trace& t : ts) out.push_back(&t);
    return out;
}

TEST(SeatLevels, LevelsAddUpToZero) {
    EXPECT_TRUE(seat_levels({}).empty());
    const std::vector<Trace> one = {seat([](float) { return 7.0f; })};
    EXPECT_EQ(seat_levels(ptrs(one)), std::vector<float>{0.0f});

    std::vector<Trace> two = {seat([](float f) { return f < 30.0f ? 50.0f : 4.0f; }),
                              seat([](float) { return 0.0f; })};
    const auto lv = seat_levels(ptrs(two));
    ASSERT_EQ(lv.size(), 2u);
    EXPECT_NEAR(lv[0], 2.0f, 1e-5f);  // points below 40 Hz do not count
    EXPECT_NEAR(lv[1], -2.0f, 1e-5f);

    // A point where one of three seats is below its gate counts for none of them.
    std::vector<Trace> three = {seat([](float) { return 0.0f; }), seat([](float) { return 0.0f; }),
                                seat([](float) { return 0.0f; })};
    const std::size_t k = 120;
    three[0].points[k].db = 60.0f;
    three[2].points[k].conf = 0.3f;
    const auto lv3 = seat_levels(ptrs(three));
    for (const float l : lv3) EXPECT_NEAR(l, 0.0f, 1e-6f);
}

TEST(SeatLevels, MissingPointsAreNotConfident) {
    std::vector<Trace> seats = {seat([](float) { return 4.0f; }), seat([](float) { return 0.0f; })};
    seats[1].points.resize(100);
    const auto lv = seat_levels(ptrs(seats));
    EXPECT_NEAR(lv[0], 2.0f, 1e-5f);
    const Target t = target(ptrs(seats));
    EXPECT_NEAR(t.db[200], 2.0f, 1e-5f);  // the first seat alone, levelled
    EXPECT_NEAR(t.weight[200], 0.95f / 2.0f, 1e-6f);
}

TEST(Target, SingleSeatIsItsSmoothedResponse) {
    const std::vector<Trace> one = {seat([](float f) { return 3.0f * std::sin(std::log(f)); })};
    const Target t = target(ptrs(one));
    ASSERT_EQ(t.hz.size(), 240u);
    for (std::size_t k = 0; k < 240; ++k) {
        EXPECT_EQ(t.hz[k], engine::tf::point_freq()[k]);
        EXPECT_NEAR(t.weight[k], 0.95f, 1e-6f);
        EXPECT_EQ(t.spread[k], 0.0f);
        const std::size_t from = k >= 2 ? k - 2 : 0;
        const std::size_t to = std::min<std::size_t>(k, 237) + 2;
        float mean = 0.0f;
        for (std::size_t j = from; j <= to; ++j) mean += one[0].points[j].db;
        mean /= static_cast<float>(to - from + 1);
        EXPECT_NEAR(t.db[k], mean, 1e-4f);
    }
}

TEST(Target, MedianAndDisagreement) {
    // Below 40 Hz and above 16 kHz the seats do not set their levels, but
    // they do enter the target: three seats at -1, 0 and +3 dB below 30 Hz,
    // and at -3, 0 and +9 dB above 17 kHz.
    const auto offset = [](int which) {
        return [which](float f) {
            const float low[] = {-1.0f, 0.0f, 3.0f};
            const float high[] = {-3.0f, 0.0f, 9.0f};
            if (f < 30.0f) return low[which];
            if (f > 17000.0f) return high[which];
            return 0.0f;
        };
    };
    const std::vector<Trace> seats = {seat(offset(0)), seat(offset(1)), seat(offset(2))};
    for (const float l : seat_levels(ptrs(seats))) EXPECT_EQ(l, 0.0f);
    const Target t = target(ptrs(seats));
    EXPECT_NEAR(t.spread[5], 4.0f, 1e-5f);
    EXPECT_EQ(t.db[5], 0.0f);  // the weighted median, full agreement factor
    EXPECT_NEAR(t.weight[5], 0.95f, 1e-6f);
    EXPECT_NEAR(t.spread[238], 12.0f, 1e-5f);
    EXPECT_EQ(t.db[238], 0.0f);
    EXPECT_EQ(t.weight[238], 0.0f);
}

// The synthetic room: house curve, a +6 dB bump at 2 kHz of Q 3, and seats
// scattered around it by level and by a gentle ripple of their own.
std::vector<Trace> room_seats(float bump_db = 6.0f) {
    const House house{Curve::LivePa, 6.0f};
    const Band bump{2000.0f, bump_db, 3.0f, true, BandKind::Peak};
    std::vector<Trace> seats;
    for (int s = 0; s < 6; ++s) {
        const float level = 3.0f * static_cast<float>(s % 3) - 2.0f;
        const float phase = static_cast<float>(s) * 1.7f;
        seats.push_back(seat([=](float f) {
            return 82.0f + level + house.db_at(f) + band_db(bump, f) + 0.6f * std::sin(3.0f * std::log(f) + phase);
        }));
    }
    return seats;
}

struct FitCall {
    std::size_t n_bands = 6;
    bool shelves = true;
    Shaping shaping = Shaping::defaults(ShapingModel::Galileo);
    std::vector<Band> bands;
    float max_boost = 6.0f;
    float floor_hz = 40.0f;
    float hi_hz = 16000.0f;
    float lo_hz = 40.0f;
    FitWhat what{false, false, true};
};

std::optional<Fit> run(const Target& t, const FitCall& c) {
    return fit_leveled(t, c.n_bands, Curve::LivePa, c.shelves, c.shaping, c.bands, c.max_boost, c.floor_hz, c.hi_hz,
                       6.0f, c.lo_hz, c.what);
}

// Every invariant a fitted band list keeps.
void expect_invariants(const Fit& fit, const FitCall& c, const Target& t) {
    bool low = false;
    bool high = false;
    for (std::size_t i = 0; i < fit.bands.size(); ++i) {
        const Band& b = fit.bands[i];
        EXPECT_TRUE(b.on);
        EXPECT_GE(b.gain_db, -15.0f);
        EXPECT_LE(b.gain_db, c.max_boost);
        if (b.kind == BandKind::Peak) {
            EXPECT_GE(b.q, 0.5f);
            EXPECT_LE(b.q, b.gain_db > 0.0f ? 1.5f : 10.0f);
            EXPECT_GE(b.hz, c.floor_hz);
            EXPECT_LE(b.hz, c.hi_hz);
        } else {
            EXPECT_TRUE(c.shelves);
            EXPECT_EQ(b.q, 0.70710677f);
            bool& seen = b.kind == BandKind::LowShelf ? low : high;
            EXPECT_FALSE(seen);
            seen = true;
            if (b.kind == BandKind::LowShelf) {
                EXPECT_LE(c.floor_hz, c.lo_hz);
            }
        }
        if (i > 0) {
            EXPECT_LE(fit.bands[i - 1].hz, b.hz);
            EXPECT_GE(std::log2(b.hz / fit.bands[i - 1].hz), 0.33333f);
        }
    }
    EXPECT_LE(fit.bands.size(), c.n_bands);
    // The bands' combined boost never passes the limit where the fit has
    // weight: inside the range, and not in a dip deeper than the boost limit
    // below the mean (those lose their weight).
    const House house{Curve::LivePa, 6.0f};
    std::vector<float> w(t.hz.size(), 0.0f);
    std::vector<float> resid(t.hz.size());
    float wsum = 0.0f;
    float rsum = 0.0f;
    for (std::size_t k = 0; k < t.hz.size(); ++k) {
        resid[k] = t.db[k] - house.db_at(t.hz[k]);
        if (t.hz[k] >= std::fmin(c.floor_hz, c.lo_hz) && t.hz[k] <= c.hi_hz) w[k] = t.weight[k];
        wsum += w[k];
        rsum += w[k] * resid[k];
    }
    const float mean = rsum / wsum;
    const float tol = std::fmax(c.max_boost / 2.0f, 1.0f);
    for (std::size_t k = 0; k < t.hz.size(); ++k) {
        w[k] *= std::clamp(1.0f - (mean - resid[k] - c.max_boost) / tol, 0.0f, 1.0f);
    }
    for (std::size_t k = 0; k < t.hz.size(); ++k) {
        if (w[k] <= 0.0f) continue;
        float total = 0.0f;
        for (const Band& b : fit.bands) total += band_db(b, t.hz[k]);
        EXPECT_LE(total, c.max_boost + 0.01f) << t.hz[k];
    }
}

TEST(Fit, CutsTheBumpAndKeepsEveryInvariant) {
    const auto seats = room_seats();
    const Target t = target(ptrs(seats));
    const FitCall call;
    const auto fit = run(t, call);
    ASSERT_TRUE(fit);
    expect_invariants(*fit, call, t);
    const auto cut = std::find_if(fit->bands.begin(), fit->bands.end(), [](const Band& b) {
        return std::fabs(std::log2(b.hz / 2000.0f)) < 0.25f;
    });
    ASSERT_NE(cut, fit->bands.end());
    EXPECT_EQ(cut->kind, BandKind::Peak);
    EXPECT_NEAR(cut->gain_db, -6.0f, 1.0f);
    EXPECT_GT(fit->rms_before, 1.0f);
    EXPECT_LT(fit->rms_after, 0.35f);
    EXPECT_EQ(fit->shaping, call.shaping);
    // Deterministic.
    EXPECT_EQ(run(t, call), fit);
}

TEST(Fit, WithoutShelvesNoShelfAndBoostLimitHolds) {
    // A deep, wide dip that no band may fill beyond the boost limit.
    std::vector<Trace> seats;
    const House house{Curve::LivePa, 6.0f};
    const Band dip{300.0f, -14.0f, 1.0f, true, BandKind::Peak};
    const Band top{9000.0f, -5.0f, 0.7f, true, BandKind::HighShelf};
    for (int s = 0; s < 3; ++s) {
        seats.push_back(seat([&, s](float f) {
            return house.db_at(f) + band_db(dip, f) + band_db(top, f) + 0.3f * static_cast<float>(s);
        }));
    }
    const Target t = target(ptrs(seats));
    for (const bool shelves : {false, true}) {
        FitCall call;
        call.shelves = shelves;
        call.max_boost = 3.0f;
        const auto fit = run(t, call);
        ASSERT_TRUE(fit);
        expect_invariants(*fit, call, t);
        EXPECT_LT(fit->rms_after, fit->rms_before);
    }
}

TEST(Fit, ZoneFitStaysAboveItsFloor) {
    const auto seats = room_seats();
    const Target t = target(ptrs(seats));
    FitCall call;
    call.floor_hz = 1000.0f;
    call.n_bands = 3;
    const auto fit = run(t, call);
    ASSERT_TRUE(fit);
    expect_invariants(*fit, call, t);
    for (const Band& b : fit->bands) {
        EXPECT_NE(b.kind, BandKind::LowShelf);
        EXPECT_GE(b.hz, 1000.0f);
    }
}

TEST(Fit, HouseCurvePlusConstantNeedsNothing) {
    const House house{Curve::LivePa, 6.0f};
    const std::vector<Trace> seats = {seat([&](float f) { return 91.0f + house.db_at(f); }, 1.0f)};
    const Target t = target(ptrs(seats));
    const auto fit = run(t, FitCall{});
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->rms_before, 0.0f, 0.02f);
    EXPECT_TRUE(fit->bands.empty());
}

TEST(Fit, NothingConfidentGivesNothing) {
    const std::vector<Trace> seats = {seat([](float) { return 0.0f; }, 0.2f)};
    const Target t = target(ptrs(seats));
    EXPECT_FALSE(run(t, FitCall{}));
    // Confident, but only outside the fitted range.
    Target outside = target(ptrs(room_seats()));
    for (std::size_t k = 0; k < 240; ++k) {
        if (outside.hz[k] >= 40.0f && outside.hz[k] <= 16000.0f) outside.weight[k] = 0.0f;
    }
    EXPECT_FALSE(run(outside, FitCall{}));
}

TEST(Fit, KeptBandsAndShapingStayAsGiven) {
    const auto seats = room_seats();
    const Target t = target(ptrs(seats));
    FitCall call;
    call.what = FitWhat{false, false, false};
    call.bands = {Band{2000.0f, -6.0f, 3.0f, true, BandKind::Peak}, Band{200.0f, 1.0f, 1.0f, false, BandKind::Peak}};
    call.shaping.on = true;
    call.shaping.gain_db = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const auto fit = run(t, call);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->bands, call.bands);
    EXPECT_EQ(fit->shaping, call.shaping);
    EXPECT_LT(fit->rms_after, 0.5f);  // the given cut matches the bump
}

TEST(Fit, ShapingGainsFollowATilt) {
    // A measurement 4 dB hot below 125 Hz and 3 dB shy above 4 kHz (a
    // plateau response), fitted with the shaping stage alone.
    Shaping truth = Shaping::defaults(ShapingModel::Galileo);
    truth.on = true;
    truth.gain_db = {4.0f, 0.0f, 0.0f, -3.0f, 0.0f};
    const House house{Curve::Flat, 0.0f};
    const std::vector<Trace> seats = {seat([&](float f) { return house.db_at(f) + shaping_db(truth, f); })};
    const Target t = target(ptrs(seats));
    FitCall call;
    call.what = FitWhat{true, false, false};
    call.shaping.on = true;
    const auto fit = fit_leveled(t, 1, Curve::Flat, false, call.shaping, {}, 6.0f, 40.0f, 16000.0f, 0.0f, 40.0f,
                                 call.what);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->shaping.gain_db[0] - fit->shaping.gain_db[1], -4.0f, 1.0f);
    EXPECT_NEAR(fit->shaping.gain_db[3] - fit->shaping.gain_db[1], 3.0f, 1.0f);
    EXPECT_EQ(fit->shaping.hz, call.shaping.hz);
    EXPECT_LT(fit->rms_after, 0.5f * fit->rms_before);
}

TEST(Fit, DisagreementRanges) {
    auto seats = room_seats();
    // Seats that disagree by 12 dB around 5 kHz.
    for (std::size_t j = 0; j < seats.size(); ++j) {
        for (auto& p : seats[j].points) {
            if (p.hz > 4000.0f && p.hz < 6000.0f) p.db += j % 2 == 0 ? 6.0f : -6.0f;
        }
    }
    const Target t = target(ptrs(seats));
    const auto fit = run(t, FitCall{});
    ASSERT_TRUE(fit);
    ASSERT_EQ(fit->ranges.size(), 1u);
    EXPECT_GT(fit->ranges[0].first, 4000.0f);
    EXPECT_LT(fit->ranges[0].second, 6000.0f);
}

TEST(ErrorMeasure, OffsetFreeSpreadPenaltyAndLimit) {
    const std::vector<float> resid = {1.0f, 1.0f, 1.0f};
    const std::vector<float> w = {1.0f, 1.0f, 1.0f};
    EXPECT_EQ(error_rows(resid, w, {}, false, 6.0f), 0.0f);  // a constant costs nothing
    const std::vector<std::vector<float>> rows = {{0.0f, 2.0f, 0.0f}};
    // Corrected: 1, 3, 1 -> spread 8/3; penalty 0.1 x 4.
    EXPECT_NEAR(error_rows(resid, w, rows, false, 6.0f), 8.0f / 3.0f, 1e-5f);
    EXPECT_NEAR(error_rows(resid, w, rows, true, 6.0f), 8.0f / 3.0f + 0.4f, 1e-5f);
    EXPECT_TRUE(std::isinf(error_rows(resid, w, rows, true, 1.5f)));
    EXPECT_EQ(error_rows({}, {}, rows, true, 6.0f), 0.0f);
}

}  // namespace
