#include "ui/main_window/core/effects.h"

#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

std::string body_class(bool dark_mode, engine::settings::UiSize size) {
    using engine::settings::UiSize;
    const char* words = size == UiSize::Tiny ? "ui-tiny" : size == UiSize::Small ? "ui-small" : "";
    return std::string(dark_mode ? "dark" : "light") + " " + words;
}

std::string window_title(const std::optional<Path>& project, bool unsaved) {
    return "Veltrum - " + project_name(project) + (unsaved ? "*" : "");
}

const char* const STEPPER_ENTER_BLUR_SCRIPT = R"JS(
if (!window._stepperEnterBlur) {
  window._stepperEnterBlur = true;
  document.addEventListener('keydown', function (e) {
    var t = e.target;
    if (e.key === 'Enter' && t instanceof HTMLInputElement && t.classList.contains('stepper')) t.blur();
  }, true);
}
)JS";

void apply_body_class(const WindowState& s) {
    const auto settings = s.settings;
    reactive::use_effect([settings] {
        (void)reactive::use_page_generation();  // a rebuilt page has no class yet
        const auto cls = body_class(settings.get(&Settings::dark_mode), settings.get(&Settings::ui_size));
        (void)reactive::eval("document.body.className = " + nlohmann::json(cls).dump() + ";");
    });
}

void follow_dark_theme(const WindowState& s) {
    const auto settings = s.settings;
    const auto host = s.host;
    reactive::use_effect([settings, host] {
        const bool dark = settings.get(&Settings::dark_mode);
        if (host && host->set_dark_theme) host->set_dark_theme(dark);
    });
}

void update_window_title(const WindowState& s) {
    const auto path = s.project_path;
    const auto unsaved = s.unsaved;
    const auto host = s.host;
    reactive::use_effect([path, unsaved, host] {
        const auto title = window_title(path(), unsaved());
        if (host && host->set_title) host->set_title(title);
    });
}

void autosave_on_settings_change(const WindowState& s) {
    reactive::use_effect([s] {
        const auto& st = s.settings;
        const Setup now{
            .cycles = st.get(&Settings::cycles),
            .coherence_threshold = st.get(&Settings::coherence_threshold),
            .average_secs = st.get(&Settings::average_secs),
            .target = st.get(&Settings::target),
            .bass_db = st.get(&Settings::bass_db),
            .mic_cal_path = st.get(&Settings::mic_cal_path),
        };
        if (now != s.saved_setup()) reactive::untrack([&] { mark_unsaved(s); });
    });
}

void hide_tooltip_on_overlays(const WindowState& s) {
    struct Seen {
        bool prompt = false;
        bool dialog = false;
        std::size_t traces = 0;
        bool operator==(const Seen&) const = default;
    };
    auto last = reactive::use_ref(std::optional<Seen>());
    reactive::use_effect([s, last] {
        const Seen now{s.prompt().has_value(), s.dialog().has_value(), s.traces().size()};
        const bool opened = last->has_value() && ((now.prompt && !(*last)->prompt) || (now.dialog && !(*last)->dialog));
        const bool rows_moved = last->has_value() && now.traces != (*last)->traces;
        last.set(now);
        if (opened || rows_moved)
            reactive::untrack([&] { shared_ui::components::tooltip::TooltipState::hide(s.tooltip); });
    });
}

void install_plot_script(const WindowState& s, std::string script) {
    const auto channel = s.plot_channel;
    reactive::use_effect([channel, script] {
        (void)reactive::use_page_generation();
        if (script.empty()) return;
        channel.set(reactive::eval(script));
    });
}

void install_stepper_enter_blur() {
    reactive::use_effect([] {
        (void)reactive::use_page_generation();
        (void)reactive::eval(STEPPER_ENTER_BLUR_SCRIPT);
    });
}

}  // namespace ui::main_window
