// Overlap band, lag choice, delay and polarity alignment at one and at
// several positions, and the crossover corner search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/tuning/align.h"
#include "engine/tuning/design.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace {

using namespace engine::align;
using engine::design::Filter;
using engine::design::FilterKind;
using engine::design::Source;
using engine::tf::Triple;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float PI = 3.1415927f;

// A loudspeaker-like response (band-limited, some ripple that depends on
// `seed`), full confidence, optionally delayed and inverted.
Trace speaker(const std::string& position, float delay_ms = 0.0f, bool invert = false, int seed = 0,
              std::uint32_t fs = 48000, float ripple_depth = 0.25f) {
    const auto& f = engine::tf::point_freq();
    const Filter hp{true, FilterKind::Butterworth, 12, 60.0f};
    const Filter lp{true, FilterKind::Butterworth, 12, 12000.0f};
    std::vector<Triple> bins;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const float ripple = 1.0f + ripple_depth * std::sin(0.11f * static_cast<float>(i) + static_cast<float>(seed));
        Complex h = hp.response(false, f[i]) * lp.response(true, f[i]) * ripple;
        h *= std::polar(1.0f, -2.0f * PI * f[i] * (0.0004f + delay_ms / 1000.0f));
        if (invert) h = -h;
        bins.push_back({h.real(), h.imag(), 0.95f});
    }
    Trace t = Trace::make("t", fs, 0, bins, 0.7f);
    t.position = position;
    return t;
}

TEST(Pick, ChoosesAmongLocalPeaksWithinHalfADecibel) {
    struct Case {
        const char* what;
        std::vector<Candidate> cands;
        std::optional<Candidate> expect;
    };
    const std::vector<Case> cases = {
        {"empty", {}, std::nullopt},
        {"a lag whose neighbour scores higher never wins, even with the best agreement",
         {{-1, false, 1.0f, 0.1f}, {0, false, 0.99f, 0.9f}, {1, false, 0.5f, 0.2f}},
         Candidate{-1, false, 1.0f, 0.1f}},
        {"equal agreement: the lag nearer zero",
         {{-5, false, 1.0f, 0.5f}, {3, false, 0.95f, 0.5f}, {9, false, 1.0f, 0.5f}},
         Candidate{3, false, 0.95f, 0.5f}},
        {"equal |lag|: normal polarity",
         {{-4, true, 1.0f, 0.5f}, {4, false, 1.0f, 0.5f}},
         Candidate{4, false, 1.0f, 0.5f}},
        {"complete tie: the later one",
         {{-4, false, 1.0f, 0.5f}, {4, false, 1.0f, 0.5f}},
         Candidate{4, false, 1.0f, 0.5f}},
        {"below the threshold never qualifies",
         {{0, false, 0.5f, 1.0f}, {10, false, 1.0f, 0.1f}},
         Candidate{10, false, 1.0f, 0.1f}},
        {"a score that is not a number never wins",
         {{0, false, NaN, 1.0f}, {10, false, 1.0f, 0.1f}},
         Candidate{10, false, 1.0f, 0.1f}},
        {"a neighbour that is not a number does not disqualify",
         {{0, false, NaN, 1.0f}, {1, false, 1.0f, 0.1f}},
         Candidate{1, false, 1.0f, 0.1f}},
        {"neighbours are looked up in the same polarity only",
         {{0, false, 5.0f, 0.9f}, {1, true, 5.2f, 0.1f}},
         Candidate{0, false, 5.0f, 0.9f}},
        {"all not a number", {{0, false, NaN, 1.0f}}, std::nullopt},
        {"the extreme lags have neighbours too",
         {{INT64_MIN, false, 1.0f, 0.5f}, {INT64_MAX, false, 2.0f, 0.1f}},
         Candidate{INT64_MAX, false, 2.0f, 0.1f}},
    };
    for (const Case& c : cases) EXPECT_EQ(pick(c.cands), c.expect) << c.what;
}

