#include "webview-host/window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <unordered_map>
#include <variant>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/log.h"
#include "webview-host/ipc.h"
#include "webview-host/page_script.h"

namespace webview_host {

namespace {

constexpr const char* LOG_WEBVIEW = "veltrum::webview_host::webview";
constexpr const char* LOG_IPC = "veltrum::webview_host::ipc";
constexpr const char* LOG_APP = "veltrum::webview_host::app";
// How the runtime names the element a root renders when it shows nothing.
constexpr const char* EMPTY_NODE_NAME = "reactive::Element()";

// Runs `fn`; an exception is logged here instead of crossing GLib's C frames.
template <class F>
void guarded(const char* where, F&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        base::log::error(LOG_APP, fmt::format("{} failed: {}", where, e.what()));
    } catch (...) {
        base::log::error(LOG_APP, fmt::format("{} failed", where));
    }
}

// True exactly while component listeners run on this thread.
thread_local bool IN_EVENT_HANDLER = false;

// Every page's edit connection id comes from here (never reused).
std::atomic<std::uint32_t> NEXT_WEBVIEW_ID{0};
std::atomic<std::uint32_t> NEXT_WINDOW_ID{1};

// ---- the event loop ---------------------------------------------------------------

struct IpcEvent {
    std::uint32_t window;
    IpcMessage msg;
};
struct WebContentTerminated {
    std::uint32_t window;
};
struct PollEvent {
    std::uint32_t window;
};
struct CloseRequest {
    std::uint32_t window;
};
struct OpenFilesEvent {};
using UserWindowEvent = std::variant<IpcEvent, WebContentTerminated, PollEvent, CloseRequest, OpenFilesEvent>;

// Queues UserWindowEvents for the main loop. Senders hold a weak reference:
// once the loop state is gone, sends are dropped.
struct EventLoopState {
    std::mutex mu;
    std::deque<UserWindowEvent> queue;
    bool scheduled = false;
};

std::shared_ptr<EventLoopState>& event_loop_state() {
    static auto s = std::make_shared<EventLoopState>();
    return s;
}

void handle_user_window_event(UserWindowEvent ev);

gboolean drain_event_loop(gpointer data) {
    auto* weak = static_cast<std::weak_ptr<EventLoopState>*>(data);
    auto s = weak->lock();
    if (!s) return G_SOURCE_REMOVE;
    for (;;) {
        std::optional<UserWindowEvent> ev;
        {
            std::lock_guard lk(s->mu);
            if (s->queue.empty()) {
                s->scheduled = false;
                break;
            }
            ev.emplace(std::move(s->queue.front()));
            s->queue.pop_front();
        }
        guarded("event loop", [&] { handle_user_window_event(std::move(*ev)); });
    }
    return G_SOURCE_REMOVE;
}

class EventLoopProxy {
public:
    EventLoopProxy() : s_(event_loop_state()) {}
    void send(UserWindowEvent ev) const {
        auto s = s_.lock();
        if (!s) return;  // the event loop has ended
        bool schedule = false;
        {
            std::lock_guard lk(s->mu);
            s->queue.push_back(std::move(ev));
            if (!s->scheduled) s->scheduled = schedule = true;
        }
        if (schedule) {
            g_idle_add_full(G_PRIORITY_DEFAULT, drain_event_loop, new std::weak_ptr<EventLoopState>(s_),
                            [](gpointer p) { delete static_cast<std::weak_ptr<EventLoopState>*>(p); });
        }
    }

private:
    std::weak_ptr<EventLoopState> s_;
};

// ---- the edit connections ------------------------------------------------------------

// A script for one page: an edit batch (acknowledged), a checked script
// (its failure completes request `req`) or a plain one.
struct PageScript {
    enum Kind { Plain, Batch, Checked } kind = Plain;
    std::string js;
    std::uint64_t req = 0;
};

// webview id -> the live page, or the scripts queued for a page that has not
// connected yet. Shared by every window.
struct Connection {
    WebKitWebView* live = nullptr;
    std::vector<PageScript> queued;
};
std::shared_mutex CONNECTIONS_MU;
std::unordered_map<std::uint32_t, Connection> CONNECTIONS;

std::unordered_map<std::uint32_t, Window::Impl*>& windows() {
    static std::unordered_map<std::uint32_t, Window::Impl*> w;
    return w;
}

std::string js_string(const std::string& s) { return compact_json(nlohmann::json(s)); }

}  // namespace

// ---- open files ------------------------------------------------------------------------

namespace {
std::mutex OPEN_MU;
std::vector<std::filesystem::path> OPEN_FILES;
std::function<void(std::vector<std::filesystem::path>)> OPEN_HANDLER;  // UI thread only

// On the UI loop: hands the waiting files to the handler, if there is one.
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
}  // namespace

