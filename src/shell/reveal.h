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

// The page side: checks every 16 ms until the page is styled, then sends
// true once through the script bridge. A hidden web view throttles its
// timers, so the check also runs at once when the body's class changes and
// when a stylesheet link finishes loading.
inline constexpr std::string_view STYLED_SCRIPT = R"JS(
const ready = () => /\b(dark|light)\b/.test(document.body.className) &&
    [...document.querySelectorAll('link[rel=stylesheet]')].every(l => l.sheet);
await new Promise(done => {
    let answered = false;
    const observer = new MutationObserver(() => check());
    const check = () => {
        if (answered || !ready()) return false;
        answered = true;
        observer.disconnect();
        send(true);
        done();
        return true;
    };
    const poll = () => { if (!answered && !check()) setTimeout(poll, 16); };
    observer.observe(document.body, { attributes: true, attributeFilter: ['class'] });
    for (const l of document.querySelectorAll('link[rel=stylesheet]')) {
        l.addEventListener('load', check);
        l.addEventListener('error', check);
    }
    poll();
});
)JS";

// The reveal task, run once per process on the UI thread's task runner (the
// window must outlive it).
reactive::Task<> reveal_window_when_styled(webview_host::Window& window);

}  // namespace shell
