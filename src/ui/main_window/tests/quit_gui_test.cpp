// The program under Xvfb with unsaved changes: Ctrl+Q asks "Unsaved
// Changes"; Cancel keeps it running, Don't Save ends it with status 0 and
// removes the autosave.
#include <gdk/gdk.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/persist/trace_file.h"
#include "shell/tests/launch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using launch::output_of;
using launch::screenshot;

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    return launch::wait_for(done, limit);
}

// The exit status once the process has ended, nothing while it runs.
std::optional<int> ended(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Quit, CtrlQWithUnsavedChangesAsksAndCancelKeepsRunning) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    const auto home = test_support::scratch("quit_gui", "home");
    const fs::path data = home / api::client::bundle_id("veltrum");
    fs::create_directories(data);
    // Unsaved work at start: an older session file is imported, which marks
    // the project unsaved and autosaves it.
    engine::trace::Session legacy;
    legacy.sources = {"Stage Left"};
    ASSERT_TRUE(api::client::write_atomic(data / "session.ron", *legacy.encode()));
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home.string()}, {"GSETTINGS_BACKEND", "memory"}};

    auto app = launch::start_and_wait_mapped(VELTRUM_EXE, env, 30s);
    ASSERT_TRUE(app) << "no window";
    struct Stop {
        pid_t pid;
        bool done = false;
        ~Stop() {
            if (!done) launch::stop(pid);
        }
    } stop{app->pid};
    ASSERT_TRUE(wait_for([&] { return fs::exists(data / "autosave.vtproject"); }));
    ASSERT_TRUE(wait_for([&] { return output_of(fmt::format("xdotool getwindowname {}", app->window)) == "Veltrum - Untitled*"; }, 10s));
    std::this_thread::sleep_for(500ms);
    const fs::path shots(VELTRUM_ARTIFACT_DIR);
    fs::create_directories(shots);

    // Xvfb has no window manager: the window is focused directly.
    output_of(fmt::format("xdotool windowfocus --sync {} key ctrl+q", app->window));
    std::this_thread::sleep_for(1500ms);  // the question is drawn
    EXPECT_TRUE(screenshot(shots / "quit-unsaved-changes.png"));
    EXPECT_FALSE(ended(app->pid)) << "quit without asking";
    // Escape answers the question with Cancel.
    output_of(fmt::format("xdotool windowfocus --sync {} key Escape", app->window));
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(ended(app->pid)) << "Cancel quit the program";
    EXPECT_EQ(output_of(fmt::format("xdotool getwindowname {}", app->window)), "Veltrum - Untitled*");
    EXPECT_TRUE(fs::exists(data / "autosave.vtproject"));
    EXPECT_TRUE(screenshot(shots / "quit-cancelled.png"));

    // Asked again, "Don't Save" ends it and drops the autosave.
    output_of(fmt::format("xdotool windowfocus --sync {} key ctrl+q", app->window));
    std::this_thread::sleep_for(1500ms);
    // Tab reaches "Cancel", then "Don't Save"; the keypad's Enter presses the
    // focused button (Return is the question's primary action, Save).
    output_of(fmt::format("xdotool windowfocus --sync {} key --delay 150 Tab Tab KP_Enter", app->window));
    std::optional<int> status;
    ASSERT_TRUE(wait_for([&] { return (status = ended(app->pid)).has_value(); }, 15s)) << "Don't Save did not quit";
    stop.done = true;
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(fs::exists(data / "autosave.vtproject"));
}

}  // namespace
