#include <gtest/gtest.h>

#include <cmath>

#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using testing::make_trace;
using Project = testing::Window;

TEST(SaveAsExtension, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"/d/mix.txt", "/d/mix.txt.vtproject"},
        {"/d/mix", "/d/mix.vtproject"},
        {"/d/MIX.VTPROJECT", "/d/MIX.VTPROJECT"},
        {"/d/Mix.VtProject", "/d/Mix.VtProject"},
        {"/d/.vtproject", "/d/.vtproject.vtproject"},
        {"/d/a.b.vtproject", "/d/a.b.vtproject"},
        {"/d/x.vtprojects", "/d/x.vtprojects.vtproject"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(with_project_extension(Path(in)).string(), out) << in;
}

TEST_F(Project, SaveAsWritesWithTheExtensionAndClearsTheMark) {
    s().sources.set({"Main"});
    s().unsaved.set(true);
    panel_answers->push_back(home_ / "show.txt");
    std::optional<bool> saved;
    reactive::spawn([](WindowState st, std::optional<bool>& out) -> reactive::Task<void> {
        auto saving = save_project_as(st);
        out = co_await std::move(saving);
    }(s(), saved));
    loop.advance(DIALOG_PAUSE);
    ASSERT_TRUE(drive([&] { return saved.has_value(); }));
    EXPECT_TRUE(*saved);
    ASSERT_EQ(panels->size(), 1u);
    EXPECT_EQ((*panels)[0].title, "Save Project");
    EXPECT_EQ((*panels)[0].suggested_name, "Untitled.vtproject");
    EXPECT_EQ((*panels)[0].filter_name, "Veltrum Project");
    EXPECT_EQ((*panels)[0].extensions, std::vector<std::string>{"vtproject"});
    const Path file = home_ / "show.txt.vtproject";
    EXPECT_EQ(s().project_path.peek(), file);
    EXPECT_FALSE(s().unsaved.peek());
    EXPECT_EQ(autosave_removals, 1);
    EXPECT_EQ(s().settings.peek().last_project, file);
    auto back = Session::try_read(file);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back->sources, std::vector<std::string>{"Main"});
}

TEST_F(Project, SaveFailureShowsTheMessageAndKeepsTheMark) {
    s().unsaved.set(true);
    EXPECT_FALSE(save_project(s(), home_ / "missing" / "x.vtproject"));
    ASSERT_TRUE(s().dialog.peek());
    const auto& m = std::get<Dialog::Message>(s().dialog.peek()->kind);
    EXPECT_EQ(m.title, "Save failed");
    EXPECT_NE(m.html.find("x.vtproject: No such file or directory"), std::string::npos) << m.html;
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_EQ(autosave_removals, 0);
}

