// The measurement plot's skeleton: the frame, the generic frequency panel and
// the octave confidence strip.
#include <cmath>

#include <fmt/format.h>

#include "ui/tf_plot/internal/skeleton.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

using namespace reactive;

namespace internal {

Element plot_svg() { return svg().attr("viewBox", "0 0 1000 1000").attr("preserveAspectRatio", "none"); }

Element empty_path(std::string id, std::string cls) {
    return path().id(std::move(id)).cls(std::move(cls)).attr("d", "");
}

Element panel_chrome(bool ball) {
    return fragment(div().cls("tf-cursor"), when(ball, [] { return div().cls("tf-ball"); }),
                    div().cls("tf-readout"));
}

Element freq_labels(bool skip_first) {
    std::vector<Element> out;
    for (float f : GRID_HZ) {
        if (skip_first && f <= 20.0f) continue;
        out.push_back(div()
                          .cls(fmt::format("tf-label x {} {}", f <= 20.0f ? "first" : "", f >= 20000.0f ? "last" : ""))
                          .attr("style", "left: " + num(x_of_hz(f) / 10.0f) + "%")(hz_label(f)));
    }
    return fragment(std::move(out));
}

}  // namespace internal

using internal::empty_path;
using internal::whole;

Element tf_panel(const TfPanel& p) {
    Element s = internal::plot_svg();
    if (p.shade > 0.0f)
        s(rect().cls("tf-shade").attr("x", "0").attr("y", "0").attr("width", num(p.shade)).attr("height", "1000"));
    for (const auto& [lo, hi] : p.shades) {
        const float x0 = x_of_hz(lo);
        s(rect()
              .cls("tf-shade")
              .attr("x", num(x0))
              .attr("y", "0")
              .attr("width", num(std::fmax(x_of_hz(hi) - x0, 3.0f)))
              .attr("height", "1000"));
    }
    for (float f : GRID_HZ) {
        const std::string x = num(x_of_hz(f));
        s(line().cls("tf-grid").attr("x1", x).attr("x2", x).attr("y1", "0").attr("y2", "1000"));
    }
    bool bottom_label = false;
    for (const auto& l : p.labels) {
        const std::string y = num(l.y);
        s(line().cls(l.zero ? "tf-grid zero" : "tf-grid").attr("x1", "0").attr("x2", "1000").attr("y1", y).attr("y2", y));
        bottom_label = bottom_label || l.y >= 1000.0f;
    }
    s(p.paths);

    Element root = div().cls("tf-panel " + p.kind);
    root(std::move(s), p.overlay);
    for (const auto& l : p.labels)
        root(div()
                 .cls(fmt::format("tf-label y {} {}", l.y <= 0.0f ? "top" : "", l.y >= 1000.0f ? "bottom" : ""))
                 .attr("style", "top: " + num(l.y / 10.0f) + "%")(l.text));
    if (p.x_labels) root(internal::freq_labels(bottom_label));
    root(div().cls("tf-title")(p.title), internal::panel_chrome(true));
    return root;
}

Element fill_strip() {
    Element root = div().cls("tf-fill");
    for (int i = 0; i < 10; ++i) {
        const float f = std::round(31.25f * std::exp2(static_cast<float>(i)));
        root(div().cls("tf-fill-cell").id(fmt::format("tf-fill-{}", i))(span()(hz_label(f))));
    }
    return root;
}

