#include "ui/main_window/measure/measurement.h"

#include <fmt/format.h>

#include "base/log.h"
#include "engine/core/miccal.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/measure/capture.h"

namespace ui::main_window {

using engine::analyzer::Cmd;
using engine::settings::SettingsStoreImplExt;
using engine::settings::View;

engine::analyzer::Params analyzer_params(const Settings& c) {
    engine::analyzer::Params p;
    p.host = c.host;
    p.device = c.device;
    p.out_device = c.out_device;
    p.mic_cal = c.mic_cal_path.empty() ? std::vector<float>{} : engine::miccal::load(c.mic_cal_path);
    p.gen = engine::generator::GenParams{c.sine_hz, c.sweep_secs, c.gen_db, c.signal};
    p.mic_channel = c.mic_channel;
    p.ref_channel = c.ref_channel;
    p.out_channel = c.out_channel;
    p.average_secs = c.average_secs;
    p.coherence_threshold = c.coherence_threshold;
    p.cycles = c.cycles;
    p.sample_rate = c.sample_rate;
    p.delay_ms = c.delay_ms;
    p.ref_internal = c.ref_internal;
    p.accumulate = c.accumulate;
    return p;
}

engine::meter::Params meter_params(const Settings& c) {
    engine::meter::Params p;
    p.host = c.spl_input.host;
    p.device = c.spl_input.device;
    p.mic_cal = c.spl_input.mic_cal_path.empty() ? std::vector<float>{} : engine::miccal::load(c.spl_input.mic_cal_path);
    p.mic_channel = c.spl_input.mic_channel;
    p.fft_size = c.spl_fft;
    p.leq_windows = {c.spl_leq_short_secs, c.spl_leq_long_secs};
    p.sample_rate = c.spl_input.sample_rate;
    p.peak_decay = c.spl_peak_decay;
    p.response = c.spl_response;
    return p;
}

void start_measurement(const WindowState& s) {
    if (s.settings.peek().find_on_start) {
        show_dialog(s, Dialog{Dialog::StartMeasurement{}});
        return;
    }
    start_analyzer(s);
}

void start_analyzer(const WindowState& s) {
    s.waiting_for_device.set(false);
    s.delay_panel.set(false);
    s.show_predicted.set(false);
    s.alignment.set(std::nullopt);
    s.notice.set("");
    const Settings c = s.settings.peek();
    if (c.device.empty()) {
        s.snapshot.update([](engine::analyzer::Snapshot& x) {
            x.status = "Pick an input device first";
            x.warn = true;
        });
        return;
    }
    s.analyzer.set(std::nullopt);
    auto started = engine::analyzer::Analyzer::start(analyzer_params(c));
    if (!started) {
        // No handle without a thread: the failure is shown as a stopped warning.
        base::log::error(LOG_TARGET, fmt::format("analyzer thread: {}", started.error()));
        s.snapshot.update([&](engine::analyzer::Snapshot& x) {
            x.status = fmt::format("Cannot start the analyzer: {}", started.error());
            x.warn = true;
            x.running = false;
        });
        return;
    }
    s.analyzer.set(std::move(*started));
    if (c.find_on_start) {
        s.analyzer.peek()->send(Cmd{Cmd::FindDelay{}});
        s.auto_delay.set(true);
        s.delay_found_at.set(std::nullopt);
    }
}

void stop_analyzer(const WindowState& s) {
    s.waiting_for_device.set(false);
    s.delay_panel.set(false);
    s.auto_delay.set(false);
    s.delay_found_at.set(std::nullopt);
    s.analyzer.set(std::nullopt);
    s.notice.set("");
    s.snapshot.update([](engine::analyzer::Snapshot& x) {
        x.running = false;
        x.status = "Stopped";
        x.warn = false;
    });
}

void start_meter(const WindowState& s) {
    if (s.settings.peek().spl_input.device.empty()) {
        auto input = s.settings.peek().input_of(false);
        if (input.device.empty()) return;
        SettingsStoreImplExt::update(s.settings, [&](Settings& x) { x.spl_input = std::move(input); });
    }
    const Settings c = s.settings.peek();
    s.waiting_for_device.set(false);
    s.meter.set(std::nullopt);
    s.meter.set(engine::meter::Meter::start(meter_params(c)));
}

void set_view(const WindowState& s, View view) {
    SettingsStoreImplExt::update(s.settings, [view](Settings& x) { x.view = view; });
    s.waiting_for_device.set(false);
    if (view == View::Spl) stop_analyzer(s);
    else s.meter.set(std::nullopt);
}

void refind_delay(const WindowState& s) {
    if (!s.analyzer.peek()) return;
    s.auto_delay.set(false);
    s.delay_found_at.set(std::nullopt);
    s.delay_panel.set(true);
    s.analyzer.peek()->send(Cmd{Cmd::FindDelay{}});
}

namespace {
void end_search(const WindowState& s) {
    s.delay_panel.set(false);
    s.auto_delay.set(false);
    s.delay_found_at.set(std::nullopt);
}
}  // namespace

void keep_delay(const WindowState& s) {
    end_search(s);
    if (const auto& a = s.analyzer.peek()) a->send(Cmd{Cmd::KeepDelay{}});
}

void apply_found_delay(const WindowState& s) {
    end_search(s);
    const auto found = s.snapshot.peek().found;
    if (const auto& a = s.analyzer.peek(); a && found) a->send(Cmd{Cmd::SetDelay{*found}});
}

void restart_worker(const WindowState& s) {
    if (s.settings.peek().view == View::Spl) {
        if (s.meter.peek()) start_meter(s);
    } else if (s.snapshot.peek().running) {
        start_analyzer(s);
    }
}

void set_accumulate(const WindowState& s, bool on) {
    SettingsStoreImplExt::update(s.settings, [on](Settings& x) { x.accumulate = on; });
    if (const auto& a = s.analyzer.peek()) a->send(Cmd{Cmd::SetAccumulate{on}});
}

void toggle_run(const WindowState& s) {
    if (s.snapshot.peek().running) stop_analyzer(s);
    else start_measurement(s);
}

void install_measurement(WindowState& s) {
    s.start_analyzer = [st = s] { start_analyzer(st); };
    s.start_meter = [st = s] { start_meter(st); };
    s.restart_worker = [st = s] { restart_worker(st); };
    s.capture_trace = [st = s] { capture_trace(st); };
}

}  // namespace ui::main_window
