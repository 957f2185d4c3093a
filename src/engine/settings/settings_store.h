#pragma once
// The settings store of the main window: the one `Settings` record of the
// running program in a reactive store. Components read single fields through
// the store's field views (`store.field(&Settings::dark_mode)`, the per-field
// access); the operations below change the record and write "settings.ron"
// in one step. UI thread only; never called while the caller holds a guard
// of the store.
#include <filesystem>
#include <functional>
#include <vector>

#include "engine/settings/settings.h"
#include "reactive/signal.h"

namespace engine::settings {

using SettingsStore = reactive::Store<Settings>;

// Most entries `recent_projects` keeps.
inline constexpr std::size_t RECENT_MAX = 5;

struct SettingsStoreImplExt {
    // Applies `change` under the store's write access (readers of the changed
    // fields are woken), then saves. Saves even when nothing changed.
    static void update(const SettingsStore& store, const std::function<void(Settings&)>& change);
    // Flips `dark_mode` through its field view, then saves.
    static void toggle_dark_mode(const SettingsStore& store);
    // Puts `path` first in `recent_projects` (equal paths further down go,
    // at most RECENT_MAX are kept), makes it `last_project`, saves, and
    // rebuilds the Open Recent menu from the new list.
    static void add_recent_project(const SettingsStore& store, std::filesystem::path path);
};

// Two paths are equal when their bytes are, or else when their components
// are: the root counts as one, repeated and trailing separators and "."
// (except a leading one) do not; ".." is not resolved; case matters.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// The rebuild of File > Open Recent, filled in by the program shell. Until a
// hook is installed the rebuild only counts its calls.
using RecentMenuHook = std::function<void(const std::vector<std::filesystem::path>& recent)>;
// Installs a hook (an empty one removes it); gives the previous one.
RecentMenuHook set_recent_menu_hook(RecentMenuHook hook);
// Calls the hook with the list, or counts the call when there is none.
void update_recent_menu(const std::vector<std::filesystem::path>& recent);
// How many rebuilds happened without a hook.
std::size_t unhooked_recent_menu_calls();

}  // namespace engine::settings
