#pragma once
// The device watcher: a polling thread that compares a snapshot of the audio
// host's devices every 2 s with the previous one and sends an
// AudioDeviceEvent for every change on a channel.
#include <atomic>
#include <chrono>
#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "audio-watcher/event.h"
#include "audio-watcher/host.h"
#include "audio-watcher/host_common.h"
#include "base/channel.h"

namespace audio_watcher {

// What the device-list thread programs against: a watcher started on the
// sending end of an event channel, which stops its thread when dropped.
template <class W>
concept DeviceWatcher = std::movable<W> && requires(base::Sender<AudioDeviceEvent> tx) {
    { W::start(std::move(tx)) } -> std::same_as<W>;
};

// The events between two snapshots, in the order they are sent: outputs
// added, inputs added (unless an output of the new snapshot has the same
// name), outputs removed, inputs removed (unless an output of the previous
// snapshot had the same name), default output changes, default input changes.
// Default devices are resolved against `h`.
std::vector<AudioDeviceEvent> events_between(const host_common::DeviceSnapshot& prev,
                                             const host_common::DeviceSnapshot& next, host::Host& h);

namespace macos {

// The pause between polls. Returns false to end the polling thread (only
// tests do that); the default sleeps for real and always goes on.
using Sleep = std::function<bool(std::chrono::nanoseconds)>;
inline constexpr std::chrono::seconds POLL_INTERVAL{2};
// After a change that the host told of, the pause before the snapshot.
inline constexpr std::chrono::milliseconds SETTLE{30};

// The polling thread's body: snapshots `h` every POLL_INTERVAL until `stop`
// is set (looked at once after each sleep) and sends the changes on `tx`. A
// host that tells of its changes (JACK) is snapshotted as soon as one comes,
// and at the interval otherwise.
void watch_loop(host::HostHandle h, base::Sender<AudioDeviceEvent> tx, std::shared_ptr<std::atomic<bool>> stop,
                Sleep sleep);

// The watcher of the host in use. Dropping it sets the stop flag and joins the
// polling thread, which can take up to one sleep plus one poll.
class AudioDeviceWatcher {
public:
    static AudioDeviceWatcher start(base::Sender<AudioDeviceEvent> tx);
    static AudioDeviceWatcher start(base::Sender<AudioDeviceEvent> tx, host::HostHandle h, Sleep sleep);

    AudioDeviceWatcher(AudioDeviceWatcher&&) noexcept = default;
    AudioDeviceWatcher& operator=(AudioDeviceWatcher&& o) noexcept;
    AudioDeviceWatcher(const AudioDeviceWatcher&) = delete;
    AudioDeviceWatcher& operator=(const AudioDeviceWatcher&) = delete;
    ~AudioDeviceWatcher();

private:
    AudioDeviceWatcher() = default;
    void stop();

    std::shared_ptr<std::atomic<bool>> stop_;
    std::optional<std::thread> thread_;
};

static_assert(DeviceWatcher<AudioDeviceWatcher>);

}  // namespace macos

}  // namespace audio_watcher
