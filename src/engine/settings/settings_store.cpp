#include "engine/settings/settings_store.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace engine::settings {
namespace {

RecentMenuHook& menu_hook() {
    static RecentMenuHook hook;
    return hook;
}
std::size_t unhooked_calls = 0;

// The components of a path: "/" for the root, then the names between
// separators, without empty names and without "." past the first place.
std::vector<std::string_view> components(std::string_view p) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    if (!p.empty() && p.front() == '/') {
        out.push_back(p.substr(0, 1));
        i = 1;
    }
    bool first = out.empty();
    while (i <= p.size()) {
        std::size_t end = p.find('/', i);
        if (end == std::string_view::npos) end = p.size();
        const auto part = p.substr(i, end - i);
        if (!part.empty() && !(part == "." && !first)) out.push_back(part);
        if (!part.empty()) first = false;
        i = end + 1;
    }
    return out;
}

}  // namespace

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.native() == b.native()) return true;
    return components(a.native()) == components(b.native());
}

RecentMenuHook set_recent_menu_hook(RecentMenuHook hook) { return std::exchange(menu_hook(), std::move(hook)); }

void update_recent_menu(const std::vector<std::filesystem::path>& recent) {
    if (auto& hook = menu_hook()) {
        hook(recent);
        return;
    }
    ++unhooked_calls;
}

std::size_t unhooked_recent_menu_calls() { return unhooked_calls; }

void SettingsStoreImplExt::update(const SettingsStore& store, const std::function<void(Settings&)>& change) {
    {
        auto w = store.write();
        change(*w);
    }  // subscribers of the changed fields wake here
    store.peek().save();
}

void SettingsStoreImplExt::toggle_dark_mode(const SettingsStore& store) {
    const auto view = store.field(&Settings::dark_mode);
    view.set(!view.peek());
    store.peek().save();
}

void SettingsStoreImplExt::add_recent_project(const SettingsStore& store, std::filesystem::path path) {
    {
        auto w = store.write();
        auto& list = w->recent_projects;
        std::erase_if(list, [&](const std::filesystem::path& p) { return same_path(p, path); });
        list.insert(list.begin(), path);
        if (list.size() > RECENT_MAX) list.resize(RECENT_MAX);
        w->last_project = std::move(path);
    }
    store.peek().save();
    update_recent_menu(store.peek().recent_projects);
}

}  // namespace engine::settings
