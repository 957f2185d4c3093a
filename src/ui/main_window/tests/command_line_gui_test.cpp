// The program under Xvfb started with files on its command line: the first
// argument is the project it opens; one that names no regular file is passed
// over in favour of the last project, without a message.
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

// Everything the program logged into its log folder so far.
std::string logged(const fs::path& data) {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(data / "logs", ec)) all += test_support::slurp(e.path());
    return all;
}

TEST(CommandLine, TheFirstArgumentOpensAndOneThatIsNoFileIsPassedOver) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    const auto home = test_support::scratch("command_line_gui", "home");
    const fs::path data = home / api::client::bundle_id("veltrum");
    fs::create_directories(data);
    const fs::path shows = home / "shows";
    fs::create_directories(shows / "folder.vtproject");
    for (const char* name : {"first", "second"}) {
        engine::trace::Session s;
        s.sources = {name};
        ASSERT_TRUE(api::client::write_atomic(shows / fmt::format("{}.vtproject", name), *s.encode()));
    }
    // The automatic update check goes to a loopback port nobody answers on.
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home.string()},
                                                 {"GSETTINGS_BACKEND", "memory"},
                                                 {"VELTRUM_SERVER_URL", "http://127.0.0.1:9"}};

    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string title;  // the opened project's
    };
    // The first run's project becomes the last project of the later ones.
    const Case cases[] = {
        {"two files: the first", {(shows / "first.vtproject").string(), (shows / "second.vtproject").string()},
         "Veltrum - first"},
        {"a folder: the last project", {(shows / "folder.vtproject").string()}, "Veltrum - first"},
        {"a missing file: the last project", {(shows / "gone.vtproject").string(), (shows / "second.vtproject").string()},
         "Veltrum - first"},
    };
    for (const auto& c : cases) {
        auto run = launch::start_and_wait_mapped(VELTRUM_EXE, env, 30s, c.args);
        ASSERT_TRUE(run) << c.what << ": no window";
        struct Stop {
            pid_t pid;
            ~Stop() { launch::stop(pid); }
        } stop{run->pid};
        std::string title;
        EXPECT_TRUE(launch::wait_for(
            [&] {
                title = output_of(fmt::format("xdotool getwindowname {}", run->window));
                return title == c.title;
            },
            30s))
            << c.what << ": " << title;
        // The window settles: no other project follows and nothing failed.
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(output_of(fmt::format("xdotool getwindowname {}", run->window)), c.title) << c.what;
        const std::string log = logged(data);
        EXPECT_EQ(log.find("could not open"), std::string::npos) << c.what << "\n" << log;
        EXPECT_EQ(log.find("Open failed"), std::string::npos) << c.what;
    }
}

}  // namespace
