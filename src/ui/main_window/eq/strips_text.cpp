#include "ui/main_window/eq/strips_text.h"

#include <fmt/format.h>

#include <cmath>

#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/eq/eq_card.h"

namespace ui::main_window {

using engine::design::FilterKind;
using engine::design::Parts;
using engine::eqfit::BandKind;

const char* band_kind_code(BandKind kind) {
    switch (kind) {
        case BandKind::Peak: return "PK";
        case BandKind::LowShelf: return "LS";
        case BandKind::HighShelf: return "HS";
    }
    return "PK";
}

namespace {

std::string filter_text(const engine::design::Filter& f) {
    if (!f.on) return "off";
    switch (f.kind) {
        case FilterKind::Butterworth:
        case FilterKind::LinkwitzRiley:
            return fmt::format("{} {} dB/oct at {:.0f} Hz", f.kind == FilterKind::Butterworth ? "BW" : "LR",
                               static_cast<unsigned>(f.slope_db), f.hz);
        case FilterKind::GalileoHp: return fmt::format("2nd at {:.0f} Hz", f.hz);
        case FilterKind::GalileoLp: return fmt::format("lp at {:.0f} Hz", f.hz);
        case FilterKind::GalileoElliptic: return fmt::format("ell at {:.0f} Hz", f.hz);
    }
    return "off";
}

std::string joined(const std::vector<std::string>& items, const char* sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += sep;
        out += items[i];
    }
    return out;
}

}  // namespace

std::string strip_text(const engine::design::Source& strip, const Parts& parts) {
    std::string out = strip.name + "\n";

    std::vector<std::string> first{fmt::format("gain {:+.1f} dB", strip.gain_db)};
    if (parts.delay) first.push_back(fmt::format("delay {:.2f} ms", strip.delay_ms));
    if (parts.polarity) first.push_back(fmt::format("polarity {}", strip.invert ? "inverted" : "normal"));
    out += "  " + joined(first, ", ") + "\n";

    std::vector<std::string> second;
    if (parts.hp) second.push_back("HP " + filter_text(strip.hp));
    if (parts.lp) second.push_back("LP " + filter_text(strip.lp));
    if (parts.eq) second.push_back(fmt::format("bands as {}", q_label(strip.q_as)));
    if (!second.empty()) out += "  " + joined(second, ", ") + "\n";

    if (!parts.eq) return out;
    const auto& sh = strip.shaping;
    if (sh.on) {
        const bool callisto = sh.model == engine::eqfit::ShapingModel::Callisto;
        const std::size_t knees = callisto ? 4 : 3;
        std::vector<std::string> gains, hz, slopes;
        for (std::size_t i = 0; i <= knees; ++i) gains.push_back(fmt::format("{:+.1f}", sh.gain_db[i]));
        for (std::size_t i = 0; i < knees; ++i) hz.push_back(fmt::format("{:.0f}", sh.hz[i]));
        out += fmt::format("  shaping ({}) {} dB, knees {} Hz", callisto ? "Callisto" : "Galileo", joined(gains, " / "),
                           joined(hz, " / "));
        if (callisto) {
            for (auto s : sh.slope_db) slopes.push_back(fmt::format("{}", static_cast<unsigned>(s)));
            out += fmt::format(", slopes {} dB/oct", joined(slopes, " / "));
        }
        out += "\n";
    }
    if (!strip.peq) out += "  PEQ off\n";
    for (std::size_t j = 0; j < strip.bands.size(); ++j) {
        const auto& b = strip.bands[j];
        if (!b.on) continue;
        out += fmt::format("  {:>2}  {}  {:>6.0f} Hz  {:+.1f} dB", j + 1, band_kind_code(b.kind), b.hz, b.gain_db);
        if (b.kind == BandKind::Peak) {
            out += fmt::format("  {} {:.2f}", q_header(strip.q_as), q_shown(strip.q_as, b.q));
        }
        out += "\n";
    }
    return out;
}

std::vector<std::string> strip_text_lines(const std::vector<engine::design::Source>& sources, const Parts& parts) {
    std::vector<std::string> blocks;
    for (const auto& src : sources) {
        if (src.zones.empty()) {
            const auto [strip, applied] = src.flat("", parts);
            blocks.push_back(strip_text(strip, applied));
            continue;
        }
        for (const auto& z : src.zones) {
            const auto [strip, applied] = src.flat(z.position, parts);
            blocks.push_back(strip_text(strip, applied));
        }
    }
    return blocks;
}

std::string strips_text(const std::vector<engine::design::Source>& sources, const Parts& parts) {
    return joined(strip_text_lines(sources, parts), "\n");
}

void export_strips(const WindowState& s) {
    const auto parts = s.settings.peek().wing_parts;
    auto text = strips_text(s.design.peek().sources, parts);
    reactive::spawn_root(export_strips_task(s, std::move(text)));
}

reactive::Task<void> export_strips_task(WindowState s, std::string text) {
    auto saving = save_as(s, "Export strips", "veltrum-strips.txt", "Text", {"txt"}, std::move(text));
    const auto saved = co_await saving;
    if (!saved) co_return;
    if (*saved) s.notice.set("Exported to " + (*saved)->string());
    else s.notice.set("Export failed: " + saved->error());
}

}  // namespace ui::main_window
