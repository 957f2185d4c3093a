#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "audio-watcher/software_host.h"

using namespace audio_watcher::host;

namespace {

// Plays f(frame) on channel 0 of an F32 output and collects every input frame.
struct Loop {
    std::shared_ptr<SoftwareHost> host = std::make_shared<SoftwareHost>();
    StreamHandle out, in;
    std::uint64_t played = 0;
    std::vector<std::vector<float>> got;  // per input channel
    std::vector<AudioError> in_errors, out_errors;

    DeviceHandle device(const std::string& id) {
        auto list = host->devices();
        for (auto& d : *list)
            if (*d->id_text() == id) return d;
        return nullptr;
    }

    void open(const std::string& out_id, const std::string& in_id, std::function<float(std::uint64_t)> f,
              StreamConfig out_cfg = {std::nullopt, 2, SampleFormat::F32, 48000},
              StreamConfig in_cfg = {std::nullopt, 2, SampleFormat::F32, 48000}) {
        got.assign(in_cfg.channels, {});
        auto o = device(out_id)->build_output_stream(
            out_cfg,
            [this, f, ch = out_cfg.channels](void* data, std::size_t n) {
                auto* p = static_cast<float*>(data);
                for (std::size_t i = 0; i + ch <= n; i += ch) p[i] = f(played++);
            },
            [this](const AudioError& e) { out_errors.push_back(e); });
        ASSERT_TRUE(o.has_value());
        out = std::move(*o);
        auto i = device(in_id)->build_input_stream(
            in_cfg,
            [this, ch = in_cfg.channels](const void* data, std::size_t n) {
                auto* p = static_cast<const float*>(data);
                for (std::size_t k = 0; k < n; ++k) got[k % ch].push_back(p[k]);
            },
            [this](const AudioError& e) { in_errors.push_back(e); });
        ASSERT_TRUE(i.has_value());
        in = std::move(*i);
        ASSERT_TRUE(out->play().has_value());
        ASSERT_TRUE(in->play().has_value());
    }
};

float ramp(std::uint64_t k) { return static_cast<float>(k % 1000) / 1000.0f - 0.5f; }

}  // namespace

TEST(SoftwareHost, ListsDevicesAndDefaults) {
    SoftwareHost host;
    EXPECT_EQ(host.name(), "Software");
    EXPECT_EQ(host.id_prefix(), "software:");
    host.add_device({.id = "mic", .name = "Mic", .extra = "USB", .input_channels = 1});
    host.add_device({.id = "spk", .name = "Speaker", .output_channels = 2});
    auto list = host.devices();
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 2u);
    EXPECT_TRUE((*list)[0]->supports_input());
    EXPECT_FALSE((*list)[0]->supports_output());
    EXPECT_EQ(*(*list)[0]->description(), (Description{"Mic", "USB"}));
    EXPECT_EQ(*(*list)[1]->supported_configs(false),
              (std::vector<SupportedRange>{{std::nullopt, 44100, 192000, 2, SampleFormat::F32}}));
    EXPECT_EQ(*(*list)[1]->default_config(false), (StreamConfig{std::nullopt, 2, SampleFormat::F32, 48000}));
    EXPECT_FALSE((*list)[1]->default_config(true).has_value());
    EXPECT_EQ(host.default_input_device(), nullptr);
    host.set_default_input("mic");
    host.set_default_output("mic");  // plays nothing: no default output
    ASSERT_NE(host.default_input_device(), nullptr);
    EXPECT_EQ(*host.default_input_device()->id_text(), "mic");
    EXPECT_EQ(host.default_output_device(), nullptr);

    host.fail_enumeration(AudioError{ErrorKind::HostUnavailable, std::nullopt});
    EXPECT_FALSE(host.devices().has_value());
    host.fail_enumeration(std::nullopt);
    host.remove_device("mic");
    EXPECT_EQ(host.devices()->size(), 1u);
    EXPECT_EQ(host.default_input_device(), nullptr);

    host.add_device({.id = "bad", .name = "Bad", .input_channels = 1,
                     .id_error = AudioError{ErrorKind::BackendSpecific, "no uid"}});
    EXPECT_EQ(host.devices()->back()->id_text().error().message, "no uid");
}

