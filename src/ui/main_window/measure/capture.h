#pragma once
// Capturing the running measurement as a trace: the analyzer answers on a
// reply channel made per capture, a window task waits for the answer on the
// blocking pool and keeps it as the pending capture, and the Capture prompt
// names it. UI thread only.
#include <string>

#include "base/channel.h"
#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Requests a trace from the running analyzer and opens the Capture prompt
// with a proposed source; stops the run afterwards when stop_on_capture is
// set (the analyzer answers the capture before it ends).
void capture_trace(const WindowState& s);

// Waits on the blocking pool for the analyzer's answer and stores it as the
// pending capture; a reply channel closed without a trace stores nothing.
reactive::Task<void> await_capture(WindowState s, base::Receiver<Trace> reply);

// The source a capture is proposed for: the selected source when it is one
// of the sources, else the first source without a trace at the current
// position, else the first source; empty without sources.
std::string proposed_capture_source(const WindowState& s);

}  // namespace ui::main_window
