// Streams and device lists of the JACK host used from several threads at once
// on the JACK test server. Runs only when VELTRUM_TEST_JACK=1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio-watcher/config.h"
#include "audio-watcher/host.h"
#include "base/tests/support.h"

using namespace audio_watcher::host;
using namespace std::chrono_literals;

namespace {

// Every JACK client a stream or a device list opens is closed again while
// other threads of the process open theirs; none of the threads may be left
// waiting inside the JACK library.
TEST(JackClients, ThreadsOpenAndCloseStreamsAndListDevicesAtOnce) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    HostHandle jack = platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    DeviceHandle system;
    auto devices = jack->devices();
    ASSERT_TRUE(devices.has_value());
    for (const auto& d : *devices)
        if (d->supports_output() && d->id_text() && *d->id_text() == "system") system = d;
    ASSERT_NE(system, nullptr);
    const auto ranges = system->supported_configs(false);
    ASSERT_TRUE(ranges.has_value());
    const auto config = audio_watcher::config::pick_config(*ranges, 48000);
    ASSERT_TRUE(config.has_value());

    // Three threads open, start and drop streams while a fourth lists the
    // devices over and over (each list opens and closes clients of its own).
    constexpr int THREADS = 4, ROUNDS = 6;
    std::atomic<int> finished{0}, opened{0}, streaming{THREADS - 1};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (streaming.load() > 0) {
            (void)jack->devices();
            std::this_thread::sleep_for(20ms);  // room for the others between two lists
        }
        finished.fetch_add(1);
    });
    for (int t = 1; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                auto s = system->build_output_stream(
                    *config, [](void* data, std::size_t n) { std::fill_n(static_cast<float*>(data), n, 0.0f); },
                    [](const AudioError&) {});
                if (!s) continue;  // a busy server may refuse one: not what this test is about
                if ((*s)->play()) opened.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(10 * (1 + (i + t) % 4)));
            }
            streaming.fetch_sub(1);
            finished.fetch_add(1);
        });
    }
    // A thread left waiting inside the JACK library never comes back: the
    // test says so and ends rather than waiting for the test runner's limit.
    if (!test_support::wait_until([&] { return finished.load() == THREADS; }, 150s)) {
        std::fprintf(stderr, "%d of %d threads still inside the JACK library\n", THREADS - finished.load(), THREADS);
        std::_Exit(1);
    }
    for (auto& t : threads) t.join();
    EXPECT_GT(opened.load(), 0);
}

}  // namespace
