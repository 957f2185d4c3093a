// One run of the analyzer: what a pass does with the audio it has taken.
#include "engine/analyzer/internal/run_state.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/cast.h"
#include "base/log.h"

namespace engine::analyzer {

using namespace std::chrono_literals;

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

float level_db(float rms) {
    if (std::isnan(rms)) return -180.0f;
    return 20.0f * std::log10(std::fmax(rms, 1e-9f));
}

std::size_t period_of(Signal s, float sweep_secs, float fs) {
    if (s == Signal::Chirp) return base::saturating_cast<std::size_t>(fs * 0.5f);
    return base::saturating_cast<std::size_t>(fs * std::fmax(sweep_secs, 0.1f));
}

trace::LayerBins layer_bins(const tf::TransferFunction& l) {
    trace::LayerBins out{l.n, std::vector<tf::Triple>(l.n / 2)};
    l.bins(out.bins);
    return out;
}

trace::LayerBins accumulator_bins(const tf::Accumulator& a) {
    trace::LayerBins out{a.n, std::vector<tf::Triple>(a.n / 2)};
    a.bins(std::span<tf::Triple>(out.bins).first(std::min(out.bins.size(), a.weight.size())));
    return out;
}

bool has_weight(const tf::Accumulator& a) {
    return std::any_of(a.weight.begin(), a.weight.end(), [](float w) { return w > 0.0f; });
}

float mean_confidence(const std::vector<tf::Point>& points) {
    float sum = 0.0f;
    std::size_t n = 0;
    for (const tf::Point& p : points) {
        if (p.hz >= 40.0f && p.hz <= 16000.0f) {
            sum += p.conf;
            ++n;
        }
    }
    return n > 0 ? sum / static_cast<float>(n) : 0.0f;
}

}  // namespace

// ---------------------------------------------------------------- ring

