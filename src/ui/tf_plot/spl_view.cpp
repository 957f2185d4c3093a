// The SPL view: level cards, the spectrum with its peak hold, the
// spectrogram canvas.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "ui/tf_plot/internal/skeleton.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

using namespace reactive;

std::vector<PanelLabel> spl_axis_labels(float top, float bottom) {
    std::vector<PanelLabel> out;
    if (top < bottom - 0.01f) return out;
    const float range = std::max(top - bottom, 1.0f);
    const float step = range > 60.0f ? 20.0f : 10.0f;
    for (int k = 0; k <= 63; ++k) {
        const float v = top - static_cast<float>(k) * step;
        if (v < bottom - 0.01f) break;
        out.push_back({std::clamp((top - v) / range, 0.0f, 1.0f) * 1000.0f, fmt::format("{}", internal::whole(v)), false});
    }
    return out;
}

namespace {

Element card(const std::string& label, float value, float max, const std::string& unit) {
    return div().cls("spl-card")(
        div().cls("value")(std::isfinite(value) ? fmt::format("{:.1f}", value) : std::string("\u2013"),
                           span().cls("unit")(unit)),
        div().cls("label")(label),
        div().cls("max")(std::isfinite(max) ? fmt::format("Max {:.1f}", max) : std::string("Max \u2013")));
}

}  // namespace

Element spl_view(const SplViewProps& p) {
    const auto& l = p.levels;
    Element canvas_panel = div().cls("tf-panel spectrogram")(
        canvas().id("tf-spectrogram").attr("width", "960").attr("height", "512"), internal::freq_labels(false),
        div().cls("tf-title")("Spectrogram"), internal::panel_chrome(true));
    return div().cls("spl-view").id("tf-plot")(
        div().cls("spl-numbers")(card("Z Slow", l[0], l[5], p.unit), card("A Slow", l[1], l[6], p.unit),
                                 card("C Slow", l[2], l[7], p.unit), card(p.leq_short_label, l[3], l[8], p.unit),
                                 card(p.leq_long_label, l[4], l[9], p.unit)),
        component(tf_panel,
                  TfPanel{.kind = "rta",
                          .title = "RTA",
                          .labels = spl_axis_labels(p.range_top_db, p.range_bottom_db),
                          .paths = fragment(internal::empty_path("tf-rta-peak", "tf-trace rta-peak"),
                                            internal::empty_path("tf-rta", "tf-trace rta"))},
                  "tf_panel"),
        std::move(canvas_panel));
}

}  // namespace ui::tf_plot