void queue_open_file(const std::filesystem::path& p) {
    {
        std::lock_guard lk(OPEN_MU);
        OPEN_FILES.push_back(p);
    }
    EventLoopProxy().send(OpenFilesEvent{});
}

void on_open_files(std::function<void(std::vector<std::filesystem::path>)> handler) {
    OPEN_HANDLER = std::move(handler);
    EventLoopProxy().send(OpenFilesEvent{});
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

// ---- GTK start and loop helpers ------------------------------------------------------------

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

// ---- the window's insides ------------------------------------------------------------------

struct MenuEntry {
    GtkWidget* item = nullptr;
    GtkWidget* submenu = nullptr;
    StandardItem standard = StandardItem::None;
};

// A pending element query or script evaluation. A script with a channel
// (on_value or on_end) stays after its reply until the channel ends.
struct QueryEntry {
    Window::ValueFn on_value;
    Window::DoneFn on_done;
    Window::EndFn on_end;
    bool replied = false;
    bool channel() const { return on_value || on_end; }
};

constexpr const char* PAGE_REPLACED = "the page was replaced";

struct Window::Impl {
    Window* self = nullptr;
    std::uint32_t id = 0;
    WindowConfig config;
    std::unique_ptr<PageRoot> root;
    DesktopService desktop;
    EventLoopProxy proxy;

    GtkWidget* window = nullptr;
    GtkWidget* box = nullptr;
    GtkWidget* menubar = nullptr;
    GtkAccelGroup* accel = nullptr;
    WebKitWebView* view = nullptr;
    WebKitUserContentManager* ucm = nullptr;

    // The navigation guard: the first navigation to our own pages is admitted,
    // later ones are refused until the page process dies.
    std::shared_ptr<std::atomic<bool>> nav_guard = std::make_shared<std::atomic<bool>>(false);

    // Edit queue.
    std::uint32_t webview_id = 0;
    int pending_acks = 0;
    std::uint64_t batches_applied = 0;
    bool rendered = false;
    bool closed = false;
    bool poll_scheduled = false;

    std::function<bool()> close_handler;
    std::function<void()> closed_handler;
    // Shared with the WindowContext handles; null once the window is gone.
    std::shared_ptr<Window*> handle = std::make_shared<Window*>(nullptr);
    std::function<void(const std::string&)> menu_handler;
    std::map<std::string, MenuEntry> menu_items;

    Window::EventCounts counts;
    std::uint64_t next_req = 1;
    std::map<std::uint64_t, QueryEntry> queries;
    // Script channels the host let go of, to be forgotten by the page.
    std::vector<std::uint64_t> forgotten;

    // ---- edit transport ----
    void send_script(std::string js) { run_or_queue(PageScript{PageScript::Plain, std::move(js), 0}); }

    // Runs a script on the live page, or queues it until the page connects.
    void run_or_queue(PageScript ps) {
        std::unique_lock lk(CONNECTIONS_MU);
        auto& c = CONNECTIONS[webview_id];
        if (!c.live) {
            c.queued.push_back(std::move(ps));
            return;
        }
        lk.unlock();
        run_js(ps);
    }

    void run_js(const PageScript& ps) {
        struct Ctx {
            std::weak_ptr<std::atomic<bool>> alive;
            Impl* impl;
            PageScript::Kind kind;
            std::uint64_t req;
            std::uint32_t wv;
        };
        auto* ctx = new Ctx{std::weak_ptr<std::atomic<bool>>(alive), this, ps.kind, ps.req, webview_id};
        if (ps.kind == PageScript::Batch) ++pending_acks;
        webkit_web_view_evaluate_javascript(
            view, ps.js.data(), static_cast<gssize>(ps.js.size()), nullptr, nullptr, nullptr,
            +[](GObject* src, GAsyncResult* res, gpointer data) {
                std::unique_ptr<Ctx> ctx(static_cast<Ctx*>(data));
                GError* err = nullptr;
                JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(src), res, &err);
                if (v) g_object_unref(v);
                // Only an exception of the script itself (a syntax error) fails its
                // request; a page that went away meanwhile is the recovery's business.
                std::string msg = err && g_error_matches(err, WEBKIT_JAVASCRIPT_ERROR,
                                                         WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED)
                                      ? err->message
                                      : "";
                if (err) g_error_free(err);
                if (ctx->alive.expired()) return;
                auto* impl = ctx->impl;
                // An acknowledgement from an older page is forgotten.
                if (ctx->kind == PageScript::Batch && impl->webview_id == ctx->wv && impl->pending_acks > 0) {
                    --impl->pending_acks;
                    ++impl->batches_applied;
                }
                // A script the page could not run (a syntax error) fails its request.
                if (ctx->kind == PageScript::Checked && !msg.empty()) impl->fail_request(ctx->req, msg);
            },
            ctx);
    }

    void send_batch(const nlohmann::json& batch) {
        if (!batch.is_array() || batch.empty()) return;
        send_batch_text(compact_json(batch));
    }

    void send_batch_text(const std::string& batch) {
        if (batch.empty() || batch == "[]") return;
        run_or_queue(PageScript{PageScript::Batch, fmt::format("window.__veltrum.apply({},{});", webview_id, batch), 0});
    }

    // The page of `wv` posted "initialize": it is now the live connection and
    // gets what was queued for it.
    void connect(std::uint32_t wv) {
        std::vector<PageScript> queued;
        {
            std::unique_lock lk(CONNECTIONS_MU);
            if (wv != webview_id) return;
            auto& c = CONNECTIONS[wv];
            c.live = view;
            queued = std::exchange(c.queued, {});
        }
        for (auto& ps : queued) run_js(ps);
    }

    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);

    // ---- rendering ----
    void poll() {
        poll_scheduled = false;
        flush_forgotten();
        if (!rendered || closed) return;
        nlohmann::json edits = root->render_dirty();
        if (desktop.crashed_at) return;  // output discarded while recovering
        send_batch(edits);
    }

    void schedule_poll() {
        if (poll_scheduled) return;
        poll_scheduled = true;
        proxy.send(PollEvent{id});
    }

    void first_render() {
        send_batch(root->render_first());
        rendered = true;
        if (config.visible && !closed) gtk_widget_show(window);
    }

    // ---- events ----
    EventReply handle_html_event(const EventRecord& rec) {
        // Restored to the value it had (not to false): a dispatch inside
        // another one leaves it set until the outermost returns.
        struct FlagScope {
            bool saved = IN_EVENT_HANDLER;
            FlagScope() { IN_EVENT_HANDLER = true; }
            ~FlagScope() { IN_EVENT_HANDLER = saved; }
        };
        EventReply r;
        {
            FlagScope flag;
            r = root->dispatch(rec);
        }
        schedule_poll();
        return r;
    }

    void on_ipc_message(const std::string& text) {
        auto msg = parse_ipc_message(text);
        if (!msg) return;
        if (msg->method == "user_event" && !IN_EVENT_HANDLER) {
            auto rec = parse_event_record(msg->params);
            if (!rec) {
                base::log::error(LOG_IPC, fmt::format("Failed to parse async user_event: {}", rec.error()));
                return;
            }
            if (!rendered) {
                base::log::error(LOG_IPC,
                                 "Tried to handle event before setting the desktop context on the event handler");
                return;
            }
            ++counts.immediate;
            handle_html_event(*rec);
            return;
        }
        proxy.send(IpcEvent{id, std::move(*msg)});
    }

    // ---- queries ----
    void on_query_message(const nlohmann::json& p) {
        if (desktop.crashed_at) return;  // replies of a dead page or during a recovery
        if (!p.is_object()) return;
        auto k = p.value("k", std::string());
        if (k == "reply") {
            auto req = p.value("req", std::uint64_t{0});
            auto it = queries.find(req);
            if (it == queries.end() || it->second.replied) return;
            bool ok = p.value("ok", false);
            if (!ok) {
                fail_request(req, p.value("error", std::string("script failed")));
                return;
            }
            auto done = it->second.on_done;
            if (it->second.channel()) it->second.replied = true;  // the channel stays open
            else queries.erase(it);
            if (done) done(p.contains("value") ? p["value"] : nlohmann::json());
        } else if (k == "chan") {
            auto it = queries.find(p.value("ch", std::uint64_t{0}));
            if (it == queries.end() || !it->second.on_value) return;
            auto fn = it->second.on_value;  // a copy: the callback may end the query
            fn(p.contains("value") ? p["value"] : nlohmann::json());
        } else if (k == "end") {
            auto it = queries.find(p.value("ch", std::uint64_t{0}));
            if (it == queries.end()) return;
            auto end = std::move(it->second.on_end);
            queries.erase(it);
            if (end) end("the script ended its channel");
        }
    }

    // The script or query failed (it threw, or the page could not run it):
    // its request and its channel end with `error`.
    void fail_request(std::uint64_t req, const std::string& error) {
        auto it = queries.find(req);
        if (it == queries.end()) return;
        QueryEntry q = std::move(it->second);
        queries.erase(it);
        if (q.on_done && !q.replied) q.on_done(base::fail(error));
        if (q.on_end) q.on_end(error);
    }

    std::uint64_t add_query(QueryEntry entry, std::string js) {
        std::uint64_t req = next_req++;
        queries[req] = std::move(entry);
        // While recovering the request waits in the table and is never sent.
        if (!desktop.crashed_at) {
            std::string wrapped = fmt::format(
                "(function(){{const i=window.__veltrum;if(!i||i.webviewId!=={})return;{}}})();", webview_id, js);
            run_or_queue(PageScript{PageScript::Checked, std::move(wrapped), req});
        }
        return req;
    }

    void release(std::uint64_t req) {
        auto it = queries.find(req);
        if (it == queries.end()) return;
        queries.erase(it);
        if (desktop.crashed_at) return;  // the new page never knew it
        forgotten.push_back(req);
        schedule_poll();
    }

    void flush_forgotten() {
        if (forgotten.empty()) return;
        std::string list;
        for (auto req : std::exchange(forgotten, {})) list += fmt::format("{}{}", list.empty() ? "" : ",", req);
        send_script(fmt::format("(function(){{const i=window.__veltrum;if(i&&i.webviewId==={})i.forgetScripts([{}]);}})();",
                                webview_id, list));
    }

    void drop_queries() {
        forgotten.clear();
        auto q = std::exchange(queries, {});
        for (auto& [req, e] : q) {
            if (e.on_done && !e.replied) e.on_done(base::fail(PAGE_REPLACED));
            if (e.on_end) e.on_end(PAGE_REPLACED);
        }
    }

    bool try_close() {
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

    // ---- recovery ----
    void begin_recovery() {
        std::string t = title();
        if (!root->uses_page_generation()) {
            base::log::warn(LOG_WEBVIEW,
                            fmt::format("webview recovery: '{}' root never called use_page_generation(); its page "
                                        "JS won't re-run and it may not render {} while recovering",
                                        t, EMPTY_NODE_NAME));
        }
        std::uint32_t old_id = webview_id;
        webview_id = NEXT_WEBVIEW_ID.fetch_add(1);
        pending_acks = 0;
        {
            std::unique_lock lk(CONNECTIONS_MU);
            CONNECTIONS.erase(old_id);
        }
        forgotten.clear();  // the new page never knew them
        if (rendered && !desktop.crashed_at) {
            desktop.crashed_at = std::chrono::steady_clock::now();
            root->render_placeholder();
        }
        base::log::info(LOG_WEBVIEW, fmt::format("webview recovery: '{}' web content process died, reloading", t));
        webkit_web_view_load_uri(view, INDEX_URL);
        schedule_poll();
    }

    void handle_initialize(const nlohmann::json& params) {
        // The page tells which edit connection it is; a page of an older id
        // (a load that raced a crash) is ignored.
        std::uint32_t wv = webview_id;
        if (params.is_object() && params.contains("webview_id") && params["webview_id"].is_number_unsigned())
            wv = params["webview_id"].get<std::uint32_t>();
        if (wv != webview_id) return;
        connect(wv);
        if (!desktop.crashed_at) {
            if (!rendered) first_render();
        } else if (root->placeholder_mounted()) {
            auto crashed = *desktop.crashed_at;
            desktop.crashed_at.reset();
            desktop.page_generation += 1;
            drop_queries();
            send_batch(root->render_reattach());
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            crashed)
                          .count();
            base::log::info(LOG_WEBVIEW,
                            fmt::format("webview recovery: '{}' re-attached {} ms after the crash (page generation {})",
                                        title(), ms, desktop.page_generation));
        } else {
            base::log::error(LOG_WEBVIEW,
                             fmt::format("webview recovery: '{}' root did not render {} while recovering; window "
                                         "left blank",
                                         title(), EMPTY_NODE_NAME));
        }
        schedule_poll();
    }

    std::string title() const {
        const char* t = gtk_window_get_title(GTK_WINDOW(window));
        return t ? t : "";
    }

    // ---- the custom scheme ----
    void serve(WebKitURISchemeRequest* req);
    void build();
};