TEST_F(Project, ApplySessionRules) {
    struct Case {
        float cycles;
        float clamped;
    };
    for (const Case c : {Case{NAN, 0.0f}, Case{50.0f, 34.0f}, Case{-3.0f, 0.0f}, Case{12.5f, 12.5f}}) {
        Session in;
        in.setup.cycles = c.cycles;
        apply_session(s(), in, std::nullopt);
        EXPECT_EQ(s().saved_setup.peek().cycles, c.clamped) << c.cycles;
        EXPECT_EQ(s().settings.peek().cycles, c.clamped);
    }

    // Sources: a listed name without a strip gets one with the six default
    // bands; strips not listed go.
    Session in;
    in.sources = {"Main", "Sub"};
    in.design.sources = {engine::design::Source::make("Gone"), engine::design::Source::make("Sub")};
    in.design.sources[1].bands.clear();
    in.design.sources[1].gain_db = -3.0f;
    in.traces = {make_trace("t1", "Main", "A"), make_trace("t2", "Main", "A"), make_trace("t3", "Sub", "B")};
    in.position = "Nowhere";
    apply_session(s(), in, std::nullopt);
    const auto& design = s().design.peek();
    ASSERT_EQ(design.sources.size(), 2u);
    EXPECT_EQ(design.sources[0].name, "Main");
    EXPECT_EQ(design.sources[1].name, "Sub");
    EXPECT_EQ(design.sources[1].gain_db, -3.0f);
    const float hz[] = {65.9f, 178.9f, 485.6f, 1318.0f, 3577.7f, 9711.4f};
    ASSERT_EQ(design.sources[1].bands.size(), 6u);
    for (int j = 0; j < 6; ++j) {
        const auto& b = design.sources[1].bands[j];
        EXPECT_NEAR(b.hz, hz[j], 0.06f);
        EXPECT_EQ(b.gain_db, 0.0f);
        EXPECT_EQ(b.q, 2.0f);
        EXPECT_FALSE(b.on);
        EXPECT_EQ(b.kind, engine::eqfit::BandKind::Peak);
    }
    // Duplicate ticks: only the first stays ticked.
    EXPECT_TRUE(s().traces.peek()[0].used);
    EXPECT_FALSE(s().traces.peek()[1].used);
    // Position: the last trace's when the stored one matches no trace.
    EXPECT_EQ(s().position.peek(), "B");
    EXPECT_FALSE(s().unsaved.peek());
    EXPECT_FALSE(s().settings.peek().last_project);

    struct Pos {
        std::string stored;
        std::vector<std::string> traces;
        std::string chosen;
    };
    const Pos positions[] = {{"A", {"A", "B"}, "A"}, {"", {"A", "B"}, "B"}, {"X", {}, "Position 1"}, {"", {}, "Position 1"}};
    for (const auto& p : positions) {
        Session x;
        x.position = p.stored;
        for (const auto& t : p.traces) x.traces.push_back(make_trace("t", "", t));
        apply_session(s(), x, std::nullopt);
        EXPECT_EQ(s().position.peek(), p.chosen) << p.stored;
    }
}

TEST_F(Project, ApplyRestartsTheMeasurementOnlyWhenTheSetupDiffers) {
    int restarts = 0;
    s().restart_worker = [&] { ++restarts; };
    Session same;
    same.setup = setup_of(s().settings.peek());
    apply_session(s(), same, std::nullopt);
    EXPECT_EQ(restarts, 0);
    Session other = same;
    other.setup.average_secs = 5.0f;
    apply_session(s(), other, std::nullopt);
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(s().settings.peek().average_secs, 5.0f);
    EXPECT_EQ(s().saved_setup.peek().average_secs, 5.0f);
}

TEST_F(Project, MissingCalibrationFileIsReported) {
    Session in;
    in.setup = setup_of(s().settings.peek());
    in.setup.mic_cal_path = (home_ / "gone.cal").string();
    apply_session(s(), in, std::nullopt);
    ASSERT_TRUE(s().dialog.peek());
    const auto& m = std::get<Dialog::Message>(s().dialog.peek()->kind);
    EXPECT_EQ(m.title, "Mic calibration missing");
    EXPECT_EQ(s().settings.peek().mic_cal_path, in.setup.mic_cal_path);
}

TEST_F(Project, ConfirmUnsavedDoesNotAskTwice) {
    s().unsaved.set(true);
    std::optional<bool> first, second;
    auto run = [](WindowState st, std::optional<bool>& out) -> reactive::Task<void> {
        auto confirming = confirm_unsaved(st);
        out = co_await std::move(confirming);
    };
    reactive::spawn(run(s(), first));
    ASSERT_TRUE(s().dialog.peek());
    EXPECT_EQ(std::get<Dialog::UnsavedChanges>(s().dialog.peek()->kind).project, "Untitled");
    reactive::spawn(run(s(), second));
    settle();
    ASSERT_TRUE(second);
    EXPECT_FALSE(*second);  // the question is already open: the second command stops
    EXPECT_FALSE(first);    // the first still waits
    answer_dialog(s(), Answer::Decline);
    ASSERT_TRUE(drive([&] { return first.has_value(); }));
    EXPECT_TRUE(*first);
    EXPECT_EQ(autosave_removals, 1);
    EXPECT_FALSE(s().confirming_unsaved.peek());
    EXPECT_TRUE(s().unsaved.peek());  // Don't Save leaves the mark for the caller
}

