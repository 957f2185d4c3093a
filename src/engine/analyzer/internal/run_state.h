#pragma once
// The analyzer thread's state for one run and the work of one pass after the
// audio has been taken from the streams: pairing, feeding the layers, delay
// search, accumulation, drift tracking, status line, display data and
// publishing. Private to the analyzer (its thread, tests and benchmarks).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/analyzer/analyzer.h"

namespace engine::analyzer {

inline constexpr const char* LOG_TARGET = "Veltrum::engine::analyzer";

// The most recent samples of one stream, contiguous, oldest first.
class Ring {
public:
    std::size_t size() const { return buf_.size() - head_; }
    bool empty() const { return size() == 0; }
    std::span<const float> first(std::size_t count) const { return {buf_.data() + head_, count}; }
    std::span<const float> range(std::size_t from, std::size_t to) const {
        return {buf_.data() + head_ + from, to - from};
    }
    void append(std::span<const float> samples) { buf_.insert(buf_.end(), samples.begin(), samples.end()); }
    // count <= size()
    void pop_front(std::size_t count);
    void clear() {
        buf_.clear();
        head_ = 0;
    }

private:
    std::vector<float> buf_;
    std::size_t head_ = 0;
};

// Everything the status line depends on.
struct StatusInputs {
    std::optional<std::string> rate_message;
    bool ref_internal = false;
    Signal signal = Signal::Off;
    std::optional<std::string> clip;       // active clip message
    std::optional<std::string> transient;  // active transient message
    std::optional<std::int64_t> baseline;
    bool search_started = false;
    float clock_drift = 0.0f;  // ppm
    std::uint64_t count = 0;   // frames of the longest layer
    std::size_t wanted = 0;    // its wanted averages
    float mic_db = -180.0f;
    float ref_db = -180.0f;
    bool searching = false;
    bool off_direct = false;
    bool accumulate = false;
    std::chrono::nanoseconds accumulating_for{0};
    float mean_conf = 0.0f;
    float shift_ms = 0.0f;  // first accumulator's shift
    float fs = 48000.0f;
};

// The status line and its warning flag: the first row that applies.
std::pair<std::string, bool> status_line(const StatusInputs& in);

// One pass's audio as taken from the streams.
struct PassInput {
    std::vector<float>& mic;
    std::vector<float>& reference;
    std::uint64_t dropped = 0;                  // samples the input callback dropped
    std::optional<std::uint64_t> tap_dropped;   // set when the reference comes from the tap
    float mic_peak = 0.0f;
    float ref_peak = 0.0f;
    std::uint64_t xruns = 0;   // overruns and underruns the streams reported
    std::uint64_t missed = 0;  // input blocks dropped because the capture buffer was busy
};

class RunState {
public:
    // fs is the input's actual rate; `gen` the parameters the output callback
    // reads; `output_open` whether a generator output plays.
    RunState(const Params& params, float fs, bool output_open, std::shared_ptr<generator::SharedParams> gen,
            Clock& clock, std::optional<std::string> rate_message);

    // Every command but Stop.
    void command(Cmd cmd);
    // Pass steps from the dropped-sample report to publishing.
    void pass(PassInput in, SharedSnapshot& snapshot);

    const LayerSet& layer_set() const { return set_; }
    // The FFT plans this run needs (see plans_needed).
    std::vector<std::pair<std::size_t, tf::plan::Direction>> plans() const { return plans_needed(set_, w_); }
    // Takes the thread's plans again: after measured plans were learnt, the
    // layers change from their estimated plans to them.
    void replan();
    const DriftTracker& drift() const { return drift_; }
    std::size_t window() const { return w_; }
    bool searching() const { return searching_; }
    std::optional<std::size_t> found() const { return found_; }
    float cycles() const { return cycles_; }
    bool sweep_mode() const { return sweep_mode_; }
    std::size_t processed() const { return processed_; }

private:
    using Instant = std::chrono::nanoseconds;

    void compute_window();
    void reset_layers(std::size_t d);
    void restart_accumulation() { accum_clock_ = clock_.now(); }
    void rebuild(bool single, std::size_t period, const GenParams& g);
    void capture(Cmd::Capture& c);
    void delay_search();
    void drift_step();
    void keep_in_step();
    void publish(SharedSnapshot& snapshot, bool new_frame);
    // The merged grid values of the layers (or accumulators) with the
    // calibration; with cycles on, the first one's impulse response too.
    std::vector<tf::Triple> merged(bool accumulated, std::vector<float>* first_ir);
    const std::vector<std::vector<bool>>& merge_reads();
    // The first `count` bins (at most n/2) of layer l or its accumulator, in bins_.
    std::span<const tf::Triple> bins_of(std::size_t l, bool accumulated, std::size_t count);
    // The impulse response of layer l or its accumulator, into out.
    void impulse_of(std::size_t l, bool accumulated, std::vector<float>& out);

    Params params_;
    float fs_;
    std::uint32_t rate_;
    bool output_open_;
    std::shared_ptr<generator::SharedParams> gen_;
    Clock& clock_;
    Signal signal_;

    LayerSet set_;
    bool sweep_mode_ = false;
    std::size_t period_ = 0;
    std::size_t w_ = 0;
    std::vector<std::vector<bool>> reads_;  // per layer and grid point: the merge reads it
    std::vector<float> window_power_;       // per layer: sum of the squared window
    std::vector<std::size_t> bins_read_;    // per layer: the bins the merge's grid points read
    // Work areas of the display data, kept across passes.
    std::vector<tf::Triple> bins_;
    std::vector<tf::Complex> spectrum_;
    std::vector<float> ir_;
    std::vector<float> ir_work_;

    Ring mic_ring_;
    Ring ref_ring_;
    std::size_t paired_ = 0;
    bool pairing_done_ = false;
    std::size_t silent_run_ = 0;
    std::vector<std::int64_t> leads_;          // ring length differences of the last passes
    std::optional<std::int64_t> lead_base_;    // their median while in step
    std::size_t processed_ = 0;
    std::vector<std::size_t> frames_;  // per layer, this pass

    bool searching_ = false;
    bool search_started_ = false;
    std::optional<std::size_t> found_;
    float best_conf_ = 0.0f;
    DriftTracker drift_;

    float cycles_ = 0.0f;
    bool cycles_changed_ = false;
    bool accumulate_ = false;
    Instant accum_clock_{0};

    std::optional<std::pair<std::string, Instant>> transient_;
    std::optional<std::pair<std::string, Instant>> clip_;
    std::optional<std::string> rate_message_;
    float mean_conf_ = 0.0f;
    Instant search_timer_{0};
    Instant drift_timer_{0};
    // Dropouts: the total shown, and the counts not yet logged (a line at
    // most every 10 s, so that a struggling machine does not flood the log).
    std::uint64_t dropouts_ = 0;
    std::uint64_t xruns_unlogged_ = 0;
    std::uint64_t missed_unlogged_ = 0;
    std::optional<Instant> dropouts_logged_;
};

}  // namespace engine::analyzer
