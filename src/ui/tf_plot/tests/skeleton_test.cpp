// The plot skeletons rendered into the in-memory page: ids, classes, labels.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"
#include "ui/tf_plot/tf_plot.h"

using namespace reactive;
using namespace ui::tf_plot;

namespace {

struct Doc {
    ManualLoop loop;
    dom::Document doc;
    FakePage fake;
    Root root{loop, [this](EditBatch b) { ASSERT_TRUE(doc.apply_json(serialize(b))); }};
    Doc() { root.set_page(&fake); }

    template <class P>
    void mount(Element (*fn)(const P&), P p) {
        root.mount(component(fn, std::move(p)));
        loop.run_until_idle();
    }

    static std::string attr(const dom::Node* n, const std::string& a) {
        auto it = n->attrs.find(a);
        return it == n->attrs.end() ? "<none>" : it->second;
    }
    static std::string text(const dom::Node* n) {
        std::string s;
        for (auto* c : n->children) s += c->is_text ? c->text : text(c);
        return s;
    }
    void walk(const dom::Node* n, const std::function<void(const dom::Node*)>& f) const {
        f(n);
        for (auto* c : n->children) walk(c, f);
    }
    const dom::Node* by_id(const std::string& id) const {
        const dom::Node* out = nullptr;
        walk(&doc.root(), [&](const dom::Node* n) {
            if (!out && attr(n, "id") == id) out = n;
        });
        return out;
    }
    std::vector<const dom::Node*> by_class(const std::string& cls, const dom::Node* from = nullptr) const {
        std::vector<const dom::Node*> out;
        walk(from ? from : &doc.root(), [&](const dom::Node* n) {
            if (attr(n, "class") == cls) out.push_back(n);
        });
        return out;
    }
    // "text@style" of every element whose class starts with `prefix`.
    std::vector<std::string> labels(const std::string& prefix, const dom::Node* from = nullptr) const {
        std::vector<std::string> out;
        walk(from ? from : &doc.root(), [&](const dom::Node* n) {
            if (attr(n, "class").starts_with(prefix)) out.push_back(text(n) + "@" + attr(n, "style"));
        });
        return out;
    }
    // Ids of the path elements in document order.
    std::vector<std::string> path_ids(const dom::Node* from) const {
        std::vector<std::string> out;
        walk(from, [&](const dom::Node* n) {
            if (n->tag == "path") out.push_back(attr(n, "id") + "|" + attr(n, "class") + "|" + attr(n, "d"));
        });
        return out;
    }
};

TfPlotProps none() {
    return TfPlotProps{.show_ir = false, .show_coh = false, .show_mag = false, .show_phase = false, .show_rta = false};
}

}  // namespace

TEST(Numbers, ShortestWithoutExponent) {
    const std::pair<float, const char*> table[] = {{250.0f, "250"}, {0.5f, "0.5"}, {47.61905f, "47.61905"},
                                                   {1e10f, "10000000000"}, {1e-7f, "0.0000001"}, {-0.0f, "0"}, {NAN, "0"}, {-INFINITY, "0"},
                                                   {333.33334f, "333.33334"}};
    for (auto [v, want] : table) EXPECT_EQ(num(v), want);
    EXPECT_EQ(hz_label(20), "20");
    EXPECT_EQ(hz_label(1000), "1k");
    EXPECT_EQ(hz_label(16000), "16k");
}

TEST(TfPlot, NoPanels) {
    Doc pg;
    pg.mount(tf_plot, none());
    EXPECT_EQ(pg.doc.html(), "<div class=\"tf-plot  \" id=\"tf-plot\" on:mousedown=\"2\"></div>");
    Doc p2;
    auto props = none();
    props.predicted = props.live = true;
    p2.mount(tf_plot, props);
    EXPECT_EQ(Doc::attr(p2.by_id("tf-plot"), "class"), "tf-plot predicted live");
}

