#include "ui/main_window/core/start_up.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "api/client.h"
#include "api/notes_html.h"
#include "base/log.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

namespace {

namespace fs = std::filesystem;

bool readable_metadata(const Path& p) {
    std::error_code ec;
    const auto st = fs::status(p, ec);
    return !ec && st.type() != fs::file_type::not_found;
}

// Renames `from` to `to`; a missing `from` is silent, other errors are logged.
void move_aside(const Path& from, const Path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        base::log::warn(LOG_TARGET, "autosave: " + api::client::os_error_text(ec.value()));
}

void remove_quietly(const Path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

std::string local_time_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

std::optional<Path> read_project_note(const Path& p) {
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    if (text.empty()) return std::nullopt;
    return Path(text);
}

Session empty_session(const Settings& settings) {
    return Session{.sources = {}, .traces = {}, .design = {}, .position = {}, .setup = setup_of(settings)};
}

}  // namespace

Settings load_settings(const std::optional<Path>& data_dir) {
    if (!data_dir) {
        base::log::warn(LOG_TARGET, "no config dir, using default settings");
        return Settings{};
    }
    Settings s = Settings::load_from(*data_dir);
    s.sanitize();
    return s;
}

Restore plan_start(const Settings& settings, const StartInputs& in) {
    Restore r;
    // The start path: the last file queued by the system, else the first
    // argument naming a regular file, else the last project.
    std::optional<Path> start;
    if (!in.pending.empty()) {
        start = in.pending.back();
        r.requested = start;
    } else if (in.args.size() > 1) {
        struct stat st {};
        if (::stat(in.args[1].c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            start = Path(in.args[1]);
            r.requested = start;
        }
    }
    if (!start && settings.last_project) start = settings.last_project;

    if (start) {
        if (auto session = Session::read(*start)) {
            r.start = std::move(session);
            r.start_path = start;
        } else {
            r.failed = start;
        }
    } else if (in.data_dir) {
        const Path legacy = *in.data_dir / "session.ron";
        if (readable_metadata(legacy)) {
            if (auto session = Session::read(legacy); session && (!session->sources.empty() || !session->traces.empty())) {
                r.start = std::move(session);
                r.legacy = legacy;
            }
        }
    }

    // The previous run's autosave, with the note of the project it was made for.
    if (in.autosave_dir && in.order) {
        const Path dir = *in.autosave_dir;
        const Path file = dir / engine::trace::AUTOSAVE_FILE_NAME;
        const Path kept = dir / engine::trace::AUTOSAVE_KEPT_NAME;
        const Path note = dir / engine::trace::AUTOSAVE_PROJECT_NAME;
        const Path kept_note = dir / engine::trace::AUTOSAVE_KEPT_PROJECT_NAME;
        in.order->run_if_current(in.order->next(), [&] {
            std::error_code ec;
            if (!fs::exists(file, ec)) return;
            move_aside(file, kept);
            if (fs::exists(note, ec)) move_aside(note, kept_note);
            else remove_quietly(kept_note);
        });
        if (readable_metadata(kept)) {
            if (auto session = Session::try_read(kept)) {
                r.kept = std::move(*session);
                r.kept_project = read_project_note(kept_note);
            } else {
                const Path bad = dir / ("autosave.bad-" + local_time_stamp() + ".vtproject");
                base::log::warn(LOG_TARGET, "autosave: unreadable (" + session.error() + "), kept as " + bad.string());
                std::error_code ec;
                fs::rename(kept, bad, ec);
                if (ec) base::log::warn(LOG_TARGET, "autosave: " + api::client::os_error_text(ec.value()));
                remove_quietly(kept_note);
            }
        }
    }
    return r;
}

reactive::Task<void> restore_at_start(WindowState s, Restore r) {
    if (r.kept) {
        // Applied under the project it was written for, not whatever the
        // settings name now.
        const auto path = r.kept_project;
        Dialog question{Dialog::RecoverChanges{}};
        auto asking = ask(s, std::move(question));
        const Answer a = co_await std::move(asking);
        if (a == Answer::Confirm) {
            apply_session(s, std::move(*r.kept), path);
            mark_unsaved(s);
            if (s.files.remove_kept_autosave) s.files.remove_kept_autosave();
            if (r.requested) reactive::spawn(open_project(s, r.requested));
            co_return;
        }
        if (a == Answer::Decline && s.files.remove_kept_autosave) s.files.remove_kept_autosave();
    }
    if (r.failed) {
        base::log::warn(LOG_TARGET, "could not open " + r.failed->string());
        show_dialog(s, Dialog{Dialog::Message{"Open failed", api::client::update::notes_html("Could not read " + r.failed->string())}});
    }
    if (!r.start) {
        apply_session(s, empty_session(s.settings.peek()), std::nullopt);
    } else if (!r.legacy) {
        apply_session(s, std::move(*r.start), r.start_path);
    } else {
        Session legacy = std::move(*r.start);
        legacy.setup = setup_of(s.settings.peek());
        apply_session(s, std::move(legacy), std::nullopt);
        mark_unsaved(s);
        Path imported = *r.legacy;
        imported.replace_extension("ron.imported");
        std::error_code ec;
        fs::rename(*r.legacy, imported, ec);
        if (ec)
            base::log::warn(LOG_TARGET, "could not rename " + r.legacy->string() + ": " + api::client::os_error_text(ec.value()));
    }
}

StartInputs process_start_inputs(const WindowState& s) {
    StartInputs in;
    if (s.host && s.host->take_pending_paths) in.pending = s.host->take_pending_paths();
    if (s.host) in.args = s.host->args;
    in.data_dir = api::client::Product::config_dir(engine::settings::PRODUCT_ID);
    in.autosave_dir = *engine::trace::AUTOSAVE_DIR;
    in.order = &engine::trace::AUTOSAVE;
    return in;
}

std::vector<Path> remove_stale_temporaries(const Settings& settings, const StartInputs& in) {
    std::vector<Path> removed;
    if (!in.autosave_dir) return removed;
    auto sweep = [&](const Path& folder, const std::function<bool(std::string_view)>& ours) {
        for (auto& p : api::client::remove_stale_temporaries(folder, ours)) {
            base::log::info(LOG_TARGET, "removed a temporary file of an ended process", {{"path", p.string()}});
            removed.push_back(std::move(p));
        }
    };
    auto anything = [](std::string_view) { return true; };
    std::vector<Path> own = {*in.autosave_dir};
    if (in.data_dir && *in.data_dir != *in.autosave_dir) own.push_back(*in.data_dir);
    for (const Path& folder : own) sweep(folder, anything);
    // Project folders: the user's, so only temporaries of project files.
    std::vector<Path> projects = settings.recent_projects;
    if (settings.last_project) projects.push_back(*settings.last_project);
    std::vector<Path> folders;
    for (const Path& p : projects) {
        const Path folder = p.parent_path();
        if (folder.empty() || std::find(own.begin(), own.end(), folder) != own.end() ||
            std::find(folders.begin(), folders.end(), folder) != folders.end())
            continue;
        folders.push_back(folder);
    }
    for (const Path& folder : folders) {
        sweep(folder, [&](std::string_view name) {
            // A name that already carries the project extension (in any case).
            if (const Path file(name); with_project_extension(file) == file) return true;
            for (const Path& p : projects)
                if (p.parent_path() == folder && p.filename().native() == name) return true;
            return false;
        });
    }
    return removed;
}

void start_up(const WindowState& s, const StartInputs& in) {
    remove_stale_temporaries(s.settings.peek(), in);
    engine::settings::update_recent_menu(s.settings.peek().recent_projects);
    reactive::spawn(restore_at_start(s, plan_start(s.settings.peek(), in)));
}

}  // namespace ui::main_window
