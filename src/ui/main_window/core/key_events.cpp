#include "ui/main_window/core/key_events.h"

#include <charconv>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "menu.h"
#include "shared-ui/events.h"
#include "shell/startup.h"
#include "shell/update_install.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/name_prompt.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/core/update_check.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using engine::settings::SettingsStoreImplExt;
using engine::settings::View;

namespace {

std::string text_field(const nlohmann::json& e, const char* name) {
    const auto it = e.find(name);
    return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool bool_field(const nlohmann::json& e, const char* name) {
    const auto it = e.find(name);
    return it != e.end() && it->is_boolean() && it->get<bool>();
}

void close_dropdown(const WindowState& s) {
    if (s.open_dropdown.peek()) s.open_dropdown.set(std::nullopt);
}

void flip(const WindowState& s, bool Settings::*field) {
    SettingsStoreImplExt::update(s.settings, [field](Settings& st) { st.*field = !(st.*field); });
}

// The keys both views share; true when the key was one of them.
bool common_key(const WindowState& s, const std::string& code, bool ctrl) {
    if (code == "KeyV") {
        if (ctrl) SettingsStoreImplExt::toggle_dark_mode(s.settings);
        return true;
    }
    if (ctrl) return false;
    if (code == "KeyQ") flip(s, &Settings::left_pane);
    else if (code == "KeyE") flip(s, &Settings::right_pane);
    else return false;
    return true;
}

void spl_key(const WindowState& s, const std::string& code, bool ctrl) {
    if (code == "Escape") {
        close_dropdown(s);
        return;
    }
    if (common_key(s, code, ctrl) || ctrl) return;
    if (code == "KeyC") {
        if (const auto& m = s.meter.peek()) (void)m->send(engine::meter::Cmd{engine::meter::Cmd::Reset{}});
    } else if (code == "KeyS") {
        set_view(s, View::Transfer);
    }
}

void transfer_key(const WindowState& s, const std::string& code, bool ctrl) {
    if (code == "Escape") {
        close_dropdown(s);
        s.prompt.set(std::nullopt);
        return;
    }
    if (common_key(s, code, ctrl) || ctrl) return;
    if (code == "Space") {
        if (s.snapshot.peek().running) stop_analyzer(s);
        else start_measurement(s);
    } else if (code == "Enter") {
        if (s.capture_trace) s.capture_trace();
    } else if (code == "KeyS") {
        set_view(s, View::Spl);
    } else if (code == "KeyD") {
        refind_delay(s);
    } else if (code == "KeyA") {
        set_accumulate(s, !s.settings.peek().accumulate);
    } else if (code == "KeyC") {
        if (const auto& a = s.analyzer.peek())
            a->send(engine::analyzer::Cmd{engine::analyzer::Cmd::ClearAccumulated{}});
    } else if (code == "KeyI") {
        flip(s, &Settings::show_ir);
    } else if (code == "KeyX") {
        set_predicted(s, !s.show_predicted.peek());
    } else if (code == "KeyL") {
        toggle_level_lock(s);
    }
}

reactive::Task<void> ignore_result(reactive::Task<bool> task) {
    auto t = std::move(task);
    (void)co_await std::move(t);
}

void end_process(const WindowState& s) {
    if (s.host && s.host->exit) s.host->exit();
    else std::_Exit(0);
}

}  // namespace

void on_key_event(const WindowState& s, const nlohmann::json& e) {
    if (!e.is_object() || text_field(e, "type") != "keydown") return;
    const std::string code = text_field(e, "code");
    const bool ctrl = bool_field(e, "ctrl");

    if (const auto& d = s.dialog.peek()) {
        if (code == "Escape" && !d->is<Dialog::Busy>()) answer_dialog(s, Answer::Cancel);
        else if (code == "Enter") dialog_action(s);
        return;
    }
    if (const auto& p = s.prompt.peek()) {
        if (code == "Escape") {
            close_dropdown(s);
            s.prompt.set(std::nullopt);
        } else if (code == "Enter" && is_delete_prompt(*p)) {
            submit_prompt(s, std::string());
        }
        return;
    }
    if (s.align_session.peek()) {
        if (code == "Escape") revert_alignment(s);
        return;
    }
    if (s.delay_panel.peek()) {
        if (code == "Enter") apply_found_delay(s);
        else if (code == "Escape") keep_delay(s);
        return;
    }
    if (bool_field(e, "typing")) {
        const bool menu_shortcut = ctrl && (code == "KeyN" || code == "KeyO" || code == "KeyS");
        if (code != "Escape" && !menu_shortcut) return;
    }
    if (s.settings.peek().view == View::Spl) spl_key(s, code, ctrl);
    else transfer_key(s, code, ctrl);
}

std::optional<std::size_t> recent_index(std::string_view id, std::size_t count) {
    constexpr std::string_view prefix = "recent_";
    if (!id.starts_with(prefix)) return std::nullopt;
    std::string_view n = id.substr(prefix.size());
    if (n.starts_with('+')) n.remove_prefix(1);
    if (n.empty()) return std::nullopt;
    std::size_t value = 0;
    const auto [end, err] = std::from_chars(n.data(), n.data() + n.size(), value);
    if (err != std::errc() || end != n.data() + n.size() || value >= count) return std::nullopt;
    return value;
}

void on_menu_event(const WindowState& s, const std::string& id) {
    if (id == "app_quit") {
        if (s.host && s.host->request_close) s.host->request_close();
        else on_close_requested(s);
    } else if (id == "file_new") {
        reactive::spawn_root(new_project(s));
    } else if (id == "file_open") {
        reactive::spawn_root(open_project(s, std::nullopt));
    } else if (id == "file_save") {
        reactive::spawn_root(ignore_result(save_current(s)));
    } else if (id == "file_save_as") {
        reactive::spawn_root(ignore_result(save_project_as(s)));
    } else if (id == "help_open_logs") {
        menu::open_logs_folder();
    } else if (id == "help_check_updates") {
        reactive::spawn_root(check_for_updates(s, true));
    } else {
        const auto& recent = s.settings.peek().recent_projects;
        if (const auto n = recent_index(id, recent.size())) reactive::spawn_root(open_project(s, recent[*n]));
    }
}

void on_open_urls(const WindowState& s, const std::vector<std::string>& urls) {
    for (auto it = urls.rbegin(); it != urls.rend(); ++it) {
        if (auto path = shell::local_path_of_url(*it)) {
            reactive::spawn_root(open_project(s, std::move(*path)));
            return;
        }
    }
}

bool on_close_requested(const WindowState& s) {
    // The program folder is being swapped: quitting now could leave it half
    // replaced. The relaunch ends the process instead.
    if (api::client::update::is_staging()) return false;
    reactive::spawn_root(quit(s));
    return false;
}

reactive::Task<void> quit(WindowState s) {
    auto confirming = confirm_unsaved(s);
    if (!co_await std::move(confirming)) co_return;
    end_process(s);
}

void install_key_and_menu_handlers(WindowState& s) {
    if (!s.host) return;
    const WindowState& st = s;
    if (s.host->set_close_handler) s.host->set_close_handler([st] { return on_close_requested(st); });
    if (s.host->set_menu_handler) s.host->set_menu_handler([st](const std::string& id) { on_menu_event(st, id); });
    if (s.host->set_open_handler)
        s.host->set_open_handler([st](const std::vector<std::string>& urls) { on_open_urls(st, urls); });
}

void use_key_events(const WindowState& s) {
    shared_ui::events::use_window_events([s](const nlohmann::json& e) { on_key_event(s, e); });
}

}  // namespace ui::main_window
