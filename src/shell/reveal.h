#pragma once
// Showing the main window once its page is styled. The window is built
// hidden so that the unstyled page is never seen; this task shows it when
// the body carries the theme class (the whole word "dark" or "light") and
// every stylesheet link has loaded, or after REVEAL_LIMIT at the latest, and
// then focuses it unless it is minimised.
#include <chrono>
#include <string_view>

#include "reactive/task.h"
#include "webview-host/window.h"

namespace shell {

inline constexpr std::chrono::milliseconds REVEAL_LIMIT{1500};

// The page side: polls every 16 ms until the page is styled, then sends true
// once through the script bridge.
inline constexpr std::string_view STYLED_SCRIPT = R"JS(
const ready = () => /\b(dark|light)\b/.test(document.body.className) &&
    [...document.querySelectorAll('link[rel=stylesheet]')].every(l => l.sheet);
await new Promise(done => {
    const poll = () => {
        if (ready()) { send(true); done(); } else setTimeout(poll, 16);
    };
    poll();
});
)JS";

// The reveal task, run once per process on the UI thread's task runner (the
// window must outlive it).
reactive::Task<> reveal_window_when_styled(webview_host::Window& window);

}  // namespace shell