namespace {

void finish_bytes(WebKitURISchemeRequest* req, std::string body, const char* mime, int status = 200) {
    auto* bytes = g_bytes_new(body.data(), body.size());
    GInputStream* in = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* resp = webkit_uri_scheme_response_new(in, static_cast<gint64>(body.size()));
    webkit_uri_scheme_response_set_status(resp, static_cast<guint>(status), nullptr);
    webkit_uri_scheme_response_set_content_type(resp, mime);
    SoupMessageHeaders* h = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(h, "Access-Control-Allow-Origin", "*");
    soup_message_headers_append(h, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(resp, h);
    webkit_uri_scheme_request_finish_with_response(req, resp);
    g_object_unref(resp);
    g_object_unref(in);
    g_bytes_unref(bytes);
}

void finish_error(WebKitURISchemeRequest* req, const std::string& msg) {
    GError* e = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, msg.c_str());
    webkit_uri_scheme_request_finish_error(req, e);
    g_error_free(e);
}

std::string read_body(WebKitURISchemeRequest* req) {
    std::string out;
    GInputStream* in = webkit_uri_scheme_request_get_http_body(req);
    if (!in) return out;
    char buf[16384];
    for (;;) {
        gssize n = g_input_stream_read(in, buf, sizeof buf, nullptr, nullptr);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    g_object_unref(in);
    return out;
}

const char* mime_of(const std::filesystem::path& p) {
    auto e = p.extension().string();
    if (e == ".css") return "text/css";
    if (e == ".js" || e == ".mjs") return "text/javascript";
    if (e == ".svg") return "image/svg+xml";
    if (e == ".png") return "image/png";
    if (e == ".woff2") return "font/woff2";
    if (e == ".woff") return "font/woff";
    if (e == ".html") return "text/html";
    if (e == ".json") return "application/json";
    return "application/octet-stream";
}

void scheme_handler(WebKitURISchemeRequest* req, gpointer) {
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(req);
    auto* impl = view ? static_cast<Window::Impl*>(g_object_get_data(G_OBJECT(view), "veltrum-window")) : nullptr;
    if (!impl) {
        finish_error(req, "no window for this page");
        return;
    }
    bool served = false;
    guarded("custom scheme", [&] {
        impl->serve(req);
        served = true;
    });
    if (!served) finish_error(req, "request failed");
}

bool is_own_address(std::string_view uri) {
    return uri.starts_with("veltrum:") || uri.starts_with("http://veltrum.localhost") ||
           uri.starts_with("https://veltrum.localhost");
}

void ensure_scheme() {
    static bool done = [] {
        WebKitWebContext* ctx = webkit_web_context_get_default();
        webkit_web_context_register_uri_scheme(ctx, SCHEME, scheme_handler, nullptr, nullptr);
        WebKitSecurityManager* sm = webkit_web_context_get_security_manager(ctx);
        webkit_security_manager_register_uri_scheme_as_secure(sm, SCHEME);
        webkit_security_manager_register_uri_scheme_as_cors_enabled(sm, SCHEME);
        return true;
    }();
    (void)done;
}

}  // namespace

void Window::Impl::serve(WebKitURISchemeRequest* req) {
    std::string path = webkit_uri_scheme_request_get_path(req) ? webkit_uri_scheme_request_get_path(req) : "";
    const char* method = webkit_uri_scheme_request_get_http_method(req);
    if (path == "/__event") {
        std::string body = read_body(req);
        EventReply reply;
        nlohmann::json v = nlohmann::json::parse(body, nullptr, false);
        if (auto rec = parse_event_record(v)) {
            if (!rendered) {
                base::log::error(LOG_IPC,
                                 "Tried to handle event before setting the desktop context on the event handler");
            } else {
                ++counts.blocking;
                reply = handle_html_event(*rec);
            }
        }
        finish_bytes(req, reply_json(reply), "application/json");
        return;
    }
    if (path == "/" || path == "/index.html") {
        finish_bytes(req, index_html(config.head, webview_id), "text/html");
        return;
    }
    if (path.starts_with("/assets/") && (!method || std::string_view(method) == "GET")) {
        std::string rel = path.substr(8);
        gchar* unescaped = g_uri_unescape_string(rel.c_str(), nullptr);
        if (unescaped) {
            rel = unescaped;
            g_free(unescaped);
        }
        std::filesystem::path rp(rel);
        bool safe = !rp.is_absolute();
        for (auto& part : rp)
            if (part == "..") safe = false;
        if (safe) {
            for (auto& a : config.assets) {
                std::string_view r = rel;
                if (!a.prefix.empty()) {
                    if (!r.starts_with(a.prefix + "/")) continue;
                    r.remove_prefix(a.prefix.size() + 1);
                }
                auto file = a.folder / std::filesystem::path(r);
                std::ifstream f(file, std::ios::binary);
                if (!f) continue;
                std::stringstream ss;
                ss << f.rdbuf();
                finish_bytes(req, ss.str(), mime_of(file));
                return;
            }
        }
    }
    finish_error(req, fmt::format("not found: {}", path));
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
                         impl->proxy.send(WebContentTerminated{impl->id});
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

// ---- the event loop's handler ------------------------------------------------------------

namespace {

void handle_user_window_event(UserWindowEvent ev) {
    auto find = [](std::uint32_t id) -> Window::Impl* {
        auto it = windows().find(id);
        return it == windows().end() ? nullptr : it->second;
    };
    if (auto* t = std::get_if<WebContentTerminated>(&ev)) {
        if (auto* w = find(t->window)) w->begin_recovery();
        return;
    }
    if (auto* p = std::get_if<PollEvent>(&ev)) {
        if (auto* w = find(p->window)) w->poll();
        return;
    }
    if (auto* c = std::get_if<CloseRequest>(&ev)) {
        if (auto* w = find(c->window)) w->try_close();
        return;
    }
    if (std::holds_alternative<OpenFilesEvent>(ev)) {
        deliver_open_files();
        return;
    }
    auto& ipc = std::get<IpcEvent>(ev);
    const std::string& m = ipc.msg.method;
    if (m == "user_event") {
        if (IN_EVENT_HANDLER) return;
        auto* w = find(ipc.window);
        if (!w) return;
        auto rec = parse_event_record(ipc.msg.params);
        if (!rec) {
            base::log::error(LOG_APP, fmt::format("Failed to parse async user_event: {}", rec.error()));
            return;
        }
        if (!w->rendered) {
            base::log::error(LOG_IPC, "Tried to handle event before setting the desktop context on the event handler");
            return;
        }
        ++w->counts.deferred;
        w->handle_html_event(*rec);
    } else if (m == "query") {
        if (auto* w = find(ipc.window)) w->on_query_message(ipc.msg.params);
    } else if (m == "browser_open") {
        if (ipc.msg.params.is_object() && ipc.msg.params.contains("url") && ipc.msg.params["url"].is_string()) {
            std::string url = ipc.msg.params["url"].get<std::string>();
            if (url.starts_with("https://") || url.starts_with("http://"))
                g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr);
        }
    } else if (m == "initialize") {
        if (auto* w = find(ipc.window)) w->handle_initialize(ipc.msg.params);
    } else if (m == "js_error") {
        if (base::log::enabled(base::log::Level::Warn))
            base::log::warn(LOG_APP, "javascript error in a window", {{"error", compact_json(ipc.msg.params)}});
    }
}

}  // namespace

// ---- Window ------------------------------------------------------------------------------

Window::Window(WindowConfig config, std::unique_ptr<PageRoot> root) : impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->id = NEXT_WINDOW_ID.fetch_add(1);
    impl_->config = std::move(config);
    if (impl_->config.assets.empty()) impl_->config.assets.push_back({"", beside_program("assets")});
    impl_->root = std::move(root);
    *impl_->handle = this;
    windows()[impl_->id] = impl_.get();
    impl_->root->attached(*this);
    impl_->build();
}

