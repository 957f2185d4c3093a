// The plots in the real web view: the page script applies batches, draws
// spectrogram rows and drives the readout; a real drag on a handle and the
// wheel reach the callbacks; screenshots of both views, light and dark.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "ui/tf_plot/tests/synthetic.h"
#include "ui/tf_plot/tf_plot.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/window.h"
#include "webview-host/tests/wait.h"

namespace {

using nlohmann::json;
using namespace reactive;
using namespace ui::tf_plot;
using namespace std::chrono_literals;
using webview_host::pump_for;
using webview_host::run_until;

// What the test drives and reads (one harness at a time).
struct Harness {
    Signal<int> view{0};  // 0 transfer plot, 1 SPL view
    Signal<TfPlotProps> plot;
    Signal<SplViewProps> spl;
    Eval channel;
    std::vector<std::string> calls;
};
Harness* H = nullptr;

Element harness_root() {
    H->channel = use_hook<Eval>([] { return eval(plot_script()); });
    return div().cls("harness")(H->view() == 0 ? component(tf_plot, H->plot(), "tf_plot")
                                               : component(spl_view, H->spl(), "spl_view"));
}

TfPlotProps full_plot() {
    TfPlotProps p;
    p.onmousedown = [](MouseEvent e) { H->calls.push_back(fmt::format("plot mousedown {}", e.button)); };
    p.show_rta = true;
    p.show_fill = true;
    p.live = true;
    p.harmonics = {{2, -43.0f}, {3, -51.0f}};
    p.shade_below_hz = 30.0f;
    p.arrivals = tf_plot_test::room_arrivals();
    p.ir_ms = 40;
    p.stored = {{0, 1}, {1, 2}};
    p.xovers = {0, 3};
    p.handles = {{.hz = 120, .db = -4, .label = "1", .cls = "band", .title = "Band 1"},
                 {.hz = 1000, .db = 0, .label = "2", .cls = "band", .title = "Band 2"},
                 {.hz = 2500, .db = 2.5f, .label = "3", .cls = "band", .title = "Band 3"},
                 {.hz = 0, .db = 3, .label = "", .cls = "gain", .title = "Low shelf gain", .kind = HandleKind::range(20, 90)},
                 {.hz = 90, .db = 0, .label = "", .cls = "knee", .title = "Knee", .kind = HandleKind::line()}};
    p.ondrag = [](std::size_t i, float hz, float db) { H->calls.push_back(fmt::format("drag {} {} {}", i, hz, db)); };
    p.onwheel = [](std::size_t i, float d) { H->calls.push_back(fmt::format("wheel {} {}", i, d)); };
    p.ondragend = [] { H->calls.push_back("dragend"); };
    return p;
}

// The inputs drawn in the transfer view at pass k.
PathInputs view_inputs(unsigned k) {
    PathInputs in;
    tf_plot_test::Speaker sp;
    in.live = tf_plot_test::response(sp, k);
    for (std::size_t i = 0; i < 10; ++i) in.octave_conf[i] = std::min(1.0f, 0.55f + 0.06f * static_cast<float>(i % 7));
    in.ir = tf_plot_test::impulse(40, k);
    in.threshold = 0.5f;
    tf_plot_test::Speaker a = sp, b = sp;
    a.level_db = -9, a.hp_hz = 80, a.delay_ms = 0.8;
    b.level_db = -4, b.lp_hz = 9000, b.reflections = false;
    in.stored = {{tf_plot_test::response(a, 77, 3), 0, 0.5f}, {tf_plot_test::response(b, 78, 4), 1, 0.5f}};
    in.eq_curve = tf_plot_test::curve([](double f) {
        return tf_plot_test::bell(f, 120, -4, 0.6) + tf_plot_test::bell(f, 2500, 2.5, 1.0);
    });
    in.crossovers = {{0, tf_plot_test::curve([](double f) { return -10 * std::log10(1 + std::pow(f / 90, 4)); })},
                     {1, tf_plot_test::curve([](double f) { return -10 * std::log10(1 + std::pow(90 / f, 4)); })}};
    std::array<ui::tf_plot::Point, 240> target;
    const auto t = tf_plot_test::curve([](double f) { return f < 100 ? 3 * std::log2(100 / f) : -0.5 * std::log2(f / 100); });
    std::copy(t.begin(), t.end(), target.begin());
    in.target = target;
    in.smoothing = 12;
    in.rta = std::pair{tf_plot_test::spectrum(k), 0.0f};
    in.arrivals = tf_plot_test::room_arrivals();
    return in;
}

class PlotPageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        H = &harness;
        harness.plot.set(full_plot());
        harness.spl.set(SplViewProps{.levels = {94.3f, 91.2f, 93.8f, 90.4f, 89.7f, 103.1f, 99.4f, 101.9f, 92.0f, 91.1f},
                                     .leq_short_label = "LAeq 1 min",
                                     .leq_long_label = "LAeq 15 min",
                                     .unit = "dB SPL",
                                     .range_top_db = 120,
                                     .range_bottom_db = 20});
        loop = std::make_unique<webview_host::GtkLoop>();
        webview_host::WindowConfig c;
        c.title = "Plot";
        c.width = 1280;
        c.height = 800;
        c.head = fmt::format(
            "<link rel=\"stylesheet\" href=\"{}\">\n"
            "<style>html, body {{ margin: 0; height: 100%; overflow: hidden; }} #root, .harness {{ height: 100%; }}"
            " body.dark {{ background: #14171c; }}</style>\n",
            STYLE_URL);
        c.assets = {{std::string(ASSET_PREFIX), VELTRUM_TF_PLOT_ASSETS}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return harness_root(); }));
        gtk_window_move(window->gtk_window(), 0, 0);
        ASSERT_TRUE(run_until([&] { return window->rendered() && window->pending_batches() == 0; }));
        // The script is running once it has loaded its module.
        ASSERT_TRUE(run_until([&] { return js_bool("return !!document.getElementById('tf-plot');"); }));
        pump_for(200ms);
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        H = nullptr;
    }

    base::Result<json> js(const std::string& body) {
        return webview_host::testing::evaluate_and_wait(*window, body, 5s);
    }
    bool js_bool(const std::string& body) {
        auto r = js(body);
        return r && r->is_boolean() && r->get<bool>();
    }
    std::string attr(const std::string& id, const std::string& a) {
        auto r = js(fmt::format("const e = document.getElementById('{}'); const v = e && e.getAttribute('{}');"
                                " return v === null ? '<none>' : v;",
                                id, a));
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }
    // Sends a batch and waits until the page shows its last item.
    void send(const std::vector<PlotUpdate>& batch) {
        ASSERT_TRUE(H->channel.send(plot_batch(batch)));
        const PlotUpdate* last = nullptr;
        for (const auto& u : batch)
            if (u.attr != ATTR_ROW) last = &u;
        if (last) {
            ASSERT_TRUE(run_until([&] { return attr(last->id, std::string(last->attr)) == last->value; }, 5s))
                << last->id;
        }
        pump_for(30ms);
    }
    std::vector<int> pixel(int x, int y) {
        auto r = js(fmt::format("const c = document.getElementById('tf-spectrogram');"
                                " return Array.from(c.getContext('2d').getImageData({}, {}, 1, 1).data);",
                                x, y));
        return r && r->is_array() ? r->get<std::vector<int>>() : std::vector<int>{};
    }
    // Dispatches a mousemove at relative position (fx, fy) of the first
    // element matching `sel`; returns the readout states of every panel.
    json move(const std::string& sel, double fx, double fy = 0.5) {
        auto r = js(fmt::format(R"JS(
const el = document.querySelector("{}");
const r = el.getBoundingClientRect();
el.dispatchEvent(new MouseEvent("mousemove", {{ clientX: r.left + {} * r.width, clientY: r.top + {} * r.height, bubbles: true }}));
const out = {{}};
for (const p of document.querySelectorAll(".tf-panel")) {{
  const k = p.className.replace("tf-panel ", "");
  const q = (c) => p.querySelector(c);
  out[k] = {{ cursor: q(".tf-cursor").className, readout: q(".tf-readout").className, text: q(".tf-readout").textContent,
             ball: q(".tf-ball") ? q(".tf-ball").className : "" }};
}}
return out;)JS",
                                sel, fx, fy));
        return r ? *r : json();
    }
    // Screen position of client point (x, y) of the page.
    std::pair<int, int> screen(double x, double y) {
        return webview_host::testing::screen_point(*window, x, y);
    }
    void xdotool(const std::string& args) { ASSERT_TRUE(webview_host::testing::send_x_input(*window, args)) << args; }
    void screenshot(const std::string& name) {
        const auto done = webview_host::testing::save_snapshot(
            *window, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / "tf_plot" / (name + ".png"), 0ms);
        ASSERT_TRUE(done) << done.error();
    }

    Harness harness;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(PlotPageTest, BatchesReachTheElements) {
    auto paths = build_paths(view_inputs(1));
    paths.updates.push_back({"tf-plot", ATTR_IR_MS, "40"});
    send(paths.updates);
    for (const char* id : {"tf-mag", "tf-phase", "tf-coh", "tf-ir", "tf-stored-mag-1", "tf-xover-1", "tf-target", "tf-rta"}) {
        const PlotUpdate* u = nullptr;
        for (const auto& x : paths.updates)
            if (x.id == id) u = &x;
        ASSERT_TRUE(u) << id;
        EXPECT_EQ(attr(id, "d"), u->value) << id;
    }
    EXPECT_EQ(attr("tf-fill-0", "style"), paths.updates[paths.updates.size() - 13].value);
    // An element that is not in the page is skipped; later items still apply.
    send({{"tf-nowhere", ATTR_D, "M0 0"}, {"tf-spectrogram", ATTR_ROW, "1|-100.0|0.0|0.1|-50"}, {"tf-mag", ATTR_D, "M0 1L2 3"},
          {"tf-mag", ATTR_D, "M0 5L6 7"}});
    EXPECT_EQ(attr("tf-mag", "d"), "M0 5L6 7");
}