TEST_F(Project, ConfirmUnsavedSaveCancelledStops) {
    s().unsaved.set(true);
    std::optional<bool> result;
    reactive::spawn([](WindowState st, std::optional<bool>& out) -> reactive::Task<void> {
        auto confirming = confirm_unsaved(st);
        out = co_await std::move(confirming);
    }(s(), result));
    dialog_action(s());  // Enter: Save, no path yet -> the save panel, cancelled
    loop.advance(DIALOG_PAUSE);
    ASSERT_TRUE(drive([&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
    EXPECT_EQ(panels->size(), 1u);
    EXPECT_TRUE(s().unsaved.peek());
}

TEST_F(Project, OpenReadsOnThePoolAndReportsFailures) {
    Session saved;
    saved.sources = {"Main"};
    saved.traces = {make_trace("t", "Main", "Row 3")};
    saved.position = "Row 3";
    saved.setup = setup_of(s().settings.peek());
    const Path file = home_ / "a.vtproject";
    ASSERT_TRUE(api::client::write_atomic(file, *saved.encode()));

    reactive::spawn(open_project(s(), file));
    ASSERT_TRUE(drive([&] { return s().project_path.peek() == file; }));
    EXPECT_EQ(s().position.peek(), "Row 3");
    EXPECT_EQ(s().settings.peek().recent_projects.front(), file);

    test_support::spit(home_ / "bad.vtproject", "not a project");
    reactive::spawn(open_project(s(), home_ / "bad.vtproject"));
    ASSERT_TRUE(drive([&] { return s().dialog.peek().has_value(); }));
    const auto& m = std::get<Dialog::Message>(s().dialog.peek()->kind);
    EXPECT_EQ(m.title, "Open failed");
    EXPECT_EQ(m.html, "<p>Could not read " + (home_ / "bad.vtproject").string() + "</p>");
    EXPECT_EQ(s().project_path.peek(), file);  // the current project stays
}

TEST_F(Project, NewKeepsTheSetupAndClearsTheLastProject) {
    engine::settings::SettingsStoreImplExt::add_recent_project(s().settings, home_ / "x.vtproject");
    engine::settings::SettingsStoreImplExt::update(s().settings, [](Settings& st) { st.average_secs = 7.0f; });
    s().sources.set({"Main"});
    reactive::spawn(new_project(s()));
    settle();
    EXPECT_TRUE(s().sources.peek().empty());
    EXPECT_FALSE(s().project_path.peek());
    EXPECT_FALSE(s().settings.peek().last_project);
    EXPECT_EQ(s().settings.peek().average_secs, 7.0f);
}

TEST_F(Project, TraceToggles) {
    s().traces.set({make_trace("a", "S", "P"), make_trace("b", "S", "P"), make_trace("c", "S", "Q")});
    s().traces.update([](auto& t) { t[1].used = false; });
    toggle_trace_used(s(), 1);  // ticking b unticks a
    EXPECT_FALSE(s().traces.peek()[0].used);
    EXPECT_TRUE(s().traces.peek()[1].used);
    EXPECT_TRUE(s().traces.peek()[2].used);
    toggle_trace_used(s(), 1);  // unticking leaves none at P
    EXPECT_FALSE(s().traces.peek()[1].used);
    EXPECT_FALSE(s().traces.peek()[0].used);
    EXPECT_EQ(autosaves.size(), 2u);

    s().viewed_trace.set(2);
    toggle_trace_visible(s(), 2);
    EXPECT_FALSE(s().traces.peek()[2].visible);
    EXPECT_FALSE(s().viewed_trace.peek());
    toggle_trace_visible(s(), 9);  // past the end: nothing
    EXPECT_EQ(autosaves.size(), 3u);
    EXPECT_TRUE(s().unsaved.peek());
}

TEST_F(Project, TenWheelStepsGiveOneAutosaveAfterTheLast) {
    for (int i = 0; i < 10; ++i) {
        s().wheel_generation.set(s().wheel_generation.peek() + 1);
        s().unsaved.set(true);
        reactive::spawn(autosave_after_wheel(s(), s().wheel_generation.peek()));
        loop.advance(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(autosaves.empty());
    loop.advance(WHEEL_SETTLE - std::chrono::milliseconds(21));
    EXPECT_TRUE(autosaves.empty());
    loop.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(autosaves.size(), 1u);
    loop.advance(std::chrono::seconds(1));
    EXPECT_EQ(autosaves.size(), 1u);
}

}  // namespace
}  // namespace ui::main_window
