// A small application on the reactive framework in the real web view: clicks
// reach C++ listeners and change signals, the host decides prevent-default,
// per-frame events stay asynchronous, a killed page process is recovered with
// the tree's state, and a component's page script is installed again.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "reactive/page.h"
#include "reactive/root.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"
#include "webview-host/tests/wait.h"

namespace webview_host {
namespace {

using nlohmann::json;
using namespace reactive;
using namespace std::chrono_literals;

// What the test reads of the application (one application at a time).
struct AppProbe {
    int clicks = 0;
    int moves = 0;
    int root_renders = 0;
    int installs = 0;
    std::vector<std::uint32_t> install_generations;
    int row_clicks = 0;
    int kit_clicks = 0;
    Signal<int>* count = nullptr;
    std::optional<base::Result<Rect>> box_rect;
    webview_host::WindowContext window;
};
AppProbe* PROBE = nullptr;

// A component with a page script of its own, installed once per page.
Element page_script_user() {
    auto gen = use_page_generation();
    auto& seen = use_hook<std::optional<std::uint32_t>>([] { return std::optional<std::uint32_t>(); });
    if (seen != gen) {
        seen = gen;
        PROBE->install_generations.push_back(gen);
        eval("window.__installed = (window.__installed || 0) + 1;");
    }
    return span().id("gen")(fmt::format("generation {}", gen));
}

// A kit-like button: its click stops in the page, never reaching the row.
struct KitButtonProps {
    std::string label{};
    Callback<> onclick{};
    bool operator==(const KitButtonProps&) const = default;
};
Element kit_button(const KitButtonProps& p) {
    return button().id("kit").on_click([cb = p.onclick](const MouseEvent&) { cb(); }, {.stop_propagation = true})(
        p.label);
}

Element counter_app() {
    auto count = use_signal(0);
    PROBE->count = &use_hook<Signal<int>>([&] { return count; });
    PROBE->window = webview_host::use_window();
    auto on_kit = use_callback<>([] { ++PROBE->kit_clicks; });
    ++PROBE->root_renders;
    return div().cls("app")(
        p().id("count")(fmt::format("Count: {}", count())),
        button().id("add").on_click([count](const MouseEvent&) {
            ++PROBE->clicks;
            count.set(count.peek() + 1);
        })("Add"),
        div().id("row").on_click([](const MouseEvent&) { ++PROBE->row_clicks; })(
            "row ", component(kit_button, KitButtonProps{.label = "Kit", .onclick = on_kit}, "kit_button")),
        a().id("link").attr("href", "#followed").on_click([](const MouseEvent&) {}, {.prevent_default = true})("link"),
        div().id("box").style("width", "200px").style("height", "50px").style("background", "#ddf")
            .on_mounted([](const MountedEvent& e) {
                spawn([](ElementHandle h) -> Task<> { PROBE->box_rect = co_await h.client_rect(); }(e.element()));
            })
            .on_mousemove_blocking([](MouseEvent& e) {
                ++PROBE->moves;
                e.prevent_default();  // cannot hold: per-frame events never wait for the host
            })("move here"),
        component(page_script_user, "page_script_user"));
}

class AppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Settings kept in memory: no desktop settings service under Xvfb.
        setenv("GSETTINGS_BACKEND", "memory", 0);
    }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !init()) GTEST_SKIP() << "no display";
        PROBE = &probe;
        loop = std::make_unique<GtkLoop>();
        WindowConfig c;
        c.title = "Reactive app";
        c.width = 600;
        c.height = 360;
        window = std::make_unique<Window>(c, std::make_unique<ReactiveRoot>(*loop, [] { return counter_app(); }));
        // Away from the corner where other tests' windows open.
        gtk_window_move(window->gtk_window(), 380, 220);
        ASSERT_TRUE(run_until([&] { return window->rendered() && window->pending_batches() == 0; }));
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        PROBE = nullptr;
    }

    base::Result<json> js(const std::string& body) {
        return webview_host::testing::evaluate_and_wait(*window, body);
    }
    std::string text_of(const char* id) {
        auto r = js(fmt::format("const e = document.getElementById('{}'); return e ? e.textContent : '<none>';", id));
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }

    reactive::Root& window_root() { return static_cast<ReactiveRoot&>(window->root()).root(); }

    AppProbe probe;
    std::unique_ptr<GtkLoop> loop;
    std::unique_ptr<Window> window;
};

