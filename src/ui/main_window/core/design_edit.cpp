#include "ui/main_window/core/design_edit.h"

#include <algorithm>

#include "ui/main_window/core/project.h"

namespace ui::main_window {

std::string current_source(const WindowState& s) {
    const auto& names = s.sources();
    const auto& selected = s.current_source_name();
    if (std::find(names.begin(), names.end(), selected) != names.end()) return selected;
    return names.empty() ? std::string() : names.front();
}

std::optional<std::pair<std::size_t, std::string>> current_zone(const WindowState& s) {
    const std::string name = current_source(s);
    const auto& sources = s.design().sources;
    const auto src = std::find_if(sources.begin(), sources.end(), [&](const Source& x) { return x.name == name; });
    if (src == sources.end()) return std::nullopt;
    const auto picked = s.picked_zone();
    if (!picked || *picked >= src->zones.size()) return std::nullopt;
    return std::pair{*picked, src->zones[*picked].position};
}

void edit_design(const WindowState& s, const std::function<void(Design&)>& change) {
    s.design.update(change);
    mark_unsaved(s);
}

namespace {

void swap_zone(Source& src, std::size_t i) {
    std::swap(src.bands, src.zones[i].bands);
    std::swap(src.peq, src.zones[i].peq);
}

bool same_zone_list(const Source& a, const Source& b) {
    return a.zones.size() == b.zones.size() &&
           std::equal(a.zones.begin(), a.zones.end(), b.zones.begin(),
                      [](const auto& x, const auto& y) { return x.position == y.position; });
}

}  // namespace

void edit_current_source(const WindowState& s, const std::function<void(Source&)>& change) {
    const std::string name = current_source(s);
    if (name.empty()) return;
    const auto zone = current_zone(s);
    // The change runs on a copy, so that a change that moves the zones
    // cannot leave the source's bands in another zone.
    Design copy = s.design.peek();
    const Source before = copy.source_mut(name);
    Source work = before;
    const bool swapped = zone && zone->first < work.zones.size();
    if (swapped) swap_zone(work, zone->first);
    change(work);
    if (swapped) {
        if (!same_zone_list(work, before)) return;
        swap_zone(work, zone->first);
    }
    edit_design(s, [&](Design& d) { d.source_mut(name) = std::move(work); });
}

void current_source_mut(const WindowState& s, const std::function<void(Source&)>& change) {
    const std::string name = current_source(s);
    if (name.empty()) return;
    edit_design(s, [&](Design& d) { change(d.source_mut(name)); });
}

Source source_or_new(const WindowState& s, const std::string& name) {
    const auto& sources = s.design().sources;
    const auto it = std::find_if(sources.begin(), sources.end(), [&](const Source& x) { return x.name == name; });
    return it != sources.end() ? *it : Source::make(name);
}

namespace {

std::optional<Trace> through_strip(const WindowState& s, const std::string& name, bool with_filters) {
    const auto& traces = s.traces();
    const auto& position = s.position();
    const auto it = std::find_if(traces.begin(), traces.end(), [&](const Trace& t) {
        return t.used && t.position == position && t.source == name;
    });
    if (it == traces.end()) return std::nullopt;
    return engine::design::processed_with(*it, source_or_new(s, name), with_filters);
}

}  // namespace

std::optional<Trace> trace_through_strip(const WindowState& s, const std::string& name) {
    return through_strip(s, name, true);
}
std::optional<Trace> trace_through_strip_unfiltered(const WindowState& s, const std::string& name) {
    return through_strip(s, name, false);
}

}  // namespace ui::main_window
