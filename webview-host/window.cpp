// The window: building the GTK window and its web view, the Window object and
// the WindowContext handles components use.
#include "webview-host/page_script.h"
#include "webview-host/window_impl.h"

namespace webview_host {

using namespace detail;

namespace {
std::atomic<std::uint32_t> NEXT_WINDOW_ID{1};
}  // namespace

bool Window::Impl::try_close() {
    if (closed) return true;
    if (close_handler && !close_handler()) return false;
    closed = true;
    gtk_widget_hide(window);
    if (closed_handler) {
        auto h = closed_handler;
        h();
    }
    return true;
}

std::string Window::Impl::title() const {
    const char* t = gtk_window_get_title(GTK_WINDOW(window));
    return t ? t : "";
}

void Window::Impl::build() {
    ensure_scheme();
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), config.title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(window), config.width, config.height);
    if (config.min_width > 0 || config.min_height > 0) {
        GdkGeometry g{};
        g.min_width = config.min_width;
        g.min_height = config.min_height;
        gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &g, GDK_HINT_MIN_SIZE);
    }
    accel = gtk_accel_group_new();
    gtk_window_add_accel_group(GTK_WINDOW(window), accel);
    box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);

    ucm = webkit_user_content_manager_new();
    // The handler is connected and registered before any page loads, so the
    // channel exists before any page script runs.
    g_signal_connect(ucm, "script-message-received::veltrum",
                     G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* r, gpointer data) {
                         auto* impl = static_cast<Impl*>(data);
                         JSCValue* v = webkit_javascript_result_get_js_value(r);
                         if (!jsc_value_is_string(v)) return;
                         gchar* s = jsc_value_to_string(v);
                         std::string text = s ? s : "";
                         g_free(s);
                         guarded("page message", [&] { impl->on_ipc_message(text); });
                     }),
                     this);
    webkit_user_content_manager_register_script_message_handler(ucm, "veltrum");
    std::string ch(channel_script());
    WebKitUserScript* us =
        webkit_user_script_new(ch.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(ucm, us);
    webkit_user_script_unref(us);

    view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(ucm));
    g_object_set_data(G_OBJECT(view), "veltrum-window", this);
    WebKitSettings* st = webkit_web_view_get_settings(view);
    webkit_settings_set_enable_developer_extras(st, FALSE);
    webkit_settings_set_javascript_can_access_clipboard(st, TRUE);
    // The page is painted on the CPU and handed over as damaged rectangles.
    // Composited through OpenGL, every frame of a live view (23 a second
    // while the meter runs) was drawn again whole, which without a graphics
    // card (software OpenGL) costs about twice the processor time.
    webkit_settings_set_hardware_acceleration_policy(st, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    g_signal_connect(view, "decide-policy",
                     G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* d, WebKitPolicyDecisionType type,
                                    gpointer data) -> gboolean {
                         auto* impl = static_cast<Impl*>(data);
                         if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
                         WebKitNavigationAction* a =
                             webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(d));
                         WebKitURIRequest* r = webkit_navigation_action_get_request(a);
                         std::string_view uri = webkit_uri_request_get_uri(r);
                         if (is_own_address(uri)) {
                             bool expected = false;
                             if (impl->nav_guard->compare_exchange_strong(expected, true))
                                 webkit_policy_decision_use(d);
                             else
                                 webkit_policy_decision_ignore(d);
                             return TRUE;
                         }
                         // Other addresses never replace the application's page.
                         webkit_policy_decision_ignore(d);
                         return TRUE;
                     }),
                     this);
    g_signal_connect(view, "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
                         auto* impl = static_cast<Impl*>(data);
                         impl->nav_guard->store(false, std::memory_order_release);
                         send_event(WebContentTerminated{impl->id});
                     }),
                     this);
    g_signal_connect(view, "load-failed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* err, gpointer data) -> gboolean {
                         auto* impl = static_cast<Impl*>(data);
                         // A navigation we refused, or a load cut short by the
                         // next one, is not a failed reload.
                         if (g_error_matches(err, WEBKIT_POLICY_ERROR,
                                             WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
                             g_error_matches(err, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
                             return FALSE;
                         if (impl->desktop.crashed_at && uri && is_own_address(uri))
                             base::log::error(LOG_WEBVIEW, fmt::format("webview recovery: '{}' reload failed: {}",
                                                                       impl->title(), err ? err->message : ""));
                         return FALSE;
                     }),
                     this);
    g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                         guarded("close request", [&] { static_cast<Impl*>(data)->try_close(); });
                         return TRUE;  // the Window object owns the GTK window
                     }),
                     this);

    gtk_box_pack_end(GTK_BOX(box), GTK_WIDGET(view), TRUE, TRUE, 0);
    gtk_widget_show_all(box);
    gtk_widget_realize(window);

    webview_id = NEXT_WEBVIEW_ID.fetch_add(1);
    root->wake = [w = std::weak_ptr<std::atomic<bool>>(alive), this] {
        if (!w.expired()) schedule_poll();
    };
    webkit_web_view_load_uri(view, INDEX_URL);
}

