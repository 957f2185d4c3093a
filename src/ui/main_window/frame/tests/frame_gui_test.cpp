// The window's frame in the real web view with the program's stylesheets:
// real X clicks on the sidebar rows, and screenshots of the whole frame with
// a few traces (light and dark), of the EQ layout and of the SPL view.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/settings/settings.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shell/startup.h"
#include "ui/main_window/core/effects.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/frame/main_window.h"
#include "ui/main_window/measure/plot_inputs.h"
#include "ui/main_window/measure/refresh.h"
#include "ui/tf_plot/tests/synthetic.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/tests/wait.h"
#include "webview-host/window.h"

namespace ui::main_window {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace reactive;
using namespace std::chrono_literals;
using engine::settings::View;
using webview_host::pump_for;
using webview_host::run_until;

WindowState* STATE = nullptr;

Element harness_root() {
    auto& s = *STATE;
    provide_context(s);
    provide_context(s.settings);
    provide_context(s.tooltip);
    provide_context(s.open_dropdown);
    apply_body_class(s);
    install_plot_script(s, ui::tf_plot::plot_script());
    return fragment(el("link").attr("rel", "stylesheet").attr("href", std::string(ui::tf_plot::STYLE_URL)),
                    component(frame, "frame"));
}

// A measured trace of a synthetic loudspeaker.
Trace speaker_trace(std::string name, std::string source, std::string position, tf_plot_test::Speaker sp,
                    unsigned seed) {
    const auto pts = tf_plot_test::response(sp, 40, seed);
    std::vector<engine::tf::Triple> bins;
    for (const auto& p : pts) {
        const auto c = std::polar(std::pow(10.0f, p.db / 20.0f), p.deg * static_cast<float>(M_PI) / 180.0f);
        bins.push_back(engine::tf::Triple{c.real(), c.imag(), p.conf});
    }
    Trace t = Trace::make(std::move(name), 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    return t;
}

class FrameGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        home_ = test_support::scratch("frame_gui", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        xdg_.emplace("XDG_DATA_HOME", home_.c_str());
        Settings settings;
        settings.dark_mode = false;
        settings.ui_size = engine::settings::UiSize::Normal;
        state_.emplace(make_state(settings, std::make_shared<WindowHost>(),
                                  AutosaveHooks{.autosave = [](Session, std::optional<Path>) {},
                                                .remove_autosave = [] {},
                                                .remove_kept_autosave = [] {}}));
        STATE = &*state_;
        fill_project();

        loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Veltrum";
        c.width = 1280;
        c.height = 800;
        std::string head = "<style>@font-face { font-family: 'Inter'; src: url('" +
                           shared_ui::app_styles::INTER_FONT.url() +
                           "') format('woff2'); font-weight: 100 900; }</style>\n";
        for (const auto& css : shared_ui::app_styles::ALL_CSS)
            head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", css.url());
        head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", shell::APP_CSS.url());
        c.head = head;
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return harness_root(); }));
        gtk_window_move(window->gtk_window(), 0, 0);
        ASSERT_TRUE(run_until([&] { return window->rendered() && window->pending_batches() == 0; }));
        ASSERT_TRUE(run_until([&] { return js_bool("return !!document.getElementById('tf-plot');"); }));
        pump_for(300ms);
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        STATE = nullptr;
    }

    WindowState& s() { return *state_; }

    void fill_project() {
        s().sources.set({"Main L", "Main R", "Sub", "Front fill"});
        tf_plot_test::Speaker main, right, sub, fill;
        main.reflections = right.reflections = sub.reflections = fill.reflections = false;
        right.level_db = -7.5, right.delay_ms = 0.6;
        sub.level_db = -4, sub.hp_hz = 25, sub.lp_hz = 110, sub.tilt_db = 0;
        fill.level_db = -14, fill.hp_hz = 120, fill.delay_ms = 1.4;
        std::vector<Trace> traces{speaker_trace("Main L", "Main L", "FOH", main, 1),
                                  speaker_trace("Main R", "Main R", "FOH", right, 2),
                                  speaker_trace("Sub", "Sub", "FOH", sub, 3),
                                  speaker_trace("Main L", "Main L", "Row 12", main, 4),
                                  speaker_trace("Front fill", "Front fill", "Row 1", fill, 5)};
        s().traces.set(traces);
        s().position.set("FOH");
        s().design.update([](engine::design::Design& d) {
            for (const char* n : {"Main L", "Main R", "Sub"}) d.source_mut(n);
        });
        main.reflections = true;
        live_ = speaker_trace("live", "Main L", "FOH", main, 9);
    }

    // The running measurement as the refresh loop would show it, and its curves.
    void running() {
        auto snap = engine::analyzer::Snapshot::of_trace(live_);
        snap.label.clear();
        snap.status = "Running, 64 averages, coherence 0.93";
        snap.running = true;
        snap.sample_rate = 48000;
        snap.delay = 1632;
        snap.mic_db = -23.6f;
        snap.ref_db = -14.2f;
        snap.arrivals = tf_plot_test::room_arrivals();
        s().snapshot.set(snap);
        draw(snap);
    }
    void draw(const engine::analyzer::Snapshot& snap) {
        std::vector<std::vector<float>> reflections(s().traces.peek().size(), std::vector<float>(240, 0.0f));
        auto in = plot_inputs(s(), true, &snap, std::nullopt, reflections);
        auto paths = ui::tf_plot::build_paths(in);
        paths.updates.push_back({"tf-plot", ui::tf_plot::ATTR_IR_MS, "40"});
        ASSERT_TRUE(run_until([&] { return send_plot_update(s().plot_channel.peek(), paths.updates).has_value(); }));
        ASSERT_TRUE(run_until([&] { return js_bool("const e = document.getElementById('tf-mag');"
                                                   " return !!e && (e.getAttribute('d') || '').length > 0;"); }));
        pump_for(200ms);
    }

    base::Result<json> js(const std::string& body) { return webview_host::testing::evaluate_and_wait(*window, body, 5s); }
    bool js_bool(const std::string& body) {
        auto r = js(body);
        return r && r->is_boolean() && r->get<bool>();
    }
    // The centre of the n-th element matching `sel`, in screen coordinates.
    std::optional<std::pair<int, int>> centre(const std::string& sel, int n = 0) {
        auto r = js(fmt::format("const e = document.querySelectorAll(\"{}\")[{}]; if (!e) return null;"
                                " const b = e.getBoundingClientRect(); return [b.left + b.width / 2, b.top + b.height / 2];",
                                sel, n));
        if (!r || !r->is_array()) return std::nullopt;
        return webview_host::testing::screen_point(*window, (*r)[0].get<double>(), (*r)[1].get<double>());
    }
    void xclick(std::pair<int, int> at, int button) {
        gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
        pump_for(30ms);
        const auto cmd = fmt::format("xdotool mousemove {} {} click {}", at.first, at.second, button);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        pump_for(300ms);
    }
    void screenshot(const std::string& name) {
        const auto done = webview_host::testing::save_snapshot(*window, fs::path(VELTRUM_ARTIFACT_DIR) / "main_window" / (name + ".png"));
        ASSERT_TRUE(done) << done.error();
    }
    void set_dark(bool on) {
        s().settings.set(&Settings::dark_mode, on);
        ASSERT_TRUE(run_until([&] { return js_bool(fmt::format("return document.body.classList.contains('{}');",
                                                               on ? "dark" : "light")); }));
        pump_for(200ms);
    }

    fs::path home_;
    std::optional<test_support::Env> xdg_;
    std::optional<WindowState> state_;
    Trace live_;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(FrameGui, DeleteButtonDoesNotViewTheRowAndRightClickOpensTheMenu) {
    // Rows: folder FOH, its three traces, folder Row 12, ...
    const auto del = centre(".vt-sidebar .trace .button:last-child", 1);
    ASSERT_TRUE(del);
    xclick(*del, 1);
    EXPECT_TRUE(run_until([&] { return s().prompt.peek() == Prompt{Prompt::DeleteTrace{1}}; }, 3s));
    EXPECT_EQ(s().viewed_trace.peek(), std::nullopt);
    s().prompt.set(std::nullopt);

    // A click on the row's name views it.
    const auto name = centre(".vt-sidebar .trace .name", 1);
    ASSERT_TRUE(name);
    xclick(*name, 1);
    EXPECT_TRUE(run_until([&] { return s().viewed_trace.peek() == 1u; }, 3s));
    EXPECT_TRUE(run_until([&] {
        return js_bool("return document.querySelectorAll('.vt-sidebar .trace')[1].classList.contains('selected');");
    }, 3s));

    // A right click opens the list menu there; Delete asks for the trace's deletion.
    xclick(*name, 3);
    ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.context-menu-popup');"); }, 3s));
    EXPECT_EQ(s().menu_target.peek(), Prompt{Prompt::RenameTrace{1}});
    EXPECT_TRUE(js_bool("return document.querySelector('.context-menu-popup').textContent === 'RenameDelete';"));
    screenshot("context-menu");
    const auto item = centre(".context-menu-popup .context-menu-item", 1);
    ASSERT_TRUE(item);
    xclick(*item, 1);
    EXPECT_TRUE(run_until([&] { return s().prompt.peek() == Prompt{Prompt::DeleteTrace{1}}; }, 3s));
    EXPECT_TRUE(run_until([&] { return js_bool("return !document.querySelector('.context-menu-popup');"); }, 3s));
    EXPECT_EQ(s().traces.peek().size(), 5u);
}

