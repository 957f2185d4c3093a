#include "ui/main_window/frame/toolbar.h"

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/context_menu.h"
#include "shared-ui/icons.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using namespace reactive;
using engine::settings::SettingsStoreImplExt;
using engine::settings::View;
using shared_ui::Asset;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;
using shared_ui::components::context_menu::context_menu;
using shared_ui::components::context_menu::context_menu_item;
using shared_ui::components::context_menu::ContextMenuItemProps;
using shared_ui::components::context_menu::ContextMenuProps;
namespace icons = shared_ui::icons;

void toggle_setting(const WindowState& s, bool Settings::*field) {
    SettingsStoreImplExt::update(s.settings, [field](Settings& x) { x.*field = !(x.*field); });
}

std::string panel_menu_label(bool on, std::string_view name) {
    return fmt::format("{}{}", on ? "\u2713 " : "    ", name);
}

void open_panel_menu(const WindowState& s, const reactive::MouseEvent& e) {
    s.panel_menu_position.set(std::pair{e.client_x, e.client_y});
}

namespace {

struct Btn {
    ButtonType type = ButtonType::Flat;
    Asset icon;
    const char* hint = "";
    bool toggled = false;
    bool disabled = false;
    Callback<const MouseEvent&> onclick;
};

Element icon_button(Btn b) {
    return component(default_button,
                     ButtonProps{.button_type = b.type,
                                 .icon = b.icon,
                                 .toggled = b.toggled,
                                 .hint = b.hint,
                                 .disabled = b.disabled,
                                 .onclick = std::move(b.onclick)},
                     "default_button");
}

}  // namespace

Element toolbar() {
    const auto s = use_window_state();
    const View view = s.settings.get(&Settings::view);
    const bool transfer = view == View::Transfer;
    const bool left = s.settings.get(&Settings::left_pane);
    const bool right = s.settings.get(&Settings::right_pane);
    const bool dark = s.settings.get(&Settings::dark_mode);

    auto on_left = use_callback<const MouseEvent&>([s](const MouseEvent&) { toggle_setting(s, &Settings::left_pane); });
    auto on_right = use_callback<const MouseEvent&>([s](const MouseEvent&) { toggle_setting(s, &Settings::right_pane); });
    auto on_dark = use_callback<const MouseEvent&>(
        [s](const MouseEvent&) { SettingsStoreImplExt::toggle_dark_mode(s.settings); });
    auto on_view = use_callback<const MouseEvent&>([s, view](const MouseEvent&) {
        set_view(s, view == View::Transfer ? View::Spl : View::Transfer);
    });
    auto on_predicted = use_callback<const MouseEvent&>(
        [s](const MouseEvent&) { set_predicted(s, !s.show_predicted.peek()); });
    auto on_find = use_callback<const MouseEvent&>([s](const MouseEvent&) { refind_delay(s); });
    auto on_clear = use_callback<const MouseEvent&>([s](const MouseEvent&) {
        if (const auto& a = s.analyzer.peek()) a->send(engine::analyzer::Cmd{engine::analyzer::Cmd::ClearAccumulated{}});
    });
    auto on_capture = use_callback<const MouseEvent&>([s](const MouseEvent&) {
        if (s.capture_trace) s.capture_trace();
    });
    auto on_run = use_callback<const MouseEvent&>([s](const MouseEvent&) { toggle_run(s); });
    auto on_reset = use_callback<const MouseEvent&>([s](const MouseEvent&) {
        if (const auto& m = s.meter.peek()) (void)m->send(engine::meter::Cmd{engine::meter::Cmd::Reset{}});
    });

    Element transport;
    if (transfer) {
        const auto& snap = s.snapshot();
        const bool running = snap.running;
        transport = div().cls("vt-transport")(
            icon_button({.type = ButtonType::Normal,
                         .icon = icons::TIMECODE,
                         .hint = "Find delay: re-measure the mic delay against the reference (D)",
                         .disabled = !running,
                         .onclick = on_find}),
            icon_button({.type = ButtonType::Normal,
                         .icon = icons::RESET,
                         .hint = "Clear the accumulated trace (C)",
                         .disabled = !(running && snap.accumulate),
                         .onclick = on_clear}),
            icon_button({.type = ButtonType::Normal,
                         .icon = icons::CAPTURE,
                         .hint = "Capture: store the current trace at this position, accumulated if accumulating "
                                 "(Enter)",
                         .disabled = !running,
                         .onclick = on_capture}),
            icon_button({.type = ButtonType::Normal,
                         .icon = running ? icons::STOP : icons::PLAY,
                         .hint = running ? "Stop (Space)" : "Run (Space)",
                         .toggled = running,
                         .onclick = on_run}));
    } else {
        transport = div().cls("vt-transport")(icon_button({.type = ButtonType::Normal,
                                                           .icon = icons::RESET,
                                                           .hint = "Restart LAeq (C)",
                                                           .disabled = !s.meter_snapshot().running,
                                                           .onclick = on_reset}));
    }
    const bool running = s.snapshot().running;
    const bool predicted = s.show_predicted();

    return div().cls("vt-toolbar")(
        div().cls("side")(
            icon_button({.icon = transfer && left ? icons::CHEVRON_LEFT : icons::CHEVRON_RIGHT,
                         .hint = "Show or hide the positions pane (Q)",
                         .disabled = !transfer,
                         .onclick = on_left}),
            icon_button({.icon = dark ? icons::LIGHT_MODE : icons::DARK_MODE,
                         .hint = "Toggle dark mode (Ctrl+V)",
                         .onclick = on_dark}),
            icon_button({.icon = icons::VOLUME,
                         .hint = "SPL view: level in Z, A and C, LAeq, RTA and spectrogram; mic only, the "
                                 "measurement stops (S)",
                         .toggled = !transfer,
                         .onclick = on_view})),
        transport,
        div().cls("side right")(
            icon_button({.icon = icons::PREDICTED,
                         .hint = "Predicted: draw this position through the strips; the sum of every source, or on "
                                 "the EQ tab the tuned source alone (X)",
                         .toggled = transfer && predicted,
                         .disabled = running || !transfer,
                         .onclick = on_predicted}),
            icon_button({.icon = right ? icons::CHEVRON_RIGHT : icons::CHEVRON_LEFT,
                         .hint = "Show or hide the config pane (E)",
                         .onclick = on_right})));
}

Element panel_menu() {
    const auto s = use_window_state();
    struct Entry {
        bool Settings::*field;
        const char* name;
    };
    static constexpr Entry ENTRIES[] = {{&Settings::show_ir, "Impulse response"},
                                        {&Settings::show_coh, "Coherence"},
                                        {&Settings::show_mag, "Magnitude"},
                                        {&Settings::show_phase, "Phase"},
                                        {&Settings::show_rta, "Spectrum"}};
    std::vector<Element> items;
    for (const auto& e : ENTRIES) {
        const bool on = s.settings.get(e.field);
        auto field = e.field;
        items.push_back(component(context_menu_item,
                                  ContextMenuItemProps{.label = panel_menu_label(on, e.name),
                                                       .onclick = [s, field](const MouseEvent&) { toggle_setting(s, field); }},
                                  "context_menu_item"));
    }
    return component(context_menu, ContextMenuProps{.children = fragment(std::move(items)), .anchor = s.panel_menu_position},
                     "context_menu");
}

}  // namespace ui::main_window