Element tf_plot(const TfPlotProps& p) {
    const bool rta = p.show_rta, mag = p.show_mag, phase = p.show_phase;
    const float shade = p.shade_below_hz > 0.0f ? std::clamp(x_of_hz(p.shade_below_hz), 0.0f, 1000.0f) : 0.0f;

    Element root = div()
                       .id("tf-plot")
                       .cls(fmt::format("tf-plot {} {}", p.predicted ? "predicted" : "", p.live ? "live" : ""))
                       // The page's own reaction to a press (text selection, a
                       // drag of the drawing, focus moving) is cancelled in the page.
                       .on_mousedown([cb = p.onmousedown](const MouseEvent& e) { cb(e); }, {.prevent_default = true});
    if (p.show_ir)
        root(component(ir_panel, IrPanel{p.arrivals, p.harmonics, p.onarrival, p.ir_ms}, "ir_panel"));
    if (p.show_coh)
        root(component(tf_panel,
                       TfPanel{.kind = "coh",
                               .title = "Coherence",
                               .labels = {{0.0f, num(1.0f), false}, {500.0f, num(0.5f), false}, {1000.0f, num(0.0f), false}},
                               .x_labels = !rta && !mag && !phase,
                               .paths = empty_path("tf-coh", "tf-coh")},
                       "tf_panel"));
    if (p.show_fill) root(component(fill_strip, "fill_strip"));
    if (rta) {
        std::vector<PanelLabel> labels;
        for (int k = 0; k <= 5; ++k) {
            const float v = p.rta_top_db - 20.0f * static_cast<float>(k);
            labels.push_back({std::clamp((p.rta_top_db - v) / 100.0f, 0.0f, 1.0f) * 1000.0f,
                              fmt::format("{}", whole(v)), false});
        }
        root(component(tf_panel,
                       TfPanel{.kind = "rta",
                               .title = p.rta_unit == "dBFS" ? "Spectrum dBFS" : "Spectrum dB SPL",
                               .labels = std::move(labels),
                               .x_labels = !mag && !phase,
                               .paths = empty_path("tf-rta", "tf-trace rta")},
                       "tf_panel"));
    }
    if (mag) {
        std::vector<Element> paths;
        paths.push_back(empty_path("tf-mag-reflect", "tf-trace reflect"));
        paths.push_back(empty_path("tf-mag-dim", "tf-trace dim"));
        for (const auto& [n, c] : p.stored)
            paths.push_back(empty_path(fmt::format("tf-stored-mag-{}", n),
                                       fmt::format("tf-trace stored {}c{}", p.seats ? "seat " : "", c)));
        paths.push_back(empty_path("tf-mag-clean", "tf-trace clean"));
        paths.push_back(empty_path("tf-mag", "tf-trace"));
        paths.push_back(empty_path("tf-comb", "tf-comb"));
        paths.push_back(empty_path("tf-avg", "tf-trace avg"));
        paths.push_back(empty_path("tf-sum", "tf-trace sum"));
        paths.push_back(empty_path("tf-eq-curve", "tf-trace eq-curve"));
        for (std::size_t i = 0; i < p.xovers.size(); ++i)
            paths.push_back(empty_path(fmt::format("tf-xover-{}", i), fmt::format("tf-trace xover c{}", p.xovers[i])));
        paths.push_back(empty_path("tf-target", "tf-trace target"));
        root(component(
            tf_panel,
            TfPanel{.kind = "mag",
                    .title = "Magnitude dB",
                    .labels = {{0.0f, "+20", false}, {250.0f, "+10", false}, {500.0f, "+0", true},
                               {750.0f, "-10", false}, {1000.0f, "-20", false}},
                    .x_labels = !phase,
                    .shade = shade,
                    .shades = p.shades,
                    .overlay = component(plot_handles,
                                         PlotHandlesProps{p.handles, p.ondrag, p.onwheel, p.ondragend}, "plot_handles"),
                    .paths = fragment(std::move(paths))},
            "tf_panel"));
    }
    if (phase) {
        std::vector<Element> paths;
        paths.push_back(empty_path("tf-phase-dim", "tf-trace dim"));
        for (const auto& [n, c] : p.stored)
            paths.push_back(empty_path(fmt::format("tf-stored-phase-{}", n), fmt::format("tf-trace stored c{}", c)));
        paths.push_back(empty_path("tf-phase", "tf-trace phase"));
        root(component(tf_panel,
                       TfPanel{.kind = "phase",
                               .title = "Phase",
                               .labels = {{0.0f, "180°", false}, {250.0f, "90°", false}, {500.0f, "0°", true},
                                          {750.0f, "-90°", false}, {1000.0f, "-180°", false}},
                               .x_labels = true,
                               .shade = shade,
                               .paths = fragment(std::move(paths))},
                       "tf_panel"));
    }
    return root;
}

}  // namespace ui::tf_plot
