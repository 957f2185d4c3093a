// The analyzer on a real JACK server (dummy driver) with its output looped
// to its input by jack_connect. Runs only when VELTRUM_TEST_JACK=1.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "base/tests/support.h"
#include "engine/analyzer/analyzer.h"

using namespace engine;
using analyzer::Cmd;
namespace host = audio_watcher::host;
using namespace std::chrono_literals;

namespace {

// Waits (in real time, bounded) until `pred` holds.
bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    return test_support::wait_until(pred, limit, 50ms);
}

}  // namespace

TEST(AnalyzerJack, LoopbackIsFlatWithHighCoherence) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    host::HostHandle jack = host::platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    host::ScopedHost use(jack);

    const auto before = test_support::jack_ports();
    analyzer::Params p;
    p.host = "JACK";
    p.device = "jack:system";
    p.out_device = "jack:system";
    p.gen = generator::GenParams{.sine_hz = 1000.0f, .sweep_secs = 1.0f, .gen_db = -10.0f,
                                 .signal = generator::Signal::Pink};
    p.mic_channel = 0;
    p.out_channel = 0;
    p.average_secs = 1.0f;
    p.coherence_threshold = 0.5f;
    p.sample_rate = 48000;
    p.ref_internal = true;
    auto started = analyzer::Analyzer::start(p);
    ASSERT_TRUE(started.has_value()) << started.error();
    analyzer::Analyzer an = std::move(*started);

    // Our two streams' ports, listed once both are open (the first pass
    // replaces the opening status): the output's first port into the
    // input's first port.
    ASSERT_TRUE(test_support::jack_loop_back(
        before, [&] { const analyzer::Snapshot s = an.copy(); return s.status != "Opening input" || !s.running; }, 30s))
        << an.copy().status;

    // Averages complete: the loop is flat, in phase and coherent. On a busy
    // machine the server may skip or delay a cycle of either stream: the
    // measurement must find its step again by itself, so the test waits for a
    // full average that is coherent and flat (bounded) rather than taking the
    // first one; and a delay search that ran over a gap in the input is
    // started again (at most three searches, within a bounded time).
    const auto coherent = [](const analyzer::Snapshot& s) {
        return s.running && s.averages >= 6 && s.status.starts_with("Live, coh ") &&
               std::stod(s.status.substr(10)) >= 0.95;
    };
    const auto flat = [](const analyzer::Snapshot& s) {
        if (s.points.size() != tf::GRID_POINTS) return false;
        for (const tf::Point& pt : s.points)
            if (pt.hz >= 100.0f && pt.hz <= 10000.0f &&
                (std::abs(pt.db) > 0.5f || std::abs(pt.deg) > 5.0f || pt.conf <= 0.9f))
                return false;
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + 150s;
    const auto within = [&](std::chrono::milliseconds limit) { return test_support::capped(deadline, limit); };
    analyzer::Snapshot s, found;
    for (int search = 0; search < 3 && within(1s) > 0ms; ++search) {
        an.send(Cmd{Cmd::FindDelay{}});
        if (!wait_for([&] { return an.copy().found.has_value() || !an.copy().running; }, within(30s))) continue;
        // The search goes on once a second over the latest samples; its
        // first find may come from a window that still held the silence
        // before the connection. A clear find is waited for (bounded).
        wait_for([&] { return an.copy().find_conf >= 50.0f || !an.copy().running; }, within(15s));
        found = an.copy();
        ASSERT_TRUE(found.running) << found.status;
        ASSERT_TRUE(found.found.has_value());
        an.send(Cmd{Cmd::SetDelay{*found.found}});
        if (wait_for([&] { s = an.copy(); return (coherent(s) && flat(s)) || !s.running; }, within(40s))) break;
    }
    // The search that led to the measurement found the loop clearly.
    ASSERT_TRUE(found.found.has_value()) << "no delay found: " << an.copy().status;
    EXPECT_GT(found.find_conf, 6.0f);
    EXPECT_LT(*found.found, 48000u);
    ASSERT_TRUE(s.running) << s.status;
    EXPECT_TRUE(s.status.starts_with("Live, coh ")) << s.status;
    ASSERT_EQ(s.points.size(), tf::GRID_POINTS);
    for (const tf::Point& pt : s.points) {
        if (pt.hz < 100.0f || pt.hz > 10000.0f) continue;
        EXPECT_NEAR(pt.db, 0.0f, 0.5f) << pt.hz;
        EXPECT_NEAR(pt.deg, 0.0f, 5.0f) << pt.hz;
        EXPECT_GT(pt.conf, 0.9f) << pt.hz;
    }
}