// In both themes: no button label of the Config tab is cut short (the UI
// size row's "Normal" among them), and the Align tab's "Hz" units stay
// inside their cards.
TEST_F(FrameGui, CardTextsFitTheirCards) {
    for (const bool dark : {false, true}) {
        set_dark(dark);
        const std::string theme = dark ? "dark" : "light";
        s().right_tab.set(0);
        ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.vt-config');"); }));
        pump_for(300ms);
        auto cut = js("return [...document.querySelectorAll('.vt-config .vt-card .button .label')]"
                      ".filter((l) => l.scrollWidth > l.clientWidth + 0.5).map((l) => l.textContent);");
        ASSERT_TRUE(cut) << cut.error();
        EXPECT_EQ(*cut, json::array()) << theme;
        ASSERT_TRUE(js("const r = [...document.querySelectorAll('.vt-config .row')].find((x) =>"
                       " x.textContent.startsWith('UI size')); r.scrollIntoView({block: 'center'}); return true;"));
        pump_for(300ms);
        screenshot("config-ui-size-" + theme);

        s().right_tab.set(1);
        ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.row.xover .unit');"); }));
        pump_for(300ms);
        auto spill = js("return [...document.querySelectorAll('.row.xover .unit')].filter((u) => {"
                        " const card = u.closest('.vt-card').getBoundingClientRect();"
                        " const b = u.getBoundingClientRect(); return b.right > card.right - 1 || b.width < 8; }).length;");
        ASSERT_TRUE(spill) << spill.error();
        EXPECT_EQ(*spill, json(0)) << theme;
        screenshot("align-strips-" + theme);
    }
}