TEST(Overlap, NeedsEqualRatesAndEnoughConfidentPoints) {
    const Trace a = speaker("P");
    EXPECT_TRUE(overlap(a, a));
    EXPECT_FALSE(overlap(a, speaker("P", 0.0f, false, 0, 44100)));

    Trace narrow = a;
    for (std::size_t i = 0; i < narrow.confidence.size(); ++i) {
        if (i < 100 || i > 106) narrow.confidence[i] = 0.1f;  // 7 confident points
    }
    EXPECT_FALSE(overlap(a, narrow));
    narrow.confidence[107] = 0.95f;  // 8 points, a bit more than a third of an octave
    const auto band = overlap(a, narrow);
    ASSERT_TRUE(band);
    EXPECT_EQ(band->points.size(), 8u);
    EXPECT_EQ(band->lo_hz, engine::tf::point_freq()[100]);

    // Levels more than 20 dB apart give no band.
    Trace quiet = a;
    for (auto& v : quiet.h) v *= 0.05f;
    EXPECT_FALSE(overlap(a, quiet));
    // 12 dB apart: found at the 15 dB limit.
    for (auto& v : quiet.h) v *= 5.0f;
    EXPECT_TRUE(overlap(a, quiet));
}

TEST(Align, DelayedCopyGivesItsDelay) {
    const Trace orig = speaker("P");
    const Trace late = speaker("P", 1.0f);
    const auto fwd = align(late, orig);
    ASSERT_TRUE(fwd);
    EXPECT_FLOAT_EQ(fwd->delay_ms, 1.0f);
    EXPECT_FALSE(fwd->invert);
    EXPECT_FALSE(fwd->at_limit);
    EXPECT_NEAR(fwd->sum_db, 3.0103f, 0.01f);
    EXPECT_LT(fwd->drop_db, 0.0f);
    EXPECT_EQ(fwd->points.size(), 240u);
    EXPECT_GT(fwd->band_points, 100u);
    // The sum is the reference doubled.
    for (std::size_t i = 0; i < 240; i += 17) EXPECT_NEAR(fwd->points[i].db - late.points[i].db, 6.02f, 0.05f);

    const auto back = align(orig, late);
    ASSERT_TRUE(back);
    EXPECT_FLOAT_EQ(back->delay_ms, -1.0f);
    EXPECT_FALSE(back->invert);
}

TEST(Align, IdenticalAndInvertedCopies) {
    const Trace t = speaker("P");
    const auto same = align(t, t);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->delay_ms, 0.0f);
    EXPECT_FALSE(same->invert);
    EXPECT_NEAR(same->sum_db, 3.0103f, 0.01f);
    EXPECT_TRUE(same->others.empty());

    const auto inv = align(t, speaker("P", 0.0f, true));
    ASSERT_TRUE(inv);
    EXPECT_EQ(inv->delay_ms, 0.0f);
    EXPECT_TRUE(inv->invert);
}

TEST(Align, CaptureDelaysShiftTheSearch) {
    // The aligned trace was captured with 24 more samples of bulk delay: it is
    // 0.5 ms later in truth, which its values do not show.
    const Trace r = speaker("P");
    Trace a = speaker("P");
    a.delay_samples = 24;
    const auto res = align(r, a);
    ASSERT_TRUE(res);
    EXPECT_FLOAT_EQ(res->delay_ms, -0.5f);
}

TEST(Align, AtTheSearchLimit) {
    const auto res = align(speaker("P", 40.0f), speaker("P"));
    ASSERT_TRUE(res);
    EXPECT_FLOAT_EQ(res->delay_ms, 40.0f);
    EXPECT_TRUE(res->at_limit);
}

TEST(Align, NarrowBandRepeatsEveryPeriod) {
    Trace r = speaker("P");
    for (std::size_t i = 0; i < r.confidence.size(); ++i) {
        if (i < 130 || i > 140) r.confidence[i] = 0.0f;
    }
    const auto res = align(r, r);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->delay_ms, 0.0f);
    EXPECT_GE(res->others.size(), 2u);
    for (const auto& [ms, inv] : res->others) EXPECT_GT(std::fabs(ms), 0.2f);
}

TEST(AlignMulti, AgreesWithTheSinglePositionSearch) {
    std::vector<std::pair<Trace, Trace>> pairs;
    for (int p = 0; p < 5; ++p) {
        const std::string pos = "Seat " + std::to_string(p);
        pairs.emplace_back(speaker(pos, 0.0f, false, p), speaker(pos, 1.0f, false, p + 7));
    }
    const auto multi = align_multi_in(pairs, std::nullopt, 40.0f);
    ASSERT_TRUE(multi);
    EXPECT_FLOAT_EQ(multi->delay_ms, -1.0f);
    EXPECT_FALSE(multi->invert);
    ASSERT_EQ(multi->seats.size(), 5u);
    for (std::size_t p = 0; p < 5; ++p) {
        EXPECT_EQ(multi->seats[p].first, "Seat " + std::to_string(p));
        EXPECT_NEAR(multi->seats[p].second, 0.0f, 0.01f);
        const auto single = align(pairs[p].first, pairs[p].second);
        ASSERT_TRUE(single);
        EXPECT_FLOAT_EQ(single->delay_ms, multi->delay_ms);
        EXPECT_EQ(single->invert, multi->invert);
    }

    // Inverted at every seat.
    for (auto& [a, b] : pairs) b = speaker(a.position, 0.5f, true, 3);
    const auto inv = align_multi_in(pairs, std::nullopt, 40.0f);
    ASSERT_TRUE(inv);
    EXPECT_FLOAT_EQ(inv->delay_ms, -0.5f);
    EXPECT_TRUE(inv->invert);
}