void Ring::pop_front(std::size_t count) {
    head_ += std::min(count, size());
    if (head_ == buf_.size()) {
        clear();
    } else if (head_ >= 65536 && head_ * 2 >= buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

// ---------------------------------------------------------------- status line

std::pair<std::string, bool> status_line(const StatusInputs& in) {
    if (in.rate_message) return {*in.rate_message, true};
    if (in.ref_internal && in.signal == Signal::Off) return {"Generator is off, pick a signal", true};
    if (in.clip) return {*in.clip, true};
    if (in.transient) return {*in.transient, false};
    if (in.baseline && std::abs(*in.baseline) >= 64 && !in.search_started)
        return {fmt::format("Arrival is {:+.1f} ms from the delay; Find delay locks on it",
                            static_cast<float>(*in.baseline) / in.fs * 1000.0f),
                true};
    if (std::abs(in.clock_drift) >= 5.0f)
        return {fmt::format("Clocks drift {:+.0f} ppm: input and output are not on one clock", in.clock_drift), true};
    if (in.count >= 1 && !in.ref_internal && !(in.ref_db >= -60.0f))
        return {"No reference signal on the reference channel", true};
    if (in.count >= 1 && (in.mic_db < -80.0f || (in.mic_db < -60.0f && in.mic_db < in.ref_db - 20.0f)))
        return {"No microphone signal", true};
    if (in.searching) return {"Finding delay", false};
    if (in.off_direct) return {"Delay is not on the direct sound, find the delay", true};
    if (in.count < in.wanted) return {fmt::format("Averaging {} of {}", in.count, in.wanted), false};
    if (in.accumulate) {
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(in.accumulating_for).count();
        const auto whole = secs < 0 ? 0 : secs;
        return {fmt::format("Accumulating {}:{:02}, conf {:.2f}, drift {:+.2f} ms", whole / 60, whole % 60,
                            in.mean_conf, in.shift_ms),
                false};
    }
    return {fmt::format("Live, coh {:.2f}", in.mean_conf), false};
}

// ---------------------------------------------------------------- state

RunState::RunState(const Params& params, float fs, bool output_open, std::shared_ptr<generator::SharedParams> gen,
                 Clock& clock, std::optional<std::string> rate_message)
    : params_(params),
      fs_(fs),
      rate_(base::saturating_cast<std::uint32_t>(fs)),
      output_open_(output_open),
      gen_(std::move(gen)),
      clock_(clock),
      signal_(params.gen.signal),
      rate_message_(std::move(rate_message)) {
    const Signal s = params.gen.signal;
    sweep_mode_ = output_open && (s == Signal::Chirp || s == Signal::Sweep);
    period_ = sweep_mode_ ? period_of(s, params.gen.sweep_secs, fs) : 0;
    set_ = build_layers(fs, sweep_mode_, period_, s, params.gen.sweep_secs, params.average_secs,
                        params.coherence_threshold);
    compute_window();
    const float ms = std::fmax(params.delay_ms, 0.0f);  // NaN gives 0
    reset_layers(base::saturating_cast<std::size_t>(std::round(fs * (ms / 1000.0f))));
    const Instant now = clock_.now();
    accum_clock_ = now;
    search_timer_ = now;
    drift_timer_ = now;
    accumulate_ = params.accumulate;
    cycles_ = std::fmax(params.cycles, 0.0f);
}

void RunState::compute_window() {
    const std::size_t w0 = 65536 * rate_factor(fs_);
    if (sweep_mode_) {
        const std::size_t hi = std::max(base::saturating_cast<std::size_t>(fs_ * 4.5f), w0);
        w_ = std::clamp(period_ + base::saturating_cast<std::size_t>(fs_ * 0.5f), w0, hi);
    } else {
        w_ = w0;
    }
    reads_.clear();
    window_power_.clear();
    for (const tf::TransferFunction& l : set_.layers) {
        double s = 0.0;
        for (float v : l.window) s += static_cast<double>(v) * v;
        window_power_.push_back(static_cast<float>(s));
    }
    frames_.assign(set_.layers.size(), 0);
}

void RunState::replan() {
    tf::plan::PLANNER.drop_estimated();
    for (tf::TransferFunction& l : set_.layers) l.fft = tf::plan::real_forward(l.n);
}

void RunState::reset_layers(std::size_t d) {
    for (tf::TransferFunction& l : set_.layers) l.reset(d);
}

void RunState::rebuild(bool single, std::size_t period, const GenParams& g) {
    const std::size_t d = set_.layers.empty() ? 0 : set_.layers.front().delay;
    set_ = build_layers(fs_, single, period, g.signal, g.sweep_secs, params_.average_secs,
                        params_.coherence_threshold);
    sweep_mode_ = single;
    period_ = single ? period : 0;
    compute_window();
    reset_layers(d);
    restart_accumulation();
    drift_.pending.reset();
}

void RunState::command(Cmd cmd) {
    std::visit(Overload{
                   [&](Cmd::FindDelay&) {
                       searching_ = true;
                       search_started_ = true;
                       found_.reset();
                       best_conf_ = 0.0f;
                   },
                   [&](Cmd::KeepDelay&) {
                       searching_ = false;
                       search_started_ = false;
                       found_.reset();
                   },
                   [&](Cmd::SetGenerator& c) {
                       const GenParams& g = c.params;
                       {
                           std::unique_lock lk(gen_->lock);
                           if (!gen_->lock.poisoned()) gen_->params = g;
                       }
                       signal_ = g.signal;
                       if (!output_open_) return;
                       const bool single = g.signal == Signal::Chirp || g.signal == Signal::Sweep;
                       const std::size_t period = single ? period_of(g.signal, g.sweep_secs, fs_) : 0;
                       if (single && sweep_mode_ && period == period_) {
                           set_.layers.front().harmonic_offsets = harmonic_offsets(fs_, g.signal, g.sweep_secs);
                       } else if (!single && !sweep_mode_) {
                           // already in four-layer mode
                       } else {
                           rebuild(single, period, g);
                       }
                   },
                   [&](Cmd::SetDelay& c) {
                       reset_layers(c.samples);
                       for (tf::Accumulator& a : set_.accumulators) a.clear();
                       restart_accumulation();
                       drift_.clear();
                       found_.reset();
                       searching_ = false;
                       search_started_ = false;
                       processed_ = 0;
                   },
                   [&](Cmd::SetAccumulate& c) {
                       accumulate_ = c.on;
                       restart_accumulation();
                   },
                   [&](Cmd::ClearAccumulated&) {
                       for (tf::Accumulator& a : set_.accumulators) a.clear();
                       restart_accumulation();
                   },
                   [&](Cmd::SetCycles& c) {
                       cycles_ = std::fmax(c.cycles, 0.0f);  // NaN gives 0
                       cycles_changed_ = true;
                   },
                   [&](Cmd::Capture& c) { capture(c); },
                   [&](Cmd::Stop&) {},
               },
               cmd.v);
}

void RunState::capture(Cmd::Capture& c) {
    std::vector<trace::LayerBins> layers;
    float gate;
    if (accumulate_ && !set_.accumulators.empty() && has_weight(set_.accumulators.front())) {
        for (const tf::Accumulator& a : set_.accumulators) layers.push_back(accumulator_bins(a));
        gate = 0.01f;
    } else {
        for (const tf::TransferFunction& l : set_.layers) layers.push_back(layer_bins(l));
        gate = params_.coherence_threshold;
    }
    const std::size_t count = std::min(layers.size(), set_.sizes.size());
    layers.resize(count);
    for (std::size_t i = 0; i < count; ++i) layers[i].n = set_.sizes[i];
    const std::size_t delay = set_.layers.empty() ? 0 : set_.layers.front().delay;
    trace::Trace t = trace::Trace::from_layers(std::move(c.name), rate_, delay, layers, params_.mic_cal, gate);
    c.reply.send(std::move(t));  // a closed reply channel drops the trace
    c.reply = base::Sender<trace::Trace>();
}

void RunState::delay_search() {
    search_timer_ = clock_.now();
    const auto r = tf::find_delay(mic_ring_.first(paired_), ref_ring_.first(paired_), fs_);
    if (!r) return;
    if (r->confidence > best_conf_) {
        best_conf_ = r->confidence;
        if (r->confidence > 6.0f) {
            found_ = r->delay;
            base::log::info(LOG_TARGET, "delay found", {{"lag", r->delay}, {"quality", r->confidence}});
        }
    }
}

void RunState::drift_step() {
    drift_timer_ = clock_.now();
    const std::size_t d = set_.layers.front().delay;
    const auto r = tf::find_delay(mic_ring_.first(paired_), ref_ring_.first(paired_), fs_);
    const std::optional<Action> action = drift_.step(r, d, fs_, processed_);
    if (!action) return;
    if (const auto* f = std::get_if<Action::Follow>(&action->v)) {
        base::log::info(LOG_TARGET, "lock followed a buffer jump",
                        {{"step", f->step}, {"delay", f->delay}, {"quality", r->confidence}});
        reset_layers(f->delay);
        for (tf::Accumulator& a : set_.accumulators) a.shift = 0;
        processed_ = 0;
        transient_ = std::make_pair(
            fmt::format("Lock moved {:+.1f} ms, followed", static_cast<float>(f->step) / fs_ * 1000.0f),
            clock_.now());
    } else if (const auto* dr = std::get_if<Action::Drift>(&action->v)) {
        for (tf::Accumulator& a : set_.accumulators) a.shift = dr->median;
    }
    const auto d_now = static_cast<std::int64_t>(set_.layers.front().delay);
    const float offset_ms = static_cast<float>(static_cast<std::int64_t>(r->delay) - d_now) / fs_ * 1000.0f;
    base::log::info(LOG_TARGET, "drift estimate",
                    {{"offset_ms", offset_ms},
                     {"quality", r->confidence},
                     {"action", action->text()},
                     {"clock_ppm", drift_.clock_drift}});
}

// With the reference taken from the output, the two streams come from two
// callbacks that the audio server may run late or skip on a busy machine: a
// skipped cycle leaves one stream a block short of the other for good, and
// every pair after it misaligned. The difference of the two rings' lengths
// only wobbles by a block around its value at pairing while both keep step;
// when its median over the last passes moves away from that value, the short
// stream is padded with silence, which puts the pairs back in step, and the
// averages restart so that no frame fed meanwhile stays in them.
void RunState::keep_in_step() {
    constexpr std::size_t WINDOW = 5;  // passes, about 100 ms
    constexpr std::int64_t MIN_STEP = 16;
    const auto lead = static_cast<std::int64_t>(ref_ring_.size()) - static_cast<std::int64_t>(mic_ring_.size());
    leads_.push_back(lead);
    if (leads_.size() > WINDOW) leads_.erase(leads_.begin());
    if (leads_.size() < WINDOW) return;
    std::vector<std::int64_t> sorted = leads_;
    std::nth_element(sorted.begin(), sorted.begin() + WINDOW / 2, sorted.end());
    const std::int64_t median = sorted[WINDOW / 2];
    if (!lead_base_) {
        lead_base_ = median;
        return;
    }
    const std::int64_t step = median - *lead_base_;
    if (step > -MIN_STEP && step < MIN_STEP) return;
    const std::vector<float> silence(static_cast<std::size_t>(step > 0 ? step : -step), 0.0f);
    if (step > 0)
        mic_ring_.append(silence);
    else
        ref_ring_.append(silence);
    for (std::int64_t& l : leads_) l -= step;
    if (!set_.layers.empty()) reset_layers(set_.layers.front().delay);
    base::log::info(LOG_TARGET, "streams lost step, realigned",
                    {{"step", step}, {"step_ms", static_cast<float>(step) / fs_ * 1000.0f}});
}

void RunState::pass(PassInput in, SharedSnapshot& snapshot) {
    std::vector<float>& mic = in.mic;
    std::vector<float>& ref = in.reference;
    if (in.dropped != 0) base::log::info(LOG_TARGET, "input callback dropped samples", {{"dropped", in.dropped}});
    dropouts_ += in.xruns + in.missed;
    xruns_unlogged_ += in.xruns;
    missed_unlogged_ += in.missed;
    if ((xruns_unlogged_ != 0 || missed_unlogged_ != 0) &&
        (!dropouts_logged_ || clock_.now() - *dropouts_logged_ >= 10s)) {
        base::log::warn(LOG_TARGET, "audio dropouts", {{"xruns", xruns_unlogged_}, {"missed_blocks", missed_unlogged_}});
        xruns_unlogged_ = 0;
        missed_unlogged_ = 0;
        dropouts_logged_ = clock_.now();
    }
    if (in.tap_dropped) {
        // With a tap the two streams come from two callbacks: what one of
        // them lost is replaced by silence so that they stay aligned.
        if (in.dropped != 0) mic.insert(mic.begin(), in.dropped, 0.0f);
        if (*in.tap_dropped != 0) {
            base::log::info(LOG_TARGET, "output tap dropped samples", {{"tap_dropped", *in.tap_dropped}});
            ref.insert(ref.begin(), *in.tap_dropped, 0.0f);
        }
    }

    // Gap watch.
    if (std::all_of(mic.begin(), mic.end(), [](float v) { return v == 0.0f; })) {
        silent_run_ += mic.size();
    } else if (silent_run_ != 0) {
        base::log::info(LOG_TARGET, "input gap",
                        {{"gap_ms", static_cast<float>(silent_run_) / fs_ * 1000.0f}});
        silent_run_ = 0;
    }

    mic_ring_.append(mic);
    ref_ring_.append(ref);

    // First-sample alignment.
    if (!pairing_done_ && !mic_ring_.empty() && !ref_ring_.empty()) {
        const auto lead = static_cast<std::int64_t>(ref_ring_.size()) - static_cast<std::int64_t>(mic_ring_.size());
        if (lead > 0)
            ref_ring_.pop_front(static_cast<std::size_t>(lead));
        else
            mic_ring_.pop_front(static_cast<std::size_t>(-lead));
        base::log::info(LOG_TARGET, "reference ahead of the mic at the first samples, dropped",
                        {{"lead", lead}, {"lead_ms", static_cast<float>(lead) / fs_ * 1000.0f}});
        pairing_done_ = true;
        leads_.clear();
        lead_base_.reset();
    }

    if (in.tap_dropped && pairing_done_) keep_in_step();

    // New paired samples, fed to the layers straight from the rings (before
    // the trim below moves them).
    std::size_t m = std::min(mic_ring_.size(), ref_ring_.size());
    if (m > paired_) {
        const auto new_mic = mic_ring_.range(paired_, m);
        const auto new_ref = ref_ring_.range(paired_, m);
        for (std::size_t i = 0; i < set_.layers.size(); ++i) frames_[i] = set_.layers[i].feed(new_mic, new_ref);
    } else {
        std::fill(frames_.begin(), frames_.end(), 0);
    }
    processed_ += mic.size();

    // Trim to the search window.
    const std::size_t longer = std::max(mic_ring_.size(), ref_ring_.size());
    if (longer > w_) {
        const std::size_t excess = longer - w_;
        const std::size_t shorter = std::min(mic_ring_.size(), ref_ring_.size());
        if (shorter < excess) {
            mic_ring_.clear();
            ref_ring_.clear();
            base::log::info(LOG_TARGET, "one stream stood still for the whole window, pairing again");
            pairing_done_ = false;
            leads_.clear();
            lead_base_.reset();
            m = 0;
        } else {
            mic_ring_.pop_front(excess);
            ref_ring_.pop_front(excess);
            m = m > excess ? m - excess : 0;
        }
    }
    paired_ = m;

    // A sine carries no delay information.
    bool sine_stop = false;
    if (output_open_ && signal_ == Signal::Sine && searching_) {
        transient_ = std::make_pair(std::string("Sine carries no delay information; use noise or a sweep"),
                                    clock_.now());
        searching_ = false;
        search_started_ = false;
        sine_stop = true;
    }

    const bool full = std::max(mic_ring_.size(), ref_ring_.size()) >= w_;
    if (searching_ && !sine_stop && full && clock_.now() - search_timer_ > 1s) delay_search();

    if (accumulate_ && !drift_.pending) {
        const std::size_t count = std::min(set_.accumulators.size(), set_.layers.size());
        for (std::size_t i = 0; i < count; ++i) {
            const tf::TransferFunction& l = set_.layers[i];
            if (l.count >= l.averages && frames_[i] > 0)
                set_.accumulators[i].add(l, static_cast<std::uint32_t>(std::min<std::size_t>(frames_[i], UINT32_MAX)));
        }
    }

    const bool sine_out = output_open_ && signal_ == Signal::Sine;
    if (set_.layers.front().delay != 0 && !sine_out && full && clock_.now() - drift_timer_ > 2s) drift_step();

    const Instant now = clock_.now();
    if (transient_ && now - transient_->second > 10s) transient_.reset();

    // Clipping: the reference takes precedence.
    if (in.ref_peak >= 0.999f)
        clip_ = std::make_pair(std::string("Reference clipping"), now);
    else if (in.mic_peak >= 0.999f)
        clip_ = std::make_pair(std::string("Microphone clipping"), now);
    if (clip_ && now - clip_->second > 2s) clip_.reset();

    const tf::TransferFunction& longest = set_.layers.front();
    const bool new_frame = frames_.front() > 0 || (cycles_changed_ && longest.count >= 1);
    publish(snapshot, new_frame);
    cycles_changed_ = false;
}

const std::vector<std::vector<bool>>& RunState::merge_reads() {
    if (reads_.size() == set_.layers.size()) return reads_;
    const std::size_t count = set_.layers.size();
    reads_.assign(count, std::vector<bool>(tf::GRID_POINTS, true));
    for (std::size_t k = 0; k < count && count > 1; ++k) {
        std::vector<std::vector<tf::Triple>> probe(count, std::vector<tf::Triple>(tf::GRID_POINTS));
        probe[k].assign(tf::GRID_POINTS, tf::Triple{1.0f, 0.0f, 0.0f});
        const auto m = tf::merge_cal(probe, {}, fs_);
        for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) reads_[k][i] = m[i].re != 0.0f;
    }
    bins_read_.clear();
    for (std::size_t k = 0; k < count; ++k) bins_read_.push_back(trace::grid_bins_read(set_.layers[k].n, fs_, reads_[k]));
    return reads_;
}

std::span<const tf::Triple> RunState::bins_of(std::size_t l, bool accumulated, std::size_t count) {
    const tf::TransferFunction& layer = set_.layers[l];
    count = std::min(count, layer.n / 2);
    if (bins_.size() < count) bins_.resize(count);
    const std::span<tf::Triple> out(bins_.data(), count);
    if (accumulated)
        set_.accumulators[l].bins(out);
    else
        layer.bins(out);
    return out;
}

void RunState::impulse_of(std::size_t l, bool accumulated, std::vector<float>& out) {
    const std::size_t n = set_.layers[l].n;
    spectrum_.resize(n / 2 + 1);
    const std::span<tf::Complex> x(spectrum_);
    if (accumulated)
        set_.accumulators[l].transfer(x.first(n / 2));
    else
        set_.layers[l].transfer(x.first(n / 2));
    trace::impulse_of_transfer(n, x, out);
}

std::vector<tf::Triple> RunState::merged(bool accumulated, std::vector<float>* first_ir) {
    const std::size_t count =
        accumulated ? std::min(set_.accumulators.size(), set_.layers.size()) : set_.layers.size();
    std::vector<std::vector<tf::Triple>> grids;
    grids.reserve(count);
    const auto& reads = merge_reads();
    const tf::Grid& f = tf::point_freq();
    for (std::size_t l = 0; l < count; ++l) {
        const std::size_t n = accumulated ? set_.accumulators[l].n : set_.layers[l].n;
        // Only the bins the grid points the merge reads need.
        std::vector<tf::Triple> g = trace::grid_of_bins(n, fs_, bins_of(l, accumulated, bins_read_[l]), reads[l]);
        if (cycles_ > 0.0f) {
            std::vector<float>& ir = l == 0 && first_ir != nullptr ? *first_ir : ir_work_;
            impulse_of(l, accumulated, ir);
            for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
                // A value the merge gives no weight is not computed.
                if (!reads[l][i]) continue;
                const tf::Complex v = tf::windowed_at(ir, fs_, f[i], cycles_);
                g[i].re = v.real();
                g[i].im = v.imag();
            }
        }
        grids.push_back(std::move(g));
    }
    return tf::merge_cal(grids, params_.mic_cal, fs_);
}

