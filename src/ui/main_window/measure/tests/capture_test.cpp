// Capturing: the analyzer's answer becomes the pending capture and the
// Capture prompt opens with a proposed source, also when the run stops on
// capture. The analyzer runs on a software audio host.
#include "audio-watcher/software_host.h"
#include "ui/main_window/measure/capture.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

namespace host = audio_watcher::host;

class Capture : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        sw->add_device({.id = "in", .name = "In", .input_channels = 2});
        s().settings.update([](Settings& x) {
            x.host = "Software";
            x.device = "software:in";
            x.device_name = "In";
            x.out_device = "";
        });
    }
    // A run as the window sees it once the refresh loop copied its snapshot.
    void run() {
        start_analyzer(s());
        ASSERT_TRUE(s().analyzer.peek());
        s().snapshot.update([](engine::analyzer::Snapshot& x) { x.running = true; });
    }
    void TearDown() override {
        s().analyzer.set(std::nullopt);
        Window::TearDown();
    }

    std::shared_ptr<host::SoftwareHost> sw = std::make_shared<host::SoftwareHost>();
    host::ScopedHost use{sw};
};

TEST_F(Capture, TraceArrivesWhenTheRunStopsOnCapture) {
    s().settings.set(&Settings::stop_on_capture, true);
    s().sources.set({"Main", "Sub"});
    s().traces.set({make_trace("m", "Main", s().position.peek())});
    s().pending_capture.set(make_trace("old", "Main", "elsewhere"));
    run();
    capture_trace(s());
    EXPECT_FALSE(s().analyzer.peek());
    EXPECT_EQ(s().snapshot.peek().status, "Stopped");
    EXPECT_EQ(s().pending_capture.peek(), std::nullopt);  // the older one is forgotten
    EXPECT_EQ(s().prompt.peek(), (Prompt{Prompt::Capture{"Sub"}}));
    ASSERT_TRUE(drive([&] { return s().pending_capture.peek().has_value(); }));
    EXPECT_EQ(s().pending_capture.peek()->fs, 48000u);
}

TEST_F(Capture, TraceArrivesWhileTheRunGoesOn) {
    run();
    capture_trace(s());
    EXPECT_TRUE(s().analyzer.peek());
    EXPECT_EQ(s().prompt.peek(), (Prompt{Prompt::Capture{""}}));
    ASSERT_TRUE(drive([&] { return s().pending_capture.peek().has_value(); }));
}

TEST_F(Capture, NothingWithoutARun) {
    capture_trace(s());  // not running
    s().snapshot.update([](engine::analyzer::Snapshot& x) { x.running = true; });
    capture_trace(s());  // running, but no analyzer
    EXPECT_EQ(s().prompt.peek(), std::nullopt);
}

TEST_F(Capture, ReplyClosedWithoutATraceStoresNothing) {
    auto [tx, rx] = base::channel<Trace>();
    bool done = false;
    auto waiting = [](WindowState st, base::Receiver<Trace> reply, bool* finished) -> reactive::Task<void> {
        auto task = await_capture(std::move(st), std::move(reply));
        co_await std::move(task);
        *finished = true;
    };
    reactive::spawn_root(waiting(s(), std::move(rx), &done));
    tx = base::Sender<Trace>();  // the analyzer ended before answering
    ASSERT_TRUE(drive([&] { return done; }));
    EXPECT_EQ(s().pending_capture.peek(), std::nullopt);
}

TEST_F(Capture, ProposedSource) {
    const std::string here = s().position.peek();
    struct Case {
        std::vector<std::string> sources;
        std::vector<std::pair<std::string, std::string>> traces;  // (source, position)
        std::optional<std::string> selected;
        std::string proposed;
    };
    const Case cases[] = {
        {{}, {}, std::nullopt, ""},
        {{"Main", "Sub"}, {}, std::nullopt, "Main"},
        {{"Main", "Sub"}, {{"Main", here}}, std::nullopt, "Sub"},
        {{"Main", "Sub"}, {{"Main", "elsewhere"}}, std::nullopt, "Main"},
        {{"Main", "Sub"}, {{"Main", here}, {"Sub", here}}, std::nullopt, "Main"},
        {{"Main", "Sub"}, {{"Main", here}}, "Main", "Main"},
        {{"Main", "Sub"}, {{"Main", here}}, "Gone", "Sub"},
    };
    for (const auto& c : cases) {
        std::vector<Trace> traces;
        for (const auto& [source, position] : c.traces) traces.push_back(make_trace("t", source, position));
        s().sources.set(c.sources);
        s().traces.set(traces);
        s().selected_source.set(c.selected);
        EXPECT_EQ(proposed_capture_source(s()), c.proposed) << c.proposed;
    }
}

}  // namespace
}  // namespace ui::main_window::testing
