#pragma once
// The standard button: optional icon, label and chevron, a look from
// ButtonType and a few switches, and a hint shown in the window's tooltip
// bubble (or as the native title when no tooltip store is provided).
//
// A click on the button does not propagate to the elements around it: a
// button inside a clickable row never also runs the row's click.
#include <cstdint>
#include <optional>
#include <string>

#include "reactive/element.h"
#include "shared-ui/asset.h"

namespace shared_ui::components::button {

enum class ButtonType : std::uint8_t { Normal = 0, Flat = 1, FlatMini = 2 };
enum class LabelAlign : std::uint8_t { Center = 0, Left = 1, Right = 2 };

struct ButtonProps {
    ButtonType button_type = ButtonType::Normal;
    std::optional<Asset> icon{};
    bool toggled = false;
    std::string label{};
    std::string hint{};
    bool chevron = false;
    bool fill = false;
    bool disabled = false;
    LabelAlign align = LabelAlign::Center;
    reactive::Callback<const reactive::MouseEvent&> onclick{};
    reactive::Callback<const reactive::FocusEvent&> onblur{};
    reactive::Callback<const reactive::MouseEvent&> onmousedown{};

    bool operator==(const ButtonProps&) const = default;
};

// "button horizontal {toggled} {look} {hint} {fill}", blanks kept around
// empty words.
std::string button_class(const ButtonProps& p);
// "text-center", "text-left" or "text-right".
const char* align_class(LabelAlign a);

reactive::Element default_button(const ButtonProps& p);

}  // namespace shared_ui::components::button
