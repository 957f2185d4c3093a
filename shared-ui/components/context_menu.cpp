#include "shared-ui/components/context_menu.h"

#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"

namespace shared_ui::components::context_menu {

using namespace reactive;

namespace {

// Answers [width, height, [left, top, right, bottom]]: the popup's size and
// the window narrowed by every scrolling or clipping ancestor at least as
// large as the popup.
constexpr const char* MEASURE = R"JS(
const el = document.querySelector('.context-menu-popup');
if (!el) { send(null); return; }
const r = el.getBoundingClientRect();
let left = 0, top = 0, right = window.innerWidth, bottom = window.innerHeight;
for (let a = el.parentElement; a; a = a.parentElement) {
  const cs = getComputedStyle(a);
  if (cs.overflowX === 'visible' && cs.overflowY === 'visible') continue;
  const b = a.getBoundingClientRect();
  if (b.width < r.width || b.height < r.height) continue;
  left = Math.max(left, b.left); top = Math.max(top, b.top);
  right = Math.min(right, b.right); bottom = Math.min(bottom, b.bottom);
}
send([r.width, r.height, [left, top, right, bottom]]);
)JS";

double margin(double free) { return free < 0 ? 6.0 : std::fmin(free * 0.5, 6.0); }

Task<void> measure_and_place(double x, double y, Signal<std::pair<double, double>> shift) {
    auto ev = eval(MEASURE);
    auto a = co_await ev.recv();
    if (!a || !a->is_array() || a->size() != 3 || !(*a)[0].is_number() || !(*a)[1].is_number()) co_return;
    const Json& box = (*a)[2];
    if (!box.is_array() || box.size() != 4) co_return;
    for (const Json& v : box)
        if (!v.is_number()) co_return;
    shift.set(menu_shift(x, y, (*a)[0].get<double>(), (*a)[1].get<double>(), box[0].get<double>(),
                         box[1].get<double>(), box[2].get<double>(), box[3].get<double>()));
}

}  // namespace

std::pair<double, double> menu_shift(double x, double y, double w, double h, double l, double t, double r, double b) {
    double mx = margin(r - l - w);
    double my = margin(b - t - h);
    double dx = std::fmin(std::fmax(x + w - (r - mx), 0.0), std::fmax(x - (l + mx), 0.0));
    double dy = std::fmin(std::fmax(y + h - (b - my), 0.0), std::fmax(y - (t + my), 0.0));
    return {dx, dy};
}

Element context_menu(const ContextMenuProps& p) {
    auto shift = use_signal(std::pair<double, double>(0, 0));
    Anchor anchor = p.anchor;
    use_effect([anchor, shift] {
        if (!anchor()) shift.set({0, 0});
    });
    const auto& at = anchor();
    if (!at) return Element();
    auto [x, y] = *at;
    auto [dx, dy] = shift();
    return fragment(
        div()
            .cls("context-menu-overlay")
            .on_click([anchor](const MouseEvent&) { anchor.set(std::nullopt); }, {.stop_propagation = true})
            .on_contextmenu([anchor](const MouseEvent&) { anchor.set(std::nullopt); },
                            {.prevent_default = true, .stop_propagation = true}),
        div()
            .cls("context-menu-popup")
            .attr("style", fmt::format("left: {}px; top: {}px;", markup_number(x - dx), markup_number(y - dy)))
            .on_mounted([x, y, shift](const MountedEvent&) { spawn(measure_and_place(x, y, shift)); })
            .on_click([anchor](const MouseEvent&) { anchor.set(std::nullopt); }, {.stop_propagation = true})
            .on_contextmenu([](const MouseEvent&) {}, {.prevent_default = true, .stop_propagation = true})(p.children));
}

Element context_menu_item(const ContextMenuItemProps& p) {
    return div()
        .cls("context-menu-item")
        .on_click([cb = p.onclick](const MouseEvent& e) { cb(e); })(div().cls("label")(p.label));
}

}  // namespace shared_ui::components::context_menu