TEST(TfPlot, FrequencyLabelsGoToTheLowestPanel) {
    struct Case {
        bool coh, rta, mag, phase;
        std::vector<std::string> want;  // kinds that carry frequency labels
    };
    const Case cases[] = {{true, false, false, false, {"coh"}},
                          {true, true, false, false, {"rta"}},
                          {true, false, true, false, {"mag"}},
                          {true, true, true, true, {"phase"}}};
    for (const auto& c : cases) {
        Doc pg;
        auto p = none();
        p.show_coh = c.coh, p.show_rta = c.rta, p.show_mag = c.mag, p.show_phase = c.phase;
        pg.mount(tf_plot, p);
        std::vector<std::string> got;
        for (const char* k : {"coh", "rta", "mag", "phase"})
            for (auto* panel : pg.by_class(std::string("tf-panel ") + k)) {
                auto x = pg.labels("tf-label x", panel);
                if (!x.empty()) {
                    got.push_back(k);
                    // Never the 20 Hz label: every panel has a level label at the bottom.
                    EXPECT_EQ(x.front(), "50@left: 13.264667%") << k;
                    EXPECT_EQ(x.back(), "20k@left: 100%") << k;
                    EXPECT_EQ(x.size(), 9u);
                }
            }
        EXPECT_EQ(got, c.want);
    }
}

TEST(TfPlot, PanelLabels) {
    Doc pg;
    auto p = none();
    p.show_coh = p.show_mag = p.show_phase = p.show_rta = true;
    p.rta_top_db = 10;
    p.rta_unit = "dB SPL";
    pg.mount(tf_plot, p);
    auto panel = [&](const char* k) { return pg.by_class(std::string("tf-panel ") + k).at(0); };
    EXPECT_EQ(pg.labels("tf-label y", panel("coh")),
              (std::vector<std::string>{"1@top: 0%", "0.5@top: 50%", "0@top: 100%"}));
    EXPECT_EQ(pg.labels("tf-label y", panel("rta")),
              (std::vector<std::string>{"10@top: 0%", "-10@top: 20%", "-30@top: 40%", "-50@top: 60%", "-70@top: 80%",
                                        "-90@top: 100%"}));
    EXPECT_EQ(pg.labels("tf-label y", panel("mag")),
              (std::vector<std::string>{"+20@top: 0%", "+10@top: 25%", "+0@top: 50%", "-10@top: 75%", "-20@top: 100%"}));
    EXPECT_EQ(pg.labels("tf-label y", panel("phase")),
              (std::vector<std::string>{"180°@top: 0%", "90°@top: 25%", "0°@top: 50%", "-90°@top: 75%", "-180°@top: 100%"}));
    EXPECT_EQ(pg.by_class("tf-label y top ").size(), 4u);
    EXPECT_EQ(pg.by_class("tf-label y  bottom").size(), 4u);
    EXPECT_EQ(pg.by_class("tf-grid zero").size(), 2u);  // 0 dB and 0°
    EXPECT_EQ(Doc::text(pg.by_class("tf-title").at(1)), "Spectrum dB SPL");
    for (auto [unit, title] : {std::pair{"dBFS", "Spectrum dBFS"}, {"dbfs", "Spectrum dB SPL"}, {"", "Spectrum dB SPL"}}) {
        Doc q;
        auto r = none();
        r.show_rta = true;
        r.rta_unit = unit;
        q.mount(tf_plot, r);
        EXPECT_EQ(Doc::text(q.by_class("tf-title").at(0)), title);
    }
}

