#include "ui/main_window/measure/refresh.h"

#include <bit>
#include <type_traits>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "api/client.h"
#include "base/float_text.h"
#include "base/log.h"
#include "ui/main_window/measure/plot_inputs.h"
#include "ui/main_window/measure/seats.h"

namespace ui::main_window {

using engine::analyzer::Snapshot;
using engine::meter::MeterSnapshot;
using engine::tf::Point;
using namespace std::chrono_literals;

namespace {

constexpr auto PASS = 33ms;
constexpr auto SETTLE = 2s;

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
};

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

// SipHash over bytes given piece by piece, so a batch is hashed where it
// lies instead of being copied into one buffer first.
class SipStream {
public:
    SipStream(std::uint64_t k0, std::uint64_t k1, int c_rounds)
        : s_{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL},
          c_(c_rounds) {}

    void add(std::string_view bytes) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::size_t n = bytes.size();
        while (n > 0 && fill_ != 0) {
            add_byte(*p++);
            --n;
        }
        for (; n >= 8; p += 8, n -= 8) {
            block(load_le(p, 8));
            total_ += 8;
        }
        while (n-- > 0) add_byte(*p++);
    }
    void add_byte(unsigned char c) {
        tail_ |= static_cast<std::uint64_t>(c) << (8 * fill_);
        ++total_;
        if (++fill_ == 8) {
            block(tail_);
            tail_ = 0;
            fill_ = 0;
        }
    }
    std::uint64_t finish(int d_rounds) {
        block((static_cast<std::uint64_t>(total_) << 56) | tail_);
        s_.v2 ^= 0xFF;
        for (int r = 0; r < d_rounds; ++r) s_.round();
        return s_.v0 ^ s_.v1 ^ s_.v2 ^ s_.v3;
    }

private:
    void block(std::uint64_t m) {
        s_.v3 ^= m;
        for (int r = 0; r < c_; ++r) s_.round();
        s_.v0 ^= m;
    }

    SipState s_;
    int c_;
    std::uint64_t tail_ = 0;
    int fill_ = 0;
    std::size_t total_ = 0;
};

}  // namespace

std::uint64_t siphash(std::string_view bytes, std::uint64_t k0, std::uint64_t k1, int c_rounds, int d_rounds) {
    SipStream h(k0, k1, c_rounds);
    h.add(bytes);
    return h.finish(d_rounds);
}

std::uint64_t batch_hash(const std::vector<PlotUpdate>& batch, const Settings& settings) {
    SipStream h(0, 0, 1);
    const std::uint64_t count = batch.size();
    for (int i = 0; i < 8; ++i) h.add_byte(static_cast<unsigned char>((count >> (8 * i)) & 0xFF));
    for (const auto& u : batch) {
        h.add(u.id);
        h.add_byte(0xFF);
        h.add(u.attr);
        h.add_byte(0xFF);
        h.add(u.value);
        h.add_byte(0xFF);
    }
    for (bool on : {settings.show_ir, settings.show_coh, settings.show_mag, settings.show_phase, settings.show_rta})
        h.add_byte(on ? 1 : 0);
    return h.finish(3);
}

base::Result<void> send_plot_update(const reactive::Eval& channel, std::vector<PlotUpdate> batch) {
    return channel.send(ui::tf_plot::plot_batch(std::move(batch)));
}

std::vector<Point> weight_points(const std::vector<Point>& points, engine::tf::Weighting weighting, float offset_db) {
    std::vector<Point> out(points);
    for (auto& p : out) p.db = p.db + offset_db + engine::tf::weighting_db(weighting, p.hz);
    return out;
}

Workers Workers::of(const WindowState& s) {
    return Workers{
        .analyzer = [s]() -> std::optional<Snapshot> {
            const auto& a = s.analyzer.peek();
            if (!a) return std::nullopt;
            return a->copy();
        },
        .send = [s](engine::analyzer::Cmd&& cmd) {
            if (const auto& a = s.analyzer.peek()) a->send(std::move(cmd));
        },
        .drop_analyzer = [s] { s.analyzer.set(std::nullopt); },
        .meter = [s]() -> std::optional<MeterSnapshot> {
            const auto& m = s.meter.peek();
            if (!m) return std::nullopt;
            return m->snapshot();
        },
        .drop_meter = [s] { s.meter.set(std::nullopt); },
        .start_meter = [s] {
            if (s.start_meter) s.start_meter();
        },
    };
}

