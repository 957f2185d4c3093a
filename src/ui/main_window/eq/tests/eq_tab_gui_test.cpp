// The EQ tab in the real web view under Xvfb: a window state with zones,
// air compensation and routes, the tab's cards styled, one real click, and
// screenshots in light and dark; and, on the JACK test server, a fit of a
// loopback measurement through a peaking filter.
#include <jack/jack.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/tests/support.h"
#include "engine/analyzer/analyzer.h"
#include "reactive/root.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/components/dropdown.h"
#include "shared-ui/components/tooltip.h"
#include "shell/startup.h"
#include "ui/main_window/core/effects.h"
#include "ui/main_window/eq/eq_fit.h"
#include "ui/main_window/eq/eq_tab.h"
#include "ui/main_window/eq/zones.h"
#include "ui/main_window/tests/window_fixture.h"
#include "webview-host/gtk_loop.h"
#include "webview-host/reactive_root.h"
#include "webview-host/tests/wait.h"
#include "webview-host/window.h"

#include <gdk/gdkx.h>

namespace ui::main_window {
namespace {

using namespace std::chrono_literals;
using engine::design::Dest;
using engine::design::Source;
using engine::design::Parts;
using engine::design::Route;
using nlohmann::json;
using webview_host::pump_for;
using webview_host::run_until;

WindowState* STATE = nullptr;

// A project with one source measured at three seats, two zones (the far one
// compensated for air) and two remembered routes.
WindowState tuned_state() {
    auto s = make_state(Settings{}, std::make_shared<WindowHost>(), AutosaveHooks{[](Session, std::optional<Path>) {},
                                                                                   [] {}, [] {}});
    s.sources.set({"Main"});
    std::vector<Trace> traces;
    const std::pair<const char*, std::size_t> seats[] = {{"Stage", 1200}, {"Mid", 3400}, {"Balcony", 6000}};
    for (const auto& [name, delay] : seats) {
        auto t = testing::make_trace(name, "Main", name);
        t.delay_samples = delay;
        traces.push_back(t);
    }
    s.traces.set(traces);
    auto src = Source::make("Main");
    src.zones = {new_zone("Mid"), new_zone("Balcony")};
    src.zones[1].air.on = true;
    src.routes = {Route{"", Parts{}, Dest::wing("main 1")}, Route{"Balcony", Parts{}, Dest::wing("bus 3")}};
    s.design.set(engine::design::Design{{src}});
    return s;
}

reactive::Element eq_root() {
    auto& s = reactive::use_hook<WindowState>([] { return tuned_state(); });
    STATE = &s;
    reactive::provide_context(s);
    reactive::provide_context(s.settings);
    reactive::provide_context(s.tooltip);
    reactive::provide_context(s.open_dropdown);
    apply_body_class(s);
    zone_air_compensation(s);
    return reactive::div().cls("vt-eq-pane").style("width", "360px").style("height", "100%")(
        reactive::component(eq_tab, "eq_tab"));
}

class EqTabGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("GSETTINGS_BACKEND", "memory", 0); }
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !webview_host::init()) GTEST_SKIP() << "no display";
        home_ = test_support::scratch("eq_tab_gui", "home");
        xdg_.emplace("XDG_DATA_HOME", home_.c_str());
        loop = std::make_unique<webview_host::GtkLoop>();
        std::vector<std::string> sheets;
        for (const auto& css : shared_ui::app_styles::ALL_CSS) sheets.push_back(css.url());
        webview_host::WindowConfig c;
        c.title = "EQ tab";
        c.width = 376;
        c.height = 1400;
        c.head = shell::page_head(shared_ui::app_styles::INTER_FONT.url(), sheets);
        c.assets = {{"", VELTRUM_ASSETS_DIR}};
        window = std::make_unique<webview_host::Window>(
            c, std::make_unique<webview_host::ReactiveRoot>(*loop, [] { return reactive::component(eq_root, "eq_root"); }));
        gtk_window_move(window->gtk_window(), 0, 0);
        ASSERT_TRUE(webview_host::testing::wait_page_ready(*window));
        gdk_window_raise(gtk_widget_get_window(GTK_WIDGET(window->gtk_window())));
        pump_for(100ms);
    }
    void TearDown() override {
        window.reset();
        loop.reset();
        pump_for(50ms);
        STATE = nullptr;
    }
    base::Result<json> js(const std::string& body) { return webview_host::testing::evaluate_and_wait(*window, body); }
    std::string text(const std::string& expr) {
        auto r = js("return String(" + expr + ");");
        return r && r->is_string() ? r->get<std::string>() : "<error>";
    }
    void xdo(const std::string& args) {
        ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
        pump_for(20ms);
    }
    // Clicks the first button whose text is `label` with a real pointer.
    void click_button(const std::string& label) {
        auto r = js(fmt::format("const b = [...document.querySelectorAll('button')].find(b => b.textContent === {});"
                                "if (!b) return null; const r = b.getBoundingClientRect();"
                                "return [r.x + r.width / 2, r.y + r.height / 2];",
                                json(label).dump()));
        ASSERT_TRUE(r && r->is_array()) << label;
        const int x = static_cast<int>((*r)[0].get<double>()), y = static_cast<int>((*r)[1].get<double>());
        // The window is taller than the screen: it is moved up until the
        // button is on the screen, and back after the click.
        const int screen_h = gdk_window_get_height(gdk_get_default_root_window());
        const bool moved = y > screen_h - 40;
        if (moved) {
            gtk_window_move(window->gtk_window(), 0, screen_h / 2 - y);
            pump_for(200ms);
        }
        const auto [sx, sy] = webview_host::testing::screen_point(*window, x, y);
        xdo(fmt::format("mousemove {} {}", sx, sy));
        xdo("click 1");
        if (moved) {
            gtk_window_move(window->gtk_window(), 0, 0);
            pump_for(200ms);
        }
    }
    void snapshot(const std::string& name) {
        const auto done =
            webview_host::testing::save_snapshot(*window, std::filesystem::path(VELTRUM_ARTIFACT_DIR) / name);
        ASSERT_TRUE(done) << done.error();
    }

    std::filesystem::path home_;
    std::optional<test_support::Env> xdg_;
    std::unique_ptr<webview_host::GtkLoop> loop;
    std::unique_ptr<webview_host::Window> window;
};

