#include "ui/main_window/eq/eq_card.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "reactive/root.h"
#include "reactive/task.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/stepper.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/frame/strip_card.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using engine::design::QConv;
using engine::eqfit::Band;
using engine::eqfit::BandKind;
using engine::eqfit::Shaping;
using engine::eqfit::ShapingModel;
using reactive::div;
using reactive::Element;
using reactive::span;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;
using shared_ui::components::dropdown::Choice;
using shared_ui::components::dropdown::dropdown;
using shared_ui::components::dropdown::DropdownProps;
using shared_ui::components::stepper::default_stepper;
using shared_ui::components::stepper::StepperProps;
using ui::tf_plot::Handle;
using ui::tf_plot::HandleKind;

namespace {

constexpr float LN2 = 0.6931472f;
constexpr QConv Q_CONVS[] = {QConv::Rbj, QConv::Wing, QConv::AllenHeath, QConv::Galileo};

void swap_zone(Source& src, std::size_t i) {
    std::swap(src.bands, src.zones[i].bands);
    std::swap(src.peq, src.zones[i].peq);
}

// Changes the current source's shown strip in place, without the
// bookkeeping of an edit: the plot gestures autosave on their own terms.
template <class F>
bool write_shown(const WindowState& s, F&& change) {
    const std::string name = current_source(s);
    if (name.empty()) return false;
    const auto zone = current_zone(s);
    s.design.update([&](Design& d) {
        Source& src = d.source_mut(name);
        const bool swapped = zone && zone->first < src.zones.size();
        if (swapped) swap_zone(src, zone->first);
        change(src);
        if (swapped) swap_zone(src, zone->first);
    });
    return true;
}

const char* const* row_names(ShapingModel m) {
    static const char* const galileo[] = {"Low", "Lo-mid", "Hi-mid", "High"};
    static const char* const callisto[] = {"Low", "Lo-mid", "Mid", "Hi-mid", "High"};
    return m == ShapingModel::Callisto ? callisto : galileo;
}

const char* kind_key(BandKind k) {
    switch (k) {
        case BandKind::LowShelf: return "LS";
        case BandKind::HighShelf: return "HS";
        case BandKind::Peak:
        default: return "PK";
    }
}

std::vector<Choice> same_keys(std::initializer_list<const char*> labels) {
    std::vector<Choice> out;
    for (const char* l : labels) out.emplace_back(l, l);
    return out;
}

Element row(const char* label, Element control) {
    return div().cls("row")(div().cls("label")(label), std::move(control));
}

Element button(ButtonProps p) { return reactive::component(default_button, std::move(p), "default_button"); }
Element stepper(StepperProps p) { return reactive::component(default_stepper, std::move(p), "default_stepper"); }
Element chooser(DropdownProps p) { return reactive::component(dropdown, std::move(p), "dropdown"); }

// A click handler that does `fn` with the window state.
reactive::Callback<const reactive::MouseEvent&> on_click(std::function<void()> fn) {
    return reactive::Callback<const reactive::MouseEvent&>([fn = std::move(fn)](const reactive::MouseEvent&) { fn(); });
}

}  // namespace

// ---- pieces

Source shown_strip(const WindowState& s) {
    Source src = source_or_new(s, current_source(s));
    if (const auto zone = current_zone(s); zone && zone->first < src.zones.size()) swap_zone(src, zone->first);
    return src;
}

void limit_band(Band& b) {
    auto bound = [](float& v, float lo, float hi) {
        if (v < lo) v = lo;
        if (v > hi) v = hi;
    };
    bound(b.hz, 20.0f, 20000.0f);
    bound(b.gain_db, -15.0f, 12.0f);
    bound(b.q, 0.3f, 20.0f);
}

float bandwidth_octaves(float q) { return 2.0f * std::asinh(1.0f / (2.0f * q)) / LN2; }

std::string_view q_label(QConv c) {
    switch (c) {
        case QConv::Wing: return "Q (Wing)";
        case QConv::AllenHeath: return "Width (A&H)";
        case QConv::Galileo: return "B/W (Galileo)";
        case QConv::Rbj:
        default: return "Q (RBJ)";
    }
}