TEST(AlignMulti, SkipsPositionsWithoutOverlapAndRefusesMixedRates) {
    const Trace a = speaker("A");
    Trace deaf = speaker("B");
    for (float& c : deaf.confidence) c = 0.0f;
    std::vector<std::pair<Trace, Trace>> pairs = {{a, a}, {deaf, deaf}};
    const auto res = align_multi_in(pairs, std::nullopt, 10.0f);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->seats.size(), 1u);
    EXPECT_EQ(res->seats[0].first, "A");

    const Trace slow = speaker("C", 0.0f, false, 0, 44100);
    pairs = {{a, a}, {slow, slow}};
    EXPECT_FALSE(align_multi_in(pairs, std::nullopt, 10.0f));
    pairs.clear();
    EXPECT_FALSE(align_multi_in(pairs, std::nullopt, 10.0f));

    // A maximum delay of no real size is refused, not scanned.
    pairs = {{a, a}};
    EXPECT_FALSE(align_multi_in(pairs, std::nullopt, std::numeric_limits<float>::infinity()));
    EXPECT_FALSE(align_multi_in(pairs, std::nullopt, 1.0e30f));
    EXPECT_FALSE(align_multi_in(pairs, std::nullopt, -1.0f));
    const auto zero = align_multi_in(pairs, std::nullopt, 0.0f);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->delay_ms, 0.0f);
}

TEST(AlignMulti, WindowLimitsLagsAndPolarity) {
    const std::vector<std::pair<Trace, Trace>> pairs = {{speaker("A"), speaker("A", 1.0f)}};
    // A window far outside the range clamps to its edge: one lag only.
    const auto edge = align_multi_in(pairs, Window{500.0f, 1.0f, false}, 40.0f);
    ASSERT_TRUE(edge);
    EXPECT_FLOAT_EQ(edge->delay_ms, 40.0f);
    // A seat's own best is taken over the lags of the range only.
    EXPECT_LE(edge->seats[0].second, 0.0f);
    EXPECT_GT(edge->seats[0].second, -3.0f);
    // Only the window's polarity is tried.
    const auto inv = align_multi_in(pairs, Window{-1.0f, 0.2f, true}, 40.0f);
    ASSERT_TRUE(inv);
    EXPECT_TRUE(inv->invert);
    EXPECT_GE(inv->delay_ms, -1.2f);
    EXPECT_LE(inv->delay_ms, -0.8f);
    // A window that holds the best lag finds it.
    const auto near = align_multi_in(pairs, Window{-0.9f, 0.5f, false}, 40.0f);
    ASSERT_TRUE(near);
    EXPECT_FLOAT_EQ(near->delay_ms, -1.0f);
}

// The upper (aligned) source's high-pass and the lower (reference) source's
// low-pass are the crossover.
PairsAt crossover_pairs(const std::vector<std::pair<Trace, Trace>>& raw, bool invert_aligned = false) {
    Source ref = Source::make("Sub");
    ref.lp = Filter{true, FilterKind::LinkwitzRiley, 24, 1000.0f};
    Source upper = Source::make("Top");
    upper.hp = Filter{true, FilterKind::LinkwitzRiley, 24, 1000.0f};
    upper.invert = invert_aligned;
    return engine::design::pairs_at_corners(ref, upper, true, raw);
}

