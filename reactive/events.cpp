#include "reactive/events.h"

#include <nlohmann/json.hpp>

namespace reactive {

namespace {
template <class T>
void get(const nlohmann::json& j, const char* name, T& out) {
    if (!j.is_object()) return;
    auto it = j.find(name);
    if (it == j.end() || it->is_null()) return;
    if constexpr (std::is_same_v<T, bool>) {
        if (it->is_boolean()) out = it->get<bool>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (it->is_string()) out = it->get<std::string>();
    } else if constexpr (std::is_floating_point_v<T>) {
        if (it->is_number()) out = it->get<double>();
    } else {
        if (it->is_number_integer()) out = it->get<T>();
        else if (it->is_number_float()) {
            double d = it->get<double>();
            // Integers from the page arrive as doubles sometimes; keep those in range.
            if (d >= -9.0e15 && d <= 9.0e15) out = static_cast<T>(static_cast<long long>(d));
        }
    }
}

void read_mods(const nlohmann::json& j, Modifiers& m) {
    get(j, "shift", m.shift);
    get(j, "ctrl", m.ctrl);
    get(j, "alt", m.alt);
    get(j, "meta", m.meta);
}
}  // namespace

EventFamily event_family(std::string_view t) {
    if (t == "mounted") return EventFamily::Mounted;
    if (t == "wheel") return EventFamily::Wheel;
    if (t.starts_with("pointer") || t.starts_with("gotpointer") || t.starts_with("lostpointer"))
        return EventFamily::Pointer;
    if (t.starts_with("touch")) return EventFamily::Touch;
    if (t.starts_with("key")) return EventFamily::Keyboard;
    if (t == "input" || t == "change") return EventFamily::Input;
    if (t == "focus" || t == "blur" || t == "focusin" || t == "focusout") return EventFamily::Focus;
    if (t.starts_with("mouse") || t == "click" || t == "dblclick" || t == "contextmenu" || t.starts_with("drag") ||
        t == "drop" || t == "auxclick")
        return EventFamily::Mouse;
    return EventFamily::Plain;
}

void read_event(const nlohmann::json& j, MouseEvent& e) {
    read_mods(j, e);
    get(j, "client_x", e.client_x);
    get(j, "client_y", e.client_y);
    get(j, "offset_x", e.offset_x);
    get(j, "offset_y", e.offset_y);
    get(j, "page_x", e.page_x);
    get(j, "page_y", e.page_y);
    get(j, "button", e.button);
    get(j, "buttons", e.buttons);
}
void read_event(const nlohmann::json& j, PointerEvent& e) {
    read_event(j, static_cast<MouseEvent&>(e));
    get(j, "pointer_id", e.pointer_id);
    get(j, "pointer_type", e.pointer_type);
}
void read_event(const nlohmann::json& j, WheelEvent& e) {
    read_event(j, static_cast<MouseEvent&>(e));
    get(j, "delta_x", e.delta_x);
    get(j, "delta_y", e.delta_y);
    get(j, "delta_mode", e.delta_mode);
}
void read_event(const nlohmann::json& j, TouchEvent& e) {
    read_mods(j, e);
    if (!j.is_object()) return;
    auto it = j.find("touches");
    if (it == j.end() || !it->is_array()) return;
    for (const auto& t : *it) {
        Touch x;
        get(t, "id", x.id);
        get(t, "client_x", x.client_x);
        get(t, "client_y", x.client_y);
        e.touches.push_back(x);
    }
}
void read_event(const nlohmann::json& j, KeyboardEvent& e) {
    read_mods(j, e);
    get(j, "key", e.key);
    get(j, "code", e.code);
    get(j, "repeat", e.repeat);
    get(j, "composing", e.composing);
}
void read_event(const nlohmann::json& j, InputEvent& e) {
    get(j, "value", e.value);
    get(j, "checked", e.checked);
}
void read_event(const nlohmann::json&, FocusEvent&) {}
void read_event(const nlohmann::json&, MountedEvent&) {}
void read_event(const nlohmann::json&, Event&) {}

}  // namespace reactive