std::string_view q_header(QConv c) {
    switch (c) {
        case QConv::AllenHeath: return "Width";
        case QConv::Galileo: return "B/W";
        default: return "Q";
    }
}

double q_step(QConv c) { return c == QConv::AllenHeath || c == QConv::Galileo ? 0.05 : 0.1; }

double q_shown(QConv c, float q) {
    switch (c) {
        case QConv::Wing: return static_cast<double>(q * 1.25f);
        case QConv::AllenHeath: return static_cast<double>(bandwidth_octaves(q) / 3.0f);
        case QConv::Galileo: return static_cast<double>(1.0f / q);
        case QConv::Rbj:
        default: return static_cast<double>(q);
    }
}

float q_entered(QConv c, double entered) {
    const float v = static_cast<float>(entered);
    switch (c) {
        case QConv::Wing: return v / 1.25f;
        case QConv::AllenHeath: {
            const float n = std::max(3.0f * v, 0.01f);
            return std::pow(2.0f, n / 2.0f) / (std::pow(2.0f, n) - 1.0f);
        }
        case QConv::Galileo: return 1.0f / std::max(v, 0.05f);
        case QConv::Rbj:
        default: return v;
    }
}

std::size_t band_count(double v) {
    if (std::isnan(v)) return 1;
    const double n = std::clamp(std::trunc(v), 1.0, 16.0);
    return static_cast<std::size_t>(n);
}

void nominal_shaping(Shaping& sh) {
    Shaping fresh = Shaping::defaults(sh.model);
    fresh.on = sh.on;
    sh = fresh;
}

std::size_t shaping_gains_shown(ShapingModel m) { return Shaping::knees_used(m) + 1; }

std::vector<Handle> band_handles(const Source& strip) {
    std::vector<Handle> out;
    for (std::size_t j = 0; j < strip.bands.size(); ++j) {
        const Band& b = strip.bands[j];
        out.push_back(Handle{
            .hz = b.hz,
            .db = b.gain_db,
            .label = std::to_string(j + 1),
            .cls = b.on && strip.peq ? "" : "off",
            .title = fmt::format("Band {}: {:.0f} Hz {:+.1f} dB Q {:.1f}; drag to move, wheel for Q", j + 1, b.hz,
                                 b.gain_db, b.q),
            .kind = HandleKind::point(),
        });
    }
    return out;
}

std::vector<Handle> shaping_handles(const Shaping& sh) {
    const std::size_t k = Shaping::knees_used(sh.model);
    std::vector<float> edges{20.0f};
    for (std::size_t i = 0; i < k; ++i) edges.push_back(sh.hz[i]);
    edges.push_back(20000.0f);
    std::vector<Handle> out;
    for (std::size_t i = 0; i <= k; ++i)
        out.push_back(Handle{
            .hz = std::sqrt(edges[i] * edges[i + 1]),
            .db = sh.gain_db[i],
            .cls = sh.on ? "shaping" : "shaping off",
            .title = fmt::format("Gain {}: {:+.1f} dB; drag up or down", i + 1, sh.gain_db[i]),
            .kind = HandleKind::range(edges[i], edges[i + 1]),
        });
    for (std::size_t i = 0; i < k; ++i)
        out.push_back(Handle{
            .hz = sh.hz[i],
            .db = (sh.gain_db[i] + sh.gain_db[i + 1]) / 2.0f,
            .cls = sh.on ? "xover" : "xover off",
            .title = fmt::format("Knee {}: {:.0f} Hz; drag left or right", i + 1, sh.hz[i]),
            .kind = HandleKind::line(sh.gain_db[i], sh.gain_db[i + 1]),
        });
    return out;
}

float wheel_factor(float delta) { return std::pow(1.02f, -0.25f * delta); }

// ---- plot gestures

std::vector<Handle> eq_handles(const WindowState& s) {
    if (s.right_tab() != 2) return {};
    const Source strip = shown_strip(s);
    return s.shaping_selected() ? shaping_handles(strip.shaping) : band_handles(strip);
}