TEST_F(PlotPageTest, HeldValuesAreSkippedAndReachAPanelRenderedAgain) {
    send({{"tf-mag", ATTR_D, "M0 500L1000 500"}});
    // An update equal to the value the page holds changes nothing; the others apply.
    auto changed = js(fmt::format("const plot = await import(\"{}\");"
                                  " return plot.applyBatch([['tf-mag', 'd', 'M0 500L1000 500'], ['tf-phase', 'd', 'M1 2']],"
                                  " () => {{}});",
                                  SCRIPT_URL));
    ASSERT_TRUE(changed);
    EXPECT_EQ(*changed, 1);
    EXPECT_EQ(attr("tf-phase", "d"), "M1 2");
    // A panel switched off and on is rendered afresh: it gets the held path at
    // once, without another batch.
    auto off = full_plot();
    off.show_mag = false;
    harness.plot.set(off);
    ASSERT_TRUE(run_until([&] { return attr("tf-mag", "d") == "<none>"; }));
    harness.plot.set(full_plot());
    EXPECT_TRUE(run_until([&] { return attr("tf-mag", "d") == "M0 500L1000 500"; })) << attr("tf-mag", "d");
}

TEST_F(PlotPageTest, FailedItemsAreReportedOnceAndSkipped) {
    ASSERT_TRUE(js("window.__errs = []; const o = console.error;"
                   " console.error = (...a) => { window.__errs.push(a.map(String).join(' ')); o(...a); }; return true;"));
    // Rows drawn on an element that is no canvas fail; the items around them apply.
    send({{"tf-nowhere", ATTR_D, "M0 0"}, {"tf-plot", ATTR_ROW, "5|-100.0|0.0|0.1|-50,-40"}, {"tf-mag", ATTR_D, "M1 1"},
          {"tf-fill-0", ATTR_ROW, "6|-100.0|0.0|0.1|-50,-40"}, {"tf-phase", ATTR_D, "M2 2"}});
    EXPECT_EQ(attr("tf-mag", "d"), "M1 1");
    auto errs = js("return window.__errs;");
    ASSERT_TRUE(errs && errs->is_array());
    ASSERT_EQ(errs->size(), 1u) << errs->dump();
    EXPECT_TRUE((*errs)[0].get<std::string>().starts_with("plot update failed tf-plot ")) << errs->dump();
}

