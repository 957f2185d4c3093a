// The runtime in a real web view under Xvfb: rendering, events (blocking and
// per-frame), page errors, crash recovery, menus, dialogs and a screenshot.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <fstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/log.h"
#include <nlohmann/json.hpp>

#include "raw_root.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/window.h"
#include "webview-host/tests/wait.h"

namespace webview_host {
namespace {

using nlohmann::json;
using testing::CounterRoot;
using namespace std::chrono_literals;

// Settings kept in memory: no desktop settings service under Xvfb.
const bool SETTINGS_IN_MEMORY = [] { return setenv("GSETTINGS_BACKEND", "memory", 0) == 0; }();

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
        auto r = std::make_unique<CounterRoot>();
        root = r.get();
        root->install_scripts = [this](std::uint32_t g) {
            installs.push_back(g);
            // A component's page script: one document listener per page.
            if (window)
                window->evaluate("window.__installed = (window.__installed || 0) + 1; return window.__installed;");
            else
                pending_install = true;
        };
        WindowConfig c;
        c.title = "Runtime test";
        c.width = 640;
        c.height = 400;
        c.min_width = 320;
        c.min_height = 200;
        c.head = "<style>body{font-family:sans-serif;margin:8px}</style>\n";
        window = std::make_unique<Window>(c, std::move(r));
        // Away from the corner where other tests' windows open.
        gtk_window_move(window->gtk_window(), 420, 260);
        ASSERT_TRUE(run_until([&] { return window->rendered(); })) << "page never initialised";
        if (pending_install) window->evaluate("window.__installed = (window.__installed || 0) + 1;");
        ASSERT_TRUE(run_until([&] { return window->pending_batches() == 0 && window->is_visible(); }));
    }

    void TearDown() override {
        window.reset();
        pump_for(50ms);
    }

    base::Result<json> eval(const std::string& body) {
        return webview_host::testing::evaluate_and_wait(*window, body);
    }

    std::string page_text() {
        auto r = eval("return document.getElementById('count') ? document.getElementById('count').textContent : '';");
        return r && r->is_string() ? r->get<std::string>() : std::string("<none>");
    }

    CounterRoot* root = nullptr;
    std::unique_ptr<Window> window;
    std::vector<std::uint32_t> installs;
    bool pending_install = false;
};

TEST_F(WindowTest, WindowQueriesAndCloseRequest) {
    WindowContext ctx = window->context();
    EXPECT_EQ(ctx.title(), "Runtime test");
    ctx.set_title("Renamed");
    EXPECT_EQ(window->title(), "Renamed");
    EXPECT_TRUE(ctx.is_visible());
    EXPECT_FALSE(ctx.is_minimized());
    EXPECT_TRUE(ctx.focus());
    int asked = 0;
    int closed_calls = 0;
    window->set_close_request_handler([&] { return ++asked > 2; });
    window->set_closed_handler([&] { ++closed_calls; });
    // A posted request (the Quit item's road) reaches the handler later, on the loop.
    ctx.request_close();
    EXPECT_EQ(asked, 0);
    ASSERT_TRUE(run_until([&] { return asked == 1; }));
    EXPECT_FALSE(window->closed());  // refused
    GdkEvent* ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window->gtk_window()))));
    gtk_main_do_event(ev);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(window->closed());  // refused
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(window->closed());
    EXPECT_EQ(closed_calls, 1);
    EXPECT_FALSE(ctx.is_visible());
    EXPECT_FALSE(ctx.focus());  // a hidden window is not popped up
    EXPECT_FALSE(window->is_visible());
    window.reset();
    EXPECT_FALSE(ctx.valid());  // the handle outlives the window harmlessly
    EXPECT_EQ(ctx.title(), "");
    ctx.request_close();
}