void drag_eq_handle(const WindowState& s, std::size_t index, float hz, float db) {
    if (!std::isfinite(hz) || !std::isfinite(db)) return;
    const bool shaping = s.shaping_selected.peek();
    const bool written = write_shown(s, [&](Source& src) {
        if (!shaping) {
            if (index >= src.bands.size()) return;
            Band& b = src.bands[index];
            b.on = true;
            b.hz = hz;
            b.gain_db = db;
            limit_band(b);
            return;
        }
        Shaping& sh = src.shaping;
        const std::size_t n = shaping_gains_shown(sh.model);
        if (index < n) {
            sh.gain_db[index] = db;
        } else if (index - n < sh.hz.size()) {
            sh.hz[index - n] = hz;
        } else {
            return;
        }
        sh.on = true;
        sh.clamp();
    });
    if (written) set_predicted(s, true);
}

void wheel_eq_handle(const WindowState& s, std::size_t index, float delta) {
    if (s.shaping_selected.peek() || !std::isfinite(delta)) return;
    const float factor = wheel_factor(delta);
    const bool written = write_shown(s, [&](Source& src) {
        if (index >= src.bands.size()) return;
        Band& b = src.bands[index];
        b.on = true;
        b.q *= factor;
        limit_band(b);
    });
    if (!written) return;
    set_predicted(s, true);
    if (!s.unsaved.peek()) s.unsaved.set(true);
    const std::uint64_t c = s.wheel_generation.peek() + 1;
    s.wheel_generation.set(c);
    reactive::spawn_root(autosave_after_wheel(s, c));
}

// ---- cards

Element zone_row() {
    const WindowState s = use_window_state();
    const Source src = source_or_new(s, current_source(s));
    if (src.zones.empty()) return Element();
    std::vector<Choice> options{{"", "Shared by all"}};
    for (std::size_t i = 0; i < src.zones.size(); ++i) options.emplace_back(std::to_string(i), src.zones[i].position);
    const auto zone = current_zone(s);
    auto pick = reactive::Callback<Choice>([s](Choice c) {
        const auto v = read_unsigned(c.first, std::numeric_limits<std::size_t>::max());
        s.picked_zone.set(v ? std::optional<std::size_t>(static_cast<std::size_t>(*v)) : std::nullopt);
    });
    return row("Zone", chooser(DropdownProps{.options = std::move(options),
                                             .fill = true,
                                             .value = zone ? std::to_string(zone->first) : std::string(),
                                             .onchange = pick}));
}

namespace {

Element band_row(const WindowState& s, const Band& b, std::size_t j, QConv conv, bool peq) {
    // Every change names the band by its index and is dropped when the list
    // no longer holds it.
    auto edit_band = [s, j](std::function<void(Band&)> change) {
        edit_current_source(s, [&](Source& src) {
            if (j < src.bands.size()) change(src.bands[j]);
        });
    };
    auto number = [edit_band](std::function<void(Band&, double)> set) {
        return reactive::Callback<double>([edit_band, set](double v) {
            if (!std::isfinite(v)) return;
            edit_band([&](Band& band) {
                set(band, v);
                limit_band(band);
            });
        });
    };
    return div()
        .cls(b.on && peq ? "band" : "band off")
        .title(fmt::format("{:.2f} oct", bandwidth_octaves(b.q)))(
            button(ButtonProps{.toggled = b.on,
                               .label = std::to_string(j + 1),
                               .hint = "Band on or off",
                               .onclick = on_click([edit_band] { edit_band([](Band& x) { x.on = !x.on; }); })}),
            chooser(DropdownProps{.options = same_keys({"PK", "LS", "HS"}),
                                  .fill = true,
                                  .value = kind_key(b.kind),
                                  .onchange = reactive::Callback<Choice>([edit_band](Choice c) {
                                      BandKind k;
                                      if (c.first == "PK") k = BandKind::Peak;
                                      else if (c.first == "LS") k = BandKind::LowShelf;
                                      else if (c.first == "HS") k = BandKind::HighShelf;
                                      else return;
                                      edit_band([k](Band& x) {
                                          x.kind = k;
                                          if (k != BandKind::Peak) x.q = 0.70710677f;
                                      });
                                  })}),
            stepper(StepperProps{.value = static_cast<double>(b.hz),
                                 .step = 5,
                                 .onchange = number([](Band& x, double v) { x.hz = static_cast<float>(v); }),
                                 .decimals = 1}),
            stepper(StepperProps{.value = static_cast<double>(b.gain_db),
                                 .step = 0.5,
                                 .onchange = number([](Band& x, double v) { x.gain_db = static_cast<float>(v); }),
                                 .decimals = 1}),
            stepper(StepperProps{.value = q_shown(conv, b.q),
                                 .step = q_step(conv),
                                 .onchange = number([conv](Band& x, double v) { x.q = q_entered(conv, v); }),
                                 .decimals = 1}));
}

}  // namespace