Window::~Window() {
    *impl_->handle = nullptr;
    windows().erase(impl_->id);
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
bool Window::focus() {
    if (!is_visible()) return false;  // never pops a hidden or minimised window up
    gtk_window_present(GTK_WINDOW(impl_->window));
    gtk_widget_grab_focus(GTK_WIDGET(impl_->view));
    return true;
}
void Window::set_close_request_handler(std::function<bool()> handler) { impl_->close_handler = std::move(handler); }
void Window::request_close() { impl_->proxy.send(CloseRequest{impl_->id}); }
void Window::set_closed_handler(std::function<void()> handler) { impl_->closed_handler = std::move(handler); }
bool Window::closed() const { return impl_->closed; }
bool Window::rendered() const { return impl_->rendered; }
PageRoot& Window::root() { return *impl_->root; }
const DesktopService& Window::desktop() const { return impl_->desktop; }
std::uint32_t Window::webview_id() const { return impl_->webview_id; }
bool Window::recovering() const { return impl_->desktop.crashed_at.has_value(); }
void Window::request_poll() { impl_->schedule_poll(); }
void Window::send_edits(const nlohmann::json& batch) { impl_->send_batch(batch); }
void Window::send_edits_text(std::string batch) { impl_->send_batch_text(batch); }
int Window::pending_batches() const { return impl_->pending_acks; }
std::uint64_t Window::batches_applied() const { return impl_->batches_applied; }
Window::EventCounts Window::event_counts() const { return impl_->counts; }

std::uint64_t Window::evaluate(const std::string& body, ValueFn on_value, DoneFn on_done, EndFn on_end) {
    std::uint64_t req = impl_->next_req;  // add_query takes this number
    QueryEntry e{std::move(on_value), std::move(on_done), std::move(on_end)};
    std::string js = fmt::format("i.run({},{},async function(veltrum,send,recv,end){{\n{}\n}});", req,
                                 e.channel() ? "true" : "false", body);
    return impl_->add_query(std::move(e), std::move(js));
}

base::Result<void> Window::send_to_script(std::uint64_t req, const nlohmann::json& value) {
    if (impl_->desktop.crashed_at) return base::fail("the page is being rebuilt");
    auto it = impl_->queries.find(req);
    if (it == impl_->queries.end() || !it->second.channel()) return base::fail("the script's channel has ended");
    impl_->send_script(fmt::format("(function(){{const i=window.__veltrum;if(i&&i.webviewId==={})i.deliver({},{});}})();",
                                   impl_->webview_id, req, compact_json(value)));
    return {};
}

void Window::release_script(std::uint64_t req) { impl_->release(req); }

std::uint64_t Window::query_element(std::uint64_t element, const std::string& op, const nlohmann::json& arg,
                                    DoneFn on_done) {
    std::uint64_t req = impl_->next_req;
    std::string js = fmt::format("i.query({},{},{},{});", req, element, js_string(op), compact_json(arg));
    return impl_->add_query(QueryEntry{{}, std::move(on_done), {}}, std::move(js));
}

std::size_t Window::pending_queries() const { return impl_->queries.size(); }

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

// ---- menus ------------------------------------------------------------------------------

namespace {

struct MenuCtx {
    Window::Impl* impl;
    std::string id;
};

const char* editing_command(StandardItem s) {
    switch (s) {
        case StandardItem::Undo: return WEBKIT_EDITING_COMMAND_UNDO;
        case StandardItem::Redo: return WEBKIT_EDITING_COMMAND_REDO;
        case StandardItem::Cut: return WEBKIT_EDITING_COMMAND_CUT;
        case StandardItem::Copy: return WEBKIT_EDITING_COMMAND_COPY;
        case StandardItem::Paste: return WEBKIT_EDITING_COMMAND_PASTE;
        case StandardItem::SelectAll: return WEBKIT_EDITING_COMMAND_SELECT_ALL;
        case StandardItem::None: break;
    }
    return nullptr;
}

void fill_menu(Window::Impl* impl, GtkWidget* menu, const std::vector<MenuItem>& items);

GtkWidget* make_item(Window::Impl* impl, const MenuItem& it) {
    if (it.separator) return gtk_separator_menu_item_new();
    GtkWidget* w = it.literal ? gtk_menu_item_new_with_label(it.label.c_str())
                              : gtk_menu_item_new_with_mnemonic(it.label.c_str());
    MenuEntry e;
    e.item = w;
    e.standard = it.standard;
    if (!it.submenu.empty()) {
        e.submenu = gtk_menu_new();
        fill_menu(impl, e.submenu, it.submenu);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(w), e.submenu);
    } else {
        g_signal_connect_data(
            w, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                auto* c = static_cast<MenuCtx*>(data);
                auto it = c->impl->menu_items.find(c->id);
                StandardItem st = it == c->impl->menu_items.end() ? StandardItem::None : it->second.standard;
                if (const char* cmd = editing_command(st)) {
                    webkit_web_view_execute_editing_command(c->impl->view, cmd);
                    return;
                }
                if (c->impl->menu_handler) {
                    auto h = c->impl->menu_handler;  // the handler may replace the menus
                    std::string id = c->id;
                    h(id);
                }
            }),
            new MenuCtx{impl, it.id}, [](gpointer data, GClosure*) { delete static_cast<MenuCtx*>(data); },
            GConnectFlags(0));
    }
    if (!it.accel.empty()) {
        guint key = 0;
        GdkModifierType mods{};
        gtk_accelerator_parse(it.accel.c_str(), &key, &mods);
        if (key) gtk_widget_add_accelerator(w, "activate", impl->accel, key, mods, GTK_ACCEL_VISIBLE);
    }
    gtk_widget_set_sensitive(w, it.enabled);
    if (!it.id.empty()) impl->menu_items[it.id] = e;
    return w;
}

