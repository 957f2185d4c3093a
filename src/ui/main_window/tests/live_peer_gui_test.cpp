// The program measuring for real on the JACK test server while other JACK
// clients come and go, driven with real keys and clicks under Xvfb:
// - a pass-through client of the test sits in the loop (generator -> peer ->
//   measurement input); it leaves and returns, and the run keeps measuring,
//   its connections are made again as they were, and the loop is coherent
//   again at the end;
// - a microphone calibration is loaded through the native file chooser and
//   then cleared while measuring: connections made by hand survive both
//   stream reopens, and the calibration's level shows in the response;
// - the SPL view started while its input device is absent starts metering
//   by itself once the device appears.
// The program writes what it shows to the file named by VELTRUM_TEST_SNAPSHOT
// (see the refresh loop), which is what the test reads.
#include <gdk/gdk.h>
#include <gtk/gtk.h>
#include <jack/jack.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/settings/settings.h"
#include "ui/main_window/tests/jack_settings.h"
#include "shell/tests/launch.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* PEER = "vt-peer";

// A JACK client of the test's own that can leave the server and come back
// under the same name. With inputs, each output plays its input `delay`
// samples later (a pass-through); without, each output plays a 1 kHz sine
// (a microphone for the level meter). Its client also serves the test to
// connect ports and read connections: no command-line tool opens clients
// while the program opens its own.
class Peer {
public:
    Peer(std::string name, int inputs, int outputs, std::size_t delay)
        : name_(std::move(name)), inputs_(inputs), outputs_(outputs), delay_(delay) {
        ring_.assign(static_cast<std::size_t>(std::max(inputs, 1)) * (delay_ + 1), 0.0f);
    }
    ~Peer() { leave(); }

    bool join() {
        client_ = jack_client_open(name_.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                                   nullptr);
        if (client_ == nullptr) return false;
        ins_.clear();
        outs_.clear();
        for (int i = 0; i < inputs_; ++i)
            ins_.push_back(jack_port_register(client_, fmt::format("in_{}", i).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                              JackPortIsInput, 0));
        for (int i = 0; i < outputs_; ++i)
            outs_.push_back(jack_port_register(client_, fmt::format("out_{}", i).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsOutput, 0));
        jack_set_client_registration_callback(
            client_,
            [](const char* name, int reg, void* arg) {
                if (reg != 0 && std::string_view(name).starts_with("veltrum-input"))
                    static_cast<Peer*>(arg)->input_arrivals.fetch_add(1);
            },
            this);
        jack_set_process_callback(client_, &Peer::process, this);
        if (jack_activate(client_) != 0) {
            leave();
            return false;
        }
        return true;
    }

    void leave() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }

    std::string in(int i) const { return fmt::format("{}:in_{}", name_, i); }
    std::string out(int i) const { return fmt::format("{}:out_{}", name_, i); }

    bool connect(const std::string& from, const std::string& to) const {
        const int r = jack_connect(client_, from.c_str(), to.c_str());
        return r == 0 || r == EEXIST;
    }
    bool disconnect(const std::string& from, const std::string& to) const {
        return jack_disconnect(client_, from.c_str(), to.c_str()) == 0;
    }

    // Every connection of the ports whose full name starts with `prefix`,
    // as "port>peer" texts.
    std::set<std::string> wiring(const std::string& prefix) const {
        std::set<std::string> out;
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0);
        if (ports == nullptr) return out;
        for (const char** p = ports; *p != nullptr; ++p) {
            if (!std::string_view(*p).starts_with(prefix)) continue;
            jack_port_t* port = jack_port_by_name(client_, *p);
            if (port == nullptr) continue;
            if (const char** peers = jack_port_get_all_connections(client_, port)) {
                for (const char** q = peers; *q != nullptr; ++q) out.insert(std::string(*p) + ">" + *q);
                jack_free(static_cast<void*>(peers));
            }
        }
        jack_free(static_cast<void*>(ports));
        return out;
    }

    // The first port whose full name starts with `prefix`; empty when none.
    std::string first_port(const std::string& prefix) const {
        std::string found;
        const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0);
        if (ports == nullptr) return found;
        for (const char** p = ports; *p != nullptr && found.empty(); ++p)
            if (std::string_view(*p).starts_with(prefix)) found = *p;
        jack_free(static_cast<void*>(ports));
        return found;
    }

    std::atomic<int> input_arrivals{0};

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Peer*>(arg);
        const std::size_t len = self->delay_ + 1;
        for (std::size_t i = 0; i < self->outs_.size(); ++i) {
            auto* out = static_cast<float*>(jack_port_get_buffer(self->outs_[i], frames));
            if (i < self->ins_.size()) {
                const auto* in = static_cast<const float*>(jack_port_get_buffer(self->ins_[i], frames));
                float* ring = self->ring_.data() + i * len;
                std::size_t at = self->at_;
                for (jack_nframes_t f = 0; f < frames; ++f) {
                    ring[at] = in[f];
                    out[f] = ring[(at + 1) % len];  // written `delay` samples ago
                    at = (at + 1) % len;
                }
            } else {
                for (jack_nframes_t f = 0; f < frames; ++f)
                    out[f] = 0.1f * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(self->phase_ + f) / 48000.0);
            }
        }
        self->at_ = (self->at_ + frames) % len;
        self->phase_ = (self->phase_ + frames) % 48000;
        return 0;
    }

    std::string name_;
    int inputs_, outputs_;
    std::size_t delay_;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ins_, outs_;
    std::vector<float> ring_;
    std::size_t at_ = 0;
    std::uint64_t phase_ = 0;
};

