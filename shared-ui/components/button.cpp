#include "shared-ui/components/button.h"


#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "shared-ui/components/tooltip.h"
#include "shared-ui/icons.h"

namespace shared_ui::components::button {

using namespace reactive;
using tooltip::TooltipState;

std::string button_class(const ButtonProps& p) {
    const char* look = p.button_type == ButtonType::Flat       ? "flat"
                       : p.button_type == ButtonType::FlatMini ? "flat mini"
                                                               : "";
    return fmt::format("button horizontal {} {} {} {}", p.toggled ? "toggled" : "", look, p.hint.empty() ? "" : "hint",
                       p.fill ? "fill" : "");
}

const char* align_class(LabelAlign a) {
    switch (a) {
        case LabelAlign::Left: return "text-left";
        case LabelAlign::Right: return "text-right";
        case LabelAlign::Center: break;
    }
    return "text-center";
}

Element default_button(const ButtonProps& p) {
    struct State {
        std::optional<Store<TooltipState>> tooltip;
        std::optional<ElementHandle> element{};
        bool mouse_over = false;
    };
    auto tip = try_use_context<Store<TooltipState>>();
    auto st = use_ref(State{.tooltip = tip});
    use_on_remove([st] {
        if (st->mouse_over) TooltipState::hide(st->tooltip);
    });

    Element b = reactive::button();
    b.cls(button_class(p))
        .disabled(p.disabled)
        .title(!st->tooltip && !p.hint.empty() ? p.hint : std::string())
        .on_mounted([st](const MountedEvent& e) {
            if (st->tooltip) st->element = e.element();
        })
        .on_pointerenter([st, hint = p.hint](const PointerEvent& e) {
            if (e.pointer_type != "mouse") return;
            st->mouse_over = true;
            spawn(TooltipState::show(st->tooltip, st->element, hint));
        })
        .on_mouseleave([st](const MouseEvent&) {
            st->mouse_over = false;
            TooltipState::hide(st->tooltip);
        })
        .on_mousedown([cb = p.onmousedown](const MouseEvent& e) {
            if (e.button == 0) cb(e);
        })
        .on_click([cb = p.onclick](const MouseEvent& e) { cb(e); }, {.stop_propagation = true})
        .on_blur([cb = p.onblur](const FocusEvent& e) { cb(e); });
    if (p.icon) b.append(img().attr("draggable", "false").attr("src", p.icon->url()));
    if (!p.label.empty() || p.chevron)
        b.append(div().cls(fmt::format("label no-min-width nowrap-elipsis fill {}", align_class(p.align)))(p.label));
    if (p.chevron)
        b.append(img().attr("draggable", "false").cls("padding-right").attr("src", icons::DOWN.url()));
    return b;
}

}  // namespace shared_ui::components::button
