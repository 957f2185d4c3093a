#pragma once
// Element trees: what a component returns.
//
//   return div().cls("stepper")(
//       input().value(text()).disabled(p.disabled)
//           .on_change([=](const InputEvent& e) { p.onchange(parse(e.value)); }),
//       span().cls("unit")("dB"));
//
// Listeners and what the page does with their events:
//
//   button().on_click([=](const MouseEvent&) { p.onclick(); }, {.stop_propagation = true})
//   div().on_contextmenu([=](const MouseEvent& e) { open_at(e.client_x, e.client_y); },
//                        {.prevent_default = true, .stop_propagation = true})
//   // only where the decision depends on host state: the page waits for it
//   input().on_pointerdown_blocking([=](PointerEvent& e) { if (!near_thumb(e)) e.prevent_default(); })
//
// Numbers in markup go through markup_number: attr("max", 5.0) writes "5",
// style("--fill", 12.25) writes "12.25", style("left", 3.5, "px") "3.5px".
//
// An Element is a handle to a node built once per render: an HTML or SVG
// element, a text node, a fragment (a list of children without an element of
// its own), a component with its props, or nothing (the default Element).
// The builder methods change the node in place and return it, so build a
// node completely before handing it on. Copies share the node; two Elements
// compare equal when they are the same node (identity).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "reactive/events.h"

namespace reactive {

// A callback passed down through props. Copies share one function; callbacks
// compare by identity, so a child re-renders when it is handed a new one. An
// empty callback does nothing when called.
template <class... Args>
class Callback {
public:
    Callback() = default;
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Callback> && std::is_invocable_v<F&, Args...>)
    Callback(F&& f) : f_(std::make_shared<std::function<void(Args...)>>(std::forward<F>(f))) {}

    void operator()(Args... args) const {
        if (f_ && *f_) (*f_)(std::forward<Args>(args)...);
    }
    explicit operator bool() const { return f_ && *f_; }
    bool operator==(const Callback& o) const { return f_ == o.f_; }

private:
    std::shared_ptr<std::function<void(Args...)>> f_;
};

using PropValue = std::variant<std::string, bool, double>;

enum class NodeKind : std::uint8_t { Empty, Text, Element, Fragment, Component };

struct Attr {
    std::string name;
    std::string value;
    bool always = false;  // written on every render, even when unchanged
};
struct Prop {
    std::string name;
    PropValue value;
    bool always = false;
    bool once = false;  // written when the element is created, never again
};
struct Style {
    std::string name;
    std::string value;
};

// The decisions of a blocking listener.
struct EventResult {
    bool prevent_default = false;
    bool stop_propagation = false;
    bool operator==(const EventResult&) const = default;
};

// What the page does with an event before handing it on, every time, without
// asking the host.
struct EventOptions {
    bool prevent_default = false;
    bool stop_propagation = false;
    bool operator==(const EventOptions&) const = default;
};

// A listener's mode on the wire: a set of these bits.
inline constexpr int LISTEN_BLOCKING = 1;  // the host's listener decides
inline constexpr int LISTEN_PREVENT = 2;   // the page prevents the default action
inline constexpr int LISTEN_STOP = 4;      // the page stops the propagation

constexpr int listen_mode(EventOptions o, bool blocking) {
    return (blocking ? LISTEN_BLOCKING : 0) | (o.prevent_default ? LISTEN_PREVENT : 0) |
           (o.stop_propagation ? LISTEN_STOP : 0);
}

struct Listener {
    std::string event;
    int mode = 0;
    std::function<EventResult(ElementId id, std::string_view type, const nlohmann::json& data)> fn;
};

// A number as markup text: the shortest decimal that reads back to the same
// value, never an exponent, no ".0" on whole numbers ("5", "0.5", "12.25");
// "0" for NaN and infinities, which no attribute or style accepts.
std::string markup_number(double v);

class Element;
struct VNode;

namespace detail {
using AnyFn = void (*)();
struct ComponentType {
    AnyFn fn;  // identity of the component function
    const char* name;
    bool (*equal)(const void* a, const void* b);
    Element (*render)(AnyFn fn, const void* props);
};
}  // namespace detail

