// The analyzer thread and the window's handle of it.
#include <pthread.h>

#include <fmt/format.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "engine/analyzer/internal/run_state.h"
#include "engine/audio/capture.h"
#include "engine/audio/generator.h"

namespace engine::analyzer {

using namespace std::chrono_literals;

namespace {

float take_peak(std::atomic<std::uint32_t>& bits) {
    return std::bit_cast<float>(bits.exchange(0));
}

void fail_open(SharedSnapshot& snap, std::string_view what, const std::string& error) {
    base::log::error(LOG_TARGET, fmt::format("{} open failed: {}", what, error));
    set(snap, [&](Snapshot& s) {
        s.status = fmt::format("Cannot open {}: {}", what, error);
        s.warn = true;
        s.running = false;
    });
}

void fail_stream(SharedSnapshot& snap, std::string_view what) {
    base::log::error(LOG_TARGET, fmt::format("{} callback panicked", what));
    set(snap, [&](Snapshot& s) {
        s.status = fmt::format("{} stream failed, start again", what);
        s.warn = true;
        s.running = false;
    });
}

void lost(SharedSnapshot& snap, std::string_view status) {
    set(snap, [&](Snapshot& s) {
        s.status = std::string(status);
        s.warn = true;
        s.running = false;
        s.lost = true;
    });
}

// Measures the FFT plans a run needs that the wisdom does not hold yet, on a
// thread of its own, so that the run starts at once on estimated plans and
// later runs start on measured ones. Dropping it stops between two plans
// and joins.
class PlanLearner {
public:
    explicit PlanLearner(std::vector<std::pair<std::size_t, tf::plan::Direction>> keys) {
        // The run's own plans first, so that it asks the planner for none
        // while a measurement holds it.
        for (const auto& [n, dir] : keys) tf::plan::PLANNER.plan(n, dir);
        // Sizes past this take too long to measure (a long sweep layer).
        std::erase_if(keys, [](const auto& k) { return k.first > (std::size_t{1} << 21); });
        const auto path = tf::plan::wisdom_path();
        if (!path || tf::plan::unmeasured(keys).empty()) return;
        thread_ = std::thread([this, keys = std::move(keys), path = *path] {
            pthread_setname_np(pthread_self(), "fft-wisdom");
            try {
                const std::size_t made = tf::plan::learn(keys, path, stop_);
                if (made > 0) base::log::info(LOG_TARGET, "FFT plans measured", {{"plans", made}});
            } catch (const std::exception& e) {
                base::log::warn(LOG_TARGET, "FFT plan measuring failed", {{"err", e.what()}});
            }
            done_.store(true);
        });
    }
    ~PlanLearner() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    PlanLearner(const PlanLearner&) = delete;
    PlanLearner& operator=(const PlanLearner&) = delete;

