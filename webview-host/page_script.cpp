// The index page and the page-side scripts: the document-start message
// channel, the page interpreter (applies edit batches, turns DOM events into
// event records, runs host scripts and element queries), the per-frame async
// events wrapper and the page error reporter.
#include "webview-host/page_script.h"

#include <fmt/format.h>

namespace webview_host {

namespace {

// Defined at document start, before any page script runs: one function of one
// text argument that delivers the text to the host's page-message handler.
constexpr const char* CHANNEL_SCRIPT = R"JS(
(function () {
  const h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.veltrum;
  if (!h) return;
  Object.defineProperty(window, "__veltrum_post", {
    value: function (text) { h.postMessage(String(text)); },
    writable: false, configurable: false, enumerable: false,
  });
})();
)JS";

// The page interpreter. `Interpreter` is created by the module script of the
// index page; `init` runs at page load.
constexpr const char* INTERPRETER_SCRIPT = R"JS(
class VeltrumInterpreter {
  constructor(webviewId, eventUrl) {
    this.webviewId = webviewId;
    this.eventUrl = eventUrl;
    this.nodes = new Map();
    this.listeners = new Map();   // element id -> Map(event -> {mode, fn, cleanup})
    this.hostChannels = new Map(); // channel number -> {open, queue, waiters}
    this.initialized = false;
  }

  init(root) {
    this.nodes.set(0, root);
    this.initialized = true;
  }

  // Posts {"method","params"} through the web view's message channel.
  pageMessage(method, params = {}) {
    if (!this.initialized) throw new Error("page interpreter not initialised");
    window.__veltrum_post(JSON.stringify({ method: method, params: params }));
  }

  // The event sender: hands one event record to the host over the blocking
  // request and returns the host's reply ({prevent_default,
  // stop_propagation}) or null when there is none. The page waits for the
  // listeners, so an event that arrives while one runs (a modal loop, say)
  // waits its turn in the page instead of being posted and lost.
  sendEvent(record) {
    const x = new XMLHttpRequest();
    x.open("POST", this.eventUrl, false);
    try {
      x.send(JSON.stringify(record));
    } catch (e) {
      return null;
    }
    if (!x.responseText) return null;
    try { return JSON.parse(x.responseText); } catch (e) { return null; }
  }

  eventFields(ev, type) {
    const f = {};
    if (typeof MouseEvent !== "undefined" && ev instanceof MouseEvent) {
      f.client_x = ev.clientX; f.client_y = ev.clientY;
      f.offset_x = ev.offsetX; f.offset_y = ev.offsetY;
      f.page_x = ev.pageX; f.page_y = ev.pageY;
      f.button = ev.button; f.buttons = ev.buttons;
      f.shift = ev.shiftKey; f.ctrl = ev.ctrlKey; f.alt = ev.altKey; f.meta = ev.metaKey;
      f.pointer_id = (typeof ev.pointerId === "number") ? ev.pointerId : 0;
      if (typeof ev.pointerType === "string") f.pointer_type = ev.pointerType;
      if (typeof WheelEvent !== "undefined" && ev instanceof WheelEvent) {
        f.delta_x = ev.deltaX; f.delta_y = ev.deltaY; f.delta_mode = ev.deltaMode;
      }
    } else if (typeof TouchEvent !== "undefined" && ev instanceof TouchEvent) {
      f.touches = Array.from(ev.touches, (t) => ({ id: t.identifier, client_x: t.clientX, client_y: t.clientY }));
      f.shift = ev.shiftKey; f.ctrl = ev.ctrlKey; f.alt = ev.altKey; f.meta = ev.metaKey;
    } else if (typeof KeyboardEvent !== "undefined" && ev instanceof KeyboardEvent) {
      f.key = ev.key; f.code = ev.code; f.repeat = ev.repeat;
      f.shift = ev.shiftKey; f.ctrl = ev.ctrlKey; f.alt = ev.altKey; f.meta = ev.metaKey;
      f.composing = ev.isComposing;
    } else if (type === "input" || type === "change") {
      const t = ev.target;
      f.value = (t && typeof t.value === "string") ? t.value : "";
      f.checked = !!(t && t.checked);
    } else if (type === "scroll") {
      const t = ev.target === document ? document.scrollingElement : ev.target;
      if (t) { f.scroll_top = t.scrollTop; f.scroll_left = t.scrollLeft; }
    }
    return f;
  }

