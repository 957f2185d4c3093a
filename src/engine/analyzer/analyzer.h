#pragma once
// The live transfer-function analyzer: the window's handle with its commands
// and start parameters, the analysis layer set, the drift lock, and the
// thread that runs the measurement. Its published record is in
// engine/core/snapshot.h.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.h"
#include "base/clock.h"
#include "base/result.h"
#include "engine/audio/generator.h"
#include "engine/core/snapshot.h"
#include "engine/core/tf.h"
#include "engine/core/trace.h"

namespace engine::analyzer {

// ---------------------------------------------------------------- handle, commands, parameters

using generator::GenParams;
using generator::Signal;

// What the analyzer thread gets at start, taken from a copy of the settings.
struct Params {
    std::string host;              // audio host of the input device
    std::string device;            // input device id
    std::string out_device;        // generator output device id; empty = no generator output
    std::vector<float> mic_cal;    // grid calibration: 240 dB values or empty
    GenParams gen;
    std::size_t mic_channel = 0;   // 0-based input channels
    std::size_t ref_channel = 1;   // ignored when ref_internal is set
    std::size_t out_channel = 0;
    float average_secs = 3.0f;
    float coherence_threshold = 0.5f;  // also the gate of the live snapshot
    float cycles = 0.0f;           // window of N cycles; 0 = off
    std::uint32_t sample_rate = 48000;
    float delay_ms = 0.0f;         // initial delay
    bool ref_internal = false;     // the generated signal itself is the reference
    bool accumulate = false;

    bool operator==(const Params&) const = default;
};

// Commands from the window to the analyzer thread, handled in the order sent.
struct Cmd {
    struct FindDelay {
        bool operator==(const FindDelay&) const = default;
    };
    struct KeepDelay {
        bool operator==(const KeepDelay&) const = default;
    };
    struct SetGenerator {
        GenParams params;
        bool operator==(const SetGenerator&) const = default;
    };
    struct SetDelay {
        std::size_t samples = 0;
        bool operator==(const SetDelay&) const = default;
    };
    struct SetAccumulate {
        bool on = false;
        bool operator==(const SetAccumulate&) const = default;
    };
    struct ClearAccumulated {
        bool operator==(const ClearAccumulated&) const = default;
    };
    struct SetCycles {
        float cycles = 0.0f;
        bool operator==(const SetCycles&) const = default;
    };
    // The trace is sent on `reply`; the sender is released afterwards.
    struct Capture {
        base::Sender<trace::Trace> reply;
        std::string name;
    };
    struct Stop {
        bool operator==(const Stop&) const = default;
    };
    std::variant<FindDelay, KeepDelay, SetGenerator, SetDelay, SetAccumulate, ClearAccumulated, SetCycles, Capture,
                 Stop>
        v;
};

// The snapshot shared by the thread (writer) and the window (reader).
// `poisoned` is set when a writer failed while holding the lock; writers then
// skip their writes.
struct SharedSnapshot {
    std::mutex mu;
    Snapshot value;
    bool poisoned = false;
};

// Locks the snapshot and applies `change`, unless the lock is poisoned.
template <class F>
void set(SharedSnapshot& shared, F&& change) {
    std::lock_guard lk(shared.mu);
    if (shared.poisoned) return;
    try {
        change(shared.value);
    } catch (...) {
        shared.poisoned = true;
        throw;
    }
}

// Where the analyzer thread reads the time and sleeps (base/clock.h).
using Clock = base::Clock;
using base::system_clock;

// The window's handle of the analyzer thread. Dropping it sends Stop and
// joins the thread.
class Analyzer {
public:
    // Starts the thread "analyzer"; fails with the thread library's error
    // ("analyzer thread: ...").
    static base::Result<Analyzer> start(Params params, std::shared_ptr<Clock> clock = system_clock());

    Analyzer(Analyzer&& other) noexcept = default;
    Analyzer& operator=(Analyzer&& other) noexcept;
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;
    ~Analyzer();

