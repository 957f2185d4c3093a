// The right pane in the real web view under Xvfb, on the JACK test server:
// choosing another rate from the Rate drop-down with real clicks restarts the
// run at that rate; screenshots of the Config tab in both views, light and
// dark. The pane is mounted on a window state of its own, with the
// measurement operations and the refresh loop of the main window.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/tests/support.h"
#include "engine/audio/capture.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"
#include "shell/startup.h"
#include "ui/main_window/config/right_pane.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/measure/refresh.h"
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
using engine::settings::View;
using webview_host::pump_for;
using webview_host::run_until;

// The state the test root made, for the test to read and drive.
WindowState* STATE = nullptr;
Settings START;

reactive::Element pane_root() {
    auto& s = reactive::use_hook<WindowState>([] { return make_state(START, std::make_shared<WindowHost>()); });
    // The measurement hooks first: the context holds a copy of the state.
    reactive::use_hook<bool>([&] {
        install_measurement(s);
        return true;
    });
    reactive::provide_context(s);
    reactive::provide_context(s.settings);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);
    reactive::use_hook<bool>([&] {
        s.input_devices.set(engine::capture::list_devices(true));
        s.output_devices.set(engine::capture::list_devices(false));
        reactive::spawn(refresh_loop(s));
        STATE = &s;
        return true;
    });
    return reactive::div().cls("vt-test-frame")(reactive::component(right_pane, "right_pane"),
                                                shared_ui::components::dropdown::global_dropdown(),
                                                shared_ui::components::tooltip::global_tooltip());
}

class PaneGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
        // A folder per test: the web process of an earlier window may still write into its own.
        home_ = test_support::scratch("config_pane_gui", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        xdg_.emplace("XDG_DATA_HOME", home_.c_str());
        jack_.emplace(audio_watcher::host::platform_host("JACK"));
        START = Settings{};
        START.host = "JACK";
        START.device = "jack:system";
        START.device_name = "system";
        START.sample_rate = 96000;
        START.mic_channel = 0;
        START.ref_channel = 1;
        START.spl_input = engine::settings::Input{"JACK", "jack:system", "system", 0, 48000, ""};
        loop_ = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Right pane";
        c.width = 360;
        c.height = 960;
        std::vector<std::string> sheets;
        for (const auto& css : shared_ui::app_styles::ALL_CSS) sheets.push_back(css.url());
        c.head = shell::page_head(shared_ui::app_styles::INTER_FONT.url(), sheets) +
                 "<style>.vt-test-frame { height: 100%; display: flex; justify-content: flex-end; }</style>";
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window_ = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop_, [] { return pane_root(); }));
        gtk_window_move(window_->gtk_window(), 20, 20);
        ASSERT_TRUE(webview_host::testing::wait_page_ready(*window_));
        ASSERT_TRUE(STATE);
        gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window_->gtk_window())));
        xdo("mousemove 1 1");
    }
    void TearDown() override {
        if (STATE) {
            STATE->analyzer.set(std::nullopt);
            STATE->meter.set(std::nullopt);
        }
        window_.reset();
        loop_.reset();
        pump_for(50ms);
        STATE = nullptr;
        jack_.reset();
    }

    WindowState& s() { return *STATE; }
    base::Result<json> js(const std::string& body) { return webview_host::testing::evaluate_and_wait(*window_, body); }
    std::string text(const std::string& expr) {
        auto r = js("return String(" + expr + ");");
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }
    // Screen point of the middle of the first element matching `selector`.
    std::pair<int, int> at(const std::string& selector) {
        const auto p = webview_host::testing::element_point(*window_, selector);
        EXPECT_TRUE(p) << selector;
        return p.value_or(std::pair{0, 0});
    }
    void xdo(const std::string& args) {
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
        pump_for(20ms);
    }
    void click(const std::string& selector) {
        auto [x, y] = at(selector);
        xdo(fmt::format("mousemove {} {} click 1", x, y));
    }
    void shot(const std::string& name, const std::string& theme) {
        (void)js(fmt::format("document.body.className = '{} ui-tiny'; return true;", theme));
        const auto done = webview_host::testing::save_snapshot(*window_, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / name, 400ms);
        ASSERT_TRUE(done) << done.error();
    }
    // The shared snapshot of the analyzer in the window (held: its address
    // then names that run for as long as the test keeps it).
    std::shared_ptr<engine::analyzer::SharedSnapshot> running_analyzer() {
        const auto& a = s().analyzer.peek();
        return a ? a->snapshot() : nullptr;
    }

    std::filesystem::path home_;
    std::optional<test_support::Env> xdg_;
    std::optional<audio_watcher::host::ScopedHost> jack_;
    std::unique_ptr<webview_host::GtkLoop> loop_;
    std::unique_ptr<webview_host::Window> window_;
};

// The Rate row's drop-down button.
constexpr const char* RATE_BUTTON =
    "[...document.querySelectorAll('.vt-card .row')].find(r => r.firstChild.textContent === 'Rate').querySelector('button')";

TEST_F(PaneGui, ChoosingAnotherRateRestartsTheRunAtThatRate) {
    start_analyzer(s());
    ASSERT_TRUE(run_until([&] { return s().snapshot.peek().running && s().snapshot.peek().sample_rate != 0; }, 30s))
        << s().snapshot.peek().status;
    const auto first = running_analyzer();
    ASSERT_TRUE(first);
    EXPECT_EQ(text(std::string(RATE_BUTTON) + ".textContent"), "96000 Hz");
    shot("config-transfer-light.png", "light");
    shot("config-transfer-dark.png", "dark");

    (void)js(std::string("const b = ") + RATE_BUTTON + "; b.id = 'rate-button'; return true;");
    click("#rate-button");
    ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.dropdown-link').length") == "6"; }, 5s));
    (void)js("[...document.querySelectorAll('.dropdown-link')].find(e => e.textContent.includes('48000 Hz')).id = "
             "'rate-48000'; return true;");
    click("#rate-48000");
    ASSERT_TRUE(run_until([&] { return s().settings.peek().sample_rate == 48000; }, 10s));
    // A new run on the new rate: another analyzer, running at 48000 Hz.
    ASSERT_TRUE(run_until([&] { return running_analyzer() && running_analyzer() != first; }, 10s));
    ASSERT_TRUE(run_until([&] { return s().snapshot.peek().running && s().snapshot.peek().sample_rate == 48000; }, 30s))
        << s().snapshot.peek().status;
    EXPECT_TRUE(run_until([&] { return text(std::string(RATE_BUTTON) + ".textContent") == "48000 Hz"; }, 5s));
}

TEST_F(PaneGui, SplViewScreenshots) {
    set_view(s(), View::Spl);
    ASSERT_TRUE(run_until([&] { return s().meter_snapshot.peek().running; }, 30s)) << s().meter_snapshot.peek().status;
    ASSERT_TRUE(run_until([&] { return text("document.querySelectorAll('.vt-card.wide').length") == "2"; }, 5s));
    shot("config-spl-light.png", "light");
    shot("config-spl-dark.png", "dark");
}

}  // namespace
}  // namespace ui::main_window
