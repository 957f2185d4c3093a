// A real loopback on a JACK server: the generator plays into an input stream
// of the same server, connected with jack_connect. Runs only when
// VELTRUM_TEST_JACK=1 (the test script starts a server on its dummy driver).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/tests/support.h"
#include "engine/audio/capture.h"
#include "engine/audio/generator.h"

using namespace engine;
namespace host = audio_watcher::host;

namespace {

double rms(const float* p, std::size_t n) {
    double acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc += static_cast<double>(p[i]) * p[i];
    return std::sqrt(acc / static_cast<double>(n));
}

}  // namespace

TEST(JackLoopback, CapturedLevelAndTapMatchWhatWasPlayed) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    host::HostHandle jack = host::platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    host::ScopedHost use(jack);

    const auto lists = capture::list_devices(false);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].first, "JACK");
    bool has_system = false;
    for (const auto& d : lists[0].second) has_system = has_system || d.id == "jack:system";
    ASSERT_TRUE(has_system);

    auto params = std::make_shared<generator::SharedParams>();
    params->params = generator::GenParams{.sine_hz = 1000, .sweep_secs = 1, .gen_db = -10, .signal = generator::Signal::Pink};
    auto tap = std::make_shared<generator::Tap>();

    const auto ports0 = test_support::jack_ports();
    auto out = generator::open("JACK", "jack:system", 0, 48000, params, tap);
    ASSERT_TRUE(out.has_value()) << out.error();
    const auto ports1 = test_support::jack_ports();
    auto in = capture::open("JACK", "jack:system", 0, std::nullopt, 48000);
    ASSERT_TRUE(in.has_value()) << in.error();
    EXPECT_EQ(out->rate, 48000u);
    EXPECT_EQ(in->rate, 48000u);
    // Our own streams are not listed as devices.
    for (bool input : {true, false})
        for (const auto& [host_name, devices] : capture::list_devices(input))
            for (const auto& d : devices) EXPECT_FALSE(d.id.starts_with("jack:veltrum-")) << d.id;

    const std::string out_port = test_support::new_jack_port(ports0, "veltrum-output", false);
    const std::string in_port = test_support::new_jack_port(ports1, "veltrum-input", true);
    ASSERT_FALSE(out_port.empty());
    ASSERT_FALSE(in_port.empty());
    // Channel 1 of the output into channel 1 of the input.
    ASSERT_TRUE(test_support::jack_connect(out_port, in_port)) << out_port << " -> " << in_port;

    // Collect at least two seconds of both sides (a wait for data, not a
    // timing check). A busy machine makes the server skip cycles or the input
    // drop a block; the samples around such an event are not compared: the
    // comparison needs a stretch of the capture taken after the last one.
    const std::size_t n = 4800;
    std::vector<float> mic, ref, batch;
    std::size_t clean_from = 0;  // mic[clean_from..] follows the last dropout
    int suspect = 0;             // polls whose samples may still hold one
    std::uint64_t events_seen = 0;
    const auto events = [&] {
        return in->shared->dropped.load() + in->shared->xruns.load() + out->xruns->load() + out->tap_dropped->load();
    };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((mic.size() < 96000 || mic.size() - clean_from < 2 * n) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (const std::uint64_t e = events(); e != events_seen) {
            events_seen = e;
            suspect = 2;  // this poll's samples and the next's
        }
        {
            std::lock_guard lk(in->shared->lock);
            batch.swap(in->shared->mic);
        }
        mic.insert(mic.end(), batch.begin(), batch.end());
        batch.clear();
        {
            std::lock_guard lk(tap->lock);
            batch.swap(tap->samples);
        }
        ref.insert(ref.end(), batch.begin(), batch.end());
        batch.clear();
        if (suspect > 0) {
            --suspect;
            clean_from = mic.size();
        }
    }
    EXPECT_FALSE(in->shared->failed.load());
    EXPECT_FALSE(out->failed->load());
    ASSERT_GE(mic.size(), 96000u);
    ASSERT_GE(mic.size() - clean_from, 2 * n) << "no stretch of the capture without dropouts";
    ASSERT_GE(ref.size(), 48000u);

    // The tap holds the generator's own sequence from its first sample.
    generator::Generator g(48000.0f, params->params);
    for (std::size_t i = 0; i < 48000; ++i) ASSERT_EQ(ref[i], g.next()) << i;

    // Find where a tenth of a second of the clean capture sits in the tap:
    // the samples travel unchanged (32-bit float end to end). The latest
    // such stretch that is found (of the last twenty) is compared.
    std::optional<std::size_t> at;
    std::size_t start = mic.size();
    for (int tries = 0; !at && tries < 20 && start >= clean_from + n; ++tries) {
        start -= n;
        if (rms(mic.data() + start, n) <= 0.01) continue;
        for (std::size_t j = 0; j + n <= ref.size() && !at; ++j)
            if (ref[j] == mic[start] && std::equal(mic.begin() + start, mic.begin() + start + n, ref.begin() + j)) at = j;
    }
    ASSERT_TRUE(at.has_value()) << "captured samples not found in the reference tap";
    EXPECT_GT(rms(mic.data() + start, n), 0.01);
    EXPECT_NEAR(rms(mic.data() + start, n), rms(ref.data() + *at, n), 1e-6);
    // The peak seen by the input is the level that was played.
    float peak;
    const std::uint32_t bits = in->shared->mic_peak.load();
    std::memcpy(&peak, &bits, sizeof peak);
    EXPECT_GT(peak, 0.01f);
    EXPECT_LE(peak, 1.0f);
}

TEST(JackLoopback, UnknownDeviceIsAnError) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    host::ScopedHost use(host::platform_host("JACK"));
    EXPECT_EQ(capture::open("JACK", "jack:nothing-here", 0, std::nullopt, 48000).error(), "audio device not found");
    EXPECT_EQ(capture::open("CoreAudio", "jack:system", 0, std::nullopt, 48000).error(),
              "audio host CoreAudio not available");
}
