#pragma once
// The kit's stylesheets in the order the page head links them (a later sheet
// wins on equal specificity), and the variable font the head declares as the
// family 'Inter', weights 100 to 900.
#include <array>

#include "shared-ui/asset.h"

namespace shared_ui::app_styles {

inline constexpr std::array<Asset, 21> ALL_CSS{{
    {"main.css"},
    {"light.css"},
    {"dark.css"},
    {"button.css"},
    {"tooltip.css"},
    {"cuetext.css"},
    {"grid.css"},
    {"stepper.css"},
    {"dropdown.css"},
    {"slider.css"},
    {"meter.css"},
    {"cuelist.css"},
    {"focus_overlay.css"},
    {"edit_cue_text.css"},
    {"alert.css"},
    {"waveform.css"},
    {"tabs.css"},
    {"popup_button.css"},
    {"context_menu.css"},
    {"notifications.css"},
    {"eq_editor.css"},
}};

inline constexpr Asset INTER_FONT{"fonts/InterVariable.woff2"};

}  // namespace shared_ui::app_styles
