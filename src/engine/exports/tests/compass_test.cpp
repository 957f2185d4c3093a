// The Compass setting file: header and string bytes, the node tree read back
// from the inflated node file, notes, failures and two pinned files.
#include <zlib.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "engine/exports/compass.h"

namespace engine::compass {
namespace {

using design::Band;
using design::BandKind;
using design::FilterKind;
using design::Parts;
using design::ShapingModel;
using design::Source;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- reading

struct Reader {
    const Bytes& b;
    std::size_t pos = 0;
    bool ok = true;

    std::uint64_t uint(int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos >= b.size()) {
                ok = false;
                return 0;
            }
            v = (v << 8) | b[pos++];
        }
        return v;
    }
    std::string text(std::size_t n) {
        if (pos + n > b.size()) {
            ok = false;
            return {};
        }
        std::string s(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + n));
        pos += n;
        return s;
    }
    std::string sized() { return text(static_cast<std::size_t>(uint(4))); }
};

Bytes inflate(const Bytes& packed) {
    Bytes out(1 << 20);
    uLongf len = out.size();
    const int rc = uncompress(out.data(), &len, packed.data(), static_cast<uLong>(packed.size()));
    EXPECT_EQ(rc, Z_OK);
    out.resize(rc == Z_OK ? len : 0);
    return out;
}

// The node file as a reader of the format sees it: a class chain ends after
// "Persistent" following "Parameter" (a value node) or following "TreeNode"
// in a chain without a parameter class (an object node).
std::vector<Node> parse_node_file(const Bytes& raw) {
    Reader r{raw};
    const std::string magic = std::string("TreeNodeFile") + "\r\n1AY&";
    EXPECT_EQ(r.sized(), magic);
    EXPECT_EQ(r.uint(2), 2u);
    EXPECT_EQ(r.uint(1), 1u);
    const auto n = r.uint(4);
    std::vector<Node> out;
    for (std::uint64_t i = 0; i < n && r.ok; ++i) {
        Node node;
        node.path = r.sized();
        EXPECT_EQ(r.uint(2), 0u) << node.path;
        bool value_chain = false;
        for (;;) {
            const std::string cls = r.sized();
            const auto k = r.uint(3);
            const bool heavy = cls == "IntParameter" || cls == "BoolParameter" || cls == "DoubleParameter";
            EXPECT_EQ(k, heavy ? 0x000301u : 0x000101u) << cls;
            if (cls.ends_with("ParameterNode")) value_chain = true;
            const std::string prev = node.classes.empty() ? "" : node.classes.back();
            node.classes.push_back(cls);
            if (cls == "Persistent" && (prev == "Parameter" || (prev == "TreeNode" && !value_chain))) break;
            EXPECT_EQ(r.uint(2), 0u) << node.path;
            if (!r.ok || node.classes.size() > 20) break;
        }
        const auto has = [&](const char* c) {
            return std::find(node.classes.begin(), node.classes.end(), c) != node.classes.end();
        };
        if (has("BoolParameter")) {
            EXPECT_EQ(r.uint(1), 0u);
            node.value = r.uint(1) != 0;
        } else if (has("IntParameter")) {
            EXPECT_EQ(r.uint(1), 0u);
            node.value = static_cast<std::uint32_t>(r.uint(4));
        } else if (has("DoubleParameter")) {
            EXPECT_EQ(r.uint(1), 0u);
            node.value = std::bit_cast<double>(r.uint(8));
        }
        out.push_back(std::move(node));
    }
    EXPECT_EQ(r.sized(), magic);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.pos, raw.size());
    return out;
}

struct Parsed {
    std::string description;
    std::vector<Node> nodes;
};

