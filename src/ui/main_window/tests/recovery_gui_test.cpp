// The program under Xvfb: killed with SIGKILL after an edit, started again,
// it offers "Recover Changes", and Recover brings the edit back.
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

std::vector<std::string> sources_in(const fs::path& file) {
    auto s = engine::trace::Session::try_read(file);
    return s ? s->sources : std::vector<std::string>{};
}

TEST(Recovery, KilledAfterAnEditRecoversIt) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    const auto home = test_support::scratch("recovery_gui", "home");
    const fs::path data = home / api::client::bundle_id("veltrum");
    fs::create_directories(data);
    // The edit of the first run: an older session file imported at start,
    // which marks the work unsaved and autosaves it.
    engine::trace::Session legacy;
    legacy.sources = {"Stage Left"};
    ASSERT_TRUE(api::client::write_atomic(data / "session.ron", *legacy.encode()));
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home.string()}, {"GSETTINGS_BACKEND", "memory"}};

    // However the test ends, no program it started outlives it (a program left
    // running holds the test's output open).
    std::vector<pid_t> started;
    struct StopAll {
        std::vector<pid_t>& pids;
        ~StopAll() {
            for (pid_t p : pids) launch::stop(p);
        }
    } stop_all{started};

    auto first = launch::start_and_wait_mapped(VELTRUM_EXE, env, 30s);
    ASSERT_TRUE(first) << "no window";
    started.push_back(first->pid);
    ASSERT_TRUE(wait_for([&] { return sources_in(data / "autosave.vtproject") == std::vector<std::string>{"Stage Left"}; }));
    EXPECT_TRUE(fs::exists(data / "session.ron.imported"));
    kill(first->pid, SIGKILL);
    waitpid(first->pid, nullptr, 0);
    started.clear();

    auto second = launch::start_and_wait_mapped(VELTRUM_EXE, env, 30s);
    ASSERT_TRUE(second) << "no window after the restart";
    started.push_back(second->pid);
    EXPECT_TRUE(fs::exists(data / "autosave.kept.vtproject"));
    EXPECT_FALSE(fs::exists(data / "autosave.vtproject"));
    std::this_thread::sleep_for(1500ms);  // the dialog is drawn
    const fs::path shots(VELTRUM_ARTIFACT_DIR);
    fs::create_directories(shots);
    EXPECT_TRUE(screenshot(shots / "recover-changes.png"));

    // Keyboard only (Xvfb has no window manager to activate it: focus it directly):
    // Tab to "Discard", Tab to "Recover", the keypad's Enter presses it (the
    // window-event bridge keeps the main Enter key for the window's handler).
    output_of(fmt::format("xdotool windowfocus --sync {} key --delay 150 Tab Tab KP_Enter", second->window));
    ASSERT_TRUE(wait_for([&] { return !fs::exists(data / "autosave.kept.vtproject"); }));
    ASSERT_TRUE(wait_for([&] { return sources_in(data / "autosave.vtproject") == std::vector<std::string>{"Stage Left"}; }));
    EXPECT_TRUE(wait_for([&] { return output_of(fmt::format("xdotool getwindowname {}", second->window)) == "Veltrum - Untitled*"; }, 5s));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(screenshot(shots / "recovered.png"));
}

}  // namespace