TEST_F(WindowTest, RealClickReachesHandlerAndPageShowsNewText) {
    EXPECT_EQ(page_text(), "Count: 0");
    auto rect = [&] {
        std::optional<base::Result<json>> out;
        auto el = 3;  // the button
        window->query_element(el, "rect", nullptr, [&](base::Result<json> r) { out = std::move(r); });
        run_until([&] { return out.has_value(); });
        return out.value_or(base::fail("no reply"));
    }();
    ASSERT_TRUE(rect) << rect.error();
    const auto [x, y] = testing::screen_point(*window, (*rect)["x"].get<double>() + (*rect)["width"].get<double>() / 2,
                                              (*rect)["y"].get<double>() + (*rect)["height"].get<double>() / 2);
    auto blocking_before = window->event_counts().blocking;
    std::string cmd = fmt::format("xdotool mousemove {} {} click 1", x, y);
    gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
    pump_for(std::chrono::milliseconds(50));
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(run_until([&] { return root->count == 1; })) << "click never reached the handler";
    EXPECT_GT(window->event_counts().blocking, blocking_before);
    EXPECT_TRUE(run_until([&] { return page_text() == "Count: 1"; }));
    // A DOM click from a script takes the same road.
    ASSERT_TRUE(eval("document.getElementById('add').click(); return true;"));
    EXPECT_EQ(root->count, 2);
    EXPECT_TRUE(run_until([&] { return page_text() == "Count: 2"; }));
}

