#include "shared-ui/components/tooltip.h"


#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "shared-ui/markup.h"

namespace shared_ui::components::tooltip {

using namespace reactive;

namespace {

// Fixes the bubble's width at the width of its text, so that the rectangle
// read next is the final one.
constexpr const char* MEASURE =
    "const el = document.querySelector('.tooltip'); el.style.width = ''; const r = document.createRange(); "
    "r.selectNodeContents(el); el.style.width = Math.ceil(r.getBoundingClientRect().width) + 'px';";

using HandleCell = Ref<std::optional<ElementHandle>>;

Task<void> place(HandleCell bubble, Signal<std::string> left, Signal<std::string> top, float center_x, float top_y,
                 float bottom_y) {
    (void)co_await eval(MEASURE).result();
    if (!*bubble) co_return;
    auto r = co_await (*bubble)->client_rect();
    if (!r) co_return;
    float w = static_cast<float>(r->width);
    float h = static_cast<float>(r->height);
    float window_h = 800;
    left.set(bubble_place(center_x, top_y, bottom_y, w, h, window_h).left);
    auto height = eval("send(window.innerHeight);");
    auto v = co_await height.recv();
    if (v && v->is_number()) window_h = static_cast<float>(v->get<double>());
    top.set(bubble_place(center_x, top_y, bottom_y, w, h, window_h).top);
}

}  // namespace

Task<void> TooltipState::show(std::optional<Store<TooltipState>> tooltip, std::optional<ElementHandle> anchor,
                              std::string text) {
    if (!tooltip || !anchor || text.empty()) co_return;
    std::uint64_t n = GENERATION.fetch_add(1, std::memory_order_relaxed) + 1;
    auto r = co_await anchor->client_rect();
    if (!r) co_return;
    if (GENERATION.load(std::memory_order_relaxed) != n) co_return;
    float x = static_cast<float>(r->x), y = static_cast<float>(r->y);
    float w = static_cast<float>(r->width), h = static_cast<float>(r->height);
    auto s = tooltip->write();
    s->center_x = w * 0.5f + x;
    s->top_y = y;
    s->bottom_y = y + h;
    s->visible = true;
    s->text = std::move(text);
}

void TooltipState::hide(const std::optional<Store<TooltipState>>& tooltip) {
    GENERATION.fetch_add(1, std::memory_order_relaxed);
    if (tooltip) tooltip->set(&TooltipState::visible, false);
}

BubblePlace bubble_place(float center_x, float top_y, float bottom_y, float w, float h, float window_h) {
    BubblePlace p;
    p.left = fmt::format("clamp(var(--padding), {}px, calc(100vw - {}px - var(--padding)))",
                         num_text(center_x + (-0.5f * w)), num_text(w));
    float below = bottom_y + 8.0f;
    below = below + h;
    if (below <= window_h) p.top = fmt::format("calc({}px + var(--padding))", num_text(bottom_y));
    else p.top = fmt::format("calc({}px - var(--padding) - {}px)", num_text(top_y), num_text(h));
    return p;
}

Element global_tooltip() {
    auto store = use_context<Store<TooltipState>>();
    auto bubble = use_ref(std::optional<ElementHandle>());
    auto left = use_signal(std::string("0px"));
    auto top = use_signal(std::string("0px"));
    use_effect([=] {
        bool visible = store.get(&TooltipState::visible);
        (void)store.get(&TooltipState::text);
        if (!visible) return;
        spawn(place(bubble, left, top, store.get(&TooltipState::center_x), store.get(&TooltipState::top_y),
                    store.get(&TooltipState::bottom_y)));
    });
    return div()
        .cls("tooltip")
        .style("left", left())
        .style("top", top())
        .style("opacity", store.get(&TooltipState::visible) ? "1" : "0")
        .on_mounted([bubble](const MountedEvent& e) { *bubble = e.element(); })(
            text(store.get(&TooltipState::text)));
}

Element hint_span(const hint_spanProps& p) {
    auto store = try_use_context<Store<TooltipState>>();
    auto anchor = use_ref(std::optional<ElementHandle>());
    return span()
        .cls(p.cls)
        .on_mounted([anchor](const MountedEvent& e) { *anchor = e.element(); })
        .on_pointerenter([store, anchor, t = p.text](const PointerEvent& e) {
            if (e.pointer_type != "mouse") return;
            spawn(TooltipState::show(store, *anchor, t));
        })
        .on_mouseleave([store](const MouseEvent&) { TooltipState::hide(store); })(p.text);
}

}  // namespace shared_ui::components::tooltip
