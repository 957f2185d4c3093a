#pragma once
// The window's one tooltip bubble and the hint span.
//
// The main window creates one Store<TooltipState>, provides it as a context
// and renders global_tooltip() once; hovering components call
// TooltipState::show / hide. The newest request wins: a show is dropped when
// any other show or hide came after it before its anchor's rectangle arrived.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "reactive/element.h"
#include "reactive/page.h"
#include "reactive/signal.h"
#include "reactive/task.h"

namespace shared_ui::components::tooltip {

// Process-wide request counter of show and hide.
inline std::atomic<std::uint64_t> GENERATION{0};

struct TooltipState {
    bool visible = false;
    std::string text{};
    float center_x = 0;
    float top_y = 0;
    float bottom_y = 0;

    bool operator==(const TooltipState&) const = default;

    // Shows `text` next to `anchor`; run it as a task of the calling component.
    static reactive::Task<void> show(std::optional<reactive::Store<TooltipState>> tooltip,
                                     std::optional<reactive::ElementHandle> anchor, std::string text);
    static void hide(const std::optional<reactive::Store<TooltipState>>& tooltip);
};

using TooltipStore = reactive::Store<TooltipState>;

// Where the bubble goes for an anchor and a bubble of w x h in a window of
// height window_h: the inline "left" and "top" values.
struct BubblePlace {
    std::string left{};
    std::string top{};
    bool operator==(const BubblePlace&) const = default;
};
BubblePlace bubble_place(float center_x, float top_y, float bottom_y, float w, float h, float window_h);

// The bubble; requires the store as a context.
reactive::Element global_tooltip();

struct hint_spanProps {
    std::string cls{};  // the span's class attribute
    std::string text{};
    bool operator==(const hint_spanProps&) const = default;
};
// A text span that shows its text in the bubble while the mouse is over it.
reactive::Element hint_span(const hint_spanProps& p);

}  // namespace shared_ui::components::tooltip