// The outer file: checks every fixed field and returns the description and nodes.
Parsed parse_file(const Bytes& file) {
    Reader r{file};
    EXPECT_EQ(r.sized(), std::string("Compass Settings File") + "\r\n1AY&");
    EXPECT_EQ(r.uint(2), 4u);
    EXPECT_EQ(r.sized(), "Compass 3.12.1 /4823/5527/1268/108/Jul  7 2017 05:23:20");
    const auto utf16_ascii = [&] {
        const auto len = r.uint(4);
        std::string s;
        for (std::uint64_t i = 0; i < len / 2; ++i) s += static_cast<char>(r.uint(2));
        return s;
    };
    EXPECT_EQ(utf16_ascii(), "GalileoOutputEqualizationNode");
    EXPECT_EQ(utf16_ascii(), "Equalization");
    Parsed p;
    p.description = utf16_ascii();
    EXPECT_EQ(r.uint(1), 1u);
    const auto len = r.uint(4);
    const std::string packed = r.text(static_cast<std::size_t>(len));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.pos, file.size());
    p.nodes = parse_node_file(inflate(Bytes(packed.begin(), packed.end())));
    return p;
}

// ---------------------------------------------------------------- expected tree

const std::vector<std::string> BOOL_CHAIN{"GalileoBoolNode", "BoolParameterNode", "ObjectNode", "TreeNode",
                                          "Persistent",      "BoolParameter",     "Parameter",  "Persistent"};
const std::vector<std::string> FLOAT_CHAIN{"GalileoFloatNode", "DoubleParameterNode", "ObjectNode", "TreeNode",
                                           "Persistent",       "DoubleParameter",     "Parameter",  "Persistent"};
const std::vector<std::string> ENUM_CHAIN{"GalileoEnumNode", "EnumParameterNode", "ObjectNode",
                                          "TreeNode",        "Persistent",        "EnumParameter",
                                          "IntParameter",    "Parameter",         "Persistent"};

