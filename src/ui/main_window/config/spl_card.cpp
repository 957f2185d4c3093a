#include "ui/main_window/config/spl_card.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "reactive/root.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

using engine::meter::Cmd;
using engine::settings::Response;
using engine::settings::SettingsStoreImplExt;
using engine::settings::Weighting;

namespace {
constexpr std::pair<Weighting, const char*> WEIGHTINGS[] = {
    {Weighting::Z, "Z (flat)"}, {Weighting::A, "A (ear, noise limits)"}, {Weighting::C, "C (near flat, peaks)"}};
constexpr std::pair<Response, const char*> RESPONSES[] = {
    {Response::Fast, "Fast (~125 ms)"}, {Response::Medium, "Medium (~500 ms)"}, {Response::Slow, "Slow (~1 s)"}};
constexpr std::uint64_t FFT_SIZES[] = {8192, 16384, 32768};
constexpr float PEAK_DECAYS[] = {0, 3, 6, 12, 24};
constexpr std::uint32_t LEQ_SECS[] = {15, 30, 60, 300, 900, 3600};
constexpr std::pair<std::uint8_t, const char*> SMOOTHINGS[] = {
    {0, "1/24 octave"}, {12, "1/12 octave"}, {6, "1/6 octave"}, {3, "1/3 octave"}, {1, "1 octave"}};
// Bounds of the stored levels and the smallest span of the range.
constexpr float LEVEL_LIMIT = 200.0f;
constexpr float RANGE_SPAN = 10.0f;

// A stepper value as a 32-bit float (NaN stays NaN; out of range saturates).
float narrow(double v) {
    constexpr double m = std::numeric_limits<float>::max();
    return std::isnan(v) ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(std::clamp(v, -m, m));
}

void send_leq(const WindowState& s, const CardWorkers& w) {
    if (!w.has_meter()) return;
    const Settings& x = s.settings.peek();
    w.send_meter(Cmd{Cmd::SetLeqWindows{x.spl_leq_short_secs, x.spl_leq_long_secs}});
}

std::string leq_label(std::uint32_t secs) {
    return secs < 60 ? fmt::format("{} s", secs) : fmt::format("{} min", secs / 60);
}
}  // namespace

std::string fft_label(std::uint64_t size, std::uint32_t rate) {
    if (rate == 0 || size == 0) return std::to_string(size);
    const double n = static_cast<double>(size), fs = rate;
    return fmt::format("{} · {:.1f} Hz · {:.0f} ms", size, fs / n, n / fs * 1000.0);
}

void set_spl_fft(Settings& settings, std::uint64_t size) { settings.spl_fft = size; }

void choose_weighting(const WindowState& s, const Choice& chosen) {
    for (const auto& [weighting, key] : WEIGHTINGS)
        if (chosen.first == key)
            return SettingsStoreImplExt::update(s.settings, [w = weighting](Settings& x) { x.weighting = w; });
}

void choose_response(const WindowState& s, const CardWorkers& w, const Choice& chosen) {
    for (const auto& [response, key] : RESPONSES) {
        if (chosen.first != key) continue;
        SettingsStoreImplExt::update(s.settings, [r = response](Settings& x) { x.spl_response = r; });
        if (w.has_meter()) w.send_meter(Cmd{Cmd::SetResponse{response}});
        return;
    }
}

void choose_spl_fft(const WindowState& s, const Choice& chosen) {
    const auto n = parse_key<std::uint64_t>(chosen.first).value_or(8192);
    change_and_restart(s, [n](Settings& x) { set_spl_fft(x, n); });
}

void choose_peak_decay(const WindowState& s, const CardWorkers& w, const Choice& chosen) {
    const float v = parse_float_key(chosen.first).value_or(6.0f);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_peak_decay = v; });
    if (w.has_meter()) w.send_meter(Cmd{Cmd::SetPeakDecay{v}});
}

void set_range_top(const WindowState& s, double value) {
    SettingsStoreImplExt::update(s.settings, [value](Settings& x) {
        float t = narrow(value) - x.spl_offset_db;
        if (std::isnan(t)) t = 0.0f;
        t = std::min(std::max(t, x.spl_range_bottom_db + RANGE_SPAN), LEVEL_LIMIT);
        x.spl_range_top_db = t;
    });
}

void set_range_bottom(const WindowState& s, double value) {
    SettingsStoreImplExt::update(s.settings, [value](Settings& x) {
        float b = narrow(value) - x.spl_offset_db;
        b = std::isnan(b) ? 0.0f : std::max(b, -LEVEL_LIMIT);
        x.spl_range_bottom_db = std::min(b, x.spl_range_top_db - RANGE_SPAN);
    });
}

void choose_leq_short(const WindowState& s, const CardWorkers& w, const Choice& chosen) {
    const auto v = parse_key<std::uint32_t>(chosen.first).value_or(60);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_leq_short_secs = v; });
    send_leq(s, w);
}

void choose_leq_long(const WindowState& s, const CardWorkers& w, const Choice& chosen) {
    const auto v = parse_key<std::uint32_t>(chosen.first).value_or(900);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_leq_long_secs = v; });
    send_leq(s, w);
}