TEST_F(WindowTest, HostDecidesPreventDefaultOnBlockingEventsOnly) {
    auto c0 = window->event_counts();
    auto r = eval(R"(
        const fire = (id, ev) => { document.getElementById(id).dispatchEvent(ev); return ev.defaultPrevented; };
        const mk = (t) => new MouseEvent(t, { bubbles: true, cancelable: true, clientX: 5, clientY: 6 });
        return {
          click: fire("link", mk("click")),
          mousemove: fire("box", mk("mousemove")),
          pointermove: fire("box", new PointerEvent("pointermove", { bubbles: true, cancelable: true })),
          wheel: fire("box", new WheelEvent("wheel", { bubbles: true, cancelable: true, deltaY: 3 })),
          hash: location.hash,
        };)");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ((*r)["click"], true);        // the host prevented the link
    EXPECT_EQ((*r)["hash"], "");           // and it was not followed
    EXPECT_EQ((*r)["mousemove"], false);   // per-frame: no answer to wait for
    EXPECT_EQ((*r)["pointermove"], true);  // not per-frame: blocking path
    EXPECT_EQ((*r)["wheel"], true);
    auto c1 = window->event_counts();
    EXPECT_EQ(c1.blocking - c0.blocking, 3u);  // click, pointermove, wheel
    ASSERT_TRUE(run_until([&] { return window->event_counts().immediate > c0.immediate; }));
    // The per-frame events' records.
    ASSERT_TRUE(eval(R"(
        const b = document.getElementById("box");
        b.scrollTop = 50;
        b.style.width = "260px";
        return true;)"));
    ASSERT_TRUE(run_until([&] {
        bool scroll = false, resize = false;
        for (auto& e : root->events) {
            scroll |= e.type == "scroll" && e.id == 7;
            resize |= e.type == "resize" && e.id == 7;
        }
        return scroll && resize;
    }));
    auto c2 = window->event_counts();
    EXPECT_EQ(c2.blocking, c1.blocking);  // scroll and resize never used the blocking path
    bool saw_move = false;
    for (auto& e : root->events)
        if (e.type == "mousemove") {
            saw_move = true;
            EXPECT_EQ(e.data["client_x"], 5);
            EXPECT_EQ(e.data["client_y"], 6);
        }
    EXPECT_TRUE(saw_move);
}

TEST_F(WindowTest, PageErrorsAreLoggedWithCaps) {
    base::log::Capture cap;
    ASSERT_TRUE(eval(R"(
        for (let i = 0; i < 5; ++i) setTimeout(() => { throw new Error("boom"); }, 0);
        setTimeout(() => { Promise.reject("plain reason"); }, 0);
        return true;)"));
    auto lines = [&] { return cap.with_message("javascript error in a window"); };
    ASSERT_TRUE(run_until([&] { return lines().size() >= 4; }));
    pump_for(300ms);
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    int booms = 0;
    for (auto& rec : l) {
        EXPECT_EQ(rec.level, base::log::Level::Warn);
        auto e = json::parse(rec.field("error"));
        if (e["at"] == "promise") {
            EXPECT_EQ(rec.field("error"), R"({"at":"promise","msg":"plain reason ","repeat":1})");
        } else {
            ++booms;
            EXPECT_EQ(e["msg"], "Error: boom");
            EXPECT_EQ(e["repeat"], booms);
            EXPECT_TRUE(e["at"].get<std::string>().starts_with("veltrum://app/index.html:")) << e["at"];
        }
    }
    EXPECT_EQ(booms, 3);
}

TEST_F(WindowTest, CrashRecoveryReattachesWithStateAndNewGeneration) {
    ASSERT_TRUE(eval("document.getElementById('add').click(); return true;"));
    ASSERT_EQ(root->count, 1);
    ASSERT_EQ(installs, (std::vector<std::uint32_t>{0}));
    for (std::uint32_t gen = 1; gen <= 2; ++gen) {
        base::log::Capture cap;
        auto old_id = window->webview_id();
        window->terminate_page_process();
        ASSERT_TRUE(run_until([&] { return window->recovering(); }));
        EXPECT_NE(window->webview_id(), old_id);
        // An evaluation started while recovering never reaches a page and
        // fails when the page is replaced.
        std::optional<base::Result<json>> pending;
        window->evaluate("return 1;", {}, [&](base::Result<json> r) { pending = std::move(r); });
        ASSERT_TRUE(run_until([&] { return !window->recovering(); }));
        ASSERT_TRUE(pending.has_value());
        EXPECT_FALSE(*pending);
        EXPECT_EQ(window->desktop().page_generation, gen);
        EXPECT_TRUE(run_until([&] { return page_text() == "Count: 1"; }));
        auto died = cap.with_message("webview recovery: 'Runtime test' web content process died, reloading");
        EXPECT_EQ(died.size(), 1u);
        std::vector<base::log::Record> reattached;
        for (auto& r : cap.records())
            if (r.message.starts_with("webview recovery: 'Runtime test' re-attached ")) reattached.push_back(r);
        ASSERT_EQ(reattached.size(), 1u);
        EXPECT_TRUE(reattached[0].message.ends_with(fmt::format("ms after the crash (page generation {})", gen)));
        EXPECT_EQ(cap.records().size(), 2u);
        EXPECT_EQ(installs.back(), gen);
        auto inst = eval("return window.__installed || 0;");
        ASSERT_TRUE(inst);
        EXPECT_EQ(*inst, 1);  // installed again in the new page, once
    }
    // The tree works after the re-attach.
    ASSERT_TRUE(eval("document.getElementById('add').click(); return true;"));
    EXPECT_EQ(root->count, 2);
    EXPECT_TRUE(run_until([&] { return page_text() == "Count: 2"; }));
}

TEST_F(WindowTest, NavigationToOwnPagesIsRefusedUntilACrash) {
    ASSERT_TRUE(eval("window.__marker = 7; location.href = 'veltrum://app/index.html'; return true;"));
    pump_for(300ms);
    auto m = eval("return window.__marker || 0;");
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, 7);  // still the same page
}

TEST_F(WindowTest, TwoCrashesBeforeInitializeGiveOneReattach) {
    base::log::Capture cap;
    window->terminate_page_process();
    ASSERT_TRUE(run_until([&] { return window->recovering(); }));
    // Kill the reloading page too, before it initialises.
    window->terminate_page_process();
    ASSERT_TRUE(run_until([&] { return cap.with_message("webview recovery: 'Runtime test' web content process died, reloading").size() == 2; }));
    ASSERT_TRUE(run_until([&] { return !window->recovering(); }));
    EXPECT_EQ(window->desktop().page_generation, 1u);
    EXPECT_TRUE(run_until([&] { return page_text() == "Count: 0"; }));
    int reattached = 0;
    for (auto& r : cap.records()) {
        EXPECT_NE(r.level, base::log::Level::Error) << r.message;
        if (r.message.starts_with("webview recovery: 'Runtime test' re-attached ")) ++reattached;
    }
    EXPECT_EQ(reattached, 1);
}

TEST(WindowRecovery, RootThatKeepsItsTreeLeavesTheWindowBlank) {
    if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
    auto r = std::make_unique<CounterRoot>();
    r->reads_generation = false;
    r->renders_placeholder = false;
    WindowConfig c;
    c.title = "Blank";
    c.visible = false;
    Window w(c, std::move(r));
    ASSERT_TRUE(run_until([&] { return w.rendered(); }));
    base::log::Capture cap;
    w.terminate_page_process();
    const char* blank = "webview recovery: 'Blank' root did not render reactive::Element() while recovering; "
                        "window left blank";
    ASSERT_TRUE(run_until([&] { return !cap.with_message(blank).empty(); }));
    auto recs = cap.records();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].level, base::log::Level::Warn);
    EXPECT_EQ(recs[0].target, "veltrum::webview_host::webview");
    EXPECT_EQ(recs[0].message,
              "webview recovery: 'Blank' root never called use_page_generation(); its page JS won't re-run and it "
              "may not render reactive::Element() while recovering");
    EXPECT_EQ(recs[1].level, base::log::Level::Info);
    EXPECT_EQ(recs[1].message, "webview recovery: 'Blank' web content process died, reloading");
    EXPECT_EQ(recs[2].level, base::log::Level::Error);
    EXPECT_TRUE(w.recovering());  // stays in recovery
    EXPECT_EQ(w.desktop().page_generation, 0u);
    // Its scripts are not evaluated.
    bool done = false;
    w.evaluate("return 1;", {}, [&](base::Result<json>) { done = true; });
    pump_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done);
    EXPECT_EQ(w.pending_queries(), 1u);
}

