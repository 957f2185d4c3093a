// The platform hosts on Linux: JACK through a client of our own
// (jack_host.cpp), PulseAudio and ALSA through RtAudio.
#include <alsa/asoundlib.h>
#include <rtaudio/RtAudio.h>

#include <cstdarg>
#include <cstdio>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "audio-watcher/host.h"
#include "base/log.h"

namespace audio_watcher::host {

HostHandle make_jack_host();

namespace {

// ALSA writes its complaints (no card, no such device) to the terminal
// unless given a handler: they go to the log at debug level instead.
void alsa_message(const char* file, int line, const char* function, int err, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    base::log::debug("Veltrum::audio_watcher::alsa", text,
                     {{"at", fmt::format("{}:{} {}", file ? file : "", line, function ? function : "")},
                      {"err", fmt::format("{}", err)}});
}

void quiet_alsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&alsa_message); });
}

struct ApiName {
    RtAudio::Api api;
    const char* name;    // display name: the host name
    const char* prefix;  // lower-case name and a colon
};

constexpr std::array<ApiName, 2> APIS = {{
    {RtAudio::LINUX_PULSE, "PulseAudio", "pulseaudio:"},
    {RtAudio::LINUX_ALSA, "ALSA", "alsa:"},
}};

bool compiled(RtAudio::Api api) {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

AudioError from_rt(RtAudioError::Type type, std::string text) {
    ErrorKind kind = ErrorKind::BackendSpecific;
    switch (type) {
        case RtAudioError::WARNING:
        case RtAudioError::DEBUG_WARNING: kind = ErrorKind::Xrun; break;
        case RtAudioError::NO_DEVICES_FOUND:
        case RtAudioError::INVALID_DEVICE: kind = ErrorKind::DeviceNotAvailable; break;
        case RtAudioError::INVALID_PARAMETER:
        case RtAudioError::INVALID_USE: kind = ErrorKind::InvalidArgument; break;
        case RtAudioError::MEMORY_ERROR: kind = ErrorKind::ResourceExhausted; break;
        default: break;
    }
    if (text.empty()) return AudioError{kind, std::nullopt};
    return AudioError{kind, std::move(text)};
}

std::optional<RtAudioFormat> rt_format(SampleFormat f) {
    switch (f) {
        case SampleFormat::I8: return RTAUDIO_SINT8;
        case SampleFormat::I16: return RTAUDIO_SINT16;
        case SampleFormat::I32: return RTAUDIO_SINT32;
        case SampleFormat::F32: return RTAUDIO_FLOAT32;
        case SampleFormat::F64: return RTAUDIO_FLOAT64;
        default: return std::nullopt;  // RtAudio packs 24 bits in 3 bytes and has no unsigned formats
    }
}

// Our own streams are JACK clients with ports, which RtAudio lists as
// devices; they are not devices to measure with.
constexpr const char* INPUT_CLIENT = "veltrum-input";
constexpr const char* OUTPUT_CLIENT = "veltrum-output";

bool own_client(const std::string& name) {
    return name.starts_with(INPUT_CLIENT) || name.starts_with(OUTPUT_CLIENT);
}

// Serialises every call that opens, starts, stops or closes a client of the
// sound server (device lists open short-lived ones). The JACK library
// cancels a client's notification thread when the client closes; if that
// thread is then handling the arrival of another client of this process, it
// dies holding the library's lock and every later open or close in the
// process waits forever. One such call at a time keeps our own clients from
// arriving while another of ours closes. Recursive: a stream that fails to
// open is dropped while its opening still holds it.
std::recursive_mutex& client_mutex() {
    static std::recursive_mutex m;
    return m;
}

// The formats RtAudio converts from and to whatever the device uses, in the
// order the ranges list them.
constexpr std::array<SampleFormat, 5> RT_FORMATS = {SampleFormat::I8, SampleFormat::I16, SampleFormat::I32,
                                                    SampleFormat::F64, SampleFormat::F32};

// ---------------------------------------------------------------------------
// Error routing. RtAudio's error callback carries no user pointer, so every
// open stream borrows one of a fixed set of trampolines. The error callback
// may run on the audio thread: it finds its stream without locking, and a
// stream that gives up its slot waits until no call is inside it.

class RtStream;
constexpr std::size_t SLOTS = 32;
std::mutex g_slot_mu;  // serialises taking and giving up slots, never held by a callback
std::array<std::atomic<RtStream*>, SLOTS> g_slots{};
std::array<std::atomic<int>, SLOTS> g_inside{};  // error calls running in each slot

void route_error(std::size_t slot, RtAudioError::Type type, const std::string& text);

template <std::size_t I>
void trampoline(RtAudioError::Type type, const std::string& text) {
    route_error(I, type, text);
}

template <std::size_t... I>
constexpr std::array<RtAudioErrorCallback, SLOTS> make_trampolines(std::index_sequence<I...>) {
    return {&trampoline<I>...};
}
constexpr auto TRAMPOLINES = make_trampolines(std::make_index_sequence<SLOTS>{});

class RtStream final : public Stream {
public:
    RtStream(bool input, std::size_t channels, InputCallback in, OutputCallback out, ErrorCallback err)
        : input_(input), channels_(channels), in_(std::move(in)), out_(std::move(out)), err_(std::move(err)) {}

    ~RtStream() override {
        stop_monitor();
        std::lock_guard clients(client_mutex());
        try {
            if (rt_ && rt_->isStreamRunning()) rt_->stopStream();
        } catch (...) {
        }
        try {
            if (rt_ && rt_->isStreamOpen()) rt_->closeStream();
        } catch (...) {
        }
        rt_.reset();
        release_slot();
    }

    bool take_slot() {
        std::lock_guard lk(g_slot_mu);
        for (std::size_t i = 0; i < SLOTS; ++i) {
            if (g_slots[i].load() == nullptr) {
                g_slots[i].store(this);
                slot_ = i;
                return true;
            }
        }
        return false;
    }

    void release_slot() {
        std::lock_guard lk(g_slot_mu);
        if (slot_ < SLOTS && g_slots[slot_].load() == this) {
            g_slots[slot_].store(nullptr);
            while (g_inside[slot_].load() != 0) std::this_thread::yield();
        }
        slot_ = SLOTS;
    }

    Expected<void> open(RtAudio::Api api, unsigned device_index, const StreamConfig& config, RtAudioFormat format) {
        try {
            rt_ = std::make_unique<RtAudio>(api);
            rt_->showWarnings(false);
            RtAudio::StreamParameters params;
            params.deviceId = device_index;
            params.nChannels = config.channels;
            params.firstChannel = 0;
            RtAudio::StreamOptions options;
            options.streamName = input_ ? INPUT_CLIENT : OUTPUT_CLIENT;
            unsigned frames = 512;
            rt_->openStream(input_ ? nullptr : &params, input_ ? &params : nullptr, format, config.rate, &frames,
                            &RtStream::callback, this, &options, TRAMPOLINES[slot_]);
        } catch (const RtAudioError& e) {
            return std::unexpected(from_rt(e.getType(), e.getMessage()));
        } catch (const std::exception& e) {
            return fail(ErrorKind::BackendSpecific, e.what());
        }
        if (!rt_->isStreamOpen()) return std::unexpected(last_error());
        return {};
    }

    Expected<void> play() override {
        std::unique_lock clients(client_mutex());
        try {
            if (!rt_->isStreamRunning()) rt_->startStream();
        } catch (const RtAudioError& e) {
            return std::unexpected(from_rt(e.getType(), e.getMessage()));
        }
        if (!rt_->isStreamRunning()) return std::unexpected(last_error());
        clients.unlock();
        started_.store(true);
        start_monitor();
        return {};
    }

    Expected<void> pause() override {
        stop_monitor();
        std::lock_guard clients(client_mutex());
        try {
            if (rt_->isStreamRunning()) rt_->stopStream();
        } catch (const RtAudioError& e) {
            return std::unexpected(from_rt(e.getType(), e.getMessage()));
        }
        return {};
    }

    // Called while the slot counts the call as inside.
    void on_error(RtAudioError::Type type, const std::string& text) {
        if (!started_.load()) {
            // Opening or starting: the caller's thread, which reads it back.
            std::lock_guard lk(error_mu_);
            last_ = from_rt(type, text);
            return;
        }
        // A running stream: an overrun or underrun is passed on without its
        // text, so that the audio thread copies nothing.
        AudioError e = from_rt(type, std::string());
        if (e.kind != ErrorKind::Xrun) {
            reported_.store(true);
            try {
                e.message = text.empty() ? std::nullopt : std::optional<std::string>(text);
            } catch (...) {
            }
        }
        if (err_) err_(e);
    }

private:
    // A JACK server that goes away closes its clients' streams without a
    // word to the error callback; a small watcher notices a playing stream
    // that stopped by itself and reports the device as gone.
    void start_monitor() {
        stop_monitor();
        {
            std::lock_guard lk(monitor_mu_);
            monitor_stop_ = false;
        }
        monitor_ = std::thread([this] {
            try {
                std::unique_lock lk(monitor_mu_);
                while (!monitor_cv_.wait_for(lk, std::chrono::milliseconds(200), [this] { return monitor_stop_; })) {
                    if (rt_->isStreamRunning()) continue;
                    lk.unlock();
                    if (!reported_.exchange(true) && err_) err_(AudioError{ErrorKind::DeviceNotAvailable, std::nullopt});
                    return;
                }
            } catch (...) {
                // Nothing to report to: the stream simply stays as it is.
            }
        });
    }

    void stop_monitor() {
        {
            std::lock_guard lk(monitor_mu_);
            monitor_stop_ = true;
        }
        monitor_cv_.notify_all();
        if (monitor_.joinable()) monitor_.join();
    }

    AudioError last_error() {
        std::lock_guard lk(error_mu_);
        if (last_) return *last_;
        return AudioError{ErrorKind::BackendSpecific, std::nullopt};
    }

    static int callback(void* out, void* in, unsigned frames, double, RtAudioStreamStatus status, void* user) {
        auto* self = static_cast<RtStream*>(user);
        // An overrun (input) or underrun (output) before this block.
        if (status != 0 && self->err_) self->err_(AudioError{ErrorKind::Xrun, std::nullopt});
        const std::size_t n = std::size_t{frames} * self->channels_;
        if (self->input_) {
            if (in != nullptr && self->in_) self->in_(in, n);
        } else if (out != nullptr && self->out_) {
            self->out_(out, n);
        }
        return 0;
    }

    friend void route_error(std::size_t, RtAudioError::Type, const std::string&);

    bool input_;
    std::size_t channels_;
    InputCallback in_;
    OutputCallback out_;
    ErrorCallback err_;
    std::unique_ptr<RtAudio> rt_;
    std::size_t slot_ = SLOTS;
    std::atomic<bool> started_{false};
    std::atomic<bool> reported_{false};
    std::mutex monitor_mu_;
    std::condition_variable monitor_cv_;
    bool monitor_stop_ = false;
    std::thread monitor_;
    std::mutex error_mu_;
    std::optional<AudioError> last_;
};

void route_error(std::size_t slot, RtAudioError::Type type, const std::string& text) {
    g_inside[slot].fetch_add(1);
    if (RtStream* s = g_slots[slot].load()) s->on_error(type, text);
    g_inside[slot].fetch_sub(1);
}

// ---------------------------------------------------------------------------

class RtDevice final : public Device {
public:
    RtDevice(RtAudio::Api api, RtAudio::DeviceInfo info) : api_(api), info_(std::move(info)) {}

    Expected<std::string> id_text() const override {
        if (info_.name.empty()) return fail(ErrorKind::DeviceNotAvailable, "device has no name");
        return info_.name;
    }

    Expected<Description> description() const override {
        if (info_.name.empty()) return fail(ErrorKind::DeviceNotAvailable, "device has no name");
        return Description{info_.name, std::nullopt};
    }

    bool supports_input() const override { return info_.inputChannels > 0; }
    bool supports_output() const override { return info_.outputChannels > 0; }

    Expected<std::vector<SupportedRange>> supported_configs(bool input) const override {
        if (!info_.probed) return fail(ErrorKind::DeviceNotAvailable, "device could not be probed");
        const unsigned channels = input ? info_.inputChannels : info_.outputChannels;
        std::vector<SupportedRange> out;
        if (channels == 0) return out;
        const auto ch = static_cast<std::uint16_t>(std::min(channels, 65535u));
        for (SampleFormat f : RT_FORMATS)
            for (unsigned r : info_.sampleRates)
                out.push_back(SupportedRange{std::nullopt, r, r, ch, f});
        return out;
    }

    Expected<StreamConfig> default_config(bool input) const override {
        const unsigned channels = input ? info_.inputChannels : info_.outputChannels;
        if (!info_.probed || channels == 0 || info_.sampleRates.empty())
            return fail(ErrorKind::UnsupportedConfig, "device has no default configuration");
        unsigned rate = info_.preferredSampleRate;
        if (std::find(info_.sampleRates.begin(), info_.sampleRates.end(), rate) == info_.sampleRates.end())
            rate = info_.sampleRates.front();
        return StreamConfig{std::nullopt, static_cast<std::uint16_t>(std::min(channels, 65535u)),
                            SampleFormat::F32, rate};
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
        const auto format = rt_format(config.format);
        if (!format) return fail(ErrorKind::UnsupportedConfig);
        std::lock_guard clients(client_mutex());
        // Device indices move when devices come and go: find ours again by name.
        std::optional<unsigned> index;
        try {
            RtAudio rt(api_);
            rt.showWarnings(false);
            const unsigned count = rt.getDeviceCount();
            for (unsigned i = 0; i < count && !index; ++i) {
                auto info = rt.getDeviceInfo(i);
                if (info.name == info_.name && (input ? info.inputChannels : info.outputChannels) > 0) index = i;
            }
        } catch (const RtAudioError& e) {
            return std::unexpected(from_rt(e.getType(), e.getMessage()));
        }
        if (!index) return fail(ErrorKind::DeviceNotAvailable);
        auto stream = std::make_unique<RtStream>(input, config.channels, std::move(in), std::move(out), std::move(err));
        if (!stream->take_slot()) return fail(ErrorKind::ResourceExhausted, "too many open audio streams");
        if (auto r = stream->open(api_, *index, config, *format); !r) return std::unexpected(r.error());
        return StreamHandle(std::move(stream));
    }

    RtAudio::Api api_;
    RtAudio::DeviceInfo info_;
};

class RtHost final : public Host {
public:
    explicit RtHost(const ApiName& api) : api_(api) {}
    std::string name() const override { return api_.name; }
    std::string id_prefix() const override { return api_.prefix; }

    Expected<std::vector<DeviceHandle>> devices() override {
        std::vector<DeviceHandle> out;
        std::lock_guard clients(client_mutex());
        try {
            RtAudio rt(api_.api);
            rt.showWarnings(false);
            const unsigned count = rt.getDeviceCount();
            for (unsigned i = 0; i < count; ++i) {
                auto info = rt.getDeviceInfo(i);
                if (own_client(info.name)) continue;
                out.push_back(std::make_shared<RtDevice>(api_.api, std::move(info)));
            }
        } catch (const RtAudioError& e) {
            return std::unexpected(from_rt(e.getType(), e.getMessage()));
        } catch (const std::exception& e) {
            return fail(ErrorKind::BackendSpecific, e.what());
        }
        return out;
    }

    DeviceHandle default_input_device() override { return default_device(true); }
    DeviceHandle default_output_device() override { return default_device(false); }

private:
    DeviceHandle default_device(bool input) {
        std::lock_guard clients(client_mutex());
        try {
            RtAudio rt(api_.api);
            rt.showWarnings(false);
            const unsigned count = rt.getDeviceCount();
            for (unsigned i = 0; i < count; ++i) {
                auto info = rt.getDeviceInfo(i);
                if (input ? (info.isDefaultInput && info.inputChannels > 0)
                          : (info.isDefaultOutput && info.outputChannels > 0))
                    return std::make_shared<RtDevice>(api_.api, std::move(info));
            }
        } catch (...) {
        }
        return nullptr;
    }

    ApiName api_;
};

}  // namespace

std::vector<std::string> compiled_platform_hosts() {
    quiet_alsa();
    std::vector<std::string> out{"JACK"};
    for (const auto& a : APIS)
        if (compiled(a.api)) out.emplace_back(a.name);
    return out;
}

HostHandle make_platform_host(std::string_view name) {
    quiet_alsa();
    if (name == "JACK") return make_jack_host();
    for (const auto& a : APIS)
        if (name == a.name && compiled(a.api)) return std::make_shared<RtHost>(a);
    return nullptr;
}

}  // namespace audio_watcher::host
