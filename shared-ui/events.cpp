#include "shared-ui/events.h"

#include <cstdint>
#include <memory>
#include <random>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"

namespace shared_ui::events {

namespace {

// The listeners live on the page's window under "_<id>_<event>"; the blur
// of text fields on a click elsewhere and the progress animator exist once
// per page while at least one bridge is installed ("_seekRafUsers" counts).
constexpr std::string_view INSTALL = R"JS(
const w = window;
const key = (s) => "_@ID@_" + s;
const mac = navigator.platform.indexOf("Mac") >= 0;
const NOT_TEXT = ["range", "checkbox", "radio", "button"];
const textField = (el) => (el instanceof HTMLInputElement && !NOT_TEXT.includes(el.type)) || el instanceof HTMLTextAreaElement;
let moveAfterRelease = false;

w[key("keydown")] = (e) => {
  const a = document.activeElement;
  const typing = !!a && (textField(a) || !!a.isContentEditable);
  const code = e.code;
  if ((code === "Space" || code === "ArrowUp" || code === "ArrowDown" || code === "Enter") && !typing) e.preventDefault();
  if ((code === "Space" || code === "Enter") && typing) return;
  const ctrl = mac ? e.metaKey : e.ctrlKey;
  const meta = mac ? e.ctrlKey : e.metaKey;
  if (typing && ctrl && code === "Backspace") e.preventDefault();
  if (ctrl && !e.shiftKey && !e.altKey && ["Digit1", "Digit2", "Digit3", "Digit4", "Digit5", "KeyU"].includes(code)) e.preventDefault();
  if (e.repeat && (ctrl || meta || e.altKey || (code !== "ArrowUp" && code !== "ArrowDown"))) return;
  send({ type: "keydown", code: code, ctrl: ctrl, shift: e.shiftKey, alt: e.altKey, meta: meta, typing: typing });
};
w[key("keyup")] = (e) => { send({ type: "keyup", code: e.code }); };
w[key("mouseup")] = (e) => { moveAfterRelease = true; send({ type: "mouseup", button: e.button }); };
w[key("mousemove")] = (e) => {
  if (e.buttons === 0) {
    if (!moveAfterRelease) return;
    moveAfterRelease = false;
  }
  send({ type: "mousemove", pageX: e.pageX, pageY: e.pageY });
};
for (const t of ["keydown", "keyup", "mouseup", "mousemove"]) w.addEventListener(t, w[key(t)]);

w[key("pointermove")] = (e) => {
  if (e.pointerType === "mouse") return;
  send({ type: "mousemove", pageX: e.pageX, pageY: e.pageY, pointerId: e.pointerId });
};
w[key("pointerup")] = (e) => {
  if (e.pointerType === "mouse") return;
  send({ type: "mouseup", button: 0, pointerId: e.pointerId });
};
w[key("pointercancel")] = (e) => {
  if (e.pointerType === "mouse") return;
  send({ type: "pointercancel", pointerId: e.pointerId });
};
for (const t of ["pointermove", "pointerup", "pointercancel"]) w.addEventListener(t, w[key(t)]);

w[key("focus")] = () => {
  for (const c of ["MetaLeft", "MetaRight", "ControlLeft", "ControlRight", "ShiftLeft", "ShiftRight", "AltLeft", "AltRight"])
    send({ type: "keyup", code: c });
};
w.addEventListener("focus", w[key("focus")]);
w[key("cueTextDidScroll")] = (e) => { send({ type: "cueTextDidScroll", pos: e.detail }); };
w.addEventListener("cueTextDidScroll", w[key("cueTextDidScroll")]);

w[key("raf")] = true;
w._seekRafUsers = (w._seekRafUsers || 0) + 1;
if (w._seekRafUsers === 1) {
  const pass = () => {
    const now = Date.now() + (w.clockOffset || 0);
    const els = document.hidden ? [] : document.querySelectorAll(".cue-row.playing, .waveform.playing, .pad.playing");
    let active = 0;
    for (const el of els) {
      const start = parseInt(el.dataset.startedAt, 10);
      const duration = parseInt(el.dataset.duration, 10);
      if (!(duration > 0)) continue;
      const steps = el.classList.contains("waveform") ? 1000000 : 2000;
      const fill = Math.floor(((now - start) / duration) * steps + 0.5) / steps;
      if (fill < 1) active += 1;
      if (fill >= 0 && fill < 1 && (fill !== el._seekFill || el.style.getPropertyValue("--fill") === "")) {
        el.style.setProperty("--fill", String(fill));
        el._seekFill = fill;
      }
    }
    if (active > 0) w._seekRaf = requestAnimationFrame(pass);
    else w._seekTimer = setTimeout(pass, 250);
  };
  w._seekRaf = requestAnimationFrame(pass);
  w._blurOnMousedown = (e) => {
    const a = document.activeElement;
    const t = e.target;
    if (!a || a === t || !(t instanceof Element)) return;
    if (textField(a) && !t.closest("input, textarea, select, label, [contenteditable], [data-keep-focus], .cue-rich-toolbar")) a.blur();
  };
  w.addEventListener("mousedown", w._blurOnMousedown, true);
}
)JS";

constexpr std::string_view REMOVE = R"JS(
const w = window;
const key = (s) => "_@ID@_" + s;
for (const t of ["keydown", "keyup", "mouseup", "mousemove", "pointermove", "pointerup", "pointercancel", "focus", "cueTextDidScroll"]) {
  if (key(t) in w) {
    w.removeEventListener(t, w[key(t)]);
    delete w[key(t)];
  }
}
if (key("raf") in w) {
  delete w[key("raf")];
  w._seekRafUsers = Math.max(0, (w._seekRafUsers === undefined ? 1 : w._seekRafUsers) - 1);
  if (w._seekRafUsers === 0) {
    cancelAnimationFrame(w._seekRaf);
    clearTimeout(w._seekTimer);
    w.removeEventListener("mousedown", w._blurOnMousedown, true);
    delete w._blurOnMousedown;
  }
}
)JS";