  // Builds the record of one DOM event on the element that listens to it,
  // applies what the listener declared (mode bit 2: prevent the default
  // action, bit 4: stop the propagation), sends the record and applies the
  // host's answer.
  fire(id, type, mode, ev) {
    if (ev) {
      if (mode & 2) ev.preventDefault();
      if (mode & 4) ev.stopPropagation();
    }
    const record = { k: "event", id: id, type: type, bubbles: ev ? !!ev.bubbles : false,
                     e: ev ? this.eventFields(ev, type) : {} };
    const reply = this.sendEvent(record);
    if (reply && ev) {
      if (reply.prevent_default) ev.preventDefault();
      if (reply.stop_propagation) ev.stopPropagation();
    }
  }

  addListener(id, type, mode) {
    const el = this.nodes.get(id);
    if (!el) return;
    let m = this.listeners.get(id);
    if (!m) { m = new Map(); this.listeners.set(id, m); }
    const old = m.get(type);
    if (old) { old.mode = mode; return; }
    const entry = { mode: mode, cleanup: null };
    if (type === "mounted") {
      // sent when the element is inserted (see apply)
    } else if (type === "resize" && el !== window && typeof ResizeObserver !== "undefined") {
      const ro = new ResizeObserver((entries) => {
        for (const en of entries) {
          const r = en.contentRect;
          const record = { k: "event", id: id, type: "resize", bubbles: false,
                           e: { width: r.width, height: r.height } };
          this.sendEvent(record);
        }
      });
      ro.observe(el);
      entry.cleanup = () => ro.disconnect();
    } else {
      const fn = (ev) => this.fire(id, type, entry.mode, ev);
      el.addEventListener(type, fn);
      entry.cleanup = () => el.removeEventListener(type, fn);
    }
    m.set(type, entry);
  }

  removeListener(id, type) {
    const m = this.listeners.get(id);
    if (!m) return;
    const e = m.get(type);
    if (e && e.cleanup) e.cleanup();
    m.delete(type);
  }

  forget(node) {
    const walk = (n) => {
      if (n.__vid !== undefined) {
        const m = this.listeners.get(n.__vid);
        if (m) { for (const e of m.values()) if (e.cleanup) e.cleanup(); this.listeners.delete(n.__vid); }
        this.nodes.delete(n.__vid);
      }
      for (let c = n.firstChild; c; c = c.nextSibling) walk(c);
    };
    walk(node);
  }