TEST(Crossovers, RankCornerPairsFlattestFirst) {
    std::vector<std::pair<Trace, Trace>> raw;
    for (int p = 0; p < 3; ++p) {
        const std::string pos = "Seat " + std::to_string(p);
        raw.emplace_back(speaker(pos, 0.0f, false, p, 48000, 0.0f), speaker(pos, 0.0f, false, p, 48000, 0.0f));
    }
    const auto [fits, as_were] = crossovers(1000.0f, 1000.0f, crossover_pairs(raw));
    ASSERT_EQ(fits.size(), 169u);
    ASSERT_TRUE(as_were);
    EXPECT_EQ(as_were->hp_hz, 1000.0f);
    EXPECT_EQ(as_were->lp_hz, 1000.0f);
    const auto grid_fit = std::find_if(fits.begin(), fits.end(), [](const CrossoverFit& f) {
        return f.hp_hz == 1000.0f && f.lp_hz == 1000.0f;
    });
    ASSERT_NE(grid_fit, fits.end());
    EXPECT_EQ(*grid_fit, *as_were);
    for (std::size_t i = 1; i < fits.size(); ++i) EXPECT_LE(fits[i - 1].ripple_db, fits[i].ripple_db);
    for (const CrossoverFit& f : fits) {
        EXPECT_FALSE(f.invert);
        EXPECT_LE(std::fabs(f.delay_ms), 0.5f + 1.0f / 48.0f);
        EXPECT_GE(f.hp_hz, 499.0f);
        EXPECT_LE(f.lp_hz, 2001.0f);
    }
    // Equal corners sum flat; a high-pass far above the low-pass leaves a hole.
    EXPECT_LT(std::fabs(std::log2(fits.front().hp_hz / fits.front().lp_hz)), 0.2f);
    EXPECT_LT(as_were->ripple_db, 0.1f);
    EXPECT_GT(fits.back().ripple_db, 1.0f);
}

// The pairs made once per corner and side give the same candidates as the
// pairs made afresh for every corner pair, whichever source is the upper one.
TEST(Crossovers, CornerTracesKeptPerSideChangeNothing) {
    std::vector<std::pair<Trace, Trace>> raw;
    for (int p = 0; p < 3; ++p) {
        const std::string pos = "Seat " + std::to_string(p);
        raw.emplace_back(speaker(pos, 0.0f, false, p), speaker(pos, 0.3f + 0.1f * static_cast<float>(p), false, p + 5));
    }
    for (const bool aligned_upper : {true, false}) {
        SCOPED_TRACE(aligned_upper);
        Source ref = Source::make("Ref");
        Source al = Source::make("Al");
        (aligned_upper ? ref.lp : ref.hp) = Filter{true, FilterKind::LinkwitzRiley, 24, 900.0f};
        (aligned_upper ? al.hp : al.lp) = Filter{true, FilterKind::LinkwitzRiley, 24, 1100.0f};
        const PairsAt afresh = [&](float hp, float lp) {
            Source r = ref;
            Source a = al;
            (aligned_upper ? a.hp : r.hp).hz = hp;
            (aligned_upper ? r.lp : a.lp).hz = lp;
            std::vector<std::pair<Trace, Trace>> out;
            for (const auto& [rt, at] : raw) {
                out.emplace_back(engine::design::processed_with(rt, r, true),
                                 engine::design::processed_with(at, a, true));
            }
            return out;
        };
        const auto expected = crossovers(1100.0f, 900.0f, afresh);
        ASSERT_EQ(expected.first.size(), 169u);
        EXPECT_EQ(crossovers(1100.0f, 900.0f, engine::design::pairs_at_corners(ref, al, aligned_upper, raw)),
                  expected);
    }
}

TEST(Crossovers, NothingWhenTheBaseAlignmentFindsNothing) {
    std::vector<std::pair<Trace, Trace>> raw = {{speaker("A"), speaker("A", 0.0f, false, 0, 44100)}};
    const auto [fits, as_were] = crossovers(1000.0f, 1000.0f, crossover_pairs(raw));
    EXPECT_TRUE(fits.empty());
    EXPECT_FALSE(as_were);
    const auto [f2, a2] = crossovers(NaN, 1000.0f, crossover_pairs(raw));
    EXPECT_TRUE(f2.empty());
    EXPECT_FALSE(a2);
}

TEST(Crossovers, CandidatesAreLazy) {
    int calls = 0;
    auto it = crossover_candidates({1.0f, 2.0f}, {10.0f, 20.0f, 30.0f}, [&](float o, float i) {
        ++calls;
        if (i == 20.0f) return std::optional<CrossoverFit>{};
        return std::optional<CrossoverFit>{CrossoverFit{o, i, 0.0f, 0.0f, false}};
    });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(it.next()->lp_hz, 10.0f);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(it.next()->lp_hz, 30.0f);  // (1, 20) gave nothing
    EXPECT_EQ(calls, 3);
    const auto third = it.next();
    EXPECT_EQ(third->hp_hz, 2.0f);
    EXPECT_EQ(third->lp_hz, 10.0f);
    EXPECT_TRUE(it.next());
    EXPECT_FALSE(it.next());
    EXPECT_EQ(calls, 6);
}

}  // namespace
