#pragma once
// Typed records of page events, as listeners receive them.
//
// A listener takes its event as `const MouseEvent&`. What the page should do
// with the event itself (prevent its default action, stop its propagation)
// is declared with the listener (EventOptions, element.h) and applied in the
// page at once. Only a listener declared blocking (`on_click_blocking`)
// takes `MouseEvent&`: its `prevent_default()` / `stop_propagation()` calls
// decide. The page waits for the listeners of every event but the per-frame
// ones ("resize", "scroll", "mousemove"), which are posted and whose
// decisions cannot hold.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace reactive {

using Json = nlohmann::json;
using ElementId = std::uint64_t;
class ElementHandle;

struct Event {
    std::string type;  // "click", "keydown", ...
    void prevent_default() { prevent_default_ = true; }
    void stop_propagation() { stop_propagation_ = true; }
    bool default_prevented() const { return prevent_default_; }
    bool propagation_stopped() const { return stop_propagation_; }

private:
    bool prevent_default_ = false;
    bool stop_propagation_ = false;
};

struct Modifiers {
    bool shift = false, ctrl = false, alt = false, meta = false;
};

// Mouse and pointer events (click, mousedown, contextmenu, pointerenter...).
struct MouseEvent : Event, Modifiers {
    double client_x = 0, client_y = 0;
    double offset_x = 0, offset_y = 0;
    double page_x = 0, page_y = 0;
    int button = 0;   // the button that changed: 0 main, 1 auxiliary, 2 secondary
    int buttons = 0;  // mask of the buttons held
};

struct PointerEvent : MouseEvent {
    std::int64_t pointer_id = 0;
    std::string pointer_type;  // "mouse", "pen", "touch"
};

struct WheelEvent : MouseEvent {
    double delta_x = 0, delta_y = 0;
    int delta_mode = 0;  // 0 pixels, 1 lines, 2 pages
};

struct Touch {
    std::int64_t id = 0;
    double client_x = 0, client_y = 0;
    bool operator==(const Touch&) const = default;
};
struct TouchEvent : Event, Modifiers {
    std::vector<Touch> touches;
};

struct KeyboardEvent : Event, Modifiers {
    std::string key;   // the logical key ("Enter", "a")
    std::string code;  // the physical key ("KeyA")
    bool repeat = false;
    bool composing = false;  // an input-method composition is in progress
};

// input and change: the element's current value (and checked state).
struct InputEvent : Event {
    std::string value;
    bool checked = false;
};

struct FocusEvent : Event {};

// "mounted": the element now exists in the page.
struct MountedEvent : Event {
    ElementId id = 0;
    // A handle for queries on the element (client rect, focus, scrolling).
    ElementHandle element() const;
};

// Which record an event name carries.
enum class EventFamily { Plain, Mouse, Pointer, Wheel, Touch, Keyboard, Input, Focus, Mounted };
EventFamily event_family(std::string_view type);

// Readers of the page's typed fields (missing fields keep their defaults).
void read_event(const nlohmann::json& j, MouseEvent& e);
void read_event(const nlohmann::json& j, PointerEvent& e);
void read_event(const nlohmann::json& j, WheelEvent& e);
void read_event(const nlohmann::json& j, TouchEvent& e);
void read_event(const nlohmann::json& j, KeyboardEvent& e);
void read_event(const nlohmann::json& j, InputEvent& e);
void read_event(const nlohmann::json& j, FocusEvent& e);
void read_event(const nlohmann::json& j, MountedEvent& e);
void read_event(const nlohmann::json& j, Event& e);

}  // namespace reactive
