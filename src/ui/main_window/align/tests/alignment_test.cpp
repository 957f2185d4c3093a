// The alignment session and its searches on synthetic traces: the notes and
// panel texts, candidate sequences on the strips, Cancel, Accept, leaving the
// tab, and the Align tab's markup and clicks.
#include <cmath>
#include <complex>
#include <numbers>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/dom.h"
#include "ui/main_window/align/align_search.h"
#include "ui/main_window/align/align_tab.h"
#include "ui/main_window/align/alignment.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/key_events.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using engine::design::Design;
using engine::design::Source;
using Complex = std::complex<float>;

// A trace of an analytic response: value(f) at every grid point, confidence 1.
Trace analytic(std::string source, std::string position, std::uint32_t fs,
               const std::function<Complex(float)>& value) {
    const auto& f = engine::tf::point_freq();
    std::vector<engine::tf::Triple> bins;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Complex v = value(f[i]);
        bins.push_back({v.real(), v.imag(), 1.0f});
    }
    Trace t = Trace::make(source + " at " + position, fs, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    return t;
}

// A loudspeaker-like response: second-order roll-offs at 40 Hz and 16 kHz.
Complex speaker(float f) {
    const Complex s(0.0f, f);
    const Complex hp = (s / 40.0f) * (s / 40.0f) / (1.0f + s / 40.0f * 1.41f + (s / 40.0f) * (s / 40.0f));
    const Complex lp = 1.0f / (1.0f + s / 16000.0f * 1.41f + (s / 16000.0f) * (s / 16000.0f));
    return hp * lp;
}
Complex delayed(float f, float seconds) {
    return speaker(f) * std::exp(Complex(0.0f, -2.0f * std::numbers::pi_v<float> * f * seconds));
}

class Align : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        s().sources.set({"Main", "Sub", "Fill"});
        s().right_tab.set(1);
    }
    void set_traces(std::vector<Trace> t) { s().traces.set(std::move(t)); }
    Source strip(const std::string& name) { return source_or_new(s(), name); }
    void edit(const std::string& name, const std::function<void(Source&)>& change) {
        s().design.update([&](Design& d) { change(d.source_mut(name)); });
    }
    // A session on Sub against Main with these candidates offered.
    void offer(std::vector<AlignCandidate> c) {
        start_alignment(s(), "Sub");
        s().align_session.update([&](auto& ses) {
            ses->candidates = std::move(c);
            ses->mode = ALIGN_DELAY;
        });
    }
};