TEST_F(AppTest, RealClickChangesSignalAndPage) {
    EXPECT_EQ(text_of("count"), "Count: 0");
    auto r = js("const r = document.getElementById('add').getBoundingClientRect();"
                "return {x: r.x + r.width / 2, y: r.y + r.height / 2};");
    ASSERT_TRUE(r) << r.error();
    const auto [x, y] = testing::screen_point(*window, (*r)["x"].get<double>(), (*r)["y"].get<double>());
    auto cmd = fmt::format("xdotool mousemove {} {} click 1", x, y);
    gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
    pump_for(std::chrono::milliseconds(50));
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(run_until([&] { return probe.clicks == 1; }));
    EXPECT_EQ(probe.count->peek(), 1);
    EXPECT_TRUE(run_until([&] { return text_of("count") == "Count: 1"; }));
}

TEST_F(AppTest, MountedElementAnswersQueries) {
    ASSERT_TRUE(run_until([&] { return probe.box_rect.has_value(); }));
    ASSERT_TRUE(*probe.box_rect) << probe.box_rect->error();
    EXPECT_EQ((*probe.box_rect)->width, 200);
    EXPECT_EQ((*probe.box_rect)->height, 50);
}

TEST_F(AppTest, PreventDefaultAndPerFrameEvents) {
    auto c0 = window->event_counts();
    auto r = js(R"(
        const link = new MouseEvent("click", { bubbles: true, cancelable: true });
        document.getElementById("link").dispatchEvent(link);
        const move = new MouseEvent("mousemove", { bubbles: true, cancelable: true });
        document.getElementById("box").dispatchEvent(move);
        return { link: link.defaultPrevented, move: move.defaultPrevented, hash: location.hash };)");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ((*r)["link"], true);
    EXPECT_EQ((*r)["move"], false);
    EXPECT_EQ((*r)["hash"], "");
    ASSERT_TRUE(run_until([&] { return probe.moves == 1; }));
    auto c1 = window->event_counts();
    EXPECT_EQ(c1.blocking - c0.blocking, 1u);  // the click waits for its listener; the mousemove never
    ASSERT_TRUE(run_until([&] { return window->event_counts().immediate + window->event_counts().deferred -
                                           c0.immediate - c0.deferred == 1; }));  // the mousemove
}

TEST_F(AppTest, DeclaredStopPropagationKeepsTheRowsClickAway) {
    auto c0 = window->event_counts();
    ASSERT_TRUE(js("document.getElementById('kit').click(); document.getElementById('row').click(); return true;"));
    ASSERT_TRUE(run_until([&] { return probe.kit_clicks == 1 && probe.row_clicks == 1; }));
    pump_for(100ms);
    EXPECT_EQ(probe.kit_clicks, 1);
    EXPECT_EQ(probe.row_clicks, 1);  // only the row's own click
    EXPECT_EQ(window->event_counts().blocking - c0.blocking, 2u);  // the kit's click, the row's click
}

