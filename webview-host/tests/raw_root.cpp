#include "raw_root.h"

#include <algorithm>

#include <fmt/format.h>

namespace webview_host::testing {

using nlohmann::json;

namespace {
constexpr int PLACEHOLDER_ID = 99;
}

json CounterRoot::tree() {
    json b = json::array();
    b.push_back({"c", 1, "div", ""});
    b.push_back({"a", 1, "class", "app"});
    b.push_back({"c", 10, "p", ""});
    b.push_back({"a", 10, "id", "count"});
    b.push_back({"t", 2, fmt::format("Count: {}", count)});
    b.push_back({"i", 10, 2, nullptr});
    b.push_back({"i", 1, 10, nullptr});
    b.push_back({"c", 3, "button", ""});
    b.push_back({"a", 3, "id", "add"});
    b.push_back({"s", 3, "font-size", "24px"});
    b.push_back({"s", 3, "padding", "10px 30px"});
    b.push_back({"t", 4, "Add"});
    b.push_back({"i", 3, 4, nullptr});
    b.push_back({"l", 3, "click", 1});
    b.push_back({"i", 1, 3, nullptr});
    b.push_back({"c", 5, "a", ""});
    b.push_back({"a", 5, "id", "link"});
    b.push_back({"a", 5, "href", "#followed"});
    b.push_back({"t", 6, "link"});
    b.push_back({"i", 5, 6, nullptr});
    b.push_back({"l", 5, "click", 1});
    b.push_back({"i", 1, 5, nullptr});
    b.push_back({"c", 7, "div", ""});
    b.push_back({"a", 7, "id", "box"});
    b.push_back({"s", 7, "width", "200px"});
    b.push_back({"s", 7, "height", "60px"});
    b.push_back({"s", 7, "overflow", "auto"});
    b.push_back({"s", 7, "background", "#cde"});
    b.push_back({"h", 7, "<div style=\"height:400px\">scroll me</div>"});
    for (const char* e : {"mousemove", "scroll", "resize", "pointermove", "wheel"}) b.push_back({"l", 7, e, 1});
    b.push_back({"i", 1, 7, nullptr});
    b.push_back({"c", 8, "div", ""});
    b.push_back({"a", 8, "id", "async"});
    b.push_back({"a", 8, "tabindex", "0"});
    b.push_back({"t", 11, "modal"});
    b.push_back({"i", 8, 11, nullptr});
    b.push_back({"s", 8, "padding", "10px 30px"});
    b.push_back({"s", 8, "background", "#edc"});
    b.push_back({"l", 8, "click", 0});
    b.push_back({"i", 1, 8, nullptr});
    b.push_back({"l", 1, "keydown", 0});
    b.push_back({"i", 0, 1, nullptr});
    return b;
}

void CounterRoot::follow_generation() {
    if (!reads_generation || !window_) return;
    read_generation_ = true;
    auto g = window_->desktop().page_generation;
    if (g != seen_generation) {
        seen_generation = g;
        if (install_scripts) install_scripts(g);
    }
}

json CounterRoot::render_first() {
    follow_generation();
    changed_ = false;
    return tree();
}

json CounterRoot::render_dirty() {
    json b = json::array();
    if (placeholder) return b;
    follow_generation();
    if (changed_) b.push_back({"x", 2, fmt::format("Count: {}", count)});
    changed_ = false;
    return b;
}

EventReply CounterRoot::dispatch(const EventRecord& ev) {
    events.push_back(ev);
    ++depth;
    max_depth = std::max(max_depth, depth);
    if (during_dispatch) during_dispatch(ev);
    --depth;
    EventReply r;
    if (ev.id == 3 && ev.type == "click") {
        ++count;
        changed_ = true;
    }
    // The host decides: the link is never followed; the box's listeners ask
    // for the same, which the per-frame events cannot honour.
    if (ev.id == 5 || ev.id == 7) r.prevent_default = true;
    return r;
}

void CounterRoot::render_placeholder() {
    placeholder = renders_placeholder;
    changed_ = false;
}

bool CounterRoot::placeholder_mounted() const { return placeholder; }

json CounterRoot::render_reattach() {
    placeholder = false;
    json b = json::array();
    b.push_back({"t", PLACEHOLDER_ID, ""});
    b.push_back({"i", 0, PLACEHOLDER_ID, nullptr});
    b.push_back({"d", PLACEHOLDER_ID});
    follow_generation();
    for (auto& e : tree()) b.push_back(e);
    changed_ = false;
    return b;
}

}  // namespace webview_host::testing
