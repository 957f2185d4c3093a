#include "engine/audio/capture.h"

#include <fmt/format.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "audio-watcher/config.h"
#include "base/log.h"

namespace engine::capture {

namespace {

constexpr const char* TARGET = "Veltrum::engine::capture";

using host::SampleFormat;

template <class T>
T load(const void* data, std::size_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const unsigned char*>(data) + i * sizeof(T), sizeof(T));
    return v;
}

float from_f64(double x) noexcept {
    // Values beyond the float range (by more than half an ulp of FLT_MAX)
    // would round to infinity.
    constexpr double limit = static_cast<double>(FLT_MAX) + 0x1p103;
    if (!std::isfinite(x) || std::fabs(x) >= limit) return 0.0f;
    return static_cast<float>(x);
}

template <SampleFormat F>
float convert(const void* d, std::size_t i) noexcept {
    if constexpr (F == SampleFormat::I8) return static_cast<float>(load<std::int8_t>(d, i)) / 128.0f;
    if constexpr (F == SampleFormat::I16) return static_cast<float>(load<std::int16_t>(d, i)) / 32768.0f;
    if constexpr (F == SampleFormat::I24) return static_cast<float>(load<std::int32_t>(d, i)) / 8388608.0f;
    if constexpr (F == SampleFormat::I32) return static_cast<float>(load<std::int32_t>(d, i)) / 2147483648.0f;
    if constexpr (F == SampleFormat::I64)
        return static_cast<float>(load<std::int64_t>(d, i)) / 9223372036854775808.0f;
    if constexpr (F == SampleFormat::U8)
        return static_cast<float>(static_cast<int>(load<std::uint8_t>(d, i)) - 128) / 128.0f;
    if constexpr (F == SampleFormat::U16)
        return static_cast<float>(static_cast<std::int32_t>(load<std::uint16_t>(d, i)) - 32768) / 32768.0f;
    if constexpr (F == SampleFormat::U24)
        return static_cast<float>(static_cast<std::int64_t>(load<std::uint32_t>(d, i)) - 8388608) / 8388608.0f;
    if constexpr (F == SampleFormat::U32)
        return static_cast<float>(static_cast<std::int64_t>(load<std::uint32_t>(d, i)) - 2147483648LL) /
               2147483648.0f;
    if constexpr (F == SampleFormat::U64)
        return static_cast<float>(static_cast<std::int64_t>(load<std::uint64_t>(d, i) - (std::uint64_t{1} << 63))) /
               9223372036854775808.0f;
    if constexpr (F == SampleFormat::F32) {
        const float x = load<float>(d, i);
        return std::isfinite(x) ? x : 0.0f;
    }
    if constexpr (F == SampleFormat::F64) return from_f64(load<double>(d, i));
    return 0.0f;
}

void raise_peak(std::atomic<std::uint32_t>& peak, float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint32_t cur = peak.load(std::memory_order_relaxed);
    while (bits > cur && !peak.compare_exchange_weak(cur, bits, std::memory_order_relaxed)) {
    }
}

template <SampleFormat F>
void append(InputState& st, const void* data, std::size_t frames, float& mic_max, float& ref_max) {
    Shared& s = *st.shared;
    const std::size_t c = st.channels;
    for (std::size_t f = 0; f < frames; ++f) {
        const float m = convert<F>(data, f * c + st.mic);
        s.mic.push_back(m);
        mic_max = std::fmax(mic_max, std::fabs(m));
        if (st.reference) {
            const float r = convert<F>(data, f * c + *st.reference);
            s.reference.push_back(r);
            ref_max = std::fmax(ref_max, std::fabs(r));
        }
    }
}

std::string fail_text(const host::AudioError& e) { return error_text(e); }

}  // namespace

// ---------------------------------------------------------------------------

std::string error_text(const host::AudioError& e) { return host::text_of(e); }

bool is_benign(host::ErrorKind kind) {
    return kind == host::ErrorKind::RouteChanged || kind == host::ErrorKind::RealtimeDenied ||
           kind == host::ErrorKind::Xrun;
}

std::string lock_error_text(std::unique_lock<PoisonMutex> held) {
    if (held.owns_lock()) held.unlock();
    return "poisoned lock: another task failed inside";
}