TEST(TfPlot, PathsAndShades) {
    Doc pg;
    auto p = none();
    p.show_mag = p.show_phase = true;
    p.stored = {{4, 1}};
    p.seats = true;
    p.xovers = {2, 0};
    p.shades = {{1000, 1001}, {2000, 1000}};
    p.shade_below_hz = 40000;
    pg.mount(tf_plot, p);
    const auto* mag = pg.by_class("tf-panel mag").at(0);
    EXPECT_EQ(pg.path_ids(mag),
              (std::vector<std::string>{"tf-mag-reflect|tf-trace reflect|", "tf-mag-dim|tf-trace dim|",
                                        "tf-stored-mag-4|tf-trace stored seat c1|", "tf-mag-clean|tf-trace clean|",
                                        "tf-mag|tf-trace|", "tf-comb|tf-comb|", "tf-avg|tf-trace avg|",
                                        "tf-sum|tf-trace sum|", "tf-eq-curve|tf-trace eq-curve|",
                                        "tf-xover-0|tf-trace xover c2|", "tf-xover-1|tf-trace xover c0|",
                                        "tf-target|tf-trace target|"}));
    EXPECT_EQ(pg.path_ids(pg.by_class("tf-panel phase").at(0)),
              (std::vector<std::string>{"tf-phase-dim|tf-trace dim|", "tf-stored-phase-4|tf-trace stored c1|",
                                        "tf-phase|tf-trace phase|"}));
    std::vector<std::string> rects;
    pg.walk(mag, [&](const dom::Node* n) {
        if (n->tag == "rect") rects.push_back(Doc::attr(n, "x") + "/" + Doc::attr(n, "width"));
    });
    EXPECT_EQ(rects, (std::vector<std::string>{"0/1000", "566.32336/3", "666.6667/3"}));
    // The phase panel gets the full-width shade only.
    int phase_rects = 0;
    pg.walk(pg.by_class("tf-panel phase").at(0), [&](const dom::Node* n) { phase_rects += n->tag == "rect"; });
    EXPECT_EQ(phase_rects, 1);
    // Shade below 10 Hz: none.
    Doc q;
    p.shade_below_hz = 10;
    p.shades.clear();
    q.mount(tf_plot, p);
    int r = 0;
    q.walk(&q.doc.root(), [&](const dom::Node* n) { r += n->tag == "rect"; });
    EXPECT_EQ(r, 0);
}

TEST(TfPlot, FillStrip) {
    Doc pg;
    auto p = none();
    p.show_fill = true;
    pg.mount(tf_plot, p);
    std::vector<std::string> cells;
    for (auto* c : pg.by_class("tf-fill-cell")) cells.push_back(Doc::attr(c, "id") + ":" + Doc::text(c));
    EXPECT_EQ(cells, (std::vector<std::string>{"tf-fill-0:31", "tf-fill-1:63", "tf-fill-2:125", "tf-fill-3:250",
                                               "tf-fill-4:500", "tf-fill-5:1k", "tf-fill-6:2k", "tf-fill-7:4k",
                                               "tf-fill-8:8k", "tf-fill-9:16k"}));
}

