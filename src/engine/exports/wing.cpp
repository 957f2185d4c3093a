// Wing console targets and the text command of a processing strip.
#include "engine/exports/wing.h"

#include "base/utf8.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>
#include <optional>
#include <cstdint>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace engine::wing {
namespace {

struct Kind {
    std::string_view name;
    std::uint32_t count;
};

constexpr std::array<Kind, 4> KINDS{{{"ch", 40}, {"bus", 16}, {"main", 4}, {"mtx", 8}}};

using base::utf8::space_len;

// The first `max` words of s.
std::vector<std::string_view> words(std::string_view s, std::size_t max) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size() && out.size() < max) {
        if (std::size_t n = space_len(s, i)) {
            i += n;
            continue;
        }
        const std::size_t begin = i;
        while (i < s.size() && space_len(s, i) == 0) i += base::utf8::decode_one(s, i).len;
        out.push_back(s.substr(begin, i - begin));
    }
    return out;
}

// An unsigned 32-bit decimal with an optional leading "+".
std::optional<std::uint32_t> parse_u32(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace

std::string Target::path() const { return fmt::format("{}.{}", kind, number); }

std::vector<std::string> targets() {
    std::vector<std::string> out;
    for (const auto& k : KINDS)
        for (std::uint32_t n = 1; n <= k.count; ++n) out.push_back(fmt::format("{} {}", k.name, n));
    return out;
}

base::Result<Target> parse_target(std::string_view text) {
    const auto w = words(text, 2);
    if (w.size() == 2) {
        for (const auto& k : KINDS) {
            if (w[0] != k.name) continue;
            if (auto n = parse_u32(w[1]); n && *n >= 1 && *n <= k.count) return Target{std::string(k.name), *n};
        }
    }
    return base::fail(fmt::format("no such Wing target: {}", text));
}

}  // namespace engine::wing

