// The plot page script in a real web view: the page-side time to apply one
// heavy batch of drawing updates to the full transfer plot, and one live
// batch (what the refresh loop sends while measuring: the updates that
// differ from the pass before), measured in the page with performance.now()
// over a run of batches, each followed by one layout (needs a display; skips
// without). The counters give the JSON size of the batches.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "ui/tf_plot/tests/synthetic.h"
#include "ui/tf_plot/tf_plot.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"

namespace {

using namespace reactive;
using namespace ui::tf_plot;

Element plot_app() {
    TfPlotProps p;
    p.show_rta = p.show_fill = true;
    p.arrivals = tf_plot_test::room_arrivals();
    for (std::size_t k = 0; k < 8; ++k) p.stored.push_back({k, k % 4});
    p.xovers = {0, 1, 2, 3};
    return component(tf_plot, p);
}

struct Env {
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

Env* env() {
    static Env* e = [] {
        auto* e = new Env;
        e->loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Plot bench";
        c.head = fmt::format("<link rel=\"stylesheet\" href=\"{}\">", STYLE_URL);
        c.assets = {{std::string(ASSET_PREFIX), VELTRUM_TF_PLOT_ASSETS}};
        e->window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*e->loop, [] { return plot_app(); }));
        webview_host::run_until([&] { return e->window->rendered() && e->window->pending_batches() == 0; });
        return e;
    }();
    return e;
}

// The page-side milliseconds per batch of `batches` applied in turn, each
// followed by one layout.
std::optional<double> page_ms(Env* e, const nlohmann::json& batches) {
    const std::string body = fmt::format(R"JS(
const plot = await import("{}");
const batches = {};
const n = 60;
const t0 = performance.now();
for (let i = 0; i < n; i++) {{
  plot.applyBatch(batches[i % batches.length], () => {{}});
  document.getElementById("tf-mag").getBoundingClientRect();  // layout after every batch
}}
return (performance.now() - t0) / n;)JS",
                                         SCRIPT_URL, batches.dump());
    std::optional<base::Result<nlohmann::json>> out;
    e->window->evaluate(body, {}, [&](base::Result<nlohmann::json> r) { out = std::move(r); });
    webview_host::run_until([&] { return out.has_value(); });
    if (!out || !*out || !(*out)->is_number()) return std::nullopt;
    return (*out)->get<double>();
}

double mean_bytes(const nlohmann::json& batches) {
    double bytes = 0;
    for (const auto& b : batches) bytes += static_cast<double>(b.dump().size());
    return batches.empty() ? 0.0 : bytes / static_cast<double>(batches.size());
}

void BM_PageApplyBatch(benchmark::State& state) {
    if (!std::getenv("DISPLAY") || !webview_host::init()) {
        state.SkipWithError("no display");
        return;
    }
    Env* e = env();
    nlohmann::json batches = nlohmann::json::array();
    for (unsigned k = 0; k < 8; ++k) batches.push_back(plot_batch(build_paths(tf_plot_test::heavy_inputs(k)).updates));
    for (auto _ : state) {
        const auto ms = page_ms(e, batches);
        if (!ms) {
            state.SkipWithError("page did not answer");
            return;
        }
        state.SetIterationTime(*ms / 1000.0);
    }
    state.counters["batch_bytes"] = mean_bytes(batches);
}
BENCHMARK(BM_PageApplyBatch)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// Live batches: of passes 1 to 32 of the heavy input (the live, accumulated
// and spectrum curves and the impulse response change every pass), the
// updates that differ from the pass before.
void BM_PageApplyLiveBatch(benchmark::State& state) {
    if (!std::getenv("DISPLAY") || !webview_host::init()) {
        state.SkipWithError("no display");
        return;
    }
    Env* e = env();
    nlohmann::json batches = nlohmann::json::array();
    // Drawn at the steady level, as the refresh loop draws.
    auto first = build_paths(tf_plot_test::heavy_inputs(0));
    auto before = first.updates;
    float level = first.ref_db;
    for (unsigned k = 1; k <= 32; ++k) {
        auto in = tf_plot_test::heavy_inputs(k);
        in.steady_ref = level;
        auto built = build_paths(in);
        level = built.ref_db;
        auto now = std::move(built.updates);
        std::vector<PlotUpdate> changed;
        for (std::size_t i = 0; i < now.size(); ++i)
            if (i >= before.size() || now[i] != before[i]) changed.push_back(now[i]);
        batches.push_back(plot_batch(changed));
        before = std::move(now);
    }
    // The page holds the first pass, as it would while measuring.
    (void)page_ms(e, nlohmann::json::array({plot_batch(build_paths(tf_plot_test::heavy_inputs(0)).updates)}));
    for (auto _ : state) {
        const auto ms = page_ms(e, batches);
        if (!ms) {
            state.SkipWithError("page did not answer");
            return;
        }
        state.SetIterationTime(*ms / 1000.0);
    }
    state.counters["batch_bytes"] = mean_bytes(batches);
}
BENCHMARK(BM_PageApplyLiveBatch)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
