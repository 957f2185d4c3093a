// The meter on the JACK test server: a sine played into its input through
// jack_connect. Runs only when VELTRUM_TEST_JACK=1.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>

#include "base/tests/support.h"
#include "engine/audio/capture.h"
#include "engine/meter/meter.h"

namespace {

using namespace std::chrono_literals;
using engine::meter::MeterSnapshot;
using engine::meter::Params;

TEST(MeterJack, ReadsTheLevelOfALoopedBackSine) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    auto jack = audio_watcher::host::platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    audio_watcher::host::ScopedHost use(jack);
    const auto outputs = engine::capture::list_devices(false);
    const auto inputs = engine::capture::list_devices(true);
    ASSERT_FALSE(outputs.empty());
    ASSERT_FALSE(inputs.empty());
    const std::string out_id = outputs[0].second.at(0).id;
    const std::string in_id = inputs[0].second.at(0).id;

    auto before = test_support::jack_ports();
    auto dev = engine::capture::find_device("JACK", out_id, false);
    ASSERT_TRUE(dev.has_value()) << dev.error();
    auto cfg = engine::capture::best_config(**dev, false, 48000);
    ASSERT_TRUE(cfg.has_value()) << cfg.error();
    double phase = 0.0;
    const std::size_t channels = cfg->channels;
    auto stream = (*dev)->build_output_stream(
        *cfg,
        [&phase, channels](void* data, std::size_t n) {
            auto* p = static_cast<float*>(data);
            for (std::size_t i = 0; i + channels <= n; i += channels) {
                for (std::size_t c = 0; c < channels; ++c) p[i + c] = 0.0f;
                p[i] = 0.1f * static_cast<float>(std::sin(phase));
                phase = std::fmod(phase + 2.0 * std::numbers::pi * 1000.0 / 48000.0, 2.0 * std::numbers::pi);
            }
        },
        [](const audio_watcher::host::AudioError&) {});
    ASSERT_TRUE(stream.has_value()) << engine::capture::error_text(stream.error());
    ASSERT_TRUE((*stream)->play().has_value());
    const std::string out_port = test_support::new_jack_port(before, "veltrum-output", false);
    ASSERT_FALSE(out_port.empty());

    before = test_support::jack_ports();
    Params p;
    p.host = "JACK";
    p.device = in_id;
    p.mic_channel = 0;
    p.fft_size = 8192;
    p.sample_rate = 48000;
    p.leq_windows = {1, 2};
    auto meter = engine::meter::Meter::start(p);
    // Its input port is looked up once the meter has opened it (or failed to).
    ASSERT_TRUE(test_support::wait_until([&] { return meter.snapshot().status != "Opening input"; }, 30s))
        << meter.snapshot().status;
    std::string in_port;
    test_support::wait_until(
        [&] { return !(in_port = test_support::new_jack_port(before, "veltrum-input", true)).empty(); }, 30s, 250ms);
    ASSERT_FALSE(in_port.empty()) << meter.snapshot().status;
    ASSERT_TRUE(test_support::jack_connect(out_port, in_port)) << out_port << " -> " << in_port;

    // The level settles once a second of looped-back audio has been analysed
    // (bounded; a busy machine that skips cycles takes longer).
    const float want = 20.0f * std::log10(0.1f / std::sqrt(2.0f));
    MeterSnapshot m;
    test_support::wait_until(
        [&] {
            m = meter.snapshot();
            return m.frames > 40 && std::abs(m.z_db - want) < 0.5f;
        },
        60s, 20ms);
    EXPECT_EQ(m.status, "Metering");
    EXPECT_EQ(m.sample_rate, 48000u);
    EXPECT_NEAR(m.z_db, want, 0.5f);
}


}  // namespace