TEST_F(AppTest, LongLivedScriptChannelAndSendsDuringRecovery) {
    std::vector<std::string> got;
    Eval ch;
    spawn_root([](std::vector<std::string>& got, Eval& ch) -> Task<> {
        ch = eval(R"(
            window.__tick = () => send("tick");
            window.__done = () => end();
            return "installed";)");
        got.push_back((co_await ch.result())->dump());
        for (;;) {
            auto v = co_await ch.recv();
            got.push_back(v ? v->dump() : "failed: " + v.error());
            if (!v) co_return;
        }
    }(got, ch));
    ASSERT_TRUE(run_until([&] { return got.size() == 1; }));
    ASSERT_TRUE(js("window.__tick(); window.__tick(); window.__done(); window.__tick(); return 1;"));
    ASSERT_TRUE(run_until([&] { return got.size() == 4; }));
    EXPECT_EQ(got, (std::vector<std::string>{"\"installed\"", "\"tick\"", "\"tick\"",
                                             "failed: the script ended its channel"}));
    EXPECT_FALSE(ch.send(1));

    // While the page is rebuilt a send fails instead of reporting success.
    Eval open_channel;
    bool installed = false;
    spawn_root([](Eval& e, bool& installed) -> Task<> {
        e = eval("window.__keep = send;");
        co_await e.result();
        installed = true;
    }(open_channel, installed));
    ASSERT_TRUE(run_until([&] { return installed; }));
    EXPECT_TRUE(open_channel.send(1));
    window->terminate_page_process();
    ASSERT_TRUE(run_until([&] { return window->recovering(); }));
    auto sent = open_channel.send(2);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error(), "the page is being rebuilt");
    ASSERT_TRUE(run_until([&] { return !window->recovering(); }));
    EXPECT_TRUE(open_channel.ended());  // the page it talked to is gone
    EXPECT_FALSE(open_channel.send(3));
}

TEST_F(AppTest, ComponentsReachTheirWindow) {
    ASSERT_TRUE(probe.window.valid());
    EXPECT_EQ(probe.window.title(), "Reactive app");
    EXPECT_TRUE(probe.window.is_visible());
    bool asked = false;
    window->set_close_request_handler([&] {
        asked = true;
        return false;
    });
    probe.window.request_close();
    ASSERT_TRUE(run_until([&] { return asked; }));
    EXPECT_FALSE(window->closed());
}

TEST_F(AppTest, CrashRecoveryKeepsStateAndReinstallsPageScripts) {
    ASSERT_TRUE(js("document.getElementById('add').click(); return true;"));
    ASSERT_TRUE(run_until([&] { return text_of("count") == "Count: 1"; }));
    EXPECT_EQ(probe.install_generations, (std::vector<std::uint32_t>{0}));
    for (std::uint32_t gen = 1; gen <= 2; ++gen) {
        base::log::Capture cap;
        window->terminate_page_process();
        ASSERT_TRUE(run_until([&] { return window->recovering(); }));
        // Started while recovering: never sent, fails at the re-attach.
        std::optional<base::Result<json>> result;
        Eval ev = eval("return 5;");
        spawn_root([](Eval ev, std::optional<base::Result<json>>* out) -> Task<> {
            *out = co_await ev.result();
        }(ev, &result));
        ASSERT_TRUE(run_until([&] { return !window->recovering(); }));
        ASSERT_TRUE(run_until([&] { return result.has_value(); }));
        EXPECT_FALSE(*result);
        EXPECT_TRUE(ev.ended());
        EXPECT_EQ(window->desktop().page_generation, gen);
        EXPECT_EQ(window_root().page_generation(), gen);
        EXPECT_TRUE(run_until([&] { return text_of("count") == "Count: 1"; }));  // state kept
        EXPECT_EQ(text_of("gen"), fmt::format("generation {}", gen));
        EXPECT_EQ(probe.install_generations.back(), gen);
        auto installed = js("return window.__installed || 0;");
        ASSERT_TRUE(installed);
        EXPECT_EQ(*installed, 1);
        EXPECT_EQ(cap.with_message("webview recovery: 'Reactive app' web content process died, reloading").size(), 1u);
        int reattached = 0;
        for (auto& rec : cap.records()) {
            if (rec.message.starts_with("webview recovery: 'Reactive app' re-attached ") &&
                rec.message.ends_with(fmt::format("ms after the crash (page generation {})", gen)))
                ++reattached;
            EXPECT_EQ(rec.message.find("window left blank"), std::string::npos);
            EXPECT_EQ(rec.message.find("never called use_page_generation"), std::string::npos);
        }
        EXPECT_EQ(reattached, 1);
    }
    // The rebuilt tree is live.
    ASSERT_TRUE(js("document.getElementById('add').click(); return true;"));
    EXPECT_EQ(probe.count->peek(), 2);
    EXPECT_TRUE(run_until([&] { return text_of("count") == "Count: 2"; }));
}

}  // namespace
}  // namespace webview_host
