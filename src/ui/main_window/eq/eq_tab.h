#pragma once
// eq/: the EQ tab. The tab itself (eq_tab), the EQ card of a source's
// filters (eq_card), the Fit card and the EQ fit (eq_fit), the Zones card
// (zones), the Export card with the console sends and the processor file
// (console), and the strips text export (strips_text).
//
// The EQ tab of the right pane: Fit, EQ, Shaping, Zones and Export cards,
// and the small markup pieces its cards share.
#include <string>
#include <vector>

#include "reactive/element.h"
#include "shared-ui/components/button.h"

namespace ui::main_window {

// Reads the window state from the root's context.
reactive::Element eq_tab();

// A card's heading: "folder static" with the title in a "name" span, then
// the heading's buttons.
reactive::Element card_heading(const std::string& title, std::vector<reactive::Element> buttons,
                               const std::string& cls = "folder static");
// A card row: a "label" div and its control, or its controls in a
// "controls" div when there are two or more.
reactive::Element card_row(const std::string& label, std::vector<reactive::Element> controls);
// The kit's button with these properties.
reactive::Element kit_button(shared_ui::components::button::ButtonProps props);

}  // namespace ui::main_window