std::vector<std::string> chain(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const std::vector<std::string> OBJ{"ObjectNode", "TreeNode", "Persistent"};

const std::string B = "galileo.outputSection.outputChannel_1.equalization";

Node obj(const std::string& path, std::vector<std::string> head) { return {path, chain(std::move(head), OBJ), {}}; }
Node bypass(const std::string& path, bool v) {
    return {path + ".bypass", chain({"GalileoBypassNode"}, BOOL_CHAIN), v};
}
Node fl(const std::string& path, const char* node, double v) { return {path, chain({node}, FLOAT_CHAIN), v}; }
Node freq(const std::string& path, double v) { return fl(path, "GalileoFrequencyNode", v); }
Node gain(const std::string& path, double v) { return fl(path, "GalileoGainNode", v); }
Node type(const std::string& path, std::uint32_t v) { return {path + ".type", ENUM_CHAIN, v}; }

struct BandVals {
    double hz, bw, gain;
};

std::vector<Node> head_and_bands(bool peq_off, const std::vector<BandVals>& bands) {
    std::vector<Node> out{obj(B, {"GalileoOutputEqualizationNode", "GalileoEqualizationNode"}), bypass(B, false),
                          obj(B + ".parametric", {"GalileoOutputParametricEqNode", "GalileoParametricEqNode"}),
                          bypass(B + ".parametric", peq_off)};
    const double slot[10] = {32, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
    for (int i = 0; i < 10; ++i) {
        const std::string p = fmt::format("{}.parametric.band_{}", B, i + 1);
        const BandVals v = i < int(bands.size()) ? bands[std::size_t(i)] : BandVals{slot[i], 1, 0};
        out.push_back(obj(p, {"GalileoParametricBandNode"}));
        out.push_back(bypass(p, false));
        out.push_back(freq(p + ".frequency", v.hz));
        out.push_back(fl(p + ".bandwidth", "GalileoBandwidthNode", v.bw));
        out.push_back(gain(p + ".gain", v.gain));
    }
    return out;
}

void galileo_shaping(std::vector<Node>& out, bool off, const double g[4], const double hz[3]) {
    const std::string p = B + ".truShaping";
    out.push_back(obj(p, {"GalileoTruShapingEqNode"}));
    out.push_back(bypass(p, off));
    for (int k = 1; k <= 3; ++k) {
        out.push_back(gain(fmt::format("{}.gain_{}", p, k), g[k - 1]));
        out.push_back(freq(fmt::format("{}.frequency_{}", p, k), hz[k - 1]));
    }
    out.push_back(gain(p + ".gain_4", g[3]));
}

void filter_block(std::vector<Node>& out, const std::string& p, std::vector<std::string> head, bool by,
                  std::uint32_t t, double hz) {
    out.push_back(obj(p, std::move(head)));
    out.push_back(bypass(p, by));
    out.push_back(type(p, t));
    out.push_back(freq(p + ".frequency", hz));
}

Source bare(std::string name = "Main") {
    Source s = Source::make(std::move(name));
    s.bands.clear();
    return s;
}

Band peak(float hz, float gain, float q) { return Band{hz, gain, q, true, BandKind::Peak}; }

// ---------------------------------------------------------------- tests

TEST(Utf16, LengthPrefixedBigEndian) {
    struct Case {
        std::string text;
        Bytes want;
    };
    const Case cases[] = {
        {"", {0, 0, 0, 0}},
        {"A", {0, 0, 0, 2, 0x00, 0x41}},
        {"G\xC3\xA9", {0, 0, 0, 4, 0x00, 0x47, 0x00, 0xE9}},
        {"\xE2\x82\xAC", {0, 0, 0, 2, 0x20, 0xAC}},
        // U+1D11E is a surrogate pair: two units, four bytes.
        {"\xF0\x9D\x84\x9E", {0, 0, 0, 4, 0xD8, 0x34, 0xDD, 0x1E}},
        // Bytes that are not UTF-8 become U+FFFD.
        {"a\xFF", {0, 0, 0, 4, 0x00, 0x61, 0xFF, 0xFD}},
    };
    for (const auto& c : cases) {
        Bytes b{0xAA};
        put_utf16(b, c.text);
        Bytes want{0xAA};
        want.insert(want.end(), c.want.begin(), c.want.end());
        EXPECT_EQ(b, want) << c.text;
    }
}

TEST(File, HeaderBytes) {
    auto list = nodes(listing(bare(), "Main Row 3"));
    ASSERT_TRUE(list.has_value()) << list.error();
    auto f = file("Main Row 3", *list);
    ASSERT_TRUE(f.has_value()) << f.error();
    Bytes want;
    const auto raw = [&](std::initializer_list<int> v) {
        for (int x : v) want.push_back(static_cast<std::uint8_t>(x));
    };
    const auto ascii = [&](std::string_view s) { want.insert(want.end(), s.begin(), s.end()); };
    const auto utf16 = [&](std::string_view s) {
        const std::size_t n = 2 * s.size();
        raw({int(n >> 24), int((n >> 16) & 255), int((n >> 8) & 255), int(n & 255)});
        for (char c : s) raw({0, c});
    };
    raw({0, 0, 0, 27});
    ascii("Compass Settings File");
    raw({0x0D, 0x0A, 0x31, 0x41, 0x59, 0x26});
    raw({0, 4});
    raw({0, 0, 0, 55});
    ascii("Compass 3.12.1 /4823/5527/1268/108/Jul  7 2017 05:23:20");
    const std::size_t class_at = want.size();
    utf16("GalileoOutputEqualizationNode");
    utf16("Equalization");
    utf16("Galileo: Veltrum\nOutput Channel: Main Row 3");
    raw({1});
    EXPECT_EQ(want[class_at + 3], 58);
    ASSERT_GT(f->size(), want.size() + 4);
    EXPECT_EQ(Bytes(f->begin(), f->begin() + long(want.size())), want);
    // The length of the compressed node file, then exactly that many bytes of
    // one zlib stream (default window, level 6 marks the header 78 9C).
    const std::size_t at = want.size();
    const std::size_t len = (std::size_t((*f)[at]) << 24) | (std::size_t((*f)[at + 1]) << 16) |
                            (std::size_t((*f)[at + 2]) << 8) | std::size_t((*f)[at + 3]);
    EXPECT_EQ(at + 4 + len, f->size());
    EXPECT_EQ((*f)[at + 4], 0x78);
    EXPECT_EQ((*f)[at + 5], 0x9C);
}

TEST(File, NodeRecordBytes) {
    const std::vector<Node> one{{"galileo.a.bypass", {"GalileoBypassNode", "Persistent"}, true},
                                {"galileo.a.type", {"IntParameter"}, std::uint32_t{7}},
                                {"galileo.a.gain", {"X"}, 1.5},
                                {"galileo.a", {"ObjectNode"}, {}}};
    const Bytes got = node_file(one);
    Bytes want;
    const auto raw = [&](std::initializer_list<int> v) {
        for (int x : v) want.push_back(static_cast<std::uint8_t>(x));
    };
    const auto sized = [&](std::string_view s) {
        raw({0, 0, 0, int(s.size())});
        want.insert(want.end(), s.begin(), s.end());
    };
    sized("TreeNodeFile\r\n1AY&");
    raw({0, 2, 1, 0, 0, 0, 4});
    sized("galileo.a.bypass");
    raw({0, 0});
    sized("GalileoBypassNode");
    raw({0, 1, 1, 0, 0});
    sized("Persistent");
    raw({0, 1, 1});
    raw({0, 1});
    sized("galileo.a.type");
    raw({0, 0});
    sized("IntParameter");
    raw({0, 3, 1});
    raw({0, 0, 0, 0, 7});
    sized("galileo.a.gain");
    raw({0, 0});
    sized("X");
    raw({0, 1, 1});
    raw({0, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0});
    sized("galileo.a");
    raw({0, 0});
    sized("ObjectNode");
    raw({0, 1, 1});
    sized("TreeNodeFile\r\n1AY&");
    EXPECT_EQ(got, want);
}

TEST(File, BareGalileoStripTree) {
    auto r = strip_file(bare());
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->channel, "Main");
    EXPECT_TRUE(r->notes.empty());
    const auto p = parse_file(r->bytes);
    EXPECT_EQ(p.description, "Galileo: Veltrum\nOutput Channel: Main");

    auto want = head_and_bands(false, {});
    const double g[4] = {0, 0, 0, 0}, hz[3] = {125, 500, 4000};
    galileo_shaping(want, true, g, hz);
    filter_block(want, B + ".highLowPass", {"GalileoHighLowPassNode"}, true, 0, 80);
    ASSERT_EQ(want.size(), 67u);
    EXPECT_EQ(p.nodes.size(), 67u);
    EXPECT_EQ(p.nodes, want);
}

TEST(File, CallistoTree) {
    Source s = bare("Sub");
    s.peq = false;
    s.shaping = design::Shaping::defaults(ShapingModel::Callisto);
    s.shaping.on = true;
    s.shaping.gain_db = {3.5f, -2, 0, 1.25f, -6};
    s.shaping.slope_db = {6, 12, 18, 30};
    s.hp = {true, FilterKind::LinkwitzRiley, 24, 31.5f};
    s.lp = {true, FilterKind::Butterworth, 18, 120};
    s.bands = {peak(60, -3, 4)};
    auto r = strip_file(s);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_TRUE(r->notes.empty());
    const auto p = parse_file(r->bytes);

    auto want = head_and_bands(true, {{60, 0.25, -3}});
    filter_block(want, B + ".arrayProcessorHighPassFilter",
                 {"GalileoArrayProcessorHighPassFilterNode", "GalileoArrayProcessorHighLowPassFilterNode"}, false, 7,
                 31.5);
    filter_block(want, B + ".arrayProcessorLowPassFilter",
                 {"GalileoArrayProcessorLowPassFilterNode", "GalileoArrayProcessorHighLowPassFilterNode"}, false, 3,
                 120);
    const std::string ls = B + ".lorenteShaping";
    want.push_back(obj(ls, {"GalileoLorenteShapingEqNode"}));
    want.push_back(bypass(ls, false));
    const double gains[5] = {3.5, -2, 0, 1.25, -6};
    for (int k = 1; k <= 5; ++k) {
        want.push_back(gain(fmt::format("{}.gain_{}", ls, k), gains[k - 1]));
        want.push_back({fmt::format("{}.gainSelect_{}", ls, k), BOOL_CHAIN, false});
    }
    const double knees[4] = {62, 250, 1000, 4000};
    const std::uint32_t orders[4] = {1, 2, 3, 5};
    for (int k = 1; k <= 4; ++k) {
        want.push_back(freq(fmt::format("{}.frequency_{}", ls, k), knees[k - 1]));
        want.push_back({ls + ".GalileoLorenteShapingOrderNode",
                        chain({"GalileoLorenteShapingOrderNode"}, ENUM_CHAIN), orders[k - 1]});
    }
    ASSERT_EQ(want.size(), 82u);
    EXPECT_EQ(p.nodes, want);
}

// Filters and shapes per model: the block written and the notes given.
TEST(File, FiltersAndNotes) {
    struct Case {
        const char* what;
        ShapingModel model;
        design::Filter hp, lp;
        std::uint32_t type;  // of the first filter block
        bool bypassed;
        double hz;
        std::vector<std::string> notes;
    };
    using FK = FilterKind;
    const design::Filter off{};
    const Case cases[] = {
        {"Galileo hp and lp", ShapingModel::Galileo, {true, FK::GalileoHp, 12, 90}, {true, FK::GalileoLp, 12, 110},
         1, false, 90, {"low pass dropped (one crossover slot there)"}},
        {"elliptic hp", ShapingModel::Galileo, {true, FK::GalileoElliptic, 48, 70}, off, 2, false, 70, {}},
        {"Galileo lp alone", ShapingModel::Galileo, off, {true, FK::GalileoLp, 12, 95}, 0, false, 95, {}},
        {"Galileo with LR filters", ShapingModel::Galileo, {true, FK::LinkwitzRiley, 24, 90},
         {true, FK::LinkwitzRiley, 24, 100}, 0, true, 80,
         {"high pass left bypassed (no such shape there)", "low pass left bypassed (no such shape there)"}},
        {"Callisto BW 30 hp", ShapingModel::Callisto, {true, FK::Butterworth, 30, 55}, off, 0, true, 40,
         {"high pass left bypassed (no such shape there)"}},
        {"Callisto Galileo hp", ShapingModel::Callisto, {true, FK::GalileoHp, 12, 55}, off, 0, false, 55, {}},
        {"Callisto elliptic hp", ShapingModel::Callisto, {true, FK::GalileoElliptic, 12, 55}, off, 1, false, 55, {}},
        {"Callisto BW 6 hp", ShapingModel::Callisto, {true, FK::Butterworth, 6, 55}, off, 2, false, 55, {}},
        {"Callisto LR 12 hp", ShapingModel::Callisto, {true, FK::LinkwitzRiley, 12, 55}, off, 6, false, 55, {}},
        {"Callisto LR 18 hp", ShapingModel::Callisto, {true, FK::LinkwitzRiley, 18, 55}, off, 0, true, 40,
         {"high pass left bypassed (no such shape there)"}},
        {"Callisto lp of an hp kind", ShapingModel::Callisto, off, {true, FK::GalileoHp, 12, 500}, 0, true, 40,
         {"low pass left bypassed (no such shape there)"}},
    };
    for (const auto& c : cases) {
        Source s = bare();
        s.shaping = design::Shaping::defaults(c.model);
        s.hp = c.hp;
        s.lp = c.lp;
        auto r = strip_file(s);
        ASSERT_TRUE(r.has_value()) << c.what << ": " << r.error();
        EXPECT_EQ(r->notes, c.notes) << c.what;
        const auto p = parse_file(r->bytes);
        // The first filter block follows the 54 head and band nodes (and the
        // Galileo shaping's 9).
        const std::size_t at = 54 + (c.model == ShapingModel::Galileo ? 9 : 0);
        ASSERT_GT(p.nodes.size(), at + 3) << c.what;
        EXPECT_EQ(p.nodes[at + 1].value, Node::Value{c.bypassed}) << c.what;
        EXPECT_EQ(p.nodes[at + 2].value, Node::Value{c.type}) << c.what;
        EXPECT_EQ(p.nodes[at + 3].value, Node::Value{c.hz}) << c.what;
    }
}

TEST(File, BandsNotesAndClamps) {
    Source s = bare("Main / Row 3");
    for (int i = 0; i < 12; ++i) s.bands.push_back(peak(100.0f * float(i + 1), float(i), 1.0f));
    s.bands[0].q = 0.2f;   // bandwidth 5, held to 2
    s.bands[1].q = 20.0f;  // bandwidth 0.05, held to 0.1
    s.bands[2].q = 0.0f;   // no bandwidth at all, held to 2
    s.bands[3].q = 1318.0391f / 1000.0f;
    s.bands.push_back(Band{50, 3, 0.7f, true, BandKind::LowShelf});
    s.bands.push_back(Band{9000, 3, 0.7f, true, BandKind::HighShelf});
    s.bands.push_back(Band{9000, 3, 0.7f, false, BandKind::HighShelf});
    auto r = strip_file(s);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->channel, "Main Row 3");
    EXPECT_EQ(file_name(r->channel), "Main Row 3.galileoOutputEqualization");
    const std::vector<std::string> want_notes{"first 10 of 12 bands", "2 shelf band(s) skipped (peaks only there)",
                                              "3 band(s) bandwidth held to 0.1..2"};
    EXPECT_EQ(r->notes, want_notes);
    EXPECT_EQ(notes_text(r->notes),
              ", first 10 of 12 bands, 2 shelf band(s) skipped (peaks only there), 3 band(s) bandwidth held to 0.1..2");
    EXPECT_EQ(notes_text({}), "");

    const auto p = parse_file(r->bytes);
    EXPECT_EQ(p.description, "Galileo: Veltrum\nOutput Channel: Main Row 3");
    std::map<std::string, Node::Value> v;
    for (const auto& n : p.nodes) v[n.path] = n.value;
    const auto band = [&](int i, const char* field) { return v.at(fmt::format("{}.parametric.band_{}.{}", B, i, field)); };
    EXPECT_EQ(band(1, "bandwidth"), Node::Value{2.0});
    EXPECT_EQ(band(2, "bandwidth"), Node::Value{0.1});
    EXPECT_EQ(band(3, "bandwidth"), Node::Value{2.0});
    // The double nearest the written shortest text, not the float widened.
    const float bw4 = 1.0f / (1318.0391f / 1000.0f);
    EXPECT_EQ(band(4, "bandwidth"), Node::Value{std::strtod(fmt::format("{}", bw4).c_str(), nullptr)});
    EXPECT_NE(band(4, "bandwidth"), Node::Value{double(bw4)});
    EXPECT_EQ(band(10, "frequency"), Node::Value{1000.0});
    EXPECT_EQ(band(10, "gain"), Node::Value{9.0});
}

