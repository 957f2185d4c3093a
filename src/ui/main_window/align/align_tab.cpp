#include "ui/main_window/align/align_tab.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/dropdown.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/frame/strip_card.h"

namespace ui::main_window {

using reactive::Element;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;
using shared_ui::components::dropdown::Choice;
using shared_ui::components::dropdown::DropdownProps;

namespace {

struct ModeButton {
    std::uint8_t mode;
    const char* label;
    const char* hint;
};

constexpr ModeButton MODES[] = {
    {ALIGN_LEVEL, "Level",
     "Add to this source's gain so it matches the reference over the band where both play within 10 dB, as they "
     "come out of their strips"},
    {ALIGN_DELAY, "Delay",
     "Delay and polarity that best sum this source with the reference here; delays that sum the same are offered "
     "below"},
    {ALIGN_DELAY_ALL, "Delay, all positions",
     "One delay and polarity across every position that has both; reports what each seat gives up"},
    {ALIGN_CROSSOVER, "Crossover",
     "Corners for the HP and LP switched on in the two strips, with the filter types set there: every pair an "
     "octave either side of the current ones, each aligned across all positions, flattest sum first"},
};

// The strip a delay lands on: the reference for a negative delay.
const std::string& delayed(const AlignSession& ses, float delay_ms) {
    return delay_ms < 0.0f ? ses.reference : ses.aligned;
}

void delay_pieces(std::vector<TextPiece>& out, const AlignSession& ses, const char* lead, float delay_ms, bool invert) {
    out.push_back({fmt::format("{}{}: ", lead, delayed(ses, delay_ms))});
    out.push_back({fmt::format("{:+.2f} ms", std::fabs(delay_ms)), true});
    if (invert) {
        out.push_back({fmt::format(", polarity of {} ", ses.aligned)});
        out.push_back({"flipped", true});
    }
}

Element button(ButtonProps p) { return reactive::component(default_button, std::move(p), "default_button"); }

Element panel(const WindowState& s, const AlignSession& ses) {
    std::vector<Choice> options;
    for (const auto& n : s.sources())
        if (n != ses.aligned) options.emplace_back(n, n);

    std::vector<Element> modes;
    for (const auto& m : MODES) {
        const std::uint8_t mode = m.mode;
        modes.push_back(button(ButtonProps{
            .toggled = ses.mode == mode,
            .label = m.label,
            .hint = m.hint,
            .onclick = [s, mode](const reactive::MouseEvent&) { run_alignment(s, mode); },
        }));
    }

    std::vector<Element> applied;
    for (const auto& piece : applied_line(ses))
        applied.push_back(piece.bold ? reactive::el("b")(piece.text) : Element(piece.text));

    std::vector<Element> candidates;
    for (std::size_t i = 0; i < ses.candidates.size(); ++i) {
        candidates.push_back(button(ButtonProps{
            .button_type = ButtonType::Flat,
            .toggled = i == ses.picked,
            .label = candidate_label(ses, ses.candidates[i]),
            .hint = "Apply this one",
            .onclick = [s, i](const reactive::MouseEvent&) { pick_candidate(s, i); },
        }));
    }

    const char* choose = ses.mode == ALIGN_CROSSOVER
                             ? "Flattest first; pick by what the boxes can take, Predicted shows the chosen one"
                             : "These delays sum within 0.5 dB of each other; pick by geometry, Predicted shows the chosen one";
    return reactive::div().cls("vt-align")(
        reactive::div().cls("alert-title")(fmt::format("Align {}", ses.aligned)),
        reactive::div().cls("row")(
            reactive::div().cls("label")("to"),
            reactive::component(shared_ui::components::dropdown::dropdown,
                                DropdownProps{
                                    .options = std::move(options),
                                    .fill = true,
                                    .value = ses.reference,
                                    .onchange = [s](Choice c) { change_reference(s, c.first, c.second); },
                                },
                                "dropdown")),
        reactive::div().cls("row modes")(std::move(modes)),
        reactive::div().cls("result")(std::move(applied)),
        reactive::when(!ses.note.empty(), [&] { return reactive::div().cls("result")(ses.note); }),
        reactive::when(ses.candidates.size() >= 2, [&] { return reactive::div().cls("result")(choose); }),
        reactive::div().cls("row candidates")(std::move(candidates)),
        reactive::div().cls("row")(
            reactive::div().cls("fill"),
            button(ButtonProps{
                .button_type = ButtonType::Flat,
                .label = "Cancel",
                .hint = "Put every strip back to how it was when this alignment started (Escape)",
                .onclick = [s](const reactive::MouseEvent&) { revert_alignment(s); },
            }),
            button(ButtonProps{
                .label = "Accept",
                .hint = "Keep the strips as they are now",
                .onclick = [s](const reactive::MouseEvent&) { accept_alignment(s); },
            })));
}

}  // namespace

std::vector<TextPiece> applied_line(const AlignSession& ses) {
    if (ses.picked >= ses.candidates.size()) return {{"Nothing applied yet; Predicted shows the strips as they are"}};
    const AlignCandidate& c = ses.candidates[ses.picked];
    std::vector<TextPiece> out;
    if (const auto* l = std::get_if<AlignCandidate::Level>(&c.kind)) {
        out.push_back({fmt::format("Gain of {}: ", ses.aligned)});
        out.push_back({fmt::format("{:+.1f} dB", l->gain_db), true});
        out.push_back({fmt::format(" to match {} over {:.0f}..{:.0f} Hz", ses.reference, l->lo_hz, l->hi_hz)});
    } else if (const auto* d = std::get_if<AlignCandidate::Delay>(&c.kind)) {
        delay_pieces(out, ses, "Delay of ", d->delay_ms, d->invert);
    } else if (const auto* x = std::get_if<AlignCandidate::Crossover>(&c.kind)) {
        const std::string& upper = x->aligned_upper ? ses.aligned : ses.reference;
        const std::string& lower = x->aligned_upper ? ses.reference : ses.aligned;
        out.push_back({fmt::format("HP of {}: ", upper)});
        out.push_back({fmt::format("{:.0f} Hz", x->hp_hz), true});
        out.push_back({fmt::format(", LP of {}: ", lower)});
        out.push_back({fmt::format("{:.0f} Hz", x->lp_hz), true});
        delay_pieces(out, ses, ", delay of ", x->delay_ms, x->invert);
        out.push_back({fmt::format(", ripple {:.1f} dB", x->ripple_db)});
    }
    return out;
}

std::string candidate_label(const AlignSession& ses, const AlignCandidate& c) {
    if (const auto* l = std::get_if<AlignCandidate::Level>(&c.kind))
        return fmt::format("{} {:+.1f} dB", ses.aligned, l->gain_db);
    if (const auto* d = std::get_if<AlignCandidate::Delay>(&c.kind))
        return fmt::format("{} {:.2f} ms{}", delayed(ses, d->delay_ms), std::fabs(d->delay_ms), d->invert ? " inv" : "");
    const auto& x = std::get<AlignCandidate::Crossover>(c.kind);
    return fmt::format("HP {:.0f} / LP {:.0f}, {:.1f} dB", x.hp_hz, x.lp_hz, x.ripple_db);
}

Element align_panel(const AlignPanelProps& p) {
    const WindowState s = use_window_state();
    auto onedit = reactive::use_callback<>([s] { strip_edited(s); });
    auto onalign = reactive::use_callback<std::string>([s](std::string name) { start_alignment(s, name); });
    const auto& session = s.align_session();
    if (session && session->aligned == p.name) {
        const std::string& text = s.alignment_text();
        // A failed run's text (a successful run's is its note, shown above).
        const bool message = !text.empty() && text != session->note;
        return reactive::fragment(panel(s, *session),
                                  reactive::when(message, [&] { return reactive::div().cls("vt-align-message")(text); }));
    }
    const bool can_align = s.sources().size() >= 2 && !session && !s.snapshot().running;
    return reactive::component(strip_card,
                               StripCardProps{
                                   .name = p.name,
                                   .source = source_or_new(s, p.name),
                                   .can_align = can_align,
                                   .design = s.design,
                                   .onedit = onedit,
                                   .onalign = onalign,
                               },
                               "strip_card");
}

Element align_tab() {
    const WindowState s = use_window_state();
    std::vector<Element> rows;
    const auto& names = s.sources();
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Keyed by name; a name listed twice gets its place added.
        const bool twice = std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i), names[i]) !=
                           names.begin() + static_cast<std::ptrdiff_t>(i);
        rows.push_back(reactive::component(align_panel, AlignPanelProps{names[i]}, "align_panel")
                           .key(twice ? fmt::format("{}#{}", names[i], i) : names[i]));
    }
    return reactive::div().cls("vt-align-tab")(std::move(rows));
}

}  // namespace ui::main_window
