#include "ui/main_window/frame/status_line.h"

#include <algorithm>

#include <fmt/format.h>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/measure/measurement.h"

namespace ui::main_window {

using namespace reactive;
using engine::analyzer::Snapshot;
using engine::settings::View;
using shared_ui::components::button::ButtonProps;
using shared_ui::components::button::ButtonType;
using shared_ui::components::button::default_button;

std::string duration_text(std::uint32_t secs) {
    return secs < 60 ? fmt::format("{} s", secs) : fmt::format("{} min", secs / 60);
}

float delay_ms(std::size_t samples, std::uint32_t rate) {
    if (rate == 0) return 0.0f;
    return static_cast<float>(samples) / static_cast<float>(rate) * 1000.0f;
}

float speed_of_sound(float temperature_c) { return 331.3f + 0.606f * temperature_c; }

std::pair<RichLine, std::string> find_delay_lines(const Snapshot& snap) {
    const float cur = delay_ms(snap.delay, snap.sample_rate);
    if (snap.found) {
        const float found = delay_ms(*snap.found, snap.sample_rate);
        return {RichLine{"Found ", fmt::format("{:.2f} ms", found), fmt::format(" (quality {:.0f})", snap.find_conf)},
                fmt::format("Current {:.2f} ms, change {:+.2f} ms", cur, found - cur)};
    }
    RichLine first{snap.find_conf > 0 ? fmt::format("Searching, correlation too weak ({:.1f})", snap.find_conf)
                                      : snap.status,
                   "", ""};
    return {first, fmt::format("Current {:.2f} ms", cur)};
}

RichLine status_message(const Snapshot& snap, const std::string& notice) {
    if (!notice.empty()) return RichLine{notice, "", ""};
    const std::string prefix = "Viewing " + snap.label;
    if (!snap.label.empty() && snap.status.starts_with(prefix))
        return RichLine{"Viewing ", snap.label, snap.status.substr(prefix.size())};
    return RichLine{snap.status, "", ""};
}

std::vector<std::string> transfer_readouts(const Snapshot& snap, const engine::settings::Settings& settings) {
    std::vector<std::string> out;
    if (snap.sample_rate != 0) {
        const float d = delay_ms(snap.delay, snap.sample_rate);
        out.push_back(fmt::format("Delay {:.2f} ms", d));
        const float metres = std::max(d - settings.latency_ms, 0.0f) * speed_of_sound(settings.temperature_c) / 1000.0f;
        out.push_back(fmt::format("Distance {:.2f} m", metres));
    }
    if (snap.running) {
        if (settings.spl_offset_db != 0.0f) out.push_back(fmt::format("SPL {:.0f} dB", snap.mic_db + settings.spl_offset_db));
        else out.push_back(fmt::format("Mic {:.0f} dBFS", snap.mic_db));
        out.push_back(fmt::format("Ref {:.0f} dBFS", snap.ref_db));
        // Audio the server dropped or the analysis missed since the run began:
        // averages around them start over, so the user should know.
        if (snap.dropouts != 0) out.push_back(fmt::format("Dropouts {}", snap.dropouts));
    }
    return out;
}

std::vector<std::string> spl_readouts(const engine::meter::MeterSnapshot& meter) {
    if (!meter.running) return {};
    return {fmt::format("Mic {:.0f} dBFS", meter.rms_dbfs)};
}

std::string leq_long_label(std::uint32_t long_secs, bool running, std::uint32_t leq_secs) {
    if (running && leq_secs < long_secs)
        return fmt::format("LAeq {} \u00b7 {} so far", duration_text(long_secs), duration_text(std::max(leq_secs, 1u)));
    return fmt::format("LAeq {}", duration_text(long_secs));
}

namespace {

Element rich(const RichLine& l) {
    if (l.bold.empty()) return span()(l.lead);
    return span()(l.lead, el("b")(l.bold), l.tail);
}

Element readout(const std::vector<std::string>& items) {
    std::vector<Element> spans;
    for (const auto& t : items) spans.push_back(span()(t));
    return div().cls("readout")(fragment(std::move(spans)));
}

}  // namespace

Element status_line() {
    const auto s = use_window_state();
    if (s.settings.get(&Settings::view) == View::Spl) {
        const auto& m = s.meter_snapshot();
        return div().cls(m.warn ? "vt-status warn" : "vt-status")(div().cls("msg")(span()(m.status)),
                                                                   readout(spl_readouts(m)));
    }
    const auto& snap = s.snapshot();
    const auto& notice = s.notice();
    // The readouts follow three fields of the settings only.
    s.settings.get(&Settings::latency_ms);
    s.settings.get(&Settings::temperature_c);
    s.settings.get(&Settings::spl_offset_db);
    const auto& settings = s.settings.peek();
    const RichLine msg = status_message(snap, notice);
    return div().cls(snap.warn ? "vt-status warn" : "vt-status")(
        div().cls("msg").title(fmt::format("{}\n{}", snap.status, notice))(notice.empty() ? rich(msg)
                                                                                        : span().cls("tool")(notice)),
        readout(transfer_readouts(snap, settings)));
}

Element find_delay_panel() {
    const auto s = use_window_state();
    auto keep = use_callback<const MouseEvent&>([s](const MouseEvent&) { keep_delay(s); });
    auto apply = use_callback<const MouseEvent&>([s](const MouseEvent&) { apply_found_delay(s); });
    if (!s.delay_panel()) return Element();
    const auto& snap = s.snapshot();
    const auto [first, second] = find_delay_lines(snap);
    return div()
        .cls("alert-background")
        .on_mousedown([s](const MouseEvent&) { keep_delay(s); })(
            div().cls("alert-card vertical vt-dialog").on_mousedown([](const MouseEvent&) {}, {.stop_propagation = true})(
                div().cls("alert-title")("Find delay"), div().cls("result")(rich(first)),
                div().cls("result")(second),
                div().cls("horizontal space-between")(
                    component(default_button,
                              ButtonProps{.button_type = ButtonType::Flat,
                                          .label = "Cancel",
                                          .hint = "Keep the current delay (Escape)",
                                          .onclick = keep},
                              "default_button"),
                    component(default_button,
                              ButtonProps{.button_type = ButtonType::Flat,
                                          .label = "Accept",
                                          .hint = "Apply the found delay; the averages and the accumulated trace "
                                                  "start over",
                                          .disabled = !snap.found.has_value(),
                                          .onclick = apply},
                              "default_button"))));
}

}  // namespace ui::main_window
