#include "gallery.h"

#include <cmath>

#include <fmt/format.h>

#include "reactive/page.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/slider.h"
#include "shared-ui/components/stepper.h"
#include "shared-ui/components/text_input.h"
#include "shared-ui/events.h"
#include "shared-ui/icons.h"
#include "shared-ui/markup.h"

namespace shared_ui::testing {

using namespace reactive;
using namespace shared_ui::components;
using button::ButtonProps;
using button::ButtonType;

namespace {

constexpr const char* STEPPER_ENTER_BLUR =
    "if (!window._stepperEnterBlur) { window._stepperEnterBlur = true; document.addEventListener('keydown', (e) => { "
    "if (e.key === 'Enter' && e.target instanceof HTMLInputElement && e.target.classList.contains('stepper')) "
    "e.target.blur(); }, true); }";

constexpr const char* LAYOUT = R"CSS(
body { padding: 14px 16px; overflow: auto; }
.gallery { display: grid; grid-template-columns: repeat(2, minmax(0, 1fr)); gap: 12px; align-items: start; }
.gallery-title { font-size: 1.25em; font-weight: 650; margin: 0 0 12px; display: flex; gap: 10px; align-items: baseline; }
.gallery-title span { color: var(--fg-dim); font-weight: 500; font-size: 0.8em; }
.card { background: var(--surface); border: 1px solid var(--border); border-radius: 6px; padding: 10px 12px 12px;
        display: flex; flex-direction: column; gap: 8px; }
.card-title { font-size: 0.78em; font-weight: 650; letter-spacing: 0.07em; text-transform: uppercase; color: var(--fg-dim); }
.row { display: flex; gap: 8px; align-items: center; }
.row > .caption { width: 84px; flex: 0 0 auto; color: var(--fg-dim); }
.menu-area { height: 44px; border: 1px dashed var(--border-strong); border-radius: 4px; display: flex;
             align-items: center; justify-content: center; color: var(--fg-dim); }
.trace { display: flex; align-items: center; gap: 6px; padding: 3px 6px; border-radius: 4px; }
.trace:hover { background: var(--hover); }
.trace .name { flex: 1 1 auto; }
)CSS";

Callback<const MouseEvent&> note(const char* what) {
    return Callback<const MouseEvent&>([what](const MouseEvent&) { GALLERY->changes.push_back(what); });
}

Element row(const char* caption, Element content) {
    return div().cls("row")(div().cls("caption")(caption), std::move(content));
}

Element card(const char* title, std::vector<Element> content) {
    return div().cls("card")(div().cls("card-title")(title), std::move(content));
}

}  // namespace

std::string gallery_head() {
    std::string head = fmt::format(
        "<style>@font-face {{ font-family: 'Inter'; src: url('{}') format('woff2'); font-weight: 100 900; "
        "font-display: block; }}</style>\n",
        app_styles::INTER_FONT.url());
    for (const Asset& css : app_styles::ALL_CSS) head += fmt::format("<link rel=\"stylesheet\" href=\"{}\">\n", css.url());
    return head + "<style>" + LAYOUT + "</style>\n";
}