namespace engine::wing {
namespace {

using design::Band;
using design::BandKind;
using design::Filter;

float clampf(float v, float lo, float hi) { return std::clamp(v, lo, hi); }

bool finite(float v) { return std::isfinite(v); }

// Band Q as the console reads it.
float wing_q(float q) { return clampf(q * 1.25f, 0.442f, 10.0f); }

std::string slope_warning(const char* which, const char* side, const Filter& f) {
    return fmt::format("{} as Wing {} cut, its slope not {} {} dB/oct", which, side, design::short_label(f.kind),
                       f.slope_db);
}

}  // namespace

base::Result<Command> command(const design::Source& strip, std::string_view target_text,
                              const design::Parts& parts) {
    auto target = parse_target(target_text);
    if (!target) return base::fail(target.error());
    const std::string t = target->path();
    const bool channel = target->is_channel();

    bool all_finite = finite(strip.hp.hz) && finite(strip.lp.hz) && finite(strip.delay_ms);
    for (const auto& b : strip.bands) all_finite = all_finite && finite(b.hz) && finite(b.gain_db) && finite(b.q);
    if (!all_finite) return base::fail(fmt::format("{} has a value that is not a number, not sent", strip.name));

    std::vector<std::string> cmds;
    std::vector<std::string> warns;
    const Filter& hp = strip.hp;
    const Filter& lp = strip.lp;

    // Channels take the crossovers in their input filter section.
    bool hp_eq = parts.hp, lp_eq = parts.lp;
    if (channel) {
        if (parts.hp) {
            cmds.push_back(fmt::format("/{0}.flt.{1}c={2},{1}cf={3:.3f}", t, "l", int{hp.on}, clampf(hp.hz, 20, 2000)));
            if (hp.on) warns.push_back(slope_warning("HP", "low", hp));
        }
        if (parts.lp) {
            cmds.push_back(fmt::format("/{0}.flt.{1}c={2},{1}cf={3:.3f}", t, "h", int{lp.on}, clampf(lp.hz, 50, 20000)));
            if (lp.on) warns.push_back(slope_warning("LP", "high", lp));
        }
        hp_eq = lp_eq = false;
    }

    if (parts.eq || hp_eq || lp_eq) {
        const bool hp_cut = hp_eq && hp.on;
        const bool lp_cut = lp_eq && lp.on;
        if (parts.eq) {
            cmds.push_back(fmt::format("/{}.eq.on={},mdl=STD,mix=100{}", t, int{hp_cut || strip.peq || lp_cut},
                                       channel ? "" : ",tilt=0"));
        } else if (hp_cut || lp_cut) {
            cmds.push_back(fmt::format("/{}.eq.on=1", t));
        }

        std::vector<const Band*> usable;
        if (strip.peq)
            for (const auto& b : strip.bands)
                if (b.on) usable.push_back(&b);
        const Band* low_shelf = nullptr;
        const Band* high_shelf = nullptr;
        std::vector<const Band*> peaks;
        std::size_t shelves = 0;
        bool over_15 = false;
        for (const Band* b : usable) {
            if (b->kind == BandKind::Peak) peaks.push_back(b);
            else ++shelves;
            if (b->kind == BandKind::LowShelf && !low_shelf) low_shelf = b;
            if (b->kind == BandKind::HighShelf && !high_shelf) high_shelf = b;
            if (std::fabs(b->gain_db) > 15.0f) over_15 = true;
        }

        // The low and high bands of the EQ: a cut for a crossover, a shelf,
        // or a flat peak.
        struct Side {
            const char* s;
            bool cut, send;
            const Filter& f;
            const Band* shelf;
            float lo, hi;
            const char* which;
            const char* side;
            const char* shelf_warning;
        };
        const Side sides[2] = {
            {"l", hp_cut, hp_eq || parts.eq, hp, low_shelf, 20, 2000, "HP", "low",
             "low shelf dropped (HP uses Wing's low band; fit with Shelves off)"},
            {"h", lp_cut, lp_eq || parts.eq, lp, high_shelf, 50, 20000, "LP", "high",
             "high shelf dropped (LP uses Wing's high band; fit with Shelves off)"},
        };
        for (const Side& sd : sides) {
            if (sd.cut) {
                cmds.push_back(fmt::format("/{0}.eq.{1}eq=CUT,{1}f={2:.3f},{1}g=0", t, sd.s, clampf(sd.f.hz, sd.lo, sd.hi)));
                warns.push_back(slope_warning(sd.which, sd.side, sd.f));
                if (sd.shelf) warns.push_back(sd.shelf_warning);
            } else if (sd.send) {
                if (sd.shelf) {
                    cmds.push_back(fmt::format("/{0}.eq.{1}eq={2},{1}g={3:.3f},{1}f={4:.3f},{1}q={5:.3f}", t, sd.s, "SHV",
                                               clampf(sd.shelf->gain_db, -15, 15), clampf(sd.shelf->hz, sd.lo, sd.hi),
                                               wing_q(sd.shelf->q)));
                } else {
                    cmds.push_back(fmt::format("/{0}.eq.{1}eq=PEQ,{1}g=0", t, sd.s));
                }
            }
        }

        const std::size_t extra = shelves - (low_shelf ? 1 : 0) - (high_shelf ? 1 : 0);
        if (extra > 0 && parts.eq) warns.push_back(fmt::format("{} extra shelf band(s) dropped", extra));

        // Peaks fill the parametric slots, then the low and high bands.
        const std::size_t total = peaks.size();
        std::size_t next = 0, sent = 0;
        const std::size_t slots = channel ? 4 : 6;
        if (parts.eq) {
            for (std::size_t i = 1; i <= slots; ++i) {
                if (next < total) {
                    const Band& b = *peaks[next++];
                    cmds.push_back(fmt::format("/{0}.eq.{1}g={2:.3f},{1}f={3:.3f},{1}q={4:.3f}", t, i,
                                               clampf(b.gain_db, -15, 15), clampf(b.hz, 20, 20000), wing_q(b.q)));
                    ++sent;
                } else {
                    cmds.push_back(fmt::format("/{}.eq.{}g=0", t, i));
                }
            }
        } else {
            next = std::min(slots, total);
        }
        for (const Side& sd : sides) {
            if (sd.shelf || sd.cut || (sd.f.on && !parts.eq)) continue;
            if (next >= total) break;
            const Band& b = *peaks[next++];
            if (sd.send) {
                cmds.push_back(fmt::format("/{0}.eq.{1}eq=PEQ,{1}g={2:.3f},{1}f={3:.3f},{1}q={4:.3f}", t, sd.s,
                                           clampf(b.gain_db, -15, 15), clampf(b.hz, sd.lo, sd.hi), wing_q(b.q)));
                ++sent;
            }
        }

        if (parts.eq) {
            if (sent < total) warns.push_back(fmt::format("first {} of {} peaks", sent, total));
            if (strip.shaping.on) warns.push_back("shaping not sent (no such block there)");
            if (over_15) warns.push_back("a band's gain held to the Wing's 15 dB");
        }
    }

    if (parts.delay) {
        const float d = strip.delay_ms > 0.0f ? strip.delay_ms : 0.0f;
        if (channel) cmds.push_back(fmt::format("/{}.in.set.dly={:.2f}", t, d));
        else cmds.push_back(fmt::format("/{}.dly.on={},m={:.2f}", t, int{strip.delay_ms > 0.0f}, d));
    }
    if (parts.polarity) cmds.push_back(fmt::format("/{}.in.set.inv={}", t, int{strip.invert}));

    if (cmds.empty()) return base::fail("nothing selected to send");
    return Command{fmt::format("{}", fmt::join(cmds, ",")), std::move(warns)};
}

}  // namespace engine::wing