  // Applies one batch of edits in order. A batch for another page (an older
  // webview id) is ignored.
  apply(webviewId, batch) {
    if (webviewId !== this.webviewId) return false;
    const mounted = [];
    for (const ed of batch) {
      const op = ed[0];
      switch (op) {
        case "c": {
          const el = ed[3] === "svg" ? document.createElementNS("http://www.w3.org/2000/svg", ed[2])
                                     : document.createElement(ed[2]);
          el.__vid = ed[1];
          this.nodes.set(ed[1], el);
          break;
        }
        case "t": {
          const t = document.createTextNode(ed[2]);
          t.__vid = ed[1];
          this.nodes.set(ed[1], t);
          break;
        }
        case "a": { const n = this.nodes.get(ed[1]); if (n) n.setAttribute(ed[2], ed[3]); break; }
        case "r": { const n = this.nodes.get(ed[1]); if (n) n.removeAttribute(ed[2]); break; }
        case "p": { const n = this.nodes.get(ed[1]); if (n) n[ed[2]] = ed[3]; break; }
        case "s": {
          const n = this.nodes.get(ed[1]);
          if (n && n.style) { if (ed[3] === "") n.style.removeProperty(ed[2]); else n.style.setProperty(ed[2], ed[3]); }
          break;
        }
        case "x": { const n = this.nodes.get(ed[1]); if (n) n.nodeValue = ed[2]; break; }
        case "h": { const n = this.nodes.get(ed[1]); if (n) n.innerHTML = ed[2]; break; }
        case "i": {
          const p = this.nodes.get(ed[1]);
          const n = this.nodes.get(ed[2]);
          if (!p || !n) break;
          const before = ed[3] === null || ed[3] === undefined ? null : (this.nodes.get(ed[3]) || null);
          const first = !n.__vinserted;
          p.insertBefore(n, before);
          if (first) { n.__vinserted = true; mounted.push(ed[2]); }
          break;
        }
        case "d": {
          const n = this.nodes.get(ed[1]);
          if (!n || ed[1] === 0) break;
          this.forget(n);
          if (n.parentNode) n.parentNode.removeChild(n);
          break;
        }
        case "l": this.addListener(ed[1], ed[2], ed[3]); break;
        case "u": this.removeListener(ed[1], ed[2]); break;
      }
    }
    for (const id of mounted) {
      const m = this.listeners.get(id);
      const e = m && m.get("mounted");
      if (e) {
        Promise.resolve().then(() => this.sendEvent({ k: "event", id: id, type: "mounted", bubbles: false, e: {} }));
      }
    }
    return true;
  }

  // ---- host scripts and queries -------------------------------------------
  reply(req, ok, valueOrError) {
    const p = ok ? { k: "reply", req: req, ok: true, value: valueOrError === undefined ? null : valueOrError }
                 : { k: "reply", req: req, ok: false, error: String(valueOrError) };
    this.pageMessage("query", p);
  }

  // The host sends a value into a running script's channel.
  deliver(ch, value) {
    const c = this.hostChannels.get(ch);
    if (!c || !c.open) return;
    const w = c.waiters.shift();
    if (w) w.resolve(value); else c.queue.push(value);
  }

  // The host no longer listens to these scripts.
  forgetScripts(reqs) {
    for (const req of reqs) {
      const c = this.hostChannels.get(req);
      if (c) this.closeChannel(req, c);
    }
  }

  closeChannel(req, c) {
    if (!c.open) return false;
    c.open = false;
    this.hostChannels.delete(req);
    for (const w of c.waiters.splice(0)) w.reject(new Error("the script's channel has ended"));
    return true;
  }

  // Runs one host script. The body sees send(value) (a value back to the
  // host), recv() (a promise of the next value the host sends) and end()
  // (the channel is done), also as veltrum.send / .recv / .end. Its return
  // value (awaited) is the reply. With `keep` the channel stays open after
  // the body returned (listeners it installed may still send) until end(),
  // a throw or the host forgets it; without, it closes with the reply.
  run(req, keep, body) {
    const self = this;
    const c = { open: true, queue: [], waiters: [] };
    this.hostChannels.set(req, c);
    const api = {
      send(value) {
        if (c.open) self.pageMessage("query", { k: "chan", ch: req, value: value === undefined ? null : value });
      },
      recv() {
        if (c.queue.length) return Promise.resolve(c.queue.shift());
        if (!c.open) return Promise.reject(new Error("the script's channel has ended"));
        return new Promise((resolve, reject) => c.waiters.push({ resolve: resolve, reject: reject }));
      },
      end() {
        if (self.closeChannel(req, c)) self.pageMessage("query", { k: "end", ch: req });
      },
    };
    Promise.resolve()
      .then(() => body(api, api.send, api.recv, api.end))
      .then((v) => { if (!keep) this.closeChannel(req, c); this.reply(req, true, v); },
            (e) => { this.closeChannel(req, c); this.reply(req, false, e && e.message ? e.message : e); });
  }

