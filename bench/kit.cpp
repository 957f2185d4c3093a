// The UI kit: a settings-like panel of 60 steppers, 60 hinted buttons, 20
// drop-downs and 10 sliders rendered the first time, and the pass after one
// stepper's value changed (the other components are skipped by their props).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/slider.h"
#include "shared-ui/components/stepper.h"
#include "shared-ui/components/tooltip.h"
#include "shared-ui/icons.h"

using namespace reactive;
using namespace shared_ui::components;

namespace {

Signal<double>* g_gain;

Element panel() {
    static Callback<double> onchange([](double v) { g_gain->set(v); });
    static Callback<const MouseEvent&> onclick([](const MouseEvent&) {});
    static Callback<dropdown::Choice> onchoice([](dropdown::Choice) {});
    std::vector<Element> rows;
    for (int i = 0; i < 60; ++i) {
        rows.push_back(div().cls("row")(
            component(stepper::default_stepper,
                      stepper::StepperProps{.value = i == 0 ? (*g_gain)() : i * 0.5, .step = 0.5, .onchange = onchange,
                                            .decimals = 1},
                      "default_stepper"),
            component(button::default_button,
                      button::ButtonProps{.icon = shared_ui::icons::RESET, .label = "Reset", .hint = "Reset the value",
                                          .onclick = onclick},
                      "default_button")));
    }
    for (int i = 0; i < 20; ++i)
        rows.push_back(component(dropdown::dropdown,
                                 dropdown::DropdownProps{.options = {{"a", "Alpha"}, {"b", "Beta"}, {"c", "Gamma"}},
                                                         .value = "b",
                                                         .onchange = onchoice},
                                 "dropdown"));
    for (int i = 0; i < 10; ++i)
        rows.push_back(component(slider::default_slider, slider::default_sliderProps{.value = 0.1 * i, .onchange = onchange},
                                 "default_slider"));
    return div().cls("panel")(std::move(rows));
}

struct Page {
    ManualLoop loop;
    Signal<double> gain{0.0};
    std::size_t bytes = 0;
    std::unique_ptr<Root> root;
    Page() {
        g_gain = &gain;
        root = std::make_unique<Root>(loop, [this](EditBatch b) { bytes += serialize(b).size(); });
        root->provide_context(Store<tooltip::TooltipState>());
        root->provide_context(dropdown::OpenList(std::nullopt));
    }
};

void BM_KitPanelFirstRender(benchmark::State& state) {
    std::size_t bytes = 0, nodes = 0;
    for (auto _ : state) {
        auto pg = std::make_unique<Page>();
        pg->root->mount(component(panel));
        pg->loop.run_until_idle();
        bytes = pg->bytes;
        nodes = pg->root->element_count();
        state.PauseTiming();
        pg.reset();
        state.ResumeTiming();
    }
    state.counters["wire_bytes"] = static_cast<double>(bytes);
    state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_KitPanelFirstRender)->Unit(benchmark::kMillisecond);

void BM_KitPanelOneStepperChanged(benchmark::State& state) {
    Page pg;
    pg.root->mount(component(panel));
    pg.loop.run_until_idle();
    double v = 0;
    std::size_t before = pg.bytes;
    for (auto _ : state) {
        pg.gain.set(v += 0.5);
        pg.root->flush();
        pg.loop.run_until_idle();
    }
    state.counters["wire_bytes_per_pass"] =
        static_cast<double>(pg.bytes - before) / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_KitPanelOneStepperChanged)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
