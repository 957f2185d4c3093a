// The shell in the real window under Xvfb: the window stays hidden until the
// page is styled (or the time limit passes), the menu bar's Open Recent and
// Help items, and Open Logs Folder running the desktop's opener.
#include <arpa/inet.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include <nlohmann/json.hpp>

#include "api/client.h"
#include "base/log.h"
#include "base/tests/support.h"
#include "menu.h"
#include "reactive/root.h"
#include "shell/reveal.h"
#include "shell/startup.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"

// Last: the X headers define names (None, Status) that others use.
#include <gdk/gdkx.h>
#include <X11/Xutil.h>

namespace shell {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using webview_host::pump_for;
using webview_host::run_until;
using Clock = std::chrono::steady_clock;

webview_host::Window* WINDOW = nullptr;
std::optional<Clock::time_point> REVEAL_STARTED;

// A page that leaves the theme class to the test and starts the reveal.
reactive::Element test_root() {
    auto& started = reactive::use_hook<bool>([] { return false; });
    reactive::use_effect([&started] {
        if (started || !WINDOW) return;
        started = true;
        REVEAL_STARTED = Clock::now();
        reactive::spawn_root(reveal_window_when_styled(*WINDOW));
    });
    return reactive::div().cls("page")("page");
}

// A menu item as the user sees it.
struct Shown {
    std::string text;
    bool enabled;
    GtkWidget* submenu;
    bool operator==(const Shown& o) const { return text == o.text && enabled == o.enabled; }
};

std::vector<Shown> items_of(GtkWidget* shell) {
    std::vector<Shown> out;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(shell));
    for (GList* k = kids; k; k = k->next) {
        auto* w = GTK_WIDGET(k->data);
        if (GTK_IS_SEPARATOR_MENU_ITEM(w)) {
            out.push_back({"-", true, nullptr});
            continue;
        }
        if (!GTK_IS_MENU_ITEM(w)) continue;
        std::string text;
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(w)); child && GTK_IS_LABEL(child))
            text = gtk_label_get_text(GTK_LABEL(child));
        out.push_back({text, gtk_widget_get_sensitive(w) != FALSE, gtk_menu_item_get_submenu(GTK_MENU_ITEM(w))});
    }
    g_list_free(kids);
    return out;
}

GtkWidget* find_menu_bar(GtkWidget* w) {
    if (GTK_IS_MENU_BAR(w)) return w;
    if (!GTK_IS_CONTAINER(w)) return nullptr;
    GtkWidget* found = nullptr;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* k = kids; k && !found; k = k->next) found = find_menu_bar(GTK_WIDGET(k->data));
    g_list_free(kids);
    return found;
}

class ShellWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }

    void open(std::vector<std::string> sheets) {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        assets = test_support::scratch("shell-gui", "assets");
        test_support::spit(assets / std::string(APP_CSS.file()), "body { background: #fafafa; }");
        test_support::spit(assets / "kit.css", "body { margin: 0; }");
        auto config = window_description(page_head("", sheets));
        config.assets = {{"", assets}};
        loop = std::make_unique<webview_host::GtkLoop>();
        REVEAL_STARTED.reset();
        window = std::make_unique<webview_host::Window>(
            config, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return test_root(); }));
        WINDOW = window.get();
        g_signal_connect(window->gtk_window(), "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer d) {
                             *static_cast<std::optional<Clock::time_point>*>(d) = Clock::now();
                             return FALSE;
                         }),
                         &mapped);
        window->set_menu_bar(menu::menu_bar("2026.10.13-1126"), [](const std::string& id) {
            if (id == "help_open_logs") menu::open_logs_folder();
        });
        menu::RECENT_MENU = menu::RecentMenu{window.get(), {}};
        ASSERT_TRUE(run_until([&] { return window->rendered() && window->pending_batches() == 0; }));
    }
    void TearDown() override {
        menu::RECENT_MENU.reset();
        WINDOW = nullptr;
        window.reset();
        loop.reset();
        pump_for(50ms);
    }

    base::Result<json> js(const std::string& body) {
        auto out = std::make_shared<std::optional<base::Result<json>>>();
        window->evaluate(body, {}, [out](base::Result<json> r) { *out = std::move(r); });
        if (!run_until([&] { return out->has_value(); })) return base::fail("no reply");
        return **out;
    }
    bool shown() const { return gtk_widget_get_visible(GTK_WIDGET(window->gtk_window())); }

    std::vector<Shown> menu(const std::string& title) {
        for (auto& top : items_of(find_menu_bar(GTK_WIDGET(window->gtk_window()))))
            if (top.text == title) return items_of(top.submenu);
        return {};
    }
    std::vector<Shown> open_recent() {
        for (auto& it : menu("File"))
            if (it.text == "Open Recent") return it.submenu ? items_of(it.submenu) : std::vector<Shown>{};
        return {};
    }
    bool open_recent_enabled() {
        for (auto& it : menu("File"))
            if (it.text == "Open Recent") return it.enabled;
        return false;
    }

    fs::path assets;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
    std::optional<Clock::time_point> mapped;
};