TEST_F(FrameGui, Screenshots) {
    running();
    screenshot("frame-light");
    set_dark(true);
    screenshot("frame-dark");

    // The EQ layout of the sidebar: source cards with the seats of Main L.
    s().current_source_name.set("Main L");
    s().right_tab.set(2);
    ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.vt-sidebar .trace.avg');"); }));
    screenshot("frame-eq-dark");
    set_dark(false);
    screenshot("frame-eq-light");
    s().right_tab.set(0);

    // The Find-delay panel over the frame.
    auto snap = s().snapshot.peek();
    snap.found = 1680;
    snap.find_conf = 14.2f;
    s().snapshot.set(snap);
    s().delay_panel.set(true);
    ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.result');"); }));
    screenshot("find-delay");
    s().delay_panel.set(false);

    // The SPL view: no sidebar, the level cards.
    engine::meter::MeterSnapshot m;
    m.status = "Meter running, 48000 Hz";
    m.running = true;
    m.z_db = -18.2f, m.a_db = -21.4f, m.c_db = -18.9f, m.leq_short_db = -22.0f, m.leq_long_db = -22.6f;
    m.max_z_db = -9.8f, m.max_a_db = -13.1f, m.max_c_db = -10.4f, m.max_leq_short_db = -19.5f,
    m.max_leq_long_db = -21.9f;
    m.leq_secs = 45;
    m.rms_dbfs = -24.3f;
    s().meter_snapshot.set(m);
    s().settings.set(&Settings::spl_leq_long_secs, 600u);
    s().settings.set(&Settings::view, View::Spl);
    ASSERT_TRUE(run_until([&] { return js_bool("return !document.querySelector('.vt-sidebar:not(.right)');"); }));
    const auto rta = ui::tf_plot::rta_paths(ui::tf_plot::Spectrum{tf_plot_test::spectrum(3), -20.0f, 80.0f}, nullptr);
    ASSERT_TRUE(send_plot_update(s().plot_channel.peek(), rta));
    EXPECT_TRUE(run_until([&] { return js_bool("return document.body.textContent.includes('LAeq 10 min \u00b7 45 s so far');"); }));
    screenshot("spl-light");
    set_dark(true);
    screenshot("spl-dark");
}

}  // namespace
}  // namespace ui::main_window

namespace ui::main_window {
namespace {

TEST_F(FrameGui, TabStaysInsideAnOpenDialog) {
    s().dialog.set(Dialog{Dialog::RecoverChanges{}});
    ASSERT_TRUE(run_until([&] { return js_bool("return !!document.querySelector('.alert-card button');"); }));
    gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
    pump_for(100ms);
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(std::system("xdotool key Tab"), 0);
        pump_for(250ms);
        auto r = js("const a = document.activeElement; return (a.closest('.alert-card') ? 'card:' : 'outside:') +"
                    " a.tagName + ':' + a.textContent;");
        seen.push_back(r && r->is_string() ? r->get<std::string>() : "<error>");
    }
    for (const auto& x : seen) EXPECT_TRUE(x.starts_with("card:")) << x;
}

}  // namespace
}  // namespace ui::main_window
