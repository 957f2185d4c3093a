#include "shared-ui/components/stepper.h"

#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/icons.h"
#include "shared-ui/markup.h"

namespace shared_ui::components::stepper {

using namespace reactive;
using button::ButtonProps;
using button::ButtonType;

std::string display_text(double value, std::size_t decimals, bool disabled) {
    if (disabled) return {};
    std::string s = fmt::format("{:.{}f}", value, decimals);
    if (s.find('.') != std::string::npos) {
        while (s.ends_with('0')) s.pop_back();
        if (s.ends_with('.')) s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

namespace {
std::string write_if_unfocused(const std::string& id, const std::string& text) {
    auto t = js_string(text);
    return fmt::format(
        "{{ const el = document.getElementById({}); if (el && el !== document.activeElement && el.value !== {}) "
        "el.value = {}; }}",
        js_string(id), t, t);
}
std::string write_always(const std::string& id, const std::string& text) {
    return fmt::format("{{ const el = document.getElementById({}); if (el) el.value = {}; }}", js_string(id),
                       js_string(text));
}
}  // namespace

Element default_stepper(const StepperProps& p) {
    const std::string& id = use_hook<std::string>(
        [] { return fmt::format("stepper-input-{}", NEXT_ID.fetch_add(1, std::memory_order_relaxed)); });
    std::string shown_text = display_text(p.value, p.decimals, p.disabled);
    auto shown = use_reactive(shown_text);
    use_effect([id, shown] { (void)eval(write_if_unfocused(id, shown())); });
    auto minus = use_callback<const MouseEvent&>([p](const MouseEvent&) {
        if (!p.disabled) p.onchange(p.value - p.step);
    });
    auto plus = use_callback<const MouseEvent&>([p](const MouseEvent&) {
        if (!p.disabled) p.onchange(p.value + p.step);
    });
    return div().cls(fmt::format("horizontal stepper-wrapper {}", p.disabled ? "disabled" : ""))(
        div().cls("stepper-button-left")(component(
            button::default_button, ButtonProps{.button_type = ButtonType::Flat, .icon = icons::MINUS, .onclick = minus},
            "default_button")),
        input()
            .cls("stepper")
            .attr("type", "number")
            .attr("autocomplete", "off")
            .id(id)
            .disabled(p.disabled)
            .initial_value(shown_text)
            .attr("step", markup_number(p.step))
            .on_change([cb = p.onchange](const InputEvent& e) {
                if (auto v = parse_decimal(e.value)) cb(*v);
            })
            .on_focusout([id, shown_text](const FocusEvent&) { (void)eval(write_always(id, shown_text)); }),
        div().cls("stepper-button-right")(component(
            button::default_button, ButtonProps{.button_type = ButtonType::Flat, .icon = icons::PLUS, .onclick = plus},
            "default_button")));
}

}  // namespace shared_ui::components::stepper
