#pragma once
// The range slider: the page's range input in a wrapper, with the fill handed
// to the stylesheet as --slider-fill, presses that grab only the thumb, touch
// drags that keep the grab offset, and an optional ceiling below `max`. Every
// movement reports the new value at once; the parent owns the value.
#include <optional>

#include "reactive/element.h"

namespace shared_ui::components::slider {

struct default_sliderProps {
    double value = 0;
    double min = 0;
    double max = 1;
    std::optional<double> limit{};  // no value above it is produced
    reactive::Callback<double> onchange{};

    bool operator==(const default_sliderProps&) const = default;
};

inline constexpr double THUMB_WIDTH = 22;
inline constexpr double POINTER_GRAB = 14;  // farthest press from the thumb centre that grabs it
inline constexpr double TOUCH_GRAB = 30;

// min(limit, max) (a NaN operand ignored), or max without a limit.
double cap(const default_sliderProps& p);
// Percentage of the track up to min(shown, cap); not clamped.
double fill_percent(double shown, double cap, double min, double max);
// The thumb centre from the wrapper's left edge.
double thumb_center(double track_width, double fill);
// Whether a mouse or pen press at x (from the input's left edge) grabs the thumb.
bool pointer_grabs(double x, double track_width, double fill);
// For a touch at client x t: the grab offset when it is close enough to the thumb.
std::optional<double> touch_grab(double t, double track_left, double track_width, double fill);
// The value under a touch at client x t dragging with grab offset g.
double touch_value(double t, double grab_offset, double track_left, double track_width, double min, double max,
                   double cap);

reactive::Element default_slider(const default_sliderProps& p);

}  // namespace shared_ui::components::slider