  // Element queries: rect, scroll_offset, scroll_size, scroll_to, focus.
  query(req, id, op, arg) {
    const el = this.nodes.get(id);
    if (!el || !el.getBoundingClientRect) { this.reply(req, false, "element not found"); return; }
    try {
      switch (op) {
        case "rect": {
          const r = el.getBoundingClientRect();
          this.reply(req, true, { x: r.x, y: r.y, width: r.width, height: r.height,
                                  top: r.top, right: r.right, bottom: r.bottom, left: r.left });
          break;
        }
        case "scroll_offset": this.reply(req, true, { x: el.scrollLeft, y: el.scrollTop }); break;
        case "scroll_size": this.reply(req, true, { width: el.scrollWidth, height: el.scrollHeight }); break;
        case "scroll_to": {
          const a = arg || {};
          el.scrollIntoView({ behavior: a.behavior || "auto", block: a.block || "start" });
          this.reply(req, true, null);
          break;
        }
        case "focus": if (arg && arg.focus === false) el.blur(); else el.focus(); this.reply(req, true, null); break;
        default: this.reply(req, false, "unknown query " + op);
      }
    } catch (e) {
      this.reply(req, false, e && e.message ? e.message : e);
    }
  }
}
)JS";

// Per-frame events go to the host as page messages and never wait.
constexpr const char* ASYNC_EVENTS_SCRIPT = R"JS(
{
  const asyncEvents = new Set(["resize", "scroll", "mousemove"]);
  const blockingSender = interp.sendEvent;
  interp.sendEvent = function (record) {
    if (asyncEvents.has(record.type)) {
      this.pageMessage("user_event", record);
      return;
    }
    return blockingSender.call(this, record);
  };
}
)JS";

// Posts uncaught errors and unhandled rejections straight through the web
// view's message channel (it works before the interpreter is initialised):
// at most 3 reports per message-and-location key, at most 50 keys per load.
constexpr const char* ERROR_REPORTER_SCRIPT = R"JS(
const jsErrorsSeen = new Map();
function reportJsError(msg, at) {
  try {
    msg = String(msg).slice(0, 2000);
    at = (at ? String(at) : "").slice(0, 200);
    const key = msg + "@" + at;
    const n = (jsErrorsSeen.get(key) || 0) + 1;
    if (n > 3) return;
    if (n === 1 && jsErrorsSeen.size >= 50) return;
    jsErrorsSeen.set(key, n);
    window.__veltrum_post(JSON.stringify({ method: "js_error", params: { msg: msg, at: at, repeat: n } }));
  } catch (e) {
  }
}
window.addEventListener("error", (e) => {
  reportJsError(e.message, String(e.filename) + ":" + String(e.lineno) + ":" + String(e.colno));
});
window.addEventListener("unhandledrejection", (e) => {
  const r = e.reason;
  reportJsError(String(r) + " " + (r && r.stack ? r.stack : ""), "promise");
});
)JS";

void replace_all(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
}

}  // namespace

std::string_view channel_script() { return CHANNEL_SCRIPT; }

std::string module_script(std::uint32_t webview_id) {
    std::string s;
    s += INTERPRETER_SCRIPT;
    s += fmt::format("const interp = new VeltrumInterpreter({}, \"{}\");\n", webview_id, EVENT_URL);
    s += "window.__veltrum = interp;\n";
    s += ASYNC_EVENTS_SCRIPT;
    s += ERROR_REPORTER_SCRIPT;
    s += R"JS(
window.addEventListener("load", () => {
  interp.init(document.getElementById("root"));
  interp.pageMessage("initialize", { webview_id: interp.webviewId });
});
)JS";
    return s;
}

std::string index_html(std::string_view head, std::uint32_t webview_id) {
    std::string script = module_script(webview_id);
    // A "</script" inside the script text would end the element early.
    replace_all(script, "</script", "<\\/script");
    return fmt::format(
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n{}</head>\n"
        "<body>\n<div id=\"root\"></div>\n<script type=\"module\">\n{}</script>\n</body>\n</html>\n",
        head, script);
}

}  // namespace webview_host
