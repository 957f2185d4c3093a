#include "ui/main_window/frame/source_cards.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/tooltip.h"
#include "shared-ui/icons.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/frame/sidebar.h"
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

namespace {

Asset eye(bool shown) { return shown ? icons::PREVIEW : icons::TEXT_CUE_VISIBILITY_OFF; }

}  // namespace

Element source_card(const SourceCardProps& p) {
    const auto s = use_window_state();
    const std::string name = p.name;
    const std::string current = current_source(s);
    const bool is_current = name == current;
    const auto& summed = s.summed_sources();
    const bool in_predicted = is_current || std::find(summed.begin(), summed.end(), name) != summed.end();
    const auto& traces = s.traces();
    const auto count = std::count_if(traces.begin(), traces.end(), [&](const Trace& t) { return t.source == name; });

    std::vector<Element> out;
    out.push_back(
        div()
            .cls(fmt::format("folder{} c{}", is_current ? " selected" : "", p.index % 4))
            .on_click([s, name](const MouseEvent&) { select_source(s, name); })
            .on_contextmenu([s, name](const MouseEvent&) { s.prompt.set(Prompt{Prompt::RenameSource{name}}); },
                            {.prevent_default = true, .stop_propagation = true})(
                list_button(eye(in_predicted),
                            is_current ? "The source being EQ'd is always in Predicted"
                                       : "Sum this source into Predicted, through its whole strip, at the seat or "
                                         "average picked below",
                            [s, name](const MouseEvent&) { toggle_predicted_source(s, name); }, in_predicted,
                            is_current),
                div().cls("icon")(img().attr("draggable", "false").attr("src", icons::SPEAKER.url())),
                component(hint_span, hint_spanProps{.cls = "name", .text = name}, "hint_span"),
                span().cls("count")(fmt::format("{}", count)),
                list_button(icons::DELETE, "Delete this source and every trace of it",
                            [s, name](const MouseEvent&) { s.prompt.set(Prompt{Prompt::DeleteSource{name}}); })));

    // The seats only matter under the current source's card.
    static const std::optional<Seats> no_seats;
    const auto& data = is_current ? s.seats() : no_seats;
    if (is_current && data) {
        const auto& picked = s.picked_seat();
        const bool average_shown = s.show_average();
        bool seat_picked = false;
        for (const auto& seat : data->seats) {
            const bool selected = picked && *picked == seat.position;
            seat_picked |= selected;
            const bool visible = seat.trace < traces.size() && traces[seat.trace].visible;
            const std::size_t t = seat.trace;
            const std::string pos = seat.position;
            out.push_back(
                div()
                    .key("seat" + pos)
                    .cls(fmt::format("trace{} c{}", selected ? " selected" : "", seat.colour))
                    .on_click([s, pos](const MouseEvent&) { pick_seat(s, pos); })(
                        list_button(eye(visible), "Show or hide this seat's trace; the average and the fit keep it either way",
                                    [s, t](const MouseEvent&) { toggle_trace_visible(s, t); }, visible),
                        list_button(icons::CONFIRM,
                                    "Tick: this seat is part of the average and the fit, and of Predicted at its position",
                                    [s, t](const MouseEvent&) { toggle_trace_used(s, t); }, seat.ticked),
                        component(hint_span, hint_spanProps{.cls = "name", .text = pos}, "hint_span"),
                        span().cls("count")(fmt::format("{:+.1f} dB", std::round(seat.db * 10.0f) / 10.0f + 0.0f))));
        }
        out.push_back(div()
                          .key("average")
                          .cls(seat_picked ? "trace avg" : "trace avg selected")
                          .on_click([s](const MouseEvent&) { pick_average(s); })(
                              list_button(eye(average_shown),
                                          "Show or hide the average of the seats, what Fit works on; Predicted draws it "
                                          "through the strip either way",
                                          [s](const MouseEvent&) { toggle_show_average(s); }, average_shown),
                              span().cls("name")("Average")));
    }
    return fragment(std::move(out));
}

Element source_cards(std::size_t index, const std::string& name) {
    return component(source_card, SourceCardProps{index, name}, "source_card").key("card" + name);
}

}  // namespace ui::main_window
