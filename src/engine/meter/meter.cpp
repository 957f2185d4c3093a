#include "engine/meter/meter.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "base/cast.h"
#include "base/log.h"
#include "engine/audio/capture.h"

namespace engine::meter {

namespace {

constexpr const char* TARGET = "Veltrum::engine::meter";
constexpr std::size_t RING_MAX = 3600;
constexpr float NEG_INF = -std::numeric_limits<float>::infinity();

float sane_decay(float v) { return std::isnan(v) ? 0.0f : std::fmax(v, 0.0f); }

float power_db(float p) { return 10.0f * std::log10(std::fmax(p, 1e-12f)); }

// 10 log10 of the summed powers of levels given in dB (plus a weighting per point).
float sum_db(std::span<const float> levels, std::span<const float> weight) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const float w = weight.empty() ? 0.0f : weight[i];
        sum += std::pow(10.0f, (levels[i] + w) / 10.0f);
    }
    return power_db(sum);
}

}  // namespace

float tau_of(Response r) {
    const auto code = static_cast<std::size_t>(r);
    return code < 3 ? RESPONSE_TAU[code] : RESPONSE_TAU[0];
}

Ended::~Ended() {
    std::lock_guard lk(snap_->mu);
    MeterSnapshot& s = snap_->value;
    if (s.running) {
        s.warn = true;
        s.running = false;
        s.ended = true;
        s.status = "Meter stopped";
    }
}

// ---------------------------------------------------------------- signal path

struct Dsp::Fft {
    tf::plan::FftHandle plan;
    std::vector<tf::Complex> buf;
};

std::size_t Dsp::fft_size_of(std::size_t requested) {
    return std::clamp<std::size_t>(requested, 1024, 65536);
}

Dsp::Dsp(const Params& p, float fs)
    : n_(fft_size_of(p.fft_size)),
      hop_(n_ / 4),
      fs_(fs),
      fft_(std::make_unique<Fft>()),
      max_z_(NEG_INF),
      max_a_(NEG_INF),
      max_c_(NEG_INF),
      max_leq_short_(NEG_INF),
      max_leq_long_(NEG_INF),
      tau_(tau_of(p.response)),
      decay_(sane_decay(p.peak_decay)),
      leq_short_(p.leq_windows.first),
      leq_long_(p.leq_windows.second) {
    fft_->plan = tf::plan::PLANNER.plan_fft_forward(n_);
    fft_->buf.assign(n_, tf::Complex(0.0f, 0.0f));

    // Periodic Hann window; K turns a band's summed bin power into mean square.
    window_.resize(n_);
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
        window_[i] = 0.5f - 0.5f * std::cos(static_cast<float>(i) * 6.2831855f / static_cast<float>(n_));
        sum_sq += static_cast<double>(window_[i]) * window_[i];
    }
    k_ = static_cast<float>(sum_sq * static_cast<double>(n_) * 0.5);

    frame_.assign(n_, 0.0f);
    queue_.reserve(2 * n_);
    power_.assign(n_ / 2, 0.0f);
    rta_.assign(tf::GRID_POINTS, 0.0f);
    spl_.assign(tf::GRID_POINTS, 0.0f);
    held_.assign(tf::GRID_POINTS, 0.0f);
    cal_.assign(tf::GRID_POINTS, 0.0f);
    for (std::size_t i = 0; i < std::min(p.mic_cal.size(), tf::GRID_POINTS); ++i) cal_[i] = p.mic_cal[i];
    const tf::Grid& f = tf::point_freq();
    weight_a_.resize(tf::GRID_POINTS);
    weight_c_.resize(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        weight_a_[i] = tf::a_weighting_db(f[i]);
        weight_c_[i] = tf::c_weighting_db(f[i]);
    }
    ring_.reserve(RING_MAX + 1);
}

Dsp::~Dsp() = default;

