// The plot transport: batches of drawing updates as JSON, and the page
// script that applies them.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

namespace {

// One [id, attribute, value] row, built in place; the strings are moved in
// when the caller gives the batch away.
template <class Id, class Value>
nlohmann::json row(Id&& id, std::string_view attr, Value&& value) {
    nlohmann::json r(nlohmann::json::value_t::array);
    auto& a = r.get_ref<nlohmann::json::array_t&>();
    a.reserve(3);
    a.emplace_back(std::forward<Id>(id));
    a.emplace_back(std::string(attr));
    a.emplace_back(std::forward<Value>(value));
    return r;
}

}  // namespace

nlohmann::json plot_batch(const std::vector<PlotUpdate>& batch) {
    nlohmann::json out(nlohmann::json::value_t::array);
    auto& rows = out.get_ref<nlohmann::json::array_t&>();
    rows.reserve(batch.size());
    for (const PlotUpdate& u : batch) rows.push_back(row(u.id, u.attr, u.value));
    return out;
}

nlohmann::json plot_batch(std::vector<PlotUpdate>&& batch) {
    nlohmann::json out(nlohmann::json::value_t::array);
    auto& rows = out.get_ref<nlohmann::json::array_t&>();
    rows.reserve(batch.size());
    for (PlotUpdate& u : batch) rows.push_back(row(std::move(u.id), u.attr, std::move(u.value)));
    batch.clear();
    return out;
}

std::string plot_script(float min_hz, float max_hz, float pre_ms, float ir_ms) {
    return fmt::format(
        "const plot = await import(\"{}\");\n"
        "await plot.run({{ MIN: {}, MAX: {}, PRE: {}, IR_MS: {} }}, recv);\n",
        SCRIPT_URL, num(min_hz), num(max_hz), num(pre_ms), num(ir_ms));
}

}  // namespace ui::tf_plot
