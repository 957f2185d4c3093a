// The reactive framework: first render, a one-signal re-render and a keyed
// reversal, each through the diff and the wire form.
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <algorithm>
#include <memory>

#include "reactive/root.h"

using namespace reactive;

namespace {

// 200 rows of 10 elements: 2000 elements (plus their texts).
struct RowProps {
    int index;
    Signal<int> value;  // read by one row only
    bool operator==(const RowProps&) const = default;
};

Element bench_row(const RowProps& p) {
    std::string v = p.index == 100 ? fmt::format("{}", p.value()) : "fixed";
    return div().cls("row").attr("data-i", std::to_string(p.index))(
        span().cls("name")("Row ", std::to_string(p.index)),
        span().cls("value").style("left", "3px")(v),
        button().cls("a").on_click([](const MouseEvent&) {})("a"),
        button().cls("b").on_click([](const MouseEvent&) {}, {.prevent_default = true})("b"),
        input().value("text").on_input([](const InputEvent&) {}),
        svg()(path().attr("d", "M0 0 L10 10"), line().attr("x1", "0")),
        label()("label"),
        para().cls("note")("note"));
}

Signal<int>* g_value;
Element bench_tree() {
    std::vector<Element> rows;
    rows.reserve(200);
    for (int i = 0; i < 200; ++i) rows.push_back(component(bench_row, RowProps{i, *g_value}));
    return div().cls("app")(std::move(rows));
}

struct Sink {
    std::size_t bytes = 0;
    std::size_t edits = 0;
    EditSink fn() {
        return [this](EditBatch b) {
            edits += b.size();
            bytes += serialize(b).size();
        };
    }
};

void BM_FirstRender2000(benchmark::State& state) {
    std::size_t bytes = 0, edits = 0, elements = 0;
    for (auto _ : state) {
        ManualLoop loop;
        Signal<int> value(0);
        g_value = &value;
        Sink sink;
        auto root = std::make_unique<Root>(loop, sink.fn());
        root->mount(component(bench_tree));
        bytes = sink.bytes;
        edits = sink.edits;
        elements = root->element_count();
        state.PauseTiming();  // tearing down is not part of it
        root.reset();
        state.ResumeTiming();
    }
    state.counters["wire_bytes"] = static_cast<double>(bytes);
    state.counters["edits"] = static_cast<double>(edits);
    state.counters["nodes"] = static_cast<double>(elements);
}
BENCHMARK(BM_FirstRender2000)->Unit(benchmark::kMillisecond);

void BM_OneSignalRerender2000(benchmark::State& state) {
    ManualLoop loop;
    Signal<int> value(0);
    g_value = &value;
    Sink sink;
    Root root(loop, sink.fn());
    root.mount(component(bench_tree));
    int i = 0;
    std::size_t edits_before = sink.edits;
    for (auto _ : state) {
        value.set(++i);
        root.flush();
    }
    state.counters["edits_per_pass"] =
        static_cast<double>(sink.edits - edits_before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_OneSignalRerender2000)->Unit(benchmark::kMicrosecond);

Signal<std::vector<int>>* g_keys;
Element keyed_list() {
    std::vector<Element> rows;
    for (int k : (*g_keys)())
        rows.push_back(li().key(std::to_string(k)).attr("data-k", std::to_string(k))(span()(std::to_string(k)), "row"));
    return ul()(std::move(rows));
}

void BM_KeyedReverse500(benchmark::State& state) {
    ManualLoop loop;
    std::vector<int> keys(500);
    for (int i = 0; i < 500; ++i) keys[i] = i;
    Signal<std::vector<int>> list(keys);
    g_keys = &list;
    Sink sink;
    Root root(loop, sink.fn());
    root.mount(component(keyed_list));
    std::size_t edits_before = sink.edits, bytes_before = sink.bytes;
    for (auto _ : state) {
        list.update([](std::vector<int>& v) { std::reverse(v.begin(), v.end()); });
        root.flush();
    }
    state.counters["edits_per_pass"] =
        static_cast<double>(sink.edits - edits_before) / static_cast<double>(state.iterations());
    state.counters["bytes_per_pass"] =
        static_cast<double>(sink.bytes - bytes_before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_KeyedReverse500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
