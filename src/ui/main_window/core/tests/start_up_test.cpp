#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/core/start_up.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using testing::make_trace;
namespace fs = std::filesystem;

class StartUp : public testing::Window {
protected:
    void SetUp() override {
        Window::SetUp();
        auto_dir_ = home_ / "autosave";
        fs::create_directories(auto_dir_);
        // Recover and Discard remove the kept files of this folder.
        s().files.remove_kept_autosave = [this] {
            fs::remove(auto_dir_ / "autosave.kept.vtproject");
            fs::remove(auto_dir_ / "autosave.kept.project");
            ++kept_removals;
        };
    }

    Path project(const std::string& name, const std::string& source) {
        Session x;
        x.sources = {source};
        x.traces = {make_trace("t", source, "Row 1")};
        x.setup = setup_of(Settings{});
        const Path p = home_ / name;
        EXPECT_TRUE(api::client::write_atomic(p, *x.encode()));
        return p;
    }
    // An autosave left by a run that edited the project at `path`.
    void leave_autosave(const std::string& source, std::optional<Path> path) {
        Session x;
        x.sources = {source};
        x.setup = setup_of(Settings{});
        ASSERT_TRUE(api::client::write_atomic(auto_dir_ / "autosave.vtproject", *x.encode()));
        if (path) test_support::spit(auto_dir_ / "autosave.project", path->string());
    }
    StartInputs inputs() {
        return StartInputs{.pending = {}, .args = {"veltrum"}, .data_dir = data_, .autosave_dir = auto_dir_,
                           .order = &order_};
    }

    Path auto_dir_;
    engine::trace::AutosaveOrder order_;
};

TEST_F(StartUp, StartPathPriority) {
    const Path a = project("a.vtproject", "A"), b = project("b.vtproject", "B"), c = project("c.vtproject", "C");
    Settings with_last;
    with_last.last_project = c;
    struct Case {
        const char* what;
        std::vector<Path> pending;
        std::vector<std::string> args;
        Settings settings;
        std::optional<Path> start, requested, failed;
    };
    const Case cases[] = {
        {"queued: the last one", {a, b}, {"veltrum", c.string()}, with_last, b, b, {}},
        {"queued folder is still tried", {home_}, {"veltrum"}, with_last, {}, home_, home_},
        {"command line regular file", {}, {"veltrum", a.string()}, with_last, a, a, {}},
        {"command line folder ignored", {}, {"veltrum", home_.string()}, with_last, c, {}, {}},
        {"command line missing ignored", {}, {"veltrum", (home_ / "nope").string()}, with_last, c, {}, {}},
        {"last project", {}, {"veltrum"}, with_last, c, {}, {}},
        {"nothing", {}, {"veltrum"}, Settings{}, {}, {}, {}},
    };
    for (const auto& k : cases) {
        auto in = inputs();
        in.pending = k.pending;
        in.args = k.args;
        const Restore r = plan_start(k.settings, in);
        EXPECT_EQ(r.start_path, k.start) << k.what;
        EXPECT_EQ(r.start.has_value(), k.start.has_value()) << k.what;
        EXPECT_EQ(r.requested, k.requested) << k.what;
        EXPECT_EQ(r.failed, k.failed) << k.what;
        EXPECT_FALSE(r.legacy) << k.what;
    }
}

TEST_F(StartUp, RecoverDiscardEscape) {
    struct Case {
        Answer answer;
        bool kept_file_stays;
        std::vector<std::string> sources;
        bool unsaved;
    };
    const Case cases[] = {
        {Answer::Confirm, false, {"Edited"}, true},
        {Answer::Decline, false, {}, false},
        {Answer::Cancel, true, {}, false},
    };
    for (const auto& k : cases) {
        leave_autosave("Edited", std::nullopt);
        const Restore r = plan_start(s().settings.peek(), inputs());
        EXPECT_FALSE(fs::exists(auto_dir_ / "autosave.vtproject"));
        ASSERT_TRUE(r.kept);
        reactive::spawn(restore_at_start(s(), r));
        ASSERT_TRUE(s().dialog.peek());
        ASSERT_TRUE(s().dialog.peek()->is<Dialog::RecoverChanges>());
        answer_dialog(s(), k.answer);
        settle();
        EXPECT_EQ(fs::exists(auto_dir_ / "autosave.kept.vtproject"), k.kept_file_stays);
        EXPECT_EQ(s().sources.peek(), k.sources);
        EXPECT_EQ(s().unsaved.peek(), k.unsaved);
        fs::remove(auto_dir_ / "autosave.kept.vtproject");
        s().sources.set({});
        s().unsaved.set(false);
    }
    // Recover queued the recovered work again.
    ASSERT_FALSE(autosaves.empty());
    EXPECT_EQ(autosaves.front().session.sources, std::vector<std::string>{"Edited"});
}

