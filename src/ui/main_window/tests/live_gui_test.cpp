// The program measuring for real: under Xvfb, on the JACK test server, with
// the generator's output port connected back to the measurement input. Run
// (Space) starts a measurement that searches the delay (find on start, the
// question answered with Enter); the loop measures flat with full coherence
// at the loop's delay; Enter opens the Capture prompt and Enter again adds
// the trace; Stop (Space) ends the run. The program writes the shown
// snapshot to the file named by VELTRUM_TEST_SNAPSHOT (see the refresh loop).
#include <gdk/gdk.h>
#include <gtk/gtk.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/persist/autosave.h"
#include "engine/persist/trace_file.h"
#include "engine/settings/settings.h"
#include "ui/main_window/tests/jack_settings.h"
#include "shell/tests/launch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return test_support::wait_until(done, limit);
}

void keys(unsigned long window, const std::string& names) {
    const std::string cmd = fmt::format("xdotool windowfocus --sync {} key --delay 150 {}", window, names);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// A PNG of the whole X screen.
bool screenshot(const fs::path& file) {
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    if (!shot) return false;
    const bool ok = gdk_pixbuf_save(shot, file.c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
    return ok;
}

json read_probe(const fs::path& file) {
    try {
        return json::parse(test_support::slurp(file));
    } catch (...) {
        return json::object();
    }
}

// Coherent full averages: "Live, coh 0.99" with at least 3 averages (a
// busy machine makes the server skip cycles, which starts the averages over).
bool coherent(const json& p) {
    if (!p.value("running", false) || p.value("averages", 0) < 3) return false;
    const std::string status = p.value("status", "");
    return status.starts_with("Live, coh ") && std::stod(status.substr(10)) >= 0.95;
}

// Within 0.5 dB of 0 dB with a coherence above 0.9 from 100 Hz to 10 kHz.
bool flat(const json& p) {
    if (!p.contains("points") || p["points"].size() != 240) return false;
    for (const auto& pt : p["points"]) {
        const float hz = pt[0], db = pt[1], conf = pt[3];
        if (hz >= 100.0f && hz <= 10000.0f && (std::abs(db) > 0.5f || conf <= 0.9f)) return false;
    }
    return true;
}

TEST(LiveMeasurement, LoopbackIsFlatCoherentAndItsDelayIsFound) {
    if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK test server (VELTRUM_TEST_JACK unset)";
    const auto home = test_support::scratch("live_gui", "home");
    const fs::path data = home / api::client::bundle_id("veltrum");
    fs::create_directories(data);
    const engine::settings::Settings settings = live_test::measuring_on_jack();
    ASSERT_TRUE(settings.save_to(data / "settings.ron"));
    // One source to capture for: an older session file that the program imports.
    engine::trace::Session legacy;
    legacy.sources = {"Main"};
    ASSERT_TRUE(api::client::write_atomic(data / "session.ron", *legacy.encode()));
    const fs::path probe = home / "snapshot.json";
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home.string()},
                                                 {"GSETTINGS_BACKEND", "memory"},
                                                 {"VELTRUM_TEST_SNAPSHOT", probe.string()},
                                                 {"UBSAN_OPTIONS", "suppressions=" VELTRUM_UBSAN_SUPPRESSIONS}};

    const auto before = test_support::jack_ports();
    auto run = launch::start_and_wait_mapped(VELTRUM_EXE, env, 60s);
    ASSERT_TRUE(run) << "no window";
    struct Stop {
        pid_t pid;
        ~Stop() { launch::stop(pid); }
    } stop{run->pid};
    std::this_thread::sleep_for(1500ms);  // the page is loaded and listens for keys

    // Run: Find on start asks first; Enter starts.
    keys(run->window, "space");
    std::this_thread::sleep_for(500ms);
    keys(run->window, "Return");

    // The ports are looked up once the run has opened its streams (its first
    // pass replaces the opening status) or has failed to.
    const auto opened = [&] {
        const json q = read_probe(probe);
        const std::string status = q.value("status", "");
        return (q.value("running", false) && !status.empty() && status != "Opening input") ||
               status.starts_with("Cannot open");
    };
    ASSERT_TRUE(test_support::jack_loop_back(before, opened, 45s)) << read_probe(probe).value("status", "no snapshot");

    // The delay search finds the loop; 2 s later its delay is in use and kept
    // in the settings; then the averages fill up. On a busy machine the server
    // may skip a cycle, which spoils an average: the test waits (bounded) for
    // a full, coherent one rather than taking the first.
    const auto delay_in_settings = [&] {
        const json p = read_probe(probe);
        const float ms = engine::settings::Settings::load_from(data).delay_ms;
        const auto delay = p.value("delay", std::size_t{0});
        // The loop's delay may be none at all (the server can run the output
        // before the input within one cycle): then the settings keep 0.
        return coherent(p) && flat(p) && std::llround(ms * 48.0f) == static_cast<long long>(delay);
    };
    ASSERT_TRUE(wait_for(delay_in_settings, 90s)) << read_probe(probe).dump().substr(0, 300);
    const json p = read_probe(probe);
    ASSERT_EQ(p["points"].size(), 240u);
    for (const auto& pt : p["points"]) {
        const float hz = pt[0], db = pt[1], conf = pt[3];
        if (hz < 100.0f || hz > 10000.0f) continue;
        EXPECT_NEAR(db, 0.0f, 0.5f) << hz;
        EXPECT_GT(conf, 0.9f) << hz;
    }
    std::this_thread::sleep_for(1s);  // the plot is drawn
    const fs::path shots(VELTRUM_ARTIFACT_DIR);
    fs::create_directories(shots);
    EXPECT_TRUE(screenshot(shots / "live-loopback.png"));

    // Capture: Enter opens the Capture prompt with its name field focused;
    // Enter there takes the default name. The trace reaches the list and,
    // through the autosave, the data folder.
    keys(run->window, "Return");
    std::this_thread::sleep_for(1500ms);  // the trace arrives and the prompt is drawn
    EXPECT_TRUE(screenshot(shots / "live-capture-prompt.png"));
    keys(run->window, "Return");
    const auto captured = [&]() -> std::size_t {
        auto saved = engine::trace::Session::try_read(data / engine::trace::AUTOSAVE_FILE_NAME);
        return saved ? saved->traces.size() : 0;
    };
    EXPECT_TRUE(wait_for([&] { return captured() == 1; }, 15s)) << "no captured trace in the autosave";
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(screenshot(shots / "live-captured.png"));

    // Stop.
    keys(run->window, "space");
    EXPECT_TRUE(wait_for(
        [&] {
            const json q = read_probe(probe);
            // The captured trace is viewed, so the status names it once stopped.
            return !q.value("running", true) && q.value("status", "").starts_with("Viewing Main");
        },
        10s))
        << read_probe(probe).value("status", "");
    EXPECT_TRUE(wait_for([&] { return test_support::new_jack_port(before, "veltrum-input", true).empty(); }, 10s));
}

}  // namespace
