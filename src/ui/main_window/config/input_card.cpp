#include "ui/main_window/config/input_card.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "api/client.h"
#include "base/utf8.h"
#include "engine/core/miccal.h"
#include "reactive/root.h"
#include "shared-ui/icons.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

using engine::settings::Input;
using engine::settings::View;
using namespace shared_ui::components;

namespace {

std::optional<AudioDevice> find_device(const std::vector<AudioDevice>& devices, std::string_view id) {
    for (const auto& d : devices)
        if (d.id == id) return d;
    return std::nullopt;
}

// The last index of a device's channels at a rate (0 for a device without any).
std::size_t last_channel(const AudioDevice& d, std::uint32_t rate) {
    const std::size_t c = channels_at(d, rate);
    return c == 0 ? 0 : c - 1;
}

// Changes the input of the view through the store and restarts the worker.
template <class F>
void change_input(const WindowState& s, bool spl, F&& change) {
    change_and_restart(s, [&](Settings& x) {
        Input in = x.input_of(spl);
        change(x, in);
        x.set_input(spl, std::move(in));
    });
}

// Reads the input of the view, subscribing to its fields only.
Input read_input(const SettingsStore& st, bool spl) {
    if (spl) return st.get(&Settings::spl_input);
    return Input{st.get(&Settings::host),        st.get(&Settings::device),      st.get(&Settings::device_name),
                 st.get(&Settings::mic_channel), st.get(&Settings::sample_rate), st.get(&Settings::mic_cal_path)};
}

}  // namespace

Choices channel_label(std::size_t n) {
    Choices out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.emplace_back(std::to_string(i), fmt::format("Ch {}", i + 1));
    return out;
}

std::size_t channels_at(const AudioDevice& device, std::uint32_t rate) {
    for (const auto& [r, c] : device.rates)
        if (r == rate) return c;
    return device.channels;
}

std::vector<AudioDevice> devices_of(const engine::capture::DeviceList& list, std::string_view host) {
    for (const auto& [name, devices] : list)
        if (name == host) return devices;
    return {};
}

std::string mic_cal_label(std::string_view path) {
    const std::filesystem::path p{std::string(path)};
    const auto name = p.filename();
    if (name.empty() || name == "." || name == "..") return "None";
    const std::string text = base::utf8::lossy(name.string());
    std::error_code ec;
    const auto st = std::filesystem::status(p, ec);
    if (ec || st.type() == std::filesystem::file_type::not_found) return text + " (missing)";
    return text;
}

void choose_host(const WindowState& s, bool spl, const Choice& chosen) {
    const auto& devices = devices_of(s.input_devices.peek(), chosen.first);
    const std::optional<AudioDevice> first = devices.empty() ? std::nullopt : std::optional(devices.front());
    change_and_restart(s, [&](Settings& x) {
        Input in = x.input_of(spl);
        in.host = chosen.first;
        in.device = first ? first->id : std::string();
        in.device_name = first ? first->name : std::string();
        x.set_input(spl, std::move(in));
        // The generator output belongs to the transfer input's host.
        if (!spl) x.out_device.clear();
    });
}

void choose_device(const WindowState& s, bool spl, const std::vector<AudioDevice>& listed, std::uint32_t rate,
                   const Choice& chosen) {
    const auto device = find_device(listed, chosen.first);
    if (!device) return;
    const std::size_t last = last_channel(*device, rate);
    change_and_restart(s, [&](Settings& x) {
        Input in = x.input_of(spl);
        in.device = device->id;
        in.device_name = device->name;
        in.mic_channel = std::min<std::uint64_t>(last, in.mic_channel);
        x.set_input(spl, std::move(in));
        if (!spl) x.ref_channel = std::min<std::uint64_t>(last, x.ref_channel);
    });
}

void choose_mic_channel(const WindowState& s, bool spl, const Choice& chosen) {
    const auto v = parse_key<std::uint64_t>(chosen.first).value_or(0);
    change_input(s, spl, [&](Settings&, Input& in) { in.mic_channel = v; });
}

void choose_ref_channel(const WindowState& s, const Choice& chosen) {
    if (chosen.first == "gen") {
        change_and_restart(s, [](Settings& x) { x.ref_internal = true; });
        return;
    }
    const auto v = parse_key<std::uint64_t>(chosen.first).value_or(1);
    change_and_restart(s, [&](Settings& x) {
        x.ref_internal = false;
        x.ref_channel = v;
    });
}

void choose_sample_rate(const WindowState& s, bool spl, const std::optional<AudioDevice>& input,
                        const std::optional<AudioDevice>& output, const Choice& chosen) {
    const auto rate = parse_key<std::uint32_t>(chosen.first).value_or(48000);
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    const std::size_t f = input ? last_channel(*input, rate) : none;
    const std::size_t g = output ? last_channel(*output, rate) : none;
    change_and_restart(s, [&](Settings& x) {
        Input in = x.input_of(spl);
        in.sample_rate = rate;
        in.mic_channel = std::min<std::uint64_t>(f, in.mic_channel);
        x.set_input(spl, std::move(in));
        if (!spl) {
            x.ref_channel = std::min<std::uint64_t>(f, x.ref_channel);
            x.out_channel = std::min<std::uint64_t>(g, x.out_channel);
        }
    });
}

void clear_mic_cal(Settings& settings, bool spl) {
    Input in = settings.input_of(spl);
    in.mic_cal_path.clear();
    settings.set_input(spl, std::move(in));
}