TEST_F(PlotPageTest, ReadoutFollowsThePointer) {
    auto paths = build_paths(view_inputs(2));
    paths.updates.push_back({"tf-plot", ATTR_IR_MS, ""});
    send(paths.updates);
    std::string pts, ir;
    for (const auto& u : paths.updates) {
        if (u.attr == ATTR_PTS) pts = u.value;
        if (u.attr == ATTR_IR) ir = u.value;
    }
    const std::string first = pts.substr(0, pts.find(';'));
    std::vector<std::string> f;
    for (std::size_t a = 0, b; a <= first.size(); a = b + 1) {
        b = first.find(',', a);
        if (b == std::string::npos) b = first.size();
        f.push_back(first.substr(a, b - a));
    }
    ASSERT_EQ(f.size(), 6u);

    auto s = move(".tf-panel.mag", 0.0);
    EXPECT_EQ(s["mag"]["text"], "20 Hz  " + f[0] + " dB  " + f[1] + "\u00b0  coh " + f[2]);
    EXPECT_EQ(s["mag"]["readout"], "tf-readout on");
    for (const char* k : {"coh", "rta", "mag", "phase"}) EXPECT_EQ(s[k]["cursor"], "tf-cursor on") << k;
    for (const char* k : {"coh", "mag", "phase"}) EXPECT_EQ(s[k]["ball"], "tf-ball on") << k;
    EXPECT_EQ(s["rta"]["ball"], "tf-ball");  // the spectrum ball follows the spectrum panels only
    EXPECT_EQ(s["phase"]["readout"], "tf-readout");
    EXPECT_EQ(s["ir"]["cursor"], "tf-cursor");
    s = move(".tf-panel.rta", 0.5);
    EXPECT_EQ(s["rta"]["ball"], "tf-ball on");
    EXPECT_EQ(s["rta"]["text"].get<std::string>().substr(0, 8), "632 Hz  ");

    s = move(".tf-panel.phase", 0.51);
    EXPECT_EQ(s["phase"]["readout"], "tf-readout on flip");

    // The impulse-response panel has its own cursor; the default span applies.
    s = move(".tf-panel.ir", 0.0);
    EXPECT_EQ(s["ir"]["text"], "-2.0 ms  " + ir.substr(0, ir.find(',')) + " dB");
    EXPECT_EQ(s["ir"]["cursor"], "tf-cursor on");
    EXPECT_EQ(s["mag"]["cursor"], "tf-cursor");
    s = move(".tf-panel.ir", 1.0);
    EXPECT_EQ(s["ir"]["text"], "40.0 ms  " + ir.substr(ir.rfind(',') + 1) + " dB");

    // Fewer than two entries: no text and no balls, but the cursor line.
    send({{"tf-plot", ATTR_PTS, ""}});
    s = move(".tf-panel.mag", 0.3);
    EXPECT_EQ(s["mag"]["readout"], "tf-readout");
    EXPECT_EQ(s["mag"]["ball"], "tf-ball");
    EXPECT_EQ(s["mag"]["cursor"], "tf-cursor on");
    // Leaving the window hides everything.
    const std::string shown = "return document.querySelectorAll('.tf-cursor.on, .tf-readout.on, .tf-ball.on').length;";
    ASSERT_TRUE(js("window.dispatchEvent(new Event('blur')); return true;"));
    EXPECT_EQ(js(shown).value_or(json(-1)), 0);
    move(".tf-panel.mag", 0.3);
    EXPECT_GT(js(shown).value_or(json(-1)), 0);
    ASSERT_TRUE(js("document.dispatchEvent(new MouseEvent('mouseout', { relatedTarget: null })); return true;"));
    EXPECT_EQ(js(shown).value_or(json(-1)), 0);
}

