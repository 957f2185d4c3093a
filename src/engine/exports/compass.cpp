// The Compass setting file. The writer builds a plain listing of the
// parameters first and turns each of its lines into a node, so the listing
// fixes both the tree and the rounding of the numbers.
#include "engine/exports/compass.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "base/float_text.h"
#include "base/utf8.h"

namespace engine::compass {
namespace {

using design::BandKind;
using design::Filter;
using design::FilterKind;
using design::ShapingModel;

constexpr std::string_view BASE = "galileo.outputSection.outputChannel_1.equalization";
constexpr std::string_view MAGIC_TAIL = "\r\n1AY&";
constexpr std::string_view VERSION = "Compass 3.12.1 /4823/5527/1268/108/Jul  7 2017 05:23:20";

// The default frequencies of the ten parametric slots.
constexpr std::array<float, 10> SLOT_HZ{32, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};

// ---------------------------------------------------------------- bytes

void put_u8(std::vector<std::uint8_t>& b, std::uint8_t v) { b.push_back(v); }

void put_u16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put_u32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

void put_u64(std::vector<std::uint8_t>& b, std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

void put_bytes(std::vector<std::uint8_t>& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// A length-prefixed run of bytes (the length as an unsigned 32-bit count).
void put_sized(std::vector<std::uint8_t>& b, std::string_view s) {
    put_u32(b, static_cast<std::uint32_t>(s.size()));
    put_bytes(b, s);
}

// ---------------------------------------------------------------- classes

enum class Kind { Object, Bool, Enum, Float };

const std::vector<std::string_view> OBJECT_TAIL{"ObjectNode", "TreeNode", "Persistent"};
const std::vector<std::string_view> BOOL_CHAIN{"GalileoBoolNode", "BoolParameterNode", "ObjectNode", "TreeNode",
                                               "Persistent",      "BoolParameter",     "Parameter",  "Persistent"};
const std::vector<std::string_view> FLOAT_CHAIN{"GalileoFloatNode", "DoubleParameterNode", "ObjectNode", "TreeNode",
                                                "Persistent",       "DoubleParameter",     "Parameter",  "Persistent"};
const std::vector<std::string_view> ENUM_CHAIN{"GalileoEnumNode", "EnumParameterNode", "ObjectNode",
                                               "TreeNode",        "Persistent",        "EnumParameter",
                                               "IntParameter",    "Parameter",         "Persistent"};

struct Class {
    std::string_view segment;
    std::vector<std::string_view> head;  // before the chain of its kind
    Kind kind;
};

std::vector<std::string> chain_of(const Class& c) {
    std::vector<std::string> out(c.head.begin(), c.head.end());
    const auto& tail = c.kind == Kind::Bool    ? BOOL_CHAIN
                       : c.kind == Kind::Float ? FLOAT_CHAIN
                       : c.kind == Kind::Enum  ? ENUM_CHAIN
                                               : OBJECT_TAIL;
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

const std::vector<Class>& classes() {
    static const std::vector<Class> table{
        {"equalization", {"GalileoOutputEqualizationNode", "GalileoEqualizationNode"}, Kind::Object},
        {"parametric", {"GalileoOutputParametricEqNode", "GalileoParametricEqNode"}, Kind::Object},
        {"band", {"GalileoParametricBandNode"}, Kind::Object},
        {"truShaping", {"GalileoTruShapingEqNode"}, Kind::Object},
        {"highLowPass", {"GalileoHighLowPassNode"}, Kind::Object},
        {"lorenteShaping", {"GalileoLorenteShapingEqNode"}, Kind::Object},
        {"arrayProcessorHighPassFilter",
         {"GalileoArrayProcessorHighPassFilterNode", "GalileoArrayProcessorHighLowPassFilterNode"},
         Kind::Object},
        {"arrayProcessorLowPassFilter",
         {"GalileoArrayProcessorLowPassFilterNode", "GalileoArrayProcessorHighLowPassFilterNode"},
         Kind::Object},
        {"bypass", {"GalileoBypassNode"}, Kind::Bool},
        {"gainSelect", {}, Kind::Bool},
        {"frequency", {"GalileoFrequencyNode"}, Kind::Float},
        {"bandwidth", {"GalileoBandwidthNode"}, Kind::Float},
        {"gain", {"GalileoGainNode"}, Kind::Float},
        {"type", {}, Kind::Enum},
        {"GalileoLorenteShapingOrderNode", {"GalileoLorenteShapingOrderNode"}, Kind::Enum},
    };
    return table;
}

// The class of a path: by its last segment without trailing digits and "_".
const Class* class_of(std::string_view path) {
    std::string_view seg = path.substr(path.rfind('.') == std::string_view::npos ? 0 : path.rfind('.') + 1);
    while (!seg.empty() && ((seg.back() >= '0' && seg.back() <= '9') || seg.back() == '_')) seg.remove_suffix(1);
    for (const auto& c : classes())
        if (c.segment == seg) return &c;
    return nullptr;
}

std::uint8_t class_mark(std::string_view name) {
    return (name == "IntParameter" || name == "BoolParameter" || name == "DoubleParameter") ? 3 : 1;
}

std::string_view trim(std::string_view s) {
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::uint32_t> parse_u32(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return {};
    std::uint32_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || p != s.data() + s.size()) return {};
    return v;
}

// A finite double nearest to the decimal text.
std::optional<double> parse_double(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return {};
    }
    double v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || p != s.data() + s.size() || !std::isfinite(v)) return {};
    return v;
}

// ---------------------------------------------------------------- listing

std::string num(float v) { return base::shortest(v); }

const char* flag(bool v) { return v ? "true" : "false"; }

// The highLowPass block of the Galileo model and the Callisto filter types.
std::optional<std::uint32_t> callisto_type(const Filter& f, bool high_pass) {
    switch (f.kind) {
        case FilterKind::GalileoHp:
            return high_pass ? std::optional<std::uint32_t>{0} : std::nullopt;
        case FilterKind::GalileoElliptic:
            return high_pass ? std::optional<std::uint32_t>{1} : std::nullopt;
        case FilterKind::GalileoLp:
            return high_pass ? std::nullopt : std::optional<std::uint32_t>{0};
        case FilterKind::Butterworth:
            if (f.slope_db % 6 == 0 && f.slope_db >= 6 && f.slope_db <= 24)
                return std::uint32_t{f.slope_db / 6u} + (high_pass ? 1u : 0u);
            return std::nullopt;
        case FilterKind::LinkwitzRiley:
            if (f.slope_db == 12) return high_pass ? 6u : 5u;
            if (f.slope_db == 24) return high_pass ? 7u : 6u;
            return std::nullopt;
    }
    return std::nullopt;
}

bool galileo_has_hp(const Filter& f) {
    return f.kind == FilterKind::GalileoHp || f.kind == FilterKind::GalileoElliptic;
}

bool galileo_has_lp(const Filter& f) { return f.kind == FilterKind::GalileoLp; }

// Bandwidth of a band as the processor takes it: 1/Q within 0.1 .. 2.
constexpr float BW_MIN = 0.1f, BW_MAX = 2.0f;

float raw_bandwidth(float q) { return q == 0.0f ? INFINITY : 1.0f / q; }

std::vector<const design::Band*> peaks_on(const design::Source& strip) {
    std::vector<const design::Band*> out;
    for (const auto& b : strip.bands)
        if (b.on && b.kind == BandKind::Peak) out.push_back(&b);
    return out;
}

}  // namespace

void put_utf16(std::vector<std::uint8_t>& buf, std::string_view text) {
    std::vector<std::uint16_t> units;
    for (char32_t cp : base::utf8::code_points(text)) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    put_u32(buf, static_cast<std::uint32_t>(2 * units.size()));
    for (auto u : units) put_u16(buf, u);
}

std::string channel_name(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        if (name.substr(i, 3) == " / ") {
            out += ' ';
            i += 3;
        } else {
            out += name[i++];
        }
    }
    return out;
}

std::string file_name(std::string_view channel) { return fmt::format("{}.galileoOutputEqualization", channel); }

std::string listing(const design::Source& strip, std::string_view channel) {
    // The header names the channel; a line break in the name must not start
    // a parameter line of its own.
    std::string shown(channel);
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    std::replace(shown.begin(), shown.end(), '\r', ' ');

    std::string out = fmt::format(
        "Galileo Nickname: Veltrum\nOutput Channel Name: {0}\n\n{1} = \n{1}.bypass = false\n{1}.parametric = \n"
        "{1}.parametric.bypass = {2}\n",
        shown, BASE, flag(!strip.peq));

    const auto peaks = peaks_on(strip);
    for (std::size_t i = 0; i < 10; ++i) {
        const std::string p = fmt::format("{}.parametric.band_{}", BASE, i + 1);
        float hz = SLOT_HZ[i], bw = 1.0f, gain = 0.0f;
        if (i < peaks.size()) {
            hz = peaks[i]->hz;
            bw = std::clamp(raw_bandwidth(peaks[i]->q), BW_MIN, BW_MAX);
            gain = peaks[i]->gain_db;
        }
        out += fmt::format("{0} = \n{0}.bypass = false\n{0}.frequency = {1}\n{0}.bandwidth = {2}\n{0}.gain = {3}\n", p,
                           num(hz), num(bw), num(gain));
    }

    const auto& sh = strip.shaping;
    const auto filter_block = [&](std::string_view path, bool bypass, std::uint32_t type, float hz) {
        out += fmt::format("{0} = \n{0}.bypass = {1}\n{0}.type = {2}\n{0}.frequency = {3}\n", path, flag(bypass),
                           type, num(hz));
    };
    if (sh.model == ShapingModel::Galileo) {
        const std::string p = fmt::format("{}.truShaping", BASE);
        out += fmt::format("{0} = \n{0}.bypass = {1}\n", p, flag(!sh.on));
        for (int k = 1; k <= 3; ++k)
            out += fmt::format("{0}.gain_{1} = {2}\n{0}.frequency_{3} = {4}\n", p, k, num(sh.gain_db[k - 1]), k,
                               num(sh.hz[k - 1]));
        out += fmt::format("{0}.gain_4 = {1}\n", p, num(sh.gain_db[3]));

        const std::string f = fmt::format("{}.highLowPass", BASE);
        if (strip.hp.on && strip.hp.kind == FilterKind::GalileoHp) {
            filter_block(f, false, 1, strip.hp.hz);
        } else if (strip.hp.on && strip.hp.kind == FilterKind::GalileoElliptic) {
            filter_block(f, false, 2, strip.hp.hz);
        } else if (strip.lp.on && strip.lp.kind == FilterKind::GalileoLp) {
            filter_block(f, false, 0, strip.lp.hz);
        } else {
            filter_block(f, true, 0, 80.0f);
        }
    } else {
        const struct {
            const char* name;
            const Filter& f;
            bool high_pass;
            float idle_hz;
        } filters[2] = {{"HighPass", strip.hp, true, 40.0f}, {"LowPass", strip.lp, false, 160.0f}};
        for (const auto& fl : filters) {
            const std::string p = fmt::format("{}.arrayProcessor{}Filter", BASE, fl.name);
            const auto type = fl.f.on ? callisto_type(fl.f, fl.high_pass) : std::nullopt;
            if (type) filter_block(p, false, *type, fl.f.hz);
            else filter_block(p, true, 0, fl.idle_hz);
        }
        const std::string p = fmt::format("{}.lorenteShaping", BASE);
        out += fmt::format("{0} = \n{0}.bypass = {1}\n", p, flag(!sh.on));
        for (int k = 1; k <= 5; ++k)
            out += fmt::format("{0}.gain_{1} = {2}\n{0}.gainSelect_{3} = false\n", p, k, num(sh.gain_db[k - 1]), k);
        for (int k = 1; k <= 4; ++k)
            out += fmt::format("{0}.frequency_{1} = {2}\n{0}.GalileoLorenteShapingOrderNode = {3}\n", p, k,
                               num(sh.hz[k - 1]), sh.slope_db[k - 1] / 6);
    }
    return out;
}

std::vector<std::string> notes(const design::Source& strip) {
    std::vector<std::string> out;
    const auto peaks = peaks_on(strip);
    if (peaks.size() > 10) out.push_back(fmt::format("first 10 of {} bands", peaks.size()));
    const auto shelves = std::count_if(strip.bands.begin(), strip.bands.end(),
                                       [](const auto& b) { return b.on && b.kind != BandKind::Peak; });
    if (shelves > 0) out.push_back(fmt::format("{} shelf band(s) skipped (peaks only there)", shelves));

    const bool galileo = strip.shaping.model == ShapingModel::Galileo;
    const bool hp_fits = galileo ? galileo_has_hp(strip.hp) : callisto_type(strip.hp, true).has_value();
    const bool lp_fits = galileo ? galileo_has_lp(strip.lp) : callisto_type(strip.lp, false).has_value();
    if (strip.hp.on && !hp_fits) out.push_back(fmt::format("{} left bypassed (no such shape there)", "high pass"));
    if (strip.lp.on && !lp_fits) out.push_back(fmt::format("{} left bypassed (no such shape there)", "low pass"));
    if (galileo && strip.hp.on && hp_fits && strip.lp.on && lp_fits)
        out.push_back("low pass dropped (one crossover slot there)");

    // Bandwidths outside the processor's range are written clamped.
    std::size_t held = 0;
    for (std::size_t i = 0; i < peaks.size() && i < 10; ++i) {
        const float bw = raw_bandwidth(peaks[i]->q);
        if (bw < BW_MIN || bw > BW_MAX) ++held;
    }
    if (held > 0) out.push_back(fmt::format("{} band(s) bandwidth held to 0.1..2", held));
    return out;
}

std::string notes_text(std::span<const std::string> notes) {
    std::string out;
    for (const auto& n : notes) out += fmt::format(", {}", n);
    return out;
}

base::Result<std::vector<Node>> nodes(std::string_view text) {
    std::vector<Node> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.starts_with("galileo.")) continue;
        const auto eq = line.find(" = ");
        if (eq == std::string_view::npos) continue;
        const std::string_view path = line.substr(0, eq);
        const std::string_view value = trim(line.substr(eq + 3));
        const Class* c = class_of(path);
        if (!c) {
            std::string_view seg = path.substr(path.rfind('.') == std::string_view::npos ? 0 : path.rfind('.') + 1);
            return base::fail(fmt::format("Compass file: no class for '{}'", seg));
        }
        Node n{std::string(path), chain_of(*c), std::monostate{}};
        const auto bad = [&] { return base::fail(fmt::format("Compass file: bad value '{}' for {}", value, path)); };
        switch (c->kind) {
            case Kind::Object:
                break;
            case Kind::Bool:
                if (value == "true") n.value = true;
                else if (value == "false") n.value = false;
                else return bad();
                break;
            case Kind::Enum:
                if (auto v = parse_u32(value)) n.value = *v;
                else return bad();
                break;
            case Kind::Float:
                if (auto v = parse_double(value)) n.value = *v;
                else return bad();
                break;
        }
        out.push_back(std::move(n));
    }
    return out;
}

