#include "audio-watcher/host.h"

#include <mutex>
#include <thread>

namespace audio_watcher::host {

// The platform side (rtaudio_host.cpp).
HostHandle make_platform_host(std::string_view name);
std::vector<std::string> compiled_platform_hosts();

bool is_known(SampleFormat f) { return static_cast<std::uint8_t>(f) <= static_cast<std::uint8_t>(SampleFormat::F64); }

std::string format_name(SampleFormat f) {
    static constexpr std::array<const char*, 12> names = {"I8",  "I16", "I24", "I32", "I64", "U8",
                                                          "U16", "U24", "U32", "U64", "F32", "F64"};
    if (!is_known(f)) return "Unknown";
    return names[static_cast<std::size_t>(f)];
}

std::size_t format_bytes(SampleFormat f) {
    switch (f) {
        case SampleFormat::I8:
        case SampleFormat::U8: return 1;
        case SampleFormat::I16:
        case SampleFormat::U16: return 2;
        case SampleFormat::I24:
        case SampleFormat::U24:
        case SampleFormat::I32:
        case SampleFormat::U32:
        case SampleFormat::F32: return 4;
        case SampleFormat::I64:
        case SampleFormat::U64:
        case SampleFormat::F64: return 8;
    }
    return 0;
}

std::string_view standard_text(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::DeviceBusy:
            return "The requested device is temporarily busy. Another application or stream may be using it.";
        case ErrorKind::RouteChanged:
            return "The audio route changed. The stream was automatically rerouted to a different device.";
        case ErrorKind::DeviceNotAvailable:
            return "The requested audio device is not available. It may have been disconnected.";
        case ErrorKind::HostUnavailable:
            return "The requested audio host is not available. The subsystem or daemon may not be installed or "
                   "running.";
        case ErrorKind::InvalidArgument: return "Invalid input or argument.";
        case ErrorKind::PermissionDenied: return "Permission denied. Grant the required access and retry.";
        case ErrorKind::RealtimeDenied:
            return "Real-time scheduling was refused for the audio thread. Audio may be subject to increased "
                   "latency or glitches under load.";
        case ErrorKind::ResourceExhausted:
            return "An OS resource limit was reached. Freeing resources and retrying may succeed.";
        case ErrorKind::StreamInvalidated: return "The stream configuration is no longer valid and must be rebuilt.";
        case ErrorKind::UnsupportedConfig: return "The requested stream configuration is not supported by the device.";
        case ErrorKind::UnsupportedOperation: return "The requested operation is not supported.";
        case ErrorKind::Xrun: return "A buffer underrun or overrun occurred.";
        case ErrorKind::BackendSpecific: return "The audio backend returned an unclassified error.";
        case ErrorKind::Other: return "An error occurred.";
    }
    return "An error occurred.";
}

std::string text_of(const AudioError& e) {
    if (e.message) return *e.message;
    return std::string(standard_text(e.kind));
}

std::uint64_t Host::wait_for_change(std::uint64_t seen, std::chrono::milliseconds limit) {
    std::this_thread::sleep_for(limit);
    (void)seen;
    return changes();
}

std::vector<std::string> platform_host_names() { return compiled_platform_hosts(); }

namespace {

struct Current {
    std::mutex mu;
    HostHandle installed;
    HostHandle platform;  // chosen once
    std::vector<std::pair<std::string, HostHandle>> by_name;
};

Current& state() {
    static Current c;
    return c;
}

HostHandle platform_host_locked(Current& c, std::string_view name) {
    for (auto& [n, h] : c.by_name)
        if (n == name) return h;
    HostHandle h = make_platform_host(name);
    if (h) c.by_name.emplace_back(std::string(name), h);
    return h;
}

}  // namespace

HostHandle platform_host(std::string_view name) {
    auto& c = state();
    std::lock_guard lk(c.mu);
    return platform_host_locked(c, name);
}

HostHandle current() {
    auto& c = state();
    std::lock_guard lk(c.mu);
    if (c.installed) return c.installed;
    if (c.platform) return c.platform;
    HostHandle first;
    for (const auto& name : compiled_platform_hosts()) {
        HostHandle h = platform_host_locked(c, name);
        if (!h) continue;
        if (!first) first = h;
        auto devices = h->devices();
        if (devices && !devices->empty()) {
            c.platform = h;
            return h;
        }
    }
    c.platform = first;
    return first;
}

HostHandle set_current(HostHandle host) {
    auto& c = state();
    std::lock_guard lk(c.mu);
    HostHandle previous = std::move(c.installed);
    c.installed = std::move(host);
    return previous;
}

}  // namespace audio_watcher::host
