// The strip cards and the EQ tab's cards beside the transfer plot in the
// real web view: a real drag of a band handle moves that band in the card
// and in the EQ curve and autosaves once; screenshots, light and dark.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/tests/support.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/stepper.h"
#include "shell/startup.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/frame/strip_card.h"
#include "ui/main_window/measure/plot_inputs.h"
#include "ui/tf_plot/tf_plot.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/tests/wait.h"
#include "webview-host/window.h"

namespace ui::main_window {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using engine::design::Filter;
using engine::design::FilterKind;
using engine::eqfit::Band;
using engine::eqfit::BandKind;
using webview_host::pump_for;
using webview_host::run_until;

struct Harness {
    std::optional<WindowState> state;
    std::vector<Session> autosaves;
};
Harness* H = nullptr;

// The Align tab's strip cards, the EQ tab's cards and the plot with the EQ
// tab's handles, fed by the window's own plot inputs.
reactive::Element harness_root() {
    const WindowState s = *H->state;
    reactive::provide_context(s);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);
    auto channel = reactive::use_hook<reactive::Eval>([] { return reactive::eval(ui::tf_plot::plot_script()); });
    reactive::use_effect([s, channel] {
        const auto in = plot_inputs(s, false, nullptr, std::nullopt, {});
        (void)channel.send(ui::tf_plot::plot_batch(ui::tf_plot::build_paths(in).updates));
    });
    auto onedit = reactive::use_callback<>([s] { mark_unsaved(s); });
    auto ondrag = reactive::use_callback<std::size_t, float, float>(
        [s](std::size_t i, float hz, float db) { drag_eq_handle(s, i, hz, db); });
    auto onwheel = reactive::use_callback<std::size_t, float>([s](std::size_t i, float d) { wheel_eq_handle(s, i, d); });
    auto ondragend = reactive::use_callback<>([s] { mark_unsaved(s); });

    std::vector<reactive::Element> strips;
    for (const auto& n : s.sources())
        strips.push_back(reactive::component(strip_card,
                                             StripCardProps{.name = n,
                                                            .source = source_or_new(s, n),
                                                            .can_align = s.sources().size() >= 2,
                                                            .design = s.design,
                                                            .onedit = onedit,
                                                            .onalign = {}},
                                             "strip_card"));
    ui::tf_plot::TfPlotProps plot{.show_ir = false, .show_coh = false};
    plot.predicted = true;
    plot.handles = eq_handles(s);
    plot.ondrag = ondrag;
    plot.onwheel = onwheel;
    plot.ondragend = ondragend;
    return reactive::div().cls("harness")(
        reactive::div().cls("plot")(reactive::component(ui::tf_plot::tf_plot, plot, "tf_plot")),
        reactive::div().cls("vt-sidebar right align-column")(std::move(strips)),
        reactive::div().cls("vt-sidebar right eq-column")(
            reactive::div().cls("vt-card")(reactive::div().cls("folder static")(reactive::span().cls("name")("Fit")),
                                           reactive::component(zone_row, "zone_row")),
            reactive::component(eq_card, "eq_card"), reactive::component(shaping_card, "shaping_card")),
        reactive::component(shared_ui::components::dropdown::global_dropdown, "global_dropdown"));
}

// Two sources; the main one with a crossover, its own bands, shaping and
// two seat zones, the second ("Balcony") picked.
engine::design::Design fixture_design() {
    auto main = engine::design::Source::make("Main L");
    main.gain_db = -2.5f;
    main.delay_ms = 1.2f;
    main.hp = Filter{.on = true, .kind = FilterKind::Butterworth, .slope_db = 12, .hz = 80.0f};
    main.q_as = engine::design::QConv::Wing;
    main.bands[1] = Band{180.0f, -4.5f, 1.6f, true, BandKind::Peak};
    main.bands[3] = Band{1300.0f, 2.0f, 2.5f, true, BandKind::Peak};
    main.shaping.on = true;
    main.shaping.gain_db = {1.5f, 0.0f, -1.0f, 2.0f, 0.0f};
    main.zones = {
        engine::design::Zone{.position = "Front", .bands = {Band{400.0f, -2.0f, 2.0f, true, BandKind::Peak}}},
        engine::design::Zone{.position = "Balcony",
                             .bands = {Band{250.0f, -3.0f, 1.4f, true, BandKind::Peak},
                                       Band{2500.0f, 2.0f, 2.0f, true, BandKind::Peak},
                                       Band{8000.0f, 3.0f, 0.70710677f, false, BandKind::HighShelf}}},
    };
    auto sub = engine::design::Source::make("Sub");
    sub.gain_db = 3.0f;
    sub.delay_ms = 4.5f;
    sub.invert = true;
    sub.lp = Filter{.on = true, .kind = FilterKind::LinkwitzRiley, .slope_db = 24, .hz = 100.0f};
    return engine::design::Design{{main, sub}};
}

class EqGuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        H = &harness;
        AutosaveHooks files{.autosave = [](Session s, std::optional<Path>) { H->autosaves.push_back(std::move(s)); },
                            .remove_autosave = [] {},
                            .remove_kept_autosave = [] {}};
        harness.state.emplace(make_state(Settings{}, std::make_shared<WindowHost>(), files));
        auto& s = *harness.state;
        s.sources.set({"Main L", "Sub"});
        s.current_source_name.set("Main L");
        s.design.set(fixture_design());
        s.picked_zone.set(1);
        s.right_tab.set(2);

        loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "EQ";
        c.width = 1280;
        c.height = 800;
        c.head = fmt::format(
            "<style>@font-face {{ font-family: 'Inter'; src: url('{}') format('woff2'); font-weight: 100 900; }}</style>\n",
            shared_ui::app_styles::INTER_FONT.url());
        for (const auto& css : shared_ui::app_styles::ALL_CSS)
            c.head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", css.url());
        c.head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", ui::tf_plot::STYLE_URL);
        c.head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", shell::APP_CSS.url());
        c.head +=
            "<style>.harness { display: flex; height: 100%; } .harness > .plot { flex: 1; min-width: 0; position: relative; }"
            " .harness > .vt-sidebar { width: 320px; flex: 0 0 320px; overflow-y: auto; }</style>\n";
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return harness_root(); }));
        gtk_window_move(window->gtk_window(), 0, 0);
        ASSERT_TRUE(run_until([&] { return window->rendered() && window->pending_batches() == 0; }));
        ASSERT_TRUE(run_until([&] { return !attr_of("tf-eq-curve", "d").empty(); }, 10s));
        pump_for(300ms);
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        harness.state.reset();
        H = nullptr;
    }

    base::Result<json> js(const std::string& body) { return webview_host::testing::evaluate_and_wait(*window, body, 5s); }
    std::string attr_of(const std::string& id, const std::string& a) {
        auto r = js(fmt::format("const e = document.getElementById('{}'); return e ? (e.getAttribute('{}') || '') : '';",
                                id, a));
        return r && r->is_string() ? r->get<std::string>() : std::string();
    }
    // The values of the number fields of band row j of the EQ card.
    std::vector<std::string> band_fields(std::size_t j) {
        auto r = js(fmt::format("const r = document.querySelectorAll('.vt-card.eq .band:not(.head)')[{}];"
                                " return r ? Array.from(r.querySelectorAll('input')).map((i) => i.value) : [];",
                                j));
        return r && r->is_array() ? r->get<std::vector<std::string>>() : std::vector<std::string>{};
    }
    std::pair<int, int> screen(double x, double y) {
        return webview_host::testing::screen_point(*window, x, y);
    }
    void xdotool(const std::string& args) { ASSERT_TRUE(webview_host::testing::send_x_input(*window, args)) << args; }
    void screenshot(const std::string& name) {
        const auto done = webview_host::testing::save_snapshot(
            *window, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / "strip_eq" / (name + ".png"), 0ms);
        ASSERT_TRUE(done) << done.error();
    }
    const engine::design::Source& main_source() { return harness.state->design.peek().sources.at(0); }

    Harness harness;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(EqGuiTest, RealDragOfABandHandleMovesTheZoneBand) {
    const auto& s = *harness.state;
    ASSERT_EQ(band_fields(1), (std::vector<std::string>{"2500", "2", "2.5"}));  // Wing: q 2 shows 2.5
    const std::string curve_before = attr_of("tf-eq-curve", "d");
    auto area = js("const r = document.querySelector('.tf-handles').getBoundingClientRect();"
                   "const h = document.querySelectorAll('.tf-handle')[1].getBoundingClientRect();"
                   "return [r.x, r.y, r.width, r.height, h.x + h.width / 2, h.y + h.height / 2,"
                   " document.querySelectorAll('.tf-handle').length];");
    ASSERT_TRUE(area && area->is_array() && area->size() == 7) << (area ? area->dump() : area.error());
    const auto a = area->get<std::vector<double>>();
    EXPECT_EQ(a[6], 3);  // the Balcony zone's three bands
    const auto [hx, hy] = screen(a[4], a[5]);
    xdotool(fmt::format("mousemove {} {} mousedown 1", hx, hy));
    const auto [mx, my] = screen(a[0] + 0.5 * a[2], a[1] + 0.5 * a[3]);
    xdotool(fmt::format("mousemove {} {}", mx, my));
    const double cx = std::round(a[0] + 0.35 * a[2]), cy = std::round(a[1] + 0.3 * a[3]);
    const auto [tx, ty] = screen(cx, cy);
    xdotool(fmt::format("mousemove {} {}", tx, ty));
    EXPECT_TRUE(H->autosaves.empty());  // not before the release
    xdotool("mouseup 1");
    ASSERT_TRUE(run_until([&] { return !H->autosaves.empty(); }, 5s));
    pump_for(200ms);
    EXPECT_EQ(H->autosaves.size(), 1u);
    EXPECT_TRUE(s.unsaved.peek());

    auto [hz, db] = ui::tf_plot::drag_value(cx, cy, a[0], a[1], a[2], a[3]);
    Band want{hz, db, 2.0f, true, BandKind::Peak};
    limit_band(want);
    const Band& got = main_source().zones[1].bands[1];
    EXPECT_EQ(got, want);
    EXPECT_LT(got.hz, 2000.0f);
    EXPECT_GT(got.gain_db, 2.0f);
    // Only that band moved; the source's own bands stayed.
    EXPECT_EQ(main_source().zones[1].bands[0].hz, 250.0f);
    EXPECT_EQ(main_source().bands, fixture_design().sources[0].bands);
    EXPECT_EQ(H->autosaves[0].design, s.design.peek());

    // The card and the EQ curve show it.
    using shared_ui::components::stepper::display_text;
    ASSERT_TRUE(run_until([&] { return band_fields(1).size() == 3 && band_fields(1)[0] != "2500"; }, 5s));
    EXPECT_EQ(band_fields(1), (std::vector<std::string>{display_text(got.hz, 1, false), display_text(got.gain_db, 1, false),
                                                         "2.5"}));
    EXPECT_NE(attr_of("tf-eq-curve", "d"), curve_before);
    EXPECT_FALSE(attr_of("tf-eq-curve", "d").empty());

    // The band that is off: the drag switches it on and goes on to the release.
    auto off = js("const h = document.querySelectorAll('.tf-handle')[2]; const r = h.getBoundingClientRect();"
                  "return [r.x + r.width / 2, r.y + r.height / 2, h.classList.contains('off') ? 1 : 0];");
    ASSERT_TRUE(off && off->is_array()) << (off ? off->dump() : off.error());
    const auto o = off->get<std::vector<double>>();
    EXPECT_EQ(o[2], 1);
    const auto [ox, oy] = screen(o[0], o[1]);
    xdotool(fmt::format("mousemove {} {} mousedown 1", ox, oy));
    const auto [px, py] = screen(o[0] - 30, o[1] + 20);
    xdotool(fmt::format("mousemove {} {}", px, py));
    const double ex = std::round(a[0] + 0.8 * a[2]), ey = std::round(a[1] + 0.6 * a[3]);
    const auto [qx, qy] = screen(ex, ey);
    xdotool(fmt::format("mousemove {} {}", qx, qy));
    xdotool("mouseup 1");
    ASSERT_TRUE(run_until([&] { return H->autosaves.size() == 2; }, 5s));
    std::tie(hz, db) = ui::tf_plot::drag_value(ex, ey, a[0], a[1], a[2], a[3]);
    const Band& shelf = main_source().zones[1].bands[2];
    EXPECT_TRUE(shelf.on);
    EXPECT_EQ(shelf.hz, hz);
    EXPECT_EQ(shelf.gain_db, db);
    EXPECT_EQ(shelf.kind, BandKind::HighShelf);
}