TEST(SettingsFile, PartsChooseWhatIsWritten) {
    Source s = bare("Main");
    s.bands = {peak(300, -4, 2)};
    s.shaping.on = true;
    s.hp = {true, FilterKind::GalileoHp, 12, 60};
    design::Zone z;
    z.position = "Row 3";
    z.bands = {peak(5000, 2, 1)};
    s.zones.push_back(z);

    // Everything: source bands, then the zone's.
    auto all = settings_file(s, "Row 3", Parts{});
    ASSERT_TRUE(all.has_value()) << all.error();
    EXPECT_EQ(all->channel, "Main Row 3");
    auto p = parse_file(all->bytes);
    EXPECT_EQ(p.nodes[3].value, Node::Value{false});  // parametric.bypass
    EXPECT_EQ(p.nodes[6].value, Node::Value{300.0});   // band_1.frequency
    EXPECT_EQ(p.nodes[11].value, Node::Value{5000.0});  // band_2.frequency
    EXPECT_EQ(p.nodes[55].value, Node::Value{false});  // truShaping.bypass
    EXPECT_EQ(p.nodes[64].value, Node::Value{false});  // highLowPass.bypass

    // Nothing of the EQ and no hp: default bands, shaping and filter bypassed.
    Parts none;
    none.eq = none.zone_eq = none.air = none.hp = none.lp = false;
    auto bare_file = settings_file(s, "Row 3", none);
    ASSERT_TRUE(bare_file.has_value()) << bare_file.error();
    p = parse_file(bare_file->bytes);
    EXPECT_EQ(p.nodes[6].value, Node::Value{32.0});
    EXPECT_EQ(p.nodes[55].value, Node::Value{true});
    EXPECT_EQ(p.nodes[64].value, Node::Value{true});
    EXPECT_EQ(p.nodes[66].value, Node::Value{80.0});
    EXPECT_TRUE(bare_file->notes.empty());
}