struct VNode {
    NodeKind kind = NodeKind::Empty;
    bool svg = false;
    bool has_html = false;
    std::string tag;  // element tag; the text of a text node
    std::string key;
    std::vector<Attr> attrs;
    std::vector<Prop> props;
    std::vector<Style> styles;
    std::vector<Listener> listeners;
    std::string html;
    std::vector<Element> children;
    // Components
    const detail::ComponentType* component = nullptr;
    std::shared_ptr<const void> component_props;
};

class Element {
public:
    Element() = default;
    Element(std::string text);
    Element(std::string_view text) : Element(std::string(text)) {}
    Element(const char* text) : Element(std::string(text)) {}
    Element(std::vector<Element> children);  // a fragment
    explicit Element(std::shared_ptr<VNode> n) : n_(std::move(n)) {}

    NodeKind kind() const { return n_ ? n_->kind : NodeKind::Empty; }
    const VNode* node() const { return n_.get(); }
    explicit operator bool() const { return n_ && n_->kind != NodeKind::Empty; }
    bool operator==(const Element& o) const { return n_ == o.n_; }

    // Key among its siblings (keyed lists keep identity across moves).
    Element& key(std::string k);

    // Attributes. A boolean attribute is present (value "") when true and
    // absent when false.
    Element& attr(std::string name, std::string value);
    Element& attr(std::string name, const char* value) { return attr(std::move(name), std::string(value)); }
    Element& attr(std::string name, std::string_view value) { return attr(std::move(name), std::string(value)); }
    Element& attr(std::string name, bool on);
    // A number as its text (markup_number for floats: "0.5", "2").
    template <class N>
        requires(std::is_arithmetic_v<N> && !std::is_same_v<N, bool>)
    Element& attr(std::string name, N value) {
        if constexpr (std::is_floating_point_v<N>) return attr(std::move(name), markup_number(value));
        else return attr(std::move(name), std::to_string(value));
    }
    // An attribute written on every render, even when it did not change.
    Element& attr_always(std::string name, std::string value);
    Element& attr_always(std::string name, double value) { return attr_always(std::move(name), markup_number(value)); }
    Element& cls(std::string value) { return attr("class", std::move(value)); }
    Element& id(std::string value) { return attr("id", std::move(value)); }
    Element& title(std::string value) { return attr("title", std::move(value)); }
    Element& disabled(bool on) { return attr("disabled", on); }
    // One inline style property ("left", "3px").
    Element& style(std::string name, std::string value);
    // A number as a style value, with its unit: style("left", 3.5, "px").
    template <class N>
        requires(std::is_arithmetic_v<N> && !std::is_same_v<N, bool>)
    Element& style(std::string name, N value, std::string_view unit = {}) {
        std::string v;
        if constexpr (std::is_floating_point_v<N>) v = markup_number(value);
        else v = std::to_string(value);
        v += unit;
        return style(std::move(name), std::move(v));
    }
    // A DOM property (not an attribute); `always`: written on every render.
    Element& prop(std::string name, PropValue value, bool always = false);
    // The current value of an input, re-asserted on every render.
    Element& value(std::string v) { return prop("value", PropValue(std::move(v)), true); }
    Element& checked(bool on) { return prop("checked", PropValue(on), true); }
    // The default value of an input (its "value" attribute): written when it
    // changes, never over what the user typed since.
    Element& default_value(std::string v) { return attr("value", std::move(v)); }
    // A DOM property written once, when the element is created; later renders
    // never write it again (the page's own state, e.g. what the user types,
    // stays). The element built again after a page reload gets the value of
    // the latest render.
    Element& prop_once(std::string name, PropValue value);
    // An input's initial value: its "value" property, set once at creation.
    Element& initial_value(std::string v) { return prop_once("value", PropValue(std::move(v))); }
    // Raw inner HTML (not escaped; the element's children are ignored).
    Element& inner_html(std::string html);

