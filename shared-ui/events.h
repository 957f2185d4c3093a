#pragma once
// The window-event bridge: keyboard and pointer events of the whole window,
// delivered to a component's handler as JSON objects.
//
//   Element main_window() {
//       shared_ui::events::use_window_events([=](const shared_ui::events::WindowEvent& e) {
//           if (e.value("type", "") == "keydown" && e.value("code", "") == "KeyS" && e.value("ctrl", false)) save();
//       });
//       ...
//
// The hook installs listeners on the page's window through one page script,
// removes them when the component goes, and installs them again in a page
// rebuilt after its process died. Only the handler of the first render is
// used: it should read state through reactive handles, not copied values.
//
// Messages ("type" first): keydown {code, ctrl, shift, alt, meta, typing};
// keyup {code} (and one per modifier key when the window gains focus);
// mouseup {button[, pointerId]}; mousemove {pageX, pageY[, pointerId]} while
// a button is held and once after a release; pointercancel {pointerId};
// cueTextDidScroll {pos}. "ctrl" is the Control key here (Command on macOS).
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace reactive::detail {
struct Instance;
}

namespace shared_ui::events {

using WindowEvent = nlohmann::json;
using WindowEventHandler = std::function<void(const WindowEvent&)>;

// A hook: call it on every render of the component.
void use_window_events(WindowEventHandler handler);

// A fresh bridge id: a random UUID with "_" for "-".
std::string new_bridge_id();
// The page scripts of one bridge.
std::string install_script(std::string_view bridge_id);
std::string removal_script(std::string_view bridge_id);

// The component whose window-event handler is running on this thread (null
// outside a handler), so that a handler's calls can find that component's
// contexts like its listeners do (close_open_dropdown on Escape).
reactive::detail::Instance* handler_component();

}  // namespace shared_ui::events