TEST_F(PlotPageTest, SpectrogramRows) {
    harness.view.set(1);
    ASSERT_TRUE(run_until([&] { return attr("tf-spectrogram", "width") == "960"; }));
    // -50 dB in -100 .. 0: half-way, between stops 3 and 4.
    send({{"tf-spectrogram", ATTR_ROW, "1|-100.0|0.0|0.0853|-50.0,-50.0,-50.0"}, {"tf-rta", ATTR_D, "M0 0"}});
    EXPECT_EQ(pixel(480, 0), (std::vector<int>{0, 185, 155, 255}));
    EXPECT_EQ(attr("tf-spectrogram", "data-tag"), "1");
    EXPECT_EQ(attr("tf-spectrogram", "data-row-secs"), "0.0853");
    EXPECT_EQ(attr("tf-spectrogram", "data-row"), "<none>");
    // The same tag again, and a row without levels: nothing drawn.
    send({{"tf-spectrogram", ATTR_ROW, "1|-100.0|0.0|0.0853|10.0,10.0"}, {"tf-spectrogram", ATTR_ROW, "2|-100.0|0.0|0.1|"},
          {"tf-spectrogram", ATTR_ROW, "2|x|0.0|0.1|-20"}, {"tf-rta", ATTR_D, "M0 1"}});
    EXPECT_EQ(pixel(480, 0), (std::vector<int>{0, 185, 155, 255}));
    EXPECT_EQ(pixel(480, 1), (std::vector<int>{0, 0, 0, 0}));
    // A new tag: one row more; above the top is white, below the bottom the floor colour.
    send({{"tf-spectrogram", ATTR_ROW, "2|-100.0|0.0|0.1|10.0,-200.0"}, {"tf-rta", ATTR_D, "M0 2"}});
    EXPECT_EQ(pixel(0, 0), (std::vector<int>{255, 255, 255, 255}));
    EXPECT_EQ(pixel(959, 0), (std::vector<int>{0, 0, 24, 255}));
    EXPECT_EQ(pixel(480, 1), (std::vector<int>{0, 185, 155, 255}));
    EXPECT_EQ(pixel(480, 2), (std::vector<int>{0, 0, 0, 0}));
    // A single level paints the floor colour.
    send({{"tf-spectrogram", ATTR_ROW, "3|-100.0|0.0|0.1|-10.0"}, {"tf-rta", ATTR_D, "M0 3"}});
    EXPECT_EQ(pixel(300, 0), (std::vector<int>{0, 0, 24, 255}));
    // The readout reads the rows back.
    auto s = move(".tf-panel.spectrogram canvas", 0.5, 0.0);
    EXPECT_EQ(s["spectrogram"]["text"].get<std::string>().substr(0, 10), "632 Hz  -1");
    EXPECT_NE(s["spectrogram"]["text"].get<std::string>().find("dB  0.0 s ago"), std::string::npos)
        << s["spectrogram"]["text"];
}

