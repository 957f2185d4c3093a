#pragma once
// What the window keeps in step outside its own markup: the page body's
// theme and size classes, the native window's title, the unsaved mark when
// the project's setup changes through the settings, and the window's own
// page scripts (installed again whenever the page was rebuilt).
#include <optional>
#include <string>

#include "ui/main_window/core/state.h"

namespace ui::main_window {

// "dark ui-tiny", "light " ...
std::string body_class(bool dark_mode, engine::settings::UiSize size);
// "Veltrum - Untitled*" ...
std::string window_title(const std::optional<Path>& project, bool unsaved);

// The page script that makes Enter in a stepper field leave the field.
extern const char* const STEPPER_ENTER_BLUR_SCRIPT;

// Effects of the main window; each is called once per render of the window
// (they are hooks).
void apply_body_class(const WindowState& s);
// The native menu bar and panels follow the dark-mode setting.
void follow_dark_theme(const WindowState& s);
void update_window_title(const WindowState& s);
void autosave_on_settings_change(const WindowState& s);
// Hides the tooltip bubble when a prompt or a dialog opens or the trace list
// grows or shrinks: the page reports no leave of the hovered control while
// the pointer rests, so the bubble would stay where the rows have moved.
void hide_tooltip_on_overlays(const WindowState& s);
// Evaluates the plot page script (its channel goes to `plot_channel`) at
// the first render and again in every rebuilt page; an empty script is
// skipped.
void install_plot_script(const WindowState& s, std::string script);
void install_stepper_enter_blur();

}  // namespace ui::main_window