void fill_menu(Window::Impl* impl, GtkWidget* menu, const std::vector<MenuItem>& items) {
    for (const auto& it : items) gtk_menu_shell_append(GTK_MENU_SHELL(menu), make_item(impl, it));
}

void forget_items(Window::Impl* impl, GtkWidget* container) {
    GList* kids = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* k = kids; k; k = k->next) {
        auto* w = GTK_WIDGET(k->data);
        for (auto it = impl->menu_items.begin(); it != impl->menu_items.end();) {
            if (it->second.item == w) {
                if (it->second.submenu) forget_items(impl, it->second.submenu);
                it = impl->menu_items.erase(it);
            } else {
                ++it;
            }
        }
    }
    g_list_free(kids);
}

}  // namespace

void Window::set_menu_bar(const std::vector<Menu>& menus, std::function<void(const std::string&)> handler) {
    auto* impl = impl_.get();
    impl->menu_handler = std::move(handler);
    if (impl->menubar) {
        impl->menu_items.clear();
        gtk_widget_destroy(impl->menubar);
    }
    impl->menubar = gtk_menu_bar_new();
    for (const auto& m : menus) {
        GtkWidget* top = gtk_menu_item_new_with_mnemonic(m.label.c_str());
        GtkWidget* sub = gtk_menu_new();
        gtk_menu_set_accel_group(GTK_MENU(sub), impl->accel);
        fill_menu(impl, sub, m.items);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), sub);
        gtk_menu_shell_append(GTK_MENU_SHELL(impl->menubar), top);
    }
    gtk_box_pack_start(GTK_BOX(impl->box), impl->menubar, FALSE, FALSE, 0);
    gtk_widget_show_all(impl->menubar);
}

