#include "ui/device_list.h"

namespace ui::main_window {

namespace {

DeviceLists list_both() {
    return {engine::capture::list_devices(true), engine::capture::list_devices(false)};
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
    tx.send(list_both());  // a window that is gone is not a reason to stop
    // Every event, whatever it says, gives one re-list and one send; the loop
    // ends when the watcher's polling thread has ended.
    while (event_rx.recv()) tx.send(list_both());
    event_rx = base::Receiver<audio_watcher::AudioDeviceEvent>();
    watcher.reset();
}

}  // namespace ui::main_window