TEST_F(EqTabGui, ZonesWithAirAndRoutesLightAndDark) {
    // The cards in their order, the far zone's air band fitted by the effect.
    EXPECT_EQ(text("[...document.querySelectorAll('.vt-card > .folder > .name')].map(e => e.textContent).join(',')"),
              "Fit,EQ,Shaping,Zones,Export");
    ASSERT_TRUE(run_until([&] { return text("document.body.textContent.includes('Air band')") == "true"; }));
    const auto& far = STATE->design.peek().sources[0].zones[1];
    EXPECT_TRUE(far.air.band.on);
    EXPECT_NE(text("document.body.textContent"), "<error>");
    EXPECT_NE(text("document.body.textContent").find(air_band_text(far.air.band, engine::design::QConv::Rbj)),
              std::string::npos);

    // A real click switches the near zone's compensation on.
    click_button("Air");
    ASSERT_TRUE(run_until([&] { return STATE->design.peek().sources[0].zones[0].air.on; }, 5s));
    ASSERT_TRUE(run_until([&] {
        return text("[...document.querySelectorAll('.vt-zone')].filter(z => z.textContent.includes('Air band')).length") ==
               "2";
    }));
    STATE->settings.set(&Settings::dark_mode, false);
    ASSERT_TRUE(run_until([&] { return text("document.body.className").starts_with("light"); }));
    snapshot("eq_tab_light.png");
    STATE->settings.set(&Settings::dark_mode, true);
    ASSERT_TRUE(run_until([&] { return text("document.body.className").starts_with("dark"); }));
    snapshot("eq_tab_dark.png");
}

// A JACK client between the analyzer's output and its input: one RBJ
// peaking biquad.
class PeakFilter {
public:
    PeakFilter(double hz, double db, double q) {
        client_ = jack_client_open("eqpeak", JackNoStartServer, nullptr);
        if (!client_) return;
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        const double fs = jack_get_sample_rate(client_);
        const double a = std::pow(10.0, db / 40.0), w0 = 2.0 * M_PI * hz / fs, alpha = std::sin(w0) / (2.0 * q);
        const double a0 = 1.0 + alpha / a;
        b0_ = (1.0 + alpha * a) / a0;
        b1_ = -2.0 * std::cos(w0) / a0;
        b2_ = (1.0 - alpha * a) / a0;
        a1_ = b1_;
        a2_ = (1.0 - alpha / a) / a0;
        jack_set_process_callback(client_, &PeakFilter::process, this);
        ok = jack_activate(client_) == 0;
    }
    ~PeakFilter() {
        if (client_) jack_client_close(client_);
    }
    bool ok = false;

private:
    static int process(jack_nframes_t n, void* arg) {
        auto* f = static_cast<PeakFilter*>(arg);
        const auto* x = static_cast<const float*>(jack_port_get_buffer(f->in_, n));
        auto* y = static_cast<float*>(jack_port_get_buffer(f->out_, n));
        for (jack_nframes_t i = 0; i < n; ++i) {
            const double v = f->b0_ * x[i] + f->z1_;
            f->z1_ = f->b1_ * x[i] - f->a1_ * v + f->z2_;
            f->z2_ = f->b2_ * x[i] - f->a2_ * v;
            y[i] = static_cast<float>(v);
        }
        return 0;
    }
    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0, z1_ = 0, z2_ = 0;
};

// A delay search's quality that a clean loop reaches at once and a window
// with a gap in it does not.
constexpr float CLEAR_FIND = 50.0f;

