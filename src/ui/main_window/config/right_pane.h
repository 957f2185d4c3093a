#pragma once
// config/: the right pane and the Config tab. The pane's tab bar and pinned
// card (right_pane), the parts the settings cards share (card_parts), and the
// input, measurement, readout, generator, SPL and pinned cards, each writing
// the settings and restarting the measurement where a change needs it.
//
// The right pane: its tab bar, the cards of the chosen tab and the pinned card.
#include "reactive/element.h"

namespace ui::main_window {

// Reads the window state from the root's context. In the transfer view: the
// tabs "Config", "Align" and "EQ" over the chosen tab's cards, and the pinned
// card under them; in the SPL view the Config tab's cards alone.
reactive::Element right_pane();

// The Config tab: the input card, then the Measurement, Readout and
// Generator cards, or in the SPL view the SPL card.
reactive::Element config_tab();

}  // namespace ui::main_window
