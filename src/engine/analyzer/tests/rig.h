#pragma once
// A measurement rig for analyzer tests: a software host with an output and
// an input device joined by a simulated room, and a clock that moves the
// host on by each sleep of the analyzer thread. The test lets the thread run
// for a given stretch of simulated time and then looks at its snapshot while
// the thread waits in its next sleep.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "audio-watcher/software_host.h"
#include "engine/analyzer/analyzer.h"

namespace analyzer_rig {

namespace host = audio_watcher::host;
using namespace std::chrono_literals;

class VirtualClock final : public engine::analyzer::Clock {
public:
    VirtualClock(std::shared_ptr<host::SoftwareHost> h, std::uint32_t clock_rate)
        : host_(std::move(h)), rate_(clock_rate) {}

    std::chrono::nanoseconds now() override {
        std::lock_guard lk(mu_);
        return now_;
    }

    void sleep(std::chrono::nanoseconds d) override {
        std::unique_lock lk(mu_);
        waiting_ = true;
        cv_.notify_all();
        cv_.wait(lk, [&] { return free_ || budget_ >= d; });
        waiting_ = false;
        if (!free_) budget_ -= d;
        now_ += d;
        const std::uint64_t frames = (static_cast<std::uint64_t>(d.count()) * rate_ + carry_) / 1000000000ull;
        carry_ = (static_cast<std::uint64_t>(d.count()) * rate_ + carry_) % 1000000000ull;
        lk.unlock();
        host_->advance(frames);
    }

    // Lets the thread run for `d` of simulated time and waits until it sleeps
    // again with no time left, or until `ended` says it has stopped.
    void run(std::chrono::nanoseconds d, const std::function<bool()>& ended) {
        std::unique_lock lk(mu_);
        budget_ += d;
        cv_.notify_all();
        while (!(waiting_ && budget_ < 20ms)) {
            if (cv_.wait_for(lk, 20ms) == std::cv_status::timeout) {
                lk.unlock();
                const bool done = ended();
                lk.lock();
                if (done) return;
            }
        }
    }

    // From now on sleeps pass at once (to let the thread see a Stop).
    void release() {
        std::lock_guard lk(mu_);
        free_ = true;
        cv_.notify_all();
    }

private:
    std::shared_ptr<host::SoftwareHost> host_;
    std::uint32_t rate_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::chrono::nanoseconds now_{0};
    std::chrono::nanoseconds budget_{0};
    std::uint64_t carry_ = 0;
    bool waiting_ = false;
    bool free_ = false;
};

// The simulated room of the tests: 480 samples of delay, a +6 dB peak at
// 1 kHz (Q 2) and light noise at the microphone.
inline host::Room standard_room(double rate, bool reference_on_input) {
    host::Room room;
    room.out_channel = 0;
    room.mic_channel = 0;
    if (reference_on_input) room.reference_channel = 1;
    room.delay = 480;
    room.filters = {host::Biquad::peaking(rate, 1000.0, 2.0, 6.0)};
    room.gain = 0.5f;
    room.noise_rms = 1e-4f;
    return room;
}

struct Rig {
    std::shared_ptr<host::SoftwareHost> host;
    host::ScopedHost use;
    std::shared_ptr<VirtualClock> clock;
    std::optional<engine::analyzer::Analyzer> an;

    // Devices "out" and "in" (two channels each) at `rate`; the input's clock
    // runs `in_ppm` off.
    explicit Rig(std::uint32_t rate = 48000, double in_ppm = 0.0)
        : host(std::make_shared<host::SoftwareHost>(host::SoftwareHost::Options{.clock_rate = rate})),
          use(host),
          clock(std::make_shared<VirtualClock>(host, rate)) {
        host::SoftDevice out{.id = "out", .name = "Out", .input_channels = 0, .output_channels = 2};
        host::StreamConfig out_cfg{.channels = 2, .format = host::SampleFormat::F32, .rate = rate};
        out.default_output = out_cfg;
        host->add_device(out);
        host::SoftDevice in{.id = "in", .name = "In", .input_channels = 2, .output_channels = 0};
        in.default_input = host::StreamConfig{.channels = 2, .format = host::SampleFormat::F32, .rate = rate};
        in.clock_ppm = in_ppm;
        host->add_device(in);
    }

    ~Rig() {
        clock->release();
        an.reset();
    }

    // Parameters for the two devices: pink noise at -10 dB, the generated
    // signal as reference or the reference on input channel 2.
    static engine::analyzer::Params params(bool ref_internal, std::uint32_t rate = 48000) {
        engine::analyzer::Params p;
        p.host = "Software";
        p.device = "software:in";
        p.out_device = "software:out";
        p.gen = engine::generator::GenParams{.sine_hz = 1000.0f,
                                             .sweep_secs = 1.0f,
                                             .gen_db = -10.0f,
                                             .signal = engine::generator::Signal::Pink};
        p.mic_channel = 0;
        p.ref_channel = 1;
        p.out_channel = 0;
        p.average_secs = 1.0f;
        p.coherence_threshold = 0.5f;
        p.sample_rate = rate;
        p.ref_internal = ref_internal;
        return p;
    }

    void start(engine::analyzer::Params p) {
        auto a = engine::analyzer::Analyzer::start(std::move(p), clock);
        if (!a) throw std::runtime_error(a.error());
        an.emplace(std::move(*a));
        run(0ms);  // up to the first sleep
    }

    engine::analyzer::Snapshot snap() const { return an->copy(); }

    void run(std::chrono::nanoseconds d) {
        clock->run(d, [this] { return !an->copy().running; });
    }
};

}  // namespace analyzer_rig