TEST(IrPanel, AxesMarkersAndLanes) {
    Doc pg;
    std::vector<std::optional<std::size_t>> hovered;
    IrPanel p{.arrivals = {{0, 0}, {1, -6}, {1.5f, -9}, {10, -14}, {50, -0.0f}},
              .harmonics = {{2, -43.4f}},
              .onarrival = [&](std::optional<std::size_t> i) { hovered.push_back(i); },
              .ir_ms = 40};
    pg.mount(ir_panel, p);
    auto x = pg.labels("tf-label x");
    ASSERT_EQ(x.size(), 9u);
    EXPECT_EQ(x.front(), "0 ms@left: 4.7619047%");
    EXPECT_EQ(x.back(), "40 ms@left: 100%");
    EXPECT_EQ(pg.by_class("tf-label x last").size(), 1u);
    EXPECT_EQ(pg.labels("tf-label y"),
              (std::vector<std::string>{"0 dB@top: 0%", "-20 dB@top: 33.333336%", "-40 dB@top: 66.66667%"}));
    auto zero = pg.by_class("tf-grid zero");
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(Doc::attr(zero[0], "x1"), "47.61905");
    std::vector<std::string> level_lines;
    for (auto* l : pg.by_class("tf-grid"))
        if (Doc::attr(l, "x1") == "0") level_lines.push_back(Doc::attr(l, "y1"));
    EXPECT_EQ(level_lines, (std::vector<std::string>{"0", "333.33334", "666.6667"}));
    auto markers = pg.by_class("tf-arrival");
    ASSERT_EQ(markers.size(), 5u);
    std::vector<std::string> got;
    for (auto* m : markers) got.push_back(Doc::text(m) + "|" + Doc::attr(m, "style") + "|" + Doc::attr(m, "title"));
    const std::string hover = "Hover: the magnitude with this arrival taken out";
    EXPECT_EQ(got, (std::vector<std::string>{"direct|left: 4.7619047%; --lane: 0|",
                                             "+1.0 ms -6 dB|left: 7.1428576%; --lane: 1|" + hover,
                                             "+1.5 ms -9 dB|left: 8.333334%; --lane: 2|" + hover,
                                             "+10.0 ms -14 dB|left: 28.57143%; --lane: 0|" + hover,
                                             "direct|left: 123.80953%; --lane: 0|"}));
    EXPECT_EQ(pg.labels("tf-harmonics"), (std::vector<std::string>{"H2 -43 dB@<none>"}));
    pg.root.handle_event(markers[2]->id, "mouseenter", Json::object());
    pg.root.handle_event(markers[2]->id, "mouseleave", Json::object());
    EXPECT_EQ(hovered, (std::vector<std::optional<std::size_t>>{2, std::nullopt}));
    EXPECT_EQ(pg.by_class("tf-cursor").size(), 1u);
    EXPECT_EQ(pg.by_class("tf-ball").size(), 0u);
}

TEST(IrPanel, LabelsRoundTiesToEvenAndNoHarmonics) {
    Doc pg;
    pg.mount(ir_panel, IrPanel{.ir_ms = 12});
    std::vector<std::string> texts;
    for (const auto& l : pg.labels("tf-label x")) texts.push_back(l.substr(0, l.find('@')));
    EXPECT_EQ(texts, (std::vector<std::string>{"0 ms", "2 ms", "3 ms", "4 ms", "6 ms", "8 ms", "9 ms", "10 ms", "12 ms"}));
    EXPECT_TRUE(pg.by_class("tf-harmonics").empty());
}

TEST(IrPanel, LaneRule) {
    const std::vector<Arrival> out_of_order = {{10, -14}, {0, 0}, {1, -6}};
    EXPECT_EQ(lane(out_of_order, 0, 40), 0);
    EXPECT_EQ(lane(out_of_order, 1, 40), 0);
    EXPECT_EQ(lane(out_of_order, 2, 40), 1);
    // Exactly 90 apart does not overlap; NaN never does.
    const std::vector<Arrival> edge = {{0, 0}, {3.78f, -3}, {std::nanf(""), -4}};
    EXPECT_EQ(lane(edge, 1, 40), 0);
    EXPECT_EQ(lane(edge, 2, 40), 0);
}

TEST(SplView, AxisLabels) {
    auto texts = [](float top, float bottom) {
        std::vector<std::string> out;
        for (const auto& l : spl_axis_labels(top, bottom)) out.push_back(l.text + "@" + num(l.y));
        return out;
    };
    EXPECT_EQ(texts(0, -100), (std::vector<std::string>{"0@0", "-20@200", "-40@400", "-60@600", "-80@800", "-100@1000"}));
    EXPECT_EQ(texts(120, 60).size(), 7u);
    EXPECT_EQ(texts(120, 60).back(), "60@1000");
    EXPECT_EQ(texts(40, 40), (std::vector<std::string>{"40@0"}));
    EXPECT_TRUE(texts(0, 10).empty());
}

