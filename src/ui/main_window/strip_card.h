#pragma once
// The strip card of one source (gain, delay, polarity, crossover filters)
// and its filter rows. Both write straight into the window's design cell.
#include <string>

#include "engine/tuning/design.h"
#include "reactive/element.h"
#include "reactive/signal.h"

namespace ui::main_window {

struct StripCardProps {
    std::string name;
    engine::design::Source source;
    bool can_align = false;
    reactive::Signal<engine::design::Design> design;
    reactive::Callback<> onedit;
    reactive::Callback<std::string> onalign;
    bool operator==(const StripCardProps&) const = default;
};
reactive::Element strip_card(const StripCardProps& p);

struct FilterControlsProps {
    std::string name;
    const char* label = "HP";
    engine::design::Filter filter;
    bool lowpass = false;
    reactive::Signal<engine::design::Design> design;
    reactive::Callback<> onedit;
    bool operator==(const FilterControlsProps&) const = default;
};
reactive::Element filter_controls(const FilterControlsProps& p);

}  // namespace ui::main_window
