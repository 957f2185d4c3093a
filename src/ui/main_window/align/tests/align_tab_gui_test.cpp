// The Align tab in the real web view under Xvfb, with an open session and its
// crossover candidates: screenshots in light and dark.
#include <gtk/gtk.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <numbers>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shell/startup.h"
#include "ui/main_window/align/align_tab.h"
#include "ui/main_window/align/alignment.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/tests/wait.h"
#include "webview-host/window.h"

namespace ui::main_window {
namespace {

using namespace std::chrono_literals;
using Complex = std::complex<float>;
using webview_host::pump_for;
using webview_host::run_until;

WindowState* STATE = nullptr;

// The right pane's width and ground, as the window gives them.
constexpr const char* PANE = ".vt-test-pane { width: 340px; height: 100vh; overflow-y: auto; box-sizing: border-box; "
                             "padding: 10px; background: var(--vt-panel); border-left: 1px solid var(--vt-line); }";

reactive::Element pane() {
    reactive::provide_context(*STATE);
    reactive::provide_context(STATE->tooltip);
    reactive::provide_context(STATE->open_dropdown);
    return reactive::div().cls("vt-test-pane")(reactive::component(align_tab, "align_tab"));
}

Trace analytic(std::string source, std::string position, const std::function<Complex(float)>& value) {
    const auto& f = engine::tf::point_freq();
    std::vector<engine::tf::Triple> bins;
    for (float hz : f) {
        const Complex v = value(hz);
        bins.push_back({v.real(), v.imag(), 1.0f});
    }
    Trace t = Trace::make(source, 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    return t;
}

Complex speaker(float f) {
    const Complex s(0.0f, f);
    const Complex hp = (s / 40.0f) * (s / 40.0f) / (1.0f + s / 40.0f * 1.41f + (s / 40.0f) * (s / 40.0f));
    return hp / (1.0f + s / 16000.0f * 1.41f + (s / 16000.0f) * (s / 16000.0f));
}

TEST(AlignTabGui, ScreenshotsOfAnOpenSessionLightAndDark) {
    setenv("GSETTINGS_BACKEND", "memory", 0);
    if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
    WindowState s = make_state(Settings{}, std::make_shared<WindowHost>(), AutosaveHooks{});
    STATE = &s;
    s.sources.set({"Main L", "Sub", "Front fill"});
    s.right_tab.set(1);
    const auto lowpassed = [](float f) { return speaker(f) / (1.0f + Complex(0.0f, f / 3000.0f)); };
    const auto later = [](float f) {
        return speaker(f) * std::exp(Complex(0.0f, -2.0f * std::numbers::pi_v<float> * f * 0.0002f));
    };
    s.traces.set({analytic("Main L", "Position 1", lowpassed), analytic("Sub", "Position 1", speaker),
                  analytic("Main L", "Position 2", lowpassed), analytic("Sub", "Position 2", later)});
    s.design.update([](engine::design::Design& d) {
        d.source_mut("Main L").lp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 700.0f};
        d.source_mut("Sub").hp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 1400.0f};
    });

    auto loop = std::make_unique<webview_host::GtkLoop>();
    webview_host::WindowConfig c;
    c.title = "Align tab";
    c.width = 340;
    c.height = 640;
    c.head = fmt::format("<style>@font-face {{ font-family: 'Inter'; src: url('{}') format('woff2'); "
                         "font-weight: 100 900; font-display: block; }}</style>",
                         shared_ui::app_styles::INTER_FONT.url());
    for (const auto& css : shared_ui::app_styles::ALL_CSS)
        c.head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">", css.url());
    c.head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">", shell::APP_CSS.url());
    c.head += fmt::format("<style>{}</style>", PANE);
    c.assets = {{"", VELTRUM_ASSETS_DIR}};
    auto window = std::make_unique<webview_host::Window>(
        c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return reactive::component(pane, "pane"); }));
    auto js = [&](const std::string& body) { return webview_host::testing::evaluate_and_wait(*window, body); };
    ASSERT_TRUE(webview_host::testing::wait_page_ready(*window));

    start_alignment(s, "Sub");
    run_alignment(s, ALIGN_CROSSOVER);
    ASSERT_GE(s.align_session.peek()->candidates.size(), 2u) << s.alignment_text.peek();
    ASSERT_TRUE(run_until([&] {
        auto r = js("return document.querySelectorAll('.vt-align .candidates button').length;");
        return r && *r == nlohmann::json(s.align_session.peek()->candidates.size());
    }));

    const std::filesystem::path dir = VELTRUM_ARTIFACT_DIR;
    std::filesystem::create_directories(dir);
    for (std::string theme : {"light", "dark"}) {
        ASSERT_TRUE(js("document.body.className = " + nlohmann::json(theme).dump() + "; return true;"));
        const auto done = webview_host::testing::save_snapshot(*window, dir / ("align-tab-" + theme + ".png"));
        ASSERT_TRUE(done) << done.error();
    }
    revert_alignment(s);
    window.reset();
    loop.reset();
    pump_for(50ms);
    STATE = nullptr;
}

}  // namespace
}  // namespace ui::main_window
