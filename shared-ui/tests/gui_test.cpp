// The kit in the real web view under Xvfb, driven with real X input
// (xdotool), and screenshots of the gallery in light and dark.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "gallery.h"
#include "reactive/root.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"
#include "webview-host/tests/wait.h"

// After the test headers: X11 defines None and Bool.
#include <gdk/gdkx.h>

namespace shared_ui::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using webview_host::pump_for;
using webview_host::run_until;

class KitGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        GALLERY = &probe;
        loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Kit gallery";
        c.width = 1040;
        c.height = 640;
        c.head = gallery_head();
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return gallery(); }));
        gtk_window_move(window->gtk_window(), 40, 40);
        ASSERT_TRUE(webview_host::testing::wait_page_ready(*window, true));
        gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
        take_keyboard();
        xdo("mousemove 1 1");
        pump_for(100ms);
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        GALLERY = nullptr;
    }

    base::Result<json> js(const std::string& body) {
        return webview_host::testing::evaluate_and_wait(*window, body);
    }
    // Screen point at the fractions (fx, fy) of the first element matching `selector`.
    std::pair<int, int> at(const std::string& selector, double fx = 0.5, double fy = 0.5) {
        const auto p = webview_host::testing::element_point(*window, selector, fx, fy);
        EXPECT_TRUE(p) << selector;
        return p.value_or(std::pair{0, 0});
    }
    // No window manager under Xvfb: the keyboard focus is given by hand, and
    // the page is asked whether it has it.
    void take_keyboard() {
        gtk_widget_grab_focus(GTK_WIDGET(window->web_view()));
        for (int i = 0; i < 5; ++i) {
            xdo(fmt::format("windowfocus --sync {}",
                            GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())))));
            if (run_until([&] { return text("document.hasFocus()") == "true"; }, 2s)) return;
        }
        ADD_FAILURE() << "the page never got the keyboard focus";
    }
    // Clicks a field and waits until it has the focus.
    void focus_field(const std::string& selector) {
        click(selector);
        if (!run_until([&] { return text("document.activeElement === document.querySelector(" + json(selector).dump() + ")") == "true"; }, 5s)) {
            take_keyboard();
            click(selector);
        }
        ASSERT_TRUE(run_until([&] { return text("document.activeElement === document.querySelector(" + json(selector).dump() + ")") == "true"; }, 5s));
    }
    void xdo(const std::string& args) {
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
        pump_for(20ms);
    }
    void move_to(const std::string& selector, double fx = 0.5, double fy = 0.5) {
        auto [x, y] = at(selector, fx, fy);
        xdo(fmt::format("mousemove {} {}", x, y));
    }
    void click(const std::string& selector) {
        move_to(selector);
        xdo("click 1");
    }
    std::string text(const std::string& expr) {
        auto r = js("return String(" + expr + ");");
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }
    bool has_change(const std::string& c) {
        return std::find(probe.changes.begin(), probe.changes.end(), c) != probe.changes.end();
    }
    std::size_t count_events(const std::string& type, const std::string& code) {
        std::size_t n = 0;
        for (auto& e : probe.window_events)
            if (e.value("type", "") == type && e.value("code", "") == code) ++n;
        return n;
    }
    void snapshot(const std::string& name) {
        const auto done =
            webview_host::testing::save_snapshot(*window, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / name);
        ASSERT_TRUE(done) << done.error();
    }

    GalleryProbe probe;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(KitGui, HoveringAButtonShowsItsTooltipALeaveBeforeTheRectNeverDoes) {
    move_to("#demo-run button");
    ASSERT_TRUE(run_until([&] { return probe.tooltip->peek().visible; }, 5s));
    EXPECT_EQ(probe.tooltip->peek().text, "Start measuring (Space)");
    ASSERT_TRUE(run_until([&] { return text("getComputedStyle(document.querySelector('.tooltip')).opacity") == "1"; }));
    EXPECT_EQ(text("document.querySelector('.tooltip').textContent"), "Start measuring (Space)");
    // The bubble sits below the button, inside the window.
    auto below = js("const t = document.querySelector('.tooltip').getBoundingClientRect();"
                    "const b = document.querySelector('#demo-run button').getBoundingClientRect();"
                    "return t.top >= b.bottom && t.left >= 0 && t.right <= window.innerWidth;");
    EXPECT_TRUE(run_until([&] {
        below = js("const t = document.querySelector('.tooltip').getBoundingClientRect();"
                   "const b = document.querySelector('#demo-run button').getBoundingClientRect();"
                   "return t.top >= b.bottom && t.left >= 0 && t.right <= window.innerWidth;");
        return below && *below == true;
    }));
    xdo("mousemove 1 1");
    ASSERT_TRUE(run_until([&] { return !probe.tooltip->peek().visible; }));
    // In and out at once: the leave comes before the anchor's rectangle.
    auto [x, y] = at("#demo-run button");
    for (int i = 0; i < 3; ++i) {
        xdo(fmt::format("mousemove {} {} mousemove 1 1", x, y));
        pump_for(300ms);
        EXPECT_FALSE(probe.tooltip->peek().visible);
    }
}

