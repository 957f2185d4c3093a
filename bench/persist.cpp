// Project files: a large project (200 four-layer traces at 48 kHz, a few
// sources with strips) built, encoded, autosaved and opened again.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "api/client.h"
#include "engine/persist/autosave.h"
#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"

namespace {

using namespace engine;

const trace::Session& large_session() {
    static const trace::Session s = [] {
        trace::Session out;
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        const std::size_t sizes[] = {32768, 16384, 4096, 1024};
        for (int i = 0; i < 200; ++i) {
            std::vector<trace::LayerBins> layers;
            for (std::size_t n : sizes) {
                trace::LayerBins l;
                l.n = n;
                l.bins.resize(n / 2);
                for (auto& b : l.bins) b = {u(rng), u(rng), 0.5f + 0.5f * std::abs(u(rng))};
                layers.push_back(std::move(l));
            }
            const std::string source = "Source " + std::to_string(i % 8);
            auto t = trace::Trace::from_layers(source + " / " + std::to_string(i), 48000, 120, layers, {}, 0.7f);
            t.source = source;
            t.position = "Position " + std::to_string(i / 8 + 1);
            out.traces.push_back(std::move(t));
        }
        for (int k = 0; k < 8; ++k) {
            auto src = design::Source::make("Source " + std::to_string(k));
            src.zones = {design::Zone{"Position 1", {eqfit::Band{}}, true, design::Air{}}};
            out.design.sources.push_back(src);
            out.sources.push_back(src.name);
        }
        out.position = "Position 1";
        return out;
    }();
    return s;
}

// A scratch folder, removed when the program ends.
std::filesystem::path bench_dir() {
    struct Dir {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("veltrum-bench-persist-" + std::to_string(getpid()));
        Dir() { std::filesystem::create_directories(path); }
        ~Dir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Dir dir;
    return dir.path;
}

// What the window does on every edit: clone its state into a Session.
void BM_BuildSession(benchmark::State& state) {
    const auto& s = large_session();
    for (auto _ : state) {
        trace::Session copy = s;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_BuildSession)->Unit(benchmark::kMillisecond);

void BM_SerializeText(benchmark::State& state) {
    const auto& s = large_session();
    std::size_t size = 0;
    for (auto _ : state) {
        std::string text;
        notation::Writer w(text);
        s.serialize(w);
        size = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["text_MB"] = double(size) / 1e6;
}
BENCHMARK(BM_SerializeText)->Unit(benchmark::kMillisecond);

void BM_Encode(benchmark::State& state) {
    const auto& s = large_session();
    std::size_t size = 0;
    for (auto _ : state) {
        auto bytes = s.encode();
        size = bytes->size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["file_MB"] = double(size) / 1e6;
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

// The large project encoded once, then one trace edited per iteration (the
// edit itself is not timed).
struct OneEditEach {
    trace::Session s = large_session();
    trace::EncodeCache cache;
    std::size_t edit = 0;
    OneEditEach() { (void)s.encode(cache); }
    void next(benchmark::State& state) {
        state.PauseTiming();
        trace::Trace& t = s.traces[edit++ % s.traces.size()];
        t.h[7] = -t.h[7];
        state.ResumeTiming();
    }
};

// One autosave as the writer thread does it after an edit of one trace:
// encode (the other traces' compressed pieces kept from the file before)
// and write the pieces atomically (two syncs included).
void BM_Autosave(benchmark::State& state) {
    OneEditEach project;
    const auto file = bench_dir() / "autosave.vtproject";
    for (auto _ : state) {
        project.next(state);
        auto parts = project.s.encode_parts(project.cache);
        auto ok = trace::autosave_write(file, *parts);
        if (!ok) state.SkipWithError(ok.error().c_str());
    }
}
BENCHMARK(BM_Autosave)->Unit(benchmark::kMillisecond)->UseRealTime();

// Its encoding alone, without the write.
void BM_AutosaveEncode(benchmark::State& state) {
    OneEditEach project;
    for (auto _ : state) {
        project.next(state);
        auto parts = project.s.encode_parts(project.cache);
        benchmark::DoNotOptimize(parts);
    }
}
BENCHMARK(BM_AutosaveEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

// Its write alone: the 17 MB file from the kept pieces, two syncs included.
void BM_AutosaveWrite(benchmark::State& state) {
    const trace::Session& s = large_session();
    const auto file = bench_dir() / "autosave-write.vtproject";
    trace::EncodeCache cache;
    const auto parts = s.encode_parts(cache);
    for (auto _ : state) {
        auto ok = trace::autosave_write(file, *parts);
        if (!ok) state.SkipWithError(ok.error().c_str());
    }
}
BENCHMARK(BM_AutosaveWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The autosave of the same project with nothing kept: every trace
// compressed.
void BM_AutosaveFirst(benchmark::State& state) {
    const auto& s = large_session();
    const auto file = bench_dir() / "autosave-first.vtproject";
    for (auto _ : state) {
        auto bytes = s.encode();
        auto ok = api::client::write_atomic(file, *bytes);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_AutosaveFirst)->Unit(benchmark::kMillisecond)->UseRealTime();

// Opening the autosave again: read, inflate, parse, check and rebuild.
void BM_Open(benchmark::State& state) {
    const auto file = bench_dir() / "open.vtproject";
    (void)api::client::write_atomic(file, *large_session().encode());
    for (auto _ : state) {
        auto s = trace::Session::try_read(file);
        if (!s) state.SkipWithError(s.error().c_str());
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_Open)->Unit(benchmark::kMillisecond)->UseRealTime();

// The parts of opening: inflating the file's bytes, and the check and
// rebuild of the traces after the parse.
void BM_Inflate(benchmark::State& state) {
    const auto bytes = *large_session().encode();
    for (auto _ : state) {
        auto text = gzip::inflate(bytes);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond);

void BM_RebuildTraces(benchmark::State& state) {
    std::string text;
    notation::Writer w(text);
    large_session().serialize(w);
    notation::Reader r(text);
    const auto parsed = trace::Session::deserialize(r);
    for (auto _ : state) {
        state.PauseTiming();
        trace::Session s = *parsed;
        state.ResumeTiming();
        auto ok = trace::finish_read(s);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_RebuildTraces)->Unit(benchmark::kMillisecond)->UseRealTime();

// Only the parse of the text, without the rebuild of the traces.
void BM_ParseText(benchmark::State& state) {
    std::string text;
    notation::Writer w(text);
    large_session().serialize(w);
    for (auto _ : state) {
        notation::Reader r(text);
        auto s = trace::Session::deserialize(r);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_ParseText)->Unit(benchmark::kMillisecond);

// The parse of one trace of the older form with the largest FFT size: 2^22
// pairs (re, im) and as many confidences, written as the program writes
// them (values of many digits, not whole numbers).
void BM_ParseOlderTrace(benchmark::State& state) {
    constexpr std::size_t PAIRS = std::size_t{1} << 22;
    std::string text = "(traces:[(name:\"O\",fs:48000,n:" + std::to_string(2 * PAIRS) + ",h:";
    {
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        notation::Writer w(text);
        w.begin_list();
        for (std::size_t i = 0; i < PAIRS; ++i) {
            w.begin_tuple();
            w.f32(u(rng));
            w.f32(u(rng));
            w.end_tuple();
        }
        w.end_list();
        text += ",confidence:";
        w.begin_list();
        for (std::size_t i = 0; i < PAIRS; ++i) w.f32(0.5f + 0.5f * std::abs(u(rng)));
        w.end_list();
    }
    text += ")])";
    for (auto _ : state) {
        notation::Reader r(text);
        auto s = trace::Session::deserialize(r);
        if (!s) state.SkipWithError(s.error().text().c_str());
        benchmark::DoNotOptimize(s);
    }
    state.counters["text_MB"] = double(text.size()) / 1e6;
}
BENCHMARK(BM_ParseOlderTrace)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