TEST_F(WindowTest, ScriptChannelsAndQueries) {
    // A channel stays open after the body returned; end() closes it.
    std::vector<json> got;
    std::optional<base::Result<json>> done;
    std::optional<std::string> ended;
    auto req = window->evaluate(R"(
        send("ready");
        recv().then((v) => { veltrum.send(v * 2); setTimeout(() => { send("late"); end(); send("dropped"); }, 20); });
        return "installed";)",
                                [&](const json& v) { got.push_back(v); },
                                [&](base::Result<json> r) { done = std::move(r); },
                                [&](const std::string& why) { ended = why; });
    ASSERT_TRUE(run_until([&] { return done.has_value(); }));
    EXPECT_EQ(**done, "installed");
    ASSERT_TRUE(window->send_to_script(req, 21));
    ASSERT_TRUE(run_until([&] { return ended.has_value(); }));
    EXPECT_EQ(*ended, "the script ended its channel");
    pump_for(50ms);
    EXPECT_EQ(got, (std::vector<json>{"ready", 42, "late"}));
    EXPECT_FALSE(window->send_to_script(req, 1));  // the channel has ended

    // A script that throws ends its channel with the error.
    std::optional<std::string> thrown_end;
    window->evaluate("send(1); throw new Error('bad');", [](const json&) {}, {},
                     [&](const std::string& why) { thrown_end = why; });
    ASSERT_TRUE(run_until([&] { return thrown_end.has_value(); }));
    EXPECT_EQ(*thrown_end, "bad");

    // A released channel is forgotten here and in the page.
    int after_release = 0;
    auto kept = window->evaluate("window.__chan = send; return 1;", [&](const json&) { ++after_release; });
    ASSERT_TRUE(eval("return 1;"));  // the script above has run
    EXPECT_EQ(window->pending_queries(), 1u);
    window->release_script(kept);
    EXPECT_EQ(window->pending_queries(), 0u);
    ASSERT_TRUE(eval("window.__chan('ignored'); return 1;"));
    pump_for(50ms);
    EXPECT_EQ(after_release, 0);

    auto thrown = eval("throw new Error('nope');");
    ASSERT_FALSE(thrown);
    EXPECT_EQ(thrown.error(), "nope");
    auto syntax = eval("return (;");
    EXPECT_FALSE(syntax);
    EXPECT_EQ(window->pending_queries(), 0u);

    std::optional<base::Result<json>> q;
    window->query_element(12345, "rect", nullptr, [&](base::Result<json> r) { q = std::move(r); });
    ASSERT_TRUE(run_until([&] { return q.has_value(); }));
    EXPECT_FALSE(*q);
    q.reset();
    window->query_element(7, "scroll_size", nullptr, [&](base::Result<json> r) { q = std::move(r); });
    ASSERT_TRUE(run_until([&] { return q.has_value(); }));
    ASSERT_TRUE(*q);
    EXPECT_EQ((**q)["height"], 400);
}

