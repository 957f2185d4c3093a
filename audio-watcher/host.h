#pragma once
// The audio host: our platform layer between the program and the audio
// system. A Host enumerates Devices; a Device reports its stream
// configurations and builds input and output Streams whose callbacks run on
// the host's audio thread.
//
// Two kinds of host exist: the platform hosts (RtAudio's JACK, PulseAudio and
// ALSA APIs on Linux) and the SoftwareHost of software_host.h, clocked by
// tests, whose outputs reach its inputs through a simulated room.
//
// The engine asks for "the host in use" through current(); tests install a
// software host with ScopedHost.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace audio_watcher::host {

// Sample encodings, in this order. 24-bit samples travel one per 32-bit word.
enum class SampleFormat : std::uint8_t { I8, I16, I24, I32, I64, U8, U16, U24, U32, U64, F32, F64 };

inline constexpr std::array<SampleFormat, 12> ALL_FORMATS = {
    SampleFormat::I8,  SampleFormat::I16, SampleFormat::I24, SampleFormat::I32,
    SampleFormat::I64, SampleFormat::U8,  SampleFormat::U16, SampleFormat::U24,
    SampleFormat::U32, SampleFormat::U64, SampleFormat::F32, SampleFormat::F64};

// True for the twelve formats above (any other value is a format we cannot
// convert).
bool is_known(SampleFormat f);
// "I8", "I16", ..., "F64"; "Unknown" outside the twelve.
std::string format_name(SampleFormat f);
// Bytes of one sample word (24-bit formats: 4); 0 outside the twelve.
std::size_t format_bytes(SampleFormat f);

// What went wrong, as the audio system tells it.
enum class ErrorKind : std::uint8_t {
    DeviceBusy = 0,
    RouteChanged = 1,          // the stream was rerouted automatically
    DeviceNotAvailable = 2,
    HostUnavailable = 3,
    InvalidArgument = 4,
    PermissionDenied = 5,
    RealtimeDenied = 6,        // real-time scheduling refused
    ResourceExhausted = 7,
    StreamInvalidated = 8,
    UnsupportedConfig = 9,
    UnsupportedOperation = 10,
    Xrun = 11,                 // buffer underrun or overrun
    BackendSpecific = 12,
    Other = 13,
};

// The standard text of a kind ("A buffer underrun or overrun occurred.").
std::string_view standard_text(ErrorKind kind);

struct AudioError {
    ErrorKind kind = ErrorKind::Other;
    std::optional<std::string> message;
    bool operator==(const AudioError&) const = default;
};

// The error's message when it has one, else the standard text of its kind
// (engine::capture::error_text says the same for the engine).
std::string text_of(const AudioError& e);

template <class T>
using Expected = std::expected<T, AudioError>;

inline std::unexpected<AudioError> fail(ErrorKind kind, std::optional<std::string> message = std::nullopt) {
    return std::unexpected<AudioError>(AudioError{kind, std::move(message)});
}

struct BufferRange {
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    bool operator==(const BufferRange&) const = default;
};

// One supported configuration range of a device in one direction.
struct SupportedRange {
    std::optional<BufferRange> buffer_size;  // nullopt: unknown
    std::uint32_t min_rate = 0;
    std::uint32_t max_rate = 0;
    std::uint16_t channels = 0;
    SampleFormat format = SampleFormat::F32;
    bool operator==(const SupportedRange&) const = default;
};

// A chosen configuration: one range's fields with one rate inside it.
struct StreamConfig {
    std::optional<BufferRange> buffer_size;
    std::uint16_t channels = 0;
    SampleFormat format = SampleFormat::F32;
    std::uint32_t rate = 0;
    bool operator==(const StreamConfig&) const = default;
};

// A device's description: its display name and, when the system gives one,
// a further text.
struct Description {
    std::string name;
    std::optional<std::string> extra;
    bool operator==(const Description&) const = default;
};

