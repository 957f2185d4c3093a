#include "ui/main_window/align/alignment.h"

#include <algorithm>
#include <cmath>

#include "reactive/root.h"
#include "ui/main_window/align/align_search.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

namespace {

const Source* find_strip(const std::vector<Source>& strips, const std::string& name) {
    const auto it = std::find_if(strips.begin(), strips.end(), [&](const Source& x) { return x.name == name; });
    return it != strips.end() ? &*it : nullptr;
}

Source saved_strip(const std::vector<Source>& saved, const std::string& name) {
    const Source* s = find_strip(saved, name);
    return s ? *s : Source::make(name);
}

// The design's strip of that name: appended when missing and `create` is
// set, else none.
Source* strip_in(Design& d, const std::string& name, bool create) {
    // No reference (a project of one source) names no strip.
    if (name.empty()) return nullptr;
    if (create) return &d.source_mut(name);
    const auto it = std::find_if(d.sources.begin(), d.sources.end(), [&](const Source& x) { return x.name == name; });
    return it != d.sources.end() ? &*it : nullptr;
}

// Puts back, from the saved strips, the corners a Crossover candidate wrote.
void restore_corners(Design& d, const AlignSession& ses, const AlignCandidate::Crossover& x, bool create) {
    const std::string& upper = x.aligned_upper ? ses.aligned : ses.applied_reference;
    const std::string& lower = x.aligned_upper ? ses.applied_reference : ses.aligned;
    if (Source* u = strip_in(d, upper, create)) u->hp.hz = saved_strip(ses.saved, upper).hp.hz;
    if (Source* l = strip_in(d, lower, create)) l->lp.hz = saved_strip(ses.saved, lower).lp.hz;
}

// Gain, delay and polarity of the named strip back to the saved ones.
void restore_level_delay(Design& d, const std::vector<Source>& saved, const std::string& name, bool create) {
    Source* t = strip_in(d, name, create);
    if (!t) return;
    const Source from = saved_strip(saved, name);
    t->gain_db = from.gain_db;
    t->delay_ms = from.delay_ms;
    t->invert = from.invert;
}

void apply_delay(Design& d, const AlignSession& ses, float delay_ms, bool invert) {
    if (Source* t = strip_in(d, delay_ms < 0.0f ? ses.reference : ses.aligned, true))
        t->delay_ms = std::max(t->delay_ms + std::fabs(delay_ms), 0.0f);
    if (invert) {
        if (Source* a = strip_in(d, ses.aligned, true)) a->invert = !a->invert;
    }
}

}  // namespace

void start_alignment(const WindowState& s, const std::string& name) {
    // A session left open would lose what its candidates wrote.
    if (s.align_session.peek()) revert_alignment(s);
    std::string reference;
    for (const auto& n : s.sources.peek()) {
        if (n != name) {
            reference = n;
            break;
        }
    }
    s.alignment.set(std::nullopt);
    s.alignment_text.set("");
    AlignSession ses;
    ses.aligned = name;
    ses.reference = std::move(reference);
    ses.saved = s.design.peek().sources;
    s.align_session.set(std::move(ses));
}

void change_reference(const WindowState& s, const std::string& key, const std::string&) {
    const auto& open = s.align_session.peek();
    const std::uint8_t m = open ? open->mode : std::uint8_t{ALIGN_NO_MODE};
    if (m != ALIGN_NO_MODE) apply_alignment(s, std::nullopt);
    if (s.align_session.peek()) {
        s.align_session.update([&](std::optional<AlignSession>& ses) {
            ses->reference = key;
            ses->mode = ALIGN_NO_MODE;
            ses->candidates.clear();
            ses->note.clear();
        });
    }
    if (m != ALIGN_NO_MODE) run_alignment(s, m);
}

void run_alignment(const WindowState& s, std::uint8_t mode) {
    const auto& open = s.align_session.peek();
    if (!open) return;
    const std::string reference = open->reference;
    const std::string aligned = open->aligned;
    apply_alignment(s, std::nullopt);
    s.alignment.set(std::nullopt);
    auto result = alignment_search(s, reference, aligned, mode);
    if (!result) {
        s.alignment_text.set(result.error());
        if (s.align_session.peek()) {
            s.align_session.update([](std::optional<AlignSession>& ses) {
                ses->mode = ALIGN_NO_MODE;
                ses->candidates.clear();
                ses->note.clear();
            });
        }
        return;
    }
    auto& [candidates, note] = *result;
    s.alignment_text.set(note);
    std::optional<AlignCandidate> first;
    if (!candidates.empty()) first = candidates.front();
    if (s.align_session.peek()) {
        s.align_session.update([&](std::optional<AlignSession>& ses) {
            ses->mode = mode;
            ses->candidates = std::move(candidates);
            ses->picked = 0;
            ses->note = std::move(note);
        });
    }
    apply_alignment(s, first);
}