TEST_F(StartUp, RecoveredAutosaveKeepsItsProject) {
    const Path a = project("a.vtproject", "A"), c = project("c.vtproject", "C");
    leave_autosave("A edited", a);
    Settings settings;
    settings.last_project = c;  // the last project changed since that run
    const Restore r = plan_start(settings, inputs());
    EXPECT_EQ(r.kept_project, a);
    reactive::spawn(restore_at_start(s(), r));
    answer_dialog(s(), Answer::Confirm);
    settle();
    EXPECT_EQ(s().project_path.peek(), a);
    EXPECT_EQ(s().sources.peek(), std::vector<std::string>{"A edited"});
    ASSERT_FALSE(autosaves.empty());
    EXPECT_EQ(autosaves.back().project, a);
    EXPECT_EQ(titles.size(), 0u);  // no title effect without a render

    // An autosave without its note is recovered as a new project.
    s().unsaved.set(false);
    leave_autosave("Untitled edit", std::nullopt);
    const Restore r2 = plan_start(settings, inputs());
    EXPECT_FALSE(r2.kept_project);
    EXPECT_FALSE(fs::exists(auto_dir_ / "autosave.kept.project"));
    reactive::spawn(restore_at_start(s(), r2));
    answer_dialog(s(), Answer::Confirm);
    settle();
    EXPECT_FALSE(s().project_path.peek());
}

TEST_F(StartUp, RecoverThenOpensTheRequestedFile) {
    const Path b = project("b.vtproject", "B");
    leave_autosave("Edited", std::nullopt);
    auto in = inputs();
    in.pending = {b};
    reactive::spawn(restore_at_start(s(), plan_start(s().settings.peek(), in)));
    answer_dialog(s(), Answer::Confirm);
    settle();
    // The open asks about the recovered, unsaved work first.
    ASSERT_TRUE(s().dialog.peek());
    ASSERT_TRUE(s().dialog.peek()->is<Dialog::UnsavedChanges>());
    answer_dialog(s(), Answer::Decline);
    ASSERT_TRUE(drive([&] { return s().project_path.peek() == b; }));
    EXPECT_EQ(s().sources.peek(), std::vector<std::string>{"B"});
}

TEST_F(StartUp, UnreadableAutosaveIsMovedAside) {
    test_support::spit(auto_dir_ / "autosave.vtproject", "garbage");
    base::log::Capture cap;
    const Restore r = plan_start(s().settings.peek(), inputs());
    EXPECT_FALSE(r.kept);
    EXPECT_FALSE(fs::exists(auto_dir_ / "autosave.kept.vtproject"));
    std::vector<std::string> bad;
    for (const auto& e : fs::directory_iterator(auto_dir_)) bad.push_back(e.path().filename().string());
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_TRUE(bad[0].starts_with("autosave.bad-") && bad[0].ends_with(".vtproject")) << bad[0];
    EXPECT_EQ(bad[0].size(), std::string("autosave.bad-20260101-120000.vtproject").size());
    EXPECT_EQ(test_support::slurp(auto_dir_ / bad[0]), "garbage");
    bool logged = false;
    for (const auto& rec : cap.records()) logged |= rec.message.starts_with("autosave: unreadable (");
    EXPECT_TRUE(logged);
}

TEST_F(StartUp, FailedStartProjectIsReportedAndAnEmptyProjectApplied) {
    Settings settings;
    settings.last_project = home_ / "gone.vtproject";
    const Restore r = plan_start(settings, inputs());
    ASSERT_EQ(r.failed, home_ / "gone.vtproject");
    s().sources.set({"Old"});
    reactive::spawn(restore_at_start(s(), r));
    settle();
    ASSERT_TRUE(s().dialog.peek());
    const auto& m = std::get<Dialog::Message>(s().dialog.peek()->kind);
    EXPECT_EQ(m.title, "Open failed");
    EXPECT_EQ(m.html, "<p>Could not read " + (home_ / "gone.vtproject").string() + "</p>");
    EXPECT_TRUE(s().sources.peek().empty());
    EXPECT_FALSE(s().settings.peek().last_project);
}

