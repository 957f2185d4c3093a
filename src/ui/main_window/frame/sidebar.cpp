#include "ui/main_window/frame/sidebar.h"

#include <algorithm>

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/tooltip.h"
#include "shared-ui/icons.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/frame/source_cards.h"
#include "ui/main_window/measure/plot_inputs.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using namespace reactive;
using shared_ui::Asset;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;
using shared_ui::components::tooltip::hint_span;
using shared_ui::components::tooltip::hint_spanProps;
namespace icons = shared_ui::icons;

Element list_button(Asset icon, std::string hint, Callback<const MouseEvent&> onclick, bool toggled, bool disabled) {
    return component(default_button,
                     ButtonProps{.button_type = ButtonType::Flat,
                                 .icon = icon,
                                 .toggled = toggled,
                                 .hint = std::move(hint),
                                 .disabled = disabled,
                                 .onclick = std::move(onclick)},
                     "default_button");
}

namespace {

constexpr const char* HINT_NEW_SOURCE = "New source: a speaker system you will measure at each position";
constexpr const char* HINT_NEW_POSITION = "New measurement position; captures go there from now on";

Element name_span(std::string text, std::string cls) {
    return component(hint_span, hint_spanProps{.cls = std::move(cls), .text = std::move(text)}, "hint_span");
}

void toggle_name(const Signal<std::vector<std::string>>& list, const std::string& name) {
    list.update([&](std::vector<std::string>& v) {
        auto it = std::find(v.begin(), v.end(), name);
        if (it != v.end()) v.erase(it);
        else v.push_back(name);
    });
}

Element trace_row(const WindowState& s, std::size_t t, const Trace& trace, std::uint8_t colour, bool selected) {
    return div()
        .key(fmt::format("t{}", t))
        .cls(fmt::format("trace{} c{}", selected ? " selected" : "", colour))
        .on_click([s, t](const MouseEvent&) { view_trace(s, t); })
        .on_contextmenu([s, t](const MouseEvent& e) { open_context_menu(s, e, Prompt{Prompt::RenameTrace{t}}); },
                        {.prevent_default = true, .stop_propagation = true})(
            list_button(trace.visible ? icons::PREVIEW : icons::TEXT_CUE_VISIBILITY_OFF, "Show or hide this trace",
                        [s, t](const MouseEvent&) { toggle_trace_visible(s, t); }, trace.visible),
            list_button(icons::CONFIRM,
                        "Tick: this trace stands for its source in Predicted and the align tools; one per source at "
                        "a position",
                        [s, t](const MouseEvent&) { toggle_trace_used(s, t); }, trace.used),
            name_span(trace.name, "name"), name_span(trace.source, "source"),
            list_button(icons::DELETE, "Delete this trace",
                        [s, t](const MouseEvent&) { s.prompt.set(Prompt{Prompt::DeleteTrace{t}}); }));
}

Element positions_list(const WindowState& s) {
    const auto& traces = s.traces();
    const auto& sources = s.sources();
    const auto& current = s.position();
    const auto& folded = s.folded_positions();
    const auto viewed = s.viewed_trace();
    std::vector<Element> rows;
    for (const auto& p : shown_positions(traces, current)) {
        const auto at = at_position(traces, p);
        const bool is_folded = std::find(folded.begin(), folded.end(), p) != folded.end();
        rows.push_back(
            div()
                .key("p" + p)
                .cls(p == current ? "folder selected" : "folder")
                .on_click([s, p](const MouseEvent&) { reset_alignment(s, p); })
                .on_contextmenu(
                    [s, p](const MouseEvent& e) { open_context_menu(s, e, Prompt{Prompt::RenamePosition{p}}); },
                    {.prevent_default = true, .stop_propagation = true})(
                    list_button(is_folded ? icons::CHEVRON_RIGHT : icons::CHEVRON_DOWN, "Fold or unfold this position",
                                [s, p](const MouseEvent&) { toggle_fold(s, p); }),
                    name_span(p, "name"), span().cls("count")(fmt::format("{}", at.size())),
                    list_button(icons::DELETE, "Delete this position and every trace in it",
                                [s, p](const MouseEvent&) { s.prompt.set(Prompt{Prompt::DeletePosition{p}}); })));
        if (is_folded) continue;
        for (std::size_t t : at)
            rows.push_back(trace_row(s, t, traces[t], colour_of(sources, traces[t].source), viewed == t));
    }
    return fragment(std::move(rows));
}

Element sources_list(const WindowState& s) {
    const auto& traces = s.traces();
    const auto& sources = s.sources();
    const std::string current = current_source(s);
    std::vector<Element> rows;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const std::string name = sources[i];
        const auto count = std::count_if(traces.begin(), traces.end(), [&](const Trace& t) { return t.source == name; });
        rows.push_back(
            div()
                .key("s" + name)
                .cls(fmt::format("trace{} c{}", name == current ? " selected" : "", i % 4))
                .on_click([s, name](const MouseEvent&) { edit_source_eq(s, name); })
                .on_contextmenu(
                    [s, name](const MouseEvent& e) { open_context_menu(s, e, Prompt{Prompt::RenameSource{name}}); },
                    {.prevent_default = true, .stop_propagation = true})(
                    div().cls("icon")(img().attr("draggable", "false").attr("src", icons::SPEAKER.url())),
                    name_span(name, "name"), span().cls("count")(fmt::format("{}", count)),
                    list_button(icons::DELETE, "Delete this source and every trace of it",
                                [s, name](const MouseEvent&) { s.prompt.set(Prompt{Prompt::DeleteSource{name}}); })));
    }
    return fragment(std::move(rows));
}

}  // namespace