void Dsp::apply(const Cmd& cmd) {
    if (std::holds_alternative<Cmd::Reset>(cmd.v)) {
        ring_.clear();
        energy_ = 0.0;
        count_now_ = 0;
        total_ = 0;
        max_z_ = max_a_ = max_c_ = max_leq_short_ = max_leq_long_ = NEG_INF;
        std::fill(held_.begin(), held_.end(), 0.0f);
    } else if (const auto* r = std::get_if<Cmd::SetResponse>(&cmd.v)) {
        tau_ = tau_of(r->response);
    } else if (const auto* w = std::get_if<Cmd::SetLeqWindows>(&cmd.v)) {
        leq_short_ = w->short_secs;
        leq_long_ = w->long_secs;
    } else if (const auto* d = std::get_if<Cmd::SetPeakDecay>(&cmd.v)) {
        decay_ = sane_decay(d->db_per_sec);
    }
}

std::size_t Dsp::push(std::span<const float> samples) {
    queue_.insert(queue_.end(), samples.begin(), samples.end());
    std::size_t ran = 0;
    while (queue_.size() - queue_head_ >= hop_) {
        std::memmove(frame_.data(), frame_.data() + hop_, (n_ - hop_) * sizeof(float));
        std::memcpy(frame_.data() + (n_ - hop_), queue_.data() + queue_head_, hop_ * sizeof(float));
        queue_head_ += hop_;
        const bool full = fill_ + hop_ >= n_;
        fill_ = std::min(fill_ + hop_, n_);
        if (full) {
            analyse();
            ++ran;
        }
    }
    // Keep the fewer than H samples left at the front (no allocation: the
    // capacity stays).
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queue_head_));
    queue_head_ = 0;
    return ran;
}

void Dsp::analyse() {
    std::vector<tf::Complex>& x = fft_->buf;
    for (std::size_t i = 0; i < n_; ++i) x[i] = tf::Complex(window_[i] * frame_[i], 0.0f);
    fft_->plan->process(x);
    for (std::size_t k = 0; k < n_ / 2; ++k) power_[k] = x[k].real() * x[k].real() + x[k].imag() * x[k].imag();

    const std::vector<float> b = tf::band_powers(n_, power_, fs_);

    const float h = static_cast<float>(hop_);
    float a = 1.0f;
    float a1 = 1.0f;
    if (count_ > 0) {
        a = 1.0f - std::exp(-h / (tau_ * fs_));
        a1 = 1.0f - std::exp(-h / fs_);
    }
    const float g = std::pow(10.0f, (-decay_ * h) / fs_ / 10.0f);
    std::vector<float> level(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        const float u = b[i] / k_;
        rta_[i] += a * (u - rta_[i]);
        spl_[i] += a1 * (u - spl_[i]);
        held_[i] = std::fmax(held_[i] * g, rta_[i]);
        level[i] = power_db(u) - cal_[i];
    }
    const float la = sum_db(level, weight_a_);

    energy_ += std::pow(10.0, static_cast<double>(la) / 10.0);
    count_now_ += 1;
    total_ += hop_;
    const std::size_t second = std::max<std::size_t>(base::saturating_cast<std::size_t>(fs_), 1);
    if (total_ >= second) {
        ring_.push_back(Second{energy_, count_now_});
        if (ring_.size() > RING_MAX) ring_.erase(ring_.begin());
        energy_ = 0.0;
        count_now_ = 0;
        total_ -= second;
    }
    ++count_;
}

