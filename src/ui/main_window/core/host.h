#pragma once
// What the main window needs of the window that shows it: its title, its
// close handler and the native file panels. The program shell provides one
// `WindowHost` as a context; tests provide fakes.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reactive/task.h"
#include "ui/device_list.h"

namespace ui::main_window {

// One native open or save panel with a single filter.
struct FilePanel {
    std::string title;
    std::string suggested_name;                  // save panels
    std::optional<std::filesystem::path> folder; // starting folder
    std::string filter_name;                     // "Veltrum Project"
    std::vector<std::string> extensions;         // without dots: "vtproject"
    bool operator==(const FilePanel&) const = default;
};

using PanelResult = std::optional<std::filesystem::path>;

struct WindowHost {
    // Replaces the native window's title.
    std::function<void(const std::string&)> set_title;
    // The native parts of the window (menu bar, file panels) dark or light.
    std::function<void(bool dark)> set_dark_theme;
    // Stores the one close-request handler (true lets the window close).
    std::function<void(std::function<bool()>)> set_close_handler;
    // Posts a close request, as the window's close button does.
    std::function<void()> request_close;
    // Stores the one menu handler (it gets the chosen item's id).
    std::function<void(std::function<void(const std::string&)>)> set_menu_handler;
    // Stores the handler of files the system asks the running program to
    // open (as URLs, in the order given).
    std::function<void(std::function<void(const std::vector<std::string>&)>)> set_open_handler;
    // Ends the process at once with status 0; none: std::_Exit(0).
    std::function<void()> exit;
    // Native panels: the chosen path, or nothing when cancelled.
    std::function<reactive::Task<PanelResult>(FilePanel)> open_panel;
    std::function<reactive::Task<PanelResult>(FilePanel)> save_panel;
    // Files the system asked to open before the window existed, oldest
    // first; taken once, at the first render. From that call on the window
    // is ready to open such files itself.
    std::function<std::vector<std::filesystem::path>()> take_pending_paths;
    // The command line, program first, as raw bytes.
    std::vector<std::string> args;
    // Starts what sends the device lists on the given channel; empty: the
    // device-list thread (tests script the lists or send none).
    std::function<void(reactive::AsyncSender<DeviceLists>)> device_lists;
};

// The context the shell provides; copies share the host.
using WindowHostRef = std::shared_ptr<WindowHost>;

}  // namespace ui::main_window

namespace webview_host {
class WindowContext;
}

namespace ui::main_window {

// Fills what `host` leaves empty (title, native panels) from the window the
// component renders into.
void complete_from_window(WindowHost& host, const webview_host::WindowContext& window);

}  // namespace ui::main_window