void choose_spl_smoothing(const WindowState& s, const Choice& chosen) {
    const auto v = parse_key<std::uint8_t>(chosen.first).value_or(0);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_smoothing = v; });
}

void set_spl_offset(const WindowState& s, double value) {
    const float v = clamp_value(value, -LEVEL_LIMIT, LEVEL_LIMIT, 0.0f);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_offset_db = v; });
}

void calibrate_spl(const WindowState& s, const CardWorkers& w) {
    const auto meter = w.workers.meter ? w.workers.meter() : std::nullopt;
    if (!meter) return;
    const float v = clamp_value(static_cast<double>(CALIBRATOR_DB) - meter->rms_dbfs, -LEVEL_LIMIT, LEVEL_LIMIT, 0.0f);
    SettingsStoreImplExt::update(s.settings, [v](Settings& x) { x.spl_offset_db = v; });
}

reactive::Element spl_card() {
    const WindowState s = use_window_state();
    const auto& st = s.settings;
    const float offset = st.get(&Settings::spl_offset_db);
    const std::uint32_t rate = st.get(&Settings::spl_input).sample_rate;
    const bool metering = s.meter_snapshot().running;

    auto on_weighting = reactive::use_callback<Choice>([s](Choice c) { choose_weighting(s, c); });
    auto on_response = reactive::use_callback<Choice>([s](Choice c) { choose_response(s, CardWorkers::of(s), c); });
    auto on_fft = reactive::use_callback<Choice>([s](Choice c) { choose_spl_fft(s, c); });
    auto on_decay = reactive::use_callback<Choice>([s](Choice c) { choose_peak_decay(s, CardWorkers::of(s), c); });
    auto on_top = reactive::use_callback<double>([s](double v) { set_range_top(s, v); });
    auto on_bottom = reactive::use_callback<double>([s](double v) { set_range_bottom(s, v); });
    auto on_short = reactive::use_callback<Choice>([s](Choice c) { choose_leq_short(s, CardWorkers::of(s), c); });
    auto on_long = reactive::use_callback<Choice>([s](Choice c) { choose_leq_long(s, CardWorkers::of(s), c); });
    auto on_smoothing = reactive::use_callback<Choice>([s](Choice c) { choose_spl_smoothing(s, c); });
    auto on_offset = reactive::use_callback<double>([s](double v) { set_spl_offset(s, v); });
    auto on_calibrate = reactive::use_callback<const reactive::MouseEvent&>(
        [s](const reactive::MouseEvent&) { calibrate_spl(s, CardWorkers::of(s)); });

    Choices weightings, responses, ffts, decays, leqs, smoothings;
    std::string weighting, response;
    for (const auto& [v, key] : WEIGHTINGS) {
        weightings.emplace_back(key, key);
        if (v == st.get(&Settings::weighting)) weighting = key;
    }
    for (const auto& [v, key] : RESPONSES) {
        responses.emplace_back(key, key);
        if (v == st.get(&Settings::spl_response)) response = key;
    }
    for (const auto n : FFT_SIZES) ffts.emplace_back(std::to_string(n), fft_label(n, rate));
    for (const float v : PEAK_DECAYS) decays.emplace_back(fmt::format("{:.0f}", v), v == 0 ? "Hold" : fmt::format("{:.0f} dB/s", v));
    for (const auto v : LEQ_SECS) leqs.emplace_back(std::to_string(v), leq_label(v));
    for (const auto& [v, label] : SMOOTHINGS) smoothings.emplace_back(std::to_string(v), label);

    return card(
        "vt-card wide", "SPL",
        {row("Weighting", choose(std::move(weightings), weighting, on_weighting)),
         row("RTA response", choose(std::move(responses), response, on_response)),
         row("FFT", choose(std::move(ffts), std::to_string(st.get(&Settings::spl_fft)), on_fft)),
         row("Peak decay", choose(std::move(decays), fmt::format("{:.0f}", st.get(&Settings::spl_peak_decay)), on_decay)),
         row("Range top", number(static_cast<double>(st.get(&Settings::spl_range_top_db) + offset), 5, 1, on_top)),
         row("Range bottom", number(static_cast<double>(st.get(&Settings::spl_range_bottom_db) + offset), 5, 1, on_bottom)),
         row("LAeq short", choose(leqs, std::to_string(st.get(&Settings::spl_leq_short_secs)), on_short)),
         row("LAeq long", choose(leqs, std::to_string(st.get(&Settings::spl_leq_long_secs)), on_long)),
         row("Smoothing", choose(std::move(smoothings), std::to_string(st.get(&Settings::spl_smoothing)), on_smoothing)),
         controls_row("SPL offset",
                      {number(offset, 0.1, 1, on_offset),
                       reactive::component(shared_ui::components::button::default_button,
                                           shared_ui::components::button::ButtonProps{
                                               .label = fmt::format("{:.0f} dB", CALIBRATOR_DB),
                                               .hint = "With a 94 dB calibrator on the mic: set the offset so the "
                                                       "meter reads 94 dB SPL",
                                               .disabled = !metering,
                                               .onclick = on_calibrate},
                                           "default_button")})});
}

}  // namespace ui::main_window
