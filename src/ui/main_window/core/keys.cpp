#include "ui/main_window/core/keys.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/cast.h"
#include "base/utf8.h"

namespace ui::main_window {

namespace {

std::int32_t tenths(float v) {
    if (!std::isfinite(v)) return std::numeric_limits<std::int32_t>::min();
    return base::saturating_round<std::int32_t>(v * 10.0f);
}

}  // namespace

std::string project_name(const std::optional<std::filesystem::path>& path) {
    if (!path) return "Untitled";
    const std::string& whole = path->native();
    // The last component, ignoring trailing separators.
    std::string_view p(whole);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const auto slash = p.rfind('/');
    std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || name == "/") return "Untitled";
    // A trailing "/." names the folder itself, not a file.
    if (whole.size() >= 2 && whole.ends_with("/.")) return "Untitled";
    const auto dot = name.rfind('.');
    if (dot != std::string_view::npos && dot != 0) name = name.substr(0, dot);
    return base::utf8::lossy(name);
}

std::vector<std::string> positions(const std::vector<engine::trace::Trace>& traces) {
    std::vector<std::string> out;
    for (const auto& t : traces)
        if (std::find(out.begin(), out.end(), t.position) == out.end()) out.push_back(t.position);
    return out;
}

UiKey ui_key(const engine::analyzer::Snapshot& s) {
    UiKey k{
        .found = s.found,
        .status = s.status,
        .arrivals = s.arrivals,
        .ir_span_ms = base::saturating_cast<std::int64_t>(s.ir_span_ms),
        .delay = s.delay,
        .mic_db = base::saturating_round<std::int64_t>(s.mic_db),
        .ref_db = base::saturating_round<std::int64_t>(s.ref_db),
        .sample_rate = s.sample_rate,
        .find_conf = base::saturating_round<std::int64_t>(s.find_conf * 10.0f),
        .warn = s.warn,
        .running = s.running,
        .accumulate = s.accumulate,
        .dropouts = s.dropouts,
        .harmonics = {},
    };
    for (const auto& [n, db] : s.harmonics) k.harmonics.emplace_back(n, base::saturating_round<std::int64_t>(db));
    return k;
}

MeterKey meter_key(const engine::meter::MeterSnapshot& s) {
    return MeterKey{
        .status = s.status,
        .levels = {tenths(s.z_db), tenths(s.a_db), tenths(s.c_db), tenths(s.leq_short_db), tenths(s.leq_long_db),
                   tenths(s.max_z_db), tenths(s.max_a_db), tenths(s.max_c_db), tenths(s.max_leq_short_db),
                   tenths(s.max_leq_long_db)},
        .rms_dbfs = base::saturating_round<std::int64_t>(s.rms_dbfs),
        .sample_rate = s.sample_rate,
        .leq_secs = s.leq_secs,
        .clipping = s.clipping,
        .warn = s.warn,
        .running = s.running,
    };
}

std::vector<StoredCurve> stored_curves(const std::vector<engine::trace::Trace>& traces, const std::string& position,
                                       std::optional<std::size_t> viewed, const std::optional<Seats>& seats) {
    std::vector<StoredCurve> out;
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const auto& t = traces[i];
        if (!t.visible || viewed == i) continue;
        if (!seats) {
            if (t.position == position) out.push_back(StoredCurve{t.points, i, t.gate});
            continue;
        }
        const auto seat = std::find_if(seats->seats.begin(), seats->seats.end(),
                                       [&](const Seat& s) { return s.trace == i; });
        if (seat == seats->seats.end()) continue;
        StoredCurve c{t.points, i, t.gate};
        for (auto& p : c.points) p.db = seats->picked_db + (p.db - seat->db);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace ui::main_window
