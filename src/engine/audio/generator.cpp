#include "engine/audio/generator.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

#include "base/cast.h"
#include "base/log.h"

namespace engine::generator {

namespace {

constexpr const char* TARGET = "Veltrum::engine::generator";

using host::SampleFormat;

// One period of a sweep: 20 Hz up to the top frequency in T seconds, then
// silence until the period of N samples ends.
float sweep_sample(Generator& g, float t_secs, std::uint64_t period, double phase_scale) {
    const std::uint64_t n = g.position;
    g.position = (n + 1) % period;
    const double rate = g.rate;
    const double t = static_cast<double>(n) / rate;
    const double T = t_secs;
    if (t >= T) return 0.0f;
    const float f2 = std::fmin(g.rate * 0.5f, 20000.0f);
    const double L = std::log(static_cast<double>(f2) / 20.0);
    const double phi = (phase_scale / L) * std::expm1((t * L) / T);
    const double d = std::fmin(t, T - t) / 0.004999999888241291;
    float w = 1.0f;
    if (d < 0.9999999701976776) {
        const float df = static_cast<float>(d);
        w = 0.5f - 0.5f * std::cos(df * 3.1415927f);
    }
    const float s = static_cast<float>(std::sin(phi));
    return g.gain * (w * s);
}

std::uint64_t period_of(float samples) {
    const auto n = base::saturating_cast<std::uint64_t>(samples);
    return n <= 1 ? 1 : n;
}

template <class T>
void store(void* data, std::size_t i, T v) noexcept {
    std::memcpy(static_cast<unsigned char*>(data) + i * sizeof(T), &v, sizeof(T));
}

// Truncate toward zero, saturate to [lo, hi], NaN to 0.
template <class I>
I int_of(float scaled, I lo, I hi) noexcept {
    const auto v = base::saturating_cast<std::int64_t>(scaled);
    return static_cast<I>(std::clamp<std::int64_t>(v, lo, hi));
}

template <SampleFormat F>
void put(void* d, std::size_t i, float s) noexcept {
    if constexpr (F == SampleFormat::F32) store<float>(d, i, s);
    if constexpr (F == SampleFormat::F64) store<double>(d, i, static_cast<double>(s));
    if constexpr (F == SampleFormat::I8) store<std::int8_t>(d, i, base::saturating_cast<std::int8_t>(s * 128.0f));
    if constexpr (F == SampleFormat::I16)
        store<std::int16_t>(d, i, base::saturating_cast<std::int16_t>(s * 32768.0f));
    if constexpr (F == SampleFormat::I24)
        store<std::int32_t>(d, i, int_of<std::int32_t>(s * 8388608.0f, -8388608, 8388607));
    if constexpr (F == SampleFormat::I32)
        store<std::int32_t>(d, i, base::saturating_cast<std::int32_t>(s * 2147483648.0f));
    if constexpr (F == SampleFormat::I64)
        store<std::int64_t>(d, i, base::saturating_cast<std::int64_t>(s * 9223372036854775808.0f));
    if constexpr (F == SampleFormat::U8)
        store<std::uint8_t>(d, i, static_cast<std::uint8_t>(base::saturating_cast<std::int8_t>(s * 128.0f) + 128));
    if constexpr (F == SampleFormat::U16)
        store<std::uint16_t>(
            d, i, static_cast<std::uint16_t>(base::saturating_cast<std::int16_t>(s * 32768.0f) + 32768));
    if constexpr (F == SampleFormat::U24)
        store<std::uint32_t>(
            d, i, static_cast<std::uint32_t>(int_of<std::int32_t>(s * 8388608.0f, -8388608, 8388607) + 8388608));
    if constexpr (F == SampleFormat::U32)
        store<std::uint32_t>(d, i,
                             static_cast<std::uint32_t>(
                                 static_cast<std::int64_t>(base::saturating_cast<std::int32_t>(s * 2147483648.0f)) +
                                 2147483648LL));
    if constexpr (F == SampleFormat::U64)
        store<std::uint64_t>(
            d, i,
            static_cast<std::uint64_t>(base::saturating_cast<std::int64_t>(s * 9223372036854775808.0f)) +
                (std::uint64_t{1} << 63));
}

template <SampleFormat F>
void silence(void* d, std::size_t i) noexcept {
    if constexpr (F == SampleFormat::F32) store<float>(d, i, 0.0f);
    if constexpr (F == SampleFormat::F64) store<double>(d, i, 0.0);
    if constexpr (F == SampleFormat::I8) store<std::int8_t>(d, i, 0);
    if constexpr (F == SampleFormat::I16) store<std::int16_t>(d, i, 0);
    if constexpr (F == SampleFormat::I24 || F == SampleFormat::I32) store<std::int32_t>(d, i, 0);
    if constexpr (F == SampleFormat::I64) store<std::int64_t>(d, i, 0);
    if constexpr (F == SampleFormat::U8) store<std::uint8_t>(d, i, 128);
    if constexpr (F == SampleFormat::U16) store<std::uint16_t>(d, i, 32768);
    if constexpr (F == SampleFormat::U24) store<std::uint32_t>(d, i, 8388608u);
    if constexpr (F == SampleFormat::U32) store<std::uint32_t>(d, i, 2147483648u);
    if constexpr (F == SampleFormat::U64) store<std::uint64_t>(d, i, std::uint64_t{1} << 63);
}

template <SampleFormat F>
void render(OutputState& st, void* data, std::size_t frames) noexcept {
    const std::size_t c = st.channels;
    for (std::size_t f = 0; f < frames; ++f) {
        const float s = st.generator.next();
        if (st.block.size() < st.block.capacity()) {
            st.block.push_back(s);  // within the room made at opening: no allocation
        } else if (st.tap) {
            st.tap_dropped->fetch_add(1, std::memory_order_relaxed);
        }
        for (std::size_t ch = 0; ch < c; ++ch) {
            if (ch == st.channel)
                put<F>(data, f * c + ch, s);
            else
                silence<F>(data, f * c + ch);
        }
    }
}

}  // namespace

std::string_view signal_name(Signal s) {
    switch (s) {
        case Signal::Off: return "Off";
        case Signal::Sine: return "Sine";
        case Signal::Pink: return "Pink";
        case Signal::Sweep: return "Sweep";
        case Signal::Chirp: return "Chirp";
    }
    return "Off";
}

float gain_of(float db) {
    const float g = std::pow(10.0f, db / 20.0f);
    return std::isfinite(g) ? g : 0.0f;
}

Generator::Generator(float rate_, GenParams p) : rate(rate_), gain(gain_of(p.gen_db)), params(p) {}

float Generator::next() noexcept {
    switch (params.signal) {
        case Signal::Off: return 0.0f;
        case Signal::Sine: {
            phase = phase + params.sine_hz / rate;
            phase = phase - std::trunc(phase);
            return gain * std::sin(phase * 6.2831855f);
        }
        case Signal::Pink: {
            noise_state ^= noise_state << 13;
            noise_state ^= noise_state >> 17;
            noise_state ^= noise_state << 5;
            const float w = 2.0f * (static_cast<float>(noise_state) / 4294967296.0f) - 1.0f;
            b0 = 0.99765f * b0 + 0.099046f * w;
            b1 = 0.963f * b1 + 0.2965164f * w;
            b2 = 0.57f * b2 + 1.0526913f * w;
            const float p = ((b0 + b1) + b2) + 0.1848f * w;
            const float y = ((p / 1.71f) * gain) * 0.70710677f;
            return std::fmin(std::fmax(y, -1.0f), 1.0f);
        }
        case Signal::Sweep: {
            const float T = std::fmax(params.sweep_secs, 0.1f);
            return sweep_sample(*this, T, period_of(T * rate), static_cast<double>(T) * 125.66370614359172);
        }
        case Signal::Chirp: {
            constexpr float T = 0.1f;  // 0.10000000149011612 in double
            return sweep_sample(*this, T, period_of(rate * 0.5f), 12.566370801612686);
        }
    }
    return 0.0f;
}

// ---------------------------------------------------------------------------

void write_sample(SampleFormat format, void* data, std::size_t index, float s) noexcept {
    switch (format) {
        case SampleFormat::I8: put<SampleFormat::I8>(data, index, s); break;
        case SampleFormat::I16: put<SampleFormat::I16>(data, index, s); break;
        case SampleFormat::I24: put<SampleFormat::I24>(data, index, s); break;
        case SampleFormat::I32: put<SampleFormat::I32>(data, index, s); break;
        case SampleFormat::I64: put<SampleFormat::I64>(data, index, s); break;
        case SampleFormat::U8: put<SampleFormat::U8>(data, index, s); break;
        case SampleFormat::U16: put<SampleFormat::U16>(data, index, s); break;
        case SampleFormat::U24: put<SampleFormat::U24>(data, index, s); break;
        case SampleFormat::U32: put<SampleFormat::U32>(data, index, s); break;
        case SampleFormat::U64: put<SampleFormat::U64>(data, index, s); break;
        case SampleFormat::F32: put<SampleFormat::F32>(data, index, s); break;
        case SampleFormat::F64: put<SampleFormat::F64>(data, index, s); break;
    }
}

void write_silence(SampleFormat format, void* data, std::size_t index) noexcept {
    switch (format) {
        case SampleFormat::I8: silence<SampleFormat::I8>(data, index); break;
        case SampleFormat::I16: silence<SampleFormat::I16>(data, index); break;
        case SampleFormat::I24: silence<SampleFormat::I24>(data, index); break;
        case SampleFormat::I32: silence<SampleFormat::I32>(data, index); break;
        case SampleFormat::I64: silence<SampleFormat::I64>(data, index); break;
        case SampleFormat::U8: silence<SampleFormat::U8>(data, index); break;
        case SampleFormat::U16: silence<SampleFormat::U16>(data, index); break;
        case SampleFormat::U24: silence<SampleFormat::U24>(data, index); break;
        case SampleFormat::U32: silence<SampleFormat::U32>(data, index); break;
        case SampleFormat::U64: silence<SampleFormat::U64>(data, index); break;
        case SampleFormat::F32: silence<SampleFormat::F32>(data, index); break;
        case SampleFormat::F64: silence<SampleFormat::F64>(data, index); break;
    }
}

void flush_tap(Tap& tap, std::vector<float>& block, std::size_t cap, std::atomic<std::uint64_t>& tap_dropped) noexcept {
    if (!tap.lock.try_lock()) return;  // the samples wait in the block buffer
    if (tap.lock.poisoned()) {
        tap.lock.unlock();
        return;
    }
    if (tap.samples.size() > cap) {
        tap_dropped.fetch_add(tap.samples.size(), std::memory_order_relaxed);
        tap.samples.clear();
    }
    try {
        tap.samples.insert(tap.samples.end(), block.begin(), block.end());
    } catch (...) {
        tap.lock.poison();
    }
    block.clear();
    tap.lock.unlock();
}

void on_output(OutputState& st, void* data, std::size_t samples) noexcept {
    SharedParams& shared = *st.params;
    if (shared.lock.try_lock()) {
        if (!shared.lock.poisoned()) {
            const GenParams p = shared.params;
            Generator& g = st.generator;
            if (p.signal != g.params.signal) g.position = 0;
            if (!(p.gen_db == g.params.gen_db)) g.gain = gain_of(p.gen_db);
            g.params = p;
        }
        shared.lock.unlock();
    }
    const std::size_t frames = st.channels == 0 ? 0 : samples / st.channels;
    switch (st.format) {
        case SampleFormat::I8: render<SampleFormat::I8>(st, data, frames); break;
        case SampleFormat::I16: render<SampleFormat::I16>(st, data, frames); break;
        case SampleFormat::I24: render<SampleFormat::I24>(st, data, frames); break;
        case SampleFormat::I32: render<SampleFormat::I32>(st, data, frames); break;
        case SampleFormat::I64: render<SampleFormat::I64>(st, data, frames); break;
        case SampleFormat::U8: render<SampleFormat::U8>(st, data, frames); break;
        case SampleFormat::U16: render<SampleFormat::U16>(st, data, frames); break;
        case SampleFormat::U24: render<SampleFormat::U24>(st, data, frames); break;
        case SampleFormat::U32: render<SampleFormat::U32>(st, data, frames); break;
        case SampleFormat::U64: render<SampleFormat::U64>(st, data, frames); break;
        case SampleFormat::F32: render<SampleFormat::F32>(st, data, frames); break;
        case SampleFormat::F64: render<SampleFormat::F64>(st, data, frames); break;
    }
    if (st.tap) flush_tap(*st.tap, st.block, st.tap_cap, *st.tap_dropped);
}

void on_output_error(std::atomic<bool>& failed, const host::AudioError& e) {
    base::log::warn(TARGET, "output stream error", {{"err", capture::error_text(e)}});
    if (!capture::is_benign(e.kind)) failed.store(true);
}

base::Result<Output> open(std::string_view host_name, std::string_view id, std::size_t channel,
                          std::uint32_t rate, std::shared_ptr<SharedParams> params, std::shared_ptr<Tap> tap) {
    auto device = capture::find_device(host_name, id, false);
    if (!device) return base::fail(device.error());
    auto cfg = capture::best_config(**device, false, rate);
    if (!cfg) return base::fail(cfg.error());
    const std::size_t c = cfg->channels;
    if (channel >= c) return base::fail(fmt::format("output has {} channels, channel {} not available", c, channel + 1));
    const std::uint32_t actual = cfg->rate;

    GenParams copied;
    {
        std::unique_lock lk(params->lock);
        if (params->lock.poisoned()) return base::fail(lock_error_text(std::move(lk)));
        copied = params->params;
    }
    auto failed = std::make_shared<std::atomic<bool>>(false);
    OutputState st;
    if (tap) {
        std::unique_lock lk(tap->lock);
        if (tap->lock.poisoned()) return base::fail(lock_error_text(std::move(lk)));
        tap->samples.reserve(tap->samples.size() + std::size_t{11} * actual);
        lk.unlock();
        st.block.reserve(actual);
    }
    auto tap_dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
    const SampleFormat format = cfg->format;
    if (!host::is_known(format))
        return base::fail(fmt::format("unsupported output sample format {}", host::format_name(format)));
    st.generator = Generator(static_cast<float>(actual), copied);
    st.params = std::move(params);
    st.tap_dropped = tap_dropped;
    st.channels = c;
    st.tap = std::move(tap);
    st.channel = channel;
    st.tap_cap = std::size_t{10} * actual;
    st.format = format;

    // The render state lives in one place; the callback refers to it.
    auto state = std::make_shared<OutputState>(std::move(st));
    auto stream = (*device)->build_output_stream(
        *cfg, [state](void* data, std::size_t n) { on_output(*state, data, n); },
        [failed](const host::AudioError& e) { on_output_error(*failed, e); });
    if (!stream) return base::fail(capture::error_text(stream.error()));
    if (auto played = (*stream)->play(); !played) {
        stream->reset();
        return base::fail(capture::error_text(played.error()));
    }
    base::log::info(TARGET, "output started",
                    {{"rate", actual}, {"channels", c}, {"fmt", host::format_name(format)}, {"channel", channel}});
    return Output{std::move(*stream), std::move(failed), std::move(tap_dropped), actual};
}

}  // namespace engine::generator
