#include "ui/main_window/measure/device_watch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "base/log.h"
#include "ui/main_window/measure/measurement.h"

namespace ui::main_window {

using engine::settings::SettingsStoreImplExt;
using engine::settings::View;

namespace {

bool listed(const engine::capture::DeviceList& list, const std::string& host, const std::string& id) {
    return std::any_of(list.begin(), list.end(), [&](const auto& entry) {
        return entry.first == host && std::any_of(entry.second.begin(), entry.second.end(),
                                                  [&](const engine::capture::AudioDevice& d) { return d.id == id; });
    });
}

[[noreturn]] void spawn_failed(const std::system_error& e) {
    base::log::error(LOG_TARGET, fmt::format("failed to spawn thread: {}", e.what()));
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
}

}  // namespace

void start_device_list_thread(reactive::AsyncSender<DeviceLists> tx) {
    // The device-list thread sends on a thread channel; a second thread
    // carries each pair over to the window's channel and ends when the
    // window has gone.
    auto [lists_tx, lists_rx] = base::channel<DeviceLists>();
    try {
        std::thread(
            [rx = std::move(lists_rx), tx = std::move(tx)]() mutable {
                while (auto lists = rx.recv())
                    if (!tx.send(std::move(*lists))) break;
            })
            .detach();
        std::thread([tx = std::move(lists_tx)]() mutable { device_list_thread(std::move(tx)); }).detach();
    } catch (const std::system_error& e) {
        spawn_failed(e);
    }
}

bool device_present(const Settings& settings, const DeviceLists& lists) {
    const bool spl = settings.view == View::Spl;
    const auto input = settings.input_of(spl);
    if (!listed(lists.first, input.host, input.device)) return false;
    if (!spl && !settings.out_device.empty() && !listed(lists.second, settings.host, settings.out_device))
        return false;
    return true;
}

void apply_device_lists(const WindowState& s, const DeviceLists& lists) {
    const auto& [inputs, outputs] = lists;
    if (s.settings.peek().device.empty() && !inputs.empty() && !inputs.front().second.empty()) {
        const auto& [host, devices] = inputs.front();
        SettingsStoreImplExt::update(s.settings, [&](Settings& x) {
            x.host = host;
            x.device = devices.front().id;
            x.device_name = devices.front().name;
        });
    }
    const Settings settings = s.settings.peek();
    const bool spl = settings.view == View::Spl;
    const auto input = settings.input_of(spl);
    const bool present = device_present(settings, lists);
    s.input_devices.set(inputs);
    s.output_devices.set(outputs);
    const auto waiting_for = fmt::format("Waiting for {}", input.device_name);

    if (spl) {
        const auto& meter = s.meter.peek();
        if (meter && !present) {
            s.meter.set(std::nullopt);
            s.waiting_for_device.set(true);
            s.meter_snapshot.update([&](engine::meter::MeterSnapshot& m) {
                m.warn = true;
                m.running = false;
                m.status = waiting_for;
            });
        } else if (meter && present && !meter->snapshot().running) {
            s.meter.set(std::nullopt);
            s.waiting_for_device.set(false);
        } else if (present && s.waiting_for_device.peek()) {
            s.waiting_for_device.set(false);
        }
        return;
    }
    // A run that could not open its device because it was not there (it
    // went between the listing that started the run and the opening) waits
    // for it like a run that lost it, and starts again once it is listed;
    // otherwise nothing would start it when the device returns.
    const auto& shown = s.snapshot.peek();
    const bool open_failed = !shown.running && shown.warn && shown.status.starts_with("Cannot open ") &&
                             shown.status.ends_with(engine::capture::DEVICE_NOT_FOUND);
    if (open_failed && present && !s.analyzer.peek()) {
        start_analyzer(s);
    } else if ((shown.running || open_failed) && !present) {
        stop_analyzer(s);
        s.waiting_for_device.set(true);
        s.snapshot.update([&](engine::analyzer::Snapshot& x) {
            x.warn = true;
            x.running = false;
            x.status = waiting_for;
        });
    } else if (present && s.waiting_for_device.peek()) {
        start_analyzer(s);
    }
}

reactive::Task<void> watch_devices(WindowState s, DeviceListSource source) {
    auto [tx, rx] = reactive::channel<DeviceLists>();
    source(std::move(tx));
    for (;;) {
        auto next = rx.recv();
        auto lists = co_await next;
        if (!lists) co_return;
        apply_device_lists(s, *lists);
    }
}

}  // namespace ui::main_window