json read_probe(const fs::path& file) {
    try {
        return json::parse(test_support::slurp(file));
    } catch (...) {
        return json::object();
    }
}

// "Live, coh 0.97" with at least 3 averages and a coherence above `least`.
bool coherent(const json& p, double least = 0.9) {
    if (!p.value("running", false) || p.value("averages", 0) < 3) return false;
    const std::string status = p.value("status", "");
    return status.starts_with("Live, coh ") && std::stod(status.substr(10)) > least;
}

// Within 0.5 dB of `db` with a coherence above 0.9 from 100 Hz to 10 kHz.
bool flat_at(const json& p, float level) {
    if (!p.contains("points") || p["points"].size() != 240) return false;
    for (const auto& pt : p["points"]) {
        const float hz = pt[0], db = pt[1], conf = pt[3];
        if (hz >= 100.0f && hz <= 10000.0f && (std::abs(db - level) > 0.5f || conf <= 0.9f)) return false;
    }
    return true;
}

// The mean level of the response from 100 Hz to 10 kHz.
float mean_level(const json& p) {
    double sum = 0.0;
    int n = 0;
    if (p.contains("points"))
        for (const auto& pt : p["points"]) {
            const float hz = pt[0], db = pt[1];
            if (hz >= 100.0f && hz <= 10000.0f) {
                sum += db;
                ++n;
            }
        }
    return n > 0 ? static_cast<float>(sum / n) : NAN;
}

std::string text_of(const std::set<std::string>& wiring) {
    std::string out;
    for (const auto& w : wiring) out += w + "; ";
    return out;
}

class LivePeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
        if (!test_support::jack_available()) GTEST_SKIP() << "no JACK test server (VELTRUM_TEST_JACK unset)";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ = test_support::scratch("live_peer_gui", info->name());
        data_ = home_ / api::client::bundle_id("veltrum");
        fs::create_directories(data_);
        probe_ = home_ / "snapshot.json";
        settings_ = live_test::measuring_on_jack();
    }

    void TearDown() override {
        if (pid_ > 0) launch::stop(pid_);
    }

    // Starts the program with the settings; false when no window came.
    bool start() {
        if (!settings_.save_to(data_ / "settings.ron")) return false;
        const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home_.string()},
                                                     {"GSETTINGS_BACKEND", "memory"},
                                                     {"VELTRUM_TEST_SNAPSHOT", probe_.string()},
                                                     {"UBSAN_OPTIONS", "suppressions=" VELTRUM_UBSAN_SUPPRESSIONS}};
        auto run = launch::start_and_wait_mapped(VELTRUM_EXE, env, 60s);
        if (!run) return false;
        pid_ = run->pid;
        window_ = run->window;
        std::this_thread::sleep_for(1500ms);  // the page is loaded and listens for keys
        return true;
    }

    void keys(const std::string& names) {
        const std::string cmd = fmt::format("xdotool windowfocus --sync {} key --delay 150 {}", window_, names);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }

    // Run (Space), and Enter for the question that Find on start asks.
    void run_measurement() {
        keys("space");
        std::this_thread::sleep_for(500ms);
        keys("Return");
    }

    // Both streams open: the run's first pass replaced the opening status.
    bool opened() {
        const json q = probe();
        const std::string status = q.value("status", "");
        return q.value("running", false) && !status.empty() && status != "Opening input";
    }

    json probe() const { return read_probe(probe_); }

    // Starts a run and waits for its two streams: the first port of each as
    // `via` sees them (output, input); empty names when they did not come.
    std::pair<std::string, std::string> run_and_find_streams(const Peer& via) {
        run_measurement();
        if (!test_support::wait_until([&] { return opened(); }, 45s)) return {};
        std::string out_port, in_port;
        test_support::wait_until(
            [&] {
                out_port = via.first_port("veltrum-output:");
                in_port = via.first_port("veltrum-input:");
                return !out_port.empty() && !in_port.empty();
            },
            30s);
        return {out_port, in_port};
    }

    // Full, coherent averages of a response flat at `level` within `limit`.
    bool measures_flat(float level, double least, std::chrono::milliseconds limit) const {
        return test_support::wait_until([&] { return coherent(probe(), least) && flat_at(probe(), level); }, limit);
    }

    void shot(const std::string& name) {
        std::this_thread::sleep_for(1s);  // what was shown last is drawn
        const fs::path shots(VELTRUM_ARTIFACT_DIR);
        fs::create_directories(shots);
        EXPECT_TRUE(launch::screenshot(shots / name));
    }

    fs::path home_, data_, probe_;
    engine::settings::Settings settings_;
    pid_t pid_ = -1;
    unsigned long window_ = 0;
};

