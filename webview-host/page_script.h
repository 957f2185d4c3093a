#pragma once
// The index page that the runtime serves for a window, and the scripts it
// carries.
#include <cstdint>
#include <string>
#include <string_view>

namespace webview_host {

// The custom URI scheme, its host name and the addresses the page uses.
inline constexpr const char* SCHEME = "veltrum";
inline constexpr const char* INDEX_URL = "veltrum://app/index.html";
inline constexpr const char* EVENT_URL = "veltrum://app/__event";
inline constexpr const char* ASSET_PREFIX = "veltrum://app/assets/";

// The script that defines `window.__veltrum_post(text)` at document start,
// before any page script runs.
std::string_view channel_script();

// The module script of the index page: the page interpreter for the page
// whose edit connection is `webview_id`, the per-frame async events wrapper,
// the page error reporter, and the load handler that initialises the
// interpreter and posts "initialize".
std::string module_script(std::uint32_t webview_id);

// The index page: `head` goes just before </head>, the module script just
// before </body>.
std::string index_html(std::string_view head, std::uint32_t webview_id);

}  // namespace webview_host