TEST_F(ShellWindow, ShownOnlyAfterThemeClassAndStylesheets) {
    open({"veltrum://app/assets/kit.css"});
    // Stylesheets loaded, but no theme class yet (a near miss as well).
    ASSERT_TRUE(js("document.body.className = 'app darkish'; return true;"));
    pump_for(400ms);
    auto loaded = js("return [...document.querySelectorAll('link[rel=stylesheet]')].map(l => !!l.sheet);");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, json::parse("[true, true]"));
    EXPECT_FALSE(shown());
    EXPECT_FALSE(mapped.has_value());

    const auto styled_at = Clock::now();
    ASSERT_TRUE(js("document.body.className = 'app light'; return true;"));
    ASSERT_TRUE(run_until([&] { return mapped.has_value(); }, 5s));
    EXPECT_GT(*mapped, styled_at);
    EXPECT_TRUE(shown());
    std::printf("shown %lld ms after the theme class\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(*mapped - styled_at).count()));

    // The window as the user sees it.
    fs::create_directories(VELTRUM_ARTIFACT_DIR);
    std::optional<base::Result<void>> shot;
    window->snapshot_png(fs::path(VELTRUM_ARTIFACT_DIR) / "shell-reveal.png", [&](base::Result<void> r) { shot = r; });
    ASSERT_TRUE(run_until([&] { return shot.has_value(); }));
    EXPECT_TRUE(*shot) << shot->error();
}