TEST_F(PlotPageTest, SpectrogramRowsPastTheCanvasHeight) {
    harness.view.set(1);
    ASSERT_TRUE(run_until([&] { return attr("tf-spectrogram", "height") == "512"; }));
    // 515 rows, more than the canvas's 512 pixel rows: all at -50 dB except
    // row 4 (above the top: white) and the last (below the bottom: floor).
    const auto row = [](int tag, const char* level) {
        return PlotUpdate{"tf-spectrogram", ATTR_ROW, fmt::format("{0}|-100.0|0.0|0.0853|{1},{1}", tag, level)};
    };
    std::vector<PlotUpdate> batch;
    for (int k = 1; k <= 515; ++k) batch.push_back(row(k, k == 4 ? "10.0" : k == 515 ? "-200.0" : "-50.0"));
    batch.push_back({"tf-rta", ATTR_D, "M0 7"});
    send(batch);
    const std::vector<int> mid{0, 185, 155, 255}, white{255, 255, 255, 255}, floor{0, 0, 24, 255};
    // Newest at the top; the first three rows have dropped out at the bottom.
    const std::vector<std::pair<int, std::vector<int>>> rows{{0, floor}, {1, mid}, {300, mid}, {510, mid}, {511, white}};
    for (const auto& [y, want] : rows)
        for (int x : {0, 480, 959}) EXPECT_EQ(pixel(x, y), want) << "row " << y << " column " << x;
    EXPECT_EQ(js("return document.getElementById('tf-spectrogram').__rows.length;").value_or(json(-1)), 512);
    EXPECT_EQ(attr("tf-spectrogram", "data-tag"), "515");
    // One more row moves the white row out of the picture.
    send({row(516, "-50.0"), {"tf-rta", ATTR_D, "M0 8"}});
    EXPECT_EQ(pixel(480, 0), mid);
    EXPECT_EQ(pixel(480, 1), floor);
    EXPECT_EQ(pixel(480, 511), mid);
    // The readout at the bottom edge reads the oldest row still shown.
    auto s = move(".tf-panel.spectrogram canvas", 0.5, 1.0);
    EXPECT_NE(s["spectrogram"]["text"].get<std::string>().find("-50.0 dB  43.6 s ago"), std::string::npos)
        << s["spectrogram"]["text"];
}