float sample_to_f32(SampleFormat format, const void* data, std::size_t index) noexcept {
    switch (format) {
        case SampleFormat::I8: return convert<SampleFormat::I8>(data, index);
        case SampleFormat::I16: return convert<SampleFormat::I16>(data, index);
        case SampleFormat::I24: return convert<SampleFormat::I24>(data, index);
        case SampleFormat::I32: return convert<SampleFormat::I32>(data, index);
        case SampleFormat::I64: return convert<SampleFormat::I64>(data, index);
        case SampleFormat::U8: return convert<SampleFormat::U8>(data, index);
        case SampleFormat::U16: return convert<SampleFormat::U16>(data, index);
        case SampleFormat::U24: return convert<SampleFormat::U24>(data, index);
        case SampleFormat::U32: return convert<SampleFormat::U32>(data, index);
        case SampleFormat::U64: return convert<SampleFormat::U64>(data, index);
        case SampleFormat::F32: return convert<SampleFormat::F32>(data, index);
        case SampleFormat::F64: return convert<SampleFormat::F64>(data, index);
    }
    return 0.0f;
}

// ---------------------------------------------------------------------------
// Device lists

DeviceList list_devices(bool input) {
    auto list = try_list_devices(input);
    return list ? std::move(*list) : DeviceList{};
}

base::Result<DeviceList> try_list_devices(bool input) {
    host::HostHandle h = host::current();
    if (!h) return base::fail("no audio host");
    auto devices = h->devices();
    if (!devices) return base::fail(fail_text(devices.error()));
    const std::string prefix = h->id_prefix();
    std::vector<AudioDevice> entries;
    for (const host::DeviceHandle& d : *devices) {
        if (!(input ? d->supports_input() : d->supports_output())) continue;
        auto ident = d->id_text();
        if (!ident) continue;
        AudioDevice e;
        e.id = prefix + *ident;
        auto desc = d->description();
        e.name = desc ? desc->name : e.id;
        auto def = d->default_config(input);
        e.channels = def ? def->channels : 0;
        auto ranges = d->supported_configs(input);
        if (ranges) {
            for (std::uint32_t r : STANDARD_RATES) {
                try {
                    if (auto cfg = audio_watcher::config::pick_config(*ranges, r)) e.rates.emplace_back(r, cfg->channels);
                } catch (const std::invalid_argument&) {
                }
            }
        }
        entries.push_back(std::move(e));
    }
    if (entries.empty()) return {};
    DeviceList out;
    out.emplace_back(h->name(), std::move(entries));
    return out;
}

base::Result<host::DeviceHandle> find_device(std::string_view host_name, std::string_view id, bool input) {
    host::HostHandle h = host::current();
    if (!h || h->name() != host_name) return base::fail(fmt::format("audio host {} not available", host_name));
    auto devices = h->devices();
    if (!devices) return base::fail(fail_text(devices.error()));
    const std::string prefix = h->id_prefix();
    for (const host::DeviceHandle& d : *devices) {
        if (!(input ? d->supports_input() : d->supports_output())) continue;
        auto ident = d->id_text();
        const std::string full = ident ? prefix + *ident : std::string();
        if (full == id) return d;
    }
    return base::fail(std::string(DEVICE_NOT_FOUND));
}

base::Result<std::vector<host::SupportedRange>> supported_configs(const host::Device& device, bool input) {
    auto ranges = device.supported_configs(input);
    if (!ranges) return base::fail(fail_text(ranges.error()));
    return std::move(*ranges);
}

base::Result<host::StreamConfig> best_config(const host::Device& device, bool input, std::uint32_t rate) {
    auto ranges = supported_configs(device, input);
    if (!ranges) return base::fail(ranges.error());
    std::optional<host::StreamConfig> cfg;
    try {
        cfg = audio_watcher::config::pick_config(*ranges, rate);
    } catch (const std::invalid_argument& e) {
        return base::fail(e.what());
    }
    if (!cfg) return base::fail("device has no stream configs");
    return *cfg;
}

// ---------------------------------------------------------------------------
// Stream errors

