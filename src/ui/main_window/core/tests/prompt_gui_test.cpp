// The name prompt in the real web view under Xvfb, driven with real X input
// (xdotool): typed text and Enter, a press beside the card, Enter on a
// deletion through the window's key handler; screenshots in light and dark.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/tests/support.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"
#include "shell/startup.h"
#include "ui/main_window/core/effects.h"
#include "ui/main_window/core/key_events.h"
#include "ui/main_window/core/name_prompt.h"
#include "ui/main_window/tests/window_fixture.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/tests/wait.h"
#include "webview-host/window.h"

// After the test headers: X11 defines None and Bool.
#include <gdk/gdkx.h>

namespace ui::main_window {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::make_trace;
using webview_host::pump_for;
using webview_host::run_until;

WindowState* STATE = nullptr;

// The window's prompt place, as the frame fills it, over a plain page.
reactive::Element prompt_page() {
    auto& s = reactive::use_hook<WindowState>([] {
        return make_state(Settings{}, std::make_shared<WindowHost>(),
                          AutosaveHooks{.autosave = [](Session, std::optional<Path>) {},
                                        .remove_autosave = [] {},
                                        .remove_kept_autosave = [] {}});
    });
    STATE = &s;
    reactive::provide_context(s.settings);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);
    apply_body_class(s);
    use_key_events(s);
    auto onchange = reactive::use_callback<Prompt>([s](Prompt p) { s.prompt.set(std::move(p)); });
    auto onsubmit = reactive::use_callback<std::string>([s](std::string t) { submit_prompt(s, t); });
    auto oncancel = reactive::use_callback<>([s] { s.prompt.set(std::nullopt); });
    const auto& open = s.prompt();
    return reactive::div().cls("vt-container")(
        reactive::div().cls("vt-main").attr("style", "padding: 24px")(
            reactive::p()(fmt::format("Position: {}", s.position())),
            reactive::p()(fmt::format("Traces: {}", s.traces().size()))),
        open ? reactive::component(name_prompt,
                                   NamePromptProps{*open, prompt_title(s, *open), prompt_text(s, *open), s.sources(),
                                                   onchange, onsubmit, oncancel},
                                   "name_prompt")
             : reactive::Element(),
        reactive::component(shared_ui::components::dropdown::global_dropdown, "global_dropdown"),
        reactive::component(shared_ui::components::tooltip::global_tooltip, "global_tooltip"));
}

class PromptGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        home_ = test_support::scratch("prompt_gui", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        xdg_.emplace("XDG_DATA_HOME", home_.c_str());
        loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Prompt";
        c.width = 900;
        c.height = 560;
        std::vector<std::string> sheets;
        for (const auto& css : shared_ui::app_styles::ALL_CSS) sheets.push_back(css.url());
        c.head = shell::page_head(shared_ui::app_styles::INTER_FONT.url(), sheets);
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return prompt_page(); }));
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
        STATE = nullptr;
    }

    WindowState& s() { return *STATE; }
    base::Result<json> js(const std::string& body) { return webview_host::testing::evaluate_and_wait(*window, body); }
    std::string text(const std::string& expr) {
        auto r = js("return String(" + expr + ");");
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }
    std::pair<int, int> at(const std::string& selector, double fx = 0.5, double fy = 0.5) {
        const auto p = webview_host::testing::element_point(*window, selector, fx, fy);
        EXPECT_TRUE(p) << selector;
        return p.value_or(std::pair{0, 0});
    }
    void take_keyboard() {
        gtk_widget_grab_focus(GTK_WIDGET(window->web_view()));
        for (int i = 0; i < 5; ++i) {
            xdo(fmt::format("windowfocus --sync {}",
                            GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())))));
            if (run_until([&] { return text("document.hasFocus()") == "true"; }, 2s)) return;
        }
        ADD_FAILURE() << "the page never got the keyboard focus";
    }
    void xdo(const std::string& args) {
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
        pump_for(20ms);
    }
    void press_at(const std::string& selector, double fx, double fy, const std::string& what = "click 1") {
        auto [x, y] = at(selector, fx, fy);
        xdo(fmt::format("mousemove {} {} {}", x, y, what));
    }
    // Opens a prompt and waits until its field (when it has one) has the focus.
    void open(Prompt p) {
        const bool field = !is_delete_prompt(p);
        // The card of the last prompt is gone first, so that a fresh one mounts.
        ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.alert-card').length") == "0"; }, 5s));
        s().prompt.set(std::move(p));
        ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.alert-card').length") == "1"; }, 5s));
        if (field) ASSERT_TRUE(run_until([&] { return text("document.activeElement.tagName") == "INPUT"; }, 5s));
    }
    void snapshot(const std::string& name) {
        const auto done =
            webview_host::testing::save_snapshot(*window, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / name);
        ASSERT_TRUE(done) << done.error();
    }

    std::filesystem::path home_;
    std::optional<test_support::Env> xdg_;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(PromptGui, TypedTextAndEnterNameANewPosition) {
    open(Prompt{Prompt::NewPosition{}});
    EXPECT_EQ(text("document.activeElement.value"), "Position 1");
    // The starting text is selected: typing replaces it.
    xdo("type --delay 30 'Hall B'");
    ASSERT_TRUE(run_until([&] { return text("document.activeElement.value") == "Hall B"; }, 5s));
    xdo("key Return");
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    EXPECT_EQ(s().position.peek(), "Hall B");
    EXPECT_TRUE(run_until([&] { return text("document.querySelectorAll('.alert-card').length") == "0"; }, 5s));
}