TEST_F(StartUp, LegacySessionIsImportedOnce) {
    Session legacy;
    legacy.sources = {"Old"};
    legacy.traces = {make_trace("t", "Old", "Row 1")};
    legacy.setup.average_secs = 9.0f;  // replaced by the settings' setup
    ASSERT_TRUE(api::client::write_atomic(data_ / "session.ron", *legacy.encode()));
    const Restore r = plan_start(s().settings.peek(), inputs());
    ASSERT_EQ(r.legacy, data_ / "session.ron");
    reactive::spawn(restore_at_start(s(), r));
    settle();
    EXPECT_EQ(s().sources.peek(), std::vector<std::string>{"Old"});
    EXPECT_FALSE(s().project_path.peek());
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_EQ(s().settings.peek().average_secs, Settings{}.average_secs);
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_FALSE(fs::exists(data_ / "session.ron"));
    EXPECT_TRUE(fs::exists(data_ / "session.ron.imported"));

    // An empty legacy file is not imported and keeps its name.
    ASSERT_TRUE(api::client::write_atomic(data_ / "session.ron", *Session{}.encode()));
    EXPECT_FALSE(plan_start(s().settings.peek(), inputs()).legacy);
    EXPECT_TRUE(fs::exists(data_ / "session.ron"));
}

TEST_F(StartUp, SettingsThatDoNotParseAreCopiedAside) {
    test_support::spit(data_ / "settings.ron", "(dark_mode: maybe");
    const Settings st = load_settings(data_);
    EXPECT_EQ(st, Settings{});
    EXPECT_EQ(test_support::slurp(data_ / "settings.ron.bad"), "(dark_mode: maybe");
    EXPECT_TRUE(fs::exists(data_ / "settings.ron"));

    test_support::spit(data_ / "settings.ron", "(dark_mode: false, average_secs: 1000.0)");
    const Settings ok = load_settings(data_);
    EXPECT_FALSE(ok.dark_mode);
    EXPECT_EQ(ok.average_secs, 60.0f);  // sanitised
    EXPECT_EQ(load_settings(std::nullopt), Settings{});
}

// Temporaries left by killed writers of earlier runs: removed from the data
// and autosave folders and, beside the recent projects, only those of project
// files; none while another instance holds the autosave lock.
TEST_F(StartUp, TemporariesOfEndedWritersAreRemoved) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string dead = "." + std::to_string(child) + ".tmp";
    const Path shows = home_ / "shows";
    fs::create_directories(shows);
    const Path show = project("shows/Show.vtproject", "A");
    const Path odd = shows / "Odd name";  // a listed project without the extension
    Settings settings;
    settings.recent_projects = {show, odd};
    const std::vector<Path> gone = {data_ / ("settings.ron" + dead), auto_dir_ / ("autosave.vtproject" + dead),
                                    shows / ("Show.vtproject" + dead), shows / ("Other.VTPROJECT" + dead),
                                    shows / ("Odd name" + dead)};
    const std::vector<Path> kept = {shows / ("notes.txt" + dead), shows / ("Show.vtproject." + std::to_string(getpid()) + ".tmp")};
    for (const Path& p : gone) test_support::spit(p, "x");
    for (const Path& p : kept) test_support::spit(p, "x");

    // Another instance runs: nothing is touched.
    StartInputs second = inputs();
    second.autosave_dir.reset();
    EXPECT_TRUE(remove_stale_temporaries(settings, second).empty());
    for (const Path& p : gone) EXPECT_TRUE(fs::exists(p)) << p;

    base::log::Capture cap;
    auto removed = remove_stale_temporaries(settings, inputs());
    std::sort(removed.begin(), removed.end());
    std::vector<Path> want = gone;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(removed, want);
    for (const Path& p : gone) EXPECT_FALSE(fs::exists(p)) << p;
    for (const Path& p : kept) EXPECT_TRUE(fs::exists(p)) << p;
    EXPECT_TRUE(fs::exists(show));
    EXPECT_EQ(cap.with_message("removed a temporary file of an ended process").size(), gone.size());
}

}  // namespace
}  // namespace ui::main_window