// Callbacks run on the host's audio thread. `samples` counts samples (all
// channels), interleaved, in the stream's format; a block normally holds
// whole frames.
using InputCallback = std::function<void(const void* data, std::size_t samples)>;
using OutputCallback = std::function<void(void* data, std::size_t samples)>;
using ErrorCallback = std::function<void(const AudioError&)>;

// An open stream. Destroying it stops it; once the destructor has returned
// its callbacks no longer run.
class Stream {
public:
    virtual ~Stream() = default;
    virtual Expected<void> play() = 0;
    virtual Expected<void> pause() = 0;
};
using StreamHandle = std::unique_ptr<Stream>;

class Device {
public:
    virtual ~Device() = default;
    // The device's identifier text inside its host (JACK: the client name,
    // "system"; Core Audio: the device UID).
    virtual Expected<std::string> id_text() const = 0;
    virtual Expected<Description> description() const = 0;
    virtual bool supports_input() const = 0;
    virtual bool supports_output() const = 0;
    // Ranges in the order the system reports them.
    virtual Expected<std::vector<SupportedRange>> supported_configs(bool input) const = 0;
    virtual Expected<StreamConfig> default_config(bool input) const = 0;
    // Streams are built stopped; play() starts them. The buffer size of the
    // configuration is not used: streams run with the host's default.
    virtual Expected<StreamHandle> build_input_stream(const StreamConfig& config, InputCallback data,
                                                      ErrorCallback error) = 0;
    virtual Expected<StreamHandle> build_output_stream(const StreamConfig& config, OutputCallback data,
                                                       ErrorCallback error) = 0;
};
using DeviceHandle = std::shared_ptr<Device>;

class Host {
public:
    virtual ~Host() = default;
    // Display name of the host: "JACK", "PulseAudio", "ALSA"; "CoreAudio" on macOS.
    virtual std::string name() const = 0;
    // Start of every device id in the device lists and settings: the lower-case
    // host name and a colon ("jack:"), so a device id reads "jack:system".
    virtual std::string id_prefix() const = 0;
    // Every device, in the system's order (may fail as a whole).
    virtual Expected<std::vector<DeviceHandle>> devices() = 0;
    // The system's default devices; nullptr when there is none or it cannot
    // be read.
    virtual DeviceHandle default_input_device() = 0;
    virtual DeviceHandle default_output_device() = 0;

    // Hosts that hear of changes from the system itself (JACK's callbacks)
    // count them: changes() moves on every client or port that comes or
    // goes, and wait_for_change returns once it has moved past `seen` or
    // `limit` has passed. Other hosts never move it and wait the whole limit.
    virtual bool notifies_changes() const { return false; }
    virtual std::uint64_t changes() const { return 0; }
    virtual std::uint64_t wait_for_change(std::uint64_t seen, std::chrono::milliseconds limit);
};
using HostHandle = std::shared_ptr<Host>;

// The macOS build talks to Core Audio under these names.
inline constexpr std::string_view COREAUDIO_HOST = "CoreAudio";
inline constexpr std::string_view COREAUDIO_ID_PREFIX = "coreaudio:";

// The platform hosts that this build can talk to, by display name, in the
// order of preference: "JACK", "PulseAudio", "ALSA".
std::vector<std::string> platform_host_names();
// A platform host by display name; nullptr when the build has no such API.
HostHandle platform_host(std::string_view name);

// The host in use: the one installed with set_current, else the first
// platform host that lists at least one device (checked once, then kept),
// else the first platform host. Never nullptr in a build with any API.
HostHandle current();
// Installs `host` as the host in use (nullptr returns to the platform's
// choice); returns the previous installed host.
HostHandle set_current(HostHandle host);

// Installs a host for the life of the object (tests).
class ScopedHost {
public:
    explicit ScopedHost(HostHandle host) : previous_(set_current(std::move(host))) {}
    ~ScopedHost() { set_current(std::move(previous_)); }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    HostHandle previous_;
};

}  // namespace audio_watcher::host