TEST_F(Align, DelayModeOnSyntheticTraces) {
    struct Case {
        const char* what;
        std::function<Complex(float)> aligned;
        std::uint32_t fs;
        std::string note_start;
        float delay_ms;
        bool invert;
    };
    const Case cases[] = {
        {"identical", speaker, 48000, "Sub delayed 0.00 ms more. Sum +3.0 dB over ", 0.0f, false},
        {"96 samples later", [](float f) { return delayed(f, 96.0f / 48000.0f); }, 48000,
         "Main delayed 2.00 ms more. Sum +3.0 dB over ", -2.0f, false},
        {"negated", [](float f) { return -speaker(f); }, 48000, "Sub delayed 0.00 ms more, Sub flipped. Sum +3.0 dB over ",
         0.0f, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        set_traces({analytic("Main", "Position 1", 48000, speaker), analytic("Sub", "Position 1", c.fs, c.aligned)});
        start_alignment(s(), "Sub");
        run_alignment(s(), ALIGN_DELAY);
        const auto& al = s().alignment.peek();
        ASSERT_TRUE(al);
        EXPECT_FLOAT_EQ(al->delay_ms, c.delay_ms);
        EXPECT_EQ(al->invert, c.invert);
        EXPECT_NEAR(al->sum_db, 3.0f, 0.05f);
        const auto& ses = s().align_session.peek();
        ASSERT_TRUE(ses);
        EXPECT_EQ(ses->mode, ALIGN_DELAY);
        EXPECT_EQ(ses->note.rfind(c.note_start, 0), 0u) << ses->note;
        EXPECT_EQ(s().alignment_text.peek(), ses->note);
        ASSERT_FALSE(ses->candidates.empty());
        EXPECT_EQ(ses->candidates[0], (AlignCandidate{AlignCandidate::Delay{c.invert, c.delay_ms}}));
        // The first candidate is applied: the later source is delayed, Predicted is on.
        EXPECT_FLOAT_EQ(strip(c.delay_ms < 0 ? "Main" : "Sub").delay_ms, std::fabs(c.delay_ms));
        EXPECT_EQ(strip("Sub").invert, c.invert);
        EXPECT_TRUE(s().show_predicted.peek());
        revert_alignment(s());
        EXPECT_FLOAT_EQ(strip("Main").delay_ms, 0.0f);
        EXPECT_FALSE(strip("Sub").invert);
    }
    // The whole note of the delayed copy, byte for byte.
    set_traces({analytic("Main", "Position 1", 48000, speaker),
                analytic("Sub", "Position 1", 48000, [](float f) { return delayed(f, 0.002f); })});
    start_alignment(s(), "Sub");
    run_alignment(s(), ALIGN_DELAY);
    EXPECT_EQ(s().alignment_text.peek(),
              "Main delayed 2.00 ms more. Sum +3.0 dB over 20..20000 Hz, 240 points, -1.5 dB at \u00b10.2 ms. "
              "Wide band: set the strips' crossovers to bound it.");
}

TEST_F(Align, FailuresLeaveTheirTextAndNoCandidates) {
    set_traces({analytic("Main", "Position 1", 48000, speaker), analytic("Sub", "Position 1", 44100, speaker)});
    start_alignment(s(), "Sub");
    run_alignment(s(), ALIGN_DELAY);
    EXPECT_EQ(s().alignment_text.peek(), "No overlap: both traces need confident points within 10 dB of each other");
    EXPECT_EQ(s().align_session.peek()->mode, ALIGN_NO_MODE);
    EXPECT_TRUE(s().align_session.peek()->candidates.empty());
    EXPECT_FALSE(s().alignment.peek());

    struct Case {
        std::uint8_t mode;
        std::string text;
    };
    set_traces({analytic("Main", "Position 1", 48000, speaker), analytic("Sub", "Position 2", 48000, speaker)});
    const Case cases[] = {
        {ALIGN_LEVEL, "Need Main and Sub measured at this position"},
        {ALIGN_DELAY_ALL, "Need Main and Sub measured at this position"},
        {ALIGN_CROSSOVER, "Switch on the HP of the upper source and the LP of the lower one, with the filter types you want"},
    };
    for (const auto& c : cases) {
        run_alignment(s(), c.mode);
        EXPECT_EQ(s().alignment_text.peek(), c.text);
    }
    set_traces({analytic("Main", "Position 1", 48000, speaker), analytic("Sub", "Position 1", 48000, speaker)});
    run_alignment(s(), ALIGN_DELAY_ALL);
    EXPECT_EQ(s().alignment_text.peek(), "Need Main and Sub captured at two or more positions");
    // A project of one source: no reference, and no strip without a name appears.
    s().sources.set({"Sub"});
    start_alignment(s(), "Sub");
    EXPECT_EQ(s().align_session.peek()->reference, "");
    run_alignment(s(), ALIGN_DELAY);
    EXPECT_EQ(s().alignment_text.peek(), "Need  and Sub measured at this position");
    for (const auto& x : s().design.peek().sources) EXPECT_NE(x.name, "");
    // Without a session a mode does nothing.
    revert_alignment(s());
    s().alignment_text.set("kept");
    run_alignment(s(), ALIGN_LEVEL);
    EXPECT_EQ(s().alignment_text.peek(), "kept");
}

TEST_F(Align, LevelAndAllPositionsModes) {
    set_traces({analytic("Main", "Position 1", 48000, speaker),
                analytic("Sub", "Position 1", 48000, [](float f) { return delayed(f, 0.001f) * 1.4125375f; }),
                analytic("Main", "Position 2", 48000, speaker),
                analytic("Sub", "Position 2", 48000, [](float f) { return delayed(f, 0.001f); })});
    start_alignment(s(), "Sub");
    run_alignment(s(), ALIGN_LEVEL);
    EXPECT_EQ(s().alignment_text.peek(),
              "Sub was +3.0 dB against Main over 20..20000 Hz. Wide band: set the strips' crossovers to bound it.");
    EXPECT_NEAR(strip("Sub").gain_db, -3.0f, 1e-3f);
    run_alignment(s(), ALIGN_DELAY_ALL);
    EXPECT_FLOAT_EQ(strip("Sub").gain_db, 0.0f);  // the Level candidate was undone
    EXPECT_EQ(s().alignment_text.peek(),
              "Main delayed 1.00 ms more. Against each seat's own best: Position 1 0.0 dB, Position 2 0.0 dB");
    EXPECT_FALSE(s().alignment.peek());
}

TEST_F(Align, CandidateSequencesOnTheStrips) {
    edit("Main", [](Source& x) { x.delay_ms = 1.0f; });
    edit("Sub", [](Source& x) { x.delay_ms = 2.0f; });
    offer({AlignCandidate{AlignCandidate::Delay{false, -1.5f}}, AlignCandidate{AlignCandidate::Delay{false, 0.5f}},
           AlignCandidate{AlignCandidate::Delay{true, 0.0f}}});
    pick_candidate(s(), 0);
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 2.5f);
    EXPECT_FLOAT_EQ(strip("Sub").delay_ms, 2.0f);
    pick_candidate(s(), 1);
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 1.0f);
    EXPECT_FLOAT_EQ(strip("Sub").delay_ms, 2.5f);
    EXPECT_EQ(s().align_session.peek()->picked, 1u);
    pick_candidate(s(), 2);
    pick_candidate(s(), 2);
    EXPECT_TRUE(strip("Sub").invert);  // once, not twice
    EXPECT_FLOAT_EQ(strip("Sub").delay_ms, 2.0f);
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_FALSE(autosaves.empty());
}

