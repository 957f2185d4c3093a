#pragma once
// Private to the runtime: the window's insides and what its files share.
//
//   gtk_loop.cpp      the one queue onto the GTK main loop (and GtkLoop on it)
//   app.cpp           GTK start, the event loop's handler, the window list,
//                     files the system asks to open
//   scheme.cpp        the custom scheme: index page, assets, blocking events
//   page_channel.cpp  the page channel: edits, scripts and queries, events
//   recovery.cpp      a dead page process: reload, re-attach
//   menus.cpp, dialogs.cpp, window.cpp (building it, Window, WindowContext)
//
// Everything runs on the UI thread except post_to_ui and send_event.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/log.h"
#include "webview-host/ipc.h"
#include "webview-host/window.h"

namespace webview_host::detail {

inline constexpr const char* LOG_WEBVIEW = "veltrum::webview_host::webview";
inline constexpr const char* LOG_IPC = "veltrum::webview_host::ipc";
inline constexpr const char* LOG_APP = "veltrum::webview_host::app";
// How the runtime names the element a root renders when it shows nothing.
inline constexpr const char* EMPTY_NODE_NAME = "reactive::Element()";
inline constexpr const char* PAGE_REPLACED = "the page was replaced";

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

// ---- the one queue onto the GTK loop -------------------------------------------------

// Thread-safe: runs `fn` on the GTK main loop's thread, after everything
// posted before it. Each pass runs what was queued when it started; what the
// callbacks post runs in the next pass, so GTK keeps its turn.
void post_to_ui(std::function<void()> fn);

// ---- the event loop's messages ---------------------------------------------------------

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

// Thread-safe: hands `ev` to the event loop's handler through the queue.
void send_event(UserWindowEvent ev);

// The window of `id`, while it exists (UI thread).
Window::Impl* find_window(std::uint32_t id);
void add_window(std::uint32_t id, Window::Impl* w);
void remove_window(std::uint32_t id);

// True exactly while component listeners run on this thread.
extern thread_local bool IN_EVENT_HANDLER;

// Every page's edit connection id comes from here (never reused).
extern std::atomic<std::uint32_t> NEXT_WEBVIEW_ID;

// ---- the edit connections --------------------------------------------------------------

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
extern std::shared_mutex CONNECTIONS_MU;
extern std::unordered_map<std::uint32_t, Connection> CONNECTIONS;

// ---- the custom scheme -----------------------------------------------------------------

// Registers the scheme with the web context (once).
void ensure_scheme();
// An address of the runtime's own pages.
bool is_own_address(std::string_view uri);

// ---- files the system asks to open -------------------------------------------------------

void deliver_open_files();

// ---- per window ----------------------------------------------------------------------------

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

// How an event reached the listeners.
enum class Road { Blocking, Immediate, Deferred };

}  // namespace webview_host::detail

namespace webview_host {

struct Window::Impl {
    Window* self = nullptr;
    std::uint32_t id = 0;
    WindowConfig config;
    std::unique_ptr<PageRoot> root;
    DesktopService desktop;

    GtkWidget* window = nullptr;
    GtkWidget* box = nullptr;
    GtkWidget* menubar = nullptr;
    GtkAccelGroup* accel = nullptr;
    WebKitWebView* view = nullptr;
    WebKitUserContentManager* ucm = nullptr;

    // The navigation guard: the first navigation to our own pages is admitted,
    // later ones are refused until the page process dies.
    std::shared_ptr<std::atomic<bool>> nav_guard = std::make_shared<std::atomic<bool>>(false);
    // Expires with the window: callbacks of GLib hold it weakly.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    // Shared with the WindowContext handles; null once the window is gone.
    std::shared_ptr<Window*> handle = std::make_shared<Window*>(nullptr);

    // Edit queue.
    std::uint32_t webview_id = 0;
    int pending_acks = 0;
    std::uint64_t batches_applied = 0;
    bool rendered = false;
    bool closed = false;
    bool poll_scheduled = false;

    std::function<bool()> close_handler;
    std::function<void()> closed_handler;
    std::function<void(const std::string&)> menu_handler;
    std::map<std::string, detail::MenuEntry> menu_items;

    Window::EventCounts counts;
    std::uint64_t next_req = 1;
    std::map<std::uint64_t, detail::QueryEntry> queries;
    // Script channels the host let go of, to be forgotten by the page.
    std::vector<std::uint64_t> forgotten;

    // ---- page channel: edits and scripts to the page (page_channel.cpp)
    void send_script(std::string js);
    // Runs a script on the live page, or queues it until the page connects.
    void run_or_queue(detail::PageScript ps);
    void run_js(const detail::PageScript& ps);
    void send_batch(const nlohmann::json& batch);
    void send_batch_text(const std::string& batch);
    // The page of `wv` posted "initialize": it becomes the live connection
    // and gets what was queued for it.
    void connect(std::uint32_t wv);

    // ---- page channel: rendering
    void poll();
    void schedule_poll();
    void first_render();

    // ---- page channel: events
    // The one road of an event record to the listeners.
    EventReply deliver_event(const EventRecord& rec, detail::Road road);
    // A "user_event" page message: its params read as an event record.
    void on_user_event(const nlohmann::json& params, detail::Road road);
    void on_ipc_message(const std::string& text);

    // ---- page channel: scripts and queries
    void on_query_message(const nlohmann::json& p);
    void fail_request(std::uint64_t req, const std::string& error);
    std::uint64_t add_query(detail::QueryEntry entry, std::string js);
    void release(std::uint64_t req);
    void flush_forgotten();
    void drop_queries();

    // ---- recovery (recovery.cpp)
    void begin_recovery();
    void handle_initialize(const nlohmann::json& params);

    // ---- the custom scheme (scheme.cpp)
    void serve(WebKitURISchemeRequest* req);

    // ---- the window (window.cpp)
    void build();
    bool try_close();
    std::string title() const;
};

}  // namespace webview_host
