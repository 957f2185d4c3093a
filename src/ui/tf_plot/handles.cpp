// Draggable handles over the magnitude panel: EQ band points, shaping gain
// bars and knee or crossover lines. The component only reports positions;
// the main window decides what they change.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::tf_plot {

using namespace reactive;

std::pair<float, float> drag_value(double page_x, double page_y, double left, double top, double width,
                                   double height) {
    const auto fx = static_cast<float>(std::clamp((page_x - left) / width, 0.0, 1.0));
    const auto fy = static_cast<float>(std::clamp((page_y - top) / height, 0.0, 1.0));
    return {std::pow(1000.0f, fx) * 20.0f, (1.0f - fy) * 40.0f - 20.0f};
}

float wheel_pixels(double delta_y, int delta_mode) {
    const double scale = delta_mode == 1 ? 20.0 : delta_mode == 2 ? 100.0 : 1.0;
    return static_cast<float>(delta_y * scale);
}

namespace {

struct Drag {
    std::size_t index = 0;
    double left = 0, top = 0, width = 0, height = 0;
};

struct HandlesState {
    std::optional<Drag> drag;
    std::optional<ElementHandle> area;
    // The latest render's callbacks.
    Callback<std::size_t, float, float> ondrag;
    Callback<> ondragend;
    // The window listeners of the current page.
    std::uint32_t generation = UINT32_MAX;
    std::string key;
    TaskHandle pump;
};

std::uint64_t next_key = 0;

// Window-wide pointer moves and releases, forwarded while the listener key is
// installed; `recv` ends when the page goes.
std::string window_events_script(const std::string& key) {
    return fmt::format(R"JS(
const reg = window.__tfHandleEvents || (window.__tfHandleEvents = {{}});
const mm = (e) => send({{ type: "mousemove", pageX: e.pageX, pageY: e.pageY }});
const mu = () => send({{ type: "mouseup" }});
window.addEventListener("mousemove", mm);
window.addEventListener("mouseup", mu);
await new Promise((done) => {{
  reg["{0}"] = () => {{
    window.removeEventListener("mousemove", mm);
    window.removeEventListener("mouseup", mu);
    delete reg["{0}"];
    done(null);
  }};
}});
)JS",
                       key);
}

std::string teardown_script(const std::string& key) {
    return fmt::format("const r = window.__tfHandleEvents; if (r && r[\"{0}\"]) r[\"{0}\"]();", key);
}

void on_window_event(HandlesState& st, const Json& ev) {
    if (!ev.is_object()) return;
    const auto type = ev.value("type", std::string());
    if (type == "mousemove") {
        const auto x = ev.find("pageX"), y = ev.find("pageY");
        if (x == ev.end() || y == ev.end() || !x->is_number() || !y->is_number()) return;
        if (!st.drag || !(st.drag->width > 0) || !(st.drag->height > 0)) return;
        const Drag d = *st.drag;
        const auto [hz, db] = drag_value(x->get<double>(), y->get<double>(), d.left, d.top, d.width, d.height);
        st.ondrag(d.index, hz, db);
    } else if (type == "mouseup") {
        const bool dragging = st.drag.has_value();
        st.drag.reset();
        if (dragging) st.ondragend();
    }
}

Task<void> pump_events(Eval ev, std::weak_ptr<HandlesState> weak) {
    for (;;) {
        auto v = co_await ev.recv();
        if (!v) co_return;
        auto st = weak.lock();
        if (!st) co_return;
        on_window_event(*st, *v);
    }
}

// Measures the handle area for the drag of handle i.
Task<void> measure(std::shared_ptr<HandlesState> st, std::size_t i) {
    if (!st->area) co_return;
    const ElementHandle area = *st->area;
    auto rect = co_await area.client_rect();
    if (!rect) co_return;
    double sx = 0, sy = 0;
    Eval scroll = eval("return [window.scrollX, window.scrollY];");
    auto reply = co_await timeout(std::chrono::milliseconds(200), scroll.result());
    if (reply && *reply && (*reply)->is_array() && (*reply)->size() == 2 && (**reply)[0].is_number() &&
        (**reply)[1].is_number()) {
        sx = (**reply)[0].get<double>();
        sy = (**reply)[1].get<double>();
    }
    if (st->drag && st->drag->index == i)
        st->drag = Drag{i, rect->x + sx, rect->y + sy, rect->width, rect->height};
}

std::string handle_style(const Handle& h) {
    const auto x = [](float hz) { return x_of_hz(hz) / 10.0f; };
    const std::string top = num(mag_y(h.db, 0.0f) / 10.0f);
    switch (h.kind.tag) {
    case HandleKind::Point: return fmt::format("left: {}%; top: {}%", num(x(h.hz)), top);
    case HandleKind::Range:
        return fmt::format("left: {}%; width: {}%; top: {}%", num(x(h.kind.lo_hz)),
                           num(x(h.kind.hi_hz) - x(h.kind.lo_hz)), top);
    case HandleKind::Line: return fmt::format("left: {}%; top: 0; height: 100%", num(x(h.hz)));
    }
    return {};
}

std::string handle_class(const Handle& h) {
    switch (h.kind.tag) {
    case HandleKind::Point: return fmt::format("tf-handle {}", h.cls);
    case HandleKind::Range: return fmt::format("tf-handle line h {}", h.cls);
    case HandleKind::Line: return fmt::format("tf-handle line v {}", h.cls);
    }
    return {};
}

}  // namespace

Element plot_handles(const PlotHandlesProps& p) {
    auto st = use_hook<std::shared_ptr<HandlesState>>([] { return std::make_shared<HandlesState>(); });
    st->ondrag = p.ondrag;
    st->ondragend = p.ondragend;

    // The window listeners, installed again in every new page.
    const std::uint32_t generation = use_page_generation();
    if (st->generation != generation) {
        if (!st->key.empty()) {
            st->pump.cancel();
            (void)eval(teardown_script(st->key));
        }
        st->generation = generation;
        st->key = fmt::format("h{}", ++next_key);
        st->pump = spawn(pump_events(eval(window_events_script(st->key)), st));
    }
    use_on_remove([st] {
        st->pump.cancel();
        if (!st->key.empty()) (void)eval(teardown_script(st->key));
    });

    Element root = div().cls("tf-handles").on_mounted([st](const MountedEvent& e) { st->area = e.element(); });
    for (std::size_t i = 0; i < p.handles.size(); ++i) {
        const Handle& h = p.handles[i];
        const std::string cls = handle_class(h);
        const bool point = h.kind.tag == HandleKind::Point;
        auto onwheel = p.onwheel;
        root(div()
                 .key(fmt::format("{}-{}", cls, i))
                 .cls(cls)
                 .attr("style", handle_style(h))
                 .title(h.title)
                 // Blocking: only a press of the primary button is kept from the plot.
                 .on_mousedown_blocking([st, i](MouseEvent& e) {
                     if (e.button != 0) return;
                     e.stop_propagation();
                     e.prevent_default();
                     (void)eval("if (document.activeElement) document.activeElement.blur();");
                     st->drag = Drag{i, 0, 0, 0, 0};
                     spawn(measure(st, i));
                 })
                 .on_wheel(
                     [onwheel, point, i](const WheelEvent& e) {
                         if (point) onwheel(i, wheel_pixels(e.delta_y, e.delta_mode));
                     },
                     {.prevent_default = true})(h.label));
    }
    return root;
}

}  // namespace ui::tf_plot