TEST_F(WindowTest, MenusReachTheHandler) {
    std::vector<std::string> hits;
    MenuItem open{.id = "open", .label = "_Open…", .accel = "<Primary>o"};
    MenuItem recent{.id = "open_recent", .label = "Open _Recent", .enabled = false};
    MenuItem quit{.id = "quit", .label = "_Quit", .accel = "<Primary>q"};
    MenuItem off{.id = "export", .label = "_Export", .enabled = false};
    MenuItem copy{.id = "copy", .label = "_Copy", .accel = "<Primary>c", .standard = StandardItem::Copy};
    window->set_menu_bar({{"_File", {open, recent, off, MenuItem::sep(), quit}}, {"_Edit", {copy}}},
                         [&](const std::string& id) { hits.push_back(id); });
    EXPECT_TRUE(window->activate_menu_item("open"));
    EXPECT_FALSE(window->activate_menu_item("export"));  // disabled
    EXPECT_FALSE(window->activate_menu_item("missing"));
    EXPECT_TRUE(window->activate_menu_item("copy"));     // runs the web view's command, not the handler
    EXPECT_EQ(hits, (std::vector<std::string>{"open"}));

    window->rebuild_submenu("open_recent", {{.id = "recent_0", .label = "/tmp/a_b.veltrum", .literal = true},
                                            {.id = "recent_1", .label = "/tmp/b.veltrum"}});
    EXPECT_TRUE(window->activate_menu_item("recent_1"));
    // The submenu is enabled again.
    window->set_item_enabled("open_recent", true);
    window->rebuild_submenu("open_recent", {{.id = "recent_0", .label = "/tmp/c.veltrum"}});
    EXPECT_FALSE(window->has_menu_item("recent_1"));
    EXPECT_TRUE(window->activate_menu_item("recent_0"));
    EXPECT_EQ(hits, (std::vector<std::string>{"open", "recent_1", "recent_0"}));
    window->rebuild_submenu("open_recent", {});
    EXPECT_FALSE(window->has_menu_item("recent_0"));
}

TEST_F(WindowTest, FileDialogOpensAndCancels) {
    int calls = 0;
    std::optional<std::filesystem::path> chosen = "/unset";
    FileDialogOptions o{.title = "Open Project", .suggested_name = "", .folder = "/tmp",
                        .filter = FileFilter{"Project", {"*.veltrum"}}};
    auto d = window->open_file_dialog(o, [&](std::optional<std::filesystem::path> p) {
        ++calls;
        chosen = p;
    });
    pump_for(300ms);
    EXPECT_TRUE(d->is_open());
    d->cancel();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(chosen.has_value());
    auto s = window->save_file_dialog({.title = "Save Project", .suggested_name = "show.veltrum", .folder = "/tmp"},
                                      [&](std::optional<std::filesystem::path>) { ++calls; });
    pump_for(200ms);
    s->cancel();
    EXPECT_EQ(calls, 2);
}

TEST_F(WindowTest, Screenshot) {
    std::filesystem::path dir = VELTRUM_ARTIFACT_DIR;
    std::filesystem::create_directories(dir);
    auto path = dir / "webview_window.png";
    std::filesystem::remove(path);
    std::optional<base::Result<void>> r;
    window->snapshot_png(path, [&](base::Result<void> x) { r = std::move(x); });
    ASSERT_TRUE(run_until([&] { return r.has_value(); }));
    ASSERT_TRUE(*r) << r->error();
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
}