// Waits until the connections of the program's ports, as `via` sees them,
// are `before` again.
void expect_wiring(const Peer& via, const std::set<std::string>& before, std::chrono::milliseconds limit) {
    std::set<std::string> now;
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            now = via.wiring("veltrum-");
            return now == before;
        },
        limit))
        << "before: " << text_of(before) << "\nafter: " << text_of(now);
}

// A window of the display whose title is `title` (xdotool search); 0 when none.
unsigned long window_named(const std::string& title) {
    const std::string id = launch::output_of(fmt::format("xdotool search --name '^{}$' 2>/dev/null | head -n 1", title));
    return id.empty() ? 0 : std::stoul(id);
}

TEST_F(LivePeers, MeasuringGoesOnWhileAPeerInTheLoopLeavesAndReturns) {
    // The peer delays by 96 samples (2 ms), which the start's search finds.
    Peer peer(PEER, 1, 1, 96);
    ASSERT_TRUE(peer.join());
    ASSERT_TRUE(start()) << "no window";
    const auto [out_port, in_port] = run_and_find_streams(peer);
    ASSERT_FALSE(in_port.empty()) << probe().value("status", "no snapshot");
    ASSERT_TRUE(peer.connect(out_port, peer.in(0)));
    ASSERT_TRUE(peer.connect(peer.out(0), in_port));
    ASSERT_TRUE(measures_flat(0.0f, 0.95, 90s)) << probe().dump().substr(0, 300);
    const std::set<std::string> before = peer.wiring("veltrum-");
    ASSERT_TRUE(before.contains(out_port + ">" + peer.in(0))) << text_of(before);
    ASSERT_TRUE(before.contains(in_port + ">" + peer.out(0))) << text_of(before);

    for (const auto gap : {500ms, 5000ms}) {
        SCOPED_TRACE(fmt::format("gap of {} ms", gap.count()));
        peer.leave();
        // Throughout the gap the run goes on: nothing stops it, and the
        // input device (the server's own ports) is still there.
        const auto back_at = std::chrono::steady_clock::now() + gap;
        while (std::chrono::steady_clock::now() < back_at) {
            const json q = probe();
            EXPECT_TRUE(q.value("running", false)) << q.value("status", "");
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_TRUE(peer.join());
        // The program connects the peer's ports again as they were.
        expect_wiring(peer, before, 20s);
        // And the loop measures coherently again, never having stopped.
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                const json q = probe();
                EXPECT_TRUE(q.value("running", false)) << q.value("status", "");
                return coherent(q) && flat_at(q, 0.0f);
            },
            60s))
            << probe().dump().substr(0, 300);
    }
    const json end = probe();
    EXPECT_TRUE(coherent(end)) << end.value("status", "");
    EXPECT_EQ(end.value("delay", 0), 96) << "the peer's delay";
    shot("live-peer-returned.png");
}

