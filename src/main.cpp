// The process entry: logging, the fatal-error hook, the window description
// and page head, the menu bar and the files the system asks to open; then
// the UI runtime takes the main thread for good.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "api/product.h"
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
#ifdef VELTRUM_HAS_KIT
#include "shared-ui/app_styles.h"
#endif
#ifdef VELTRUM_HAS_MAIN_WINDOW
#include "ui/main_window/core/host.h"
#include "ui/main_window/frame/main_window.h"
#include "ui/tf_plot/tf_plot.h"
#endif


namespace {

using namespace reactive;

webview_host::Window* MAIN_WINDOW = nullptr;
// The main window's menu handler and its handler of files to open, once it
// has set them.
std::function<void(const std::string&)> MENU_HANDLER;
std::function<void(const std::vector<std::string>&)> OPEN_HANDLER;

// "file://" and the path, its bytes percent-encoded except for unreserved
// characters and "/".
std::string file_url(const std::filesystem::path& p) {
    std::string url = "file://";
    for (unsigned char c : p.native()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') url += static_cast<char>(c);
        else url += fmt::format("%{:02X}", c);
    }
    return url;
}

// The page head: the kit's font and stylesheets, the plot's sheet, then the
// program's own sheet.
std::string head() {
    std::vector<std::string> sheets;
    std::string font;
#ifdef VELTRUM_HAS_KIT
    for (const auto& css : shared_ui::app_styles::ALL_CSS) sheets.push_back(css.url());
    font = shared_ui::app_styles::INTER_FONT.url();
#endif
#ifdef VELTRUM_HAS_MAIN_WINDOW
    sheets.emplace_back(ui::tf_plot::STYLE_URL);
#endif
    return shell::page_head(font, sheets);
}

// Starts the reveal once, after the first render of the root.
void reveal_after_first_render() {
    auto& started = use_hook<bool>([] { return false; });
    use_effect([&started] {
        if (started || !MAIN_WINDOW) return;
        started = true;
        spawn_root(shell::reveal_window_when_styled(*MAIN_WINDOW));
    });
}

#ifdef VELTRUM_HAS_MAIN_WINDOW
// ---- the main window and what it needs of its native window ---------------

std::vector<std::string> ARGS;

reactive::Task<ui::main_window::PanelResult> file_panel(bool save, ui::main_window::FilePanel panel) {
    webview_host::FileDialogOptions o;
    o.title = panel.title;
    o.suggested_name = panel.suggested_name;
    if (panel.folder) o.folder = *panel.folder;
    if (!panel.filter_name.empty()) {
        webview_host::FileFilter f{panel.filter_name, {}};
        for (const auto& e : panel.extensions) f.patterns.push_back("*." + e);
        o.filter = f;
    }
    Pending<ui::main_window::PanelResult> chosen;
    auto done = [chosen](std::optional<std::filesystem::path> p) { chosen.resolve(std::move(p)); };
    auto dialog = save ? MAIN_WINDOW->save_file_dialog(o, done) : MAIN_WINDOW->open_file_dialog(o, done);
    co_return co_await chosen;
}

ui::main_window::WindowHostRef window_host() {
    auto h = std::make_shared<ui::main_window::WindowHost>();
    h->set_title = [](const std::string& t) { MAIN_WINDOW->set_title(t); };
    h->set_close_handler = [](std::function<bool()> f) { MAIN_WINDOW->set_close_request_handler(std::move(f)); };
    h->request_close = [] { MAIN_WINDOW->request_close(); };
    h->set_menu_handler = [](std::function<void(const std::string&)> f) { MENU_HANDLER = std::move(f); };
    h->set_open_handler = [](std::function<void(const std::vector<std::string>&)> f) { OPEN_HANDLER = std::move(f); };
    h->open_panel = [](ui::main_window::FilePanel p) { return file_panel(false, std::move(p)); };
    h->save_panel = [](ui::main_window::FilePanel p) { return file_panel(true, std::move(p)); };
    h->take_pending_paths = [] {
        shell::MAIN_WINDOW_READY.store(true, std::memory_order_release);
        std::lock_guard lk(shell::PENDING_OPEN_PATHS_MU);
        return std::exchange(shell::PENDING_OPEN_PATHS, {});
    };
    h->args = ARGS;
    return h;
}

Element app_root() {
    provide_context(use_hook<ui::main_window::WindowHostRef>([] { return window_host(); }));
    reveal_after_first_render();
    return component(ui::main_window::main_window, "main_window");
}
#else

// ---- the stand-in root while the main window is not part of the build -----

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
    auto& themed = use_hook<bool>([] { return false; });
    use_effect([dark, &themed] {
        if (themed) return;
        themed = true;
        eval(fmt::format("document.body.className = 'app {}';", dark ? "dark" : "light"));
    });
    reveal_after_first_render();
    return div().cls("vt-placeholder")(
        h1()("Veltrum"),
        p()(fmt::format("Version {}", api::client::PRODUCT.version_display)),
        p().cls("vt-audio")(audio() ? *audio() : std::string("Looking for audio devices…")));
}

Element app_root() { return placeholder_root(); }
#endif

}  // namespace

int main([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
    auto logging = shell::init_logging();
    shell::install_panic_hook();

    auto config = shell::window_description(head());
    auto menus = menu::menu_bar(api::client::PRODUCT.version_display);

#ifdef VELTRUM_HAS_MAIN_WINDOW
    ARGS.assign(argv, argv + argc);
#endif
    // The command line is the main window's to read (its first argument, when
    // it names a regular file, is the project to open); only the files the
    // system asks to open are queued here. Once the main window is up it
    // opens such files itself.
    webview_host::on_open_files([](std::vector<std::filesystem::path> files) {
        if (shell::MAIN_WINDOW_READY.load(std::memory_order_acquire) && OPEN_HANDLER) {
            std::vector<std::string> urls;
            for (const auto& f : files) {
                std::error_code ec;
                const auto whole = std::filesystem::absolute(f, ec);
                if (!ec) urls.push_back(file_url(whole));
            }
            OPEN_HANDLER(urls);
            return;
        }
        shell::queue_opened_paths(files);
    });

    if (!webview_host::init()) {
        base::log::error(shell::LOG_TARGET, "cannot open the display");
        return 1;
    }
    webview_host::GtkLoop loop;
    webview_host::Window window(std::move(config),
                                std::make_unique<webview_host::ReactiveRoot>(loop, [] { return app_root(); }));
    MAIN_WINDOW = &window;
    window.set_menu_bar(menus, [](const std::string& id) {
        if (MENU_HANDLER) MENU_HANDLER(id);
        else if (id == "app_quit") MAIN_WINDOW->request_close();
        else if (id == "help_open_logs") menu::open_logs_folder();
    });
    menu::RECENT_MENU = menu::RecentMenu{&window, {}};
    engine::settings::set_recent_menu_hook(menu::update_recent_menu);
    // A window that closed ends the program; until the main window sets its
    // own close handler a close is always allowed.
    window.set_close_request_handler([] { return true; });
    window.set_closed_handler([] { webview_host::quit(); });

    webview_host::run();
    // Quitting ends the process at once: no thread is stopped or joined.
    std::_Exit(0);
}
