#include "audio-watcher/watcher.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

#include "base/log.h"

namespace audio_watcher {

namespace {

using host_common::DefaultMap;
using host_common::DeviceMap;

bool has_name(const DeviceMap& devices, const std::string& name) {
    for (const auto& [id, dev] : devices) {
        if (dev.name == name) return true;
    }
    return false;
}

template <class Changed>
void default_changes(const DefaultMap& prev, const DefaultMap& next, const DeviceMap& known, host::Host& h,
                     std::vector<AudioDeviceEvent>& out) {
    for (const auto& [host_name, cur] : next) {
        std::optional<std::string> old;
        if (auto it = prev.find(host_name); it != prev.end()) old = it->second;
        if (old == cur) continue;  // both none, or the same id
        if (cur) {
            out.push_back(AudioDeviceEvent{Changed{host_common::resolve_device_by_id(h, *cur, known)}});
        } else {
            out.push_back(AudioDeviceEvent{Changed{event::AudioDevice{}}});
        }
    }
}

bool real_sleep(std::chrono::nanoseconds d) {
    timespec req{};
    req.tv_sec = static_cast<time_t>(d.count() / 1'000'000'000);
    req.tv_nsec = static_cast<long>(d.count() % 1'000'000'000);
    timespec rem{};
    // A sleep cut short by a signal goes on for the remaining time.
    while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
    return true;
}

}  // namespace

std::vector<AudioDeviceEvent> events_between(const host_common::DeviceSnapshot& prev,
                                             const host_common::DeviceSnapshot& next, host::Host& h) {
    std::vector<AudioDeviceEvent> out;
    using E = AudioDeviceEvent;
    for (const auto& [id, dev] : next.outputs) {
        if (!prev.outputs.contains(id)) out.push_back(E{E::Added{dev}});
    }
    for (const auto& [id, dev] : next.inputs) {
        if (!prev.inputs.contains(id) && !has_name(next.outputs, dev.name)) out.push_back(E{E::Added{dev}});
    }
    for (const auto& [id, dev] : prev.outputs) {
        if (!next.outputs.contains(id)) out.push_back(E{E::Removed{dev}});
    }
    for (const auto& [id, dev] : prev.inputs) {
        if (!next.inputs.contains(id) && !has_name(prev.outputs, dev.name)) out.push_back(E{E::Removed{dev}});
    }
    default_changes<E::DefaultOutputChanged>(prev.default_output, next.default_output, next.outputs, h, out);
    default_changes<E::DefaultInputChanged>(prev.default_input, next.default_input, next.inputs, h, out);
    return out;
}

namespace macos {

void watch_loop(host::HostHandle h, base::Sender<AudioDeviceEvent> tx, std::shared_ptr<std::atomic<bool>> stop,
                Sleep sleep) {
    if (!h) return;
    // No events for the devices present at start.
    host_common::DeviceSnapshot prev = host_common::build_device_snapshot(*h);
    std::uint64_t seen = h->changes();
    for (;;) {
        if (h->notifies_changes()) {
            // The host tells of every change: wait for one (or the interval,
            // to look at the stop flag), then let the burst of ports that a
            // client brings or takes settle.
            const std::uint64_t now = h->wait_for_change(seen, POLL_INTERVAL);
            if (now != seen) std::this_thread::sleep_for(SETTLE);
            seen = h->changes();
        } else if (!sleep(POLL_INTERVAL)) {
            break;
        }
        if (stop->load(std::memory_order_relaxed)) break;
        host_common::DeviceSnapshot next = host_common::build_device_snapshot(*h);
        host_common::carry_over(std::move(next.output_failures), prev.outputs, prev.default_output, next.outputs,
                                next.default_output);
        host_common::carry_over(std::move(next.input_failures), prev.inputs, prev.default_input, next.inputs,
                                next.default_input);
        next.output_failures.clear();
        next.input_failures.clear();
        for (AudioDeviceEvent& e : events_between(prev, next, *h)) {
            tx.send(std::move(e));  // nobody listening is not a reason to stop
        }
        prev = std::move(next);
    }
}

AudioDeviceWatcher AudioDeviceWatcher::start(base::Sender<AudioDeviceEvent> tx) {
    return start(std::move(tx), host::current(), real_sleep);
}

AudioDeviceWatcher AudioDeviceWatcher::start(base::Sender<AudioDeviceEvent> tx, host::HostHandle h, Sleep sleep) {
    AudioDeviceWatcher w;
    w.stop_ = std::make_shared<std::atomic<bool>>(false);
    if (!sleep) sleep = real_sleep;
    try {
        w.thread_.emplace([h = std::move(h), tx = std::move(tx), stop = w.stop_, sleep = std::move(sleep)]() mutable {
            try {
                watch_loop(std::move(h), std::move(tx), std::move(stop), std::move(sleep));
            } catch (const std::exception& e) {
                base::log::error("Veltrum::audio_watcher", fmt::format("device watcher failed: {}", e.what()),
                                 {{"at", "audio_watcher::macos::watch_loop"}});
            } catch (...) {
                base::log::error("Veltrum::audio_watcher", "device watcher failed: unknown exception",
                                 {{"at", "audio_watcher::macos::watch_loop"}});
            }
        });
    } catch (const std::system_error& e) {
        base::log::error("Veltrum::audio_watcher", fmt::format("spawn device watcher thread: {}", e.what()));
        std::abort();
    }
    return w;
}

AudioDeviceWatcher& AudioDeviceWatcher::operator=(AudioDeviceWatcher&& o) noexcept {
    if (this != &o) {
        stop();
        stop_ = std::move(o.stop_);
        thread_ = std::move(o.thread_);
        o.thread_.reset();
    }
    return *this;
}

AudioDeviceWatcher::~AudioDeviceWatcher() { stop(); }

void AudioDeviceWatcher::stop() {
    if (stop_) stop_->store(true, std::memory_order_relaxed);
    if (thread_ && thread_->joinable()) thread_->join();
    thread_.reset();
    stop_.reset();
}

}  // namespace macos

}  // namespace audio_watcher