    // True once, when the measuring has ended.
    bool take_done() { return done_.exchange(false); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Makes `v` an empty list with room for at least `room` samples.
void make_spare(std::vector<float>& v, std::size_t room) {
    v.clear();
    if (v.capacity() < room) v.reserve(room);
}

void run_body(Params p, base::Receiver<Cmd>& rx, SharedSnapshot& snap, Clock& clock) {
    auto gen = std::make_shared<generator::SharedParams>();
    gen->params = p.gen;

    std::shared_ptr<generator::Tap> tap;
    if (p.ref_internal) {
        tap = std::make_shared<generator::Tap>();
        if (p.out_device.empty()) {
            fail_open(snap, "output", "pick an output device for the generator");
            return;
        }
    }
    std::optional<generator::Output> output;
    if (!p.out_device.empty()) {
        auto o = generator::open(p.host, p.out_device, p.out_channel, p.sample_rate, gen, tap);
        if (!o) {
            fail_open(snap, "output", o.error());
            return;
        }
        output = std::move(*o);
    }
    std::optional<std::size_t> ref_channel;
    if (!p.ref_internal) ref_channel = p.ref_channel;
    auto in = capture::open(p.host, p.device, p.mic_channel, ref_channel, p.sample_rate);
    if (!in) {
        fail_open(snap, "input", in.error());
        return;  // the output, if open, closes here
    }
    const std::uint32_t rate = in->rate;
    std::optional<std::string> rate_message;
    if (output && p.ref_internal && output->rate != rate)
        rate_message = fmt::format("Output runs at {} Hz, input at {} Hz", output->rate, rate);
    const float fs = static_cast<float>(rate);

    RunState state(p, fs, output.has_value(), gen, clock, std::move(rate_message));
    set(snap, [&](Snapshot& s) { s.sample_rate = rate; });
    PlanLearner learner(state.plans());

    capture::Shared& shared = *in->shared;
    const std::size_t room = std::size_t{11} * rate;
    std::vector<float> spare_mic;
    std::vector<float> spare_ref;
    for (;;) {
        // Every pending command, without waiting.
        for (;;) {
            base::TryRecv<Cmd> r = rx.try_recv();
            if (r.status == base::RecvStatus::Empty) break;
            if (r.status == base::RecvStatus::Closed || std::holds_alternative<Cmd::Stop>(r.value->v)) {
                set(snap, [](Snapshot& s) {
                    s.status = "Stopped";
                    s.warn = false;
                    s.running = false;
                });
                return;
            }
            state.command(std::move(*r.value));
        }

        clock.sleep(20ms);

        capture::log_input_error(shared);
        if (output) generator::log_output_error(*output);
        if (output && p.ref_internal && output->failed->load()) {
            lost(snap, "Output device lost");
            return;
        }
        if (shared.failed.load()) {
            lost(snap, "Input device lost");
            return;
        }

        make_spare(spare_mic, room);
        make_spare(spare_ref, room);
        {
            std::unique_lock lk(shared.lock);
            if (shared.lock.poisoned()) {
                lk.unlock();
                fail_stream(snap, "Input");
                return;
            }
            spare_mic.swap(shared.mic);
            if (!tap) spare_ref.swap(shared.reference);
        }
        const std::uint64_t dropped = shared.dropped.exchange(0);
        const std::uint64_t missed = shared.missed.exchange(0);
        const std::uint64_t xruns =
            shared.xruns.exchange(0) + (output && output->xruns ? output->xruns->exchange(0) : 0);
        std::optional<std::uint64_t> tap_dropped;
        if (tap) {
            {
                std::unique_lock lk(tap->lock);
                if (tap->lock.poisoned()) {
                    lk.unlock();
                    fail_stream(snap, "Output");
                    return;
                }
                spare_ref.swap(tap->samples);
            }
            tap_dropped = output->tap_dropped->exchange(0);
        }
        if (learner.take_done()) state.replan();
        const float ref_peak = take_peak(shared.ref_peak);
        const float mic_peak = take_peak(shared.mic_peak);
        state.pass(PassInput{spare_mic, spare_ref, dropped, tap_dropped, mic_peak, ref_peak, xruns, missed}, snap);
    }
}

}  // namespace

void run(Params params, base::Receiver<Cmd> rx, std::shared_ptr<SharedSnapshot> snapshot,
         std::shared_ptr<Clock> clock) {
    // The thread's ended state after an escaped exception.
    const auto stopped = [&snapshot] {
        try {
            set(*snapshot, [](Snapshot& s) {
                s.status = "Analyzer stopped";
                s.warn = true;
                s.running = false;
            });
        } catch (...) {
        }
    };
    try {
        run_body(std::move(params), rx, *snapshot, *clock);
    } catch (const std::exception& e) {
        base::log::error(LOG_TARGET, "analyzer thread failed", {{"at", "engine::analyzer::run"}, {"err", e.what()}});
        stopped();
    } catch (...) {
        base::log::error(LOG_TARGET, "analyzer thread failed", {{"at", "engine::analyzer::run"}});
        stopped();
    }
}

// ---------------------------------------------------------------- handle

base::Result<Analyzer> Analyzer::start(Params params, std::shared_ptr<Clock> clock) {
    auto [tx, rx] = base::channel<Cmd>();
    auto snapshot = std::make_shared<SharedSnapshot>();
    snapshot->value = Snapshot::opening(params.coherence_threshold);
    Analyzer a;
    a.tx_ = std::move(tx);
    a.snapshot_ = snapshot;
    try {
        a.thread_.emplace([params = std::move(params), rx = std::move(rx), snapshot, clock = std::move(clock)]() mutable {
            pthread_setname_np(pthread_self(), "analyzer");
            run(std::move(params), std::move(rx), std::move(snapshot), std::move(clock));
        });
    } catch (const std::system_error& e) {
        return base::fail(fmt::format("analyzer thread: {}", e.what()));
    }
    return a;
}

Analyzer& Analyzer::operator=(Analyzer&& other) noexcept {
    if (this != &other) {
        stop_and_join();
        tx_ = std::move(other.tx_);
        snapshot_ = std::move(other.snapshot_);
        thread_ = std::move(other.thread_);
        other.thread_.reset();
    }
    return *this;
}

Analyzer::~Analyzer() { stop_and_join(); }

void Analyzer::stop_and_join() {
    tx_.send(Cmd{Cmd::Stop{}});
    if (thread_ && thread_->joinable()) thread_->join();
    thread_.reset();
    tx_ = base::Sender<Cmd>();
    snapshot_.reset();
}

void Analyzer::send(Cmd cmd) const { tx_.send(std::move(cmd)); }

Snapshot Analyzer::copy() const {
    std::lock_guard lk(snapshot_->mu);
    return snapshot_->value;
}

}  // namespace engine::analyzer