std::vector<std::uint8_t> node_file(std::span<const Node> nodes) {
    std::vector<std::uint8_t> b;
    const std::string magic = fmt::format("TreeNodeFile{}", MAGIC_TAIL);
    put_sized(b, magic);
    put_u16(b, 2);
    put_u8(b, 1);
    put_u32(b, static_cast<std::uint32_t>(nodes.size()));
    for (const auto& n : nodes) {
        put_sized(b, n.path);
        put_u16(b, 0);
        for (std::size_t i = 0; i < n.classes.size(); ++i) {
            if (i > 0) put_u16(b, 0);
            put_sized(b, n.classes[i]);
            put_u8(b, 0);
            put_u8(b, class_mark(n.classes[i]));
            put_u8(b, 1);
        }
        if (const bool* v = std::get_if<bool>(&n.value)) {
            put_u8(b, 0);
            put_u8(b, *v ? 1 : 0);
        } else if (const std::uint32_t* e = std::get_if<std::uint32_t>(&n.value)) {
            put_u8(b, 0);
            put_u32(b, *e);
        } else if (const double* d = std::get_if<double>(&n.value)) {
            put_u8(b, 0);
            put_u64(b, std::bit_cast<std::uint64_t>(*d));
        }
    }
    put_sized(b, magic);
    return b;
}