TEST(Nodes, Failures) {
    struct Case {
        std::string listing;
        std::string error;
    };
    const Case cases[] = {
        {"galileo.x.foo = 1\n", "Compass file: no class for 'foo'"},
        {"galileo.x.bypass = yes\n", "Compass file: bad value 'yes' for galileo.x.bypass"},
        {"galileo.x.type = -1\n", "Compass file: bad value '-1' for galileo.x.type"},
        {"galileo.x.type = 4294967296\n", "Compass file: bad value '4294967296' for galileo.x.type"},
        {"galileo.x.gain = inf\n", "Compass file: bad value 'inf' for galileo.x.gain"},
        {"galileo.x.gain = 1e999\n", "Compass file: bad value '1e999' for galileo.x.gain"},
        {"galileo.x.frequency = \n", "Compass file: bad value '' for galileo.x.frequency"},
    };
    for (const auto& c : cases) {
        auto r = nodes(c.listing);
        ASSERT_FALSE(r.has_value()) << c.listing;
        EXPECT_EQ(r.error(), c.error);
    }
    // Lines that are not parameters are skipped; values are trimmed.
    auto ok = nodes("Galileo Nickname: x\ngalileo.no equals sign\nother.gain = 1\n"
                    "galileo.a.type = +7 \r\ngalileo.a.gain =   -2.5\ngalileo.b.band_12 = whatever");
    ASSERT_TRUE(ok.has_value()) << ok.error();
    ASSERT_EQ(ok->size(), 3u);
    EXPECT_EQ((*ok)[0].value, Node::Value{std::uint32_t{7}});
    EXPECT_EQ((*ok)[1].value, Node::Value{-2.5});
    EXPECT_EQ((*ok)[2].value, Node::Value{});

    // A band value that is not a number makes the export fail.
    Source s = bare("Left");
    s.bands = {peak(std::numeric_limits<float>::quiet_NaN(), 1, 1)};
    auto r = strip_file(s);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "Compass file: bad value 'NaN' for " + B + ".parametric.band_1.frequency");
}

