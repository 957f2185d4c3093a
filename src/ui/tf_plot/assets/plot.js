// The plot page script: applies batches of drawing updates to the plot
// skeleton, draws the spectrogram rows and drives the pointer readout of
// every panel (cursor line, readout text, readout balls).
//
// A batch is an array of [element id, attribute, value] triples. "data-row"
// on the spectrogram canvas is drawn, never stored.

// Spectrogram colours, from the bottom of the range to the top.
const STOPS = [
  [0, 0, 24], [0, 0, 110], [0, 40, 200], [0, 170, 220],
  [0, 200, 90], [230, 230, 0], [255, 60, 0], [255, 255, 255],
];

// Colour of level v in the range bottom .. bottom + range: [r, g, b].
export function colour(v, bottom, range) {
  const out = [0, 0, 0];
  paint(out, 0, v, bottom, range);
  return out;
}

// Writes the colour of level v as red, green, blue at d[o], d[o + 1], d[o + 2].
function paint(d, o, v, bottom, range) {
  let c = (v - bottom) / range;
  if (!Number.isFinite(c)) c = 0;
  c = Math.min(Math.max(c, 0), 1);
  const s = c * 7;
  const k = Math.min(Math.floor(s), 6);
  const f = s - k;
  const a = STOPS[k], b = STOPS[k + 1];
  d[o] = Math.round(a[0] + (b[0] - a[0]) * f);
  d[o + 1] = Math.round(a[1] + (b[1] - a[1]) * f);
  d[o + 2] = Math.round(a[2] + (b[2] - a[2]) * f);
}

// Draws one row of levels at the top of the canvas, moving the picture down.
// The rows live in a ring on a canvas of their own that is never shown: a
// new row is one pixel row written into the ring, and the shown canvas gets
// the ring back in two pieces, newest row at the top. Nothing is read back
// from the shown canvas and no more than one row of pixels is uploaded per
// row, so a row costs two copies between canvases.
function drawRow(cv, levels, bottom, top) {
  const w = cv.width, h = cv.height;
  if (w < 1 || h < 1) return;
  let ring = cv.__ring;
  if (!ring || ring.width !== w || ring.height !== h) {
    ring = cv.__ring = document.createElement("canvas");
    ring.width = w;
    ring.height = h;
    cv.__head = 0;
    cv.__rows = [];
  }
  const rg = ring.__g || (ring.__g = ring.getContext("2d"));
  const g = cv.__g || (cv.__g = cv.getContext("2d"));
  const range = Math.max(top - bottom, 1);
  const rows = cv.__rows;
  rows.unshift(levels);
  if (rows.length > h) rows.length = h;
  const n = levels.length;
  let img = cv.__img;
  if (!img || img.width !== w) img = cv.__img = g.createImageData(w, 1);
  const d = img.data;
  for (let x = 0; x < w; x++) {
    const t = (w > 1 ? x / (w - 1) : 0) * (n - 1);
    const i = Math.min(Math.floor(t), n - 2);
    const f = t - i;
    const v = levels[i] + (levels[i + 1] - levels[i]) * f;
    paint(d, x * 4, v, bottom, range);
    d[x * 4 + 3] = 255;
  }
  // The newest row sits at ring row `head`, older ones below it, wrapping.
  const head = cv.__head = (cv.__head + h - 1) % h;
  rg.putImageData(img, 0, head);
  const shown = rows.length;
  const first = Math.min(h - head, shown);
  g.imageSmoothingEnabled = false;
  g.drawImage(ring, 0, head, w, first, 0, 0, w, first);
  if (shown > first) g.drawImage(ring, 0, 0, w, shown - first, 0, first, w, shown - first);
}

// The value last written per element id and attribute. An update equal to
// the held value is skipped (a batch restated unchanged costs a comparison,
// not a repaint), and an element the page renders afresh (a panel switched
// on, a stored curve shown again) gets the held values at once.
const held = new Map();