base::Result<std::vector<std::uint8_t>> file(std::string_view channel, std::span<const Node> nodes) {
    const auto raw = node_file(nodes);
    uLongf packed_len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packed_len);
    const int rc = compress2(packed.data(), &packed_len, raw.data(), static_cast<uLong>(raw.size()), 6);
    if (rc != Z_OK) {
        const char* why = zError(rc);
        return base::fail(fmt::format("Compass file: compression failed: {}", why ? why : "unknown error"));
    }
    packed.resize(packed_len);

    std::vector<std::uint8_t> b;
    put_sized(b, fmt::format("Compass Settings File{}", MAGIC_TAIL));
    put_u16(b, 4);
    put_sized(b, VERSION);
    put_utf16(b, "GalileoOutputEqualizationNode");
    put_utf16(b, "Equalization");
    put_utf16(b, fmt::format("Galileo: Veltrum\nOutput Channel: {}", channel));
    put_u8(b, 1);
    put_u32(b, static_cast<std::uint32_t>(packed.size()));
    b.insert(b.end(), packed.begin(), packed.end());
    return b;
}

base::Result<Export> strip_file(const design::Source& strip) {
    const std::string channel = channel_name(strip.name);
    auto list = nodes(listing(strip, channel));
    if (!list) return base::fail(list.error());
    auto bytes = file(channel, *list);
    if (!bytes) return base::fail(bytes.error());
    return Export{std::move(*bytes), channel, notes(strip)};
}

base::Result<Export> settings_file(const design::Source& source, const std::string& zone,
                                   const design::Parts& parts) {
    auto [strip, used] = source.flat(zone, parts);
    if (!used.eq) {
        strip.bands.clear();
        strip.shaping.on = false;
    }
    if (!used.hp) strip.hp.on = false;
    if (!used.lp) strip.lp.on = false;
    return strip_file(strip);
}

}  // namespace engine::compass
