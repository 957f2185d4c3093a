#pragma once
// The menu bar: Veltrum (Quit), File (New Project, Open..., Open Recent, Save,
// Save As...), Edit (the standard editing items) and Help (Open Logs Folder,
// Check for Updates..., the greyed-out version). Choosing an item hands its
// id to the window's menu handler. Ctrl stands where a Mac has Cmd.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "webview-host/window.h"

namespace menu {

// Ids of the items that nothing looks at but the runtime needs to find them.
inline constexpr std::string_view OPEN_RECENT_ID = "file_open_recent";
inline constexpr std::string_view VERSION_ID = "help_version";

// Most entries File > Open Recent shows.
inline constexpr std::size_t RECENT_SHOWN = 5;

// The menus in order, with "Version <version_display>" in Help. Open Recent
// starts disabled and empty.
std::vector<webview_host::Menu> menu_bar(std::string_view version_display);

// The Open Recent items of a recent-project list (newest first): ids
// recent_0 … recent_4 for its first five entries, each titled with its path
// (invalid UTF-8 shown as replacement characters, "_" doubled so that GTK
// shows it instead of taking it for a mnemonic).
std::vector<webview_host::MenuItem> recent_items(const std::vector<std::filesystem::path>& recent);

// The Open Recent submenu of this thread's menu bar and the items it shows.
struct RecentMenu {
    webview_host::Window* window = nullptr;
    std::vector<webview_host::MenuItem> items;
};
// Main thread only: set by the process entry once the menu bar is installed
// in its window; empty on every other thread.
extern thread_local std::optional<RecentMenu> RECENT_MENU;

// Replaces the Open Recent items with those of `recent` and enables the
// submenu when the list is not empty. Nothing without a menu bar on this
// thread.
void update_recent_menu(const std::vector<std::filesystem::path>& recent);

// Opens "<data folder>/logs" with the desktop's opener (xdg-open) on a
// thread of its own and returns at once; nothing without a data folder. A
// failure to start the opener is logged as an ERROR.
void open_logs_folder();

}  // namespace menu
