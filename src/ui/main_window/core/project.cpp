#include "ui/main_window/core/project.h"

#include <cmath>
#include <fmt/format.h>

#include "api/client.h"
#include "api/notes_html.h"
#include "base/log.h"
#include "base/utf8.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/keys.h"

namespace ui::main_window {

using engine::settings::SettingsStoreImplExt;

namespace {


FilePanel project_panel(std::string title, const std::optional<Path>& project) {
    FilePanel panel{.title = std::move(title),
                    .suggested_name = {},
                    .folder = std::nullopt,
                    .filter_name = std::string(PROJECT_FILTER),
                    .extensions = {std::string(PROJECT_EXTENSION)}};
    if (project && project->has_parent_path()) panel.folder = project->parent_path();
    return panel;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

Session current_session(const WindowState& s) {
    return Session{
        .sources = s.sources.peek(),
        .traces = s.traces.peek(),
        .design = s.design.peek(),
        .position = s.position.peek(),
        .setup = setup_of(s.settings.peek()),
    };
}

void mark_unsaved(const WindowState& s) {
    s.unsaved.set(true);
    if (s.files.autosave) s.files.autosave(current_session(s), s.project_path.peek());
}

bool save_project(const WindowState& s, const Path& path) {
    auto bytes = current_session(s).encode();
    base::Result<void> written = bytes ? api::client::write_atomic(path, *bytes) : base::Result<void>(base::fail(bytes.error()));
    if (!written) {
        show_dialog(s, Dialog{Dialog::Message{"Save failed", api::client::update::notes_html(path.string() + ": " + written.error())}});
        return false;
    }
    base::log::info(LOG_TARGET, "project saved", {{"path", path.string()}});
    s.saved_setup.set(setup_of(s.settings.peek()));
    s.project_path.set(path);
    s.unsaved.set(false);
    SettingsStoreImplExt::add_recent_project(s.settings, path);
    if (s.files.remove_autosave) s.files.remove_autosave();
    return true;
}

Path with_project_extension(const Path& chosen) {
    const std::string name = chosen.filename().string();
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0 && ascii_iequal(std::string_view(name).substr(dot + 1), PROJECT_EXTENSION))
        return chosen;
    return Path(chosen.native() + "." + std::string(PROJECT_EXTENSION));
}

reactive::Task<bool> save_project_as(WindowState s) {
    co_await dialog_pause();
    const auto project = s.project_path.peek();
    auto panel = project_panel("Save Project", project);
    if (project && project->has_filename()) {
        panel.suggested_name = base::utf8::lossy(project->filename().native());
    } else {
        panel.suggested_name = fmt::format("Untitled.{}", PROJECT_EXTENSION);
    }
    if (!s.host || !s.host->save_panel) co_return false;
    auto pending = s.host->save_panel(std::move(panel));
    auto chosen = co_await std::move(pending);
    if (!chosen) co_return false;
    co_return save_project(s, with_project_extension(*chosen));
}

reactive::Task<bool> save_current(WindowState s) {
    if (auto path = s.project_path.peek()) co_return save_project(s, *path);
    auto saving = save_project_as(s);
    co_return co_await std::move(saving);
}

reactive::Task<bool> confirm_unsaved(WindowState s) {
    if (!s.unsaved.peek()) co_return true;
    if (s.confirming_unsaved.peek()) co_return false;
    s.confirming_unsaved.set(true);
    // Cleared however the question ends, also when the task is abandoned.
    struct Clear {
        Signal<bool> flag;
        ~Clear() { flag.set(false); }
    } clear{s.confirming_unsaved};
    bool go_on = false;
    {
        // Awaited tasks are named first: g++ 12 mishandles temporaries in
        // co_await expressions.
        Dialog question{Dialog::UnsavedChanges{project_name(s.project_path.peek())}};
        auto asking = ask(s, std::move(question));
        const Answer a = co_await std::move(asking);
        if (a == Answer::Confirm) {
            auto saving = save_current(s);
            go_on = co_await std::move(saving);
        } else if (a == Answer::Decline) {
            if (s.files.remove_autosave) s.files.remove_autosave();
            go_on = true;
        }
    }
    co_return go_on;
}

reactive::Task<void> new_project(WindowState s) {
    auto confirming = confirm_unsaved(s);
    if (!co_await std::move(confirming)) co_return;
    apply_session(s, Session{.sources = {}, .traces = {}, .design = {}, .position = {}, .setup = setup_of(s.settings.peek())},
                  std::nullopt);
}

reactive::Task<void> open_project(WindowState s, std::optional<Path> path) {
    auto confirming = confirm_unsaved(s);
    if (!co_await std::move(confirming)) co_return;
    if (!path) {
        co_await dialog_pause();
        if (!s.host || !s.host->open_panel) co_return;
        auto choosing = s.host->open_panel(project_panel("Open Project", s.project_path.peek()));
        path = co_await std::move(choosing);
        if (!path) co_return;
    }
    const Path file = *path;
    auto reading = reactive::spawn_blocking([file] { return Session::read(file); });
    auto read = co_await reading;
    if (read && *read) {
        apply_session(s, std::move(**read), *path);
    } else {
        show_dialog(s, Dialog{Dialog::Message{"Open failed", api::client::update::notes_html("Could not read " + path->string())}});
    }
}

std::vector<engine::eqfit::Band> default_bands() {
    std::vector<engine::eqfit::Band> bands;
    for (int j = 0; j < 6; ++j) {
        const float hz = static_cast<float>(40.0 * std::pow(400.0, (j + 0.5) / 6.0));
        bands.push_back(engine::eqfit::Band{hz, 0.0f, 2.0f, false, engine::eqfit::BandKind::Peak});
    }
    return bands;
}

void setup_into_settings(Settings& settings, const Setup& setup) {
    settings.cycles = setup.cycles;
    settings.coherence_threshold = setup.coherence_threshold;
    settings.average_secs = setup.average_secs;
    settings.target = setup.target;
    settings.bass_db = setup.bass_db;
    settings.mic_cal_path = setup.mic_cal_path;
    settings.sanitize();
}

void change_and_restart(const WindowState& s, const std::function<void(Settings&)>& change) {
    SettingsStoreImplExt::update(s.settings, change);
    if (s.restart_worker) s.restart_worker();
}

void apply_session(const WindowState& s, Session session, std::optional<Path> path) {
    // 1. What belonged to the old project. An alignment in progress ends
    // without putting its strips back: the design is replaced below, and a
    // session left open would write the old strips into the new project.
    s.align_session.set(std::nullopt);
    s.alignment.set(std::nullopt);
    s.notice.set(std::string());
    s.viewed_trace.set(std::nullopt);
    s.fit_curve.set({});
    s.pending_capture.set(std::nullopt);
    s.prompt.set(std::nullopt);

    // 2, 3. Cycles, ticks.
    float& cycles = session.setup.cycles;
    cycles = std::isnan(cycles) ? 0.0f : std::clamp(cycles, 0.0f, 34.0f);
    engine::trace::untick_duplicates(session.traces);
    for (auto& t : session.traces) t.apply_cycles(cycles);

    // 4, 5. One design source per listed name, in list order.
    for (const auto& name : session.sources) {
        auto& src = session.design.source_mut(name);
        if (src.bands.empty()) src.bands = default_bands();
    }
    std::vector<engine::design::Source> kept;
    for (const auto& name : session.sources) {
        auto it = std::find_if(session.design.sources.begin(), session.design.sources.end(),
                               [&](const auto& src) { return src.name == name; });
        if (it != session.design.sources.end() &&
            std::none_of(kept.begin(), kept.end(), [&](const auto& k) { return k.name == name; }))
            kept.push_back(*it);
    }
    session.design.sources = std::move(kept);

    // 6. The current position.
    std::string position = session.position;
    const bool measured = std::any_of(session.traces.begin(), session.traces.end(),
                                      [&](const Trace& t) { return t.position == position; });
    if (position.empty() || !measured)
        position = session.traces.empty() ? engine::trace::default_position() : session.traces.back().position;

    // 7.
    base::log::info(LOG_TARGET, "project loaded",
                    {{"count", std::to_string(session.traces.size())},
                     {"path", path ? "Some(\"" + path->string() + "\")" : std::string("None")}});

    // 8.
    s.sources.set(std::move(session.sources));
    s.traces.set(std::move(session.traces));
    s.design.set(std::move(session.design));
    s.position.set(std::move(position));

    // 9. The setup, restarting a running measurement only when it differs.
    const Setup& setup = session.setup;
    if (setup_of(s.settings.peek()) != setup)
        change_and_restart(s, [&](Settings& st) { setup_into_settings(st, setup); });

    // 10.
    if (!setup.mic_cal_path.empty()) {
        std::error_code ec;
        const auto st = std::filesystem::status(setup.mic_cal_path, ec);
        if (ec || st.type() == std::filesystem::file_type::not_found)
            show_dialog(s, Dialog{Dialog::Message{
                               "Mic calibration missing",
                               api::client::update::notes_html("The project's microphone calibration file is not on this machine; the "
                                            "measurement runs without it.\n\n" +
                                            setup.mic_cal_path)}});
    }

    // 11-13.
    s.saved_setup.set(setup);
    s.project_path.set(path);
    s.unsaved.set(false);
    if (path) {
        SettingsStoreImplExt::add_recent_project(s.settings, *path);
    } else {
        SettingsStoreImplExt::update(s.settings, [](Settings& st) { st.last_project.reset(); });
    }
    if (s.files.remove_autosave) s.files.remove_autosave();
}

void toggle_trace_visible(const WindowState& s, std::size_t index) {
    if (index >= s.traces.peek().size()) return;
    bool hidden = false;
    s.traces.update([&](auto& traces) {
        traces[index].visible = !traces[index].visible;
        hidden = !traces[index].visible;
    });
    if (hidden && s.viewed_trace.peek() == index) s.viewed_trace.set(std::nullopt);
    mark_unsaved(s);
}

void toggle_trace_used(const WindowState& s, std::size_t index) {
    if (index >= s.traces.peek().size()) return;
    s.traces.update([&](auto& traces) {
        const bool used = traces[index].used;
        const std::string source = traces[index].source;
        const std::string position = traces[index].position;
        for (auto& t : traces)
            if (t.source == source && t.position == position) t.used = false;
        traces[index].used = !used;
    });
    mark_unsaved(s);
}

reactive::Task<void> autosave_after_wheel(WindowState s, std::uint64_t generation) {
    co_await reactive::sleep(WHEEL_SETTLE);
    if (s.wheel_generation.peek() != generation || !s.unsaved.peek()) co_return;
    if (s.files.autosave) s.files.autosave(current_session(s), s.project_path.peek());
}

}  // namespace ui::main_window
