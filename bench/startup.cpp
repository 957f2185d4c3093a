// Start-up of the program: process start → its window mapped on the X
// display (Xvfb), several starts, median reported. Skips without a display.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "base/tests/support.h"
#include "shell/tests/launch.h"

namespace {

void BM_StartToWindowMapped(benchmark::State& state) {
    if (!std::getenv("DISPLAY")) {
        state.SkipWithError("no display");
        return;
    }
    const auto data = test_support::scratch("bench-startup", "data");
    for (auto _ : state) {
        auto run = launch::start_and_wait_mapped(VELTRUM_EXE, {{"XDG_DATA_HOME", data.string()}},
                                                 std::chrono::seconds(30));
        if (!run) {
            state.SkipWithError("no window");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(run->to_map).count());
        launch::stop(run->pid);
    }
}
BENCHMARK(BM_StartToWindowMapped)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