TEST(SplView, Skeleton) {
    Doc pg;
    SplViewProps p{.levels = {94.34f, 90, 92, 88, 87, 101.7f, 99, 98, -INFINITY, 0},
                   .leq_short_label = "LAeq 1 min",
                   .leq_long_label = "LAeq 15 min",
                   .unit = "dB SPL",
                   .range_top_db = 0,
                   .range_bottom_db = -100};
    pg.mount(spl_view, p);
    const auto* root = pg.by_id("tf-plot");
    ASSERT_TRUE(root);
    EXPECT_EQ(Doc::attr(root, "class"), "spl-view");
    std::vector<std::string> cards;
    for (auto* c : pg.by_class("spl-card")) cards.push_back(Doc::text(c));
    EXPECT_EQ(cards, (std::vector<std::string>{"94.3dB SPLZ SlowMax 101.7", "90.0dB SPLA SlowMax 99.0",
                                               "92.0dB SPLC SlowMax 98.0", "88.0dB SPLLAeq 1 minMax \u2013",
                                               "87.0dB SPLLAeq 15 minMax 0.0"}));
    EXPECT_EQ(pg.path_ids(pg.by_class("tf-panel rta").at(0)),
              (std::vector<std::string>{"tf-rta-peak|tf-trace rta-peak|", "tf-rta|tf-trace rta|"}));
    EXPECT_TRUE(pg.labels("tf-label x", pg.by_class("tf-panel rta").at(0)).empty());
    const auto* cv = pg.by_id("tf-spectrogram");
    ASSERT_TRUE(cv);
    EXPECT_EQ(Doc::attr(cv, "width"), "960");
    EXPECT_EQ(Doc::attr(cv, "height"), "512");
    EXPECT_EQ(pg.labels("tf-label x first "), (std::vector<std::string>{"20@left: 0%"}));
    EXPECT_EQ(pg.labels("tf-label x  last"), (std::vector<std::string>{"20k@left: 100%"}));
}

TEST(PlotHandles, MarkupAndEvents) {
    Doc pg;
    std::vector<std::string> calls;
    PlotHandlesProps p{
        .handles = {{.hz = 1000, .db = 6, .label = "1", .cls = "band", .title = "Band 1"},
                    {.hz = 0, .db = -3, .label = "", .cls = "gain", .title = "Gain", .kind = HandleKind::range(20, 200)},
                    {.hz = 200, .db = 0, .label = "", .cls = "knee", .title = "Knee", .kind = HandleKind::line()}},
        .ondrag = [&](std::size_t i, float hz, float db) { calls.push_back(fmt::format("drag {} {} {}", i, hz, db)); },
        .onwheel = [&](std::size_t i, float d) { calls.push_back(fmt::format("wheel {} {}", i, d)); },
        .ondragend = [&] { calls.push_back("end"); }};
    pg.mount(plot_handles, p);
    std::vector<std::string> got;
    pg.walk(&pg.doc.root(), [&](const dom::Node* n) {
        if (Doc::attr(n, "class").starts_with("tf-handle "))
            got.push_back(Doc::attr(n, "class") + "|" + Doc::attr(n, "style") + "|" + Doc::attr(n, "title"));
    });
    EXPECT_EQ(got, (std::vector<std::string>{"tf-handle band|left: 56.632336%; top: 35.000004%|Band 1",
                                             "tf-handle line h gain|left: 0%; width: 33.333336%; top: 57.5%|Gain",
                                             "tf-handle line v knee|left: 33.333336%; top: 0; height: 100%|Knee"}));
    // Wheel: over a point in pixels, lines x 20, pages x 100; never over a bar or a line.
    const dom::Node* band = pg.by_class("tf-handle band").at(0);
    const dom::Node* bar = pg.by_class("tf-handle line h gain").at(0);
    // The page prevents the wheel's default (scrolling) by itself, over every
    // kind of handle; a press waits for the host, which keeps only a primary
    // press from the plot.
    EXPECT_EQ(band->listeners.at("wheel"), LISTEN_PREVENT);
    EXPECT_EQ(bar->listeners.at("wheel"), LISTEN_PREVENT);
    EXPECT_EQ(band->listeners.at("mousedown"), LISTEN_BLOCKING);
    auto r = pg.root.handle_event(band->id, "wheel", Json{{"delta_y", 1.0}, {"delta_mode", 1}});
    pg.root.handle_event(band->id, "wheel", Json{{"delta_y", -1.0}, {"delta_mode", 2}});
    pg.root.handle_event(band->id, "wheel", Json{{"delta_y", 3.5}, {"delta_mode", 0}});
    pg.root.handle_event(bar->id, "wheel", Json{{"delta_y", 1.0}, {"delta_mode", 1}});
    // A right press does nothing and lets the event through.
    r = pg.root.handle_event(band->id, "mousedown", Json{{"button", 2}});
    EXPECT_EQ(r, (EventResult{false, false}));
    r = pg.root.handle_event(band->id, "mousedown", Json{{"button", 0}});
    EXPECT_EQ(r, (EventResult{true, true}));
    EXPECT_EQ(calls, (std::vector<std::string>{"wheel 0 20", "wheel 0 -100", "wheel 0 3.5"}));
}

