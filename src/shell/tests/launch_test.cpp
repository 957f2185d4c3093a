// The real program under Xvfb: it shows its window with a JACK server or
// with no audio server at all (no audio is a state the window shows), writes
// its day's log file, and looks right in light and dark.
// GoogleTest before the X headers, whose macros (None, Bool) clash with it.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

#include "base/tests/support.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "shell/tests/launch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A PNG of an X window of another process (read with Xlib, so that this
// process never holds a toolkit object for the program's window).
bool screenshot(unsigned long xid, const fs::path& png) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    XWindowAttributes a{};
    bool ok = false;
    if (XGetWindowAttributes(dpy, xid, &a)) {
        if (XImage* img = XGetImage(dpy, xid, 0, 0, a.width, a.height, AllPlanes, ZPixmap)) {
            std::vector<guchar> rgb(static_cast<std::size_t>(a.width) * a.height * 3);
            for (int y = 0; y < a.height; ++y)
                for (int x = 0; x < a.width; ++x) {
                    const unsigned long px = XGetPixel(img, x, y);
                    guchar* o = &rgb[(static_cast<std::size_t>(y) * a.width + x) * 3];
                    o[0] = static_cast<guchar>((px >> 16) & 0xff);
                    o[1] = static_cast<guchar>((px >> 8) & 0xff);
                    o[2] = static_cast<guchar>(px & 0xff);
                }
            XDestroyImage(img);
            GdkPixbuf* pb = gdk_pixbuf_new_from_data(rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, a.width, a.height,
                                                     a.width * 3, nullptr, nullptr);
            ok = pb && gdk_pixbuf_save(pb, png.c_str(), "png", nullptr, nullptr);
            if (pb) g_object_unref(pb);
        }
    }
    XCloseDisplay(dpy);
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
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
    if (c.jack && !std::getenv("VELTRUM_TEST_JACK")) GTEST_SKIP() << "no JACK test server";

    const fs::path data = test_support::scratch("shell-launch", c.name);
    const fs::path settings_dir = data / "com.veltrum.veltrum";
    fs::create_directories(settings_dir);
    test_support::spit(settings_dir / "settings.ron", fmt::format("(dark_mode: {})\n", c.dark ? "true" : "false"));

    std::map<std::string, std::string> env = {{"XDG_DATA_HOME", data.string()},
                                              {"ASAN_OPTIONS", "detect_leaks=0"},
                                              {"UBSAN_OPTIONS", "suppressions=" VELTRUM_UBSAN_SUPPRESSIONS}};
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
    int ended = 0;
    ASSERT_TRUE(launch::running(run->pid, &ended)) << "the program ended with status " << ended;

    fs::create_directories(VELTRUM_ARTIFACT_DIR);
    EXPECT_TRUE(screenshot(run->window, fs::path(VELTRUM_ARTIFACT_DIR) / fmt::format("veltrum-{}.png", c.name)));

    // File > Quit's shortcut, typed on the window: the program ends with 0.
    ASSERT_EQ(std::system(fmt::format("xdotool key --window {} ctrl+q", run->window).c_str()), 0);
    auto status = launch::wait_exit(run->pid, 10s);
    if (!status) launch::stop(run->pid);
    // The keys are up again for whatever window comes next.
    (void)std::system("xdotool keyup ctrl q");
    EXPECT_EQ(status, std::optional<int>(0));

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