TEST_F(Align, CancelRestoresOnlyWhatTheCandidatesWrote) {
    edit("Main", [](Source& x) { x.lp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 900.0f}; });
    edit("Sub", [](Source& x) { x.hp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 1100.0f}; });
    edit("Fill", [](Source& x) { x.gain_db = -2.0f; });
    const Design before = s().design.peek();
    offer({AlignCandidate{AlignCandidate::Crossover{true, true, 1200.0f, 1300.0f, -0.5f, 0.4f}},
           AlignCandidate{AlignCandidate::Level{-3.0f, 100.0f, 2000.0f}}});
    pick_candidate(s(), 0);
    EXPECT_FLOAT_EQ(strip("Sub").hp.hz, 1200.0f);
    EXPECT_FLOAT_EQ(strip("Main").lp.hz, 1300.0f);
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 0.5f);
    EXPECT_TRUE(strip("Sub").invert);
    // Another candidate undoes the corners too.
    pick_candidate(s(), 1);
    EXPECT_FLOAT_EQ(strip("Sub").hp.hz, 1100.0f);
    EXPECT_FLOAT_EQ(strip("Main").lp.hz, 900.0f);
    EXPECT_FLOAT_EQ(strip("Sub").gain_db, -3.0f);
    pick_candidate(s(), 0);
    // An edit on a strip outside the session meanwhile.
    edit("Fill", [](Source& x) { x.gain_db = 4.5f; });
    revert_alignment(s());
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_EQ(strip("Main"), before.sources[0]);
    EXPECT_EQ(strip("Sub"), before.sources[1]);
    EXPECT_FLOAT_EQ(strip("Fill").gain_db, 4.5f);
    EXPECT_EQ(s().alignment_text.peek(), "");
}