std::uint8_t colour_of(const std::vector<std::string>& sources, const std::string& name) {
    auto it = std::find(sources.begin(), sources.end(), name);
    return it == sources.end() ? 0 : static_cast<std::uint8_t>((it - sources.begin()) % 4);
}

std::vector<std::string> shown_positions(const std::vector<Trace>& traces, const std::string& position) {
    auto out = positions(traces);
    if (std::find(out.begin(), out.end(), position) == out.end()) out.push_back(position);
    return out;
}

void toggle_fold(const WindowState& s, const std::string& position) { toggle_name(s.folded_positions, position); }

void view_trace(const WindowState& s, std::size_t index) {
    if (s.viewed_trace.peek() == index) {
        s.viewed_trace.set(std::nullopt);
        return;
    }
    s.show_predicted.set(false);
    s.viewed_trace.set(index);
}

void edit_source_eq(const WindowState& s, const std::string& name) {
    s.current_source_name.set(name);
    s.right_tab.set(2);
}

void select_source(const WindowState& s, const std::string& name) { s.current_source_name.set(name); }

void toggle_predicted_source(const WindowState& s, const std::string& name) { toggle_name(s.summed_sources, name); }

void toggle_show_average(const WindowState& s) { s.show_average.set(!s.show_average.peek()); }

void pick_seat(const WindowState& s, const std::string& position) {
    s.picked_seat.set(position);
    set_predicted(s, true);
}

void pick_average(const WindowState& s) {
    s.picked_seat.set(std::nullopt);
    set_predicted(s, true);
}

void open_context_menu(const WindowState& s, const reactive::MouseEvent& e, Prompt target) {
    s.menu_target.set(std::move(target));
    s.menu_position.set(std::pair{e.client_x, e.client_y});
}

Element sidebar() {
    const auto s = use_window_state();
    auto new_source = use_callback<const MouseEvent&>([s](const MouseEvent&) { s.prompt.set(Prompt{Prompt::NewSource{}}); });
    auto add = use_callback<const MouseEvent&>([s](const MouseEvent&) {
        s.prompt.set(s.left_tab.peek() == 0 ? Prompt{Prompt::NewPosition{}} : Prompt{Prompt::NewSource{}});
    });

    if (s.right_tab() == 2) {
        const auto& sources = s.sources();
        std::vector<Element> cards;
        for (std::size_t i = 0; i < sources.size(); ++i) cards.push_back(source_cards(i, sources[i]));
        return div().cls("vt-sidebar")(
            div().cls("tab-bar")(button().cls("tab-btn active")("Sources"),
                                 list_button(icons::ADD, HINT_NEW_SOURCE, new_source)),
            div().cls("vt-list")(fragment(std::move(cards))));
    }
    const std::size_t tab = s.left_tab();
    return div().cls("vt-sidebar")(
        div().cls("tab-bar")(
            button().cls(tab == 0 ? "tab-btn active" : "tab-btn").on_click([s](const MouseEvent&) { s.left_tab.set(0); })(
                "Positions"),
            button().cls(tab == 1 ? "tab-btn active" : "tab-btn").on_click([s](const MouseEvent&) { s.left_tab.set(1); })(
                "Sources"),
            list_button(icons::ADD, tab == 0 ? HINT_NEW_POSITION : HINT_NEW_SOURCE, add)),
        div().cls("vt-list")(tab == 0 ? positions_list(s) : sources_list(s)));
}

}  // namespace ui::main_window