    // Listeners. `fn` takes the event's record type E as `const E&`.
    // `options` are applied in the page at once.
    template <class E, class F>
    Element& on(std::string event, F&& fn, EventOptions options = {}) {
        static_assert(std::is_invocable_v<F&, const E&>,
                      "a listener takes `const E&`; one that decides prevent-default or stop-propagation "
                      "from host state is declared blocking (on_blocking / on_<event>_blocking) and takes `E&`");
        return add_listener(make_listener<E, const E&>(std::move(event), std::forward<F>(fn), listen_mode(options, false)));
    }
    // A blocking listener: the page applies its e.prevent_default() /
    // e.stop_propagation() calls (as well as `options`) once `fn` has run;
    // only for decisions that depend on host state. The per-frame events
    // ("resize", "scroll", "mousemove") never wait, so their calls are lost.
    template <class E, class F>
    Element& on_blocking(std::string event, F&& fn, EventOptions options = {}) {
        static_assert(std::is_invocable_v<F&, E&>, "a blocking listener takes the event record as `E&`");
        return add_listener(make_listener<E, E&>(std::move(event), std::forward<F>(fn), listen_mode(options, true)));
    }
#define REACTIVE_ON(name, E)                                                             \
    template <class F>                                                                   \
    Element& on_##name(F&& fn, EventOptions options = {}) {                              \
        return on<E>(#name, std::forward<F>(fn), options);                               \
    }                                                                                    \
    template <class F>                                                                   \
    Element& on_##name##_blocking(F&& fn, EventOptions options = {}) {                   \
        return on_blocking<E>(#name, std::forward<F>(fn), options);                      \
    }
    REACTIVE_ON(click, MouseEvent)
    REACTIVE_ON(dblclick, MouseEvent)
    REACTIVE_ON(contextmenu, MouseEvent)
    REACTIVE_ON(mousedown, MouseEvent)
    REACTIVE_ON(mouseup, MouseEvent)
    REACTIVE_ON(mousemove, MouseEvent)
    REACTIVE_ON(mouseenter, MouseEvent)
    REACTIVE_ON(mouseleave, MouseEvent)
    REACTIVE_ON(mouseover, MouseEvent)
    REACTIVE_ON(mouseout, MouseEvent)
    REACTIVE_ON(pointerdown, PointerEvent)
    REACTIVE_ON(pointerup, PointerEvent)
    REACTIVE_ON(pointermove, PointerEvent)
    REACTIVE_ON(pointerenter, PointerEvent)
    REACTIVE_ON(pointerleave, PointerEvent)
    REACTIVE_ON(pointercancel, PointerEvent)
    REACTIVE_ON(wheel, WheelEvent)
    REACTIVE_ON(touchstart, TouchEvent)
    REACTIVE_ON(touchmove, TouchEvent)
    REACTIVE_ON(touchend, TouchEvent)
    REACTIVE_ON(touchcancel, TouchEvent)
    REACTIVE_ON(keydown, KeyboardEvent)
    REACTIVE_ON(keyup, KeyboardEvent)
    REACTIVE_ON(input, InputEvent)
    REACTIVE_ON(change, InputEvent)
    REACTIVE_ON(focus, FocusEvent)
    REACTIVE_ON(blur, FocusEvent)
    REACTIVE_ON(focusin, FocusEvent)
    REACTIVE_ON(focusout, FocusEvent)
    REACTIVE_ON(mounted, MountedEvent)
    REACTIVE_ON(scroll, Event)
#undef REACTIVE_ON

    // Appends children: Elements, texts, vectors of Elements.
    template <class... C>
    Element& operator()(C&&... children) {
        (append(Element(std::forward<C>(children))), ...);
        return *this;
    }
    Element& append(Element child);
    Element& add_listener(Listener l);

private:
    template <class E, class Arg, class F>
    static Listener make_listener(std::string event, F&& fn, int mode) {
        Listener l;
        l.event = std::move(event);
        l.mode = mode;
        l.fn = [f = std::forward<F>(fn)](ElementId id, std::string_view type, const nlohmann::json& data) mutable {
            E e;
            e.type = std::string(type);
            if constexpr (std::is_same_v<E, MountedEvent>) e.id = id;
            (void)id;
            read_event(data, e);
            f(static_cast<Arg>(e));
            return EventResult{e.default_prevented(), e.propagation_stopped()};
        };
        return l;
    }
    VNode& node_mut();
    std::shared_ptr<VNode> n_;
};

// Builders.
Element el(std::string tag);      // an HTML element
Element svg_el(std::string tag);  // an SVG element
Element text(std::string s);
Element fragment(std::vector<Element> children);
template <class... C>
Element fragment(C&&... children) {
    return fragment(std::vector<Element>{Element(std::forward<C>(children))...});
}
// Conditional rendering: the element when `cond`, else nothing.
template <class F>
Element when(bool cond, F&& make) {
    return cond ? Element(std::forward<F>(make)()) : Element();
}

