#pragma once
// A pop-up menu at a point of the window. The owner keeps the anchor cell
// (client x, y while open; none while closed) and passes it with the entries;
// the menu closes itself by writing none. Each opening measures the menu and
// moves it left and up just far enough to stay inside the window and any
// clipping ancestor.
#include <optional>
#include <string>
#include <utility>

#include "reactive/element.h"
#include "reactive/signal.h"

namespace shared_ui::components::context_menu {

using Anchor = reactive::Signal<std::optional<std::pair<double, double>>>;

struct ContextMenuProps {
    reactive::Element children{};
    Anchor anchor{};
    bool operator==(const ContextMenuProps&) const = default;
};

struct ContextMenuItemProps {
    std::string label{};
    reactive::Callback<const reactive::MouseEvent&> onclick{};
    bool operator==(const ContextMenuItemProps&) const = default;
};

// How far (dx, dy) a menu of w x h anchored at (x, y) moves left and up to
// stay inside the box (l, t, r, b).
std::pair<double, double> menu_shift(double x, double y, double w, double h, double l, double t, double r, double b);

reactive::Element context_menu(const ContextMenuProps& p);
reactive::Element context_menu_item(const ContextMenuItemProps& p);

}  // namespace shared_ui::components::context_menu