TEST(SoftwareHost, RoomDelaysAndScalesAndTheReferenceComesUndelayed) {
    Loop t;
    t.host->add_device({.id = "loop", .name = "Loop", .input_channels = 2, .output_channels = 2});
    t.host->connect("loop", "loop", {.mic_channel = 0, .reference_channel = 1, .delay = 300, .gain = 0.5f});
    t.open("loop", "loop", ramp);
    t.host->advance(4800);
    ASSERT_EQ(t.got[0].size(), 4608u);  // 9 whole blocks of 512
    for (std::size_t k = 0; k < t.got[0].size(); ++k) {
        EXPECT_EQ(t.got[1][k], ramp(k)) << k;
        EXPECT_EQ(t.got[0][k], k < 300 ? 0.0f : 0.5f * ramp(k - 300)) << k;
    }
}

TEST(SoftwareHost, InputStartedLaterHearsTheRoomFromThen) {
    Loop t;
    t.host->add_device({.id = "out", .name = "Out", .output_channels = 1});
    t.host->add_device({.id = "in", .name = "In", .input_channels = 1});
    t.host->connect("out", "in", {.mic_channel = 0, .delay = 10});
    t.host->advance(1000);  // nothing plays yet
    t.open("out", "in", ramp, {std::nullopt, 1, SampleFormat::F32, 48000}, {std::nullopt, 1, SampleFormat::F32, 48000});
    t.host->advance(1024);
    ASSERT_EQ(t.got[0].size(), 1024u);
    for (std::size_t k = 10; k < 1024; ++k) ASSERT_EQ(t.got[0][k], ramp(k - 10)) << k;
}

TEST(SoftwareHost, FilterNoiseAndDistortionShapeTheRoom) {
    Loop t;
    t.host->add_device({.id = "loop", .name = "Loop", .input_channels = 1, .output_channels = 1});
    const Biquad lp = Biquad::lowpass(48000, 1000, 0.7071);
    t.host->connect("loop", "loop", {.mic_channel = 0, .filters = {lp}, .gain = 1.0f});
    auto impulse = [](std::uint64_t k) { return k == 0 ? 1.0f : 0.0f; };
    t.open("loop", "loop", impulse, {std::nullopt, 1, SampleFormat::F32, 48000}, {std::nullopt, 1, SampleFormat::F32, 48000});
    t.host->advance(512);
    // The first samples of the biquad's impulse response.
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (std::size_t k = 0; k < 512; ++k) {
        const double x = k == 0 ? 1.0 : 0.0;
        const double y = lp.b0 * x + lp.b1 * x1 + lp.b2 * x2 - lp.a1 * y1 - lp.a2 * y2;
        x2 = x1; x1 = x; y2 = y1; y1 = y;
        ASSERT_EQ(t.got[0][k], static_cast<float>(y)) << k;
    }

    Loop n;
    n.host->add_device({.id = "loop", .name = "Loop", .input_channels = 1, .output_channels = 1});
    n.host->connect("loop", "loop", {.mic_channel = 0, .h2 = 0.5f, .noise_rms = 0.01f});
    n.open("loop", "loop", [](std::uint64_t) { return 0.5f; }, {std::nullopt, 1, SampleFormat::F32, 48000},
           {std::nullopt, 1, SampleFormat::F32, 48000});
    n.host->advance(48000);
    double sum = 0, sq = 0;
    for (float v : n.got[0]) { sum += v; }
    const double mean = sum / n.got[0].size();
    for (float v : n.got[0]) sq += (v - mean) * (v - mean);
    EXPECT_NEAR(mean, 0.5 + 0.5 * 0.25, 1e-3);
    EXPECT_NEAR(std::sqrt(sq / n.got[0].size()), 0.01, 1e-3);
}

TEST(SoftwareHost, ClockSkewResamples) {
    Loop t;
    t.host->add_device({.id = "out", .name = "Out", .output_channels = 1});
    t.host->add_device({.id = "in", .name = "In", .input_channels = 1, .clock_ppm = 100.0});
    t.host->connect("out", "in", {.mic_channel = 0});
    const double f = 1000.0;
    auto sine = [f](std::uint64_t k) { return static_cast<float>(std::sin(2 * std::numbers::pi * f * k / 48000.0)); };
    t.open("out", "in", sine, {std::nullopt, 1, SampleFormat::F32, 48000}, {std::nullopt, 1, SampleFormat::F32, 48000});
    t.host->advance(48000 * 2);
    // The input clock runs 100 ppm fast: its frame k sits at output time k / (1 + 1e-4).
    const auto& got = t.got[0];
    ASSERT_GT(got.size(), 90000u);
    for (std::size_t k = 1000; k < got.size(); k += 997) {
        const double pos = k / 1.0001;
        ASSERT_NEAR(got[k], std::sin(2 * std::numbers::pi * f * pos / 48000.0), 2e-3) << k;
    }
    // The fast clock delivers 96009 frames in two host seconds: 187 whole blocks.
    EXPECT_EQ(got.size(), 187u * 512u);
}