TEST_F(Align, AcceptResetAndLeavingTheTab) {
    edit("Sub", [](Source& x) { x.gain_db = 1.0f; });
    const Design before = s().design.peek();
    s().unsaved.set(false);
    start_alignment(s(), "Sub");
    EXPECT_EQ(s().align_session.peek()->reference, "Main");
    accept_alignment(s());
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_EQ(s().design.peek(), before);
    EXPECT_FALSE(s().unsaved.peek());

    // Reset to the same position keeps the session; another position reverts it.
    offer({AlignCandidate{AlignCandidate::Level{2.0f, 100.0f, 2000.0f}}});
    pick_candidate(s(), 0);
    s().notice.set("kept");
    reset_alignment(s(), s().position.peek());
    EXPECT_TRUE(s().align_session.peek());
    EXPECT_EQ(s().notice.peek(), "kept");
    s().viewed_trace.set(0);
    s().notice.set("Wing bus 1: ok");
    reset_alignment(s(), "Balcony");
    EXPECT_EQ(s().notice.peek(), "");
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_FLOAT_EQ(strip("Sub").gain_db, 1.0f);
    EXPECT_EQ(s().position.peek(), "Balcony");
    EXPECT_FALSE(s().viewed_trace.peek());

    // refresh_positions: the current position when it still has traces, else the preferred one.
    set_traces({make_trace("a", "Main", "Stage")});
    offer({AlignCandidate{AlignCandidate::Level{2.0f, 100.0f, 2000.0f}}});
    refresh_positions(s(), std::string("Stage"));
    EXPECT_EQ(s().position.peek(), "Stage");
    EXPECT_FALSE(s().align_session.peek());

    // Leaving the Align tab with a session open reverts it.
    static WindowState* state = nullptr;
    state = &s();
    root.mount(reactive::component(+[]() -> reactive::Element {
        leave_align_tab(*state);
        return reactive::div();
    }));
    settle();
    offer({AlignCandidate{AlignCandidate::Level{2.0f, 100.0f, 2000.0f}}});
    pick_candidate(s(), 0);
    settle();
    EXPECT_TRUE(s().align_session.peek());
    s().right_tab.set(2);
    settle();
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_FLOAT_EQ(strip("Sub").gain_db, 1.0f);
}

// A project opened or started while an alignment is open ends it: nothing of
// the old project's strips may reach a same-named strip of the new one, by
// Escape, by leaving the Align tab or by choosing a position.
TEST_F(Align, ANewProjectEndsTheAlignmentWithoutWritingTheOldStrips) {
    static WindowState* state = nullptr;
    state = &s();
    root.mount(reactive::component(+[]() -> reactive::Element {
        leave_align_tab(*state);
        return reactive::div();
    }));
    const std::function<void()> ends[] = {
        [&] { on_key_event(s(), nlohmann::json{{"type", "keydown"}, {"code", "Escape"}, {"ctrl", false}, {"shift", false},
                                              {"alt", false}, {"meta", false}, {"typing", false}}); },
        [&] { s().right_tab.set(0); },
        [&] { reset_alignment(s(), "Balcony"); },
        [&] { revert_alignment(s()); },
    };
    for (std::size_t i = 0; i < std::size(ends); ++i) {
        s().right_tab.set(1);
        settle();
        edit("Sub", [](Source& x) {
            x.gain_db = 1.0f;
            x.delay_ms = 2.0f;
            x.invert = false;
        });
        offer({AlignCandidate{AlignCandidate::Delay{true, 1.5f}}, AlignCandidate{AlignCandidate::Level{-4.0f, 100.0f, 2000.0f}}});
        pick_candidate(s(), 0);
        ASSERT_TRUE(strip("Sub").invert);

        // The new project has a strip of the same name with other values.
        Session next;
        next.sources = {"Main", "Sub"};
        next.design.sources = {Source::make("Main"), Source::make("Sub")};
        next.design.sources[1].gain_db = -6.0f;
        next.design.sources[1].delay_ms = 7.0f;
        next.design.sources[1].invert = false;
        next.setup = setup_of(s().settings.peek());
        apply_session(s(), next, std::nullopt);
        settle();
        EXPECT_FALSE(s().align_session.peek()) << i;
        const Design opened = s().design.peek();

        ends[i]();
        settle();
        EXPECT_EQ(s().design.peek(), opened) << i;
        EXPECT_FLOAT_EQ(strip("Sub").gain_db, -6.0f) << i;
        EXPECT_FLOAT_EQ(strip("Sub").delay_ms, 7.0f) << i;
        EXPECT_FALSE(strip("Sub").invert) << i;
        EXPECT_FALSE(s().unsaved.peek()) << i;
        s().sources.set({"Main", "Sub", "Fill"});
    }
}

