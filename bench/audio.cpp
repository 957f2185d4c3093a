// Audio thread costs: one generated sample per signal, and one 512-frame
// block through the input and output callbacks.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engine/audio/capture.h"
#include "engine/audio/generator.h"

using namespace engine;
using audio_watcher::host::SampleFormat;

namespace {

void BM_GeneratorNext(benchmark::State& state) {
    const auto signal = static_cast<generator::Signal>(state.range(0));
    generator::Generator g(48000.0f, generator::GenParams{.sine_hz = 1000, .sweep_secs = 1, .gen_db = -6, .signal = signal});
    for (auto _ : state) benchmark::DoNotOptimize(g.next());
    state.SetLabel(std::string(generator::signal_name(signal)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GeneratorNext)->DenseRange(0, 4);

void BM_InputBlock(benchmark::State& state) {
    const std::size_t channels = static_cast<std::size_t>(state.range(0));
    const std::uint32_t rate = 48000;
    auto shared = std::make_shared<capture::Shared>();
    shared->mic.reserve(11 * rate);
    shared->reference.reserve(11 * rate);
    capture::InputState st{shared, channels, 10 * rate, 0, 1};
    std::vector<float> block(512 * channels, 0.25f);
    std::size_t n = 0;
    for (auto _ : state) {
        capture::on_input(st, SampleFormat::F32, block.data(), block.size());
        if (++n % 900 == 0) {  // the worker takes the samples now and then
            shared->mic.clear();
            shared->reference.clear();
        }
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_InputBlock)->Arg(2)->Arg(32);

void BM_OutputBlock(benchmark::State& state) {
    const std::size_t channels = static_cast<std::size_t>(state.range(0));
    const std::uint32_t rate = 48000;
    generator::OutputState st;
    st.generator = generator::Generator(48000.0f, generator::GenParams{.sine_hz = 1000, .sweep_secs = 1, .gen_db = -6,
                                                                      .signal = generator::Signal::Pink});
    st.params = std::make_shared<generator::SharedParams>();
    st.params->params = st.generator.params;
    st.tap_dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
    st.channels = channels;
    st.channel = 0;
    st.tap = std::make_shared<generator::Tap>();
    st.tap->samples.reserve(11 * rate);
    st.block.reserve(rate);
    st.tap_cap = 10 * rate;
    st.format = SampleFormat::F32;
    std::vector<float> block(512 * channels);
    std::size_t n = 0;
    for (auto _ : state) {
        generator::on_output(st, block.data(), block.size());
        if (++n % 900 == 0) st.tap->samples.clear();
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_OutputBlock)->Arg(2)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