TEST_F(KitGui, DropDownOpensEscapeClosesAnItemChoosesOnce) {
    click("#demo-generator button");
    ASSERT_TRUE(run_until([&] { return probe.open->peek().has_value(); }, 5s));
    ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.dropdown-link').length") == "5"; }));
    EXPECT_EQ(text("document.querySelector('.dropdown-current').textContent"), "Pink noise");
    xdo("key Escape");
    ASSERT_TRUE(run_until([&] { return !probe.open->peek().has_value(); }, 5s));
    EXPECT_TRUE(run_until([&] { return text("document.querySelectorAll('.dropdown-global').length") == "0"; }));

    click("#demo-generator button");
    ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.dropdown-link').length") == "5"; }, 5s));
    click(".dropdown-link:nth-child(2)");
    ASSERT_TRUE(run_until([&] { return has_change("generator sine"); }, 5s));
    pump_for(200ms);
    EXPECT_EQ(std::count(probe.changes.begin(), probe.changes.end(), "generator sine"), 1);
    EXPECT_FALSE(probe.open->peek().has_value());
    EXPECT_TRUE(run_until([&] { return text("document.querySelector('#demo-generator .label').textContent") == "Sine"; }));
}

TEST_F(KitGui, StepperCommitsTypedNumbersOnEnterAndFocusOutAndRevertsBadText) {
    const std::string field = "document.querySelector('#demo-gain input')";
    EXPECT_EQ(text(field + ".value"), "-3.5");
    focus_field("#demo-gain input");
    xdo("key ctrl+a");
    xdo("type 12.5");
    ASSERT_TRUE(run_until([&] { return text(field + ".value") == "12.5"; }, 5s)) << text(field + ".value");
    xdo("key Return");
    ASSERT_TRUE(run_until([&] { return has_change("gain 12.5"); }, 5s))
        << text(field + ".value") << " focused " << text("document.activeElement.tagName") << " changes "
        << probe.changes.size();
    EXPECT_TRUE(run_until([&] { return text(field + ".value") == "12.5"; }));
    EXPECT_EQ(text("document.activeElement === " + field), "false");  // Enter took the focus
    EXPECT_EQ(probe.gain->peek(), 12.5);
    // Plus and minus step the value the parent holds.
    click("#demo-gain .stepper-button-right button");
    ASSERT_TRUE(run_until([&] { return has_change("gain 13"); }, 5s));
    EXPECT_TRUE(run_until([&] { return text(field + ".value") == "13"; }));
    // Text that is no number: nothing reported, the value comes back on focus loss.
    auto before = probe.changes.size();
    focus_field("#demo-gain input");
    xdo("key ctrl+a");
    xdo("type 12e");
    pump_for(300ms);
    click(".gallery-title");
    EXPECT_TRUE(run_until([&] { return text(field + ".value") == "13"; }, 5s));
    pump_for(200ms);
    EXPECT_EQ(probe.changes.size(), before);
    // A number typed and left by a click elsewhere is committed.
    focus_field("#demo-gain input");
    xdo("key ctrl+a");
    xdo("type -- -6");
    ASSERT_TRUE(run_until([&] { return text(field + ".value") == "-6"; }, 5s)) << text(field + ".value");
    click(".gallery-title");
    ASSERT_TRUE(run_until([&] { return has_change("gain -6"); }, 5s));
    EXPECT_TRUE(run_until([&] { return text(field + ".value") == "-6"; }));
}

TEST_F(KitGui, SliderDragMovesTheValue) {
    // The thumb centre: 11 + (width - 22) * 0.35 from the left edge.
    auto w = js("return document.querySelector('#demo-level input').getBoundingClientRect().width;");
    ASSERT_TRUE(w && w->is_number());
    double fx = (11 + (w->get<double>() - 22) * 0.35) / w->get<double>();
    auto [x, y] = at("#demo-level input", fx, 0.5);
    // A press on the track away from the thumb moves nothing.
    xdo(fmt::format("mousemove {} {} click 1", x + 60, y));
    pump_for(300ms);
    EXPECT_EQ(probe.level->peek(), 0.35);
    xdo(fmt::format("mousemove {} {} mousedown 1", x, y));
    ASSERT_TRUE(run_until([&] { return text("document.querySelector('#demo-level input').className") == "slider dragging"; }, 5s));
    for (int dx = 20; dx <= 120; dx += 20) xdo(fmt::format("mousemove {} {}", x + dx, y));
    xdo("mouseup 1");
    ASSERT_TRUE(run_until([&] { return probe.level->peek() > 0.45; }, 5s));
    double v = probe.level->peek();
    EXPECT_LT(v, 1.0);
    EXPECT_TRUE(run_until([&] { return text("document.querySelector('#demo-level input').className") == "slider "; }));
    EXPECT_EQ(text("document.activeElement.type"), "undefined");  // the range input gave up the focus
    EXPECT_NE(text("document.querySelector('#demo-level input').getAttribute('style')"), "--slider-fill: 35");
}