bool Refresh::SplKey::operator==(const SplKey& o) const {
    return frames == o.frames && std::bit_cast<std::uint32_t>(offset) == std::bit_cast<std::uint32_t>(o.offset) &&
           std::bit_cast<std::uint32_t>(top) == std::bit_cast<std::uint32_t>(o.top) &&
           std::bit_cast<std::uint32_t>(bottom) == std::bit_cast<std::uint32_t>(o.bottom) &&
           weighting == o.weighting && smoothing == o.smoothing;
}

namespace {

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    static_assert(std::has_unique_object_representations_v<T> || std::is_same_v<T, float> ||
                  std::is_same_v<T, Point> || std::is_same_v<T, engine::tf::Arrival>);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

}  // namespace

bool same_snapshot(const Snapshot& a, const Snapshot& b) {
    if (a.harmonics.size() != b.harmonics.size()) return false;
    for (std::size_t i = 0; i < a.harmonics.size(); ++i)
        if (a.harmonics[i].first != b.harmonics[i].first || !same_bits(a.harmonics[i].second, b.harmonics[i].second))
            return false;
    for (std::size_t i = 0; i < a.octave_conf.size(); ++i)
        if (!same_bits(a.octave_conf[i], b.octave_conf[i])) return false;
    return a.found == b.found && a.fft_size == b.fft_size && a.delay == b.delay && a.averages == b.averages &&
           a.dropouts == b.dropouts && a.sample_rate == b.sample_rate && a.accumulate == b.accumulate &&
           a.warn == b.warn && a.running == b.running && a.lost == b.lost && same_bits(a.ir_span_ms, b.ir_span_ms) &&
           same_bits(a.gate, b.gate) && same_bits(a.find_conf, b.find_conf) && same_bits(a.mic_db, b.mic_db) &&
           same_bits(a.ref_db, b.ref_db) && a.status == b.status && a.label == b.label &&
           same_bits(a.points, b.points) && same_bits(a.accumulated, b.accumulated) && same_bits(a.ir, b.ir) &&
           same_bits(a.arrivals, b.arrivals) && same_bits(a.spectrum, b.spectrum);
}

Refresh::Refresh(WindowState s, Workers workers, PlotSink sink)
    : s_(std::move(s)), workers_(std::move(workers)), sink_(std::move(sink)), built_([this] { return build(); }) {}

Refresh::Built Refresh::build() const {
    const auto& live = live_();
    const bool analyzer = live.has_value();
    const Snapshot* shown = analyzer ? &*live : nullptr;
    if (!analyzer)
        if (const auto& predicted = s_.predicted()) shown = &*predicted;
    const auto& seats = s_.seats();
    static const std::vector<std::vector<float>> no_rows;
    const auto& reflections = (seats && !analyzer && s_.show_predicted()) ? s_.reflections() : no_rows;
    auto in = plot_inputs(s_, analyzer, shown, seats, reflections);
    in.steady_ref = steady_ref_;
    auto paths = ui::tf_plot::build_paths(in);
    steady_ref_ = paths.ref_db;
    const float span = shown ? std::max(shown->ir_span_ms, 40.0f) : 40.0f;
    paths.updates.push_back(PlotUpdate{"tf-plot", ui::tf_plot::ATTR_IR_MS, ui::tf_plot::num(span)});
    const auto hash = batch_hash(paths.updates, s_.settings());
    return Built{std::move(paths.updates), paths.ref_db, hash};
}

void Refresh::send(const std::vector<PlotUpdate>& batch, bool all) {
    std::vector<PlotUpdate> out;
    std::unordered_map<std::string, std::string> applied;
    applied.reserve(batch.size());
    for (const auto& u : batch) {
        // Spectrogram rows are drawn, not held: each goes once.
        if (u.attr == ui::tf_plot::ATTR_ROW) {
            out.push_back(u);
            continue;
        }
        std::string key = u.id;
        key.push_back('\xFF');
        key += u.attr;
        const auto was = applied_.find(key);
        if (all || was == applied_.end() || was->second != u.value) out.push_back(u);
        applied.insert_or_assign(std::move(key), u.value);
    }
    // What the batch no longer names is forgotten, so that it is sent again
    // in full when it comes back.
    applied_ = std::move(applied);
    if (out.empty()) return;
    auto sent = sink_(std::move(out));
    if (!sent && !send_failure_logged_) {
        send_failure_logged_ = true;
        base::log::error(LOG_TARGET, fmt::format("plot update could not be sent: {:?}", sent.error()));
    }
}