void Window::rebuild_submenu(const std::string& id, const std::vector<MenuItem>& items) {
    auto* impl = impl_.get();
    auto it = impl->menu_items.find(id);
    if (it == impl->menu_items.end()) return;
    GtkWidget* item = it->second.item;
    if (it->second.submenu) forget_items(impl, it->second.submenu);
    GtkWidget* sub = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(sub), impl->accel);
    fill_menu(impl, sub, items);
    gtk_widget_show_all(sub);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), sub);  // the old submenu is destroyed
    impl->menu_items[id].submenu = sub;
    gtk_widget_set_sensitive(item, !items.empty());
}

void Window::set_item_enabled(const std::string& id, bool enabled) {
    auto it = impl_->menu_items.find(id);
    if (it != impl_->menu_items.end()) gtk_widget_set_sensitive(it->second.item, enabled);
}

bool Window::activate_menu_item(const std::string& id) {
    auto it = impl_->menu_items.find(id);
    if (it == impl_->menu_items.end() || !gtk_widget_is_sensitive(it->second.item) || it->second.submenu) return false;
    gtk_menu_item_activate(GTK_MENU_ITEM(it->second.item));
    return true;
}

bool Window::has_menu_item(const std::string& id) const { return impl_->menu_items.contains(id); }

// ---- file dialogs -------------------------------------------------------------------------

