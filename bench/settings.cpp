// The settings file is rendered and written whole at every change of a
// setting, in the handler that made it: how long that takes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/settings/settings.h"
#include "engine/settings/settings_store.h"

using namespace engine::settings;

namespace {

Settings busy_record() {
    Settings s;
    s.host = "JACK Audio Connection Kit";
    s.device = "jack:system";
    s.device_name = "system";
    s.mic_cal_path = "/home/engineer/calibration/ECM8000 serial 12345.txt";
    s.spl_input = Input{"ALSA", "alsa:hw:1", "USB microphone", 0, 48000, "/home/engineer/cal/spl.txt"};
    for (int i = 0; i < 5; ++i)
        s.recent_projects.push_back("/home/engineer/shows/2026 tour/venue " + std::to_string(i) + ".vtproject");
    s.last_project = s.recent_projects.front();
    return s;
}

void BM_render(benchmark::State& state) {
    const Settings s = busy_record();
    for (auto _ : state) benchmark::DoNotOptimize(s.render());
}
BENCHMARK(BM_render);

void BM_read(benchmark::State& state) {
    const std::string text = *busy_record().render();
    for (auto _ : state) benchmark::DoNotOptimize(Settings::deserialize(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_read);

// One store update as a settings control makes it: change, render, atomic
// write with its syncs (to a scratch data folder).
void BM_update_and_save(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() / ("bench-settings-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    SettingsStore store(busy_record());
    for (auto _ : state)
        SettingsStoreImplExt::update(store, [](Settings& s) { s.gen_db = s.gen_db == -20.0f ? -19.5f : -20.0f; });
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_update_and_save)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
