#include "ui/main_window/eq/eq_tab.h"

#include "reactive/root.h"
#include "ui/main_window/eq/console.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/eq/eq_fit.h"
#include "ui/main_window/eq/zones.h"

namespace ui::main_window {

using reactive::Element;

Element card_heading(const std::string& title, std::vector<Element> buttons, const std::string& cls) {
    auto heading = reactive::div().cls(cls)(reactive::span().cls("name")(title));
    for (auto& b : buttons) heading.append(std::move(b));
    return heading;
}

Element card_row(const std::string& label, std::vector<Element> controls) {
    auto row = reactive::div().cls("row")(reactive::div().cls("label")(label));
    if (controls.size() == 1) return row(std::move(controls.front()));
    return row(reactive::div().cls("controls")(std::move(controls)));
}

Element kit_button(shared_ui::components::button::ButtonProps props) {
    return reactive::component(shared_ui::components::button::default_button, std::move(props), "default_button");
}

Element eq_tab() {
    return reactive::div().cls("vt-eq-tab")(
        reactive::component(fit_card, "fit_card"), reactive::component(eq_card, "eq_card"),
        reactive::component(shaping_card, "shaping_card"), reactive::component(zones_card, "zones_card"),
        reactive::component(export_card, "export_card"));
}

}  // namespace ui::main_window
