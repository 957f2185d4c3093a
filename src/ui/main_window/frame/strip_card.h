#pragma once
// The strip card of one source (gain, delay, polarity, crossover filters)
// and its filter rows. Both write straight into the window's design cell.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/tuning/design.h"
#include "reactive/element.h"
#include "reactive/signal.h"
#include "shared-ui/components/dropdown.h"

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

// Gain, delay, polarity and both crossover filters back to their defaults;
// everything else of the source (EQ, shaping, zones, routes) stays.
void reset_strip(engine::design::Source& src);

// The type-and-slope choices of a filter row, in offer order: key "LR 24",
// label "LR 24  360°" (the Galileo kinds by name, "Galileo 2nd  180°").
std::vector<shared_ui::components::dropdown::Choice> filter_options(bool lowpass);
// The key of a filter's own choice ("LR 24") and its caption on the closed
// drop-down ("LR 24", or the bare code of a Galileo kind).
std::string filter_key(const engine::design::Filter& f);
std::string filter_caption(const engine::design::Filter& f);
// Applies a chosen key to a filter: the code before the last blank sets the
// kind (unknown codes keep it), the slope after it is read as a byte (24
// when unreadable). A key without a blank changes nothing; `on` and `hz`
// never change.
void apply_filter_key(engine::design::Filter& f, std::string_view key);
// A slope text read as an unsigned byte: optional "+", digits only, at most
// 255; anything else gives 24.
std::uint8_t parse_slope(std::string_view text);
// Text read as an unsigned decimal number: an optional "+", then digits
// only, at most `max`; none otherwise.
std::optional<std::uint64_t> read_unsigned(std::string_view text, std::uint64_t max);

}  // namespace ui::main_window
