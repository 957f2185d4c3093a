#pragma once
// The drop-down chooser: dropdown() is a button showing the current choice;
// a click opens the window's one list, rendered by global_dropdown(), placed
// in the window from the button's rectangle and the window size.
//
// The main window provides one Signal<std::optional<OpenDropdown>> (empty:
// no list open) as a context, renders global_dropdown() once and calls
// close_open_dropdown() on Escape.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reactive/element.h"
#include "reactive/page.h"
#include "reactive/signal.h"

namespace shared_ui::components::dropdown {

// (key, label)
using Choice = std::pair<std::string, std::string>;

// The open list: a snapshot of the opening drop-down and its placement.
// `onchange` also names the owner.
struct OpenDropdown {
    std::vector<Choice> options{};
    std::string value{};
    reactive::Callback<Choice> onchange{};
    double left = 0;
    double offset = 0;  // top edge from the top, or bottom edge from the bottom when upward
    double min_width = 0;
    double max_height = 0;
    bool upward = false;

    bool operator==(const OpenDropdown&) const = default;
};

using OpenList = reactive::Signal<std::optional<OpenDropdown>>;

struct DropdownProps {
    std::vector<Choice> options{};
    bool fill = false;
    std::string value{};
    reactive::Callback<Choice> onchange{};
    std::optional<std::string> text{};  // a caption instead of the current choice's label

    bool operator==(const DropdownProps&) const = default;
};

// Placement of a list under (or over) a container in a window of W x H.
struct ListPlace {
    double left = 0, offset = 0, min_width = 0, max_height = 0;
    bool upward = false;
    bool operator==(const ListPlace&) const = default;
};
ListPlace place_list(const reactive::Rect& container, double window_w, double window_h);
// The page's [innerWidth, innerHeight] reply; 1280 x 800 for anything else.
std::pair<double, double> window_size(const std::optional<reactive::Json>& reply);
// The caption: `text` when given, else the label of the first choice whose
// key is `value`, else empty.
std::string caption(const DropdownProps& p);
// The list's inline style.
std::string list_style(const OpenDropdown& r);

reactive::Element dropdown(const DropdownProps& p);
// The one list of the window; requires the open-list context.
reactive::Element global_dropdown();
// Closes the open list, if any: from a component's render or listener, or
// from a window-event handler (the context is looked up from its component).
void close_open_dropdown();

}  // namespace shared_ui::components::dropdown