TEST_F(Align, SecondCrossoverPressGivesTheSameCandidates) {
    // Two sources that cross near 1 kHz, measured at two positions.
    const auto lowpassed = [](float f) { return speaker(f) / (1.0f + Complex(0.0f, f / 3000.0f)); };
    set_traces({analytic("Main", "Position 1", 48000, lowpassed), analytic("Sub", "Position 1", 48000, speaker),
                analytic("Main", "Position 2", 48000, lowpassed),
                analytic("Sub", "Position 2", 48000, [](float f) { return delayed(f, 0.0002f); })});
    edit("Main", [](Source& x) { x.lp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 700.0f}; });
    edit("Sub", [](Source& x) { x.hp = {true, engine::design::FilterKind::LinkwitzRiley, 24, 1400.0f}; });
    const Design before = s().design.peek();
    start_alignment(s(), "Sub");
    run_alignment(s(), ALIGN_CROSSOVER);
    const auto first = s().align_session.peek()->candidates;
    ASSERT_FALSE(first.empty()) << s().alignment_text.peek();
    const auto& x = std::get<AlignCandidate::Crossover>(first[0].kind);
    EXPECT_TRUE(x.aligned_upper);
    // The first candidate moves the corners, so a second run starting from
    // them would search another grid.
    EXPECT_FALSE(x.hp_hz == 1400.0f && x.lp_hz == 700.0f);
    EXPECT_EQ(strip("Sub").hp.hz, x.hp_hz);
    EXPECT_EQ(strip("Main").lp.hz, x.lp_hz);
    EXPECT_EQ(s().alignment_text.peek().rfind("Flattest of ", 0), 0u);
    EXPECT_NE(s().alignment_text.peek().find(" corner pairs 495..1980 Hz, each aligned on its own: ripple "),
              std::string::npos)
        << s().alignment_text.peek();
    run_alignment(s(), ALIGN_CROSSOVER);
    EXPECT_EQ(s().align_session.peek()->candidates, first);
    revert_alignment(s());
    EXPECT_EQ(s().design.peek(), before);
}

TEST_F(Align, ChangingTheReference) {
    set_traces({analytic("Main", "Position 1", 48000, speaker),
                analytic("Sub", "Position 1", 48000, [](float f) { return delayed(f, 0.002f); }),
                analytic("Fill", "Position 1", 48000, [](float f) { return delayed(f, 0.003f); })});
    start_alignment(s(), "Sub");
    change_reference(s(), "Fill", "Fill");  // before any run: only the reference changes
    EXPECT_EQ(s().align_session.peek()->reference, "Fill");
    EXPECT_EQ(s().align_session.peek()->mode, ALIGN_NO_MODE);
    change_reference(s(), "Main", "Main");
    run_alignment(s(), ALIGN_DELAY);
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 2.0f);
    change_reference(s(), "Fill", "Fill");
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 0.0f);  // undone
    EXPECT_EQ(s().align_session.peek()->mode, ALIGN_DELAY);
    EXPECT_FLOAT_EQ(strip("Sub").delay_ms, 1.0f);  // Sub is 1 ms earlier than Fill
}

