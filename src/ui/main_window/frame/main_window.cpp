#include "ui/main_window/frame/main_window.h"

#include <limits>
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "api/client.h"
#include "reactive/root.h"
#include "shared-ui/components/context_menu.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"
#include "webview-host/reactive_root.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/config/right_pane.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/effects.h"
#include "ui/main_window/core/key_events.h"
#include "ui/main_window/core/name_prompt.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/core/start_up.h"
#include "ui/main_window/core/update_check.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/eq/zones.h"
#include "ui/main_window/frame/sidebar.h"
#include "ui/main_window/frame/status_line.h"
#include "ui/main_window/frame/toolbar.h"
#include "ui/main_window/measure/device_watch.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/measure/plot_inputs.h"
#include "ui/main_window/measure/refresh.h"
#include "ui/main_window/measure/seats.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

using namespace reactive;
using engine::settings::View;
using shared_ui::components::context_menu::context_menu;
using shared_ui::components::context_menu::context_menu_item;
using shared_ui::components::context_menu::ContextMenuItemProps;
using shared_ui::components::context_menu::ContextMenuProps;

// ---- the list context menu -------------------------------------------------------

std::optional<Prompt> delete_prompt_of(const std::optional<Prompt>& target) {
    if (!target) return target;
    if (const auto* p = std::get_if<Prompt::RenamePosition>(&target->kind))
        return Prompt{Prompt::DeletePosition{p->position}};
    if (const auto* p = std::get_if<Prompt::RenameSource>(&target->kind)) return Prompt{Prompt::DeleteSource{p->source}};
    if (const auto* p = std::get_if<Prompt::RenameTrace>(&target->kind)) return Prompt{Prompt::DeleteTrace{p->trace}};
    return target;
}

void rename_from_menu(const WindowState& s) { s.prompt.set(s.menu_target.peek()); }

void delete_from_menu(const WindowState& s) { s.prompt.set(delete_prompt_of(s.menu_target.peek())); }

// ---- plot inputs ------------------------------------------------------------------

float shade_below_hz(std::uint32_t snapshot_rate, std::uint32_t settings_rate, std::size_t fft_size, float cycles) {
    const std::uint32_t rate = snapshot_rate != 0 ? snapshot_rate : settings_rate;
    std::size_t fft = fft_size;
    if (fft == 0) {
        const auto k = static_cast<std::uint64_t>(std::lround(static_cast<double>(rate) / 48000.0));
        fft = 32768 * (k <= 1 ? 1 : std::bit_ceil(k));
    }
    return static_cast<float>(rate) * std::min(cycles, 34.0f) / (static_cast<float>(fft) / 2.0f);
}

std::vector<std::pair<std::size_t, std::size_t>> plot_stored(const std::vector<Trace>& traces,
                                                             const std::vector<std::string>& sources,
                                                             const std::string& position,
                                                             std::optional<std::size_t> viewed, bool main_is_viewed,
                                                             const std::optional<Seats>& seats) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    if (seats) {
        for (const auto& seat : seats->seats) out.emplace_back(seat.trace, seat.colour);
        return out;
    }
    for (std::size_t i : at_position(traces, position)) {
        if (i >= traces.size() || !traces[i].visible) continue;
        if (main_is_viewed && viewed == i) continue;
        out.emplace_back(i, colour_of(sources, traces[i].source));
    }
    return out;
}

ui::tf_plot::SplViewProps spl_view_props(const Settings& st, const engine::meter::MeterSnapshot& m) {
    const float off = st.spl_offset_db;
    ui::tf_plot::SplViewProps p;
    p.levels = {m.z_db + off,     m.a_db + off,     m.c_db + off,     m.leq_short_db + off,     m.leq_long_db + off,
                m.max_z_db + off, m.max_a_db + off, m.max_c_db + off, m.max_leq_short_db + off, m.max_leq_long_db + off};
    // Before the meter's first analysis there is no level to show: a dash,
    // not a 0.0 that reads like a measured one.
    if (m.frames == 0) p.levels.fill(std::numeric_limits<float>::quiet_NaN());
    p.leq_short_label = "LAeq " + duration_text(st.spl_leq_short_secs);
    p.leq_long_label = leq_long_label(st.spl_leq_long_secs, m.running, m.leq_secs);
    p.unit = off == 0.0f ? "dBFS" : "dB SPL";
    p.range_top_db = st.spl_range_top_db + off;
    p.range_bottom_db = st.spl_range_bottom_db + off;
    return p;
}