TEST(OpenFiles, CommandLineAndSystemRequestsReachTheHandler) {
    if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
    std::vector<std::filesystem::path> got;
    const char* argv[] = {"veltrum", "--flag", "/tmp/a.veltrum", "b.veltrum"};
    queue_command_line_files(4, argv);  // before any handler: they wait
    std::thread([] { queue_open_file("/tmp/c.veltrum"); }).join();
    pump_for(20ms);
    on_open_files([&](std::vector<std::filesystem::path> f) { got.insert(got.end(), f.begin(), f.end()); });
    ASSERT_TRUE(run_until([&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<std::filesystem::path>{"/tmp/a.veltrum", "b.veltrum", "/tmp/c.veltrum"}));
    got.clear();

    // Files the system asks the application to open.
    GApplication* app = g_application_new("org.example.veltrum-test",
                                          GApplicationFlags(G_APPLICATION_HANDLES_OPEN | G_APPLICATION_NON_UNIQUE));
    connect_open_signal(app);
    ASSERT_TRUE(g_application_register(app, nullptr, nullptr));
    GFile* files[] = {g_file_new_for_path("/tmp/d.veltrum"), g_file_new_for_path("/tmp/e f.veltrum")};
    g_application_open(app, files, 2, "");
    for (auto* file : files) g_object_unref(file);
    g_object_unref(app);
    ASSERT_TRUE(run_until([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<std::filesystem::path>{"/tmp/d.veltrum", "/tmp/e f.veltrum"}));
    on_open_files(nullptr);
}

TEST(WindowScripts, CheckedScriptQueuedBeforeThePageConnectsReportsItsError) {
    if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
    WindowConfig c;
    c.title = "Early";
    c.visible = false;
    Window w(c, std::make_unique<CounterRoot>());
    ASSERT_FALSE(w.rendered());
    std::optional<base::Result<json>> out;
    w.evaluate("return (;", {}, [&](base::Result<json> r) { out = std::move(r); });
    ASSERT_TRUE(run_until([&] { return out.has_value(); }));
    EXPECT_FALSE(*out);
    EXPECT_EQ(w.pending_queries(), 0u);
}

}  // namespace
}  // namespace webview_host

