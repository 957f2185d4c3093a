#include "ui/main_window/core/state.h"

#include "reactive/root.h"

#include "engine/persist/autosave.h"
#include "ui/main_window/measure/seats.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

AutosaveHooks AutosaveHooks::process() {
    return AutosaveHooks{
        .autosave = [](Session s, std::optional<Path> p) { engine::trace::autosave(std::move(s), std::move(p)); },
        .remove_autosave = [] { engine::trace::remove_autosave(); },
        .remove_kept_autosave = [] { engine::trace::remove_kept_autosave(); },
    };
}

Setup setup_of(const Settings& s) {
    return Setup{
        .cycles = s.cycles,
        .coherence_threshold = s.coherence_threshold,
        .average_secs = s.average_secs,
        .target = s.target,
        .bass_db = s.bass_db,
        .mic_cal_path = s.mic_cal_path,
    };
}

WindowState make_state(Settings settings, WindowHostRef host, AutosaveHooks files) {
    WindowState s{.settings = SettingsStore(std::move(settings))};
    s.saved_setup.set(setup_of(s.settings.peek()));
    const auto& names = s.sources.peek();
    s.current_source_name.set(names.empty() ? std::string() : names.front());
    s.host = std::move(host);
    s.files = std::move(files);

    // Each memo holds a copy of the state made before the memo itself was
    // put in, so that no memo holds itself.
    s.reflections = reactive::Memo<std::vector<std::vector<float>>>([traces = s.traces] {
        std::vector<std::vector<float>> rows;
        for (const auto& t : traces()) rows.push_back(ui::tf_plot::reflection_db(t.points, t.arrivals, t.gate));
        return rows;
    });
    s.seats = reactive::Memo<std::optional<Seats>>([st = s] { return seats_memo(st); });
    s.predicted = reactive::Memo<std::optional<engine::analyzer::Snapshot>>([st = s] { return predicted_memo(st); });
    return s;
}

WindowState use_window_state() { return reactive::use_context<WindowState>(); }

}  // namespace ui::main_window