function restore(node) {
  const put = (el) => {
    const m = el.id ? held.get(el.id) : undefined;
    if (!m) return;
    for (const [attr, value] of m) if (el.getAttribute(attr) !== value) el.setAttribute(attr, value);
  };
  put(node);
  if (node.querySelectorAll) for (const el of node.querySelectorAll("[id]")) put(el);
}

let watching = false;
function watchInserts() {
  if (watching || typeof MutationObserver === "undefined" || !document.body) return;
  watching = true;
  new MutationObserver((records) => {
    if (held.size === 0) return;
    for (const r of records)
      for (const n of r.addedNodes) if (n.nodeType === 1) restore(n);
  }).observe(document.body, { childList: true, subtree: true });
}

// Writes one batch into the page; `report(context, error)` hears of items
// that failed (the others still apply). Returns how many items changed the
// page.
export function applyBatch(batch, report) {
  watchInserts();
  let changed = 0;
  for (const item of batch) {
    try { if (applyItem(item)) changed++; } catch (e) { report(item && item[0], e); }
  }
  return changed;
}

function applyItem(item) {
  const id = item[0], attr = item[1], value = item[2];
  if (attr !== "data-row") {
    let m = held.get(id);
    if (m && m.get(attr) === value) {
      // Held already; an element rendered since without it still gets it.
      const el = document.getElementById(id);
      if (!el || el.getAttribute(attr) === value) return false;
      el.setAttribute(attr, value);
      return true;
    }
    if (!m) held.set(id, (m = new Map()));
    m.set(attr, value);
    const el = document.getElementById(id);
    if (!el) return false;
    el.setAttribute(attr, value);
    return true;
  }
  const el = document.getElementById(id);
  if (!el) return false;
  const f = String(value).split("|");
  if (f.length < 5) return false;
  const bottom = parseFloat(f[1]), top = parseFloat(f[2]);
  if (f[0] === el.getAttribute("data-tag") || f[4] === "" || !Number.isFinite(bottom) || !Number.isFinite(top))
    return false;
  el.setAttribute("data-tag", f[0]);
  el.setAttribute("data-row-secs", f[3]);
  drawRow(el, f[4].split(",").map(Number), bottom, top);
  return true;
}