TEST(AlignTexts, AppliedLinesLabelsAndNotes) {
    AlignSession ses;
    ses.aligned = "Sub";
    ses.reference = "Main L";
    auto line = [&](const AlignCandidate& c) {
        ses.candidates = {c};
        ses.picked = 0;
        std::string out;
        for (const auto& p : applied_line(ses)) out += p.bold ? "<b>" + p.text + "</b>" : p.text;
        return std::pair(out, candidate_label(ses, c));
    };
    struct Case {
        AlignCandidate c;
        std::string line;
        std::string label;
    };
    const Case cases[] = {
        {{AlignCandidate::Level{-3.04f, 62.5f, 1999.5f}}, "Gain of Sub: <b>-3.0 dB</b> to match Main L over 62..2000 Hz",
         "Sub -3.0 dB"},
        {{AlignCandidate::Delay{false, 1.234f}}, "Delay of Sub: <b>+1.23 ms</b>", "Sub 1.23 ms"},
        {{AlignCandidate::Delay{true, -2.0f}}, "Delay of Main L: <b>+2.00 ms</b>, polarity of Sub <b>flipped</b>",
         "Main L 2.00 ms inv"},
        {{AlignCandidate::Crossover{false, true, 1122.0f, 891.0f, 0.25f, 0.84f}},
         "HP of Sub: <b>1122 Hz</b>, LP of Main L: <b>891 Hz</b>, delay of Sub: <b>+0.25 ms</b>, ripple 0.8 dB",
         "HP 1122 / LP 891, 0.8 dB"},
        {{AlignCandidate::Crossover{true, false, 100.0f, 80.0f, -1.5f, 1.25f}},
         "HP of Main L: <b>100 Hz</b>, LP of Sub: <b>80 Hz</b>, delay of Main L: <b>+1.50 ms</b>, polarity of Sub "
         "<b>flipped</b>, ripple 1.2 dB",
         "HP 100 / LP 80, 1.2 dB"},
    };
    for (const auto& c : cases) EXPECT_EQ(line(c.c), std::pair(c.line, c.label));
    ses.candidates.clear();
    EXPECT_EQ(applied_line(ses), std::vector<TextPiece>{{"Nothing applied yet; Predicted shows the strips as they are"}});

    engine::align::Alignment al{.band_points = 57, .delay_ms = -0.4f, .sum_db = 2.46f, .drop_db = -1.25f,
                                .drop_ms = 0.1f, .lo_hz = 100.5f, .hi_hz = 400.0f, .invert = true, .at_limit = true};
    al.others = {{3.0f, false}};
    EXPECT_EQ(delay_note(al, "Main L", "Sub"),
              "Main L delayed 0.40 ms more, Sub flipped. Sum +2.5 dB over 101..400 Hz, 57 points, -1.2 dB at \u00b10.1 "
              "ms. Hit the search limit, do not trust this. Other delays sum the same, pick by geometry.");
    EXPECT_EQ(level_note("Sub", 3.0f, "Main L", 100.0f, 400.0f), "Sub was +3.0 dB against Main L over 100..400 Hz.");
    EXPECT_EQ(level_note("Sub", -0.26f, "Main L", 100.0f, 400.5f),
              "Sub was -0.3 dB against Main L over 100..401 Hz. Wide band: set the strips' crossovers to bound it.");
    engine::align::MultiAlignment m{.seats = {{"Row 1", -0.04f}, {"Balcony", -1.26f}}, .delay_ms = 1.5f, .invert = false};
    EXPECT_EQ(multi_note(m, "Main L", "Sub"),
              "Sub delayed 1.50 ms more. Against each seat's own best: Row 1 -0.0 dB, Balcony -1.3 dB");
    const std::vector<engine::align::CrossoverFit> fits{{1000.0f, 1000.0f, 0.1f, 0.62f, false},
                                                        {1122.0f, 891.0f, 0.1f, 0.7f, false},
                                                        {500.0f, 2000.0f, 0.2f, 3.14f, false}};
    EXPECT_EQ(crossover_note(fits, engine::align::CrossoverFit{1000.0f, 1000.0f, 0.1f, 0.8f, false}, 2, 1000.0f, 1000.0f),
              "Flattest of 3 corner pairs 500..2000 Hz, each aligned on its own: ripple 0.6 dB, every seat (2) about its "
              "own tilt over that band. HP 1000 / LP 1000 as they were: 0.8 dB, as good: the corners hardly matter here, "
              "choose by what the boxes can take. Worst pair 3.1 dB.");
    EXPECT_EQ(crossover_note(fits, std::nullopt, 1, 1000.0f, 1000.0f),
              "Flattest of 3 corner pairs 500..2000 Hz, each aligned on its own: ripple 0.6 dB, every seat (1) about its "
              "own tilt over that band. HP 1000 / LP 1000 as they were: no overlap. Worst pair 3.1 dB.");
    // The shortlist: a fit within 0.2 octave in both corners of an earlier one is left out.
    EXPECT_EQ(shortlist(fits), (std::vector<engine::align::CrossoverFit>{fits[0], fits[2]}));
}