void Refresh::pass(reactive::Instant now) {
    ++counter_;
    const Settings& settings = s_.settings.peek();
    // A new view or a panel switched on or off renders the plot afresh: its
    // paths start empty, so the next batch restates everything.
    const std::uint8_t show = static_cast<std::uint8_t>(settings.show_ir | settings.show_coh << 1 |
                                                        settings.show_mag << 2 | settings.show_phase << 3 |
                                                        settings.show_rta << 4);
    if (last_view_ != settings.view || show != last_show_) applied_.clear();
    last_view_ = settings.view;
    last_show_ = show;
    if (settings.view == engine::settings::View::Spl) spl_pass(now);
    else transfer_pass(now);
}

namespace {

bool listed(const engine::capture::DeviceList& devices, const std::string& host, const std::string& id) {
    for (const auto& [h, list] : devices)
        if (h == host)
            for (const auto& d : list)
                if (d.id == id) return true;
    return false;
}

}  // namespace

void Refresh::spl_pass(reactive::Instant now) {
    last_hash_.reset();
    const Settings settings = s_.settings.peek();
    if (meter_ended_at_ && now - *meter_ended_at_ >= SETTLE) {
        meter_ended_at_.reset();
        if (listed(s_.input_devices.peek(), settings.spl_input.host, settings.spl_input.device) &&
            s_.waiting_for_device.peek())
            s_.waiting_for_device.set(false);
    }
    if (!workers_.meter() && !s_.waiting_for_device.peek()) workers_.start_meter();
    const auto snap = workers_.meter();
    if (!snap) {
        if (s_.meter_snapshot.peek().running)
            s_.meter_snapshot.update([](MeterSnapshot& m) {
                m.running = false;
                m.warn = false;
                m.status = "Stopped";
            });
        return;
    }
    const MeterSnapshot& m = *snap;
    if (m.ended && !m.running) {
        workers_.drop_meter();
        s_.waiting_for_device.set(true);
        meter_ended_at_ = now;
    }
    const float offset = settings.spl_offset_db;
    const SplKey key{m.frames, offset, offset + settings.spl_range_top_db, offset + settings.spl_range_bottom_db,
                     settings.weighting, settings.spl_smoothing};
    const auto copy_if_changed = [&] {
        if (meter_key(m) != meter_key(s_.meter_snapshot.peek())) s_.meter_snapshot.set(m);
    };
    if (spl_key_ && *spl_key_ == key) {
        copy_if_changed();
        return;
    }
    spl_key_ = key;
    std::vector<PlotUpdate> batch;
    if (!m.rta.empty()) {
        const auto w = weight_points(m.rta, settings.weighting, offset);
        const auto r = ui::tf_plot::rta_bands(w, settings.spl_smoothing);
        const auto p = ui::tf_plot::rta_bands(weight_points(m.rta_peak, settings.weighting, offset), settings.spl_smoothing);
        batch = ui::tf_plot::rta_paths(ui::tf_plot::Spectrum{r, key.top, key.top - key.bottom}, &p);
        if (m.frames != last_row_frames_) {
            last_row_frames_ = m.frames;
            std::string row = fmt::format("{}|{:.1f}|{:.1f}|{:.4f}|", m.frames, key.bottom, key.top, m.hop_secs);
            for (std::size_t i = 0; i < w.size(); ++i) {
                if (i) row.push_back(',');
                row += fmt::format("{:.1f}", w[i].db);
            }
            batch.push_back(PlotUpdate{"tf-spectrogram", ui::tf_plot::ATTR_ROW, std::move(row)});
        }
    } else {
        batch = ui::tf_plot::rta_paths(std::nullopt, nullptr);
    }
    batch.push_back(PlotUpdate{"tf-plot", ui::tf_plot::ATTR_PTS, ""});
    send(batch, counter_ % 10 == 0);
    copy_if_changed();
}

