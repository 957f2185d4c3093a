#include "ui/main_window/core/name_prompt.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/utf8.h"
#include "engine/exports/wing.h"
#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/text_input.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/eq/console.h"

namespace ui::main_window {

using reactive::Element;
using reactive::div;

namespace {

std::size_t count_traces(const std::vector<Trace>& traces, auto&& pred) {
    return static_cast<std::size_t>(std::count_if(traces.begin(), traces.end(), pred));
}

std::string trace_name(const std::vector<Trace>& traces, std::size_t i) {
    return i < traces.size() ? traces[i].name : std::string();
}

Element button(std::string label, bool flat, bool toggled, reactive::Callback<> on) {
    using namespace shared_ui::components::button;
    return reactive::component(default_button,
                               ButtonProps{.button_type = flat ? ButtonType::Flat : ButtonType::Normal,
                                           .toggled = toggled,
                                           .label = std::move(label),
                                           .onclick = [on](const reactive::MouseEvent&) { on(); }},
                               "default_button");
}

const std::vector<shared_ui::components::dropdown::Choice>& wing_choices() {
    static const auto choices = [] {
        std::vector<shared_ui::components::dropdown::Choice> out;
        for (auto& t : engine::wing::targets()) out.emplace_back(t, t);
        return out;
    }();
    return choices;
}

// Renames every position `from` to `to` in a design's zones and routes.
void rename_position_in(engine::design::Design& d, const std::string& from, const std::string& to) {
    for (auto& src : d.sources) {
        for (auto& z : src.zones)
            if (z.position == from) z.position = to;
        for (auto& r : src.routes)
            if (r.zone == from) r.zone = to;
    }
}

}  // namespace

// ---- the card -------------------------------------------------------------------

Element name_prompt(const NamePromptProps& p) {
    // What is typed lives here: replacing the prompt (another source or
    // target) keeps it. The field is given it back as its value, so that it
    // shows what was typed after losing the focus.
    auto text = reactive::use_signal(p.text);
    auto submit = reactive::use_callback<>([text, on = p.onsubmit] { on(text.peek()); });

    auto card = div().cls("alert-card vertical");
    // A press inside the card never reaches the backdrop.
    card.on_mousedown([](const reactive::MouseEvent&) {}, {.stop_propagation = true});
    card(div().cls("alert-title label")(p.title));

    if (const auto* capture = std::get_if<Prompt::Capture>(&p.prompt.kind)) {
        if (p.sources.empty()) {
            card(div().cls("alert-content label")("Add a source in the sidebar first"));
        } else {
            auto grid = div().cls("grid-2");
            for (const auto& name : p.sources)
                grid(button(name, false, name == capture->source,
                            reactive::Callback<>([on = p.onchange, name] { on(Prompt{Prompt::Capture{name}}); })));
            card(grid);
        }
    }
    if (const auto* send = std::get_if<Prompt::SendToWing>(&p.prompt.kind)) {
        using namespace shared_ui::components::dropdown;
        card(reactive::component(
            dropdown,
            DropdownProps{.options = wing_choices(),
                          .fill = true,
                          .value = send->target,
                          .onchange = [on = p.onchange](const Choice& c) { on(Prompt{Prompt::SendToWing{c.first}}); }},
            "dropdown"));
    }
    const bool deleting = is_delete_prompt(p.prompt);
    if (!deleting) {
        using namespace shared_ui::components::text_input;
        std::string placeholder;
        if (p.prompt.is<Prompt::Capture>()) placeholder = "Trace name, the source name if empty";
        else if (p.prompt.is<Prompt::SendToWing>()) placeholder = "Wing IP";
        card(reactive::component(text_input,
                                 TextInputProps{.value = text(),
                                                .oninput = [text](const std::string& v) { text.set(v); },
                                                .cls = "fill",
                                                .placeholder = std::move(placeholder),
                                                .autofocus = true,
                                                .onenter = submit,
                                                .onescape = p.oncancel},
                                 "text_input"));
    }

    auto right = deleting ? div().cls("alert-button-danger")(button(
                                "Delete", true, false, reactive::Callback<>([on = p.onsubmit] { on(std::string()); })))
                          : div().cls("alert-button-submit")(button("OK", true, false, submit));
    card(div().cls("horizontal space-between")(button("Cancel", true, false, p.oncancel), right));

    return div()
        .cls("alert-background")
        .on_mousedown([cancel = p.oncancel](const reactive::MouseEvent&) { cancel(); })(card);
}

// ---- titles and starting texts -------------------------------------------------------

bool is_delete_prompt(const Prompt& p) {
    return p.is<Prompt::DeletePosition>() || p.is<Prompt::DeleteSource>() || p.is<Prompt::DeleteTrace>();
}

std::string prompt_title(const WindowState& s, const Prompt& p) {
    const auto& traces = s.traces();
    return std::visit(
        [&](const auto& k) -> std::string {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, Prompt::NewPosition>) return "New position";
            else if constexpr (std::is_same_v<K, Prompt::RenamePosition>) return "Rename position";
            else if constexpr (std::is_same_v<K, Prompt::DeletePosition>)
                return fmt::format("Delete {} and its {} traces?", k.position,
                                   count_traces(traces, [&](const Trace& t) { return t.position == k.position; }));
            else if constexpr (std::is_same_v<K, Prompt::NewSource>) return "New source";
            else if constexpr (std::is_same_v<K, Prompt::RenameSource>) return "Rename source";
            else if constexpr (std::is_same_v<K, Prompt::DeleteSource>)
                return fmt::format("Delete {} and its {} traces?", k.source,
                                   count_traces(traces, [&](const Trace& t) { return t.source == k.source; }));
            else if constexpr (std::is_same_v<K, Prompt::Capture>) return "Capture";
            else if constexpr (std::is_same_v<K, Prompt::RenameTrace>) return "Rename trace";
            else if constexpr (std::is_same_v<K, Prompt::DeleteTrace>)
                return fmt::format("Delete {}?", trace_name(traces, k.trace));
            else return fmt::format("Send {} to Wing", current_source(s));
        },
        p.kind);
}