TEST_F(PromptGui, APressOnTheCardKeepsItOpenOneBesideItCancels) {
    open(Prompt{Prompt::NewSource{}});
    xdo("type --delay 30 'Delay line'");
    ASSERT_TRUE(run_until([&] { return text("document.activeElement.value") == "Delay line"; }, 5s));
    press_at(".alert-title", 0.5, 0.5);
    pump_for(300ms);
    EXPECT_TRUE(s().prompt.peek());
    // The field that lost the focus still shows what was typed, and OK takes it.
    EXPECT_EQ(text("document.querySelector('.alert-card input').value"), "Delay line");
    press_at(".alert-button-submit .button", 0.5, 0.5);
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Delay line"}));

    open(Prompt{Prompt::NewSource{}});
    press_at(".alert-background", 0.02, 0.5);
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    EXPECT_EQ(s().sources.peek().size(), 1u);
}

TEST_F(PromptGui, EnterConfirmsADeletionAndEscapeCancels) {
    s().traces.set({make_trace("Main", "Main", "Position 1"), make_trace("Sub", "Sub", "Position 1")});
    open(Prompt{Prompt::DeleteTrace{0}});
    EXPECT_EQ(text("document.querySelector('.alert-title').textContent"), "Delete Main?");
    take_keyboard();
    xdo("key Return");
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    ASSERT_EQ(s().traces.peek().size(), 1u);
    EXPECT_EQ(s().traces.peek()[0].name, "Sub");

    open(Prompt{Prompt::RenameTrace{0}});
    xdo("type --delay 30 'x'");
    xdo("key Escape");
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    EXPECT_EQ(s().traces.peek()[0].name, "Sub");
}

TEST_F(PromptGui, ScreenshotsInLightAndDark) {
    s().sources.set({"Main L", "Main R", "Sub", "Front fill"});
    s().pending_capture.set(make_trace("", "", ""));
    open(Prompt{Prompt::Capture{"Sub"}});
    xdo("type --delay 20 'Sub cardioid'");
    ASSERT_TRUE(run_until([&] { return text("document.activeElement.value") == "Sub cardioid"; }, 5s));
    for (bool dark : {false, true}) {
        engine::settings::SettingsStoreImplExt::update(s().settings, [dark](Settings& x) { x.dark_mode = dark; });
        ASSERT_TRUE(run_until([&] { return text("document.body.className").starts_with(dark ? "dark" : "light"); }));
        snapshot(dark ? "prompt-capture-dark.png" : "prompt-capture-light.png");
    }
    xdo("key Return");
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));
    ASSERT_EQ(s().traces.peek().size(), 1u);
    EXPECT_EQ(s().traces.peek()[0].name, "Sub cardioid");
    EXPECT_EQ(s().traces.peek()[0].source, "Sub");

    open(Prompt{Prompt::DeletePosition{"Position 1"}});
    snapshot("prompt-delete-dark.png");
    take_keyboard();
    xdo("key Escape");
    ASSERT_TRUE(run_until([&] { return !s().prompt.peek(); }, 5s));

    engine::settings::SettingsStoreImplExt::update(s().settings, [](Settings& x) {
        x.dark_mode = false;
        x.wing_ip = "192.168.1.40";
    });
    s().current_source_name.set("Main L");
    open(Prompt{Prompt::SendToWing{"bus 3"}});
    snapshot("prompt-wing-light.png");
}

}  // namespace
}  // namespace ui::main_window
