// The impulse-response panel: envelope, time and level axes, arrival markers
// in lanes, distortion products.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "ui/tf_plot/internal/skeleton.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

using namespace reactive;
using internal::whole;

namespace {

float time_x(float ms, float ir_ms) { return (ms + 2.0f) / (ir_ms + 2.0f) * 1000.0f; }
float level_y(float db) { return std::clamp(db / -60.0f, 0.0f, 1.0f) * 1000.0f; }

}  // namespace

int lane(const std::vector<Arrival>& arrivals, std::size_t n, float ir_ms) {
    if (n >= arrivals.size()) return 0;
    std::vector<int> lanes(n + 1, 0);
    for (std::size_t k = 0; k <= n; ++k) {
        const float xk = time_x(arrivals[k].ms, ir_ms);
        int best = -1;
        for (std::size_t i = 0; i < k; ++i)
            if (std::fabs(xk - time_x(arrivals[i].ms, ir_ms)) < 90.0f) best = std::max(best, lanes[i]);
        lanes[k] = best + 1;
    }
    return lanes[n];
}

Element ir_panel(const IrPanel& p) {
    const float ir_ms = p.ir_ms;
    Element s = internal::plot_svg();
    for (int k = 0; k <= 8; ++k) {
        const float t = static_cast<float>(k) * ir_ms / 8.0f;
        const std::string x = num(time_x(t, ir_ms));
        s(line().cls(t == 0.0f ? "tf-grid zero" : "tf-grid").attr("x1", x).attr("x2", x).attr("y1", "0").attr("y2", "1000"));
    }
    for (float v : {0.0f, -20.0f, -40.0f}) {
        const std::string y = num(level_y(v));
        s(line().cls("tf-grid").attr("x1", "0").attr("x2", "1000").attr("y1", y).attr("y2", y));
    }
    s(internal::empty_path("tf-ir", "tf-ir"));

    Element root = div().cls("tf-panel ir");
    root(std::move(s));
    for (float v : {0.0f, -20.0f, -40.0f})
        root(div()
                 .cls(fmt::format("tf-label y {}", v == 0.0f ? "top" : ""))
                 .attr("style", "top: " + num(level_y(v) / 10.0f) + "%")(fmt::format("{} dB", whole(v))));
    for (int k = 0; k <= 8; ++k) {
        const float t = static_cast<float>(k) * ir_ms / 8.0f;
        root(div()
                 .cls(fmt::format("tf-label x {}", t >= ir_ms ? "last" : ""))
                 .attr("style", "left: " + num(time_x(t, ir_ms) / 10.0f) + "%")(fmt::format("{} ms", whole(t))));
    }
    const auto onarrival = p.onarrival;
    for (std::size_t i = 0; i < p.arrivals.size(); ++i) {
        const Arrival& a = p.arrivals[i];
        const bool direct = a.db == 0.0f;
        root(div()
                 .cls("tf-arrival")
                 .attr("style", fmt::format("left: {}%; --lane: {}", num(time_x(a.ms, ir_ms) / 10.0f), lane(p.arrivals, i, ir_ms)))
                 .title(direct ? "" : "Hover: the magnitude with this arrival taken out")
                 .on_mouseenter([onarrival, i](const MouseEvent&) { onarrival(std::optional<std::size_t>(i)); })
                 .on_mouseleave([onarrival](const MouseEvent&) { onarrival(std::nullopt); })(
                     direct ? std::string("direct") : fmt::format("{:+.1f} ms {} dB", a.ms, whole(a.db))));
    }
    root(div().cls("tf-title")("Impulse response"));
    if (!p.harmonics.empty()) {
        Element h = div().cls("tf-harmonics").title(
            "Distortion products of the sweep, relative to the direct sound; windowed out of the trace");
        for (const auto& [order, db] : p.harmonics) h(span()(fmt::format("H{} {} dB", order, whole(db))));
        root(std::move(h));
    }
    root(internal::panel_chrome(false));
    return root;
}

}  // namespace ui::tf_plot
