#pragma once
// The device-list watch: a window task that receives the full input and
// output device lists after every device change, publishes them for the
// device choosers, fills in a first input device, and pauses the running
// analyzer or meter while its device is gone ("Waiting for {name}") and
// resumes it when the device returns. Devices are matched by id.
#include <functional>

#include "reactive/task.h"
#include "ui/device_list.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Starts whatever sends the device lists, given the sending end of the
// watch's channel: the device-list thread, or a test's script.
using DeviceListSource = std::function<void(reactive::AsyncSender<DeviceLists>)>;

// The device-list thread, detached, relaying into the watch's channel.
// Stops the program with "failed to spawn thread" when no thread can be
// created.
void start_device_list_thread(reactive::AsyncSender<DeviceLists> tx);

// Whether the view's input (and, in the transfer view, the chosen output)
// is listed.
bool device_present(const Settings& settings, const DeviceLists& lists);

// Applies one pair of lists to the window.
void apply_device_lists(const WindowState& s, const DeviceLists& lists);

// The task body: starts the source and applies every pair it sends, in
// order, until the channel closes.
reactive::Task<void> watch_devices(WindowState s, DeviceListSource source = start_device_list_thread);

}  // namespace ui::main_window