// ---- Window ------------------------------------------------------------------------------

Window::Window(WindowConfig config, std::unique_ptr<PageRoot> root) : impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->id = NEXT_WINDOW_ID.fetch_add(1);
    impl_->config = std::move(config);
    if (impl_->config.assets.empty()) impl_->config.assets.push_back({"", beside_program("assets")});
    impl_->root = std::move(root);
    *impl_->handle = this;
    add_window(impl_->id, impl_.get());
    impl_->root->attached(*this);
    impl_->build();
}

Window::~Window() {
    *impl_->handle = nullptr;
    remove_window(impl_->id);
    impl_->alive.reset();
    {
        std::unique_lock lk(CONNECTIONS_MU);
        CONNECTIONS.erase(impl_->webview_id);
    }
    impl_->drop_queries();
    if (impl_->view) g_object_set_data(G_OBJECT(impl_->view), "veltrum-window", nullptr);
    g_signal_handlers_disconnect_by_data(impl_->ucm, impl_.get());
    if (impl_->view) g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
    g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
    for (auto& [id, e] : impl_->menu_items) g_signal_handlers_disconnect_by_data(e.item, impl_.get());
    gtk_widget_destroy(impl_->window);
    g_object_unref(impl_->ucm);
    g_object_unref(impl_->accel);
}

