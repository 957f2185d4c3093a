#include "ui/main_window/frame/strip_card.h"

#include <cmath>

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/stepper.h"

namespace ui::main_window {

using engine::design::Design;
using engine::design::Filter;
using engine::design::FilterKind;
using engine::design::Source;
using reactive::div;
using reactive::span;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;
using shared_ui::components::dropdown::Choice;
using shared_ui::components::dropdown::DropdownProps;
using shared_ui::components::stepper::default_stepper;
using shared_ui::components::stepper::StepperProps;

namespace {

struct KindOffer {
    FilterKind kind;
    std::vector<unsigned> slopes;
    const char* phase;  // fixed phase text of the Galileo kinds
};

const std::vector<KindOffer>& offers() {
    static const std::vector<KindOffer> list = {
        {FilterKind::LinkwitzRiley, {12, 24, 36, 48}, nullptr},
        {FilterKind::Butterworth, {6, 12, 18, 24, 30, 36, 42, 48}, nullptr},
        {FilterKind::GalileoHp, {12}, "180°"},
        {FilterKind::GalileoLp, {24}, "150°"},
        {FilterKind::GalileoElliptic, {24}, "120°"},
    };
    return list;
}

bool plain_family(FilterKind k) { return k == FilterKind::Butterworth || k == FilterKind::LinkwitzRiley; }

// A value the card may store: finite once narrowed to 32 bits.
bool storable(double v) { return std::isfinite(static_cast<float>(v)); }

}  // namespace

std::optional<std::uint64_t> read_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > max) return std::nullopt;
    }
    return v;
}

std::uint8_t parse_slope(std::string_view text) {
    const auto v = read_unsigned(text, 255);
    return v ? static_cast<std::uint8_t>(*v) : std::uint8_t{24};
}

std::vector<Choice> filter_options(bool lowpass) {
    std::vector<Choice> out;
    for (const auto& o : offers()) {
        if (lowpass ? (o.kind == FilterKind::GalileoHp || o.kind == FilterKind::GalileoElliptic)
                    : o.kind == FilterKind::GalileoLp)
            continue;
        const char* code = engine::design::short_label(o.kind);
        for (unsigned slope : o.slopes) {
            const std::string name = plain_family(o.kind) ? fmt::format("{} {}", code, slope) : fmt::format("Galileo {}", code);
            const std::string phase = o.phase ? std::string(o.phase) : fmt::format("{}°", slope / 6 * 90);
            out.emplace_back(fmt::format("{} {}", code, slope), fmt::format("{}  {}", name, phase));
        }
    }
    return out;
}

std::string filter_key(const Filter& f) { return fmt::format("{} {}", engine::design::short_label(f.kind), f.slope_db); }

std::string filter_caption(const Filter& f) {
    return plain_family(f.kind) ? filter_key(f) : std::string(engine::design::short_label(f.kind));
}

void apply_filter_key(Filter& f, std::string_view key) {
    const auto blank = key.rfind(' ');
    if (blank == std::string_view::npos) return;
    const std::string_view code = key.substr(0, blank);
    for (auto k : {FilterKind::Butterworth, FilterKind::LinkwitzRiley, FilterKind::GalileoHp, FilterKind::GalileoLp,
                   FilterKind::GalileoElliptic})
        if (code == engine::design::short_label(k)) f.kind = k;
    f.slope_db = parse_slope(key.substr(blank + 1));
}

void reset_strip(Source& src) {
    const Source fresh = Source::make("");
    src.gain_db = fresh.gain_db;
    src.delay_ms = fresh.delay_ms;
    src.invert = fresh.invert;
    src.hp = fresh.hp;
    src.lp = fresh.lp;
}

namespace {

// One edit of the named source: the design is written, then `onedit` runs
// (after the write has ended, so it may read the design).
template <class F>
void edit_named(const reactive::Signal<Design>& design, const std::string& name, const reactive::Callback<>& onedit,
                F&& change) {
    design.update([&](Design& d) { change(d.source_mut(name)); });
    onedit();
}

}  // namespace