std::string prompt_text(const WindowState& s, const Prompt& p) {
    return std::visit(
        [&](const auto& k) -> std::string {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, Prompt::NewPosition>)
                return fmt::format("Position {}", positions(s.traces()).size() + 1);
            else if constexpr (std::is_same_v<K, Prompt::RenamePosition>) return k.position;
            else if constexpr (std::is_same_v<K, Prompt::NewSource>)
                return fmt::format("Source {}", s.sources().size() + 1);
            else if constexpr (std::is_same_v<K, Prompt::RenameSource>) return k.source;
            else if constexpr (std::is_same_v<K, Prompt::RenameTrace>) return trace_name(s.traces(), k.trace);
            else if constexpr (std::is_same_v<K, Prompt::SendToWing>) return s.settings.field(&Settings::wing_ip)();
            else return {};
        },
        p.kind);
}

std::string capture_name(const std::vector<Trace>& traces, const std::string& source, const std::string& position) {
    const auto n = count_traces(traces, [&](const Trace& t) { return t.source == source && t.position == position; });
    return n == 0 ? source : fmt::format("{} {}", source, n + 1);
}

// ---- what a confirmed prompt does --------------------------------------------------------

namespace {

void store_capture(const WindowState& s, const std::string& source, const std::string& typed) {
    if (source.empty()) return;  // no source chosen: the pending capture stays
    const std::string position = s.position.peek();
    const std::string name = typed.empty() ? capture_name(s.traces.peek(), source, position) : typed;
    std::optional<Trace> pending;
    s.pending_capture.update([&](std::optional<Trace>& p) { pending.swap(p); });
    if (!pending) {
        s.snapshot.update([](engine::analyzer::Snapshot& snap) { snap.status = "Nothing captured, press Enter again"; });
        return;
    }
    s.selected_source.set(source);
    s.current_source_name.set(source);
    Trace t = std::move(*pending);
    t.name = name;
    t.source = source;
    t.position = position;
    t.apply_cycles(s.settings.peek().cycles);
    std::size_t index = 0;
    s.traces.update([&](std::vector<Trace>& traces) {
        for (auto& other : traces)
            if (other.source == source && other.position == position) other.used = false;
        traces.push_back(std::move(t));
        index = traces.size() - 1;
    });
    s.viewed_trace.set(index);
    mark_unsaved(s);
}

}  // namespace