// The Align tab as the page gets it, and its buttons.
class AlignTab : public Align {
protected:
    reactive::dom::Document doc;
    reactive::Root page{loop, [this](reactive::EditBatch b) { EXPECT_TRUE(doc.apply(b)); }};
    static inline WindowState* state = nullptr;

    static reactive::Element tab_root() {
        reactive::provide_context(*state);
        reactive::provide_context(state->tooltip);
        reactive::provide_context(state->open_dropdown);
        return reactive::component(align_tab, "align_tab");
    }
    void mount() {
        state = &s();
        page.mount(reactive::component(tab_root, "tab_root"));
        settle();
        page.flush();
    }
    std::string html() {
        settle();
        page.flush();
        return doc.html();
    }
    // The first button whose text is `label`.
    const reactive::dom::Node* button(const std::string& label, const reactive::dom::Node* n = nullptr) {
        if (!n) n = &doc.root();
        if (n->tag == "button" && doc.html_of(*n).find(">" + label + "<") != std::string::npos) return n;
        for (auto* c : n->children)
            if (auto* f = button(label, c)) return f;
        return nullptr;
    }
    void click(const std::string& label) {
        html();
        const auto* b = button(label);
        ASSERT_TRUE(b) << label << " in " << doc.html();
        page.handle_event(b->id, "click", nlohmann::json::object());
        settle();
        page.flush();
    }
};

TEST_F(AlignTab, PanelReplacesTheAlignedStripAndItsButtonsWork) {
    mount();
    // What the tab holds, in order: a strip card by its name, or the panel.
    const auto blocks = [&] {
        const std::string h = html();
        std::vector<std::string> out;
        for (std::size_t i = 0; (i = h.find("<div class=\"vt-", i)) != std::string::npos; ++i) {
            if (h.compare(i, 23, "<div class=\"vt-card\"><d") == 0) {
                const auto n = h.find("<span class=\"name\">", i) + 19;
                out.push_back(h.substr(n, h.find('<', n) - n));
            } else if (h.compare(i, 22, "<div class=\"vt-align\">") == 0) {
                out.push_back("panel");
            }
        }
        return out;
    };
    EXPECT_EQ(blocks(), (std::vector<std::string>{"Main", "Sub", "Fill"}));
    edit("Main", [](Source& x) { x.delay_ms = 1.0f; });
    offer({AlignCandidate{AlignCandidate::Delay{false, -1.5f}}, AlignCandidate{AlignCandidate::Delay{true, 0.5f}}});
    std::string h = html();
    EXPECT_NE(h.find("<div class=\"alert-title\">Align Sub</div>"), std::string::npos) << h;
    EXPECT_NE(h.find("<div class=\"label\">to</div>"), std::string::npos);
    EXPECT_NE(h.find("<div class=\"result\">Delay of Main: <b>+1.50 ms</b></div>"), std::string::npos);
    EXPECT_NE(h.find("These delays sum within 0.5 dB of each other; pick by geometry, Predicted shows the chosen one"),
              std::string::npos);
    // Main's and Fill's cards stay, Sub's card is replaced.
    EXPECT_EQ(blocks(), (std::vector<std::string>{"Main", "panel", "Fill"}));

    click("Sub 0.50 ms inv");
    EXPECT_EQ(s().align_session.peek()->picked, 1u);
    EXPECT_TRUE(strip("Sub").invert);
    h = html();
    EXPECT_NE(h.find("Delay of Sub: <b>+0.50 ms</b>, polarity of Sub <b>flipped</b>"), std::string::npos) << h;
    click("Main 1.50 ms");
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 2.5f);
    EXPECT_FALSE(strip("Sub").invert);
    click("Cancel");
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_FLOAT_EQ(strip("Main").delay_ms, 1.0f);

    // A failed run's text shows under the panel; Accept keeps the strips.
    start_alignment(s(), "Sub");
    click("Level");
    EXPECT_NE(html().find("<div class=\"vt-align-message\">Need Main and Sub measured at this position</div>"),
              std::string::npos);
    click("Accept");
    EXPECT_FALSE(s().align_session.peek());
    EXPECT_EQ(html().find("vt-align\""), std::string::npos);
}

}  // namespace
}  // namespace ui::main_window::testing
