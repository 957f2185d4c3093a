// One transfer pass of the refresh loop as the UI thread runs it (plot
// inputs, path builders, batch hash, JSON of a sent batch) with a live
// analyzer, 20 stored traces and the seat view on; and the bytes sent to the
// page per second with a static and with a live plot.
#include <benchmark/benchmark.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "ui/main_window/measure/refresh.h"

namespace {

using namespace ui::main_window;
using engine::analyzer::Snapshot;

Trace seat_trace(std::size_t k) {
    std::vector<engine::tf::Triple> bins(240);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const float a = 1.0f + 0.3f * std::sin(0.05f * static_cast<float>(i * (k + 1)));
        bins[i] = {a * std::cos(0.1f * i), a * std::sin(0.1f * i), 0.9f};
    }
    Trace t = Trace::make("Main " + std::to_string(k), 48000, 0, bins, 0.5f);
    t.source = "Main";
    t.position = "Seat " + std::to_string(k);
    return t;
}

Snapshot live(std::uint32_t pass) {
    Snapshot x;
    x.running = true;
    x.sample_rate = 48000;
    x.status = "Running";
    x.gate = 0.5f;
    const auto& grid = engine::tf::point_freq();
    for (std::size_t i = 0; i < 240; ++i) {
        const float wobble = 0.5f * std::sin(0.07f * static_cast<float>(i + pass));
        x.points.push_back({grid[i], wobble, std::fmod(30.0f * i, 360.0f) - 180.0f, 0.95f});
        x.spectrum.push_back({grid[i], -40.0f + wobble, 0.0f, 1.0f});
    }
    x.ir.assign(600, -60.0f);
    x.ir_span_ms = 40.0f;
    x.octave_conf.fill(0.9f);
    return x;
}

struct Fixture {
    WindowState s = make_state(Settings{}, std::make_shared<WindowHost>(), AutosaveHooks{});
    std::optional<Snapshot> analyzer;
    std::size_t bytes = 0;
    std::size_t batches = 0;
    std::optional<Refresh> refresh;
    reactive::Instant now{};

    Fixture() {
        std::vector<Trace> traces;
        for (std::size_t k = 0; k < 20; ++k) traces.push_back(seat_trace(k));
        s.traces.set(std::move(traces));
        s.sources.set({"Main"});
        s.position.set("Seat 0");
        s.right_tab.set(2);
        Workers w;
        w.analyzer = [this] { return analyzer; };
        w.send = [](engine::analyzer::Cmd) {};
        w.drop_analyzer = [this] { analyzer.reset(); };
        w.meter = [] { return std::optional<engine::meter::MeterSnapshot>{}; };
        w.drop_meter = [] {};
        w.start_meter = [] {};
        refresh.emplace(s, w, [this](std::vector<PlotUpdate> b) -> base::Result<void> {
            bytes += ui::tf_plot::plot_batch(std::move(b)).dump().size();
            ++batches;
            return {};
        });
    }
    void pass() {
        now += std::chrono::milliseconds(33);
        refresh->pass(now);
    }
};

void BM_TransferPass(benchmark::State& state) {
    Fixture f;
    std::uint32_t n = 0;
    f.analyzer = live(n);
    f.pass();
    for (auto _ : state) {
        f.analyzer = live(++n);
        f.pass();
    }
}
BENCHMARK(BM_TransferPass)->Unit(benchmark::kMicrosecond);

// Bytes per second and per batch sent over 300 passes (about 10 s of the loop).
void BM_BytesPerSecond(benchmark::State& state) {
    const bool changing = state.range(0) != 0;
    double per_second = 0, per_batch = 0;
    for (auto _ : state) {
        Fixture f;
        for (std::uint32_t n = 0; n < 300; ++n) {
            f.analyzer = live(changing ? n : 0);
            f.pass();
        }
        per_second = static_cast<double>(f.bytes) / (300 * 0.033);
        per_batch = f.batches ? static_cast<double>(f.bytes) / static_cast<double>(f.batches) : 0.0;
    }
    state.counters["bytes_per_s"] = per_second;
    state.counters["bytes_per_batch"] = per_batch;
}
BENCHMARK(BM_BytesPerSecond)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
