#pragma once
// The device-list thread: keeps the main window's input and output device
// lists current without enumerating devices on the UI thread. It owns the
// device watcher and sends the full lists once at start and again after
// every change the watcher reports.
#include <string>
#include <utility>
#include <vector>

#include "audio-watcher/watcher.h"
#include "base/channel.h"
#include "engine/audio/capture.h"

namespace ui::main_window {

using engine::capture::DeviceList;
// (inputs, outputs), each as engine::capture::list_devices builds it.
using DeviceLists = std::pair<DeviceList, DeviceList>;

// The thread's body. Ends only when the watcher's polling thread ends by
// itself; a closed device-list channel does not end it.
void device_list_thread(base::Sender<DeviceLists> tx);

// The same with the watcher's pause between polls given (tests step it).
void device_list_thread(base::Sender<DeviceLists> tx, audio_watcher::macos::Sleep sleep);

}  // namespace ui::main_window