void submit_prompt(const WindowState& s, const std::string& text) {
    const std::string name(base::utf8::trim(text));
    const auto open = s.prompt.peek();
    if (!open) return;
    const bool empty_ok = is_delete_prompt(*open) || open->is<Prompt::Capture>();
    if (name.empty() && !empty_ok) return;
    s.prompt.set(std::nullopt);

    std::visit(
        [&](const auto& k) {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, Prompt::NewPosition>) {
                reset_alignment(s, name);
            } else if constexpr (std::is_same_v<K, Prompt::RenamePosition>) {
                const std::string& old = k.position;
                s.traces.update([&](std::vector<Trace>& traces) {
                    for (auto& t : traces)
                        if (t.position == old) t.position = name;
                    // Renaming onto an existing position merges the two.
                    engine::trace::untick_duplicates(traces);
                });
                s.design.update([&](engine::design::Design& d) { rename_position_in(d, old, name); });
                if (s.position.peek() == old) s.position.set(name);
                mark_unsaved(s);
            } else if constexpr (std::is_same_v<K, Prompt::DeletePosition>) {
                const bool was_current = s.position.peek() == k.position;
                s.traces.update([&](std::vector<Trace>& traces) {
                    std::erase_if(traces, [&](const Trace& t) { return t.position == k.position; });
                });
                mark_unsaved(s);
                const auto left = positions(s.traces.peek());
                const std::string fallback = left.empty() ? engine::trace::default_position() : left.back();
                refresh_positions(s, was_current ? std::optional<std::string>(fallback) : std::nullopt);
            } else if constexpr (std::is_same_v<K, Prompt::NewSource>) {
                const auto& names = s.sources.peek();
                if (std::find(names.begin(), names.end(), name) != names.end()) return;
                s.sources.update([&](std::vector<std::string>& v) { v.push_back(name); });
                s.design.update([&](engine::design::Design& d) { d.source_mut(name); });
                s.current_source_name.set(name);
                mark_unsaved(s);
            } else if constexpr (std::is_same_v<K, Prompt::RenameSource>) {
                const std::string& old = k.source;
                const auto& names = s.sources.peek();
                if (std::find(names.begin(), names.end(), name) != names.end()) return;
                revert_alignment(s);
                s.sources.update([&](std::vector<std::string>& v) { std::replace(v.begin(), v.end(), old, name); });
                s.traces.update([&](std::vector<Trace>& traces) {
                    for (auto& t : traces)
                        if (t.source == old) t.source = name;
                });
                s.design.update([&](engine::design::Design& d) {
                    for (auto& src : d.sources)
                        if (src.name == old) src.name = name;
                });
                if (s.current_source_name.peek() == old) s.current_source_name.set(name);
                // The next capture proposes the source under its new name.
                if (s.selected_source.peek() == old) s.selected_source.set(name);
                mark_unsaved(s);
            } else if constexpr (std::is_same_v<K, Prompt::DeleteSource>) {
                revert_alignment(s);
                s.sources.update([&](std::vector<std::string>& v) { std::erase(v, k.source); });
                s.traces.update([&](std::vector<Trace>& traces) {
                    std::erase_if(traces, [&](const Trace& t) { return t.source == k.source; });
                });
                s.design.update([&](engine::design::Design& d) {
                    std::erase_if(d.sources, [&](const engine::design::Source& x) { return x.name == k.source; });
                });
                // A deleted source is not proposed for the next capture.
                if (s.selected_source.peek() == k.source) s.selected_source.set(std::nullopt);
                mark_unsaved(s);
                refresh_positions(s, std::nullopt);
            } else if constexpr (std::is_same_v<K, Prompt::Capture>) {
                store_capture(s, k.source, name);
            } else if constexpr (std::is_same_v<K, Prompt::RenameTrace>) {
                s.traces.update([&](std::vector<Trace>& traces) {
                    if (k.trace < traces.size()) traces[k.trace].name = name;
                });
                mark_unsaved(s);
            } else if constexpr (std::is_same_v<K, Prompt::DeleteTrace>) {
                s.traces.update([&](std::vector<Trace>& traces) {
                    if (k.trace < traces.size()) traces.erase(traces.begin() + static_cast<std::ptrdiff_t>(k.trace));
                });
                mark_unsaved(s);
                refresh_positions(s, std::nullopt);
            } else {
                // The address and the target are kept even when the send fails.
                engine::settings::SettingsStoreImplExt::update(s.settings, [&](Settings& st) {
                    st.wing_ip = name;
                    st.wing_target = k.target;
                });
                send_prompt_command(s, k, name);
            }
        },
        open->kind);
}

}  // namespace ui::main_window
