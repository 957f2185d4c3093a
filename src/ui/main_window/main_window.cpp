#include "ui/main_window/main_window.h"

#include "api/client.h"
#include "reactive/root.h"
#include "webview-host/reactive_root.h"
#include "ui/main_window/device_watch.h"
#include "ui/main_window/dialogs.h"
#include "ui/tf_plot/tf_plot.h"
#include "ui/main_window/effects.h"
#include "ui/main_window/key_events.h"
#include "ui/main_window/measurement.h"
#include "ui/main_window/refresh.h"
#include "ui/main_window/start_up.h"

namespace ui::main_window {

using reactive::Element;

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
    reactive::provide_context(s);
    reactive::provide_context(s.settings);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);

    apply_body_class(s);
    install_plot_script(s, ui::tf_plot::plot_script(20.0f, 20000.0f, 2.0f, 40.0f));
    update_window_title(s);
    autosave_on_settings_change(s);

    // The measurement operations and the refresh loop, once.
    reactive::use_hook<bool>([&] {
        reactive::spawn(watch_devices(s, s.host->device_lists ? s.host->device_lists : start_device_list_thread));
        install_measurement(s);
        install_key_and_menu_handlers(s);
        reactive::spawn(refresh_loop(s));
        return true;
    });

    // The start-up work, once.
    reactive::use_hook<bool>([&] {
        start_up(s, process_start_inputs(s));
        return true;
    });
    install_stepper_enter_blur();

    auto on_confirm = reactive::use_callback<>([s] { dialog_action(s); });
    auto on_decline = reactive::use_callback<>([s] { answer_dialog(s, Answer::Decline); });
    auto on_cancel = reactive::use_callback<>([s] { answer_dialog(s, Answer::Cancel); });

    const auto& open = s.dialog();
    return reactive::div().cls("vt-container")(
        reactive::div().cls("vt-main"),
        open ? reactive::component(message_dialog,
                                   MessageDialogProps{*open, on_confirm, on_decline, on_cancel}, "message_dialog")
             : Element());
}

}  // namespace ui::main_window