TEST_F(LivePeers, APeerThatIsTheInputDeviceIsWaitedForAndMeasuredAgainOnItsReturn) {
    // The measurement input is the peer itself; the generator plays into it.
    settings_.device = fmt::format("jack:{}", PEER);
    settings_.device_name = PEER;
    Peer peer(PEER, 1, 1, 96);
    ASSERT_TRUE(peer.join());
    ASSERT_TRUE(start()) << "no window";
    const auto [out_port, in_port] = run_and_find_streams(peer);
    ASSERT_FALSE(in_port.empty()) << probe().value("status", "no snapshot");
    ASSERT_TRUE(peer.connect(out_port, peer.in(0)));
    ASSERT_TRUE(measures_flat(0.0f, 0.95, 90s)) << probe().dump().substr(0, 300);
    const std::set<std::string> before = peer.wiring("veltrum-");
    ASSERT_TRUE(before.contains(in_port + ">" + peer.out(0))) << text_of(before);  // the device's port, given
    ASSERT_TRUE(before.contains(out_port + ">" + peer.in(0))) << text_of(before);  // by hand

    for (const auto gap : {500ms, 5000ms}) {
        SCOPED_TRACE(fmt::format("gap of {} ms", gap.count()));
        const int arrivals = peer.input_arrivals.load();
        peer.leave();
        // While the device is away the run may wait for it, and say so as
        // a warning; a long gap is always seen. A run started again just as
        // the device went (the listing that started it still had it) says
        // that it could not open it, until the next listing.
        bool waited = false, went_seen = false;
        const auto back_at = std::chrono::steady_clock::now() + gap;
        while (std::chrono::steady_clock::now() < back_at) {
            const json q = probe();
            const std::string status = q.value("status", "");
            const bool waiting = status == fmt::format("Waiting for {}", PEER);
            const bool went = status == "Cannot open input: audio device not found";
            EXPECT_TRUE(q.value("running", false) || ((waiting || went) && q.value("warn", false))) << status;
            waited = waited || waiting;
            went_seen = went_seen || went;
            std::this_thread::sleep_for(100ms);
        }
        if (gap >= 5s) EXPECT_TRUE(waited || went_seen) << "no \"Waiting for\" while the input device was away";
        ASSERT_TRUE(peer.join());
        // A run that waited starts again: its input stream opens anew.
        if (waited || went_seen)
            EXPECT_TRUE(test_support::wait_until([&] { return peer.input_arrivals.load() > arrivals; }, 30s))
                << "no new run";
        // Back: measuring again, with the connections it had.
        expect_wiring(peer, before, 30s);
        EXPECT_TRUE(measures_flat(0.0f, 0.9, 60s)) << probe().dump().substr(0, 300);
    }
    // Measuring on, not waiting any more.
    const auto still = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < still) {
        const json q = probe();
        EXPECT_TRUE(q.value("running", false)) << q.value("status", "");
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_TRUE(coherent(probe())) << probe().value("status", "");
    shot("live-peer-input-returned.png");
}

