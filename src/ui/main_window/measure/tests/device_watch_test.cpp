// The device-list watch with a scripted device-list channel: the first
// input, the published lists, and the pause and resume of the analyzer and
// the SPL meter when their device goes and comes back. The workers run on a
// software audio host; the refresh loop's passes run on the virtual clock.
#include "audio-watcher/software_host.h"
#include "ui/main_window/measure/device_watch.h"
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/measure/refresh.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

namespace host = audio_watcher::host;
using engine::capture::AudioDevice;
using engine::capture::DeviceList;
using engine::settings::View;

const AudioDevice IN{.id = "software:in", .name = "In"};
const AudioDevice OUT{.id = "software:out", .name = "Out"};
const AudioDevice MIC{.id = "software:mic", .name = "Mic"};

class DeviceWatch : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        sw->add_device({.id = "in", .name = "In", .input_channels = 2});
        sw->add_device({.id = "mic", .name = "Mic", .input_channels = 1});
        sw->add_device({.id = "out", .name = "Out", .output_channels = 2});
        install_measurement(s());
        reactive::spawn_root(watch_devices(s(), [this](reactive::AsyncSender<DeviceLists> tx) { lists = std::move(tx); }));
        settle();
    }
    void TearDown() override {
        s().analyzer.set(std::nullopt);
        s().meter.set(std::nullopt);
        Window::TearDown();
    }
    void send(DeviceList inputs, DeviceList outputs = {}) {
        ASSERT_TRUE(lists.send({std::move(inputs), std::move(outputs)}));
        settle();
    }
    void choose_input() {
        s().settings.update([](Settings& x) {
            x.host = "Software";
            x.device = IN.id;
            x.device_name = IN.name;
        });
    }
    // A run as the window sees it once the refresh loop copied its snapshot.
    void run() {
        start_analyzer(s());
        ASSERT_TRUE(s().analyzer.peek());
        s().snapshot.update([](engine::analyzer::Snapshot& x) {
            x.running = true;
            x.status = "Live";
        });
    }

    std::shared_ptr<host::SoftwareHost> sw = std::make_shared<host::SoftwareHost>();
    host::ScopedHost use{sw};
    reactive::AsyncSender<DeviceLists> lists;
};

TEST_F(DeviceWatch, FirstInputIsChosenAndListsArePublished) {
    send({{"Software", {IN, MIC}}, {"Other", {AudioDevice{.id = "other:x", .name = "X"}}}}, {{"Software", {OUT}}});
    const Settings c = s().settings.peek();
    EXPECT_EQ(c.host, "Software");
    EXPECT_EQ(c.device, IN.id);
    EXPECT_EQ(c.device_name, "In");
    EXPECT_EQ(c.spl_input.device, "");
    EXPECT_EQ(Settings::load_from(data_).device, IN.id);
    EXPECT_EQ(s().output_devices.peek(), (DeviceList{{"Software", {OUT}}}));

    // The same lists again still rewrite the cells; no inputs leave the settings alone.
    s().input_devices.set({});
    send({{"Software", {IN, MIC}}, {"Other", {AudioDevice{.id = "other:x", .name = "X"}}}}, {{"Software", {OUT}}});
    EXPECT_EQ(s().input_devices.peek().size(), 2u);
    send({});
    EXPECT_EQ(s().settings.peek().device, IN.id);
    EXPECT_TRUE(s().input_devices.peek().empty());
}

TEST_F(DeviceWatch, UnpluggedInputPausesTheRunAndItRestartsWhenItReturns) {
    choose_input();
    send({{"Software", {IN}}});
    run();
    send({{"Software", {MIC}}});
    EXPECT_FALSE(s().analyzer.peek());
    EXPECT_TRUE(s().waiting_for_device.peek());
    EXPECT_EQ(s().snapshot.peek().status, "Waiting for In");
    EXPECT_TRUE(s().snapshot.peek().warn);
    EXPECT_FALSE(s().snapshot.peek().running);

    send({{"Software", {MIC}}});  // still gone: still waiting
    EXPECT_FALSE(s().analyzer.peek());
    send({{"Software", {IN, MIC}}});
    EXPECT_TRUE(s().analyzer.peek());
    EXPECT_FALSE(s().waiting_for_device.peek());
}

