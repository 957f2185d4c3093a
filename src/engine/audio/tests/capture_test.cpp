#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "audio-watcher/software_host.h"
#include "base/log.h"
#include "engine/audio/capture.h"

using namespace engine;
using audio_watcher::host::AudioError;
using audio_watcher::host::ErrorKind;
using audio_watcher::host::SampleFormat;
using audio_watcher::host::SoftDevice;
using audio_watcher::host::SoftwareHost;
using audio_watcher::host::SupportedRange;

namespace {

template <class T>
std::vector<unsigned char> raw(std::initializer_list<T> values) {
    std::vector<unsigned char> out(values.size() * sizeof(T));
    std::size_t i = 0;
    for (T v : values) std::memcpy(out.data() + sizeof(T) * i++, &v, sizeof(T));
    return out;
}

capture::InputState state(std::size_t channels, std::size_t cap, std::size_t mic, std::optional<std::size_t> ref) {
    auto shared = std::make_shared<capture::Shared>();
    shared->mic.reserve(cap + 1024);
    shared->reference.reserve(cap + 1024);
    return capture::InputState{shared, channels, cap, mic, ref};
}

float peak(const std::atomic<std::uint32_t>& bits) {
    const std::uint32_t b = bits.load();
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

}  // namespace

TEST(CaptureConversion, EveryFormatToFloat) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        SampleFormat f;
        std::vector<unsigned char> block;
        std::vector<float> want;
    };
    const std::vector<Case> table = {
        {SampleFormat::I8, raw<std::int8_t>({-128, 0, 64, 127}), {-1.0f, 0.0f, 0.5f, 127.0f / 128}},
        {SampleFormat::I16, raw<std::int16_t>({-32768, 16384, 32767}), {-1.0f, 0.5f, 32767.0f / 32768}},
        {SampleFormat::I24, raw<std::int32_t>({-8388608, 4194304, 8388607}), {-1.0f, 0.5f, 8388607.0f / 8388608}},
        {SampleFormat::I32, raw<std::int32_t>({INT32_MIN, 1 << 30, INT32_MAX}), {-1.0f, 0.5f, 1.0f}},
        {SampleFormat::I64, raw<std::int64_t>({INT64_MIN, std::int64_t{1} << 62, INT64_MAX}), {-1.0f, 0.5f, 1.0f}},
        {SampleFormat::U8, raw<std::uint8_t>({0, 128, 192, 255}), {-1.0f, 0.0f, 0.5f, 127.0f / 128}},
        {SampleFormat::U16, raw<std::uint16_t>({0, 32768, 49152, 65535}), {-1.0f, 0.0f, 0.5f, 32767.0f / 32768}},
        {SampleFormat::U24, raw<std::uint32_t>({0, 8388608, 12582912, 16777215}), {-1.0f, 0.0f, 0.5f, 8388607.0f / 8388608}},
        {SampleFormat::U32, raw<std::uint32_t>({0, 2147483648u, 3221225472u, UINT32_MAX}), {-1.0f, 0.0f, 0.5f, 1.0f}},
        {SampleFormat::U64, raw<std::uint64_t>({0, std::uint64_t{1} << 63, 3ull << 62, UINT64_MAX}), {-1.0f, 0.0f, 0.5f, 1.0f}},
        {SampleFormat::F32, raw<float>({0.25f, -2.0f, nan, inf, -inf}), {0.25f, -2.0f, 0.0f, 0.0f, 0.0f}},
        {SampleFormat::F64, raw<double>({0.1, -0.5, 1e300, -1e300, std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(), static_cast<double>(FLT_MAX)}),
         {0.1f, -0.5f, 0.0f, 0.0f, 0.0f, 0.0f, FLT_MAX}},
    };
    for (const auto& c : table) {
        auto st = state(1, 1000, 0, std::nullopt);
        capture::on_input(st, c.f, c.block.data(), c.want.size());
        ASSERT_EQ(st.shared->mic.size(), c.want.size()) << audio_watcher::host::format_name(c.f);
        for (std::size_t i = 0; i < c.want.size(); ++i) {
            EXPECT_EQ(st.shared->mic[i], c.want[i]) << audio_watcher::host::format_name(c.f) << " #" << i;
            EXPECT_EQ(capture::sample_to_f32(c.f, c.block.data(), i), c.want[i]);
        }
    }
}