    // Sends one command; dropped silently once the thread has ended.
    void send(Cmd cmd) const;
    // A copy of the whole snapshot, taken under its lock.
    Snapshot copy() const;
    const std::shared_ptr<SharedSnapshot>& snapshot() const { return snapshot_; }

private:
    Analyzer() = default;
    void stop_and_join();

    base::Sender<Cmd> tx_;
    std::shared_ptr<SharedSnapshot> snapshot_;
    std::optional<std::thread> thread_;
};

// The body of the analyzer thread: opens the streams, then runs passes until
// Stop, a closed command channel, a lost device or a failed stream.
void run(Params params, base::Receiver<Cmd> rx, std::shared_ptr<SharedSnapshot> snapshot,
         std::shared_ptr<Clock> clock);

// ---------------------------------------------------------------- analysis layers

// The sample-rate factor: the smallest power of two at or above fs / 48000
// rounded to the nearest integer (at least 1).
std::size_t rate_factor(float fs);

// Sample offsets ahead of the direct sound at which harmonics 2..5 of a
// Sweep or Chirp appear; empty for any other signal.
std::vector<std::size_t> harmonic_offsets(float fs, Signal signal, float sweep_secs);

// The layer set of one analysis mode, longest layer first.
struct LayerSet {
    std::vector<std::size_t> sizes;
    std::vector<std::size_t> averages;
    std::vector<tf::TransferFunction> layers;
    std::vector<tf::Accumulator> accumulators;
};

// Four layers of 32768K, 16384K, 4096K and 1024K points, or (single) one
// sweep layer of `length` points with a rectangular window and no overlap.
LayerSet build_layers(float fs, bool single, std::size_t length, Signal signal, float sweep_secs, float average_secs,
                      float coherence_threshold);

// The FFT plans a run with this layer set needs at rate fs with a search
// window of `window` samples: the layers' transforms, the delay search's,
// the envelope and impulse responses of the display.
std::vector<std::pair<std::size_t, tf::plan::Direction>> plans_needed(const LayerSet& set, std::size_t window);

// ---------------------------------------------------------------- drift tracking

// The decision of one drift step.
struct Action {
    struct Ignore {
        bool operator==(const Ignore&) const = default;
    };
    struct Baseline {
        std::int64_t baseline = 0;
        bool operator==(const Baseline&) const = default;
    };
    struct Drift {
        std::int64_t median = 0;
        std::int64_t drift = 0;
        bool operator==(const Drift&) const = default;
    };
    struct Pending {
        bool operator==(const Pending&) const = default;
    };
    struct Follow {
        std::size_t delay = 0;
        std::int64_t step = 0;
        bool operator==(const Follow&) const = default;
    };
    std::variant<Ignore, Baseline, Drift, Pending, Follow> v;

    // As logged: "Ignore", "Baseline(12)", "Drift { median: 3, drift: 4 }",
    // "Pending", "Follow { delay: 680, step: 200 }".
    std::string text() const;
    bool operator==(const Action&) const = default;
};

// The drift lock: baseline, pending jump, recent offsets, history and the
// clock-drift estimate. One step per find_delay result.
struct DriftTracker {
    std::vector<std::int64_t> baseline_samples;
    std::optional<std::int64_t> baseline;
    float smoothed = 0.0f;
    std::optional<std::int64_t> pending;
    std::vector<std::int64_t> recent;                  // at most 3, oldest first
    std::vector<std::pair<double, double>> history;    // (time s, offset s), at most 1800
    float clock_drift = 0.0f;                          // ppm

    // Back to collecting (a new delay was set).
    void clear();
    // One step on a delay result against the delay in use d, at `processed`
    // samples since the last restart. Nothing without a result.
    std::optional<Action> step(std::optional<tf::DelayFound> found, std::size_t d, float fs, std::size_t processed);
};

}  // namespace engine::analyzer
