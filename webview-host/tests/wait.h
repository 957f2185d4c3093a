// Test helpers: evaluate a script in a window's page and wait for its answer on
// the GTK loop; turn page coordinates into the screen coordinates that real X
// input (xdotool) needs.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "webview-host/window.h"

namespace webview_host::testing {

// The answer, or "no reply" after `timeout`. The answer's slot is shared with the
// callback, so a reply that arrives after the wait gave up writes nowhere harmful.
inline base::Result<nlohmann::json> evaluate_and_wait(Window& window, const std::string& body,
                                                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto out = std::make_shared<std::optional<base::Result<nlohmann::json>>>();
    window.evaluate(body, {}, [out](base::Result<nlohmann::json> r) { *out = std::move(r); });
    if (!run_until([&] { return out->has_value(); }, timeout)) return base::fail("no reply");
    return **out;
}

// True once `window` has rendered every batch, its fonts and stylesheets
// have loaded and, with `key_bridge`, the page's key listener is installed.
inline bool wait_page_ready(Window& window, bool key_bridge = false,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (!run_until([&] { return window.rendered() && window.pending_batches() == 0; }, timeout)) return false;
    const std::string check = std::string("return document.fonts.status === 'loaded' && "
                                          "[...document.querySelectorAll('link[rel=stylesheet]')].every(l => l.sheet)") +
                              (key_bridge ? " && Object.keys(window).some(k => k.endsWith('_keydown'));" : ";");
    return run_until(
        [&] {
            auto r = evaluate_and_wait(window, check);
            return r && *r == true;
        },
        timeout);
}

// A PNG of `window`'s visible page at `png` (its folder made), after the
// page has had `settle` to finish its transitions. The error says when the
// page process died before or during the shot.
inline base::Result<void> save_snapshot(Window& window, const std::filesystem::path& png,
                                        std::chrono::milliseconds settle = std::chrono::milliseconds(300),
                                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::filesystem::create_directories(png.parent_path());
    pump_for(settle);
    const std::string name = png.filename().string();
    if (window.recovering()) return base::fail(name + ": the page process died before the screenshot");
    auto out = std::make_shared<std::optional<base::Result<void>>>();
    window.snapshot_png(png, [out](base::Result<void> r) { *out = std::move(r); });
    if (!run_until([&] { return out->has_value(); }, timeout)) return base::fail(name + ": no screenshot");
    if (!**out)
        return base::fail(name + ": " + (*out)->error() +
                          (window.recovering() ? " (the page process died during the screenshot)" : ""));
    return {};
}

// Real X input to `window`: raised, then `xdotool <args>`, then `settle` for
// the page to take it. False when xdotool failed.
inline bool send_x_input(Window& window, const std::string& args,
                         std::chrono::milliseconds settle = std::chrono::milliseconds(250)) {
    gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window.gtk_window())));
    pump_for(std::chrono::milliseconds(30));
    const bool ok = std::system(("xdotool " + args).c_str()) == 0;
    pump_for(settle);
    return ok;
}

// The screen point of the page point (x, y) of `window`'s web view.
inline std::pair<int, int> screen_point(Window& window, double x, double y) {
    gint ox = 0, oy = 0, vx = 0, vy = 0;
    gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window.gtk_window())), &ox, &oy);
    gtk_widget_translate_coordinates(GTK_WIDGET(window.web_view()), GTK_WIDGET(window.gtk_window()), 0, 0, &vx, &vy);
    return {ox + vx + static_cast<int>(std::lround(x)), oy + vy + static_cast<int>(std::lround(y))};
}

// The screen point at the fractions (fx, fy) of the first element matching
// the CSS `selector`, scrolled into view first; nothing when none matches.
inline std::optional<std::pair<int, int>> element_point(Window& window, const std::string& selector, double fx = 0.5,
                                                        double fy = 0.5) {
    auto r = evaluate_and_wait(window, "const e = document.querySelector(" + nlohmann::json(selector).dump() +
                                           "); if (!e) return null; e.scrollIntoView({block: 'nearest'}); "
                                           "const r = e.getBoundingClientRect(); return [r.x + r.width * " +
                                           std::to_string(fx) + ", r.y + r.height * " + std::to_string(fy) + "];");
    if (!r || !r->is_array()) return std::nullopt;
    return screen_point(window, (*r)[0].get<double>(), (*r)[1].get<double>());
}

}  // namespace webview_host::testing