Element eq_card() {
    const WindowState s = use_window_state();
    const Source strip = shown_strip(s);
    const bool selected = !s.shaping_selected();
    std::vector<Choice> conv_options;
    for (QConv c : Q_CONVS) conv_options.emplace_back(std::string(q_label(c)), std::string(q_label(c)));

    std::vector<Element> rows;
    rows.push_back(div().cls("folder static" + std::string(selected ? " selected" : ""))(
                           span().cls("name")("EQ"),
                           button(ButtonProps{.toggled = strip.peq,
                                              .label = "On",
                                              .hint = "The parametric bands in or out of the strip",
                                              .onclick = on_click([s] {
                                                  edit_current_source(s, [](Source& x) { x.peq = !x.peq; });
                                              })}),
                           button(ButtonProps{.button_type = ButtonType::Flat,
                                              .label = "Reset",
                                              .hint = "Every band back to 0 dB, off, spread over the range",
                                              .onclick = on_click([s] {
                                                  edit_current_source(s, [](Source& x) {
                                                      const std::size_t n = x.bands.size();
                                                      x.bands.clear();
                                                      engine::eqfit::resize_bands(x.bands, n);
                                                  });
                                              })})));
    rows.push_back(row("Bands", stepper(StepperProps{
                                    .value = static_cast<double>(strip.bands.size()),
                                    .step = 1,
                                    .onchange = reactive::Callback<double>([s](double v) {
                                        const std::size_t n = band_count(v);
                                        edit_current_source(s, [n](Source& x) { engine::eqfit::resize_bands(x.bands, n); });
                                    }),
                                    .decimals = 0})));
    rows.push_back(row("Q as", chooser(DropdownProps{.options = std::move(conv_options),
                                                     .fill = true,
                                                     .value = std::string(q_label(strip.q_as)),
                                                     .onchange = reactive::Callback<Choice>([s](Choice c) {
                                                         for (QConv q : Q_CONVS)
                                                             if (c.first == q_label(q))
                                                                 edit_current_source(s, [q](Source& x) { x.q_as = q; });
                                                     })})));
    rows.push_back(row("Shelves",
                       button(ButtonProps{.toggled = strip.shelves,
                                          .label = strip.shelves ? "Allowed" : "Peaks only",
                                          .hint = "Whether Fit may use low and high shelves; peaks only for processors "
                                                  "without shelving bands",
                                          .fill = true,
                                          .onclick = on_click([s] {
                                              edit_current_source(s, [](Source& x) { x.shelves = !x.shelves; });
                                          })})));
    rows.push_back(div().cls("band head")(div(), div()("Type"), div()("Hz"), div()("dB"),
                                          div()(std::string(q_header(strip.q_as)))));
    for (std::size_t j = 0; j < strip.bands.size(); ++j)
        rows.push_back(band_row(s, strip.bands[j], j, strip.q_as, strip.peq));
    // A press anywhere in the card makes the plot's handles the bands'.
    return div()
        .cls("vt-card eq")
        .on_mousedown([s](const reactive::MouseEvent&) { s.shaping_selected.set(false); })(std::move(rows));
}