namespace {

// Keeps Tab and Shift+Tab inside the topmost open card (dialog, prompt,
// Find-delay panel): the page behind a modal card is not reachable by keys.
constexpr const char* MODAL_FOCUS_SCRIPT = R"JS(
if (!window._vtModalFocus) {
  window._vtModalFocus = true;
  document.addEventListener('keydown', function (e) {
    if (e.key !== 'Tab' || e.ctrlKey || e.altKey || e.metaKey) return;
    var cards = document.querySelectorAll('.alert-card');
    if (!cards.length) return;
    var card = cards[cards.length - 1];
    var f = Array.prototype.filter.call(
      card.querySelectorAll('button, input, select, textarea, [tabindex]'),
      function (el) { return !el.disabled && el.tabIndex >= 0 && el.offsetParent !== null; });
    e.preventDefault();
    if (!f.length) return;
    var i = f.indexOf(document.activeElement);
    var n = e.shiftKey ? (i <= 0 ? f.length - 1 : i - 1) : (i < 0 || i === f.length - 1 ? 0 : i + 1);
    f[n].focus();
  }, true);
}
)JS";

// The plot of the shown view.
Element plot_area() {
    const auto s = use_window_state();
    const auto& set = s.settings;
    const View view = set.get(&Settings::view);
    auto onmousedown = use_callback<MouseEvent>([s](MouseEvent e) { open_panel_menu(s, e); });
    auto onarrival = use_callback<std::optional<std::size_t>>(
        [s](std::optional<std::size_t> a) { s.hovered_arrival.set(a); });
    auto ondrag = use_callback<std::size_t, float, float>(
        [s](std::size_t i, float hz, float db) { drag_eq_handle(s, i, hz, db); });
    auto onwheel = use_callback<std::size_t, float>([s](std::size_t i, float d) { wheel_eq_handle(s, i, d); });
    auto ondragend = use_callback<>([s] { mark_unsaved(s); });

    const float offset = set.get(&Settings::spl_offset_db);
    if (view == View::Spl) {
        set.get(&Settings::spl_range_top_db);
        set.get(&Settings::spl_range_bottom_db);
        set.get(&Settings::spl_leq_short_secs);
        set.get(&Settings::spl_leq_long_secs);
        return component(ui::tf_plot::spl_view, spl_view_props(set.peek(), s.meter_snapshot()), "spl_view");
    }

    const auto& snap = s.snapshot();
    const bool running = snap.running;
    const bool predicted = s.show_predicted();
    const auto viewed = s.viewed_trace();
    const auto& seat_data = s.seats();

    ui::tf_plot::TfPlotProps p;
    p.onmousedown = onmousedown;
    p.show_ir = set.get(&Settings::show_ir);
    p.show_coh = set.get(&Settings::show_coh);
    p.show_mag = set.get(&Settings::show_mag);
    p.show_phase = set.get(&Settings::show_phase);
    p.show_rta = set.get(&Settings::show_rta);
    p.rta_top_db = offset == 0.0f ? 0.0f : std::ceil(offset / 10.0f) * 10.0f;
    p.rta_unit = offset == 0.0f ? "dBFS" : "dB SPL";
    p.show_fill = snap.accumulate || (!running && (viewed.has_value() || predicted));
    p.harmonics = snap.harmonics;
    p.predicted = !running && predicted;
    p.live = running;
    p.shade_below_hz =
        shade_below_hz(snap.sample_rate, set.get(&Settings::sample_rate), snap.fft_size, set.get(&Settings::cycles));
    const auto& fit = s.fit_curve();
    if (s.right_tab() == 2 && fit.first == current_source(s)) p.shades = fit.second;
    p.arrivals = snap.arrivals;
    p.ir_ms = std::max(snap.ir_span_ms, 40.0f);
    p.onarrival = onarrival;
    p.stored = plot_stored(s.traces(), s.sources(), s.position(), viewed, !running && !predicted, seat_data);
    p.seats = seat_data.has_value();
    const auto& sources = s.sources();
    for (const auto& src : s.design().sources) p.xovers.push_back(colour_of(sources, src.name));
    p.handles = eq_handles(s);
    p.ondrag = ondrag;
    p.onwheel = onwheel;
    p.ondragend = ondragend;
    return component(ui::tf_plot::tf_plot, std::move(p), "tf_plot");
}

}  // namespace