TEST_F(PlotPageTest, RealDragAndWheelOnAHandle) {
    send(build_paths(view_inputs(3)).updates);
    auto area = js("const r = document.querySelector('.tf-handles').getBoundingClientRect();"
                   "const h = document.querySelectorAll('.tf-handle.band')[1].getBoundingClientRect();"
                   "return [r.x, r.y, r.width, r.height, h.x + h.width / 2, h.y + h.height / 2];");
    ASSERT_TRUE(area && area->is_array() && area->size() == 6) << (area ? area->dump() : area.error());
    const auto a = area->get<std::vector<double>>();
    const auto [hx, hy] = screen(a[4], a[5]);
    xdotool(fmt::format("mousemove {} {} mousedown 1", hx, hy));
    // Steps while the button is held; the last position decides.
    const double cx = std::round(a[0] + 0.25 * a[2]), cy = std::round(a[1] + 0.25 * a[3]);
    const auto [mx, my] = screen(a[0] + 0.6 * a[2], a[1] + 0.6 * a[3]);
    xdotool(fmt::format("mousemove {} {}", mx, my));
    const auto [tx, ty] = screen(cx, cy);
    xdotool(fmt::format("mousemove {} {}", tx, ty));
    xdotool("mouseup 1");
    ASSERT_FALSE(H->calls.empty());
    EXPECT_EQ(H->calls.back(), "dragend");
    EXPECT_EQ(std::count(H->calls.begin(), H->calls.end(), std::string("dragend")), 1);
    ASSERT_GE(H->calls.size(), 2u);
    const auto [hz, db] = drag_value(cx, cy, a[0], a[1], a[2], a[3]);
    EXPECT_EQ(H->calls[H->calls.size() - 2], fmt::format("drag 1 {} {}", hz, db));
    EXPECT_NEAR(hz, 112.47f, 1.0f);
    EXPECT_NEAR(db, 10.0f, 0.2f);
    for (const auto& c : H->calls) EXPECT_FALSE(c.starts_with("plot mousedown")) << c;
    // A release with no drag calls nothing. A press on the plot itself
    // reaches its handler with the page's default action cancelled.
    H->calls.clear();
    ASSERT_TRUE(js("window.__prevented = null; window.addEventListener('mousedown',"
                   " (e) => { window.__prevented = e.defaultPrevented; }); return true;"));
    const auto [ex, ey] = screen(a[0] + 0.9 * a[2], a[1] + 0.9 * a[3]);
    xdotool(fmt::format("mousemove {} {} click 1", ex, ey));
    ASSERT_TRUE(run_until([&] { return !H->calls.empty(); }));
    pump_for(100ms);
    EXPECT_EQ(H->calls, (std::vector<std::string>{"plot mousedown 0"}));
    const auto prevented = js("return window.__prevented;");
    ASSERT_TRUE(prevented) << prevented.error();
    EXPECT_EQ(*prevented, nlohmann::json(true));

    // The wheel over a point: the page's delta scaled to pixels.
    H->calls.clear();
    ASSERT_TRUE(js("document.querySelectorAll('.tf-handle.band')[1].addEventListener('wheel',"
                   " (e) => { window.__wheel = [e.deltaY, e.deltaMode]; }); return true;"));
    auto pos = js("const h = document.querySelectorAll('.tf-handle.band')[1].getBoundingClientRect();"
                  "return [h.x + h.width / 2, h.y + h.height / 2];");
    ASSERT_TRUE(pos);
    const auto p = pos->get<std::vector<double>>();
    const auto [wx, wy] = screen(p[0], p[1]);
    xdotool(fmt::format("mousemove {} {} click 5", wx, wy));
    ASSERT_TRUE(run_until([&] { return !H->calls.empty(); }));
    auto raw = js("return window.__wheel || null;");
    ASSERT_TRUE(raw && raw->is_array()) << (raw ? raw->dump() : raw.error());
    ASSERT_FALSE(H->calls.empty());
    EXPECT_EQ(H->calls.front(),
              fmt::format("wheel 1 {}", wheel_pixels((*raw)[0].get<double>(), (*raw)[1].get<int>())));
    EXPECT_GT((*raw)[0].get<double>(), 0.0);
    EXPECT_EQ(js("return window.scrollY;").value_or(json(-1)), 0);
}

