#pragma once
// What the process entry sets up before the UI runtime takes the main
// thread: the files the system asks to open before the main window exists,
// the window description and the page head.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared-ui/asset.h"
#include "webview-host/window.h"

namespace shell {

// Files the system asked to open before the main window's first render,
// oldest first. Filled only by queue_opened_files; the first render takes
// them (under PENDING_OPEN_PATHS_MU) after raising MAIN_WINDOW_READY.
extern std::mutex PENDING_OPEN_PATHS_MU;
extern std::vector<std::filesystem::path> PENDING_OPEN_PATHS;
// Set (release) by the main window's first render; from then on the window
// opens such files itself and queue_opened_files leaves them alone.
extern std::atomic<bool> MAIN_WINDOW_READY;

// The local path of a file URL: the path must begin with "/" and the host be
// absent or "localhost"; segments are percent-decoded. The scheme is not
// looked at. Nothing for any other URL.
std::optional<std::filesystem::path> local_path_of_url(std::string_view url);

// The hook for the opened-files event (its URLs in order): while the main
// window is not ready, appends the local paths to PENDING_OPEN_PATHS and
// skips the rest without a message.
void queue_opened_files(const std::vector<std::string>& urls);
// The same for the runtime's files-to-open event, whose entries are local
// paths already (command-line files and the application's open signal).
void queue_opened_paths(const std::vector<std::filesystem::path>& paths);

// The program's own stylesheet, "veltrum.css" in the program's assets
// folder, copied under a hashed name like the kit's files.
inline constexpr shared_ui::Asset APP_CSS{"veltrum.css"};

// The page head: one style element with the font face of `font_url`
// (family 'Inter', weights 100 to 900, font-display block), then a
// stylesheet link for each of `stylesheets` in order, then one for
// `app_css`, the program's own sheet, last.
std::string page_head(std::string_view font_url, const std::vector<std::string>& stylesheets,
                      const std::string& app_css = APP_CSS.url());

// The main window's description: title "Veltrum", 1280 x 800, at least
// 1280 x 720, hidden until the page is styled; with the page head and the
// asset folders beside the program.
webview_host::WindowConfig window_description(std::string head);

}  // namespace shell
