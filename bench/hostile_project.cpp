// Hostile project files of under 1 MB, built here: how long reading each
// takes and the most memory it holds (counter peak_mb, the process's peak
// resident size during the read).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <fstream>
#include <string>

#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"

namespace {

using namespace engine;

std::string repeat(std::string_view item, std::size_t n) {
    std::string out;
    out.reserve((item.size() + 1) * n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        out += item;
    }
    return out;
}

// A trace on the display grid with the given extra fields.
std::string grid_trace(std::string_view name, std::uint32_t fs, std::string_view extra) {
    return "(name:\"" + std::string(name) + "\",fs:" + std::to_string(fs) + ",h:[" + repeat("(1.0,0.0)", 240) +
           "],confidence:[" + repeat("1.0", 240) + "]" + std::string(extra) + ")";
}

// A layer of size n holding `samples` zero samples.
std::string layer(std::size_t n, std::size_t samples) {
    return "(n:" + std::to_string(n) + ",scale:1.0,ir:[" + repeat("0", samples) + "])";
}

// The largest prime not above 2^23, the largest size a layer may have.
constexpr std::size_t PRIME_N = 8388593;

struct Case {
    const char* name;
    std::string bytes;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = [] {
        std::vector<Case> out;
        // One layer of prime length, filled: a valid file.
        out.push_back({"prime_layer",
                       gzip::compress("(traces:[" + grid_trace("P", 48000, ",layers:[" + layer(PRIME_N, PRIME_N / 2) + "]") + "])")});
        // Four prime layers in each of several traces.
        {
            const std::string l = layer(PRIME_N, PRIME_N / 2);
            const std::string t = grid_trace("P", 48000, ",layers:[" + l + "," + l + "," + l + "," + l + "]");
            out.push_back({"prime_layers_4x4", gzip::compress("(traces:[" + repeat(t, 4) + "])")});
        }
        // Traces with the largest layers, then one that breaks a limit.
        {
            const std::string l = layer(8388608, 8388608 / 2);
            const std::string t = grid_trace("T", 48000, ",layers:[" + l + "," + l + "," + l + "," + l + "]");
            out.push_back({"big_layers_then_bad_trace",
                           gzip::compress("(traces:[" + repeat(t, 12) + "," + grid_trace("Bad", 0, "") + "])")});
        }
        // A trace that breaks a limit, then traces with the largest layers.
        {
            const std::string l = layer(8388608, 8388608 / 2);
            const std::string t = grid_trace("T", 48000, ",layers:[" + l + "," + l + "," + l + "," + l + "]");
            out.push_back({"bad_trace_then_big_layers",
                           gzip::compress("(traces:[" + grid_trace("Bad", 0, "") + "," + repeat(t, 12) + "])")});
        }
        // Traces of the older form with the largest FFT size, then a bad one.
        {
            const std::size_t n = 8388608;
            const std::string t = "(name:\"O\",fs:48000,n:" + std::to_string(n) + ",h:[" + repeat("(1,0)", n / 2) +
                                  "],confidence:[" + repeat("1", n / 2) + "])";
            out.push_back({"older_form_then_bad_trace",
                           gzip::compress("(traces:[" + repeat(t, 3) + "," + grid_trace("Bad", 0, "") + "])")});
        }
        // Text that inflates to nearly the cap: blanks inside a list.
        out.push_back({"blanks_to_the_cap", gzip::compress("(sources:[" + std::string(500u << 20, ' ') + "])")});
        // As prime_layers_4x4 with samples that are not zero (a response of
        // zeros has nothing to transform).
        {
            const std::string l = "(n:" + std::to_string(PRIME_N) + ",scale:1.0,ir:[" + repeat("1", PRIME_N / 2) + "])";
            const std::string t = grid_trace("P", 48000, ",layers:[" + l + "," + l + "," + l + "," + l + "]");
            out.push_back({"prime_layers_4x4_filled", gzip::compress("(traces:[" + repeat(t, 4) + "])")});
        }
        // Valid traces of the older form: four of the largest prime size, five
        // of the largest power of two.
        {
            auto older = [](std::size_t n) {
                return "(name:\"O\",fs:48000,n:" + std::to_string(n) + ",h:[" + repeat("(1,0)", n / 2) +
                       "],confidence:[" + repeat("1", n / 2) + "])";
            };
            out.push_back({"older_form_prime_x4", gzip::compress("(traces:[" + repeat(older(PRIME_N), 4) + "])")});
            out.push_back({"older_form_pow2_x5", gzip::compress("(traces:[" + repeat(older(8388608), 5) + "])")});
        }
        return out;
    }();
    return all;
}

long status_kb(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field)) return std::stol(line.substr(field.size()));
    return 0;
}

long peak_kb() { return status_kb("VmHWM:"); }

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_HostileRead(benchmark::State& state) {
    const Case& c = cases()[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(std::string(c.name) + ", " + std::to_string(c.bytes.size() / 1024) + " KB");
    long peak = 0;
    long before = 0;
    bool ok = false;
    for (auto _ : state) {
        // The heap left over from building the cases goes back first: the
        // peak counts what the read holds, not what the set-up left behind.
        ::malloc_trim(0);
        reset_peak();
        before = status_kb("VmRSS:");
        auto s = trace::Session::decode(c.bytes);
        ok = s.has_value();
        benchmark::DoNotOptimize(s);
        peak = std::max(peak, peak_kb());
    }
    state.counters["peak_mb"] = static_cast<double>(peak) / 1024.0;
    // What the process held before the read (the cases, the libraries).
    state.counters["before_mb"] = static_cast<double>(before) / 1024.0;
    state.counters["accepted"] = ok ? 1 : 0;
}
BENCHMARK(BM_HostileRead)->DenseRange(0, 8)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