TEST(PlotHandles, DragMapping) {
    struct Case {
        double x, y;
        float hz, db;
    };
    // Area at (100, 200) page coordinates, 1000 x 400.
    const Case cases[] = {{100, 200, 20, 20},      {1100, 600, 20000, -20}, {600, 400, 632.4556f, 0},
                          {-50, 100, 20, 20},      {5000, 9000, 20000, -20}};
    for (const auto& c : cases) {
        auto [hz, db] = drag_value(c.x, c.y, 100, 200, 1000, 400);
        EXPECT_NEAR(hz, c.hz, c.hz * 1e-5f) << c.x;
        EXPECT_FLOAT_EQ(db, c.db) << c.y;
    }
    EXPECT_EQ(wheel_pixels(2, 0), 2.0f);
    EXPECT_EQ(wheel_pixels(2, 1), 40.0f);
    EXPECT_EQ(wheel_pixels(2, 2), 200.0f);
}

TEST(PlotHandles, DragStateMachine) {
    using namespace std::chrono_literals;
    Doc pg;
    std::vector<std::string> calls;
    PlotHandlesProps p{
        .handles = {{.hz = 1000, .db = 0, .label = "1", .cls = "band", .title = "Band 1"}},
        .ondrag = [&](std::size_t i, float hz, float db) { calls.push_back(fmt::format("drag {} {} {}", i, hz, db)); },
        .ondragend = [&] { calls.push_back("end"); }};
    pg.mount(plot_handles, p);
    ASSERT_EQ(pg.fake.scripts.size(), 1u);  // the window listeners
    EvalFeed events = pg.fake.scripts[0].feed;
    const dom::Node* area = pg.by_class("tf-handles").at(0);
    pg.root.handle_event(area->id, "mounted", Json::object());
    const ElementId band = pg.by_class("tf-handle band").at(0)->id;
    auto event = [&](Json e) {
        events.push(std::move(e));
        pg.loop.run_until_idle();
    };
    auto press = [&] {
        pg.root.handle_event(band, "mousedown", Json{{"button", 0}});
        pg.loop.run_until_idle();
    };
    auto answer_rect = [&] {
        ASSERT_FALSE(pg.fake.queries.empty());
        EXPECT_EQ(pg.fake.queries.back().id, area->id);
        pg.fake.queries.back().reply(Json{{"x", 100.0}, {"y", 200.0}, {"width", 1000.0}, {"height", 400.0}});
        pg.loop.run_until_idle();
    };
    auto answer_scroll = [&](Json v) {
        ASSERT_EQ(pg.fake.scripts.back().text, "return [window.scrollX, window.scrollY];");
        pg.fake.scripts.back().feed.complete(std::move(v));
        pg.loop.run_until_idle();
    };

    // A move before the area is measured moves nothing.
    press();
    EXPECT_EQ(pg.fake.scripts.at(1).text, "if (document.activeElement) document.activeElement.blur();");
    event({{"type", "mousemove"}, {"pageX", 600}, {"pageY", 400}});
    EXPECT_TRUE(calls.empty());
    // Scrolled by 100 px: the vertical centre of the area is 0 dB.
    answer_rect();
    answer_scroll(Json::array({0, 100}));
    event({{"type", "mousemove"}, {"pageX", 600}, {"pageY", 500}});
    event({{"type", "mousemove"}, {"pageX", "600"}, {"pageY", 500}});  // not a number: ignored
    event({{"type", "mouseup"}});
    event({{"type", "mouseup"}});  // no drag any more: nothing
    EXPECT_EQ(calls, (std::vector<std::string>{fmt::format("drag 0 {} 0", 20.0f * std::pow(1000.0f, 0.5f)), "end"}));

    // Released before the measurement returns: one end, and the late
    // measurement does not revive the drag.
    calls.clear();
    press();
    event({{"type", "mouseup"}});
    answer_rect();
    answer_scroll(Json::array({0, 0}));
    event({{"type", "mousemove"}, {"pageX", 600}, {"pageY", 400}});
    EXPECT_EQ(calls, (std::vector<std::string>{"end"}));

    // The scroll query unanswered for 200 ms, or malformed: offsets 0.
    calls.clear();
    press();
    answer_rect();
    pg.loop.advance(200ms);
    event({{"type", "mousemove"}, {"pageX", 1100}, {"pageY", 200}});
    event({{"type", "mouseup"}});
    press();
    answer_rect();
    answer_scroll(Json::array({0, 100, 3}));
    event({{"type", "mousemove"}, {"pageX", 100}, {"pageY", 600}});
    EXPECT_EQ(calls, (std::vector<std::string>{"drag 0 20000 20", "end", "drag 0 20 -20"}));
}