TEST(CaptureCallback, AppendsMicAndReferenceOfWholeFrames) {
    auto st = state(3, 1000, 2, 0);
    const std::vector<float> block = {0.1f, 0.2f, -0.5f, 0.3f, 0.4f, 0.25f, 0.9f, 0.8f};  // 2 frames and 2 spare samples
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    EXPECT_EQ(st.shared->mic, (std::vector<float>{-0.5f, 0.25f}));
    EXPECT_EQ(st.shared->reference, (std::vector<float>{0.1f, 0.3f}));
    EXPECT_EQ(peak(st.shared->mic_peak), 0.5f);  // by magnitude
    EXPECT_EQ(peak(st.shared->ref_peak), 0.3f);
    EXPECT_EQ(st.shared->dropped.load(), 0u);

    // A trailing partial frame is ignored: 5 samples on 2 channels append 2.
    auto two = state(2, 1000, 0, std::nullopt);
    const std::vector<float> five = {1, 2, 3, 4, 5};
    capture::on_input(two, SampleFormat::F32, five.data(), five.size());
    EXPECT_EQ(two.shared->mic, (std::vector<float>{1, 3}));
    EXPECT_TRUE(two.shared->reference.empty());
    EXPECT_EQ(peak(two.shared->ref_peak), 0.0f);
}

TEST(CaptureCallback, NonFiniteSamplesBecomeZeroAndRaiseNoPeak) {
    auto st = state(1, 1000, 0, std::nullopt);
    const std::vector<float> block = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity()};
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    EXPECT_EQ(st.shared->mic, (std::vector<float>{0, 0, 0}));
    EXPECT_EQ(st.shared->mic_peak.load(), 0u);
}

TEST(CaptureCallback, BusyOrPoisonedLockCountsTheBlockAsDropped) {
    auto st = state(2, 1000, 0, 1);
    const std::vector<float> block(8, 0.5f);  // 4 frames
    {
        std::lock_guard held(st.shared->lock);  // the worker is swapping
        capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    }
    EXPECT_TRUE(st.shared->mic.empty());
    EXPECT_EQ(st.shared->dropped.load(), 4u);
    EXPECT_EQ(st.shared->mic_peak.load(), 0u);

    st.shared->lock.poison();
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    EXPECT_TRUE(st.shared->mic.empty());
    EXPECT_EQ(st.shared->dropped.load(), 8u);
    EXPECT_TRUE(st.shared->lock.try_lock());  // released again
    st.shared->lock.unlock();
    EXPECT_EQ(capture::lock_error_text(std::unique_lock(st.shared->lock)), "poisoned lock: another task failed inside");
    EXPECT_TRUE(st.shared->lock.try_lock());
    st.shared->lock.unlock();
}

TEST(CaptureCallback, AHolderThatFailsPoisonsTheLock) {
    auto st = state(1, 1000, 0, std::nullopt);
    {
        capture::PoisonGuard held(st.shared->lock);
        EXPECT_FALSE(held.poisoned());
    }
    EXPECT_FALSE(st.shared->lock.poisoned());
    try {
        capture::PoisonGuard held(st.shared->lock);
        throw std::runtime_error("worker failed halfway");
    } catch (const std::runtime_error&) {
    }
    const std::vector<float> block = {0.5f, 0.5f};
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    EXPECT_TRUE(st.shared->mic.empty());
    EXPECT_EQ(st.shared->dropped.load(), 2u);
}

TEST(CaptureCallback, BuffersBeyondTenSecondsAreEmptiedAndCounted) {
    const std::uint32_t rate = 100;  // cap = 10 x rate = 1000 samples
    auto st = state(2, 10 * rate, 0, 1);
    const std::vector<float> block = {0.1f, 0.2f, 0.3f, 0.4f};
    st.shared->mic.assign(1000, 0.0f);
    st.shared->reference.assign(1000, 0.0f);
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());
    EXPECT_EQ(st.shared->mic.size(), 1002u);  // exactly at the cap: appended
    EXPECT_EQ(st.shared->dropped.load(), 0u);
    capture::on_input(st, SampleFormat::F32, block.data(), block.size());  // 1002 > cap
    EXPECT_EQ(st.shared->dropped.load(), 1002u);
    EXPECT_EQ(st.shared->mic, (std::vector<float>{0.1f, 0.3f}));
    EXPECT_EQ(st.shared->reference, (std::vector<float>{0.2f, 0.4f}));
}

TEST(CaptureCallback, ErrorsMarkTheCaptureFailedExceptTheBenignKinds) {
    base::log::Capture logs;
    capture::Shared shared;
    capture::on_input_error(shared, AudioError{ErrorKind::Xrun, std::nullopt});
    EXPECT_FALSE(shared.failed.load());
    capture::on_input_error(shared, AudioError{ErrorKind::RouteChanged, std::nullopt});
    capture::on_input_error(shared, AudioError{ErrorKind::RealtimeDenied, std::nullopt});
    EXPECT_FALSE(shared.failed.load());
    capture::on_input_error(shared, AudioError{ErrorKind::DeviceNotAvailable, std::nullopt});
    EXPECT_TRUE(shared.failed.load());
    auto recs = logs.with_message("input stream error");
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].level, base::log::Level::Warn);
    EXPECT_EQ(recs[0].field("err"), "A buffer underrun or overrun occurred.");
    EXPECT_EQ(recs[3].field("err"), "The requested audio device is not available. It may have been disconnected.");
}

