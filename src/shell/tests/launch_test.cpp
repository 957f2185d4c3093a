// The real program under Xvfb: it shows its window with a JACK server or
// with no audio server at all (no audio is a state the window shows), writes
// its day's log file, and looks right in light and dark.
// GoogleTest before the X headers, whose macros (None, Bool) clash with it.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

#include "base/tests/support.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "shell/tests/launch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A PNG of an X window of another process.
bool screenshot(unsigned long xid, const fs::path& png) {
    GdkDisplay* d = gdk_display_get_default();
    if (!d) return false;
    GdkWindow* w = gdk_x11_window_foreign_new_for_display(d, xid);
    if (!w) return false;
    GdkPixbuf* pb = gdk_pixbuf_get_from_window(w, 0, 0, gdk_window_get_width(w), gdk_window_get_height(w));
    bool ok = pb && gdk_pixbuf_save(pb, png.c_str(), "png", nullptr, nullptr);
    if (pb) g_object_unref(pb);
    g_object_unref(w);
    return ok;
}

struct Case {
    const char* name;
    bool jack;        // with the test's JACK server
    bool dark;
};

class Launch : public ::testing::TestWithParam<Case> {};

TEST_P(Launch, ShowsItsWindowAndKeepsRunning) {
    const Case c = GetParam();
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    if (c.jack && !std::getenv("VELTRUM_TEST_JACK")) GTEST_SKIP() << "no JACK test server";

    const fs::path data = test_support::scratch("shell-launch", c.name);
    const fs::path settings_dir = data / "com.veltrum.veltrum";
    fs::create_directories(settings_dir);
    test_support::spit(settings_dir / "settings.ron", fmt::format("(dark_mode: {})\n", c.dark ? "true" : "false"));

    std::map<std::string, std::string> env = {{"XDG_DATA_HOME", data.string()}, {"ASAN_OPTIONS", "detect_leaks=0"}};
    if (!c.jack) {
        // Neither JACK nor PulseAudio answers.
        env["JACK_DEFAULT_SERVER"] = fmt::format("veltrum-none-{}", getpid());
        env["JACK_NO_START_SERVER"] = "1";
        env["PULSE_SERVER"] = "unix:/nonexistent/pulse";
    }
    auto run = launch::start_and_wait_mapped(VELTRUM_EXE, env, 30s);
    ASSERT_TRUE(run.has_value()) << "no window";
    std::printf("%s: window mapped %lld ms after start\n", c.name,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(run->to_map).count()));
    std::this_thread::sleep_for(1500ms);  // the device list arrives
    EXPECT_TRUE(launch::running(run->pid)) << "the program ended";

    fs::create_directories(VELTRUM_ARTIFACT_DIR);
    EXPECT_TRUE(screenshot(run->window, fs::path(VELTRUM_ARTIFACT_DIR) / fmt::format("veltrum-{}.png", c.name)));
    launch::stop(run->pid);

    // The day's log file holds the run's lines.
    std::vector<fs::path> logs;
    for (auto& e : fs::directory_iterator(settings_dir / "logs")) logs.push_back(e.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(logs[0].filename().string().starts_with("veltrum.")) << logs[0];
}

INSTANTIATE_TEST_SUITE_P(AudioServers, Launch,
                         ::testing::Values(Case{"no-audio-light", false, false}, Case{"no-audio-dark", false, true},
                                           Case{"jack", true, true}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (auto& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

}  // namespace