TEST_F(KitGui, BridgeReportsKeysModifiersOnFocusAndSurvivesAPageCrash) {
    click(".gallery-title");
    take_keyboard();
    xdo("key ctrl+s");
    ASSERT_TRUE(run_until([&] { return count_events("keydown", "KeyS") == 1; }, 5s));
    for (auto& e : probe.window_events)
        if (e.value("code", "") == "KeyS" && e.value("type", "") == "keydown") {
            EXPECT_EQ(e["ctrl"], true);
            EXPECT_EQ(e["meta"], false);
            EXPECT_EQ(e["typing"], false);
        }
    EXPECT_EQ(count_events("keydown", "ControlLeft"), 1u);
    // A press on a button blurs a focused text field; one on a text field does not.
    focus_field(".gallery .card:nth-child(2) .row:nth-child(4) input");
    click("#demo-run button");
    EXPECT_TRUE(run_until([&] { return text("document.activeElement.tagName") != "INPUT"; }, 5s));
    focus_field(".gallery .card:nth-child(2) .row:nth-child(4) input");
    click(".gallery .card:nth-child(2) .row:nth-child(5) input");
    EXPECT_TRUE(run_until([&] { return text("document.activeElement.placeholder") == "192.168.1.62"; }, 5s));
    // The window gains focus: one keyup for each of the eight modifiers.
    pump_for(300ms);
    probe.window_events.clear();
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_move(GTK_WINDOW(other), 1200, 40);
    gtk_widget_show_all(other);
    pump_for(200ms);
    xdo(fmt::format("windowfocus --sync {}", GDK_WINDOW_XID(gtk_widget_get_window(other))));
    pump_for(200ms);
    xdo(fmt::format("windowfocus --sync {}",
                    GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())))));
    ASSERT_TRUE(run_until([&] { return count_events("keyup", "AltRight") >= 1; }, 5s));
    std::vector<std::string> ups;
    for (auto& e : probe.window_events)
        if (e.value("type", "") == "keyup") ups.push_back(e.value("code", ""));
    auto first = std::find(ups.begin(), ups.end(), "MetaLeft");
    ASSERT_GE(ups.end() - first, 8);
    EXPECT_EQ(std::vector<std::string>(first, first + 8),
              (std::vector<std::string>{"MetaLeft", "MetaRight", "ControlLeft", "ControlRight", "ShiftLeft", "ShiftRight",
                                        "AltLeft", "AltRight"}));
    gtk_widget_destroy(other);

    // The page process dies: the bridge is installed in the new page and still reports.
    window->terminate_page_process();
    ASSERT_TRUE(run_until([&] { return window->recovering(); }));
    ASSERT_TRUE(run_until([&] { return !window->recovering() && window->pending_batches() == 0; }));
    ASSERT_TRUE(run_until([&] {
        auto r = js("return Object.keys(window).filter(k => k.endsWith('_keydown')).length;");
        return r && *r == 1;
    }));
    probe.window_events.clear();
    click(".gallery-title");
    take_keyboard();
    xdo("key ctrl+s");
    ASSERT_TRUE(run_until([&] { return count_events("keydown", "KeyS") == 1; }, 5s));
}

TEST_F(KitGui, GalleryScreenshotsLightAndDark) {
    for (std::string theme : {"light", "dark"}) {
        probe.body_class->set(theme);
        ASSERT_TRUE(run_until([&] { return text("document.body.className") == theme; }));
        xdo("mousemove 1 1");
        snapshot("kit-gallery-" + theme + ".png");
        // Open states: the list of a drop-down, a tooltip, the context menu.
        click("#demo-generator button");
        ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.dropdown-link').length") == "5"; }, 5s));
        snapshot("kit-gallery-" + theme + "-dropdown.png");
        xdo("key Escape");
        ASSERT_TRUE(run_until([&] { return !probe.open->peek().has_value(); }, 5s));
        // The menu's overlay takes the pointer: the tooltip first, then the menu.
        move_to("#demo-run button");
        ASSERT_TRUE(run_until([&] { return probe.tooltip->peek().visible; }, 5s));
        auto [mx, my] = at("#demo-menu-area", 0.6, 0.5);
        auto [ox, oy] = at("body", 0, 0);
        probe.menu->set(std::pair(double(mx - ox), double(my - oy)));
        ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.context-menu-item').length") == "3"; }));
        snapshot("kit-gallery-" + theme + "-menu-tooltip.png");
        click(".context-menu-overlay");
        ASSERT_TRUE(run_until([&] { return !probe.menu->peek().has_value(); }, 5s));
    }
}

}  // namespace
}  // namespace shared_ui::testing