TEST_F(DeviceWatch, OutputIsMatchedByIdAndPausesTheRunAlone) {
    choose_input();
    s().settings.update([](Settings& x) { x.out_device = OUT.id; });
    send({{"Software", {IN}}}, {{"Software", {OUT}}});
    run();
    // Updates that list both devices leave the run alone.
    send({{"Software", {IN, MIC}}}, {{"Software", {OUT}}});
    EXPECT_TRUE(s().analyzer.peek());
    EXPECT_FALSE(s().waiting_for_device.peek());
    // The output under another host, or gone: the run pauses, named by its input.
    send({{"Software", {IN}}}, {{"Other", {OUT}}});
    EXPECT_FALSE(s().analyzer.peek());
    EXPECT_EQ(s().snapshot.peek().status, "Waiting for In");
    send({{"Software", {IN}}}, {{"Software", {OUT}}});
    EXPECT_TRUE(s().analyzer.peek());
}

// The device goes between the listing that starts a run and its opening:
// the run that could not open it waits for it, and starts when it returns.
TEST_F(DeviceWatch, ARunThatCouldNotOpenItsMissingDeviceWaitsForIt) {
    choose_input();
    send({{"Software", {IN}}});
    for (const std::string what : {"input", "output"}) {
        SCOPED_TRACE(what);
        s().analyzer.set(std::nullopt);
        s().snapshot.update([&](engine::analyzer::Snapshot& x) {
            x.running = false;
            x.warn = true;
            x.status = "Cannot open " + what + ": audio device not found";
        });
        send({{"Software", {MIC}}});
        EXPECT_TRUE(s().waiting_for_device.peek());
        EXPECT_EQ(s().snapshot.peek().status, "Waiting for In");
        EXPECT_TRUE(s().snapshot.peek().warn);
        EXPECT_FALSE(s().analyzer.peek());
        send({{"Software", {IN, MIC}}});
        EXPECT_TRUE(s().analyzer.peek());
        EXPECT_FALSE(s().waiting_for_device.peek());
        // Back before any listing without it: started again at once.
        s().analyzer.set(std::nullopt);
        s().snapshot.update([&](engine::analyzer::Snapshot& x) {
            x.running = false;
            x.warn = true;
            x.status = "Cannot open " + what + ": audio device not found";
        });
        send({{"Software", {IN, MIC}}});
        EXPECT_TRUE(s().analyzer.peek());
    }
    // A run stopped by the user, or one that failed otherwise, is left alone.
    for (const auto& [status, warn] : std::vector<std::pair<std::string, bool>>{
             {"Stopped", false},
             {"Input stream failed, start again", true},
             {"Cannot open input: the JACK server runs at 44100 Hz", true}}) {
        SCOPED_TRACE(status);
        s().analyzer.set(std::nullopt);
        s().snapshot.update([&](engine::analyzer::Snapshot& x) {
            x.running = false;
            x.warn = warn;
            x.status = status;
        });
        send({{"Software", {MIC}}});
        send({{"Software", {IN, MIC}}});
        EXPECT_FALSE(s().waiting_for_device.peek());
        EXPECT_FALSE(s().analyzer.peek());
        EXPECT_EQ(s().snapshot.peek().status, status);
    }
}

TEST_F(DeviceWatch, NotRunningNothingStarts) {
    choose_input();
    send({{"Software", {MIC}}});
    send({{"Software", {IN}}});
    EXPECT_FALSE(s().analyzer.peek());
    EXPECT_FALSE(s().waiting_for_device.peek());
}

TEST_F(DeviceWatch, MeterPausesAndTheRefreshLoopRestartsIt) {
    s().settings.update([](Settings& x) {
        x.view = View::Spl;
        x.spl_input.host = "Software";
        x.spl_input.device = MIC.id;
        x.spl_input.device_name = MIC.name;
    });
    send({{"Software", {IN, MIC}}});
    EXPECT_EQ(s().settings.peek().device, IN.id);  // the transfer input is filled in
    Refresh refresh(s(), Workers::of(s()), [](std::vector<PlotUpdate>) -> base::Result<void> { return {}; });
    reactive::Instant now{};
    const auto pass = [&] {
        now += std::chrono::milliseconds(33);
        refresh.pass(now);
    };
    pass();
    ASSERT_TRUE(s().meter.peek());

    send({{"Software", {IN}}});
    EXPECT_FALSE(s().meter.peek());
    EXPECT_TRUE(s().waiting_for_device.peek());
    EXPECT_EQ(s().meter_snapshot.peek().status, "Waiting for Mic");
    EXPECT_TRUE(s().meter_snapshot.peek().warn);
    for (int i = 0; i < 90; ++i) pass();  // no meter while its device is gone
    EXPECT_FALSE(s().meter.peek());

    send({{"Software", {IN, MIC}}});
    EXPECT_FALSE(s().waiting_for_device.peek());
    pass();
    EXPECT_TRUE(s().meter.peek());
}

}  // namespace
}  // namespace ui::main_window::testing
