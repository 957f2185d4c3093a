#include "ui/main_window/core/host.h"

#include "webview-host/window.h"

namespace ui::main_window {

namespace {

webview_host::FileDialogOptions options_of(const FilePanel& p) {
    webview_host::FileDialogOptions o;
    o.title = p.title;
    o.suggested_name = p.suggested_name;
    if (p.folder) o.folder = *p.folder;
    webview_host::FileFilter f;
    f.name = p.filter_name;
    for (const auto& e : p.extensions) f.patterns.push_back("*." + e);
    o.filter = std::move(f);
    return o;
}

reactive::Task<PanelResult> run_panel(webview_host::WindowContext window, FilePanel panel, bool save) {
    reactive::Pending<PanelResult> chosen;
    auto done = [chosen](std::optional<std::filesystem::path> p) { chosen.resolve(std::move(p)); };
    const auto options = options_of(panel);
    // The panel stays open while this task waits; abandoning the task closes it.
    std::unique_ptr<webview_host::FileDialog> dialog =
        save ? window.save_file_dialog(options, done) : window.open_file_dialog(options, done);
    if (!dialog) co_return std::nullopt;
    auto result = co_await chosen;
    co_return result;
}

}  // namespace

void complete_from_window(WindowHost& host, const webview_host::WindowContext& window) {
    if (!window.valid()) return;
    if (!host.set_title) host.set_title = [window](const std::string& t) { window.set_title(t); };
    if (!host.set_dark_theme) host.set_dark_theme = [window](bool dark) { window.set_dark_theme(dark); };
    if (!host.request_close) host.request_close = [window] { window.request_close(); };
    if (!host.open_panel)
        host.open_panel = [window](FilePanel p) { return run_panel(window, std::move(p), false); };
    if (!host.save_panel)
        host.save_panel = [window](FilePanel p) { return run_panel(window, std::move(p), true); };
}

}  // namespace ui::main_window