TEST(SoftwareHost, RemovedDeviceStopsItsStreamsWithAnError) {
    Loop t;
    t.host->add_device({.id = "loop", .name = "Loop", .input_channels = 2, .output_channels = 2});
    t.open("loop", "loop", ramp);
    t.host->advance(1024);
    const auto before = t.got[0].size();
    EXPECT_EQ(t.host->playing_count(), 2u);
    t.host->remove_device("loop");
    ASSERT_EQ(t.in_errors.size(), 1u);
    EXPECT_EQ(t.in_errors[0].kind, ErrorKind::DeviceNotAvailable);
    EXPECT_EQ(t.out_errors.size(), 1u);
    t.host->advance(4096);
    EXPECT_EQ(t.got[0].size(), before);
    EXPECT_EQ(t.host->playing_count(), 0u);
    EXPECT_EQ(t.in->play().error().kind, ErrorKind::DeviceNotAvailable);
    t.in.reset();
    t.out.reset();
    EXPECT_EQ(t.host->stream_count(), 0u);

    // An error that does not stop the stream.
    Loop u;
    u.host->add_device({.id = "loop", .name = "Loop", .input_channels = 2, .output_channels = 2});
    u.open("loop", "loop", ramp);
    u.host->fail_device("loop", AudioError{ErrorKind::Xrun, std::nullopt}, false);
    u.host->advance(512);
    EXPECT_EQ(u.in_errors.size(), 1u);
    EXPECT_EQ(u.got[0].size(), 512u);
}

TEST(SoftwareHost, IntegerFormatsOnTheWire) {
    auto host = std::make_shared<SoftwareHost>();
    host->add_device({.id = "loop", .name = "Loop", .input_channels = 4, .output_channels = 4});
    host->connect("loop", "loop", {.out_channel = 2, .mic_channel = 0, .reference_channel = 3});
    auto dev = (*host->devices())[0];
    std::vector<std::uint16_t> last_in;
    auto out = dev->build_output_stream(
        {std::nullopt, 4, SampleFormat::U16, 48000},
        [](void* data, std::size_t n) {
            auto* p = static_cast<std::uint16_t*>(data);
            EXPECT_EQ(p[0], 32768);  // the host hands out silence
            for (std::size_t i = 0; i < n; i += 4) p[i + 2] = 32768 + 16384;  // +0.5 on channel 2
        },
        nullptr);
    auto in = dev->build_input_stream(
        {std::nullopt, 4, SampleFormat::U16, 48000},
        [&](const void* data, std::size_t n) {
            auto* p = static_cast<const std::uint16_t*>(data);
            last_in.assign(p + n - 4, p + n);
        },
        nullptr);
    ASSERT_TRUE(out && in);
    ASSERT_TRUE((*out)->play() && (*in)->play());
    host->advance(512);
    EXPECT_EQ(last_in, (std::vector<std::uint16_t>{32768 + 16384, 32768, 32768, 32768 + 16384}));
    EXPECT_FALSE(dev->build_input_stream({std::nullopt, 5, SampleFormat::U16, 48000}, nullptr, nullptr));
}

TEST(SoftwareHost, ScopedHostInstallsTheHostInUse) {
    auto host = std::make_shared<SoftwareHost>();
    {
        ScopedHost use(host);
        EXPECT_EQ(current(), host);
    }
    EXPECT_NE(current(), host);
}

TEST(Host, FormatNamesAndErrorTexts) {
    EXPECT_EQ(format_name(SampleFormat::U24), "U24");
    EXPECT_EQ(format_name(static_cast<SampleFormat>(12)), "Unknown");
    EXPECT_EQ(format_bytes(SampleFormat::I24), 4u);
    EXPECT_EQ(text_of(AudioError{ErrorKind::Xrun, std::nullopt}), "A buffer underrun or overrun occurred.");
    EXPECT_EQ(text_of(AudioError{ErrorKind::Xrun, "late"}), "late");
    EXPECT_EQ(text_of(AudioError{ErrorKind::Other, std::nullopt}), "An error occurred.");
}