reactive::Element filter_controls(const FilterControlsProps& p) {
    auto name = reactive::use_ref(std::string());
    name.set(p.name);
    const bool lowpass = p.lowpass;
    auto edit = [name, design = p.design, onedit = p.onedit, lowpass](auto&& change) {
        edit_named(design, *name, onedit, [&](Source& src) { change(lowpass ? src.lp : src.hp); });
    };
    auto toggle = reactive::use_callback<const reactive::MouseEvent&>(
        [edit](const reactive::MouseEvent&) { edit([](Filter& f) { f.on = !f.on; }); });
    auto choose = reactive::use_callback<Choice>(
        [edit](Choice c) { edit([&](Filter& f) { apply_filter_key(f, c.first); }); });
    auto set_hz = reactive::use_callback<double>([edit](double v) {
        if (!(v >= 10.0)) v = 10.0;
        if (!storable(v)) return;
        edit([&](Filter& f) { f.hz = static_cast<float>(v); });
    });
    return div().cls("row xover")(
        reactive::component(default_button,
                            ButtonProps{.button_type = ButtonType::Normal,
                                        .toggled = p.filter.on,
                                        .label = p.label,
                                        .hint = lowpass ? "Lowpass on or off" : "Highpass on or off",
                                        .onclick = toggle},
                            "default_button"),
        div().cls("controls")(
            reactive::component(shared_ui::components::dropdown::dropdown,
                                DropdownProps{.options = filter_options(lowpass),
                                              .fill = true,
                                              .value = filter_key(p.filter),
                                              .onchange = choose,
                                              .text = filter_caption(p.filter)},
                                "dropdown"),
            reactive::component(default_stepper,
                                StepperProps{.value = static_cast<double>(p.filter.hz),
                                             .step = 10,
                                             .disabled = !p.filter.on,
                                             .onchange = set_hz,
                                             .decimals = 1},
                                "default_stepper"),
            span().cls("unit")("Hz")));
}

reactive::Element strip_card(const StripCardProps& p) {
    auto name = reactive::use_ref(std::string());
    name.set(p.name);
    auto edit = [name, design = p.design, onedit = p.onedit](auto&& change) {
        edit_named(design, *name, onedit, change);
    };
    auto reset = reactive::use_callback<const reactive::MouseEvent&>(
        [edit](const reactive::MouseEvent&) { edit([](Source& s) { reset_strip(s); }); });
    auto flip = reactive::use_callback<const reactive::MouseEvent&>(
        [edit](const reactive::MouseEvent&) { edit([](Source& s) { s.invert = !s.invert; }); });
    auto set_gain = reactive::use_callback<double>([edit](double v) {
        if (!storable(v)) return;
        edit([&](Source& s) { s.gain_db = static_cast<float>(v); });
    });
    auto set_delay = reactive::use_callback<double>([edit](double v) {
        if (!(v > 0.0)) v = 0.0;
        if (!storable(v)) return;
        edit([&](Source& s) { s.delay_ms = static_cast<float>(v); });
    });
    // The Align button names the source this card was drawn for.
    auto align = reactive::Callback<const reactive::MouseEvent&>(
        [onalign = p.onalign, shown = p.name](const reactive::MouseEvent&) { onalign(shown); });

    auto row = [](const char* label, reactive::Element control) {
        return div().cls("row")(div().cls("label")(label), std::move(control));
    };
    return div().cls("vt-card")(
        div().cls("folder static")(
            span().cls("name")(p.name),
            reactive::component(default_button,
                                ButtonProps{.button_type = ButtonType::Flat,
                                            .label = "Align",
                                            .hint = "Level and delay this source against another; try the candidates, "
                                                    "then keep or cancel",
                                            .disabled = !p.can_align,
                                            .onclick = align},
                                "default_button"),
            reactive::component(default_button,
                                ButtonProps{.button_type = ButtonType::Flat,
                                            .label = "Reset",
                                            .hint = "Gain, delay, polarity and crossover back to defaults; EQ bands stay",
                                            .onclick = reset},
                                "default_button")),
        row("Gain dB", reactive::component(default_stepper,
                                           StepperProps{.value = static_cast<double>(p.source.gain_db),
                                                        .step = 0.5,
                                                        .onchange = set_gain,
                                                        .decimals = 1},
                                           "default_stepper")),
        row("Delay ms", reactive::component(default_stepper,
                                            StepperProps{.value = static_cast<double>(p.source.delay_ms),
                                                         .step = 0.1,
                                                         .onchange = set_delay,
                                                         .decimals = 1},
                                            "default_stepper")),
        row("Polarity", div().cls("controls")(reactive::component(
                            default_button,
                            ButtonProps{.button_type = ButtonType::Normal,
                                        .toggled = p.source.invert,
                                        .label = p.source.invert ? "Inverted" : "Normal",
                                        .hint = "Flip this source's polarity",
                                        .fill = true,
                                        .onclick = flip},
                            "default_button"))),
        reactive::component(filter_controls,
                            FilterControlsProps{.name = p.name,
                                                .label = "HP",
                                                .filter = p.source.hp,
                                                .lowpass = false,
                                                .design = p.design,
                                                .onedit = p.onedit},
                            "filter_controls"),
        reactive::component(filter_controls,
                            FilterControlsProps{.name = p.name,
                                                .label = "LP",
                                                .filter = p.source.lp,
                                                .lowpass = true,
                                                .design = p.design,
                                                .onedit = p.onedit},
                            "filter_controls"));
}

}  // namespace ui::main_window
