// The plot transport: batches of drawing updates as JSON, and the page
// script that applies them.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

nlohmann::json plot_batch(const std::vector<PlotUpdate>& batch) {
    nlohmann::json out = nlohmann::json::array();
    out.get_ref<nlohmann::json::array_t&>().reserve(batch.size());
    for (const PlotUpdate& u : batch) out.push_back(nlohmann::json::array({u.id, std::string(u.attr), u.value}));
    return out;
}

std::string plot_script(float min_hz, float max_hz, float pre_ms, float ir_ms) {
    return fmt::format(
        "const plot = await import(\"{}\");\n"
        "await plot.run({{ MIN: {}, MAX: {}, PRE: {}, IR_MS: {} }}, recv);\n",
        SCRIPT_URL, num(min_hz), num(max_hz), num(pre_ms), num(ir_ms));
}

}  // namespace ui::tf_plot