Element frame() {
    const auto s = use_window_state();
    use_effect([] {
        (void)use_page_generation();
        (void)eval(MODAL_FOCUS_SCRIPT);
    });
    const View view = s.settings.get(&Settings::view);
    const bool left = s.settings.get(&Settings::left_pane);
    const bool right = s.settings.get(&Settings::right_pane);

    auto on_confirm = use_callback<>([s] { dialog_action(s); });
    auto on_decline = use_callback<>([s] { answer_dialog(s, Answer::Decline); });
    auto on_cancel = use_callback<>([s] { answer_dialog(s, Answer::Cancel); });
    auto prompt_change = use_callback<Prompt>([s](Prompt p) { s.prompt.set(std::move(p)); });
    auto prompt_submit = use_callback<std::string>([s](std::string text) { submit_prompt(s, text); });
    auto prompt_cancel = use_callback<>([s] { s.prompt.set(std::nullopt); });
    auto rename = use_callback<const MouseEvent&>([s](const MouseEvent&) { rename_from_menu(s); });
    auto remove = use_callback<const MouseEvent&>([s](const MouseEvent&) { delete_from_menu(s); });

    const auto& dialog = s.dialog();
    const auto& prompt = s.prompt();
    Element prompt_el;
    if (prompt)
        prompt_el = component(name_prompt,
                              NamePromptProps{*prompt, prompt_title(s, *prompt), prompt_text(s, *prompt), s.sources(),
                                              prompt_change, prompt_submit, prompt_cancel},
                              "name_prompt");

    return div().cls("vt-container")(
        component(shared_ui::components::tooltip::global_tooltip, "global_tooltip"),
        component(shared_ui::components::dropdown::global_dropdown, "global_dropdown"),
        dialog ? component(message_dialog, MessageDialogProps{*dialog, on_confirm, on_decline, on_cancel},
                           "message_dialog")
               : Element(),
        view == View::Transfer && left ? component(sidebar, "sidebar") : Element(),
        component(context_menu,
                  ContextMenuProps{
                      .children = fragment(
                          component(context_menu_item, ContextMenuItemProps{.label = "Rename", .onclick = rename},
                                    "context_menu_item"),
                          component(context_menu_item, ContextMenuItemProps{.label = "Delete", .onclick = remove},
                                    "context_menu_item")),
                      .anchor = s.menu_position},
                  "context_menu"),
        component(find_delay_panel, "find_delay_panel"), prompt_el,
        div().cls("vt-main")(component(toolbar, "toolbar"), component(panel_menu, "panel_menu"),
                             component(plot_area, "plot_area"), component(status_line, "status_line")),
        right ? component(right_pane, "right_pane") : Element());
}

Element main_window() {
    const auto given = reactive::try_use_context<WindowHostRef>().value_or(nullptr);
    auto host = reactive::use_hook<WindowHostRef>([&] { return given ? given : std::make_shared<WindowHost>(); });
    auto window = webview_host::use_window();
    reactive::use_hook<bool>([&] {
        complete_from_window(*host, window);
        return true;
    });
    // Every cell, created once; the settings are read here, at the first render.
    auto& s = reactive::use_hook<WindowState>([&] {
        return make_state(load_settings(api::client::Product::config_dir(engine::settings::PRODUCT_ID)), host);
    });
    // The measurement operations and the refresh loop, once. They fill the
    // state's service hooks, so they come before anything takes a copy of it.
    reactive::use_hook<bool>([&] {
        install_measurement(s);
        install_key_and_menu_handlers(s);
        install_update_handler(s);
        reactive::spawn(watch_devices(s, s.host->device_lists ? s.host->device_lists : start_device_list_thread));
        reactive::spawn(refresh_loop(s));
        return true;
    });
    reactive::provide_context(s);
    reactive::provide_context(s.settings);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);

    apply_body_class(s);
    follow_dark_theme(s);
    zone_air_compensation(s);
    install_plot_script(s, ui::tf_plot::plot_script(20.0f, 20000.0f, 2.0f, 40.0f));
    update_window_title(s);
    autosave_on_settings_change(s);
    hide_tooltip_on_overlays(s);
    leave_align_tab(s);
    use_key_events(s);
    auto_update_check(s);

    // The start-up work, once.
    reactive::use_hook<bool>([&] {
        start_up(s, process_start_inputs(s));
        return true;
    });
    install_stepper_enter_blur();

    return component(frame, "frame");
}

}  // namespace ui::main_window