namespace webview_host {
namespace {

TEST_F(WindowTest, PerFrameEventNeverDispatchedInsideAListener) {
    // A posted mousemove whose listener runs a nested main loop (as a modal
    // dialog would); the page goes on meanwhile, and a mousemove and a
    // scroll posted then must wait or be dropped.
    bool nested_done = false;
    bool held = false;
    root->during_dispatch = [&](const EventRecord& ev) {
        if (ev.id == 7 && ev.type == "mousemove" && !held) {
            held = true;
            pump_for(std::chrono::milliseconds(400));
            nested_done = true;
        }
    };
    ASSERT_TRUE(eval(R"(
        const box = document.getElementById("box");
        box.dispatchEvent(new MouseEvent("mousemove", { bubbles: true, clientX: 1, clientY: 2 }));
        setTimeout(() => {
            box.dispatchEvent(new MouseEvent("mousemove", { bubbles: true, clientX: 3, clientY: 4 }));
            box.scrollTop = 40;
        }, 50);
        return true;)"));
    ASSERT_TRUE(run_until([&] { return nested_done; }));
    pump_for(std::chrono::milliseconds(200));
    EXPECT_EQ(root->max_depth, 1);  // no dispatch ever ran inside another
}

TEST_F(WindowTest, ClicksAndKeysDuringAListenersModalLoopAreAllDelivered) {
    // A click whose listener runs a nested main loop, as a modal dialog
    // does. Real clicks and keys given meanwhile wait in the page for the
    // listener and arrive, in order, after it returned: none is lost, none
    // runs inside it.
    auto add = testing::element_point(*window, "#add");
    auto modal = testing::element_point(*window, "#async");
    ASSERT_TRUE(add && modal);
    bool nested_done = false;
    int held = 0;
    root->during_dispatch = [&](const EventRecord& ev) {
        if (ev.id == 8 && ev.type == "click" && held++ == 0) {
            // Inside the loop: the user presses two keys and clicks Add.
            auto cmd = fmt::format("xdotool key --delay 60 a b mousemove {} {} click 1", add->first, add->second);
            EXPECT_EQ(std::system(cmd.c_str()), 0);
            pump_for(std::chrono::milliseconds(500));
            nested_done = true;
        }
    };
    ASSERT_TRUE(testing::send_x_input(*window, fmt::format("mousemove {} {} click 1", modal->first, modal->second),
                                      std::chrono::milliseconds(0)));
    ASSERT_TRUE(run_until([&] { return nested_done; })) << "the click never reached its listener";
    auto keys = [&] {
        std::vector<std::string> k;
        for (auto& e : root->events)
            if (e.type == "keydown") k.push_back(e.data.value("key", std::string()));
        return k;
    };
    ASSERT_TRUE(run_until([&] { return root->count == 1 && keys().size() == 2; }))
        << "count " << root->count << ", keys " << keys().size();
    EXPECT_EQ(keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(root->max_depth, 1);  // each waited for the modal listener
    EXPECT_TRUE(run_until([&] { return page_text() == "Count: 1"; }));
}

TEST_F(WindowTest, UnreadablePageMessages) {
    base::log::Capture cap;
    ASSERT_TRUE(eval(R"(
        window.__veltrum_post("not json");
        window.__veltrum_post(JSON.stringify({ method: "js_error" }));
        window.__veltrum_post(JSON.stringify({ method: "JS_error", params: 1 }));
        window.__veltrum_post(JSON.stringify({ method: "js_error", params: 5 }));
        window.__veltrum_post(JSON.stringify({ method: "user_event", params: { bad: true } }));
        return true;)"));
    ASSERT_TRUE(run_until([&] { return cap.records().size() >= 2; }));
    pump_for(std::chrono::milliseconds(200));
    ASSERT_EQ(cap.records().size(), 2u);
    auto js = cap.with_message("javascript error in a window");
    ASSERT_EQ(js.size(), 1u);
    EXPECT_EQ(js[0].field("error"), "5");
    // Read on the immediate path, in the page-message handler.
    auto parse = cap.with_message("Failed to parse async user_event: event record has no element id");
    ASSERT_EQ(parse.size(), 1u);
    EXPECT_EQ(parse[0].level, base::log::Level::Error);
    EXPECT_EQ(parse[0].target, "veltrum::webview_host::ipc");
}

TEST(WindowAssets, ServedFromTheAssetFolder) {
    if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
    auto dir = std::filesystem::path(VELTRUM_ARTIFACT_DIR) / "assets-test";
    std::filesystem::create_directories(dir / "css");
    {
        std::ofstream(dir / "css" / "app.css") << "#root { color: rgb(1, 2, 3); }\n";
    }
    WindowConfig c;
    c.title = "Assets";
    c.head = "<link rel=\"stylesheet\" href=\"veltrum://app/assets/kit/css/app.css\">\n";
    c.assets = {{"kit", dir}};
    c.visible = false;
    Window w(c, std::make_unique<CounterRoot>());
    ASSERT_TRUE(run_until([&] { return w.rendered(); }));
    EXPECT_FALSE(w.is_visible());  // configured hidden
    std::optional<base::Result<json>> out;
    w.evaluate(R"(
        const bad = await fetch("veltrum://app/assets/kit/../../etc/passwd").then(r => r.ok, () => false);
        return { color: getComputedStyle(document.getElementById("root")).color, bad: bad };)",
               {}, [&](base::Result<json> r) { out = std::move(r); });
    ASSERT_TRUE(run_until([&] { return out.has_value(); }));
    ASSERT_TRUE(*out) << out->error();
    EXPECT_EQ((**out)["color"], "rgb(1, 2, 3)");
    EXPECT_EQ((**out)["bad"], false);
}

}  // namespace
}  // namespace webview_host

namespace webview_host {
namespace {

TEST(GtkLoopTest, PostsInOrderFromAnyThreadAndRunsTimers) {
    if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
    GtkLoop loop;
    std::vector<int> order;
    std::thread t([&] {
        for (int i = 0; i < 100; ++i) loop.post([&, i] { order.push_back(i); });
    });
    t.join();
    ASSERT_TRUE(run_until([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    bool fired = false;
    loop.post_after(std::chrono::milliseconds(30), [&] { fired = true; });
    ASSERT_TRUE(run_until([&] { return fired; }));
    // Work still queued when the loop goes never runs.
    bool late = false;
    {
        GtkLoop gone;
        gone.post([&] { late = true; });
        gone.post_after(std::chrono::milliseconds(1), [&] { late = true; });
    }
    pump_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(late);
}

}  // namespace
}  // namespace webview_host