void RunState::publish(SharedSnapshot& snapshot, bool new_frame) {
    const tf::TransferFunction& longest = set_.layers.front();
    const float mic_db = level_db(longest.mic_rms);
    const float ref_db = level_db(longest.ref_rms);
    const Instant now = clock_.now();

    StatusInputs si;
    si.rate_message = rate_message_;
    si.ref_internal = params_.ref_internal;
    si.signal = signal_;
    if (clip_) si.clip = clip_->first;
    if (transient_) si.transient = transient_->first;
    si.baseline = drift_.baseline;
    si.search_started = search_started_;
    si.clock_drift = drift_.clock_drift;
    si.count = longest.count;
    si.wanted = longest.averages;
    si.mic_db = mic_db;
    si.ref_db = ref_db;
    si.searching = searching_;
    si.off_direct = longest.off_direct;
    si.accumulate = accumulate_;
    si.accumulating_for = now - accum_clock_;
    si.mean_conf = mean_conf_;
    si.shift_ms = set_.accumulators.empty()
                      ? 0.0f
                      : static_cast<float>(set_.accumulators.front().shift) / fs_ * 1000.0f;
    si.fs = fs_;
    auto [status, warn] = status_line(si);

    if (new_frame) {
        // Impulse response: the first accumulator once it holds data, else
        // the longest layer. With cycles on, the merge computes it.
        const bool from_acc = accumulate_ && !set_.accumulators.empty() && has_weight(set_.accumulators.front());
        ir_.clear();
        const std::vector<tf::Triple> live_merged = merged(false, from_acc ? nullptr : &ir_);
        std::vector<tf::Point> points = tf::points_of(live_merged);

        std::vector<tf::Point> acc_points;
        std::array<float, OCTAVE_BANDS> octaves{};
        std::vector<tf::Triple> acc_merged;
        if (accumulate_) {
            acc_merged = merged(true, from_acc ? &ir_ : nullptr);
            acc_points = tf::points_of(acc_merged);
            std::vector<float> conf(acc_merged.size());
            for (std::size_t i = 0; i < acc_merged.size(); ++i) conf[i] = acc_merged[i].conf;
            octaves = octave_confidence(conf);
        }
        if (ir_.empty()) impulse_of(0, from_acc, ir_);
        const std::vector<tf::Triple>& conf_src = from_acc ? acc_merged : live_merged;
        std::vector<float> conf(conf_src.size());
        for (std::size_t i = 0; i < conf_src.size(); ++i) conf[i] = conf_src[i].conf;
        tf::IrView view = tf::confident_ir_display(ir_, conf, fs_);
        const float span = view.span_ms;
        tf::IrDisplay& display = view.display;

        // Microphone spectrum on the grid.
        const std::vector<float> powers = tf::band_powers(longest.n, longest.syy, fs_);
        const float e = window_power_.front() * static_cast<float>(longest.n) * 0.5f;
        std::vector<tf::Point> spectrum(powers.size());
        const tf::Grid& f = tf::point_freq();
        for (std::size_t i = 0; i < powers.size() && i < tf::GRID_POINTS; ++i) {
            const float cal = i < params_.mic_cal.size() ? params_.mic_cal[i] : 0.0f;
            spectrum[i] = tf::Point{f[i], 10.0f * std::log10(std::fmax(powers[i] / e, 1e-12f)) - cal, 0.0f, 1.0f};
        }
        std::vector<std::pair<std::uint8_t, float>> harmonics = longest.harmonics;
        mean_conf_ = mean_confidence(accumulate_ ? acc_points : points);

        set(snapshot, [&](Snapshot& s) {
            s.points = std::move(points);
            s.ir = std::move(display.display);
            s.ir_span_ms = span;
            s.arrivals = std::move(display.arrivals);
            s.spectrum = std::move(spectrum);
            s.harmonics = std::move(harmonics);
            if (accumulate_) {
                s.accumulated = std::move(acc_points);
                s.octave_conf = octaves;
            }
        });
    }

    set(snapshot, [&](Snapshot& s) {
        s.accumulate = accumulate_;
        s.fft_size = set_.sizes.front();
        s.delay = longest.delay;
        s.found = found_;
        s.find_conf = best_conf_;
        s.averages = longest.count;
        s.dropouts = dropouts_;
        s.mic_db = mic_db;
        s.ref_db = ref_db;
        s.status = std::move(status);
        s.warn = warn;
    });
}

}  // namespace engine::analyzer