void Refresh::transfer_pass(reactive::Instant now) {
    spl_key_.reset();
    std::optional<Snapshot> clone = workers_.analyzer();
    const bool analyzer = clone.has_value();
    if (!analyzer) {
        if (s_.snapshot.peek().running)
            s_.snapshot.update([](Snapshot& x) {
                x.warn = false;
                x.running = false;
                x.status = "Stopped";
            });
    } else if ((clone->warn || clone->lost) && !clone->running) {
        workers_.drop_analyzer();
        s_.delay_panel.set(false);
        s_.auto_delay.set(false);
        s_.viewed_trace.set(std::nullopt);
    }
    {
        const auto& was = live_.peek();
        if (was.has_value() != clone.has_value() || (clone && !same_snapshot(*was, *clone))) live_.set(std::move(clone));
    }
    const auto& live = live_.peek();
    const auto& predicted = analyzer ? live : s_.predicted.peek();
    const Snapshot* shown = analyzer ? &*live : (predicted ? &*predicted : nullptr);

    const Built& built = built_.peek();
    if (std::abs(built.ref_db - s_.draw_level.peek()) > 0.01f) s_.draw_level.set(built.ref_db);

    const bool resend = counter_ % 10 == 0;
    if (!last_hash_ || *last_hash_ != built.hash || resend) {
        last_hash_ = built.hash;
        send(built.updates, resend);
    }

    if (!shown) {
        const auto& cur = s_.snapshot.peek();
        if (!cur.arrivals.empty() || cur.sample_rate != 0) {
            const bool keep_status = s_.waiting_for_device.peek() || cur.warn;
            s_.snapshot.update([&](Snapshot& x) {
                x.arrivals.clear();
                x.sample_rate = 0;
                x.delay = 0;
                if (!keep_status) x.status = "Stopped";
            });
        }
        return;
    }
    const Snapshot& n = *shown;
    if (n.lost && !n.running && s_.snapshot.peek().running) s_.waiting_for_device.set(true);
    if (s_.auto_delay.peek() && analyzer && n.found) {
        if (!s_.delay_found_at.peek()) {
            s_.delay_found_at.set(now);
        } else if (now - *s_.delay_found_at.peek() >= SETTLE) {
            workers_.send(engine::analyzer::Cmd{engine::analyzer::Cmd::SetDelay{*n.found}});
            s_.auto_delay.set(false);
        }
    }
    if (n.running && n.sample_rate != 0) {
        const float delay_ms = s_.settings.peek().delay_ms;
        const auto in_use = std::llround(static_cast<double>(delay_ms) / 1000.0 * n.sample_rate);
        if (in_use != static_cast<long long>(n.delay)) {
            const float ms = static_cast<float>(n.delay) / static_cast<float>(n.sample_rate) * 1000.0f;
            engine::settings::SettingsStoreImplExt::update(s_.settings, [ms](Settings& x) { x.delay_ms = ms; });
        }
    }
    if (ui_key(n) != ui_key(s_.snapshot.peek())) s_.snapshot.set(n);
}

namespace {

// Tests of the whole program watch the measurement from outside: with the
// environment variable VELTRUM_TEST_SNAPSHOT naming a file, the loop writes
// the window's copy of the shown snapshot there as JSON (replaced at once)
// every 30th pass, with the meter's under "meter" (its levels are what the
// SPL view reads out; none before its first analysis). Unset, as in every
// normal start, nothing is written.
constexpr std::uint32_t PROBE_PASSES = 30;

void write_probe(const std::filesystem::path& file, const Snapshot& n, const MeterSnapshot& m) {
    nlohmann::json points = nlohmann::json::array();
    for (const auto& p : n.points) points.push_back({p.hz, p.db, p.deg, p.conf});
    nlohmann::json meter{{"status", m.status}, {"running", m.running}, {"warn", m.warn}, {"frames", m.frames}};
    if (m.frames > 0) {
        meter["z_db"] = m.z_db;
        meter["a_db"] = m.a_db;
        meter["c_db"] = m.c_db;
    }
    const nlohmann::json j{{"status", n.status}, {"running", n.running},   {"warn", n.warn},
                           {"delay", n.delay},   {"sample_rate", n.sample_rate}, {"averages", n.averages},
                           {"dropouts", n.dropouts},     {"points", points}, {"meter", meter}};
    (void)api::client::write_atomic(file, j.dump());
}

}  // namespace

reactive::Task<void> refresh_loop(WindowState s) {
    Refresh r(s, Workers::of(s), [s](std::vector<PlotUpdate> batch) {
        return send_plot_update(s.plot_channel.peek(), std::move(batch));
    });
    // A new page (the channel is replaced with it) holds none of the drawing:
    // the next batch restates everything.
    auto pages = std::make_shared<std::uint64_t>(0);
    reactive::Memo<std::uint64_t> page([ch = s.plot_channel, pages] {
        (void)ch();
        return ++*pages;
    });
    std::uint64_t page_seen = page.peek();
    const char* probe = std::getenv("VELTRUM_TEST_SNAPSHOT");
    for (std::uint32_t pass = 1;; ++pass) {
        co_await reactive::sleep(PASS);
        if (const auto p = page.peek(); p != page_seen) {
            page_seen = p;
            r.restate();
        }
        r.pass(reactive::current_loop()->now());
        if (probe && *probe && pass % PROBE_PASSES == 0) write_probe(probe, s.snapshot.peek(), s.meter_snapshot.peek());
    }
}

}  // namespace ui::main_window
