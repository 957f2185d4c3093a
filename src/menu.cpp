#include "menu.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "api/client.h"
#include "api/product.h"
#include "base/log.h"
#include "base/utf8.h"

extern char** environ;

namespace menu {

using webview_host::Menu;
using webview_host::MenuItem;
using webview_host::StandardItem;

thread_local std::optional<RecentMenu> RECENT_MENU;

namespace {

constexpr std::string_view TARGET = "Veltrum";

MenuItem item(std::string id, std::string label, std::string accel = {}, bool enabled = true) {
    MenuItem m;
    m.id = std::move(id);
    m.label = std::move(label);
    m.accel = std::move(accel);
    m.enabled = enabled;
    return m;
}

MenuItem standard(std::string id, std::string label, std::string accel, StandardItem st) {
    MenuItem m = item(std::move(id), std::move(label), std::move(accel));
    m.standard = st;
    return m;
}

}  // namespace

std::vector<Menu> menu_bar(std::string_view version_display) {
    MenuItem open_recent = item(std::string(OPEN_RECENT_ID), "Open Recent", {}, false);
    return {
        // Hide iconifies the one window; showing the others or all of them
        // has nothing to act on here.
        Menu{std::string(api::client::PRODUCT.name),
             {standard("app_hide", fmt::format("Hide {}", api::client::PRODUCT.name), "<Primary>h", StandardItem::Hide),
              MenuItem::sep(), item("app_quit", fmt::format("Quit {}", api::client::PRODUCT.name), "<Primary>q")}},
        Menu{"File",
             {item("file_new", "New Project", "<Primary>n"), item("file_open", "Open...", "<Primary>o"), open_recent,
              MenuItem::sep(), item("file_save", "Save", "<Primary>s"),
              item("file_save_as", "Save As...", "<Primary><Shift>s")}},
        Menu{"Edit",
             {standard("edit_undo", "Undo", "<Primary>z", StandardItem::Undo),
              standard("edit_redo", "Redo", "<Primary><Shift>z", StandardItem::Redo), MenuItem::sep(),
              standard("edit_cut", "Cut", "<Primary>x", StandardItem::Cut),
              standard("edit_copy", "Copy", "<Primary>c", StandardItem::Copy),
              standard("edit_paste", "Paste", "<Primary>v", StandardItem::Paste),
              standard("edit_select_all", "Select All", "<Primary>a", StandardItem::SelectAll)}},
        Menu{"Help",
             {item("help_open_logs", "Open Logs Folder"), item("help_check_updates", "Check for Updates..."),
              MenuItem::sep(), item(std::string(VERSION_ID), fmt::format("Version {}", version_display), {}, false)}},
    };
}

std::vector<MenuItem> recent_items(const std::vector<std::filesystem::path>& recent) {
    std::vector<MenuItem> out;
    for (std::size_t i = 0; i < recent.size() && i < RECENT_SHOWN; ++i) {
        std::string label;
        for (char c : base::utf8::lossy(recent[i].native())) {
            label += c;
            if (c == '_') label += '_';
        }
        out.push_back(item(fmt::format("recent_{}", i), std::move(label)));
    }
    return out;
}

void update_recent_menu(const std::vector<std::filesystem::path>& recent) {
    if (!RECENT_MENU || !RECENT_MENU->window) return;
    RECENT_MENU->items = recent_items(recent);
    // Replaces every item; the submenu is enabled only when it holds some.
    RECENT_MENU->window->rebuild_submenu(std::string(OPEN_RECENT_ID), RECENT_MENU->items);
}

void open_logs_folder() {
    auto dir = api::client::Product::config_dir(api::client::PRODUCT.id);
    if (!dir) return;
    std::string folder = (*dir / "logs").string();
    std::thread([folder = std::move(folder)] {
        std::string prog = "xdg-open";
        char* argv[] = {prog.data(), const_cast<char*>(folder.c_str()), nullptr};
        pid_t pid = 0;
        if (int err = posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ); err != 0) {
            base::log::error(TARGET, fmt::format("failed to open logs folder: {}", api::client::os_error_text(err)));
            return;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno == EINTR) continue;
            base::log::error(TARGET, fmt::format("failed to open logs folder: {}", api::client::os_error_text(errno)));
            return;
        }
    }).detach();
}

}  // namespace menu
