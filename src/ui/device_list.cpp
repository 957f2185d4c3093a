#include "ui/device_list.h"

#include "base/log.h"

namespace ui::main_window {

namespace {

constexpr const char* TARGET = "Veltrum::ui::main_window::device_list";
// A listing that failed is tried again after this pause even when no
// device event comes.
constexpr std::chrono::seconds RETRY{1};

// Both lists, or nothing when either listing failed: a failed listing must
// never reach the window as an empty list, which would read as every
// device gone. The first failure of a run of them is logged.
std::optional<DeviceLists> list_both(bool& failing) {
    auto inputs = engine::capture::try_list_devices(true);
    auto outputs = inputs ? engine::capture::try_list_devices(false) : base::Result<DeviceList>();
    if (!inputs || !outputs) {
        if (!failing)
            base::log::warn(TARGET, "device list failed, keeping the last one",
                            {{"err", !inputs ? inputs.error() : outputs.error()}});
        failing = true;
        return std::nullopt;
    }
    if (failing) base::log::info(TARGET, "device list read again");
    failing = false;
    return DeviceLists{std::move(*inputs), std::move(*outputs)};
}

}  // namespace

void device_list_thread(base::Sender<DeviceLists> tx) { device_list_thread(std::move(tx), {}); }

void device_list_thread(base::Sender<DeviceLists> tx, audio_watcher::macos::Sleep sleep) {
    auto [event_tx, event_rx] = base::channel<audio_watcher::AudioDeviceEvent>();
    std::optional<audio_watcher::macos::AudioDeviceWatcher> watcher;
    if (sleep) {
        watcher.emplace(audio_watcher::macos::AudioDeviceWatcher::start(std::move(event_tx),
                                                                        audio_watcher::host::current(), std::move(sleep)));
    } else {
        watcher.emplace(audio_watcher::macos::AudioDeviceWatcher::start(std::move(event_tx)));
    }
    bool failing = false;
    // A window that is gone is not a reason to stop.
    if (auto lists = list_both(failing)) tx.send(std::move(*lists));
    // Every event, whatever it says, gives one re-list and one send; a
    // listing that failed is tried again until one succeeds. The loop ends
    // when the watcher's polling thread has ended.
    for (;;) {
        if (failing) {
            auto got = event_rx.recv_timeout(RETRY);
            if (got.status == base::RecvStatus::Closed) break;
        } else if (!event_rx.recv()) {
            break;
        }
        if (auto lists = list_both(failing)) tx.send(std::move(*lists));
    }
    event_rx = base::Receiver<audio_watcher::AudioDeviceEvent>();
    watcher.reset();
}

}  // namespace ui::main_window