TEST(CaptureErrorText, MessageElseStandardText) {
    const std::vector<std::pair<ErrorKind, std::string>> table = {
        {ErrorKind::DeviceBusy, "The requested device is temporarily busy. Another application or stream may be using it."},
        {ErrorKind::HostUnavailable, "The requested audio host is not available. The subsystem or daemon may not be installed or running."},
        {ErrorKind::InvalidArgument, "Invalid input or argument."},
        {ErrorKind::PermissionDenied, "Permission denied. Grant the required access and retry."},
        {ErrorKind::ResourceExhausted, "An OS resource limit was reached. Freeing resources and retrying may succeed."},
        {ErrorKind::StreamInvalidated, "The stream configuration is no longer valid and must be rebuilt."},
        {ErrorKind::UnsupportedConfig, "The requested stream configuration is not supported by the device."},
        {ErrorKind::UnsupportedOperation, "The requested operation is not supported."},
        {ErrorKind::BackendSpecific, "The audio backend returned an unclassified error."},
    };
    for (const auto& [k, text] : table) EXPECT_EQ(capture::error_text(AudioError{k, std::nullopt}), text);
    EXPECT_EQ(capture::error_text(AudioError{ErrorKind::DeviceBusy, "held by another program"}), "held by another program");
}

// ---------------------------------------------------------------------------
// Through the software host

namespace {

struct SoftFixture : ::testing::Test {
    std::shared_ptr<SoftwareHost> host = std::make_shared<SoftwareHost>();
    audio_watcher::host::ScopedHost use{host};
};

}  // namespace

using DeviceLists = SoftFixture;

TEST_F(DeviceLists, ListEveryDeviceOfTheDirection) {
    host->add_device({.id = "only48", .name = "Only 48k", .input_channels = 4,
                      .input_ranges = std::vector<SupportedRange>{{std::nullopt, 48000, 48000, 4, SampleFormat::I16}}});
    host->add_device({.id = "noconf", .name = "No configs", .input_channels = 2,
                      .configs_error = AudioError{ErrorKind::BackendSpecific, "cannot read"}});
    host->add_device({.id = "noid", .name = "No id", .input_channels = 2,
                      .id_error = AudioError{ErrorKind::Other, std::nullopt}});
    host->add_device({.id = "noname", .name = "x", .input_channels = 1,
                      .description_error = AudioError{ErrorKind::Other, std::nullopt}});
    host->add_device({.id = "spk", .name = "Speaker", .output_channels = 2});
    host->add_device({.id = "none", .name = "No ranges", .input_channels = 2,
                      .input_ranges = std::vector<SupportedRange>{}});

    const std::vector<std::pair<std::uint32_t, std::uint16_t>> all4 = {
        {44100, 4}, {48000, 4}, {88200, 4}, {96000, 4}, {176400, 4}, {192000, 4}};
    const std::vector<std::pair<std::uint32_t, std::uint16_t>> all1 = {
        {44100, 1}, {48000, 1}, {88200, 1}, {96000, 1}, {176400, 1}, {192000, 1}};
    const capture::DeviceList want_in = {{"Software",
                                          {{"software:only48", "Only 48k", all4, 4},
                                           {"software:noconf", "No configs", {}, 2},
                                           {"software:noname", "software:noname", all1, 1},
                                           {"software:none", "No ranges", {}, 2}}}};
    EXPECT_EQ(capture::list_devices(true), want_in);
    const auto outs = capture::list_devices(false);
    ASSERT_EQ(outs.size(), 1u);
    ASSERT_EQ(outs[0].second.size(), 1u);
    EXPECT_EQ(outs[0].second[0].id, "software:spk");

    host->fail_enumeration(AudioError{ErrorKind::HostUnavailable, std::nullopt});
    EXPECT_TRUE(capture::list_devices(true).empty());
    auto found = capture::find_device("Software", "software:only48", true);
    EXPECT_EQ(found.error(), "The requested audio host is not available. The subsystem or daemon may not be installed or running.");
    host->fail_enumeration(std::nullopt);

    // Exact comparison of ids and host names.
    EXPECT_TRUE(capture::find_device("Software", "software:only48", true).has_value());
    EXPECT_EQ(capture::find_device("Software", "Software:only48", true).error(), "audio device not found");
    EXPECT_EQ(capture::find_device("Software", "software:spk", true).error(), "audio device not found");
    EXPECT_EQ(capture::find_device("CoreAudio", "software:only48", true).error(), "audio host CoreAudio not available");
    // The device whose identifier cannot be read answers to the empty id.
    auto anonymous = capture::find_device("Software", "", true);
    ASSERT_TRUE(anonymous.has_value());
    EXPECT_EQ((*anonymous)->description()->name, "No id");

    auto none = capture::find_device("Software", "software:none", true);
    EXPECT_EQ(capture::best_config(**none, true, 48000).error(), "device has no stream configs");
    auto noconf = capture::find_device("Software", "software:noconf", true);
    EXPECT_EQ(capture::best_config(**noconf, true, 48000).error(), "cannot read");
    auto only48 = capture::find_device("Software", "software:only48", true);
    EXPECT_EQ(*capture::best_config(**only48, true, 96000),
              (audio_watcher::host::StreamConfig{std::nullopt, 4, SampleFormat::I16, 48000}));

    host->fail_enumeration(AudioError{ErrorKind::HostUnavailable, std::nullopt});
    host->remove_device("spk");
    EXPECT_TRUE(capture::list_devices(false).empty());
}

