// Tuning engine at 48 kHz: multi-position alignment over +-40 ms, the
// crossover search over its whole corner grid, the EQ fit and the predicted sum.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/tuning/align.h"
#include "engine/tuning/design.h"
#include "engine/tuning/eqfit.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace {

using engine::design::Filter;
using engine::design::FilterKind;
using engine::design::Source;
using engine::trace::Trace;

constexpr float PI = 3.1415927f;
constexpr int POSITIONS = 8;

// A band-limited loudspeaker response with seat-dependent ripple.
Trace speaker(const std::string& position, float delay_ms, int seed) {
    const auto& f = engine::tf::point_freq();
    const Filter hp{true, FilterKind::Butterworth, 12, 60.0f};
    const Filter lp{true, FilterKind::Butterworth, 12, 12000.0f};
    std::vector<engine::tf::Triple> bins;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const float ripple = 1.0f + 0.2f * std::sin(0.13f * static_cast<float>(i) + static_cast<float>(seed));
        auto h = hp.response(false, f[i]) * lp.response(true, f[i]) * ripple;
        h *= std::polar(1.0f, -2.0f * PI * f[i] * (0.0004f + delay_ms / 1000.0f));
        bins.push_back({h.real(), h.imag(), 0.9f});
    }
    Trace t = Trace::make("t", 48000, 0, bins, 0.7f);
    t.position = position;
    return t;
}

std::vector<std::pair<Trace, Trace>> raw_pairs() {
    std::vector<std::pair<Trace, Trace>> out;
    for (int p = 0; p < POSITIONS; ++p) {
        const std::string pos = "Seat " + std::to_string(p);
        out.emplace_back(speaker(pos, 0.0f, p), speaker(pos, 1.3f + 0.1f * static_cast<float>(p), p + 3));
    }
    return out;
}

void BM_AlignMulti8Positions(benchmark::State& state) {
    const auto pairs = raw_pairs();
    for (auto _ : state) {
        auto res = engine::align::align_multi_in(pairs, std::nullopt, 40.0f);
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_AlignMulti8Positions)->Unit(benchmark::kMillisecond);

void BM_AlignOnePosition(benchmark::State& state) {
    const auto pairs = raw_pairs();
    for (auto _ : state) {
        auto res = engine::align::align(pairs[0].first, pairs[0].second);
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_AlignOnePosition)->Unit(benchmark::kMillisecond);

void BM_CrossoverSearch8Positions(benchmark::State& state) {
    const auto raw = raw_pairs();
    Source ref = Source::make("Sub");
    ref.lp = Filter{true, FilterKind::LinkwitzRiley, 24, 900.0f};
    Source top = Source::make("Top");
    top.hp = Filter{true, FilterKind::LinkwitzRiley, 24, 1100.0f};
    for (auto _ : state) {
        auto res = engine::align::crossovers(1100.0f, 900.0f, engine::design::pairs_at_corners(ref, top, true, raw));
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_CrossoverSearch8Positions)->Unit(benchmark::kMillisecond);

void BM_FitLeveled10Bands8Seats(benchmark::State& state) {
    using namespace engine::eqfit;
    const House house{Curve::LivePa, 6.0f};
    const Band bumps[] = {{2000.0f, 6.0f, 3.0f, true, BandKind::Peak},
                          {180.0f, 5.0f, 2.0f, true, BandKind::Peak},
                          {7000.0f, -4.0f, 1.5f, true, BandKind::Peak}};
    std::vector<Trace> seats;
    for (int s = 0; s < 8; ++s) {
        std::vector<engine::tf::Triple> bins;
        for (const float f : engine::tf::point_freq()) {
            float db = 80.0f + static_cast<float>(s % 3) + house.db_at(f) +
                       0.7f * std::sin(3.0f * std::log(f) + static_cast<float>(s));
            for (const Band& b : bumps) db += band_db(b, f);
            bins.push_back({std::pow(10.0f, db / 20.0f), 0.0f, 0.95f});
        }
        seats.push_back(Trace::make("s", 48000, 0, bins, 0.5f));
    }
    std::vector<const Trace*> ptrs;
    for (const Trace& t : seats) ptrs.push_back(&t);
    Shaping shaping = Shaping::defaults(ShapingModel::Galileo);
    shaping.on = true;
    for (auto _ : state) {
        const Target t = target(ptrs);
        auto fit = fit_leveled(t, 10, Curve::LivePa, true, shaping, {}, 6.0f, 40.0f, 16000.0f, 6.0f, 40.0f,
                               FitWhat{true, true, true});
        benchmark::DoNotOptimize(fit);
    }
}
BENCHMARK(BM_FitLeveled10Bands8Seats)->Unit(benchmark::kMillisecond);

void BM_PredictedSum8Sources(benchmark::State& state) {
    std::vector<Trace> traces;
    std::vector<Source> sources;
    for (int s = 0; s < 8; ++s) {
        traces.push_back(speaker("Seat", 0.2f * static_cast<float>(s), s));
        Source src = Source::make("S" + std::to_string(s));
        src.hp = Filter{true, FilterKind::LinkwitzRiley, 24, 80.0f};
        src.lp = Filter{true, FilterKind::Butterworth, 18, 16000.0f};
        src.shaping.on = true;
        for (auto& b : src.bands) b.on = true;
        engine::design::Zone z;
        z.position = "Seat";
        z.bands = {engine::eqfit::Band{3000.0f, -2.0f, 2.0f, true, engine::eqfit::BandKind::Peak}};
        src.zones.push_back(z);
        sources.push_back(src);
    }
    std::vector<std::pair<const Source*, const Trace*>> pairs;
    for (int s = 0; s < 8; ++s) pairs.emplace_back(&sources[s], &traces[s]);
    for (auto _ : state) {
        auto sum = engine::design::sum_of(pairs, true);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_PredictedSum8Sources)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
