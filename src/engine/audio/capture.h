#pragma once
// Device lists, stream configuration, and the input stream with its capture
// buffer.
//
// The input stream's data callback appends the microphone (and reference)
// channel to `Shared` without ever waiting; the worker (analyzer or meter
// thread) takes the lists by exchanging them for empty ones with room for
// 11 x rate samples, and the counters by atomic exchange with 0.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio-watcher/host.h"
#include "base/result.h"

namespace engine::capture {

namespace host = audio_watcher::host;

// ---------------------------------------------------------------------------
// Device lists

struct AudioDevice {
    std::string id;    // host id prefix + device identifier: "jack:system"
    std::string name;  // display name; the id when it cannot be read
    // (rate, channels) for the standard rates 44100, 48000, 88200, 96000,
    // 176400, 192000 when the device reports any configuration range.
    std::vector<std::pair<std::uint32_t, std::uint16_t>> rates;
    std::uint16_t channels = 0;  // of the default configuration; 0 without one
    bool operator==(const AudioDevice&) const = default;
};

// (host name, devices): at most one pair, for the host in use.
using DeviceList = std::vector<std::pair<std::string, std::vector<AudioDevice>>>;

inline constexpr std::uint32_t STANDARD_RATES[] = {44100, 48000, 88200, 96000, 176400, 192000};

// The devices of one direction; failures leave entries (or everything) out.
DeviceList list_devices(bool input);
// The same, but a host that cannot be asked at all (no server, a listing
// that failed) is an error with its text, never an empty list: only a
// listing that succeeded can say that a device is gone.
base::Result<DeviceList> try_list_devices(bool input);

// The device of the host in use whose id is `id`, in that direction.
// find_device's error when no device of the host has the id.
inline constexpr std::string_view DEVICE_NOT_FOUND = "audio device not found";

base::Result<host::DeviceHandle> find_device(std::string_view host_name, std::string_view id, bool input);
base::Result<std::vector<host::SupportedRange>> supported_configs(const host::Device& device, bool input);
base::Result<host::StreamConfig> best_config(const host::Device& device, bool input, std::uint32_t rate);

// The text of an audio error: its message, else the standard text of its kind.
std::string error_text(const host::AudioError& e);

// ---------------------------------------------------------------------------
// Locks shared with the audio callbacks

// A mutex that remembers that a holder failed while holding it. The audio
// callbacks treat a poisoned lock as unavailable; the workers report it.
class PoisonMutex {
public:
    void lock() { m_.lock(); }
    bool try_lock() { return m_.try_lock(); }
    void unlock() { m_.unlock(); }
    // Only while holding the lock.
    bool poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
    void poison() { poisoned_.store(true, std::memory_order_relaxed); }

private:
    std::mutex m_;
    std::atomic<bool> poisoned_{false};
};

// Holds a PoisonMutex (waiting for it) and marks it poisoned when the holder
// leaves by an exception, so the lists it guarded are not trusted again.
class PoisonGuard {
public:
    explicit PoisonGuard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) { m_.lock(); }
    ~PoisonGuard() {
        if (std::uncaught_exceptions() > exceptions_) m_.poison();
        m_.unlock();
    }
    PoisonGuard(const PoisonGuard&) = delete;
    PoisonGuard& operator=(const PoisonGuard&) = delete;
    bool poisoned() const { return m_.poisoned(); }

private:
    PoisonMutex& m_;
    int exceptions_;
};

// The text a worker reports for a poisoned lock; releases the lock.
std::string lock_error_text(std::unique_lock<PoisonMutex> held);

// ---------------------------------------------------------------------------
// Stream errors on their way from an audio thread to a worker

// One audio error, handed over without locking or allocating: the audio
// thread posts into the slot when it is empty (a later error waits for the
// worker to take the first one and is otherwise only counted as lost); the
// worker takes it out and logs it.
class ErrorSlot {
public:
    static constexpr std::size_t TEXT_BYTES = 240;  // longer messages are cut (UTF-8 kept whole)

    void post(const host::AudioError& e) noexcept;
    std::optional<host::AudioError> take();
    // Errors that found the slot full since the last call.
    std::uint64_t take_lost() noexcept { return lost_.exchange(0, std::memory_order_relaxed); }

private:
    enum : int { EMPTY = 0, WRITING = 1, FULL = 2, READING = 3 };
    std::atomic<int> state_{EMPTY};
    std::atomic<std::uint64_t> lost_{0};
    host::ErrorKind kind_ = host::ErrorKind::Other;
    bool has_text_ = false;
    std::size_t len_ = 0;
    std::array<char, TEXT_BYTES> text_{};
};

// Logs the error waiting in the slot as `message` with its text in `err`
// (and `more`: how many errors found the slot full).
void log_error(ErrorSlot& slot, const char* target, const char* message);

// What an error callback does with an error: an xrun is counted, anything
// else goes to the slot, and an error that leaves the stream unusable marks
// it failed. Never blocks, never allocates.
void note_error(const host::AudioError& e, std::atomic<bool>& failed, std::atomic<std::uint64_t>& xruns,
                ErrorSlot& slot) noexcept;

// ---------------------------------------------------------------------------
// Capture buffer and input stream

struct Shared {
    PoisonMutex lock;              // guards mic and reference
    std::vector<float> mic;
    std::vector<float> reference;  // stays empty without a reference channel
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> missed{0};  // blocks dropped because the worker held the lock
    std::atomic<std::uint64_t> xruns{0};   // overruns the stream reported
    ErrorSlot error;                       // the latest other stream error, for the log
    std::atomic<std::uint32_t> mic_peak{0};  // bits of a non-negative float
    std::atomic<std::uint32_t> ref_peak{0};
    std::atomic<bool> failed{false};
};

// State of the data callback, fixed at opening.
struct InputState {
    std::shared_ptr<Shared> shared;
    std::size_t channels = 1;
    std::size_t cap = 0;  // 10 x rate samples
    std::size_t mic = 0;
    std::optional<std::size_t> reference;
};

struct Input {
    std::shared_ptr<Shared> shared;
    host::StreamHandle stream;  // releasing it stops the stream
    std::uint32_t rate = 0;
};

// Opens and starts the input stream of device `id` (host `host_name`).
base::Result<Input> open(std::string_view host_name, std::string_view id, std::size_t mic,
                         std::optional<std::size_t> reference, std::uint32_t rate);

// The data callback for a block of `samples` interleaved samples in `format`.
void on_input(InputState& state, host::SampleFormat format, const void* data, std::size_t samples) noexcept;
// The error callback.
void on_input_error(Shared& shared, const host::AudioError& e) noexcept;
// The worker's side: logs the error the callback left ("input stream error").
void log_input_error(Shared& shared);

// Sample `index` of a block in `format`, as a 32-bit float (NaN and infinity
// become 0).
float sample_to_f32(host::SampleFormat format, const void* data, std::size_t index) noexcept;

// True for the error kinds that leave a stream usable: a rerouted stream,
// refused real-time scheduling, an underrun or overrun.
bool is_benign(host::ErrorKind kind);

}  // namespace engine::capture