export async function run(consts, recv) {
  const MIN = consts.MIN, MAX = consts.MAX, PRE = consts.PRE, IR_MS = consts.IR_MS;
  let pointer = null;  // last client position {x, y}
  let reported = false;

  function report(context, e) {
    if (reported) return;
    reported = true;
    console.error("plot update failed", context, e);
  }

  function fmtHz(f) {
    return f >= 1000 ? (f / 1000).toFixed(2) + " kHz" : f.toFixed(0) + " Hz";
  }

  const BALL_WORDS = ["mag", "phase", "coh", "rta", "spectrogram"];

  function readout(target, cx, cy) {
    const panels = document.querySelectorAll(".tf-panel");
    const panel = target && target.closest ? target.closest(".tf-panel") : null;
    const plot = document.getElementById("tf-plot");
    if (!panel || !plot) {
      for (const p of panels)
        for (const cls of [".tf-cursor", ".tf-readout", ".tf-ball"]) {
          const el = p.querySelector(cls);
          if (el) el.classList.remove("on");
        }
      return;
    }
    const r = panel.getBoundingClientRect();
    let x = (cx - r.left) / r.width;
    if (!Number.isFinite(x)) x = 0;
    x = Math.min(Math.max(x, 0), 1);
    const isTime = panel.classList.contains("ir");
    const pick = (list) => list[Math.round(x * (list.length - 1))];
    const heights = {};
    let text = "";
    const rtaBall = () => {
      const entries = (plot.getAttribute("data-rta") || "").split(";");
      const e = pick(entries);
      if (entries.length >= 2 && e) heights.rta = Number(e.split(",")[1]);
      return [entries, e];
    };
    if (isTime) {
      const samples = (plot.getAttribute("data-ir") || "").split(",");
      const ms = plot.getAttribute("data-ir-ms");
      const post = ms === null || ms === "" ? IR_MS : Number(ms);
      if (samples.length >= 2)
        text = (x * (PRE + post) - PRE).toFixed(1) + " ms  " + pick(samples) + " dB";
    } else {
      const hz = MIN * Math.pow(MAX / MIN, x);
      if (panel.classList.contains("spectrogram")) {
        text = fmtHz(hz);
        const cv = panel.querySelector("canvas");
        const rows = cv && cv.__rows;
        if (rows && rows.length) {
          const cr = cv.getBoundingClientRect();
          let yf = (cy - cr.top) / cr.height;
          if (!Number.isFinite(yf)) yf = 0;
          yf = Math.min(Math.max(yf, 0), 1);
          const ri = Math.min(Math.floor(yf * cv.height), rows.length - 1);
          const lv = rows[ri];
          const v = lv[Math.round(x * (lv.length - 1))];
          const secs = Number(cv.getAttribute("data-row-secs"));
          text += "  " + Number(v).toFixed(1) + " dB  " + (ri * secs).toFixed(1) + " s ago";
          heights.spectrogram = (cr.top - r.top + yf * cr.height) / r.height * 1000;
        }
        rtaBall();
      } else if (panel.classList.contains("rta")) {
        const [entries, e] = rtaBall();
        if (entries.length >= 2 && e) text = fmtHz(hz) + "  " + e.split(",")[0] + " dB";
      } else {
        const entries = (plot.getAttribute("data-pts") || "").split(";");
        const e = pick(entries);
        if (entries.length >= 2 && e) {
          const f = e.split(",");
          text = fmtHz(hz) + "  " + f[0] + " dB  " + f[1] + "\u00b0  coh " + f[2];
          heights.mag = Number(f[3]);
          heights.phase = Number(f[4]);
          heights.coh = Number(f[5]);
        }
      }
    }
    const left = x * 100 + "%";
    for (const p of panels) {
      const cursor = p.querySelector(".tf-cursor");
      const label = p.querySelector(".tf-readout");
      if (!cursor || !label) continue;
      const shared = p.classList.contains("ir") === isTime;
      cursor.classList.toggle("on", shared);
      if (shared) cursor.style.left = left;
      const hovered = p === panel;
      label.classList.toggle("on", hovered && text !== "");
      if (hovered) {
        label.textContent = text;
        label.style.left = left;
        label.classList.toggle("flip", x > 0.5);
      }
      const ball = p.querySelector(".tf-ball");
      if (!ball) continue;
      let h;
      for (const w of BALL_WORDS)
        if (p.classList.contains(w) && heights[w] !== undefined) { h = heights[w]; break; }
      ball.classList.toggle("on", shared && h !== undefined);
      if (h !== undefined) {
        ball.style.left = left;
        ball.style.top = h / 10 + "%";
      }
    }
  }

  function leave() {
    pointer = null;
    try { readout(null, 0, 0); } catch (e) { report("refresh", e); }
  }

  document.addEventListener("mousemove", (ev) => {
    pointer = { x: ev.clientX, y: ev.clientY };
    try { readout(ev.target, ev.clientX, ev.clientY); } catch (e) { report("refresh", e); }
  });
  document.addEventListener("mouseleave", leave);
  document.addEventListener("mouseout", (ev) => { if (ev.relatedTarget === null) leave(); });
  window.addEventListener("blur", leave);

  for (;;) {
    const batch = await recv();
    if (!Array.isArray(batch)) continue;
    // The readout follows the curves only when something was drawn.
    if (applyBatch(batch, report) > 0 && pointer) {
      try {
        readout(document.elementFromPoint(pointer.x, pointer.y), pointer.x, pointer.y);
      } catch (e) { report("refresh", e); }
    }
  }
}
