#pragma once
// The source cards of the sidebar's EQ layout: one card per source with its
// Predicted switch, name, trace count and delete button; under the card of
// the source being EQ'd, its seats and the Average row.
#include <cstddef>
#include <string>

#include "reactive/element.h"

namespace ui::main_window {

struct SourceCardProps {
    std::size_t index = 0;  // in the source list
    std::string name;
    bool operator==(const SourceCardProps&) const = default;
};
// One card and, for the current source, its seat rows; reads the window
// state from the root's context.
reactive::Element source_card(const SourceCardProps& p);
// The card of source `index` named `name`, as a component.
reactive::Element source_cards(std::size_t index, const std::string& name);

}  // namespace ui::main_window
