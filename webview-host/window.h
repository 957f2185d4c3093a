#pragma once
// A desktop window: a GTK window holding a menu bar and a WebKit web view
// whose page is served by the runtime from its custom URI scheme.
//
// Page -> host: page messages ("method"/"params") through the script message
// handler that exists before any page script runs; blocking events through a
// synchronous POST on the custom scheme, whose answer is the host's
// {"prevent_default","stop_propagation"}.
// Host -> page: edit batches, host scripts and element queries through
// webkit_web_view_evaluate_javascript, each for the page of one webview id.
//
// Everything here runs on the UI thread (the GTK main loop).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/result.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace webview_host {

struct EventRecord;
struct EventReply;

// Starts GTK once per process. False when there is no display.
bool init();

// Runs the GTK main loop until `done` is true or `timeout` has passed;
// returns `done()`. For tests, benchmarks and start-up code.
bool run_until(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Runs pending GTK work for about `d`.
void pump_for(std::chrono::milliseconds d);
// Hands the thread to the GTK main loop until quit() is called.
void run();
void quit();

// What the window shows. The runtime asks it for edit batches (JSON arrays of
// edits) and hands it the page's events. Called on the UI thread only.
class PageRoot {
public:
    virtual ~PageRoot() = default;
    // The whole tree for a fresh page (the first render).
    virtual nlohmann::json render_first() = 0;
    // The edits of the components changed since the last render.
    virtual nlohmann::json render_dirty() = 0;
    // Runs the listeners of one event; the answer says whether one of them
    // prevented the default action or stopped propagation.
    virtual EventReply dispatch(const EventRecord& ev) = 0;
    // Recovery: the tree is unmounted on the host side and the root shows a
    // single empty placeholder in its place; the root keeps its own state.
    // No edits are produced (the page is gone).
    virtual void render_placeholder() = 0;
    // True when the last render is a single empty placeholder that is mounted.
    virtual bool placeholder_mounted() const = 0;
    // Edits that build the whole tree in a fresh page in place of the
    // placeholder.
    virtual nlohmann::json render_reattach() = 0;
    // True once a component of the tree has read the page generation.
    virtual bool uses_page_generation() const { return false; }
    // The window this root renders into (before its page loads).
    virtual void attached(class Window& window) { (void)window; }
    // The runtime's wake-up: the root calls it when components became dirty
    // outside an event (timers, tasks), so that the window polls.
    std::function<void()> wake;
};

// A folder served under veltrum://app/assets/<prefix>/...
struct AssetRoot {
    std::string prefix{};            // "" serves the folder at the top of assets/
    std::filesystem::path folder{};
};

// The folder beside the running program ("<program dir>/<name>").
std::filesystem::path beside_program(std::string_view name);

struct WindowConfig {
    std::string title = "Veltrum";
    int width = 1280;
    int height = 800;
    int min_width = 0;
    int min_height = 0;
    bool visible = true;  // shown after the first render
    std::string head{};   // inserted just before </head> of the index page
    std::vector<AssetRoot> assets{};  // none: the folder "assets" beside the program
};

// Per window: its recovery state. Components read the generation with
// reactive::use_page_generation and the recovery with reactive::use_recovering.
struct DesktopService {
    std::optional<std::chrono::steady_clock::time_point> crashed_at{};  // set while recovering
    std::uint32_t page_generation = 0;  // raised at every re-attach
};

// ---- menus --------------------------------------------------------------------

// Standard Edit items run the web view's editing commands; Hide iconifies
// the window.
enum class StandardItem { None, Undo, Redo, Cut, Copy, Paste, SelectAll, Hide };

// Every field has a default, so designated initialisers may leave any out.
struct MenuItem {
    std::string id{};        // reported to the menu handler
    std::string label{};     // "_" marks the mnemonic
    std::string accel{};     // GTK accelerator text, e.g. "<Primary>o"
    bool enabled = true;
    bool separator = false;
    bool literal = false;    // label shown as written, "_" included (file paths)
    StandardItem standard = StandardItem::None;
    std::vector<MenuItem> submenu{};

    static MenuItem sep() {
        MenuItem m;
        m.separator = true;
        return m;
    }
};

struct Menu {
    std::string label{};
    std::vector<MenuItem> items{};
};

// ---- file dialogs ---------------------------------------------------------------

struct FileFilter {
    std::string name{};                   // "Project"
    std::vector<std::string> patterns{};  // "*.veltrum"
};

struct FileDialogOptions {
    std::string title{};
    std::string suggested_name{};  // save dialogs
    std::filesystem::path folder{};
    std::optional<FileFilter> filter{};
};

class FileDialog;
class Window;

// ---- what components may do with their window ------------------------------------

// A handle on one window for components (webview_host::use_window() in a
// render) and for the application. Copies share the window; once the window
// is gone every call does nothing and the queries answer false or "".
class WindowContext {
public:
    WindowContext() = default;
    explicit WindowContext(std::shared_ptr<Window*> window) : w_(std::move(window)) {}

    std::string title() const;
    void set_title(const std::string& title) const;
    // Shows the window (and raises it).
    void show() const;
    // Gives the window the keyboard focus, only when it is visible and not
    // minimised (never pops a hidden or minimised window up). True when it did.
    bool focus() const;
    bool is_visible() const;
    bool is_minimized() const;
    // The toolkit's own parts of the window (its menu bar, native dialogs)
    // in their dark or light variant.
    void set_dark_theme(bool dark) const;
    // Asks the window to close as its close button does: posted, then the
    // close handler decides. Quit goes through here.
    void request_close() const;

    void set_menu_bar(const std::vector<Menu>& menus, std::function<void(const std::string&)> handler) const;
    void rebuild_submenu(const std::string& id, const std::vector<MenuItem>& items) const;
    void set_item_enabled(const std::string& id, bool enabled) const;

    // Native dialogs (null without a window); `done` gets the path or nothing.
    std::unique_ptr<FileDialog> open_file_dialog(const FileDialogOptions& o,
                                                 std::function<void(std::optional<std::filesystem::path>)> done) const;
    std::unique_ptr<FileDialog> save_file_dialog(const FileDialogOptions& o,
                                                 std::function<void(std::optional<std::filesystem::path>)> done) const;

    bool valid() const { return w_ && *w_; }
    bool operator==(const WindowContext& o) const { return w_ == o.w_; }

private:
    Window* get() const { return w_ ? *w_ : nullptr; }
    std::shared_ptr<Window*> w_;
};

// ---- the window -------------------------------------------------------------------

class Window {
public:
    Window(WindowConfig config, std::unique_ptr<PageRoot> root);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    std::uint32_t id() const;
    // The handle components and the application use (WindowContext above).
    WindowContext context() const;
    std::string title() const;
    void set_title(const std::string& t);
    void show();
    bool is_visible() const;
    bool is_minimized() const;
    // Iconifies the window (the window manager shows it again).
    void minimize();
    void set_dark_theme(bool dark);
    bool dark_theme() const;
    // Focuses only a visible, not minimised window; true when it did.
    bool focus();
    // Called when the user (or request_close) asks to close the window;
    // false refuses.
    void set_close_request_handler(std::function<bool()> handler);
    // Posts a close request: the close handler decides, later, on the UI loop.
    void request_close();
    // Called once the window has closed (the GTK window is hidden).
    void set_closed_handler(std::function<void()> handler);
    // True once the window was closed (the GTK window is hidden).
    bool closed() const;

    // The root's first render has been sent to the page.
    bool rendered() const;
    PageRoot& root();
    const DesktopService& desktop() const;
    std::uint32_t webview_id() const;
    bool recovering() const;

    // Renders the dirty components and sends their edits (soon, from the
    // event loop).
    void request_poll();
    // Sends one raw edit batch to the page (queued until the page connects);
    // the text form is a JSON array of edits.
    void send_edits(const nlohmann::json& batch);
    void send_edits_text(std::string batch);
    // Edit batches sent to the page and not yet acknowledged as applied.
    int pending_batches() const;
    // Edit batches the page has applied so far.
    std::uint64_t batches_applied() const;

    // How the page's events reached the listeners: through the blocking
    // request, at once from the page-message handler, or later from the event
    // loop.
    struct EventCounts {
        std::uint64_t blocking = 0;
        std::uint64_t immediate = 0;
        std::uint64_t deferred = 0;
    };
    EventCounts event_counts() const;

    // ---- scripts and element queries ------------------------------------------
    using ValueFn = std::function<void(const nlohmann::json&)>;
    using DoneFn = std::function<void(base::Result<nlohmann::json>)>;
    using EndFn = std::function<void(const std::string& why)>;
    // Evaluates `body` as the body of an async function in the page. It is
    // handed send(v) (gives `on_value` a value), recv() (a promise of the next
    // value given to send_to_script) and end() (ends its channel), also as
    // veltrum.send / .recv / .end. Its return value, or the error it throws,
    // goes to `on_done`; when the page is replaced first, `on_done` gets an
    // error.
    // With `on_value` or `on_end` given, the script has a channel that stays
    // open after its body returned, until the script calls end() or throws,
    // the page is replaced, or release_script(); `on_end` is told why it
    // ended (not after release_script). Without them the request ends with
    // the reply.
    std::uint64_t evaluate(const std::string& body, ValueFn on_value = {}, DoneFn on_done = {}, EndFn on_end = {});
    // A value for the script's recv(). Fails while the page is being rebuilt
    // and when the script's channel has ended.
    base::Result<void> send_to_script(std::uint64_t req, const nlohmann::json& value);
    // The host no longer listens: the request is forgotten here and in the
    // page (the script runs on; what it sends is dropped).
    void release_script(std::uint64_t req);
    // Element queries: "rect", "scroll_offset", "scroll_size", "scroll_to",
    // "focus".
    std::uint64_t query_element(std::uint64_t element, const std::string& op,
                                const nlohmann::json& arg, DoneFn on_done);
    // Pending evaluations and queries.
    std::size_t pending_queries() const;

    // ---- menus and dialogs ------------------------------------------------------
    void set_menu_bar(const std::vector<Menu>& menus, std::function<void(const std::string&)> handler);
    // Replaces the items of the submenu of item `id`; the item is enabled only
    // when `items` is not empty.
    void rebuild_submenu(const std::string& id, const std::vector<MenuItem>& items);
    void set_item_enabled(const std::string& id, bool enabled);
    // Activates a menu item as a click would (false when unknown or disabled).
    bool activate_menu_item(const std::string& id);
    bool has_menu_item(const std::string& id) const;

    // Native open/save dialogs; `done` gets the chosen path or nothing.
    std::unique_ptr<FileDialog> open_file_dialog(const FileDialogOptions& o,
                                                 std::function<void(std::optional<std::filesystem::path>)> done);
    std::unique_ptr<FileDialog> save_file_dialog(const FileDialogOptions& o,
                                                 std::function<void(std::optional<std::filesystem::path>)> done);

    // ---- tests and tools ---------------------------------------------------------
    // Kills the page's web content process.
    void terminate_page_process();
    // Writes a PNG of the visible page; `done` gets the result.
    void snapshot_png(const std::filesystem::path& path, std::function<void(base::Result<void>)> done);
    GtkWindow* gtk_window() const;
    WebKitWebView* web_view() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

class FileDialog {
public:
    ~FileDialog();
    // Closes the dialog as if the user cancelled it.
    void cancel();
    bool is_open() const;
    struct Impl;
    explicit FileDialog(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

// ---- files the system asks to open ---------------------------------------------

// The files named on the command line (arguments that do not start with "-")
// and those of a GApplication's "open" signal reach the handler set with
// on_open_files, on the UI loop, oldest first. Files that arrive before a
// handler is set wait for it. queue_open_file may be called from any thread.
void queue_command_line_files(int argc, const char* const* argv);
void connect_open_signal(void* g_application);
void queue_open_file(const std::filesystem::path& p);
void on_open_files(std::function<void(std::vector<std::filesystem::path>)> handler);

}  // namespace webview_host