std::uint32_t Window::id() const { return impl_->id; }
std::string Window::title() const { return impl_->title(); }
void Window::set_title(const std::string& t) { gtk_window_set_title(GTK_WINDOW(impl_->window), t.c_str()); }
WindowContext Window::context() const { return WindowContext(impl_->handle); }
void Window::show() {
    gtk_widget_show(impl_->window);
    gtk_window_present(GTK_WINDOW(impl_->window));
}
bool Window::is_visible() const { return gtk_widget_get_visible(impl_->window) && !is_minimized(); }
bool Window::is_minimized() const {
    GdkWindow* g = gtk_widget_get_window(impl_->window);
    return g && (gdk_window_get_state(g) & GDK_WINDOW_STATE_ICONIFIED);
}
void Window::minimize() { gtk_window_iconify(GTK_WINDOW(impl_->window)); }
// The setting belongs to the screen's toolkit settings: with one window per
// process it is the window's.
void Window::set_dark_theme(bool dark) {
    GtkSettings* s = gtk_settings_get_for_screen(gtk_widget_get_screen(impl_->window));
    if (s && dark_theme() != dark) g_object_set(s, "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE, nullptr);
}
bool Window::dark_theme() const {
    GtkSettings* s = gtk_settings_get_for_screen(gtk_widget_get_screen(impl_->window));
    gboolean dark = FALSE;
    if (s) g_object_get(s, "gtk-application-prefer-dark-theme", &dark, nullptr);
    return dark;
}
bool Window::focus() {
    if (!is_visible()) return false;  // never pops a hidden or minimised window up
    gtk_window_present(GTK_WINDOW(impl_->window));
    gtk_widget_grab_focus(GTK_WIDGET(impl_->view));
    return true;
}
void Window::set_close_request_handler(std::function<bool()> handler) { impl_->close_handler = std::move(handler); }
void Window::request_close() { send_event(CloseRequest{impl_->id}); }
void Window::set_closed_handler(std::function<void()> handler) { impl_->closed_handler = std::move(handler); }
bool Window::closed() const { return impl_->closed; }
bool Window::rendered() const { return impl_->rendered; }
PageRoot& Window::root() { return *impl_->root; }
const DesktopService& Window::desktop() const { return impl_->desktop; }
std::uint32_t Window::webview_id() const { return impl_->webview_id; }
bool Window::recovering() const { return impl_->desktop.crashed_at.has_value(); }

void Window::terminate_page_process() { webkit_web_view_terminate_web_process(impl_->view); }

void Window::snapshot_png(const std::filesystem::path& path, std::function<void(base::Result<void>)> done) {
    struct Ctx {
        std::filesystem::path path;
        std::function<void(base::Result<void>)> done;
    };
    webkit_web_view_get_snapshot(
        impl_->view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        +[](GObject* src, GAsyncResult* res, gpointer data) {
            std::unique_ptr<Ctx> ctx(static_cast<Ctx*>(data));
            GError* err = nullptr;
            cairo_surface_t* s = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(src), res, &err);
            if (!s) {
                std::string m = err ? err->message : "snapshot failed";
                if (err) g_error_free(err);
                ctx->done(base::fail(m));
                return;
            }
            cairo_status_t st = cairo_surface_write_to_png(s, ctx->path.c_str());
            cairo_surface_destroy(s);
            if (st != CAIRO_STATUS_SUCCESS)
                ctx->done(base::fail(fmt::format("cannot write {}: {}", ctx->path.string(), cairo_status_to_string(st))));
            else
                ctx->done({});
        },
        new Ctx{path, std::move(done)});
}

// ---- WindowContext ------------------------------------------------------------------------

std::string WindowContext::title() const { return get() ? get()->title() : std::string(); }
void WindowContext::set_title(const std::string& title) const {
    if (auto* w = get()) w->set_title(title);
}
void WindowContext::show() const {
    if (auto* w = get()) w->show();
}
bool WindowContext::focus() const { return get() && get()->focus(); }
bool WindowContext::is_visible() const { return get() && get()->is_visible(); }
bool WindowContext::is_minimized() const { return get() && get()->is_minimized(); }
void WindowContext::set_dark_theme(bool dark) const {
    if (auto* w = get()) w->set_dark_theme(dark);
}
void WindowContext::request_close() const {
    if (auto* w = get()) w->request_close();
}
void WindowContext::set_menu_bar(const std::vector<Menu>& menus, std::function<void(const std::string&)> handler) const {
    if (auto* w = get()) w->set_menu_bar(menus, std::move(handler));
}
void WindowContext::rebuild_submenu(const std::string& id, const std::vector<MenuItem>& items) const {
    if (auto* w = get()) w->rebuild_submenu(id, items);
}
void WindowContext::set_item_enabled(const std::string& id, bool enabled) const {
    if (auto* w = get()) w->set_item_enabled(id, enabled);
}
std::unique_ptr<FileDialog> WindowContext::open_file_dialog(
    const FileDialogOptions& o, std::function<void(std::optional<std::filesystem::path>)> done) const {
    return get() ? get()->open_file_dialog(o, std::move(done)) : nullptr;
}
std::unique_ptr<FileDialog> WindowContext::save_file_dialog(
    const FileDialogOptions& o, std::function<void(std::optional<std::filesystem::path>)> done) const {
    return get() ? get()->save_file_dialog(o, std::move(done)) : nullptr;
}

GtkWindow* Window::gtk_window() const { return GTK_WINDOW(impl_->window); }
WebKitWebView* Window::web_view() const { return impl_->view; }

}  // namespace webview_host
