#include "ui/main_window/measure/seats.h"

#include <algorithm>
#include <fmt/format.h>

#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/measure/plot_inputs.h"

namespace ui::main_window {

using engine::analyzer::Snapshot;
using engine::tf::Triple;

std::vector<SeatOf> seats_of(const std::vector<std::string>& positions, const std::vector<Trace>& traces,
                             const std::string& source) {
    std::vector<SeatOf> out;
    for (std::size_t n = 0; n < positions.size(); ++n) {
        const auto& pos = positions[n];
        std::optional<std::size_t> first, ticked;
        for (std::size_t i = 0; i < traces.size() && !ticked; ++i) {
            if (traces[i].position != pos || traces[i].source != source) continue;
            if (!first) first = i;
            if (traces[i].used) ticked = i;
        }
        const auto pick = ticked ? ticked : first;
        if (!pick) continue;
        out.push_back(SeatOf{*pick, pos, static_cast<std::uint8_t>(n % 4)});
    }
    return out;
}

std::optional<Seats> seats_memo(const WindowState& s) {
    if (s.right_tab() != 2) return std::nullopt;
    if (current_zone(s)) return std::nullopt;
    const auto& traces = s.traces();
    const std::string source = current_source(s);
    const auto& position = s.position();
    const auto found = seats_of(positions(traces), traces, source);
    if (found.empty()) return std::nullopt;

    std::vector<const Trace*> ticked;
    for (const auto& seat : found)
        if (traces[seat.trace].used) ticked.push_back(&traces[seat.trace]);
    const std::size_t k = ticked.size();
    const std::vector<float> levels = k > 0 ? engine::eqfit::seat_levels(ticked) : std::vector<float>{};

    Seats out;
    std::size_t next = 0;
    for (const auto& seat : found) {
        const Trace& t = traces[seat.trace];
        float db = 0.0f;
        if (t.used) {
            db = next < levels.size() ? levels[next] : 0.0f;
            ++next;
        } else {
            auto with = ticked;
            with.push_back(&t);
            const auto l = engine::eqfit::seat_levels(with);
            float sum = 0.0f;
            for (std::size_t i = 0; i < k && i < l.size(); ++i) sum += l[i];
            db = (k < l.size() ? l[k] : 0.0f) - sum / static_cast<float>(std::max<std::size_t>(k, 1));
        }
        out.seats.push_back(Seat{seat.trace, seat.name, seat.colour, db, t.used});
    }
    for (const auto& seat : out.seats)
        if (seat.position == position) {
            out.picked_db = seat.db;
            break;
        }
    out.average = average_of(ticked, out.picked_db);
    return out;
}

namespace {

// The viewed trace, its status line ending with the number of seats of its source.
std::optional<Snapshot> viewed_snapshot(const WindowState& s, const std::vector<Trace>& traces) {
    const auto viewed = s.viewed_trace();
    if (!viewed || *viewed >= traces.size()) return std::nullopt;
    const Trace& t = traces[*viewed];
    Snapshot snap = Snapshot::of_trace(t);
    std::vector<std::string> seats;
    for (const auto& other : traces)
        if (other.used && other.source == t.source) seats.push_back(other.position);
    std::sort(seats.begin(), seats.end());
    seats.erase(std::unique(seats.begin(), seats.end()), seats.end());
    snap.status += fmt::format(", {} seat{}", seats.size(), seats.size() == 1 ? "" : "s");
    return snap;
}

// The current source's ticked trace at the position (the picked zone's when
// one is picked) through its whole strip, EQ included.
std::optional<Snapshot> eq_view(const WindowState& s, std::string position, const std::vector<Trace>& traces) {
    const std::string name = current_source(s);
    if (const auto zone = current_zone(s)) position = zone->second;
    const auto t = std::find_if(traces.begin(), traces.end(), [&](const Trace& x) {
        return x.position == position && x.source == name && x.used;
    });
    if (t == traces.end()) return std::nullopt;
    const Source strip = source_or_new(s, name);
    const Trace p = engine::design::processed_with(*t, strip, true);
    const auto& grid = engine::tf::point_freq();
    std::vector<Triple> bins(240);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const auto v = value_at(p, i) * strip.eq_at(t->position, grid[i]);
        bins[i] = Triple{v.real(), v.imag(), i < p.confidence.size() ? p.confidence[i] : 0.0f};
    }
    Trace out = Trace::with_points(p, bins);
    out.name = fmt::format("{} through its strip", t->name);
    return Snapshot::of_trace(out);
}

// The sum of the design's sources at the position, without their EQ.
std::optional<Snapshot> design_sum(const WindowState& s, const std::string& position, const std::vector<Trace>& traces) {
    std::vector<Trace> here;
    for (const auto& t : traces)
        if (t.position == position) here.push_back(t);
    const auto& design = s.design();
    std::vector<std::pair<const Source*, const Trace*>> pairs;
    for (const auto& src : design.sources) {
        const auto t = std::find_if(here.begin(), here.end(),
                                    [&](const Trace& x) { return x.source == src.name && x.used; });
        if (t != here.end()) pairs.emplace_back(&src, &*t);
    }
    const auto sum = engine::design::sum_of(pairs, false);
    if (!sum) return std::nullopt;
    return Snapshot::of_trace(*sum);
}

}  // namespace

namespace {

// Whether the current source has seat data: the window's shared memo when the
// state has it.
bool has_seats(const WindowState& s) {
    if (s.seats.valid()) return s.seats().has_value();
    return seats_memo(s).has_value();
}

}  // namespace

std::optional<Snapshot> predicted_memo(const WindowState& s) {
    const auto& traces = s.traces();
    if (!s.show_predicted()) return viewed_snapshot(s, traces);
    if (has_seats(s)) return std::nullopt;
    const std::string position = s.position();
    if (s.right_tab() == 2) return eq_view(s, position, traces);
    return design_sum(s, position, traces);
}

void set_predicted(const WindowState& s, bool on) {
    if (!on) {
        s.show_predicted.set(false);
        return;
    }
    if (s.snapshot.peek().running) return;
    s.show_predicted.set(true);
    s.viewed_trace.set(std::nullopt);
    const std::string position = s.position.peek();
    const std::string source = current_source(s);
    const bool eq_tab = s.right_tab.peek() == 2;
    const auto& traces = s.traces.peek();
    const bool found = std::any_of(traces.begin(), traces.end(), [&](const Trace& t) {
        return t.used && t.position == position && (!eq_tab || t.source == source);
    });
    if (found || has_seats(s)) return;
    s.notice.set("Predicted is empty: tick a trace at this position");
}

void toggle_level_lock(const WindowState& s) {
    if (s.level_lock.peek()) {
        s.level_lock.set(std::nullopt);
        return;
    }
    s.level_lock.set(std::pair{s.draw_level.peek(), 0.0f});
}

}  // namespace ui::main_window