#define REACTIVE_TAG(fn, tag) \
    inline Element fn() { return el(tag); }
REACTIVE_TAG(div, "div")
REACTIVE_TAG(span, "span")
REACTIVE_TAG(button, "button")
REACTIVE_TAG(input, "input")
REACTIVE_TAG(textarea, "textarea")
REACTIVE_TAG(select, "select")
REACTIVE_TAG(option, "option")
REACTIVE_TAG(label, "label")
REACTIVE_TAG(img, "img")
REACTIVE_TAG(a, "a")
REACTIVE_TAG(p, "p")
REACTIVE_TAG(para, "p")  // for components whose props are named p
REACTIVE_TAG(ul, "ul")
REACTIVE_TAG(ol, "ol")
REACTIVE_TAG(li, "li")
REACTIVE_TAG(h1, "h1")
REACTIVE_TAG(h2, "h2")
REACTIVE_TAG(h3, "h3")
REACTIVE_TAG(table, "table")
REACTIVE_TAG(thead, "thead")
REACTIVE_TAG(tbody, "tbody")
REACTIVE_TAG(tr, "tr")
REACTIVE_TAG(td, "td")
REACTIVE_TAG(th, "th")
REACTIVE_TAG(section, "section")
REACTIVE_TAG(header, "header")
REACTIVE_TAG(footer, "footer")
REACTIVE_TAG(nav, "nav")
REACTIVE_TAG(form, "form")
REACTIVE_TAG(canvas, "canvas")
REACTIVE_TAG(pre, "pre")
REACTIVE_TAG(strong, "strong")
REACTIVE_TAG(em, "em")
REACTIVE_TAG(br, "br")
REACTIVE_TAG(hr, "hr")
#undef REACTIVE_TAG
#define REACTIVE_SVG_TAG(fn, tag) \
    inline Element fn() { return svg_el(tag); }
REACTIVE_SVG_TAG(svg, "svg")
REACTIVE_SVG_TAG(g, "g")
REACTIVE_SVG_TAG(path, "path")
REACTIVE_SVG_TAG(line, "line")
REACTIVE_SVG_TAG(rect, "rect")
REACTIVE_SVG_TAG(circle, "circle")
REACTIVE_SVG_TAG(polyline, "polyline")
REACTIVE_SVG_TAG(polygon, "polygon")
REACTIVE_SVG_TAG(defs, "defs")
REACTIVE_SVG_TAG(clip_path, "clipPath")
REACTIVE_SVG_TAG(svg_text, "text")
REACTIVE_SVG_TAG(tspan, "tspan")
#undef REACTIVE_SVG_TAG

// ---- components -----------------------------------------------------------

namespace detail {
template <class P>
bool props_equal(const void* a, const void* b) {
    return *static_cast<const P*>(a) == *static_cast<const P*>(b);
}
template <class P>
Element render_with_props(AnyFn fn, const void* props) {
    return reinterpret_cast<Element (*)(const P&)>(fn)(*static_cast<const P*>(props));
}
inline bool no_props_equal(const void*, const void*) { return true; }
inline Element render_no_props(AnyFn fn, const void*) { return reinterpret_cast<Element (*)()>(fn)(); }

const ComponentType* intern_component_type(ComponentType t);
}  // namespace detail

// A component: a function of a props record. The parent re-renders it only
// when the props differ (operator==, field by field: strings by bytes,
// floats by value with NaN never equal, callbacks and elements by identity).
template <class P>
Element component(Element (*fn)(const P&), P props, const char* name = "component") {
    static_assert(std::equality_comparable<P>, "props need operator==");
    auto n = std::make_shared<VNode>();
    n->kind = NodeKind::Component;
    n->component = detail::intern_component_type(detail::ComponentType{
        reinterpret_cast<detail::AnyFn>(fn), name, &detail::props_equal<P>, &detail::render_with_props<P>});
    n->component_props = std::make_shared<const P>(std::move(props));
    return Element(std::move(n));
}
// A component without props (rendered by its parent only once).
Element component(Element (*fn)(), const char* name = "component");

// Text of a props-less node for diagnostics: "<div class=..>" etc.
std::string describe(const Element& e);

}  // namespace reactive