void apply_alignment(const WindowState& s, const std::optional<AlignCandidate>& candidate) {
    if (!s.align_session.peek()) return;
    const AlignSession ses = *s.align_session.peek();
    edit_design(s, [&](Design& d) {
        // Undo: gain, delay and polarity of both strips from the saved ones,
        // and the corners of a Crossover candidate written before.
        restore_level_delay(d, ses.saved, ses.reference, true);
        restore_level_delay(d, ses.saved, ses.aligned, true);
        if (ses.applied && ses.applied_reference != ses.reference)
            restore_level_delay(d, ses.saved, ses.applied_reference, false);
        if (ses.applied && ses.applied->is<AlignCandidate::Crossover>())
            restore_corners(d, ses, std::get<AlignCandidate::Crossover>(ses.applied->kind), true);
        if (!candidate) return;
        if (const auto* l = std::get_if<AlignCandidate::Level>(&candidate->kind)) {
            if (Source* a = strip_in(d, ses.aligned, true)) a->gain_db += l->gain_db;
        } else if (const auto* x = std::get_if<AlignCandidate::Crossover>(&candidate->kind)) {
            if (Source* upper = strip_in(d, x->aligned_upper ? ses.aligned : ses.reference, true)) upper->hp.hz = x->hp_hz;
            if (Source* lower = strip_in(d, x->aligned_upper ? ses.reference : ses.aligned, true)) lower->lp.hz = x->lp_hz;
            apply_delay(d, ses, x->delay_ms, x->invert);
        } else if (const auto* y = std::get_if<AlignCandidate::Delay>(&candidate->kind)) {
            apply_delay(d, ses, y->delay_ms, y->invert);
        }
    });
    if (s.align_session.peek()) {
        s.align_session.update([&](std::optional<AlignSession>& open) {
            open->applied = candidate;
            open->applied_reference = ses.reference;
        });
    }
    set_predicted(s, true);
}

void pick_candidate(const WindowState& s, std::size_t index) {
    const auto& open = s.align_session.peek();
    if (!open || index >= open->candidates.size()) return;
    const AlignCandidate c = open->candidates[index];
    s.align_session.update([&](std::optional<AlignSession>& ses) { ses->picked = index; });
    apply_alignment(s, c);
}

void accept_alignment(const WindowState& s) {
    s.align_session.set(std::nullopt);
    s.alignment.set(std::nullopt);
}

void revert_alignment(const WindowState& s) {
    std::optional<AlignSession> taken = s.align_session.peek();
    if (!taken) return;
    s.align_session.set(std::nullopt);
    // Only what the applied candidate wrote goes back: gain, delay and
    // polarity of the two strips and the corners of a Crossover. Edits made
    // meanwhile on other strips stay, and strips deleted meanwhile stay gone.
    if (taken->applied) {
        const AlignSession& ses = *taken;
        Design next = s.design.peek();
        restore_level_delay(next, ses.saved, ses.aligned, false);
        restore_level_delay(next, ses.saved, ses.applied_reference, false);
        if (const auto* x = std::get_if<AlignCandidate::Crossover>(&ses.applied->kind)) restore_corners(next, ses, *x, false);
        if (!(next == s.design.peek())) edit_design(s, [&](Design& d) { d = std::move(next); });
    }
    s.alignment.set(std::nullopt);
    s.alignment_text.set("");
}

void reset_alignment(const WindowState& s, const std::string& position) {
    if (s.position.peek() == position) return;
    revert_alignment(s);
    s.alignment.set(std::nullopt);
    s.alignment_text.set("");
    // The message line spoke of the position being left.
    s.notice.set("");
    s.viewed_trace.set(std::nullopt);
    s.position.set(position);
}

void refresh_positions(const WindowState& s, const std::optional<std::string>& preferred) {
    const std::string cur = s.position.peek();
    std::string next = cur;
    if (preferred) {
        const auto known = positions(s.traces.peek());
        if (std::find(known.begin(), known.end(), cur) == known.end()) next = *preferred;
    }
    s.position.set("");
    reset_alignment(s, next);
}

void strip_edited(const WindowState& s) { mark_unsaved(s); }

void leave_align_tab(const WindowState& s) {
    reactive::use_effect([s] {
        if (s.right_tab() != 1 && s.align_session.peek()) reactive::untrack([&] { revert_alignment(s); });
    });
}

}  // namespace ui::main_window