MeterSnapshot Dsp::publish() {
    const tf::Grid& f = tf::point_freq();
    std::vector<float> spl(tf::GRID_POINTS);
    MeterSnapshot out;
    out.rta.resize(tf::GRID_POINTS);
    out.rta_peak.resize(tf::GRID_POINTS);
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        out.rta[i] = tf::Point{.hz = f[i], .db = power_db(rta_[i]) - cal_[i], .deg = 0.0f, .conf = 1.0f};
        out.rta_peak[i] = tf::Point{.hz = f[i], .db = power_db(held_[i]) - cal_[i], .deg = 0.0f, .conf = 1.0f};
        spl[i] = power_db(spl_[i]) - cal_[i];
    }
    out.z_db = sum_db(spl, {});
    out.a_db = sum_db(spl, weight_a_);
    out.c_db = sum_db(spl, weight_c_);

    const auto leq = [&](std::uint32_t window) {
        double e = energy_;
        std::uint64_t n = count_now_;
        const std::size_t take = std::min<std::size_t>(window, ring_.size());
        for (std::size_t j = ring_.size() - take; j < ring_.size(); ++j) {
            e += ring_[j].energy;
            n += ring_[j].count;
        }
        return static_cast<float>(10.0 * std::log10(std::fmax(e / static_cast<double>(std::max<std::uint64_t>(n, 1)), 1e-12)));
    };
    out.leq_short_db = leq(leq_short_);
    out.leq_long_db = leq(leq_long_);

    if (static_cast<double>(count_) * static_cast<double>(hop_) / static_cast<double>(fs_) >= 1.0) {
        max_z_ = std::fmax(max_z_, out.z_db);
        max_a_ = std::fmax(max_a_, out.a_db);
        max_c_ = std::fmax(max_c_, out.c_db);
    }
    // A window longer than the history is full once the history is.
    const auto full = [&](std::uint32_t window) { return ring_.size() >= std::min<std::size_t>(window, RING_MAX); };
    if (full(leq_short_)) max_leq_short_ = std::fmax(max_leq_short_, out.leq_short_db);
    if (full(leq_long_)) max_leq_long_ = std::fmax(max_leq_long_, out.leq_long_db);
    out.max_z_db = max_z_;
    out.max_a_db = max_a_;
    out.max_c_db = max_c_;
    out.max_leq_short_db = max_leq_short_;
    out.max_leq_long_db = max_leq_long_;
    out.leq_secs = static_cast<std::uint32_t>(std::min<std::size_t>(leq_long_, ring_.size()));

    double sq = 0.0;
    for (float v : frame_) sq += static_cast<double>(v) * v;
    const float rms = static_cast<float>(std::sqrt(sq / static_cast<double>(n_)));
    out.rms_dbfs = 20.0f * std::log10(std::fmax(rms, 1e-9f));
    out.frames = count_;
    return out;
}

// ---------------------------------------------------------------- worker

namespace {

template <class F>
void with_snapshot(SharedSnapshot& snap, F&& f) {
    std::lock_guard lk(snap.mu);
    f(snap.value);
}

void mark_lost(SharedSnapshot& snap) {
    with_snapshot(snap, [](MeterSnapshot& s) {
        s.status = "Input device lost";
        s.warn = true;
        s.running = false;
        s.ended = true;
    });
}

}  // namespace