void ErrorSlot::post(const host::AudioError& e) noexcept {
    int expected = EMPTY;
    if (!state_.compare_exchange_strong(expected, WRITING, std::memory_order_acquire)) {
        lost_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    kind_ = e.kind;
    has_text_ = e.message.has_value();
    std::size_t n = 0;
    if (e.message) {
        n = std::min(e.message->size(), TEXT_BYTES);
        // Cut before a continuation byte so that the text stays valid UTF-8.
        if (n < e.message->size())
            while (n > 0 && (static_cast<unsigned char>((*e.message)[n]) & 0xC0) == 0x80) --n;
        std::memcpy(text_.data(), e.message->data(), n);
    }
    len_ = n;
    state_.store(FULL, std::memory_order_release);
}

std::optional<host::AudioError> ErrorSlot::take() {
    int expected = FULL;
    if (!state_.compare_exchange_strong(expected, READING, std::memory_order_acquire)) return std::nullopt;
    host::AudioError e{kind_, std::nullopt};
    try {
        if (has_text_) e.message = std::string(text_.data(), len_);
    } catch (...) {
        state_.store(EMPTY, std::memory_order_release);
        throw;
    }
    state_.store(EMPTY, std::memory_order_release);
    return e;
}

void log_error(ErrorSlot& slot, const char* target, const char* message) {
    const std::uint64_t lost = slot.take_lost();
    if (auto e = slot.take()) {
        if (lost != 0)
            base::log::warn(target, message, {{"err", error_text(*e)}, {"more", lost}});
        else
            base::log::warn(target, message, {{"err", error_text(*e)}});
    }
}

void note_error(const host::AudioError& e, std::atomic<bool>& failed, std::atomic<std::uint64_t>& xruns,
                ErrorSlot& slot) noexcept {
    if (e.kind == host::ErrorKind::Xrun) {
        xruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot.post(e);
    if (!is_benign(e.kind)) failed.store(true);
}

// ---------------------------------------------------------------------------
// Input stream

void on_input(InputState& st, SampleFormat format, const void* data, std::size_t samples) noexcept {
    Shared& s = *st.shared;
    const std::size_t frames = st.channels == 0 ? 0 : samples / st.channels;
    if (!s.lock.try_lock()) {
        s.dropped.fetch_add(frames, std::memory_order_relaxed);
        s.missed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (s.lock.poisoned()) {
        s.lock.unlock();
        s.dropped.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    if (s.mic.size() > st.cap) {
        s.dropped.fetch_add(s.mic.size(), std::memory_order_relaxed);
        s.mic.clear();
        s.reference.clear();
    }
    float mic_max = 0.0f;
    float ref_max = 0.0f;
    try {
        switch (format) {
            case SampleFormat::I8: append<SampleFormat::I8>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::I16: append<SampleFormat::I16>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::I24: append<SampleFormat::I24>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::I32: append<SampleFormat::I32>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::I64: append<SampleFormat::I64>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::U8: append<SampleFormat::U8>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::U16: append<SampleFormat::U16>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::U24: append<SampleFormat::U24>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::U32: append<SampleFormat::U32>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::U64: append<SampleFormat::U64>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::F32: append<SampleFormat::F32>(st, data, frames, mic_max, ref_max); break;
            case SampleFormat::F64: append<SampleFormat::F64>(st, data, frames, mic_max, ref_max); break;
        }
    } catch (...) {
        // A list that could not grow is half written: nobody may trust it.
        s.lock.poison();
    }
    s.lock.unlock();
    raise_peak(s.mic_peak, mic_max);
    raise_peak(s.ref_peak, ref_max);
}

void on_input_error(Shared& shared, const host::AudioError& e) noexcept {
    note_error(e, shared.failed, shared.xruns, shared.error);
}

void log_input_error(Shared& shared) { log_error(shared.error, TARGET, "input stream error"); }

base::Result<Input> open(std::string_view host_name, std::string_view id, std::size_t mic,
                         std::optional<std::size_t> reference, std::uint32_t rate) {
    auto device = find_device(host_name, id, true);
    if (!device) return base::fail(device.error());
    auto cfg = best_config(**device, true, rate);
    if (!cfg) return base::fail(cfg.error());
    const std::size_t c = cfg->channels;
    if (mic >= c || (reference && *reference >= c))
        return base::fail(fmt::format("device has {} channels, mic {} / reference {} not available", c, mic + 1,
                                      reference ? *reference + 1 : 1));
    const std::uint32_t actual = cfg->rate;
    auto shared = std::make_shared<Shared>();
    shared->mic.reserve(std::size_t{11} * actual);
    if (reference) shared->reference.reserve(std::size_t{11} * actual);
    InputState state{shared, c, std::size_t{10} * actual, mic, reference};
    const SampleFormat format = cfg->format;
    if (!host::is_known(format))
        return base::fail(fmt::format("unsupported input sample format {}", host::format_name(format)));
    auto stream = (*device)->build_input_stream(
        *cfg,
        [state, format](const void* data, std::size_t n) mutable { on_input(state, format, data, n); },
        [shared](const host::AudioError& e) { on_input_error(*shared, e); });
    if (!stream) return base::fail(error_text(stream.error()));
    if (auto played = (*stream)->play(); !played) {
        stream->reset();
        return base::fail(error_text(played.error()));
    }
    base::log::info(TARGET, "input started",
                    {{"rate", actual},
                     {"channels", c},
                     {"fmt", host::format_name(format)},
                     {"mic_ch", mic},
                     {"ref_ch", reference ? std::to_string(*reference) : std::string("none")}});
    return Input{std::move(shared), std::move(*stream), actual};
}

}  // namespace engine::capture
