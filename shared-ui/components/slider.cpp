#include "shared-ui/components/slider.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"
#include "shared-ui/markup.h"

namespace shared_ui::components::slider {

using namespace reactive;

namespace {
constexpr const char* BLUR =
    "if (document.activeElement && document.activeElement.type === 'range') document.activeElement.blur();";

struct Track {
    std::optional<ElementHandle> element;
    double left = 0;
    double width = 0;
    double grab_offset = 0;
    bool touching = false;
};
using TrackCell = Ref<Track>;

Task<bool> measure(TrackCell track) {
    if (!track->element) co_return false;
    ElementHandle el = *track->element;
    auto r = co_await el.client_rect();
    if (!r) co_return false;
    track->left = r->x;
    track->width = r->width;
    co_return true;
}

Task<void> remeasure(TrackCell track) { (void)co_await measure(track); }

Task<void> touch_start(TrackCell track, double t, double fill, double value, Signal<double> drag_value,
                       Signal<bool> dragging) {
    if (!co_await measure(track)) co_return;
    if (track->width <= 0 || !track->touching) co_return;
    if (auto g = touch_grab(t, track->left, track->width, fill)) {
        track->grab_offset = *g;
        drag_value.set(value);
        dragging.set(true);
    }
}
}  // namespace

double cap(const default_sliderProps& p) { return p.limit ? std::fmin(*p.limit, p.max) : p.max; }

double fill_percent(double shown, double cap, double min, double max) {
    return (std::fmin(shown, cap) - min) / (max - min) * 100;
}

double thumb_center(double track_width, double fill) {
    return (track_width - THUMB_WIDTH) * fill / 100 + THUMB_WIDTH / 2;
}

bool pointer_grabs(double x, double track_width, double fill) {
    return track_width <= 0 || std::fabs(x - thumb_center(track_width, fill)) <= POINTER_GRAB;
}

std::optional<double> touch_grab(double t, double track_left, double track_width, double fill) {
    double c = thumb_center(track_width, fill) + track_left;
    if (std::fabs(t - c) <= TOUCH_GRAB) return t - c;
    return std::nullopt;
}

double touch_value(double t, double grab_offset, double track_left, double track_width, double min, double max,
                   double cap) {
    double f = ((t - grab_offset) - track_left - THUMB_WIDTH / 2) / std::max(track_width - THUMB_WIDTH, 1.0);
    f = std::clamp(f, 0.0, 1.0);
    return std::fmin(min + f * (max - min), cap);
}

Element default_slider(const default_sliderProps& p) {
    auto drag_value = use_signal(p.value);
    auto dragging = use_signal(false);
    auto track = use_ref(Track{});
    double c = cap(p);
    double shown = dragging() ? drag_value() : p.value;
    double fill = fill_percent(shown, c, p.min, p.max);
    double value = p.value, min = p.min, max = p.max;
    auto onchange = p.onchange;

    auto stop = [dragging] { dragging.set(false); };
    auto stop_and_blur = [dragging] {
        dragging.set(false);
        (void)eval(BLUR);
    };
    return div()
        .cls("slider-touch fill")
        .on_mounted([track](const MountedEvent& e) {
            track->element = e.element();
            spawn(remeasure(track));
        })
        .on<Event>("resize", [track](const Event&) { spawn(remeasure(track)); })
        .on_touchstart([=](const TouchEvent& e) {
            if (e.touches.empty()) return;
            track->touching = true;
            spawn(touch_start(track, e.touches[0].client_x, fill, value, drag_value, dragging));
        })
        .on_touchmove_blocking([=](TouchEvent& e) {
            if (!dragging.peek() || e.touches.empty()) return;
            e.prevent_default();
            if (track->width <= 0) return;
            double v = touch_value(e.touches[0].client_x, track->grab_offset, track->left, track->width, min, max, c);
            drag_value.set(v);
            onchange(v);
        })
        .on_touchend([=](const TouchEvent&) {
            track->touching = false;
            dragging.set(false);
        })
        .on_touchcancel([=](const TouchEvent&) {
            track->touching = false;
            dragging.set(false);
        })(input()
               .cls(fmt::format("slider {}", dragging() ? "dragging" : ""))
               .attr("type", "range")
               .attr("min", markup_number(p.min))
               .attr("max", markup_number(p.max))
               .attr("step", "any")
               .value(markup_number(shown))
               .attr("style", fmt::format("--slider-fill: {}", markup_number(fill)))
               .on_pointerdown_blocking([=](PointerEvent& e) {
                   if (pointer_grabs(e.offset_x, track->width, fill)) {
                       drag_value.set(value);
                       dragging.set(true);
                   } else {
                       e.prevent_default();
                   }
               })
               .on_pointerup([=](const PointerEvent&) { stop_and_blur(); })
               .on_pointercancel([=](const PointerEvent&) { stop(); })
               .on<PointerEvent>("lostpointercapture", [=](const PointerEvent&) { stop(); })
               .on_change([=](const InputEvent&) { stop_and_blur(); })
               .on_input([=](const InputEvent& e) {
                   auto parsed = parse_decimal(e.value);
                   if (!parsed) return;
                   double v = std::fmin(*parsed, c);
                   drag_value.set(v);
                   onchange(v);
               }));
}

}  // namespace shared_ui::components::slider