// Clicks at a point of the program's window given from its top right
// corner: the Config pane keeps to the window's right edge.
void click_from_right(unsigned long window, int from_right, int y) {
    const std::string geometry = launch::output_of(fmt::format("xdotool getwindowgeometry --shell {}", window));
    const auto at = geometry.find("WIDTH=");
    ASSERT_NE(at, std::string::npos) << geometry;
    const int width = std::stoi(geometry.substr(at + 6));
    const std::string cmd =
        fmt::format("xdotool mousemove --window {} {} {} click 1 mousemove --window {} 5 5", window, width - from_right,
                    y, window);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// Where the Input card's "Mic cal" row has its file button and, once a file
// is chosen, the button that clears it (the default window, Config tab).
constexpr int MIC_CAL_BUTTON_FROM_RIGHT = 130, MIC_CAL_Y = 283;
constexpr int MIC_CAL_CLEAR_FROM_RIGHT = 42;

TEST_F(LivePeers, CalibrationLoadedAndClearedKeepsHandMadeConnections) {
    // A client of the test's own to wire with and to see the input stream
    // open again.
    Peer hand("vt-hand", 0, 0, 0);
    ASSERT_TRUE(hand.join());
    ASSERT_TRUE(start()) << "no window";
    const auto [out_port, in_port] = run_and_find_streams(hand);
    ASSERT_FALSE(in_port.empty()) << probe().value("status", "no snapshot");
    // By hand: the input leaves the server's capture port it was given and
    // listens to the generator instead.
    ASSERT_TRUE(test_support::wait_until([&] { return !hand.wiring(in_port).empty(); }, 10s));
    for (const auto& w : hand.wiring(in_port)) ASSERT_TRUE(hand.disconnect(w.substr(w.find('>') + 1), in_port)) << w;
    ASSERT_TRUE(hand.connect(out_port, in_port));
    ASSERT_TRUE(measures_flat(0.0f, 0.95, 90s)) << probe().dump().substr(0, 300);
    const std::set<std::string> before = hand.wiring("veltrum-");
    ASSERT_TRUE(before.contains(in_port + ">" + out_port)) << text_of(before);
    ASSERT_FALSE(before.contains(in_port + ">system:capture_1")) << text_of(before);

    // A microphone that reads 3 dB hot everywhere.
    const fs::path cal = home_ / "mic 3dB.txt";
    test_support::spit(cal, "20, 3.0\n1000, 3.0\n20000, 3.0\n");
    const auto mic_cal = [&] { return engine::settings::Settings::load_from(data_).mic_cal_path; };
    const auto check_reopened = [&](int arrivals, float level) {
        EXPECT_TRUE(test_support::wait_until([&] { return hand.input_arrivals.load() > arrivals; }, 30s))
            << "the input stream did not open again";
        expect_wiring(hand, before, 20s);
        EXPECT_TRUE(measures_flat(level, 0.9, 60s)) << probe().dump().substr(0, 300);
    };

    // Load: the file button opens the native file chooser; its location
    // field takes the path.
    int arrivals = hand.input_arrivals.load();
    click_from_right(window_, MIC_CAL_BUTTON_FROM_RIGHT, MIC_CAL_Y);
    unsigned long chooser = 0;
    ASSERT_TRUE(test_support::wait_until([&] { return (chooser = window_named("Microphone calibration file")) != 0; },
                                         30s))
        << "no file chooser";
    std::this_thread::sleep_for(1s);  // the chooser is drawn and takes keys
    shot("live-mic-cal-chooser.png");
    const std::string type = fmt::format("xdotool windowfocus --sync {} key ctrl+l sleep 0.5 type --delay 20 '{}'",
                                         chooser, cal.string());
    ASSERT_EQ(std::system(type.c_str()), 0) << type;
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(std::system(fmt::format("xdotool windowfocus --sync {} key Return", chooser).c_str()), 0);
    ASSERT_TRUE(test_support::wait_until([&] { return mic_cal() == cal.string(); }, 30s)) << mic_cal();
    check_reopened(arrivals, -3.0f);
    EXPECT_NEAR(mean_level(probe()), -3.0f, 0.5f);
    shot("live-mic-cal-loaded.png");

    // Clear.
    arrivals = hand.input_arrivals.load();
    click_from_right(window_, MIC_CAL_CLEAR_FROM_RIGHT, MIC_CAL_Y);
    ASSERT_TRUE(test_support::wait_until([&] { return mic_cal().empty(); }, 30s)) << mic_cal();
    check_reopened(arrivals, 0.0f);
    EXPECT_TRUE(probe().value("running", false));
    shot("live-mic-cal-cleared.png");
}

TEST_F(LivePeers, SplViewStartsMeteringOnceItsMissingInputAppears) {
    // The SPL input is a client that is not there yet.
    settings_.view = engine::settings::View::Spl;
    settings_.spl_input = engine::settings::Input{"JACK", fmt::format("jack:{}", PEER), PEER, 0, 48000, ""};
    ASSERT_TRUE(start()) << "no window";
    // No level to read: the meter has analysed nothing, whatever it shows.
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(1s);
        const json m = probe().value("meter", json::object());
        EXPECT_FALSE(m.contains("z_db")) << m.dump();
        EXPECT_EQ(m.value("frames", 0), 0) << m.dump();
    }
    shot("live-spl-waiting.png");

    Peer mic(PEER, 0, 1, 0);
    ASSERT_TRUE(mic.join());
    // The meter starts by itself and reads the sine's level: a sine of peak
    // 0.1 reads -23 dBFS (its RMS).
    const auto metering = [&] {
        const json m = probe().value("meter", json::object());
        return m.value("running", false) && m.contains("z_db") && m["z_db"].is_number() &&
               std::abs(m["z_db"].get<double>() + 23.0) < 1.0;
    };
    ASSERT_TRUE(test_support::wait_until(metering, 60s)) << probe().value("meter", json::object()).dump();
    shot("live-spl-metering.png");

    // The input leaves while metering: the meter waits for it, and meters
    // again on its return, wired as before.
    const std::set<std::string> before = mic.wiring("veltrum-");
    ASSERT_FALSE(before.empty());
    mic.leave();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            const json m = probe().value("meter", json::object());
            return !m.value("running", true) && m.value("warn", false) &&
                   m.value("status", "") == fmt::format("Waiting for {}", PEER);
        },
        30s))
        << probe().value("meter", json::object()).dump();
    ASSERT_TRUE(mic.join());
    EXPECT_TRUE(test_support::wait_until(metering, 60s)) << probe().value("meter", json::object()).dump();
    expect_wiring(mic, before, 30s);
}

}  // namespace