using CaptureOpen = SoftFixture;

TEST_F(CaptureOpen, ChannelAndDeviceErrors) {
    host->add_device({.id = "mic", .name = "Mic", .input_channels = 2});
    EXPECT_EQ(capture::open("Software", "software:gone", 0, std::nullopt, 48000).error(), "audio device not found");
    EXPECT_EQ(capture::open("JACK", "software:mic", 0, std::nullopt, 48000).error(), "audio host JACK not available");
    EXPECT_EQ(capture::open("Software", "software:mic", 0, 2, 48000).error(),
              "device has 2 channels, mic 1 / reference 3 not available");
    EXPECT_EQ(capture::open("Software", "software:mic", 2, std::nullopt, 48000).error(),
              "device has 2 channels, mic 3 / reference 1 not available");
    host->add_device({.id = "odd", .name = "Odd", .input_channels = 1,
                      .input_ranges = std::vector<SupportedRange>{{std::nullopt, 48000, 48000, 1, static_cast<SampleFormat>(20)}}});
    EXPECT_EQ(capture::open("Software", "software:odd", 0, std::nullopt, 48000).error(),
              "unsupported input sample format Unknown");
    host->add_device({.id = "busy", .name = "Busy", .input_channels = 1,
                      .build_error = AudioError{ErrorKind::DeviceBusy, std::nullopt}});
    EXPECT_EQ(capture::open("Software", "software:busy", 0, std::nullopt, 48000).error(),
              "The requested device is temporarily busy. Another application or stream may be using it.");
    host->add_device({.id = "nostart", .name = "No start", .input_channels = 1,
                      .play_error = AudioError{ErrorKind::PermissionDenied, std::nullopt}});
    EXPECT_EQ(capture::open("Software", "software:nostart", 0, std::nullopt, 48000).error(),
              "Permission denied. Grant the required access and retry.");
    EXPECT_EQ(host->stream_count(), 0u);
}

TEST_F(CaptureOpen, CapturesAndReportsALostDevice) {
    base::log::Capture logs;
    host->add_device({.id = "mic", .name = "Mic", .input_channels = 2,
                      .input_ranges = std::vector<SupportedRange>{{std::nullopt, 44100, 44100, 2, SampleFormat::I24}}});
    auto in = capture::open("Software", "software:mic", 1, 0, 48000);
    ASSERT_TRUE(in.has_value()) << in.error();
    EXPECT_EQ(in->rate, 44100u);
    EXPECT_GE(in->shared->mic.capacity(), 11u * 44100u);
    EXPECT_GE(in->shared->reference.capacity(), 11u * 44100u);
    auto started = logs.with_message("input started");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].level, base::log::Level::Info);
    EXPECT_EQ(started[0].field("rate"), "44100");
    EXPECT_EQ(started[0].field("channels"), "2");
    EXPECT_EQ(started[0].field("fmt"), "I24");
    EXPECT_EQ(started[0].field("mic_ch"), "1");
    EXPECT_EQ(started[0].field("ref_ch"), "0");

    host->advance(4800);  // 4410 frames at 44100: 8 blocks of 512
    {
        std::lock_guard lk(in->shared->lock);
        EXPECT_EQ(in->shared->mic.size(), 8u * 512u);
        EXPECT_EQ(in->shared->reference.size(), 8u * 512u);
    }
    EXPECT_FALSE(in->shared->failed.load());
    host->remove_device("mic");
    EXPECT_TRUE(in->shared->failed.load());
    EXPECT_EQ(logs.with_message("input stream error").size(), 1u);
    in->stream.reset();
    EXPECT_EQ(host->stream_count(), 0u);
}
