#pragma once
// The test-signal generator and the output stream that plays it, with the
// reference tap that hands every generated sample to the analyzer when the
// generated signal serves as the reference.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio-watcher/host.h"
#include "base/result.h"
#include "engine/audio/capture.h"

namespace engine::generator {

namespace host = audio_watcher::host;

enum class Signal : std::uint8_t { Off = 0, Sine = 1, Pink = 2, Sweep = 3, Chirp = 4 };

// The names of the settings file: "Off", "Sine", "Pink", "Sweep", "Chirp".
std::string_view signal_name(Signal s);

struct GenParams {
    float sine_hz = 1000.0f;
    float sweep_secs = 1.0f;
    float gen_db = -20.0f;
    Signal signal = Signal::Off;
    bool operator==(const GenParams&) const = default;
};

// 10^(db/20) in 32-bit float; 0 when that is not finite.
float gain_of(float db);

struct Generator {
    std::uint64_t position = 0;  // sample inside the current Sweep or Chirp period
    float rate = 48000.0f;
    float gain = 0.0f;
    float phase = 0.0f;          // of Sine, in cycles
    std::uint32_t noise_state = 0x9e3779b9u;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;  // pink-noise filter
    GenParams params;

    Generator() = default;
    Generator(float rate, GenParams params);

    // The next sample; one call per output frame. No allocation, no locking.
    float next() noexcept;
};

// ---------------------------------------------------------------------------
// Output stream

// The generator parameters the analyzer writes and the render callback reads.
struct SharedParams {
    capture::PoisonMutex lock;
    GenParams params;
};

// Generated samples on their way to the analyzer.
struct Tap {
    capture::PoisonMutex lock;
    std::vector<float> samples;
};

// State of the render callback, fixed at opening except where it plays.
struct OutputState {
    std::vector<float> block;  // generated samples not yet in the tap; never grows
    Generator generator;
    std::shared_ptr<SharedParams> params;
    std::shared_ptr<std::atomic<std::uint64_t>> tap_dropped;
    std::size_t channels = 1;
    std::shared_ptr<Tap> tap;  // none unless the generated signal is the reference
    std::size_t channel = 0;   // the channel that carries the signal
    std::size_t tap_cap = 0;   // 10 x rate samples
    host::SampleFormat format = host::SampleFormat::F32;
};

struct Output {
    host::StreamHandle stream;  // plays until released
    std::shared_ptr<std::atomic<bool>> failed;
    std::shared_ptr<std::atomic<std::uint64_t>> tap_dropped;
    std::uint32_t rate = 0;
};

// Opens and starts the generator's output on device `id` (host `host_name`).
base::Result<Output> open(std::string_view host_name, std::string_view id, std::size_t channel,
                          std::uint32_t rate, std::shared_ptr<SharedParams> params, std::shared_ptr<Tap> tap);

// The render callback: fills a block of `samples` interleaved samples in the
// state's format.
void on_output(OutputState& state, void* data, std::size_t samples) noexcept;
// The error callback.
void on_output_error(std::atomic<bool>& failed, const host::AudioError& e);

// Moves the block buffer into the tap when its lock is free.
void flush_tap(Tap& tap, std::vector<float>& block, std::size_t cap, std::atomic<std::uint64_t>& tap_dropped) noexcept;

using capture::lock_error_text;

// Writes `s` as sample `index` of a block in `format`; silence writes the
// format's zero.
void write_sample(host::SampleFormat format, void* data, std::size_t index, float s) noexcept;
void write_silence(host::SampleFormat format, void* data, std::size_t index) noexcept;

}  // namespace engine::generator
