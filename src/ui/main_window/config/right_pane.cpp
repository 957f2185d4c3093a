#include "ui/main_window/config/right_pane.h"

#include "reactive/root.h"
#include "ui/main_window/align/align_tab.h"
#include "ui/main_window/config/generator_card.h"
#include "ui/main_window/config/input_card.h"
#include "ui/main_window/config/measurement_card.h"
#include "ui/main_window/config/pinned_card.h"
#include "ui/main_window/config/readout_card.h"
#include "ui/main_window/config/spl_card.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/eq/eq_tab.h"

namespace ui::main_window {

using reactive::Element;
using engine::settings::View;

namespace {
constexpr const char* TABS[] = {"Config", "Align", "EQ"};
}  // namespace

Element config_tab() {
    const WindowState s = use_window_state();
    auto tab = reactive::div().cls("vt-config");
    if (s.settings.get(&Settings::view) == View::Spl)
        return tab(reactive::component(input_card, "input_card"), reactive::component(spl_card, "spl_card"));
    return tab(reactive::component(input_card, "input_card"), reactive::component(measurement_card, "measurement_card"),
               reactive::component(readout_card, "readout_card"), reactive::component(generator_card, "generator_card"));
}

Element right_pane() {
    const WindowState s = use_window_state();
    const bool spl = s.settings.get(&Settings::view) == View::Spl;
    if (spl) return reactive::div().cls("vt-sidebar right spl")(reactive::div().cls("vt-list")(reactive::component(config_tab, "config_tab")));

    const std::size_t tab = s.right_tab();
    std::vector<Element> buttons;
    for (std::size_t i = 0; i < std::size(TABS); ++i)
        buttons.push_back(reactive::button()
                              .key(TABS[i])
                              .cls(i == tab ? "tab-btn active" : "tab-btn")
                              .on_click([s, i](const reactive::MouseEvent&) { s.right_tab.set(i); })(TABS[i]));
    Element content = tab == 1   ? reactive::component(align_tab, "align_tab")
                      : tab == 2 ? reactive::component(eq_tab, "eq_tab")
                                 : reactive::component(config_tab, "config_tab");
    return reactive::div().cls("vt-sidebar right")(reactive::div().cls("tab-bar")(std::move(buttons)),
                                                   reactive::div().cls("vt-list")(std::move(content)),
                                                   reactive::component(pinned_card, "pinned_card"));
}

}  // namespace ui::main_window