void run(Params params, base::Receiver<Cmd> rx, std::shared_ptr<SharedSnapshot> snap,
         std::shared_ptr<Clock> clock) {
    Ended guard(snap);
    if (!clock) clock = system_clock();

    auto opened = capture::open(params.host, params.device, params.mic_channel, std::nullopt, params.sample_rate);
    if (!opened) {
        const std::string& err = opened.error();
        base::log::error(TARGET, fmt::format("meter input open failed: {}", err));
        with_snapshot(*snap, [&](MeterSnapshot& s) {
            s.status = fmt::format("Cannot open input: {}", err);
            s.warn = true;
            s.running = false;
        });
        return;
    }
    std::shared_ptr<capture::Shared> shared = opened->shared;
    const std::uint32_t rate = opened->rate;
    const float fs = static_cast<float>(rate);

    Dsp dsp(params, fs);
    // Double buffer of the microphone list: handed to the capture in exchange
    // for the samples it collected.
    std::vector<float> spare;
    spare.reserve(static_cast<std::size_t>(rate) * 11);

    base::log::info(TARGET, "meter started",
                    {{"fs", fs}, {"n", dsp.n()}, {"hop", dsp.hop()}});
    with_snapshot(*snap, [&](MeterSnapshot& s) {
        s.sample_rate = rate;
        s.hop_secs = static_cast<float>(dsp.hop()) / fs;
        s.status = "Metering";
    });

    std::optional<std::chrono::nanoseconds> last_clip;
    for (;;) {
        // All queued commands are applied before any audio.
        bool stop = false;
        for (;;) {
            auto got = rx.try_recv();
            if (got.status == base::RecvStatus::Empty) break;
            if (got.status == base::RecvStatus::Closed || std::holds_alternative<Cmd::Stop>(got.value->v)) {
                stop = true;
                break;
            }
            dsp.apply(*got.value);
        }
        if (stop) {
            with_snapshot(*snap, [](MeterSnapshot& s) {
                s.status = "Stopped";
                s.running = false;
                s.warn = false;
            });
            return;
        }

        clock->sleep(std::chrono::milliseconds(10));

        if (shared->failed.load()) {
            mark_lost(*snap);
            return;
        }
        {
            std::unique_lock lk(shared->lock);
            if (shared->lock.poisoned()) {
                // Lock order: the capture's lock, then the snapshot's.
                mark_lost(*snap);
                return;
            }
            shared->reference.clear();
            spare.clear();
            std::swap(shared->mic, spare);
        }
        shared->dropped.exchange(0);
        const std::uint32_t peak_bits = shared->mic_peak.exchange(0);
        shared->ref_peak.exchange(0);
        float peak = 0.0f;
        std::memcpy(&peak, &peak_bits, sizeof peak);

        const std::chrono::nanoseconds now = clock->now();
        if (peak >= 0.999f) last_clip = now;
        const bool clipping = last_clip && now - *last_clip < std::chrono::seconds(2);

        // `spare` now holds the collected samples; it goes back next time.
        const std::size_t ran = dsp.push(spare);
        if (ran > 0) {
            MeterSnapshot pub = dsp.publish();
            with_snapshot(*snap, [&](MeterSnapshot& s) {
                s.rta = std::move(pub.rta);
                s.rta_peak = std::move(pub.rta_peak);
                s.z_db = pub.z_db;
                s.a_db = pub.a_db;
                s.c_db = pub.c_db;
                s.leq_short_db = pub.leq_short_db;
                s.leq_long_db = pub.leq_long_db;
                s.leq_secs = pub.leq_secs;
                s.max_z_db = pub.max_z_db;
                s.max_a_db = pub.max_a_db;
                s.max_c_db = pub.max_c_db;
                s.max_leq_short_db = pub.max_leq_short_db;
                s.max_leq_long_db = pub.max_leq_long_db;
                s.rms_dbfs = pub.rms_dbfs;
                s.frames = pub.frames;
            });
        }
        with_snapshot(*snap, [&](MeterSnapshot& s) {
            s.clipping = clipping;
            s.warn = clipping;
            s.status = clipping ? "Microphone clipping" : "Metering";
        });
    }
}

// ---------------------------------------------------------------- handle

Meter Meter::start(Params params, std::shared_ptr<Clock> clock) {
    auto [tx, rx] = base::channel<Cmd>();
    Meter m;
    m.tx_ = std::move(tx);
    m.snap_ = std::make_shared<SharedSnapshot>();
    m.snap_->value.status = "Opening input";
    m.snap_->value.running = true;
    try {
        m.thread_.emplace([params = std::move(params), rx = std::move(rx), snap = m.snap_,
                           clock = std::move(clock)]() mutable {
            pthread_setname_np(pthread_self(), "meter");
            try {
                run(std::move(params), std::move(rx), std::move(snap), std::move(clock));
            } catch (const std::exception& e) {
                base::log::error(TARGET, fmt::format("meter thread failed: {}", e.what()),
                                 {{"at", "engine::meter::run"}});
            } catch (...) {
                base::log::error(TARGET, "meter thread failed: unknown exception", {{"at", "engine::meter::run"}});
            }
        });
    } catch (const std::system_error& e) {
        base::log::error(TARGET, "spawn meter thread", {{"err", e.what()}});
        std::abort();
    }
    return m;
}

Meter& Meter::operator=(Meter&& o) noexcept {
    if (this != &o) {
        stop();
        tx_ = std::move(o.tx_);
        snap_ = std::move(o.snap_);
        thread_ = std::move(o.thread_);
        o.thread_.reset();
    }
    return *this;
}

Meter::~Meter() { stop(); }

void Meter::stop() {
    if (thread_ && thread_->joinable()) {
        tx_.send(Cmd{Cmd::Stop{}});  // a failed send is ignored
        thread_->join();
    }
    thread_.reset();
    tx_ = base::Sender<Cmd>();
    snap_.reset();
}

MeterSnapshot Meter::snapshot() const {
    if (!snap_) return MeterSnapshot{};
    std::lock_guard lk(snap_->mu);
    return snap_->value;
}

}  // namespace engine::meter