std::string fill_in(std::string_view script, std::string_view id) {
    std::string out(script);
    for (std::size_t at = out.find("@ID@"); at != std::string::npos; at = out.find("@ID@", at + id.size()))
        out.replace(at, 4, id);
    return out;
}

using HandlerCell = std::shared_ptr<WindowEventHandler>;

thread_local reactive::detail::Instance* t_handler_component = nullptr;

// The loop belongs to the component's task scope: it ends before the
// component is gone, so `component` stays valid while it runs.
reactive::Task<void> receive_loop(reactive::Eval ev, HandlerCell handler, reactive::detail::Instance* component) {
    for (;;) {
        auto v = co_await ev.recv();
        if (!v) co_return;
        if (!*handler) continue;
        auto* prev = std::exchange(t_handler_component, component);
        try {
            (*handler)(*v);
        } catch (...) {
            t_handler_component = prev;
            throw;
        }
        t_handler_component = prev;
    }
}

// Evaluates the install script and starts the loop that hands its values to
// the handler; gives the loop's task.
reactive::TaskHandle install(const std::string& script, const HandlerCell& handler, reactive::detail::Instance* component) {
    return reactive::spawn(receive_loop(reactive::eval(script), handler, component));
}

}  // namespace

std::string new_bridge_id() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    std::uint64_t hi = gen(), lo = gen();
    hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;  // version 4
    lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;  // variant 10
    return fmt::format("{:08x}_{:04x}_{:04x}_{:04x}_{:012x}", hi >> 32, (hi >> 16) & 0xffff, hi & 0xffff, lo >> 48,
                       lo & 0xffffffffffffULL);
}

reactive::detail::Instance* handler_component() { return t_handler_component; }

std::string install_script(std::string_view bridge_id) { return fill_in(INSTALL, bridge_id); }
std::string removal_script(std::string_view bridge_id) { return fill_in(REMOVE, bridge_id); }

void use_window_events(WindowEventHandler handler) {
    struct State {
        std::string id;
        std::string script;
        HandlerCell handler;
        std::uint32_t generation = 0;
        reactive::detail::Instance* component = nullptr;
        reactive::TaskHandle task;
        bool installed = false;
    };
    auto st = reactive::use_ref_with([&] {
        State s;
        s.id = new_bridge_id();
        s.script = install_script(s.id);
        s.handler = std::make_shared<WindowEventHandler>(std::move(handler));
        s.component = reactive::detail::current_instance();
        return s;
    });
    if (!st->installed) {
        st->task = install(st->script, st->handler, st->component);
        st->generation = reactive::use_page_generation();
        st->installed = true;
    } else if (auto g = reactive::use_page_generation(); g != st->generation) {
        // A new page carries none of the old listeners: install again, same id.
        st->task.cancel();
        st->task = install(st->script, st->handler, st->component);
        st->generation = g;
    }
    reactive::use_on_remove([st] {
        st->task.cancel();
        (void)reactive::eval(removal_script(st->id));
    });
}

}  // namespace shared_ui::events
