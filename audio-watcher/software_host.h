#pragma once
// A host made of software, for tests. Nothing runs by itself: the test moves
// the host's clock with advance(frames), and the streams' callbacks run on the
// test's thread inside that call, in blocks of `block_frames` frames.
//
// What an output stream plays on a device reaches the inputs of another (or
// the same) device through a Room: harmonic distortion, a cascade of biquads,
// a gain, a delay in whole samples and added noise. A Room can also put the
// played signal, undelayed and unfiltered, on an extra input channel, the way
// a loopback cable carries the reference. Device clocks can run off by some
// ppm; an input then reads the played signal resampled by that factor
// (windowed-sinc interpolation), which is how clock skew shows.
//
//   auto host = std::make_shared<SoftwareHost>();
//   host->add_device({.id = "loop", .name = "Loop", .input_channels = 2, .output_channels = 2});
//   host->connect("loop", "loop", {.delay = 480, .gain = 0.5f, .mic_channel = 0, .reference_channel = 1});
//   host::ScopedHost use(host);              // the engine now opens "software:loop"
//   ... open streams ...
//   host->advance(48000);                    // one second of audio
//
// Devices can be added, removed (their running streams get a
// DeviceNotAvailable error and stop), made default, and made to fail in any
// of the ways a device can, so the device watcher can poll it.
//
// All member functions are thread-safe. Callbacks run with the host's lock
// held: they must not call back into the host.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio-watcher/host.h"

namespace audio_watcher::host {

// One second-order section: y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

    // Audio EQ cookbook designs at sample rate `rate`.
    static Biquad peaking(double rate, double f0, double q, double gain_db);
    static Biquad lowpass(double rate, double f0, double q);
    static Biquad highpass(double rate, double f0, double q);
    bool operator==(const Biquad&) const = default;
};

struct Room {
    std::size_t out_channel = 0;   // the output channel whose signal enters the room
    std::size_t mic_channel = 0;   // the input channel that hears the room
    std::optional<std::size_t> reference_channel;  // input channel carrying the played signal itself
    std::size_t delay = 0;         // in samples of the output stream
    std::vector<Biquad> filters;   // run in order, at the output stream's rate
    float gain = 1.0f;
    float h2 = 0.0f;               // distortion before the filters: x + h2 x^2 + h3 x^3
    float h3 = 0.0f;
    float noise_rms = 0.0f;        // white Gaussian noise added at the microphone channel
    std::uint32_t noise_seed = 1;
};

struct SoftDevice {
    std::string id;                // identifier text; the device id is the host's prefix + id
    std::string name;
    std::optional<std::string> extra;
    std::uint16_t input_channels = 0;
    std::uint16_t output_channels = 0;
    // Unset: one F32 range 44100..192000 Hz with the direction's channel
    // count (none without channels). Set to an empty list: no range at all.
    std::optional<std::vector<SupportedRange>> input_ranges;
    std::optional<std::vector<SupportedRange>> output_ranges;
    // Empty: F32 at 48000 Hz with the direction's channel count.
    std::optional<StreamConfig> default_input;
    std::optional<StreamConfig> default_output;
    // The device's clock against the host clock, in ppm (positive runs fast).
    double clock_ppm = 0.0;
    // Failures to report instead of answers.
    std::optional<AudioError> id_error;
    std::optional<AudioError> description_error;
    std::optional<AudioError> configs_error;
    std::optional<AudioError> build_error;
    std::optional<AudioError> play_error;
};

class SoftwareHost final : public Host, public std::enable_shared_from_this<SoftwareHost> {
public:
    struct Options {
        std::string name = "Software";     // host name; ids start with its lower-case form and ":"
        std::uint32_t clock_rate = 48000;  // advance() counts frames at this rate
        std::size_t block_frames = 512;    // frames per callback
    };

    SoftwareHost();
    explicit SoftwareHost(Options options);
    ~SoftwareHost() override;

    // Host
    std::string name() const override;
    std::string id_prefix() const override;
    Expected<std::vector<DeviceHandle>> devices() override;
    DeviceHandle default_input_device() override;
    DeviceHandle default_output_device() override;

    // Devices. add_device replaces a device with the same id (its streams
    // stay attached to the new description).
    void add_device(SoftDevice device);
    // Running streams on it get a DeviceNotAvailable error and stop.
    void remove_device(std::string_view id);
    // Replaces the failure fields of a device (id_error ... play_error).
    void set_device(SoftDevice device) { add_device(std::move(device)); }
    // Reports `error` to the error callbacks of the device's running streams;
    // with `stop`, the streams then stop delivering.
    void fail_device(std::string_view id, AudioError error, bool stop = true);
    void set_default_input(std::optional<std::string> id);
    void set_default_output(std::optional<std::string> id);
    // While set, devices() fails with this error.
    void fail_enumeration(std::optional<AudioError> error);

    // The room between what `out_id` plays and what `in_id` hears (replaces
    // an earlier room between the two).
    void connect(std::string_view out_id, std::string_view in_id, Room room);
    void disconnect(std::string_view out_id, std::string_view in_id);

    // Moves the clock on by `frames` frames at clock_rate and runs every
    // block that falls due: outputs first (they run a little ahead), then
    // inputs.
    void advance(std::uint64_t frames);

    // The clock, in frames at clock_rate since the host was made.
    std::uint64_t now() const;
    // Streams built and not yet destroyed / of those, playing.
    std::size_t stream_count() const;
    std::size_t playing_count() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace audio_watcher::host