TEST(Nodes, NameCannotAddParameters) {
    Source s = bare("Main\ngalileo.outputSection.outputChannel_1.equalization.bypass = true");
    auto r = strip_file(s);
    ASSERT_TRUE(r.has_value()) << r.error();
    const auto p = parse_file(r->bytes);
    EXPECT_EQ(p.nodes.size(), 67u);
    EXPECT_EQ(p.nodes[1].value, Node::Value{false});
}

// ---------------------------------------------------------------- pinned files

std::filesystem::path golden(const char* name) {
    return std::filesystem::path(VELTRUM_TEST_DIR) / "golden" / name;
}

void expect_golden(const char* name, const Bytes& got) {
    const auto path = golden(name);
    if (std::getenv("VELTRUM_UPDATE_GOLDEN")) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(got.data()), long(got.size()));
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "missing " << path;
    const Bytes want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, want) << name;
}

TEST(Golden, SmallStrip) {
    Source s = bare("Main L");
    s.bands = {peak(65.901962f, -3.5f, 1.4f), peak(2500, 2, 4)};
    s.shaping.on = true;
    s.shaping.gain_db = {1.5f, 0, -1, -2.25f, 0};
    s.hp = {true, FilterKind::GalileoHp, 12, 45};
    auto r = strip_file(s);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_TRUE(r->notes.empty());
    expect_golden("compass_small_strip.galileoOutputEqualization", r->bytes);
}

TEST(Golden, Zone) {
    Source s = bare("Delay");
    s.shaping = design::Shaping::defaults(ShapingModel::Callisto);
    s.bands = {peak(180, -2, 2), Band{40, 4, 0.7f, true, BandKind::LowShelf}};
    s.lp = {true, FilterKind::LinkwitzRiley, 24, 16000};
    design::Zone z;
    z.position = "Balcony";
    z.bands = {peak(3150, 1.5f, 1.2f)};
    z.air.on = true;
    z.air.band = Band{10000, 2.5f, 0.7f, true, BandKind::HighShelf};
    s.zones.push_back(z);
    auto r = settings_file(s, "Balcony", Parts{});
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->channel, "Delay Balcony");
    EXPECT_EQ(r->notes, (std::vector<std::string>{"2 shelf band(s) skipped (peaks only there)"}));
    expect_golden("compass_zone.galileoOutputEqualization", r->bytes);
}

}  // namespace
}  // namespace engine::compass
