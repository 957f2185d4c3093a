// The process entry: logging, the fatal-error hook, the window description
// and page head, the menu bar and the files the system asks to open; then
// the UI runtime takes the main thread for good.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/log.h"
#include "engine/audio/capture.h"
#include "engine/settings/settings.h"
#include "engine/settings/settings_store.h"
#include "menu.h"
#include "reactive/root.h"
#include "shell/logging.h"
#include "shell/reveal.h"
#include "shell/startup.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"

#ifndef VELTRUM_VERSION_DISPLAY
#define VELTRUM_VERSION_DISPLAY "0.0.0"
#endif

namespace {

using namespace reactive;

webview_host::Window* MAIN_WINDOW = nullptr;

// ---- the stand-in root, until the main window is part of the build ---------

std::string audio_summary(const engine::capture::DeviceList& inputs) {
    if (inputs.empty()) return "No audio devices: start JACK or PulseAudio and restart Veltrum";
    const auto& [host, devices] = inputs.front();
    return fmt::format("Audio: {}, {} input device{}", host, devices.size(), devices.size() == 1 ? "" : "s");
}

Element placeholder_root() {
    const bool dark = use_hook<bool>([] { return engine::settings::Settings::load().dark_mode; });
    auto audio = use_resource([]() -> Task<std::string> {
        auto r = co_await spawn_blocking([] { return audio_summary(engine::capture::list_devices(true)); });
        co_return r ? *r : fmt::format("Audio devices could not be listed: {}", r.error());
    });
    auto& started = use_hook<bool>([] { return false; });
    use_effect([dark, &started] {
        if (started) return;
        started = true;
        eval(fmt::format("document.body.className = 'app {}';", dark ? "dark" : "light"));
        if (MAIN_WINDOW) spawn_root(shell::reveal_window_when_styled(*MAIN_WINDOW));
    });
    return div().cls("vt-placeholder")(
        h1()("Veltrum"),
        p()(fmt::format("Version {}", VELTRUM_VERSION_DISPLAY)),
        p().cls("vt-audio")(audio() ? *audio() : std::string("Looking for audio devices…")));
}

}  // namespace

int main(int argc, char** argv) {
    auto logging = shell::init_logging();
    shell::install_panic_hook();

    // The kit's stylesheets join the head once the kit is part of the build.
    const std::vector<std::string> kit_styles;
    auto config = shell::window_description(shell::page_head("", kit_styles));
    auto menus = menu::menu_bar(VELTRUM_VERSION_DISPLAY);

    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.empty() || a.front() == '-') continue;
        if (a.find("://") != std::string_view::npos) {
            shell::queue_opened_files({std::string(a)});
        } else {
            std::lock_guard lk(shell::PENDING_OPEN_PATHS_MU);
            shell::PENDING_OPEN_PATHS.push_back(std::filesystem::absolute(a));
        }
    }

    if (!webview_host::init()) {
        base::log::error(shell::LOG_TARGET, "cannot open the display");
        return 1;
    }
    webview_host::GtkLoop loop;
    webview_host::Window window(std::move(config),
                                std::make_unique<webview_host::ReactiveRoot>(loop, [] { return placeholder_root(); }));
    MAIN_WINDOW = &window;
    window.set_menu_bar(menus, [](const std::string& id) {
        if (id == "app_quit") webview_host::quit();
        else if (id == "help_open_logs") menu::open_logs_folder();
    });
    menu::RECENT_MENU = menu::RecentMenu{&window, {}};
    engine::settings::set_recent_menu_hook(menu::update_recent_menu);
    window.set_close_request_handler([] {
        webview_host::quit();
        return true;
    });

    webview_host::run();
    // Quitting ends the process at once: no thread is stopped or joined.
    std::_Exit(0);
}
