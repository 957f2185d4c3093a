// Measurement control without audio devices: what happens before a worker starts.
#include "ui/main_window/measure/measurement.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using Measurement = Window;

TEST_F(Measurement, RunWithoutAnInputDeviceAsksForOne) {
    s().show_predicted.set(true);
    s().notice.set("old");
    start_measurement(s());
    EXPECT_FALSE(s().analyzer.peek());
    EXPECT_EQ(s().snapshot.peek().status, "Pick an input device first");
    EXPECT_TRUE(s().snapshot.peek().warn);
    EXPECT_FALSE(s().show_predicted.peek());
    EXPECT_EQ(s().notice.peek(), "");
}

TEST_F(Measurement, FindOnStartAsksFirst) {
    s().settings.set(&Settings::find_on_start, true);
    toggle_run(s());
    ASSERT_TRUE(s().dialog.peek());
    EXPECT_TRUE(s().dialog.peek()->is<Dialog::StartMeasurement>());
    EXPECT_FALSE(s().analyzer.peek());
}

TEST_F(Measurement, StopShowsStopped) {
    s().snapshot.update([](auto& x) {
        x.running = true;
        x.warn = true;
    });
    s().auto_delay.set(true);
    s().delay_panel.set(true);
    s().waiting_for_device.set(true);
    toggle_run(s());
    EXPECT_EQ(s().snapshot.peek().status, "Stopped");
    EXPECT_FALSE(s().snapshot.peek().running);
    EXPECT_FALSE(s().snapshot.peek().warn);
    EXPECT_FALSE(s().auto_delay.peek());
    EXPECT_FALSE(s().delay_panel.peek());
    EXPECT_FALSE(s().waiting_for_device.peek());
}

TEST_F(Measurement, MeterTakesTheTransferInputWhenItHasNone) {
    // Without any input nothing starts and nothing is said.
    start_meter(s());
    EXPECT_FALSE(s().meter.peek());
    EXPECT_EQ(s().settings.peek().spl_input.device, "");
}

TEST_F(Measurement, Params) {
    Settings c;
    c.host = "JACK";
    c.device = "jack:system";
    c.out_device = "jack:system";
    c.find_on_start = true;
    c.delay_ms = 2.5f;
    c.spl_input.device = "jack:mic";
    c.spl_fft = 16384;
    const auto a = analyzer_params(c);
    EXPECT_EQ(a.device, "jack:system");
    EXPECT_EQ(a.out_device, "jack:system");  // the id, as the device lists and the analyzer use it
    EXPECT_FLOAT_EQ(a.delay_ms, 2.5f);
    EXPECT_TRUE(a.mic_cal.empty());
    const auto m = meter_params(c);
    EXPECT_EQ(m.device, "jack:mic");
    EXPECT_EQ(m.fft_size, 16384u);
}

}  // namespace
}  // namespace ui::main_window::testing