Element shaping_card() {
    const WindowState s = use_window_state();
    const Shaping sh = shown_strip(s).shaping;
    const bool selected = s.shaping_selected();
    const bool callisto = sh.model == ShapingModel::Callisto;
    const std::size_t gains = shaping_gains_shown(sh.model);
    const std::size_t knees = Shaping::knees_used(sh.model);
    auto edit_shaping = [s](std::function<void(Shaping&)> change) {
        edit_current_source(s, [&](Source& x) { change(x.shaping); });
    };

    std::vector<Element> rows;
    rows.push_back(div().cls("folder static" + std::string(selected ? " selected" : ""))(
                           span().cls("name")("Shaping"),
                           button(ButtonProps{.toggled = sh.on,
                                              .label = "On",
                                              .hint = "The broad shape in or out of the strip",
                                              .onclick = on_click([edit_shaping] {
                                                  edit_shaping([](Shaping& x) { x.on = !x.on; });
                                              })}),
                           button(ButtonProps{.button_type = ButtonType::Flat,
                                              .label = "Reset",
                                              .hint = "The shaping flat at the nominal knees, on or off as it is",
                                              .onclick = on_click([edit_shaping] { edit_shaping(nominal_shaping); })})));
    rows.push_back(row("Model", chooser(DropdownProps{.options = same_keys({"Galileo", "Callisto"}),
                                                      .fill = true,
                                                      .value = callisto ? "Callisto" : "Galileo",
                                                      .onchange = reactive::Callback<Choice>([edit_shaping](Choice c) {
                                                          ShapingModel m;
                                                          if (c.first == "Galileo") m = ShapingModel::Galileo;
                                                          else if (c.first == "Callisto") m = ShapingModel::Callisto;
                                                          else return;
                                                          edit_shaping([m](Shaping& x) {
                                                              x.model = m;
                                                              nominal_shaping(x);
                                                          });
                                                      })})));
    std::vector<Element> head{div(), div()("Band"), div()("dB"), div()("Knee Hz")};
    if (callisto) head.push_back(div()("dB/oct"));
    rows.push_back(div().cls(callisto ? "band head shaping callisto" : "band head shaping")(std::move(head)));
    const char* const* names = row_names(sh.model);
    for (std::size_t i = 0; i < gains; ++i) {
        std::string cls = "band shaping";
        if (callisto) cls += " callisto";
        if (!sh.on) cls += " off";
        std::vector<Element> cells{
            span().cls("num")(std::to_string(i + 1)), span().cls("name")(names[i]),
            stepper(StepperProps{.value = static_cast<double>(sh.gain_db[i]),
                                 .step = 0.5,
                                 .onchange = reactive::Callback<double>([edit_shaping, i](double v) {
                                     if (!std::isfinite(static_cast<float>(v))) return;
                                     edit_shaping([&](Shaping& x) {
                                         x.gain_db[i] = static_cast<float>(v);
                                         x.clamp();
                                     });
                                 }),
                                 .decimals = 1})};
        if (i < knees) {
            cells.push_back(stepper(StepperProps{.value = static_cast<double>(sh.hz[i]),
                                                 .step = 5,
                                                 .onchange = reactive::Callback<double>([edit_shaping, i](double v) {
                                                     if (!std::isfinite(static_cast<float>(v))) return;
                                                     edit_shaping([&](Shaping& x) {
                                                         x.hz[i] = static_cast<float>(v);
                                                         x.clamp();
                                                     });
                                                 }),
                                                 .decimals = 0}));
            if (callisto)
                cells.push_back(chooser(DropdownProps{.options = same_keys({"6", "12", "18", "24"}),
                                                      .fill = true,
                                                      .value = std::to_string(sh.slope_db[i]),
                                                      .onchange = reactive::Callback<Choice>([edit_shaping, i](Choice c) {
                                                          const auto v = read_unsigned(c.first, 255);
                                                          if (!v) return;
                                                          edit_shaping([&](Shaping& x) {
                                                              x.slope_db[i] = static_cast<std::uint8_t>(*v);
                                                          });
                                                      })}));
        } else {
            cells.push_back(div());
            if (callisto) cells.push_back(div());
        }
        rows.push_back(div().cls(cls)(std::move(cells)));
    }
    // A press anywhere in the card makes the plot's handles the shaping's.
    return div()
        .cls("vt-card shaping")
        .on_mousedown([s](const reactive::MouseEvent&) { s.shaping_selected.set(true); })(std::move(rows));
}

}  // namespace ui::main_window