struct FileDialog::Impl {
    GtkFileChooserNative* native = nullptr;
    std::function<void(std::optional<std::filesystem::path>)> done;
    bool open = false;

    void finish(std::optional<std::filesystem::path> p) {
        if (!open) return;
        open = false;
        auto d = std::move(done);
        if (d) d(std::move(p));
    }
};

FileDialog::FileDialog(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

FileDialog::~FileDialog() {
    if (impl_->open) gtk_native_dialog_hide(GTK_NATIVE_DIALOG(impl_->native));
    impl_->open = false;
    g_signal_handlers_disconnect_by_data(impl_->native, impl_.get());
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(impl_->native));
    g_object_unref(impl_->native);
}

void FileDialog::cancel() {
    if (!impl_->open) return;
    gtk_native_dialog_hide(GTK_NATIVE_DIALOG(impl_->native));
    impl_->finish(std::nullopt);
}

bool FileDialog::is_open() const { return impl_->open; }

namespace {

std::unique_ptr<FileDialog> file_dialog(GtkWindow* parent, GtkFileChooserAction action, const FileDialogOptions& o,
                                        std::function<void(std::optional<std::filesystem::path>)> done) {
    auto impl = std::make_unique<FileDialog::Impl>();
    bool save = action == GTK_FILE_CHOOSER_ACTION_SAVE;
    impl->native = gtk_file_chooser_native_new(o.title.c_str(), parent, action, save ? "_Save" : "_Open", "_Cancel");
    GtkFileChooser* fc = GTK_FILE_CHOOSER(impl->native);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(fc, TRUE);
        if (!o.suggested_name.empty()) gtk_file_chooser_set_current_name(fc, o.suggested_name.c_str());
    }
    if (!o.folder.empty()) gtk_file_chooser_set_current_folder(fc, o.folder.c_str());
    if (o.filter) {
        GtkFileFilter* f = gtk_file_filter_new();
        gtk_file_filter_set_name(f, o.filter->name.c_str());
        for (auto& p : o.filter->patterns) gtk_file_filter_add_pattern(f, p.c_str());
        gtk_file_chooser_add_filter(fc, f);  // takes the floating reference
    }
    impl->done = std::move(done);
    g_signal_connect(impl->native, "response", G_CALLBACK(+[](GtkNativeDialog* d, gint response, gpointer data) {
                         auto* impl = static_cast<FileDialog::Impl*>(data);
                         std::optional<std::filesystem::path> p;
                         if (response == GTK_RESPONSE_ACCEPT) {
                             if (gchar* f = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d))) {
                                 p = std::filesystem::path(f);
                                 g_free(f);
                             }
                         }
                         impl->finish(std::move(p));
                     }),
                     impl.get());
    impl->open = true;
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(impl->native), TRUE);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(impl->native));
    return std::make_unique<FileDialog>(std::move(impl));
}

}  // namespace

std::unique_ptr<FileDialog> Window::open_file_dialog(const FileDialogOptions& o,
                                                     std::function<void(std::optional<std::filesystem::path>)> done) {
    return file_dialog(GTK_WINDOW(impl_->window), GTK_FILE_CHOOSER_ACTION_OPEN, o, std::move(done));
}

std::unique_ptr<FileDialog> Window::save_file_dialog(const FileDialogOptions& o,
                                                     std::function<void(std::optional<std::filesystem::path>)> done) {
    return file_dialog(GTK_WINDOW(impl_->window), GTK_FILE_CHOOSER_ACTION_SAVE, o, std::move(done));
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
