#include "ui/main_window/config/card_parts.h"

#include <algorithm>
#include <cmath>

#include "shared-ui/markup.h"

namespace ui::main_window {

using namespace shared_ui::components;

CardWorkers CardWorkers::of(const WindowState& s) {
    return CardWorkers{
        .workers = Workers::of(s),
        .send_meter = [s](engine::meter::Cmd cmd) {
            if (const auto& m = s.meter.peek()) m->send(std::move(cmd));
        },
    };
}

std::optional<float> parse_float_key(std::string_view key) {
    const auto v = shared_ui::parse_decimal(key);
    if (!v) return std::nullopt;
    return static_cast<float>(*v);
}

float clamp_value(double v, float lo, float hi, float nan) {
    if (std::isnan(v)) return nan;
    return static_cast<float>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
}

reactive::Element card(std::string cls, std::string title, std::vector<reactive::Element> rows) {
    auto c = reactive::div().cls(std::move(cls));
    if (!title.empty()) c(reactive::div().cls("folder static")(reactive::span().cls("name")(std::move(title))));
    c(std::move(rows));
    return c;
}

reactive::Element row(std::string label, reactive::Element control) {
    return reactive::div().cls("row")(reactive::div().cls("label")(std::move(label)), std::move(control));
}

reactive::Element controls_row(std::string label, std::vector<reactive::Element> controls) {
    return row(std::move(label), reactive::div().cls("controls")(std::move(controls)));
}

reactive::Element choose(Choices options, std::string value, reactive::Callback<Choice> onchange) {
    return reactive::component(dropdown::dropdown,
                               dropdown::DropdownProps{.options = std::move(options),
                                                       .fill = true,
                                                       .value = std::move(value),
                                                       .onchange = std::move(onchange)},
                               "dropdown");
}

reactive::Element number(double value, double step, std::size_t decimals, reactive::Callback<double> onchange,
                         bool disabled) {
    return reactive::component(stepper::default_stepper,
                               stepper::StepperProps{.value = value,
                                                     .step = step,
                                                     .disabled = disabled,
                                                     .onchange = std::move(onchange),
                                                     .decimals = decimals},
                               "default_stepper");
}

reactive::Element toggle(std::string label, bool on, std::string hint,
                         reactive::Callback<const reactive::MouseEvent&> onclick) {
    return reactive::component(button::default_button,
                               button::ButtonProps{.toggled = on,
                                                   .label = std::move(label),
                                                   .hint = std::move(hint),
                                                   .fill = true,
                                                   .onclick = std::move(onclick)},
                               "default_button");
}

}  // namespace ui::main_window