TEST_F(ShellWindow, StylesheetThatNeverLoadsShowsAfterTheLimit) {
    // A loopback server that takes the connection and never answers.
    const int srv = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(srv, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(srv, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(srv, reinterpret_cast<sockaddr*>(&addr), &len);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{srv};
    open({"veltrum://app/assets/kit.css"});
    // Added after the page loaded (one in the head would hold the page's
    // scripts back as well).
    ASSERT_TRUE(js(fmt::format("const l = document.createElement('link'); l.rel = 'stylesheet';"
                               "l.href = 'http://127.0.0.1:{}/never.css'; document.head.appendChild(l);"
                               "document.body.className = 'app dark'; return true;",
                               ntohs(addr.sin_port))));
    ASSERT_TRUE(REVEAL_STARTED.has_value());
    run_until([&] { return Clock::now() - *REVEAL_STARTED > 1000ms; }, 5s);
    EXPECT_FALSE(shown());
    ASSERT_TRUE(run_until([&] { return mapped.has_value(); }, 5s));
    const auto waited = *mapped - *REVEAL_STARTED;
    EXPECT_GE(waited, REVEAL_LIMIT);
    std::printf("shown %lld ms after the reveal started\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
}

TEST_F(ShellWindow, MenuBarAndOpenRecent) {
    open({});
    std::vector<std::string> tops;
    for (auto& t : items_of(find_menu_bar(GTK_WIDGET(window->gtk_window())))) tops.push_back(t.text);
    EXPECT_EQ(tops, (std::vector<std::string>{"Veltrum", "File", "Edit", "Help"}));
    EXPECT_EQ(menu("Veltrum"), (std::vector<Shown>{{"Hide Veltrum", true, nullptr},
                                                    {"-", true, nullptr},
                                                    {"Quit Veltrum", true, nullptr}}));
    EXPECT_EQ(menu("File"), (std::vector<Shown>{{"New Project", true, nullptr},
                                                 {"Open...", true, nullptr},
                                                 {"Open Recent", false, nullptr},
                                                 {"-", true, nullptr},
                                                 {"Save", true, nullptr},
                                                 {"Save As...", true, nullptr}}));
    EXPECT_EQ(menu("Edit"), (std::vector<Shown>{{"Undo", true, nullptr},
                                                 {"Redo", true, nullptr},
                                                 {"-", true, nullptr},
                                                 {"Cut", true, nullptr},
                                                 {"Copy", true, nullptr},
                                                 {"Paste", true, nullptr},
                                                 {"Select All", true, nullptr}}));
    // The version is shown greyed out and cannot be chosen.
    EXPECT_EQ(menu("Help"), (std::vector<Shown>{{"Open Logs Folder", true, nullptr},
                                                 {"Check for Updates...", true, nullptr},
                                                 {"-", true, nullptr},
                                                 {"Version 2026.10.13-1126", false, nullptr}}));
    EXPECT_FALSE(window->activate_menu_item(std::string(menu::VERSION_ID)));

    // Empty list: disabled and empty.
    menu::update_recent_menu({});
    EXPECT_FALSE(open_recent_enabled());
    EXPECT_TRUE(open_recent().empty());

    // Seven entries: the first five, paths shown as they are.
    const std::vector<fs::path> seven = {"/shows/a&b.vtproject", "/shows/under_score.vtproject", "/shows/c\xff.vtproject",
                                         "/shows/d.vtproject",   "/shows/e.vtproject",            "/shows/f.vtproject",
                                         "/shows/g.vtproject"};
    menu::update_recent_menu(seven);
    EXPECT_TRUE(open_recent_enabled());
    std::vector<Shown> want;
    for (int i = 0; i < 5; ++i) want.push_back({seven[static_cast<std::size_t>(i)].string(), true, nullptr});
    want[2].text = "/shows/c\uFFFD.vtproject";  // bytes that are not UTF-8
    EXPECT_EQ(open_recent(), want);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(window->has_menu_item(fmt::format("recent_{}", i)));
    EXPECT_FALSE(window->has_menu_item("recent_5"));

    // A project added later replaces every item; the newest is recent_0.
    std::vector<std::string> chosen;
    window->set_menu_bar(menu::menu_bar("2026.10.13-1126"), [&](const std::string& id) { chosen.push_back(id); });
    menu::update_recent_menu({"/shows/new.vtproject", "/shows/a&b.vtproject"});
    EXPECT_EQ(open_recent(), (std::vector<Shown>{{"/shows/new.vtproject", true, nullptr},
                                                 {"/shows/a&b.vtproject", true, nullptr}}));
    EXPECT_TRUE(window->activate_menu_item("recent_0"));
    EXPECT_EQ(chosen, (std::vector<std::string>{"recent_0"}));
    EXPECT_FALSE(window->has_menu_item("recent_2"));

    // Another thread has no menu bar: nothing happens there.
    std::thread([] { menu::update_recent_menu({"/x.vtproject"}); }).join();
    EXPECT_EQ(open_recent().size(), 2u);
}

// Iconify requests (ICCCM WM_CHANGE_STATE to IconicState) that windows send
// to the window manager, seen on the root window.
struct IconifyRequests {
    Atom change_state = 0;
    std::vector<unsigned long> windows;

    IconifyRequests() {
        GdkWindow* root = gdk_get_default_root_window();
        change_state = gdk_x11_get_xatom_by_name_for_display(gdk_display_get_default(), "WM_CHANGE_STATE");
        gdk_window_set_events(root, GdkEventMask(gdk_window_get_events(root) | GDK_SUBSTRUCTURE_MASK));
        // The message names the window it is about: a filter of every window.
        gdk_window_add_filter(nullptr, &IconifyRequests::filter, this);
    }
    ~IconifyRequests() { gdk_window_remove_filter(nullptr, &IconifyRequests::filter, this); }

    static GdkFilterReturn filter(GdkXEvent* xev, GdkEvent*, gpointer data) {
        auto* self = static_cast<IconifyRequests*>(data);
        const auto* e = static_cast<const XEvent*>(xev);
        if (e->type == ClientMessage && e->xclient.message_type == self->change_state &&
            e->xclient.data.l[0] == IconicState)
            self->windows.push_back(e->xclient.window);
        return GDK_FILTER_CONTINUE;
    }
};

TEST_F(ShellWindow, HideIconifiesTheWindow) {
    open({});
    window->show();
    ASSERT_TRUE(run_until([&] { return mapped.has_value(); }, 5s));
    const unsigned long xid = GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
    IconifyRequests requests;
    EXPECT_TRUE(window->has_menu_item("app_hide"));
    ASSERT_TRUE(window->activate_menu_item("app_hide"));
    // The window asks the window manager to iconify it (under Xvfb there is
    // none to carry it out).
    ASSERT_TRUE(run_until([&] { return !requests.windows.empty(); }, 5s));
    EXPECT_EQ(requests.windows, std::vector<unsigned long>{xid});
}

// The mean brightness (0..255) of the window's menu bar as drawn on screen.
double menu_bar_brightness(webview_host::Window& w, const fs::path& png) {
    GtkWidget* bar = find_menu_bar(GTK_WIDGET(w.gtk_window()));
    if (!bar) return -1;
    GtkAllocation a;
    gtk_widget_get_allocation(bar, &a);
    GdkWindow* top = gtk_widget_get_window(GTK_WIDGET(w.gtk_window()));
    GdkPixbuf* whole = gdk_pixbuf_get_from_window(top, 0, 0, gdk_window_get_width(top), std::min(200, gdk_window_get_height(top)));
    if (!whole) return -1;
    gdk_pixbuf_save(whole, png.c_str(), "png", nullptr, nullptr);
    GdkPixbuf* shot = gdk_pixbuf_new_subpixbuf(whole, a.x, a.y, a.width, a.height);
    const int n = gdk_pixbuf_get_n_channels(shot), stride = gdk_pixbuf_get_rowstride(shot);
    const guchar* px = gdk_pixbuf_get_pixels(shot);
    double sum = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const guchar* p = px + y * stride + x * n;
            sum += (p[0] + p[1] + p[2]) / 3.0;
        }
    g_object_unref(shot);
    g_object_unref(whole);
    return sum / (static_cast<double>(a.width) * a.height);
}

TEST_F(ShellWindow, MenuBarFollowsTheDarkSetting) {
    open({});
    window->show();
    ASSERT_TRUE(run_until([&] { return mapped.has_value(); }, 5s));
    fs::create_directories(VELTRUM_ARTIFACT_DIR);
    const fs::path dir = VELTRUM_ARTIFACT_DIR;
    window->context().set_dark_theme(false);
    pump_for(300ms);
    const double light = menu_bar_brightness(*window, dir / "shell-menu-bar-light.png");
    window->context().set_dark_theme(true);
    EXPECT_TRUE(window->dark_theme());
    pump_for(300ms);
    const double dark = menu_bar_brightness(*window, dir / "shell-menu-bar-dark.png");
    std::printf("menu bar brightness: light %.0f, dark %.0f\n", light, dark);
    EXPECT_GT(light, 150);
    EXPECT_LT(dark, 110);
    // And back when the setting changes again.
    window->context().set_dark_theme(false);
    pump_for(300ms);
    EXPECT_GT(menu_bar_brightness(*window, dir / "shell-menu-bar-light-again.png"), 150);
}

TEST_F(ShellWindow, OpenLogsFolderRunsTheOpener) {
    open({});
    const fs::path scratch = test_support::scratch("shell-gui", "opener");
    const fs::path bin = scratch / "bin";
    fs::create_directories(bin);
    const fs::path record = scratch / "argument.txt";
    test_support::spit(bin / "xdg-open", fmt::format("#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '{}'\n", record.string()));
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    test_support::Env data("XDG_DATA_HOME", (scratch / "data").c_str());
    const std::string path = bin.string() + ":" + std::getenv("PATH");
    test_support::Env env_path("PATH", path.c_str());

    ASSERT_TRUE(window->activate_menu_item("help_open_logs"));
    ASSERT_TRUE(run_until([&] { return fs::exists(record) && !test_support::slurp(record).empty(); }, 10s));
    const auto logs = *api::client::Product::config_dir("veltrum") / "logs";
    EXPECT_EQ(test_support::slurp(record), "1|" + logs.string());

    // No opener at all: an ERROR, and the program runs on.
    base::log::Capture cap;
    test_support::Env bare("PATH", bin.parent_path().c_str());
    fs::remove(bin / "xdg-open");
    menu::open_logs_folder();
    ASSERT_TRUE(run_until([&] { return !cap.records().empty(); }, 10s));
    auto recs = cap.records();
    EXPECT_EQ(recs[0].level, base::log::Level::Error);
    EXPECT_EQ(recs[0].target, "Veltrum");
    EXPECT_TRUE(recs[0].message.starts_with("failed to open logs folder: No such file or directory")) << recs[0].message;
}

TEST_F(ShellWindow, FilesToOpenQueuedUntilTheWindowIsReady) {
    open({});
    auto pending = [] {
        std::lock_guard lk(PENDING_OPEN_PATHS_MU);
        return PENDING_OPEN_PATHS;
    };
    {
        std::lock_guard lk(PENDING_OPEN_PATHS_MU);
        PENDING_OPEN_PATHS.clear();
    }
    MAIN_WINDOW_READY = false;
    webview_host::on_open_files([](std::vector<fs::path> files) { queue_opened_paths(files); });
    const char* argv[] = {"veltrum", "/shows/one.vtproject", "-x"};
    webview_host::queue_command_line_files(3, argv);
    webview_host::queue_open_file("/shows/two.vtproject");
    ASSERT_TRUE(run_until([&] { return pending().size() == 2; }, 5s));
    EXPECT_EQ(pending(), (std::vector<fs::path>{"/shows/one.vtproject", "/shows/two.vtproject"}));

    MAIN_WINDOW_READY.store(true, std::memory_order_release);
    webview_host::queue_open_file("/shows/late.vtproject");
    pump_for(200ms);
    EXPECT_EQ(pending().size(), 2u);
    MAIN_WINDOW_READY = false;
    std::lock_guard lk(PENDING_OPEN_PATHS_MU);
    PENDING_OPEN_PATHS.clear();
}

}  // namespace
}  // namespace shell
