// The application's side of the runtime: GTK start and loop helpers, the
// event loop's handler, the list of windows, files the system asks to open.
#include <mutex>

#include "webview-host/window_impl.h"

namespace webview_host {

namespace detail {

thread_local bool IN_EVENT_HANDLER = false;
std::atomic<std::uint32_t> NEXT_WEBVIEW_ID{0};
std::shared_mutex CONNECTIONS_MU;
std::unordered_map<std::uint32_t, Connection> CONNECTIONS;

namespace {

std::unordered_map<std::uint32_t, Window::Impl*>& windows() {
    static std::unordered_map<std::uint32_t, Window::Impl*> w;
    return w;
}

void handle_ipc(IpcEvent& ipc) {
    const std::string& m = ipc.msg.method;
    if (m == "user_event") {
        // Never dispatched inside another event's listeners (a nested loop).
        if (IN_EVENT_HANDLER) return;
        if (auto* w = find_window(ipc.window)) w->on_user_event(ipc.msg.params, Road::Deferred);
    } else if (m == "query") {
        if (auto* w = find_window(ipc.window)) w->on_query_message(ipc.msg.params);
    } else if (m == "browser_open") {
        const auto& p = ipc.msg.params;
        if (p.is_object() && p.contains("url") && p["url"].is_string()) {
            std::string url = p["url"].get<std::string>();
            if (url.starts_with("https://") || url.starts_with("http://"))
                g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr);
        }
    } else if (m == "initialize") {
        if (auto* w = find_window(ipc.window)) w->handle_initialize(ipc.msg.params);
    } else if (m == "js_error") {
        if (base::log::enabled(base::log::Level::Warn))
            base::log::warn(LOG_APP, "javascript error in a window", {{"error", compact_json(ipc.msg.params)}});
    }
}

// The event loop's handler: every UserWindowEvent, on the UI thread.
void handle_user_window_event(UserWindowEvent& ev) {
    std::visit(
        [](auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, IpcEvent>) {
                handle_ipc(e);
            } else if constexpr (std::is_same_v<E, OpenFilesEvent>) {
                deliver_open_files();
            } else if (auto* w = find_window(e.window)) {
                if constexpr (std::is_same_v<E, WebContentTerminated>) w->begin_recovery();
                else if constexpr (std::is_same_v<E, PollEvent>) w->poll();
                else w->try_close();
            }
        },
        ev);
}

}  // namespace

void send_event(UserWindowEvent ev) {
    post_to_ui([ev = std::move(ev)]() mutable { handle_user_window_event(ev); });
}

Window::Impl* find_window(std::uint32_t id) {
    auto it = windows().find(id);
    return it == windows().end() ? nullptr : it->second;
}
void add_window(std::uint32_t id, Window::Impl* w) { windows()[id] = w; }
void remove_window(std::uint32_t id) { windows().erase(id); }

// ---- files the system asks to open --------------------------------------------------------

namespace {
std::mutex OPEN_MU;
std::vector<std::filesystem::path> OPEN_FILES;
std::function<void(std::vector<std::filesystem::path>)> OPEN_HANDLER;  // UI thread only
}  // namespace

void deliver_open_files() {
    if (!OPEN_HANDLER) return;
    std::vector<std::filesystem::path> files;
    {
        std::lock_guard lk(OPEN_MU);
        files = std::exchange(OPEN_FILES, {});
    }
    if (files.empty()) return;
    auto h = OPEN_HANDLER;  // the handler may replace itself
    h(std::move(files));
}

}  // namespace detail

void queue_open_file(const std::filesystem::path& p) {
    {
        std::lock_guard lk(detail::OPEN_MU);
        detail::OPEN_FILES.push_back(p);
    }
    detail::send_event(detail::OpenFilesEvent{});
}

void on_open_files(std::function<void(std::vector<std::filesystem::path>)> handler) {
    detail::OPEN_HANDLER = std::move(handler);
    detail::send_event(detail::OpenFilesEvent{});
}

void queue_command_line_files(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.empty() || a.front() == '-') continue;
        queue_open_file(std::filesystem::path(a));
    }
}

void connect_open_signal(void* g_application) {
    g_signal_connect(G_APPLICATION(g_application), "open",
                     G_CALLBACK(+[](GApplication*, GFile** files, gint n, gchar*, gpointer) {
                         for (gint i = 0; i < n; ++i) {
                             if (gchar* p = g_file_get_path(files[i])) {
                                 queue_open_file(p);
                                 g_free(p);
                             }
                         }
                     }),
                     nullptr);
}

// ---- GTK start and loop helpers -------------------------------------------------------------

bool init() {
    static bool ok = [] { return gtk_init_check(nullptr, nullptr) != FALSE; }();
    return ok;
}

bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(500);
    }
    return true;
}

void pump_for(std::chrono::milliseconds d) {
    run_until([] { return false; }, d);
}

void run() { gtk_main(); }
void quit() { gtk_main_quit(); }

std::filesystem::path beside_program(std::string_view name) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::path(name);
    return exe.parent_path() / name;
}

}  // namespace webview_host