TEST(TfPlot, CoherenceOnlySnapshot) {
    Doc pg;
    auto p = none();
    p.show_coh = true;
    pg.mount(tf_plot, p);
    std::string grid;
    for (const char* x : {"0", "132.64667", "232.98999", "333.33334", "465.97998", "566.32336", "666.6667",
                          "799.31335", "899.6567", "1000"})
        grid += fmt::format("<svg:line class=\"tf-grid\" x1=\"{0}\" x2=\"{0}\" y1=\"0\" y2=\"1000\"></line>", x);
    std::string flabels;
    for (auto [t, l] : {std::pair{"50", "13.264667"}, {"100", "23.299"}, {"200", "33.333336"}, {"500", "46.598"},
                        {"1k", "56.632336"}, {"2k", "66.66667"}, {"5k", "79.931335"}, {"10k", "89.96567"}})
        flabels += fmt::format("<div class=\"tf-label x  \" style=\"left: {}%\">{}</div>", l, t);
    const std::string want =
        "<div class=\"tf-plot  \" id=\"tf-plot\" on:mousedown=\"2\"><div class=\"tf-panel coh\">"
        "<svg:svg preserveAspectRatio=\"none\" viewBox=\"0 0 1000 1000\">" + grid +
        "<svg:line class=\"tf-grid\" x1=\"0\" x2=\"1000\" y1=\"0\" y2=\"0\"></line>"
        "<svg:line class=\"tf-grid\" x1=\"0\" x2=\"1000\" y1=\"500\" y2=\"500\"></line>"
        "<svg:line class=\"tf-grid\" x1=\"0\" x2=\"1000\" y1=\"1000\" y2=\"1000\"></line>"
        "<svg:path class=\"tf-coh\" d=\"\" id=\"tf-coh\"></path></svg>"
        "<div class=\"tf-label y top \" style=\"top: 0%\">1</div>"
        "<div class=\"tf-label y  \" style=\"top: 50%\">0.5</div>"
        "<div class=\"tf-label y  bottom\" style=\"top: 100%\">0</div>" + flabels +
        "<div class=\"tf-label x  last\" style=\"left: 100%\">20k</div>"
        "<div class=\"tf-title\">Coherence</div><div class=\"tf-cursor\"></div><div class=\"tf-ball\"></div>"
        "<div class=\"tf-readout\"></div></div></div>";
    EXPECT_EQ(pg.doc.html(), want);
}