// A measurement of the JACK loop through the filter, captured as a trace.
std::optional<Trace> measure_through_peak(std::string& why) {
    namespace host = audio_watcher::host;
    using engine::analyzer::Cmd;
    host::HostHandle jack = host::platform_host("JACK");
    if (!jack) {
        why = "no JACK host";
        return std::nullopt;
    }
    host::ScopedHost use(jack);
    PeakFilter filter(1000.0, 9.0, 2.0);
    if (!filter.ok) {
        why = "the filter client did not start";
        return std::nullopt;
    }
    const auto before = test_support::jack_ports();
    engine::analyzer::Params p;
    p.host = "JACK";
    p.device = "jack:system";
    p.out_device = "jack:system";
    // Pink noise low enough that the filter's +9 dB (and its ringing after a
    // skipped cycle) stays clear of clipping, which holds the averages back.
    p.gen = engine::generator::GenParams{.sine_hz = 1000.0f, .sweep_secs = 1.0f, .gen_db = -20.0f,
                                         .signal = engine::generator::Signal::Pink};
    p.average_secs = 1.0f;
    p.coherence_threshold = 0.5f;
    p.sample_rate = 48000;
    p.ref_internal = true;
    auto started = engine::analyzer::Analyzer::start(p);
    if (!started) {
        why = started.error();
        return std::nullopt;
    }
    auto an = std::move(*started);
    const auto wait = [](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        return test_support::wait_until(done, limit, 50ms);
    };
    // The ports are listed once the analyzer has opened both streams (its
    // first pass replaces the opening status) or has given up.
    const auto opened = [&] {
        const auto s = an.copy();
        return s.status != "Opening input" || !s.running;
    };
    const auto [out_port, in_port] = test_support::jack_stream_ports(before, opened, 30s);
    if (out_port.empty() || in_port.empty() || !test_support::jack_connect(out_port, "eqpeak:in") ||
        !test_support::jack_connect("eqpeak:out", in_port)) {
        why = "ports not connected: " + an.copy().status;
        return std::nullopt;
    }
    const auto coherent = [&] {
        const auto s = an.copy();
        return s.running && s.averages >= 6 && s.status.starts_with("Live, coh ") &&
               std::stod(s.status.substr(10)) >= 0.9;
    };
    // A busy machine makes the server skip cycles: a delay search that ran
    // over a gap in the input finds no clear delay, and the averages start
    // over. The search is made again (at most three times, within a bounded
    // time) until a full average is coherent.
    const auto deadline = std::chrono::steady_clock::now() + 150s;
    const auto within = [&](std::chrono::milliseconds limit) { return test_support::capped(deadline, limit); };
    bool measured = false;
    for (int search = 0; search < 3 && !measured && within(1s) > 0ms; ++search) {
        an.send(Cmd{Cmd::FindDelay{}});
        if (!wait([&] { return an.copy().found.has_value() || !an.copy().running; }, within(30s)) ||
            !an.copy().found) {
            why = "no delay found: " + an.copy().status;
            if (!an.copy().running) return std::nullopt;
            continue;
        }
        // The search goes on once a second over the latest samples; its
        // first find may come from a window that still held the silence
        // before the connection. A clear find is waited for (bounded).
        wait([&] { return an.copy().find_conf >= CLEAR_FIND; }, within(15s));
        an.send(Cmd{Cmd::SetDelay{*an.copy().found}});
        measured = wait(coherent, within(40s));
        if (!measured) why = "no coherent average: " + an.copy().status;
    }
    if (!measured) return std::nullopt;
    auto [tx, rx] = base::channel<Trace>();
    an.send(Cmd{Cmd::Capture{tx, "Through the peak"}});
    auto got = rx.recv_timeout(10s);
    if (!got) {
        why = "no capture";
        return std::nullopt;
    }
    return std::move(got.value);
}

TEST_F(EqTabGui, AFitOfAPeakedJackLoopCutsThePeak) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    std::string why;
    auto trace = measure_through_peak(why);
    ASSERT_TRUE(trace) << why;
    trace->source = "Main";
    trace->position = "Stage";
    trace->used = true;
    STATE->traces.set({*trace});
    STATE->position.set("Stage");
    STATE->settings.set(&Settings::dark_mode, false);
    pump_for(200ms);
    click_button("Fit");
    ASSERT_TRUE(run_until([&] { return STATE->notice.peek().starts_with("EQ fit for Main"); }, 10s))
        << STATE->notice.peek();
    const auto& bands = STATE->design.peek().sources[0].bands;
    const auto cut = std::find_if(bands.begin(), bands.end(), [](const engine::eqfit::Band& b) {
        return b.on && b.gain_db < -3.0f && b.hz > 800.0f && b.hz < 1250.0f;
    });
    EXPECT_NE(cut, bands.end()) << "no cut near 1 kHz; " << STATE->notice.peek();
    EXPECT_TRUE(STATE->show_predicted.peek());
    snapshot("eq_tab_fit_jack.png");
}

}  // namespace
}  // namespace ui::main_window