Element gallery() {
    auto tip = provide_context(Store<tooltip::TooltipState>());
    auto open = provide_context(dropdown::OpenList(std::nullopt));
    auto body_class = use_signal(std::string("light"));
    auto menu = use_signal(std::optional<std::pair<double, double>>());
    auto generator = use_signal(std::string("pink"));
    auto rate = use_signal(std::string("48000"));
    auto name = use_signal(std::string("Main L"));
    auto gain = use_signal(-3.5);
    auto delay = use_signal(12.25);
    auto level = use_signal(0.35);
    auto ceiling = use_signal(0.8);
    auto accumulate = use_signal(true);
    use_hook<bool>([&] {
        GALLERY->tooltip = tip;
        GALLERY->open = open;
        GALLERY->body_class = body_class;
        GALLERY->menu = menu;
        GALLERY->gain = gain;
        GALLERY->level = level;
        (void)eval(STEPPER_ENTER_BLUR);
        return true;
    });
    events::use_window_events([](const events::WindowEvent& e) {
        GALLERY->window_events.push_back(e);
        if (e.value("type", "") == "keydown" && e.value("code", "") == "Escape") dropdown::close_open_dropdown();
    });
    use_effect([body_class] { (void)eval(fmt::format("document.body.className = {};", js_string(body_class()))); });

    auto on_generator = use_callback<dropdown::Choice>([generator](dropdown::Choice c) {
        GALLERY->changes.push_back("generator " + c.first);
        generator.set(c.first);
    });
    auto on_rate = use_callback<dropdown::Choice>([rate](dropdown::Choice c) { rate.set(c.first); });
    auto on_name = use_callback<std::string>([name](std::string s) { name.set(std::move(s)); });
    auto on_gain = use_callback<double>([gain](double v) {
        GALLERY->changes.push_back("gain " + num_text(v));
        gain.set(std::fmin(std::fmax(v, -60.0), 20.0));
    });
    auto on_delay = use_callback<double>([delay](double v) { delay.set(std::fmax(v, 0.0)); });
    auto on_level = use_callback<double>([level](double v) {
        GALLERY->changes.push_back("level " + num_text(v));
        level.set(v);
    });
    auto on_ceiling = use_callback<double>([ceiling](double v) { ceiling.set(v); });
    auto toggle = use_callback<const MouseEvent&>([accumulate](const MouseEvent&) { accumulate.set(!accumulate.peek()); });
    static Callback<const MouseEvent&> rename = note("menu rename"), duplicate = note("menu duplicate"),
                                       remove = note("menu delete"), run = note("run"), capture = note("capture");

    std::vector<dropdown::Choice> signals{{"off", "Off"}, {"sine", "Sine"}, {"pink", "Pink noise"},
                                          {"sweep", "Log sweep"}, {"chirp", "Chirp"}};
    return div()(
        div().cls("gallery-title")("Veltrum UI kit", span()("components in their states")),
        div().cls("gallery")(
            card("Buttons",
                 {div().cls("row")(
                      div().id("demo-run")(component(button::default_button,
                                                     ButtonProps{.icon = icons::PLAY, .label = "Run",
                                                                 .hint = "Start measuring (Space)", .onclick = run},
                                                     "default_button")),
                      component(button::default_button,
                                ButtonProps{.icon = icons::CAPTURE, .label = "Capture", .hint = "Capture a trace (Enter)",
                                            .onclick = capture},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.toggled = accumulate(), .label = "Accumulate", .onclick = toggle},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.icon = icons::STOP, .label = "Send", .disabled = true, .onclick = run},
                                "default_button")),
                  div().cls("row")(
                      component(button::default_button,
                                ButtonProps{.button_type = ButtonType::Flat, .icon = icons::RESET, .label = "Reset",
                                            .onclick = run},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.button_type = ButtonType::Flat, .icon = icons::LOCK, .toggled = true,
                                            .label = "Locked", .onclick = run},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.icon = icons::ADD, .hint = "Add a source", .onclick = run}, "default_button"),
                      component(button::default_button,
                                ButtonProps{.icon = icons::DARK_MODE, .hint = "Dark mode", .onclick = run},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.label = "Wide", .fill = true, .align = button::LabelAlign::Left,
                                            .onclick = run},
                                "default_button")),
                  div().cls("trace")(
                      component(button::default_button,
                                ButtonProps{.button_type = ButtonType::FlatMini, .icon = icons::PREVIEW, .onclick = run},
                                "default_button"),
                      component(tooltip::hint_span,
                                tooltip::hint_spanProps{.cls = "name nowrap-elipsis", .text = "FOH L · seat 12 · 48 kHz"}),
                      component(button::default_button,
                                ButtonProps{.button_type = ButtonType::FlatMini, .icon = icons::CONFIRM, .onclick = run},
                                "default_button"),
                      component(button::default_button,
                                ButtonProps{.button_type = ButtonType::FlatMini, .icon = icons::DELETE,
                                            .hint = "Delete the trace", .onclick = run},
                                "default_button"))}),
            card("Choosers and text",
                 {row("Signal", div().id("demo-generator")(component(
                                    dropdown::dropdown,
                                    dropdown::DropdownProps{.options = signals, .value = generator(), .onchange = on_generator},
                                    "dropdown"))),
                  row("Rate", component(dropdown::dropdown,
                                        dropdown::DropdownProps{.options = {{"44100", "44.1 kHz"}, {"48000", "48 kHz"},
                                                                            {"96000", "96 kHz"}},
                                                                .fill = true,
                                                                .value = rate(),
                                                                .onchange = on_rate},
                                        "dropdown")),
                  row("Name", component(text_input::text_input,
                                        text_input::TextInputProps{.value = name(), .oninput = on_name, .cls = "fill"},
                                        "text_input")),
                  row("Console", component(text_input::text_input,
                                           text_input::TextInputProps{.value = "", .cls = "fill",
                                                                      .placeholder = "192.168.1.62"},
                                           "text_input")),
                  row("Key", component(text_input::text_input,
                                       text_input::TextInputProps{.value = "secret", .cls = "fill", .masked = true},
                                       "text_input"))}),
            card("Numbers",
                 {row("Gain dB", div().id("demo-gain")(component(
                                     stepper::default_stepper,
                                     stepper::StepperProps{.value = gain(), .step = 0.5, .onchange = on_gain, .decimals = 2},
                                     "default_stepper"))),
                  row("Delay ms", component(stepper::default_stepper,
                                            stepper::StepperProps{.value = delay(), .step = 0.01, .onchange = on_delay,
                                                                  .decimals = 2},
                                            "default_stepper")),
                  row("Trim", component(stepper::default_stepper,
                                        stepper::StepperProps{.value = 0, .step = 1, .disabled = true}, "default_stepper")),
                  row("Level", div().id("demo-level").cls("fill")(component(
                                   slider::default_slider,
                                   slider::default_sliderProps{.value = level(), .min = 0, .max = 1, .onchange = on_level},
                                   "default_slider"))),
                  row("Ceiling", div().cls("fill")(component(slider::default_slider,
                                                             slider::default_sliderProps{.value = ceiling(), .min = 0,
                                                                                         .max = 1, .limit = 0.5,
                                                                                         .onchange = on_ceiling},
                                                             "default_slider")))}),
            card("Menus and tabs",
                 {div().cls("tab-bar")(reactive::button().cls("tab-btn active")("Config"),
                                       reactive::button().cls("tab-btn")("Align"), reactive::button().cls("tab-btn")("EQ")),
                  div()
                      .id("demo-menu-area")
                      .cls("menu-area")
                      .on_contextmenu([menu](const MouseEvent& e) { menu.set(std::pair(e.client_x, e.client_y)); },
                                      {.prevent_default = true})("Right-click for the trace menu"),
                  component(context_menu::context_menu,
                            context_menu::ContextMenuProps{
                                .children = fragment(
                                    component(context_menu::context_menu_item,
                                              context_menu::ContextMenuItemProps{.label = "Rename…", .onclick = rename}),
                                    component(context_menu::context_menu_item,
                                              context_menu::ContextMenuItemProps{.label = "Duplicate", .onclick = duplicate}),
                                    component(context_menu::context_menu_item,
                                              context_menu::ContextMenuItemProps{.label = "Delete trace", .onclick = remove})),
                                .anchor = menu})})),
        component(tooltip::global_tooltip, "global_tooltip"), component(dropdown::global_dropdown, "global_dropdown"));
}

}  // namespace shared_ui::testing
