#pragma once
// A test application showing every component of the kit, wired like the main
// window wires them (tooltip store, open-list signal, window-event bridge,
// the stepper's Enter-blur script). The GUI tests drive it with real input
// and take its screenshots.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "reactive/element.h"
#include "reactive/signal.h"
#include "shared-ui/components/context_menu.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"

namespace shared_ui::testing {

// What the tests read and set of the running gallery.
struct GalleryProbe {
    std::vector<nlohmann::json> window_events;
    std::vector<std::string> changes;  // "<control> <value>" per callback
    std::optional<reactive::Store<components::tooltip::TooltipState>> tooltip;
    std::optional<components::dropdown::OpenList> open;
    std::optional<reactive::Signal<std::string>> body_class;
    std::optional<components::context_menu::Anchor> menu;
    std::optional<reactive::Signal<double>> gain;
    std::optional<reactive::Signal<double>> level;
};
inline GalleryProbe* GALLERY = nullptr;

reactive::Element gallery();

// The page head: the font face, the kit's stylesheets in order, the
// gallery's own layout.
std::string gallery_head();

}  // namespace shared_ui::testing