TEST_F(PlotPageTest, Screenshots) {
    for (const char* theme : {"light", "dark"}) {
        ASSERT_TRUE(js(fmt::format("document.body.className = '{} '; return true;", theme)));
        harness.view.set(0);
        ASSERT_TRUE(run_until([&] { return attr("tf-plot", "class").starts_with("tf-plot"); }));
        // A 30 Hz feed: one batch per 33 ms.
        for (unsigned k = 0; k < 20; ++k) {
            auto paths = build_paths(view_inputs(k));
            paths.updates.push_back({"tf-plot", ATTR_IR_MS, "40"});
            ASSERT_TRUE(H->channel.send(plot_batch(paths.updates)));
            pump_for(33ms);
        }
        pump_for(200ms);
        // Pointer readout on the magnitude panel.
        move(".tf-panel.mag", 0.62, 0.4);
        pump_for(100ms);
        screenshot(fmt::format("transfer-{}", theme));
        // An arrival under the pointer: the magnitude with that arrival taken out.
        auto hovered = view_inputs(20);
        hovered.hovered = 1;
        hovered.clean_mix = 0.0f;
        send(build_paths(hovered).updates);
        move(".tf-arrival:nth-of-type(2)", 0.5);
        pump_for(100ms);
        screenshot(fmt::format("transfer-hover-{}", theme));

        harness.view.set(1);
        ASSERT_TRUE(run_until([&] { return attr("tf-plot", "class") == "spl-view"; }));
        harness.spl.update([](SplViewProps& s) {
            s.levels = {-18.4f, -21.7f, -19.2f, -22.5f, -23.1f, -9.6f, -13.2f, -10.8f, -17.9f, -20.4f};
            s.range_top_db = -10;
            s.range_bottom_db = -110;
            s.unit = "dBFS";
        });
        for (unsigned k = 0; k < 520; ++k) {
            auto sp = tf_plot_test::spectrum(k, std::sin(k * 0.03) * 1.2);
            for (auto& pt : sp) pt.db -= 14.0f;
            auto peak = tf_plot_test::spectrum(k + 7, 0.0);
            for (auto& pt : peak) pt.db -= 10.0f;
            std::vector<PlotUpdate> b = rta_paths(Spectrum{sp, -10.0f, 100.0f}, &peak);
            b.push_back({"tf-spectrogram", ATTR_ROW, tf_plot_test::spectrogram_row(k + 1, -110.0f, -10.0f, 0.0853f, sp)});
            ASSERT_TRUE(H->channel.send(plot_batch(b)));
            if (k % 10 == 0) pump_for(33ms);
        }
        pump_for(400ms);
        move(".tf-panel.spectrogram canvas", 0.55, 0.3);
        pump_for(100ms);
        screenshot(fmt::format("spl-{}", theme));
    }
}

}  // namespace