// A real press on a row of a card (not on its header) selects the card, and
// the plot's handles follow.
TEST_F(EqGuiTest, APressInACardSelectsItAndTheHandlesFollow) {
    const auto& s = *harness.state;
    const auto handles = [&] {
        auto r = js("return document.querySelectorAll('.tf-handle').length;");
        return r && r->is_number() ? r->get<int>() : -1;
    };
    const auto press_label = [&](const std::string& card, const std::string& label) {
        auto at = js(fmt::format("const l = [...document.querySelectorAll('.vt-card.{} .row > .label')]"
                                 ".find((x) => x.textContent === '{}'); const b = l.getBoundingClientRect();"
                                 " return [b.x + b.width / 2, b.y + b.height / 2];",
                                 card, label));
        ASSERT_TRUE(at && at->is_array()) << (at ? at->dump() : at.error());
        const auto [x, y] = screen((*at)[0].get<double>(), (*at)[1].get<double>());
        xdotool(fmt::format("mousemove {} {} click 1", x, y));
    };
    ASSERT_EQ(handles(), 3);  // the Balcony zone's bands
    press_label("shaping", "Model");
    ASSERT_TRUE(run_until([&] { return s.shaping_selected.peek() && handles() == 4 + 3; }, 5s)) << handles();
    press_label("eq", "Bands");
    ASSERT_TRUE(run_until([&] { return !s.shaping_selected.peek() && handles() == 3; }, 5s)) << handles();
}

TEST_F(EqGuiTest, Screenshots) {
    for (const char* theme : {"light", "dark"}) {
        ASSERT_TRUE(js(fmt::format("document.body.className = '{}'; return true;", theme)));
        pump_for(300ms);
        screenshot(fmt::format("strip-eq-{}", theme));
        harness.state->shaping_selected.set(true);
        pump_for(300ms);
        screenshot(fmt::format("shaping-{}", theme));
        harness.state->shaping_selected.set(false);
    }
}

}  // namespace
}  // namespace ui::main_window
