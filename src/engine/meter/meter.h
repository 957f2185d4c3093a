#pragma once
// The SPL and RTA meter: a worker thread that records the measurement
// microphone alone and publishes, several times a second, an RTA curve with
// peak hold on the 240-point grid, the Z-, A- and C-weighted sound levels with
// their maxima, two A-weighted equivalent levels with their maxima and the
// RMS level of the input.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.h"
#include "base/clock.h"
#include "engine/core/tf.h"

namespace engine::meter {

// RTA time constant.
enum class Response : std::uint8_t { Fast = 0, Medium = 1, Slow = 2 };

// Time constants in seconds, indexed by the response's code.
inline constexpr float RESPONSE_TAU[3] = {0.125f, 0.5f, 1.0f};
float tau_of(Response r);

struct Params {
    std::string device;                 // device id of the input
    std::string host;                   // audio host name
    std::vector<float> mic_cal;         // grid calibration (240 dB values) or empty
    std::size_t mic_channel = 0;
    std::size_t fft_size = 8192;        // clamped to 1024..65536
    std::pair<std::uint32_t, std::uint32_t> leq_windows{60, 900};  // short, long seconds
    std::uint32_t sample_rate = 48000;
    float peak_decay = 6.0f;            // dB per second
    Response response = Response::Fast;

    bool operator==(const Params&) const = default;
};

// Commands from the window to the worker.
struct Cmd {
    struct Reset {
        bool operator==(const Reset&) const = default;
    };
    struct SetResponse {
        Response response;
        bool operator==(const SetResponse&) const = default;
    };
    struct SetLeqWindows {
        std::uint32_t short_secs;
        std::uint32_t long_secs;
        bool operator==(const SetLeqWindows&) const = default;
    };
    struct SetPeakDecay {
        float db_per_sec;
        bool operator==(const SetPeakDecay&) const = default;
    };
    struct Stop {
        bool operator==(const Stop&) const = default;
    };
    std::variant<Reset, SetResponse, SetLeqWindows, SetPeakDecay, Stop> v;

    bool operator==(const Cmd&) const = default;
};

struct MeterSnapshot {
    std::vector<tf::Point> rta;
    std::vector<tf::Point> rta_peak;
    std::string status;
    float leq_short_db = 0.0f;
    float leq_long_db = 0.0f;
    std::uint64_t frames = 0;
    float z_db = 0.0f;
    float a_db = 0.0f;
    float c_db = 0.0f;
    std::uint32_t leq_secs = 0;
    float max_z_db = 0.0f;
    float max_a_db = 0.0f;
    float max_c_db = 0.0f;
    float max_leq_short_db = 0.0f;
    float max_leq_long_db = 0.0f;
    float rms_dbfs = 0.0f;
    std::uint32_t sample_rate = 0;
    float hop_secs = 0.0f;
    bool clipping = false;
    bool warn = false;
    bool running = false;
    bool ended = false;
};

// The snapshot shared by the worker and the window.
struct SharedSnapshot {
    std::mutex mu;
    MeterSnapshot value;
};

// Where the worker reads the time and sleeps (base/clock.h).
using Clock = base::Clock;
using base::system_clock;

// Created first by the worker; when the worker ends while still running
// (an unexpected exit), it marks the snapshot ended with "Meter stopped".
class Ended {
public:
    explicit Ended(std::shared_ptr<SharedSnapshot> snap) : snap_(std::move(snap)) {}
    ~Ended();
    Ended(const Ended&) = delete;
    Ended& operator=(const Ended&) = delete;

private:
    std::shared_ptr<SharedSnapshot> snap_;
};

// The worker's signal path: frames, FFT, band powers, smoothing, peak hold,
// weighted levels and the Leq history. One per run; not thread-safe.
class Dsp {
public:
    Dsp(const Params& p, float fs);
    ~Dsp();
    Dsp(const Dsp&) = delete;
    Dsp& operator=(const Dsp&) = delete;

    static std::size_t fft_size_of(std::size_t requested);

    std::size_t n() const { return n_; }
    std::size_t hop() const { return hop_; }
    float fs() const { return fs_; }

    // Applies every command but Stop.
    void apply(const Cmd& cmd);
    // Queues samples and runs every analysis they complete; returns how many ran.
    std::size_t push(std::span<const float> samples);
    // The analysis results: both point lists, the levels, the Leq values,
    // the maxima (updated here), the RMS level and the analysis count.
    MeterSnapshot publish();

    std::uint64_t analyses() const { return count_; }
    float peak_decay() const { return decay_; }
    float tau() const { return tau_; }

private:
    void analyse();

    std::size_t n_;
    std::size_t hop_;
    float fs_;
    std::vector<float> window_;
    float k_;
    struct Fft;
    std::unique_ptr<Fft> fft_;
    std::vector<float> frame_;
    std::size_t fill_ = 0;
    std::vector<float> queue_;  // samples not yet consumed, from queue_head_ on
    std::size_t queue_head_ = 0;
    std::vector<float> power_;
    std::vector<float> rta_, spl_, held_;
    std::vector<float> cal_;
    std::vector<float> weight_a_, weight_c_;
    struct Second {
        double energy;
        std::uint32_t count;
    };
    std::vector<Second> ring_;  // oldest first, at most 3600
    double energy_ = 0.0;
    std::uint32_t count_now_ = 0;
    std::size_t total_ = 0;
    float max_z_, max_a_, max_c_, max_leq_short_, max_leq_long_;
    std::uint64_t count_ = 0;
    float tau_;
    float decay_;
    std::uint32_t leq_short_;
    std::uint32_t leq_long_;
};

// The worker body: opens the input, meters until Stop (or the command channel
// closes, or the input is lost) and publishes into snap.
void run(Params params, base::Receiver<Cmd> rx, std::shared_ptr<SharedSnapshot> snap,
         std::shared_ptr<Clock> clock);

// The window's handle of the meter thread. Dropping it sends Stop and joins.
class Meter {
public:
    static Meter start(Params params, std::shared_ptr<Clock> clock = system_clock());

    Meter(Meter&&) noexcept = default;
    Meter& operator=(Meter&& o) noexcept;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;
    ~Meter();

    MeterSnapshot snapshot() const;
    const base::Sender<Cmd>& commands() const { return tx_; }
    bool send(Cmd cmd) const { return tx_.send(std::move(cmd)); }

private:
    Meter() = default;
    void stop();

    base::Sender<Cmd> tx_;
    std::shared_ptr<SharedSnapshot> snap_;
    std::optional<std::thread> thread_;
};

}  // namespace engine::meter
