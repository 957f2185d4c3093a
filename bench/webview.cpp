// The web-view runtime in a real web view (needs a display; skips without).
//
// - host_to_page: a signal change until the page has applied the edit;
// - page_to_host: one blocking click event from the page to a C++ listener
//   and back (timed in the page);
// - plot_traffic: 30 batches a second of about 50 KB (an SVG path), the UI
//   thread's time per batch (render, diff, serialise, hand to WebKit) and the
//   edit batches still in flight, i.e. whether the page keeps up.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"

namespace {

using namespace reactive;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Signal<int>* COUNT = nullptr;
Signal<std::string>* PATH = nullptr;

Element bench_app() {
    auto count = use_signal(0);
    auto path = use_signal(std::string("M0 0"));
    COUNT = &use_hook<Signal<int>>([&] { return count; });
    PATH = &use_hook<Signal<std::string>>([&] { return path; });
    return div()(
        p().id("count")(fmt::format("Count: {}", count())),
        button().id("add").on_click_blocking([count](MouseEvent&) { count.set(count.peek() + 1); })("Add"),
        svg_el("svg").attr("width", "600").attr("height", "200")(
            svg_el("path").attr("d", path()).attr("stroke", "#333").attr("fill", "none")));
}

struct Env {
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
    webview_host::ReactiveRoot* root = nullptr;
};

Env* env() {
    static Env* e = [] {
        auto* e = new Env;
        e->loop = std::make_unique<webview_host::GtkLoop>();
        auto r = std::make_unique<webview_host::ReactiveRoot>(*e->loop, [] { return bench_app(); });
        e->root = r.get();
        webview_host::WindowConfig c;
        c.title = "Bench";
        c.width = 800;
        c.height = 400;
        e->window = std::make_unique<webview_host::Window>(c, std::move(r));
        webview_host::run_until([&] { return e->window->rendered() && e->window->pending_batches() == 0; });
        return e;
    }();
    return e;
}

// A plot-like path of about `bytes` bytes, different for each `seed`.
std::string path_data(std::size_t bytes, int seed) {
    std::string s = "M0 100";
    s.reserve(bytes + 32);
    for (int i = 1; s.size() < bytes; ++i)
        fmt::format_to(std::back_inserter(s), " L{}.{} {}.{}", i % 600, (i * 7 + seed) % 10,
                       100 + ((i * 31 + seed * 17) % 97) - 48, (i + seed) % 10);
    return s;
}

void host_to_page(benchmark::State& state) {
    auto* e = env();
    for (auto _ : state) {
        auto before = e->window->batches_applied();
        COUNT->set(COUNT->peek() + 1);
        webview_host::run_until([&] { return e->window->batches_applied() > before; }, 10s);
    }
}
BENCHMARK(host_to_page)->Unit(benchmark::kMicrosecond)->UseRealTime();

void page_to_host(benchmark::State& state) {
    auto* e = env();
    for (auto _ : state) {
        std::optional<base::Result<nlohmann::json>> out;
        e->window->evaluate(
            "const b = document.getElementById('add'); const n = 50; const t0 = performance.now();"
            "for (let i = 0; i < n; ++i) b.click();"
            "return (performance.now() - t0) / n / 1000;",
            {}, [&](base::Result<nlohmann::json> r) { out = std::move(r); });
        webview_host::run_until([&] { return out.has_value(); }, 20s);
        if (!out || !*out) {
            state.SkipWithError("page script failed");
            return;
        }
        state.SetIterationTime((*out)->get<double>());
    }
    webview_host::run_until([&] { return e->window->pending_batches() == 0; }, 30s);
}
BENCHMARK(page_to_host)->UseManualTime()->Unit(benchmark::kMicrosecond);

void plot_traffic(benchmark::State& state) {
    auto* e = env();
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) * 1024;
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) paths.push_back(path_data(bytes, i));
    // Start from a quiet page (earlier benchmarks leave batches in flight).
    webview_host::run_until([&] { return e->window->pending_batches() == 0; }, 30s);
    int i = 0;
    int max_in_flight = 0;
    double ui_ns = 0;
    std::int64_t batches = 0;
    for (auto _ : state) {
        // One second of traffic at 30 batches a second.
        auto start = Clock::now();
        for (int k = 0; k < 30; ++k) {
            auto due = start + k * 33333us;
            webview_host::run_until([&] { return Clock::now() >= due; }, 1s);
            auto t0 = Clock::now();
            PATH->set(paths[static_cast<std::size_t>(i++ % 8)]);
            e->root->root().flush();
            ui_ns += static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
            ++batches;
            max_in_flight = std::max(max_in_flight, e->window->pending_batches());
        }
        webview_host::run_until([&] { return e->window->pending_batches() == 0; }, 10s);
    }
    state.counters["ui_ms_per_batch"] = ui_ns / 1e6 / static_cast<double>(batches);
    state.counters["max_batches_in_flight"] = max_in_flight;
    state.counters["batch_kb"] = static_cast<double>(bytes) / 1024.0;
}
BENCHMARK(plot_traffic)->Arg(1)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    setenv("GSETTINGS_BACKEND", "memory", 0);
    if (!std::getenv("DISPLAY") || !webview_host::init()) {
        fmt::print("bench_webview: no display, skipped\n");
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
