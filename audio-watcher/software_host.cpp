#include "audio-watcher/software_host.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>

#include "base/cast.h"

namespace audio_watcher::host {

// ---------------------------------------------------------------------------
// Biquads (audio EQ cookbook)

namespace {

Biquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    return Biquad{b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

}  // namespace

Biquad Biquad::peaking(double rate, double f0, double q, double gain_db) {
    const double a = std::pow(10.0, gain_db / 40.0);
    const double w = 2.0 * std::numbers::pi * f0 / rate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    return normalised(1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a);
}

Biquad Biquad::lowpass(double rate, double f0, double q) {
    const double w = 2.0 * std::numbers::pi * f0 / rate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    return normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad Biquad::highpass(double rate, double f0, double q) {
    const double w = 2.0 * std::numbers::pi * f0 / rate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    return normalised((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

namespace {

// ---------------------------------------------------------------------------
// Sample words of the software converters (the devices' own side).

double read_word(SampleFormat f, const void* data, std::size_t i) {
    auto get = [&]<class T>(T) {
        T v;
        std::memcpy(&v, static_cast<const unsigned char*>(data) + i * sizeof(T), sizeof(T));
        return v;
    };
    switch (f) {
        case SampleFormat::I8: return get(std::int8_t{}) / 128.0;
        case SampleFormat::I16: return get(std::int16_t{}) / 32768.0;
        case SampleFormat::I24: return get(std::int32_t{}) / 8388608.0;
        case SampleFormat::I32: return get(std::int32_t{}) / 2147483648.0;
        case SampleFormat::I64: return static_cast<double>(get(std::int64_t{})) / 9223372036854775808.0;
        case SampleFormat::U8: return (get(std::uint8_t{}) - 128.0) / 128.0;
        case SampleFormat::U16: return (get(std::uint16_t{}) - 32768.0) / 32768.0;
        case SampleFormat::U24: return (static_cast<double>(get(std::uint32_t{})) - 8388608.0) / 8388608.0;
        case SampleFormat::U32: return (static_cast<double>(get(std::uint32_t{})) - 2147483648.0) / 2147483648.0;
        case SampleFormat::U64:
            return (static_cast<double>(get(std::uint64_t{})) - 9223372036854775808.0) / 9223372036854775808.0;
        case SampleFormat::F32: {
            const double v = get(float{});
            return std::isfinite(v) ? v : 0.0;
        }
        case SampleFormat::F64: {
            const double v = get(double{});
            return std::isfinite(v) ? v : 0.0;
        }
    }
    return 0.0;
}

void write_word(SampleFormat f, void* data, std::size_t i, double v) {
    auto put = [&]<class T>(T x) {
        std::memcpy(static_cast<unsigned char*>(data) + i * sizeof(T), &x, sizeof(T));
    };
    auto sat = [](double x, double lo, double hi) { return std::clamp(std::trunc(std::isnan(x) ? 0.0 : x), lo, hi); };
    switch (f) {
        case SampleFormat::I8: put(static_cast<std::int8_t>(sat(v * 128, -128, 127))); break;
        case SampleFormat::I16: put(static_cast<std::int16_t>(sat(v * 32768, -32768, 32767))); break;
        case SampleFormat::I24: put(static_cast<std::int32_t>(sat(v * 8388608, -8388608, 8388607))); break;
        case SampleFormat::I32: put(static_cast<std::int32_t>(sat(v * 2147483648.0, -2147483648.0, 2147483647.0))); break;
        case SampleFormat::I64: put(base::saturating_cast<std::int64_t>(v * 9223372036854775808.0)); break;
        case SampleFormat::U8: put(static_cast<std::uint8_t>(sat(v * 128, -128, 127) + 128)); break;
        case SampleFormat::U16: put(static_cast<std::uint16_t>(sat(v * 32768, -32768, 32767) + 32768)); break;
        case SampleFormat::U24: put(static_cast<std::uint32_t>(sat(v * 8388608, -8388608, 8388607) + 8388608)); break;
        case SampleFormat::U32:
            put(static_cast<std::uint32_t>(sat(v * 2147483648.0, -2147483648.0, 2147483647.0) + 2147483648.0));
            break;
        case SampleFormat::U64:
            put(static_cast<std::uint64_t>(base::saturating_cast<std::int64_t>(v * 9223372036854775808.0)) +
                (std::uint64_t{1} << 63));
            break;
        case SampleFormat::F32: put(static_cast<float>(std::clamp(v, -1e30, 1e30))); break;
        case SampleFormat::F64: put(v); break;
    }
}

// ---------------------------------------------------------------------------
// Windowed-sinc interpolation for fractional read positions.

constexpr int HALF = 16;      // taps on each side
constexpr int PHASES = 512;   // table resolution of the fraction

struct SincTable {
    // rows[p][t]: weight of sample (i0 - HALF + 1 + t) for fraction p / PHASES.
    std::vector<std::array<double, 2 * HALF>> rows;
    SincTable() : rows(PHASES + 1) {
        for (int p = 0; p <= PHASES; ++p) {
            const double frac = static_cast<double>(p) / PHASES;
            for (int t = 0; t < 2 * HALF; ++t) {
                const double x = (t - HALF + 1) - frac;
                double s = x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
                const double u = x / HALF;
                const double w = std::abs(u) >= 1.0
                                     ? 0.0
                                     : 0.42 + 0.5 * std::cos(std::numbers::pi * u) + 0.08 * std::cos(2 * std::numbers::pi * u);
                rows[p][t] = s * w;
            }
        }
    }
};

const SincTable& sinc_table() {
    static const SincTable t;
    return t;
}

std::uint32_t xorshift(std::uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// A sample history indexed from `base`.
struct History {
    std::uint64_t base = 0;
    std::vector<float> samples;

    std::uint64_t end() const { return base + samples.size(); }
    double at(std::int64_t j) const {
        if (j < 0) return 0.0;
        const auto u = static_cast<std::uint64_t>(j);
        if (u < base || u >= end()) return 0.0;
        return samples[u - base];
    }
    void trim_before(std::uint64_t keep_from) {
        if (keep_from <= base) return;
        if (samples.size() < 65536 && keep_from - base < samples.size() / 2) return;  // trim in large steps
        const std::uint64_t n = std::min<std::uint64_t>(keep_from - base, samples.size());
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
        base += n;
    }
};

double interpolate(const History& h, double p) {
    const double r = std::round(p);
    if (std::abs(p - r) < 1e-9) return h.at(static_cast<std::int64_t>(r));
    if (p < -HALF || p > static_cast<double>(h.end()) + HALF) return 0.0;
    const double fl = std::floor(p);
    const auto i0 = static_cast<std::int64_t>(fl);
    const double pos = (p - fl) * PHASES;
    const int ph = std::min(static_cast<int>(pos), PHASES - 1);
    const double mix = pos - ph;
    const auto& a = sinc_table().rows[ph];
    const auto& b = sinc_table().rows[ph + 1];
    double acc = 0.0;
    for (int t = 0; t < 2 * HALF; ++t) {
        const double x = h.at(i0 - HALF + 1 + t);
        if (x != 0.0) acc += x * (a[t] + (b[t] - a[t]) * mix);
    }
    return acc;
}

}  // namespace

// ---------------------------------------------------------------------------

struct StreamState {
    bool input = false;
    std::string device_id;
    StreamConfig config;
    InputCallback in;
    OutputCallback out;
    ErrorCallback err;
    double clock = 1.0;  // device clock factor
    bool playing = false;
    bool dead = false;   // its device went away or failed for good
    double t0 = 0.0;     // host time of frame 0
    std::uint64_t delivered = 0;
    std::vector<unsigned char> raw;
    std::vector<History> history;  // outputs: one per channel, as floats
};

struct Path {
    std::string out_id, in_id;
    StreamState* out = nullptr;
    StreamState* in = nullptr;
    Room room;
    History filtered;  // the output channel after distortion, filters and gain (before the delay)
    std::vector<std::array<double, 4>> state;  // x1, x2, y1, y2 per biquad
    std::uint32_t rng = 1;
};

struct SoftwareHost::Impl {
    mutable std::mutex mu;
    Options opt;
    std::vector<SoftDevice> devices;
    std::optional<std::string> default_in, default_out;
    std::optional<AudioError> enum_error;
    struct Conn {
        std::string out_id, in_id;
        Room room;
    };
    std::vector<Conn> conns;
    std::uint64_t now = 0;
    std::vector<StreamState*> streams;
    std::vector<std::unique_ptr<Path>> paths;

    const SoftDevice* find(std::string_view id) const {
        for (const auto& d : devices)
            if (d.id == id) return &d;
        return nullptr;
    }

    void drop_paths_of(const StreamState* s) {
        std::erase_if(paths, [&](const auto& p) { return p->out == s || p->in == s; });
    }

    void report(std::string_view device_id, const AudioError& e, bool stop) {
        for (StreamState* s : streams) {
            if (s->device_id != device_id || s->dead || !s->playing) continue;
            if (s->err) s->err(e);
            if (stop) {
                s->dead = true;
                drop_paths_of(s);
            }
        }
    }

    double time_of(const StreamState& s, double frame) const {
        return s.t0 + frame * opt.clock_rate / (s.config.rate * s.clock);
    }
    std::uint64_t due(const StreamState& s, double host_time) const {
        const double f = (host_time - s.t0) * s.config.rate * s.clock / opt.clock_rate;
        return f <= 0 ? 0 : static_cast<std::uint64_t>(std::floor(f + 1e-9));
    }

    void run_output_block(StreamState& s) {
        const std::size_t frames = opt.block_frames;
        const std::size_t n = frames * s.config.channels;
        s.raw.assign(n * format_bytes(s.config.format), 0);
        for (std::size_t i = 0; i < n; ++i) write_word(s.config.format, s.raw.data(), i, 0.0);
        if (s.out) s.out(s.raw.data(), n);
        for (std::size_t f = 0; f < frames; ++f)
            for (std::size_t c = 0; c < s.config.channels; ++c)
                s.history[c].samples.push_back(
                    static_cast<float>(read_word(s.config.format, s.raw.data(), f * s.config.channels + c)));
        s.delivered += frames;
    }

    void extend_path(Path& p) {
        if (p.room.out_channel >= p.out->history.size()) return;
        const History& src = p.out->history[p.room.out_channel];
        if (p.filtered.samples.empty() && p.filtered.base < src.base) p.filtered.base = src.base;
        for (std::uint64_t j = p.filtered.end(); j < src.end(); ++j) {
            double x = src.at(static_cast<std::int64_t>(j));
            x = x + p.room.h2 * x * x + p.room.h3 * x * x * x;
            for (std::size_t b = 0; b < p.room.filters.size(); ++b) {
                const Biquad& q = p.room.filters[b];
                auto& st = p.state[b];
                const double y = q.b0 * x + q.b1 * st[0] + q.b2 * st[1] - q.a1 * st[2] - q.a2 * st[3];
                st = {x, st[0], y, st[2]};
                x = y;
            }
            p.filtered.samples.push_back(static_cast<float>(x * p.room.gain));
        }
    }

    double gaussian(std::uint32_t& rng) {
        const double u1 = (xorshift(rng) + 1.0) / 4294967297.0;
        const double u2 = xorshift(rng) / 4294967296.0;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    }

    void run_input_block(StreamState& s) {
        const std::size_t frames = opt.block_frames;
        const std::size_t ch = s.config.channels;
        std::vector<double> mix(frames * ch, 0.0);
        for (auto& pp : paths) {
            Path& p = *pp;
            if (p.in != &s) continue;
            const StreamState& o = *p.out;
            const double scale = (o.config.rate * o.clock) / (s.config.rate * s.clock);
            const double offset = (s.t0 - o.t0) * o.config.rate * o.clock / opt.clock_rate;
            const History* ref =
                p.room.out_channel < o.history.size() ? &o.history[p.room.out_channel] : nullptr;
            for (std::size_t f = 0; f < frames; ++f) {
                const double k = static_cast<double>(s.delivered + f);
                const double pos = offset + k * scale;
                if (p.room.mic_channel < ch) {
                    double v = interpolate(p.filtered, pos - static_cast<double>(p.room.delay));
                    if (p.room.noise_rms > 0.0f) v += p.room.noise_rms * gaussian(p.rng);
                    mix[f * ch + p.room.mic_channel] += v;
                }
                if (p.room.reference_channel && *p.room.reference_channel < ch && ref)
                    mix[f * ch + *p.room.reference_channel] += interpolate(*ref, pos);
            }
        }
        const std::size_t n = frames * ch;
        s.raw.assign(n * format_bytes(s.config.format), 0);
        for (std::size_t i = 0; i < n; ++i) write_word(s.config.format, s.raw.data(), i, mix[i]);
        if (s.in) s.in(s.raw.data(), n);
        s.delivered += frames;
    }

    void ensure_paths() {
        for (const auto& c : conns) {
            for (StreamState* o : streams) {
                if (o->input || !o->playing || o->dead || o->device_id != c.out_id) continue;
                for (StreamState* i : streams) {
                    if (!i->input || !i->playing || i->dead || i->device_id != c.in_id) continue;
                    const bool exists = std::any_of(paths.begin(), paths.end(), [&](const auto& p) {
                        return p->out == o && p->in == i && p->out_id == c.out_id && p->in_id == c.in_id;
                    });
                    if (exists) continue;
                    auto p = std::make_unique<Path>();
                    p->out_id = c.out_id;
                    p->in_id = c.in_id;
                    p->out = o;
                    p->in = i;
                    p->room = c.room;
                    p->state.assign(c.room.filters.size(), {0, 0, 0, 0});
                    p->rng = c.room.noise_seed == 0 ? 1 : c.room.noise_seed;
                    paths.push_back(std::move(p));
                }
            }
        }
    }

    void advance(std::uint64_t frames) {
        now += frames;
        const double t = static_cast<double>(now);
        // Outputs run ahead of the clock by a little more than the
        // interpolation needs, so inputs always find what they read.
        const double ahead = t + 2.0 * HALF * opt.clock_rate / 8000.0;
        ensure_paths();
        for (StreamState* s : streams) {
            if (s->input || !s->playing || s->dead) continue;
            const std::uint64_t want = due(*s, ahead);
            while (s->delivered < want && s->playing && !s->dead) run_output_block(*s);
        }
        for (auto& p : paths) extend_path(*p);
        for (StreamState* s : streams) {
            if (!s->input || !s->playing || s->dead) continue;
            const std::uint64_t want = due(*s, t);
            while (s->delivered + opt.block_frames <= want && s->playing && !s->dead) run_input_block(*s);
        }
        trim();
    }

    void trim() {
        // Keep what inputs may still read: one second and the longest delay.
        std::uint64_t longest = 0;
        for (auto& p : paths) longest = std::max<std::uint64_t>(longest, p->room.delay);
        for (StreamState* s : streams) {
            if (s->input) continue;
            const std::uint64_t keep = longest + s->config.rate + 4 * HALF + opt.block_frames;
            const std::uint64_t from = s->delivered > keep ? s->delivered - keep : 0;
            for (auto& h : s->history) h.trim_before(from);
            for (auto& p : paths)
                if (p->out == s) p->filtered.trim_before(from);
        }
    }
};

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

class SoftStream final : public Stream {
public:
    SoftStream(std::shared_ptr<SoftwareHost::Impl> impl, std::unique_ptr<StreamState> state)
        : impl_(std::move(impl)), state_(std::move(state)) {
        std::lock_guard lk(impl_->mu);
        impl_->streams.push_back(state_.get());
    }
    ~SoftStream() override {
        std::lock_guard lk(impl_->mu);
        impl_->drop_paths_of(state_.get());
        std::erase(impl_->streams, state_.get());
    }

    Expected<void> play() override {
        std::lock_guard lk(impl_->mu);
        const SoftDevice* d = impl_->find(state_->device_id);
        if (d == nullptr || state_->dead) return fail(ErrorKind::DeviceNotAvailable);
        if (d->play_error) return std::unexpected(*d->play_error);
        if (!state_->playing) {
            state_->playing = true;
            state_->t0 = static_cast<double>(impl_->now) -
                         static_cast<double>(state_->delivered) * impl_->opt.clock_rate /
                             (state_->config.rate * state_->clock);
        }
        return {};
    }

    Expected<void> pause() override {
        std::lock_guard lk(impl_->mu);
        state_->playing = false;
        impl_->drop_paths_of(state_.get());
        return {};
    }

private:
    std::shared_ptr<SoftwareHost::Impl> impl_;
    std::unique_ptr<StreamState> state_;
};

class SoftDeviceHandle final : public Device {
public:
    SoftDeviceHandle(std::shared_ptr<SoftwareHost::Impl> impl, SoftDevice d)
        : impl_(std::move(impl)), d_(std::move(d)) {}

    Expected<std::string> id_text() const override {
        if (d_.id_error) return std::unexpected(*d_.id_error);
        return d_.id;
    }
    Expected<Description> description() const override {
        if (d_.description_error) return std::unexpected(*d_.description_error);
        return Description{d_.name, d_.extra};
    }
    bool supports_input() const override { return d_.input_channels > 0; }
    bool supports_output() const override { return d_.output_channels > 0; }

    Expected<std::vector<SupportedRange>> supported_configs(bool input) const override {
        if (d_.configs_error) return std::unexpected(*d_.configs_error);
        const auto& given = input ? d_.input_ranges : d_.output_ranges;
        if (given) return *given;
        const std::uint16_t ch = input ? d_.input_channels : d_.output_channels;
        if (ch == 0) return std::vector<SupportedRange>{};
        return std::vector<SupportedRange>{SupportedRange{std::nullopt, 44100, 192000, ch, SampleFormat::F32}};
    }
    Expected<StreamConfig> default_config(bool input) const override {
        const auto& given = input ? d_.default_input : d_.default_output;
        if (given) return *given;
        const std::uint16_t ch = input ? d_.input_channels : d_.output_channels;
        if (ch == 0) return fail(ErrorKind::UnsupportedConfig, "device has no default configuration");
        return StreamConfig{std::nullopt, ch, SampleFormat::F32, 48000};
    }

    Expected<StreamHandle> build_input_stream(const StreamConfig& config, InputCallback data,
                                              ErrorCallback error) override {
        return build(true, config, std::move(data), nullptr, std::move(error));
    }
    Expected<StreamHandle> build_output_stream(const StreamConfig& config, OutputCallback data,
                                               ErrorCallback error) override {
        return build(false, config, nullptr, std::move(data), std::move(error));
    }

private:
    Expected<StreamHandle> build(bool input, const StreamConfig& config, InputCallback in, OutputCallback out,
                                 ErrorCallback err) {
        auto state = std::make_unique<StreamState>();
        {
            std::lock_guard lk(impl_->mu);
            const SoftDevice* d = impl_->find(d_.id);
            if (d == nullptr) return fail(ErrorKind::DeviceNotAvailable);
            if (d->build_error) return std::unexpected(*d->build_error);
            const std::uint16_t have = input ? d->input_channels : d->output_channels;
            if (config.channels == 0 || config.channels > have || config.rate == 0 || !is_known(config.format))
                return fail(ErrorKind::UnsupportedConfig);
            state->clock = 1.0 + d->clock_ppm * 1e-6;
        }
        state->input = input;
        state->device_id = d_.id;
        state->config = config;
        state->in = std::move(in);
        state->out = std::move(out);
        state->err = std::move(err);
        if (!input) state->history.resize(config.channels);
        return StreamHandle(std::make_unique<SoftStream>(impl_, std::move(state)));
    }

    std::shared_ptr<SoftwareHost::Impl> impl_;
    SoftDevice d_;
};

}  // namespace

SoftwareHost::SoftwareHost() : SoftwareHost(Options{}) {}

SoftwareHost::SoftwareHost(Options options) : impl_(std::make_shared<Impl>()) {
    if (options.block_frames == 0) options.block_frames = 1;
    if (options.clock_rate == 0) options.clock_rate = 48000;
    impl_->opt = std::move(options);
}

SoftwareHost::~SoftwareHost() = default;

std::string SoftwareHost::name() const { return impl_->opt.name; }
std::string SoftwareHost::id_prefix() const { return lower(impl_->opt.name) + ":"; }

Expected<std::vector<DeviceHandle>> SoftwareHost::devices() {
    std::lock_guard lk(impl_->mu);
    if (impl_->enum_error) return std::unexpected(*impl_->enum_error);
    std::vector<DeviceHandle> out;
    for (const auto& d : impl_->devices) out.push_back(std::make_shared<SoftDeviceHandle>(impl_, d));
    return out;
}

DeviceHandle SoftwareHost::default_input_device() {
    std::lock_guard lk(impl_->mu);
    if (!impl_->default_in) return nullptr;
    const SoftDevice* d = impl_->find(*impl_->default_in);
    if (d == nullptr || d->input_channels == 0) return nullptr;
    return std::make_shared<SoftDeviceHandle>(impl_, *d);
}

DeviceHandle SoftwareHost::default_output_device() {
    std::lock_guard lk(impl_->mu);
    if (!impl_->default_out) return nullptr;
    const SoftDevice* d = impl_->find(*impl_->default_out);
    if (d == nullptr || d->output_channels == 0) return nullptr;
    return std::make_shared<SoftDeviceHandle>(impl_, *d);
}

void SoftwareHost::add_device(SoftDevice device) {
    std::lock_guard lk(impl_->mu);
    for (auto& d : impl_->devices) {
        if (d.id == device.id) {
            d = std::move(device);
            return;
        }
    }
    impl_->devices.push_back(std::move(device));
}

void SoftwareHost::remove_device(std::string_view id) {
    std::lock_guard lk(impl_->mu);
    std::erase_if(impl_->devices, [&](const SoftDevice& d) { return d.id == id; });
    impl_->report(id, AudioError{ErrorKind::DeviceNotAvailable, std::nullopt}, true);
}

void SoftwareHost::fail_device(std::string_view id, AudioError error, bool stop) {
    std::lock_guard lk(impl_->mu);
    impl_->report(id, error, stop);
}

void SoftwareHost::set_default_input(std::optional<std::string> id) {
    std::lock_guard lk(impl_->mu);
    impl_->default_in = std::move(id);
}

void SoftwareHost::set_default_output(std::optional<std::string> id) {
    std::lock_guard lk(impl_->mu);
    impl_->default_out = std::move(id);
}

void SoftwareHost::fail_enumeration(std::optional<AudioError> error) {
    std::lock_guard lk(impl_->mu);
    impl_->enum_error = std::move(error);
}

void SoftwareHost::connect(std::string_view out_id, std::string_view in_id, Room room) {
    std::lock_guard lk(impl_->mu);
    std::erase_if(impl_->paths, [&](const auto& p) { return p->out_id == out_id && p->in_id == in_id; });
    for (auto& c : impl_->conns) {
        if (c.out_id == out_id && c.in_id == in_id) {
            c.room = std::move(room);
            return;
        }
    }
    impl_->conns.push_back(Impl::Conn{std::string(out_id), std::string(in_id), std::move(room)});
}

void SoftwareHost::disconnect(std::string_view out_id, std::string_view in_id) {
    std::lock_guard lk(impl_->mu);
    std::erase_if(impl_->paths, [&](const auto& p) { return p->out_id == out_id && p->in_id == in_id; });
    std::erase_if(impl_->conns, [&](const Impl::Conn& c) { return c.out_id == out_id && c.in_id == in_id; });
}

void SoftwareHost::advance(std::uint64_t frames) {
    std::lock_guard lk(impl_->mu);
    impl_->advance(frames);
}

std::uint64_t SoftwareHost::now() const {
    std::lock_guard lk(impl_->mu);
    return impl_->now;
}

std::size_t SoftwareHost::stream_count() const {
    std::lock_guard lk(impl_->mu);
    return impl_->streams.size();
}

std::size_t SoftwareHost::playing_count() const {
    std::lock_guard lk(impl_->mu);
    return static_cast<std::size_t>(std::count_if(impl_->streams.begin(), impl_->streams.end(),
                                                  [](const StreamState* s) { return s->playing && !s->dead; }));
}

}  // namespace audio_watcher::host