void clear_mic_cal_button(const WindowState& s, bool spl) {
    change_and_restart(s, [spl](Settings& x) { clear_mic_cal(x, spl); });
}

reactive::Task<void> pick_mic_cal(WindowState s, bool spl) {
    co_await dialog_pause();
    if (!s.host || !s.host->open_panel) co_return;
    auto choosing = s.host->open_panel(FilePanel{.title = "Microphone calibration file",
                                                 .suggested_name = {},
                                                 .folder = std::nullopt,
                                                 .filter_name = "Calibration",
                                                 .extensions = {"txt", "cal", "frd", "csv"}});
    const auto chosen = co_await std::move(choosing);
    if (!chosen) co_return;
    const std::filesystem::path file = *chosen;
    // Read and checked on the blocking pool: a calibration file may be large.
    auto checking = reactive::spawn_blocking([file]() -> base::Result<std::vector<engine::miccal::Pair>> {
        auto text = api::client::read_file(file);
        if (!text) return base::fail(text.error());
        return engine::miccal::parse(*text);
    });
    const auto pairs = co_await std::move(checking);
    if (!pairs) {
        s.notice.set(fmt::format("Not a calibration file: {}", pairs.error()));
        co_return;
    }
    s.notice.set(fmt::format("Mic calibration: {} points, {:.0f} Hz..{:.0f} Hz", pairs->size(), pairs->front().hz,
                             pairs->back().hz));
    const std::string path = base::utf8::lossy(file.string());
    change_input(s, spl, [&](Settings&, Input& in) { in.mic_cal_path = path; });
}

reactive::Element input_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const bool spl = st.get(&Settings::view) == View::Spl;
    const Input in = read_input(st, spl);
    const auto& inputs = s.input_devices();
    const std::vector<AudioDevice> listed = devices_of(inputs, in.host);
    const auto device = find_device(listed, in.device);
    const std::size_t channels = device ? channels_at(*device, in.sample_rate) : 2;
    // The generator's output device, for the rate change's clamping.
    std::optional<AudioDevice> output;
    if (!spl) output = find_device(devices_of(s.output_devices(), st.get(&Settings::host)), st.get(&Settings::out_device));

    auto on_host = reactive::use_callback<Choice>([s, spl](Choice c) { choose_host(s, spl, c); });
    auto on_device = reactive::use_callback<Choice>(
        [s, spl, listed, rate = in.sample_rate](Choice c) { choose_device(s, spl, listed, rate, c); });
    auto on_mic = reactive::use_callback<Choice>([s, spl](Choice c) { choose_mic_channel(s, spl, c); });
    auto on_ref = reactive::use_callback<Choice>([s](Choice c) { choose_ref_channel(s, c); });
    auto on_rate = reactive::use_callback<Choice>(
        [s, spl, device, output](Choice c) { choose_sample_rate(s, spl, device, output, c); });
    auto on_pick = reactive::use_callback<const reactive::MouseEvent&>(
        [s, spl](const reactive::MouseEvent&) { reactive::spawn(pick_mic_cal(s, spl)); });
    auto on_clear =
        reactive::use_callback<const reactive::MouseEvent&>([s, spl](const reactive::MouseEvent&) { clear_mic_cal_button(s, spl); });

    Choices hosts;
    for (const auto& [name, devices] : inputs) hosts.emplace_back(name, name);
    Choices devices;
    for (const auto& d : listed) devices.emplace_back(d.id, d.name);
    if (!in.device.empty() && !device) devices.emplace_back(in.device, fmt::format("{} (unplugged)", in.device_name));
    const Choices mics = channel_label(channels);
    Choices rates;
    for (const auto r : engine::capture::STANDARD_RATES) rates.emplace_back(std::to_string(r), fmt::format("{} Hz", r));

    std::vector<reactive::Element> rows;
    rows.push_back(row("Driver", choose(hosts, in.host, on_host)));
    rows.push_back(row("Device", choose(devices, in.device, on_device)));
    rows.push_back(row("Mic", choose(mics, std::to_string(in.mic_channel), on_mic)));
    if (!spl) {
        Choices refs = mics;
        refs.emplace_back("gen", "Generator");
        const std::string current =
            st.get(&Settings::ref_internal) ? std::string("gen") : std::to_string(st.get(&Settings::ref_channel));
        rows.push_back(row("Ref", choose(std::move(refs), current, on_ref)));
    }
    rows.push_back(row("Rate", choose(std::move(rates), std::to_string(in.sample_rate), on_rate)));
    std::vector<reactive::Element> cal;
    cal.push_back(reactive::component(
        button::default_button,
        button::ButtonProps{.label = mic_cal_label(in.mic_cal_path),
                            .hint = "Microphone calibration file: one 'Hz, dB' pair per line as the mic vendor ships it",
                            .fill = true,
                            .align = button::LabelAlign::Left,
                            .onclick = on_pick},
        "default_button"));
    if (!in.mic_cal_path.empty())
        cal.push_back(reactive::component(button::default_button,
                                          button::ButtonProps{.button_type = button::ButtonType::Flat,
                                                              .icon = shared_ui::icons::DELETE,
                                                              .hint = "No microphone calibration",
                                                              .onclick = on_clear},
                                          "default_button"));
    rows.push_back(controls_row("Mic cal", std::move(cal)));
    return card(spl ? "vt-card wide" : "vt-card", spl ? "SPL Input" : "Input", std::move(rows));
}

}  // namespace ui::main_window
