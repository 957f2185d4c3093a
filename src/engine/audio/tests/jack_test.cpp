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
    // timing check) and find where a tenth of a second of the capture sits
    // in the tap: the samples travel unchanged (32-bit float end to end). A
    // busy machine makes the server skip cycles, which leaves gaps in the
    // capture that the tap does not have (and the news of a skipped cycle can
    // come late): stretches of the capture are tried from the latest back,
    // and more is collected (bounded) until one is found.
    const std::size_t n = 4800;
    std::vector<float> mic, ref, batch;
    std::optional<std::size_t> at;
    std::size_t start = 0;
    std::size_t tried = 0;  // the capture before this was searched for
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!at && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
        if (mic.size() < 96000 || mic.size() < tried + 48000) continue;  // a search for every new second
        for (std::size_t s = mic.size(); !at && s >= tried + n;) {
            s -= n;
            if (rms(mic.data() + s, n) <= 0.01) continue;
            for (std::size_t j = 0; j + n <= ref.size() && !at; ++j)
                if (ref[j] == mic[s] && std::equal(mic.begin() + s, mic.begin() + s + n, ref.begin() + j)) at = j;
            start = s;
        }
        tried = mic.size();
    }
    EXPECT_FALSE(in->shared->failed.load());
    EXPECT_FALSE(out->failed->load());
    ASSERT_GE(mic.size(), 96000u);
    ASSERT_GE(ref.size(), 48000u);

    // The tap holds the generator's own sequence from its first sample.
    generator::Generator g(48000.0f, params->params);
    for (std::size_t i = 0; i < 48000; ++i) ASSERT_EQ(ref[i], g.next()) << i;

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
