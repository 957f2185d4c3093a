#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/utf8.h"
#include "engine/persist/notation.h"

using namespace engine::notation;

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

std::string write_compact(float v) {
    std::string out;
    Writer w(out);
    w.f32(v);
    return out;
}

float read_float(const std::string& text) {
    Reader r(text);
    auto v = r.f32();
    EXPECT_TRUE(v) << text;
    return v ? *v : 0.0f;
}

}  // namespace

TEST(NotationWriter, FloatForms) {
    struct Case { float v; const char* text; };
    const Case cases[] = {
        {3.0f, "3.0"}, {0.7f, "0.7"}, {1e-7f, "0.0000001"}, {-0.0f, "-0.0"}, {6.0f, "6.0"},
        {INF, "inf"}, {-INF, "-inf"}, {std::nanf(""), "NaN"}, {-std::nanf(""), "-NaN"},
        {1000.0f, "1000.0"}, {-2.5f, "-2.5"}, {0.1f, "0.1"},
    };
    for (const auto& c : cases) EXPECT_EQ(write_compact(c.v), c.text) << c.text;
    EXPECT_EQ(double_text(0.1), "0.1");
    EXPECT_EQ(double_text(-std::nan("")), "-NaN");
}

TEST(NotationWriter, FloatsReadBackBitExact) {
    std::vector<float> values = {0.0f, -0.0f, INF, -INF, std::numeric_limits<float>::denorm_min(),
                                 -std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
                                 std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                                 1.17549421e-38f, 0.7f, 16777217.0f};
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (!std::isnan(f)) values.push_back(f);
    }
    for (float v : values) {
        const std::string text = write_compact(v);
        ASSERT_EQ(text.find('e'), std::string::npos) << text;
        const float back = read_float(text);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(v)) << text;
    }
    EXPECT_TRUE(std::isnan(read_float("NaN")));
    EXPECT_FALSE(std::signbit(read_float("NaN")));
    EXPECT_TRUE(std::signbit(read_float("-NaN")));
    // Exponents, integers and out-of-range forms read as a decimal parser would.
    EXPECT_EQ(read_float("1e-7"), 1e-7f);
    EXPECT_EQ(read_float("12"), 12.0f);
    EXPECT_EQ(read_float("1e39"), INF);
    EXPECT_EQ(read_float("-1e39"), -INF);
    EXPECT_EQ(read_float("1e-60"), 0.0f);
}

// Characters the writer escapes come from the Unicode categories; those the
// old hand-made table missed are here with some that stay as they are.
TEST(NotationWriter, EscapesFollowTheUnicodeCategories) {
    struct Case { char32_t cp; bool escaped; };
    const Case cases[] = {
        {0x0903, true},   // spacing combining mark (Mc)
        {0xA8E0, true},   // nonspacing mark of Devanagari Extended (Mn)
        {0x20DD, true},   // enclosing circle (Me)
        {0x1E94A, true},  // Adlam nukta (Mn)
        {0x0378, true},   // unassigned
        {0x50000, true},  // unassigned plane
        {0xE0001, true},  // language tag (Cf)
        {0x1D173, true},  // musical symbol begin beam (Cf)
        {0x2029, true},   // paragraph separator (Zp)
        {0x3000, true},   // ideographic space (Zs)
        {0x115F, true},   // Hangul choseong filler (default-ignorable)
        {0xE000, true},   // private use
        {0x00E9, false}, {0x0904, false}, {0x4E00, false}, {0x1F600, false}, {0x20AC, false},
    };
    for (const auto& c : cases) {
        std::string text = "a";
        base::utf8::append_utf8(text, c.cp);
        std::string out;
        Writer w(out);
        w.string(text);
        ASSERT_TRUE(w.result());
        const std::string want = c.escaped ? fmt::format("\"a\\u{{{:x}}}\"", static_cast<std::uint32_t>(c.cp))
                                           : "\"" + text + "\"";
        EXPECT_EQ(out, want) << std::hex << static_cast<std::uint32_t>(c.cp);
        Reader r(out);
        auto back = r.string();
        ASSERT_TRUE(back) << back.error().text();
        EXPECT_EQ(*back, text);
    }
}

TEST(NotationWriter, StringEscapesRoundTrip) {
    struct Case { std::string text; std::string quoted; };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"\t\n\r\"'\\", "\"\\t\\n\\r\\\"\\'\\\\\""},
        {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
        {"e\xcc\x81", "\"e\\u{301}\""},               // combining acute accent
        {"nb\xc2\xa0sp", "\"nb\\u{a0}sp\""},          // no-break space
        {"zw\xe2\x80\x8bsp", "\"zw\\u{200b}sp\""},    // zero-width space
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\""},
    };
    for (const auto& c : cases) {
        std::string out;
        Writer w(out);
        w.string(c.text);
        ASSERT_TRUE(w.result());
        EXPECT_EQ(out, c.quoted);
        Reader r(out);
        auto back = r.string();
        ASSERT_TRUE(back) << back.error().text();
        EXPECT_EQ(*back, c.text);
    }
    // Escapes the writer does not produce are read too.
    Reader r(R"("\u00e9\x41\u{1F3B5}" r#"raw "q""#)");
    EXPECT_EQ(*r.string(), "\xc3\xa9" "A\xf0\x9f\x8e\xb5");
    EXPECT_EQ(*r.string(), "raw \"q\"");
    // Text that is not UTF-8 is refused by the writer.
    std::string out;
    Writer w(out);
    w.string("bad\xff");
    ASSERT_FALSE(w.result());
    EXPECT_EQ(w.result().error(), "text is not valid UTF-8");
}

TEST(NotationWriter, CompactAndIndentedLayouts) {
    auto write = [](Writer& w) {
        w.begin_record();
        w.field("on"); w.boolean(true);
        w.field("name"); w.string("x");
        w.field("list"); w.begin_list(); w.u64(1); w.i64(-2); w.end_list();
        w.field("empty"); w.begin_list(); w.end_list();
        w.field("pair"); w.begin_tuple(); w.f32(1.0f); w.f32(2.5f); w.end_tuple();
        w.field("inner"); w.begin_record(); w.field("a"); w.name("Flat"); w.end_record();
        w.field("opt"); w.begin_some(); w.name("LivePa"); w.end_some();
        w.field("none"); w.none();
        w.field("dest"); w.begin_variant("Wing"); w.string("bus 1"); w.end_variant();
        w.end_record();
    };
    std::string compact;
    Writer c(compact);
    write(c);
    ASSERT_TRUE(c.result());
    EXPECT_EQ(compact,
              "(on:true,name:\"x\",list:[1,-2],empty:[],pair:(1.0,2.5),inner:(a:Flat),opt:Some(LivePa),"
              "none:None,dest:Wing(\"bus 1\"))");
    std::string indented;
    Writer i(indented, Layout::Indented);
    write(i);
    ASSERT_TRUE(i.result());
    EXPECT_EQ(indented,
              "(\n"
              "    on: true,\n"
              "    name: \"x\",\n"
              "    list: [\n"
              "        1,\n"
              "        -2,\n"
              "    ],\n"
              "    empty: [],\n"
              "    pair: (1.0, 2.5),\n"
              "    inner: (\n"
              "        a: Flat,\n"
              "    ),\n"
              "    opt: Some(LivePa),\n"
              "    none: None,\n"
              "    dest: Wing(\"bus 1\"),\n"
              ")");
    // Both layouts read back the same way.
    for (const std::string& text : {compact, indented}) {
        Reader r(text);
        int fields = 0;
        auto p = r.record("Any", {{"on", true}, {"inner"}}, [&](std::size_t idx, Reader& rd) -> Parsed<void> {
            ++fields;
            if (idx == 0) return discard(rd.boolean());
            return rd.record("Inner", {{"a", true}}, [](std::size_t, Reader& rr) -> Parsed<void> {
                return discard(rr.variant("Curve", {"Flat", "LivePa"}));
            });
        });
        ASSERT_TRUE(p) << p.error().text();
        EXPECT_TRUE(r.finish());
        EXPECT_EQ(fields, 2);
    }
}

TEST(NotationReader, ErrorsNameTheFieldTheRecordAndThePlace) {
    // Reads a record Band with hz and q required and kind an enumeration.
    auto read = [](std::string_view text) -> std::string {
        Reader r(text);
        auto p = r.record("Band", {{"hz", true}, {"q", true}, {"kind"}, {"slope"}},
                          [](std::size_t idx, Reader& rd) -> Parsed<void> {
                              switch (idx) {
                                  case 0:
                                  case 1: return discard(rd.f32());
                                  case 2:
                                      return discard(rd.variant("BandKind", {"Peak", "LowShelf", "HighShelf"}));
                                  default: return discard(rd.unsigned_int<std::uint8_t>());
                              }
                          });
        if (p) p = r.finish();
        return p ? "ok" : p.error().text();
    };
    struct Case { const char* text; const char* result; };
    const Case cases[] = {
        {"(hz:1.0,q:2.0)", "ok"},
        {"Band(q:2.0,hz:1.0,)", "ok"},
        {" // comment\n(hz:1.0, /* c */ q:2.0, extra:[(a:1,b:\"x\"),{1:2}], other:Some(X(1)))", "ok"},
        {"(q:2.0)", "1:7: Unexpected missing field named `hz` in `Band`"},
        {"()", "1:2: Unexpected missing field named `hz` in `Band`"},
        {"(hz:1.0,q:2.0,hz:1.0)", "1:15-1:17: Unexpected duplicate field named `hz` in `Band`"},
        {"Layer(hz:1.0,q:2.0)", "1:1-1:6: Expected struct `Band` but found `Layer`"},
        {"[hz:1.0]", "1:1: Expected opening `(` for struct `Band`"},
        {"(hz:1.0,q:2.0,kind:Shelf)",
         "1:20-1:25: Unexpected variant named `Shelf` in enum `BandKind`, expected one of `Peak`, `LowShelf`, or "
         "`HighShelf` instead"},
        {"(hz:1.0,q:2.0,slope:256)", "1:21: Expected an unsigned 8-bit integer but found the unsigned integer `256` instead"},
        {"(hz:1.0,q:2.0,slope:-6)", "1:21: Expected an unsigned 8-bit integer but found the signed integer `-6` instead"},
        {"(hz:true,q:2.0)",
         "1:5: Expected a floating point number but found the boolean `true` instead"},
        {"(hz:\"1\",q:2.0)", "1:5: Expected a floating point number but found the string \"1\" instead"},
        {"(hz:1.0,\n q:[1])", "2:4: Expected a floating point number but found a sequence instead"},
        {"(hz:1.0,q:2.0) ()", "1:16: Non-whitespace trailing characters"},
        {"(hz:1.0 q:2.0)", "1:9: Expected `,` or `)`"},
        {"", "1:1: Expected opening `(` for struct `Band`"},
        {"(hz:1.0,q:2.0,x:\"open", "1:17: Unterminated string"},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.text), c.result) << c.text;
}

TEST(NotationReader, ExpectedNamesAndLimits) {
    const std::string_view one[] = {"Wing"};
    const std::string_view two[] = {"Galileo", "Callisto"};
    EXPECT_EQ(expected_names(one), "expected `Wing` instead");
    EXPECT_EQ(expected_names(two), "expected either `Galileo` or `Callisto` instead");
    // Deep nesting in a skipped value stops at the recursion limit.
    std::string deep = "(x:" + std::string(200, '[') + std::string(200, ']') + ")";
    Reader r(deep);
    auto p = r.record("R", {}, [](std::size_t, Reader&) -> Parsed<void> { return {}; });
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().message, "Exceeded recursion limit");
    // Integers at the edges of their widths.
    Reader ints("-32768 32767 32768 18446744073709551615 18446744073709551616");
    EXPECT_EQ(*ints.signed_int<std::int16_t>(), -32768);
    EXPECT_EQ(*ints.signed_int<std::int16_t>(), 32767);
    EXPECT_FALSE(ints.signed_int<std::int16_t>());
    EXPECT_EQ(*ints.u64(), 32768u);
    EXPECT_EQ(*ints.u64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(ints.u64());
    // Optional values.
    Reader opt("None Some(3.0) Maybe");
    EXPECT_EQ(*opt.begin_optional(), false);
    EXPECT_EQ(*opt.begin_optional(), true);
    EXPECT_EQ(*opt.f32(), 3.0f);
    EXPECT_TRUE(opt.end_some());
    EXPECT_EQ(opt.begin_optional().error().message,
              "Expected an optional value but found a unit variant instead");
}

// What a reader says it found where a value of another kind belongs.
TEST(NotationReader, FoundValuesAreNamedByTheirKind) {
    const struct {
        const char* text;
        const char* found;
    } cases[] = {
        {"true", "the boolean `true`"},
        {"12", "the unsigned integer `12`"},
        {"-12", "the signed integer `-12`"},
        {"1.5", "the floating point number `1.5`"},
        {"'x'", "the UTF-8 character `x`"},
        {"\"ab\"", "the string \"ab\""},
        {"()", "a unit value"},
        {"None", "an optional value"},
        {"Some(1)", "an optional value"},
        {"(1)", "a newtype struct"},
        {"(1, 2)", "a tuple"},
        {"(a: 1)", "a struct"},
        {"[1, 2]", "a sequence"},
        {"Peak", "a unit variant"},
        {"Wing(\"bus 1\")", "a newtype variant"},
        {"Wing (\"a,b\", )", "a newtype variant"},
        {"Pair(1, (2, 3))", "a tuple variant"},
        {"Pair([1, 2], \"x\")", "a tuple variant"},
        {"Band(hz: 1.0)", "a struct variant"},
        {"Band( q : 1.0)", "a struct variant"},
    };
    for (const auto& c : cases) {
        Reader r(c.text);
        auto b = r.boolean();
        if (std::string_view(c.text) == "true") continue;
        ASSERT_FALSE(b) << c.text;
        EXPECT_EQ(b.error().message, std::string("Expected a boolean but found ") + c.found + " instead") << c.text;
    }
}

namespace {

// Element-by-element reading of a list, what the fast list readers must
// agree with.
template <class T, class One>
Parsed<std::vector<T>> one_by_one(Reader& r, One one) {
    std::vector<T> out;
    auto p = r.list([&](Reader& rd) -> Parsed<void> {
        auto v = one(rd);
        if (!v) return std::unexpected(v.error());
        return rd.push(out, std::move(*v));
    });
    if (!p) return std::unexpected(p.error());
    return out;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }
std::vector<std::uint32_t> bits(const std::vector<float>& v) {
    std::vector<std::uint32_t> out;
    for (float x : v) out.push_back(bits(x));
    return out;
}
std::vector<std::uint32_t> bits(const std::vector<std::complex<float>>& v) {
    std::vector<std::uint32_t> out;
    for (auto z : v) out.insert(out.end(), {bits(z.real()), bits(z.imag())});
    return out;
}
std::vector<std::uint32_t> bits(const std::vector<std::int16_t>& v) {
    return std::vector<std::uint32_t>(v.begin(), v.end());
}

// Reads `text` with the fast reader and element by element, each from a
// reader left with `room` bytes of its memory budget (all of it when
// absent): the same values bit for bit and the same place after the list, or
// the same error. Gives the fast reader's values as bits.
template <class Fast, class One>
std::optional<std::vector<std::uint32_t>> same_as_one_by_one(std::string_view text, Fast fast, One one,
                                                            std::optional<std::size_t> room = std::nullopt) {
    Reader a(text);
    Reader b(text);
    if (room) {
        const std::size_t budget = 2 * text.size() + Reader::MEMORY_SLACK;
        EXPECT_TRUE(a.charge(budget - *room));
        EXPECT_TRUE(b.charge(budget - *room));
    }
    const auto got = fast(a);
    const auto want = one(b);
    EXPECT_EQ(got.has_value(), want.has_value());
    if (got && want) {
        EXPECT_EQ(bits(*got), bits(*want));
        EXPECT_EQ(a.offset(), b.offset());
        if (room) {
            // Both charged the list's memory.
            const std::size_t used = got->size() * sizeof(got->front());
            for (Reader* r : {&a, &b}) {
                EXPECT_TRUE(r->charge(*room - used));
                EXPECT_FALSE(r->charge(1));
            }
        }
        return bits(*got);
    }
    if (!got && !want) {
        EXPECT_EQ(got.error().text(), want.error().text());
    }
    if (!got) return std::nullopt;
    return bits(*got);
}

std::optional<std::vector<std::uint32_t>> f32_list_checked(std::string_view text,
                                                           std::optional<std::size_t> room = std::nullopt) {
    return same_as_one_by_one(
        text, [](Reader& r) { return r.f32_list(); },
        [](Reader& r) { return one_by_one<float>(r, [](Reader& rd) { return rd.f32(); }); }, room);
}

std::optional<std::vector<std::uint32_t>> pair_list_checked(std::string_view text,
                                                            std::optional<std::size_t> room = std::nullopt) {
    return same_as_one_by_one(
        text, [](Reader& r) { return r.pair_list(); },
        [](Reader& r) { return one_by_one<std::complex<float>>(r, [](Reader& rd) { return rd.pair(); }); }, room);
}

std::optional<std::vector<std::uint32_t>> i16_list_checked(std::string_view text,
                                                           std::optional<std::size_t> room = std::nullopt) {
    return same_as_one_by_one(
        text, [](Reader& r) { return r.i16_list(); },
        [](Reader& r) { return one_by_one<std::int16_t>(r, [](Reader& rd) { return rd.signed_int<std::int16_t>(); }); },
        room);
}

std::vector<std::uint32_t> bits_of(std::initializer_list<float> v) { return bits(std::vector<float>(v)); }

}  // namespace

TEST(NotationReader, Int16Lists) {
    using List = std::vector<std::int16_t>;
    const struct {
        const char* text;
        std::optional<List> want;
    } cases[] = {
        {"[] 7", List{}},
        {"[-32768,0,32767] 7", List{-32768, 0, 32767}},
        {"[1,2,] 7", List{1, 2}},
        {"[ 1 , -2 ,\n3 ] 7", List{1, -2, 3}},
        {"[000012,3] 7", List{12, 3}},
        {"[32768]", std::nullopt},
        {"[-32769]", std::nullopt},
        {"[1,,2]", std::nullopt},
        {"[1.5]", std::nullopt},
        {"[1 2]", std::nullopt},
        {"[1,-]", std::nullopt},
        {"[0000012] 7", List{12}},
        {"[1,2", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Reader r(c.text);
        const auto got = r.i16_list();
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (!got) continue;
        EXPECT_EQ(*got, *c.want);
        // Reading goes on right after the list.
        EXPECT_EQ(*r.u64(), 7u);
    }
}

TEST(NotationReader, FloatLists) {
    const float NAN_ = std::numeric_limits<float>::quiet_NaN();
    const float FMAX = std::numeric_limits<float>::max();
    const struct {
        const char* text;
        std::optional<std::vector<std::uint32_t>> want;  // nullopt: an error, the same as one by one
    } cases[] = {
        {"[] 7", bits_of({})},
        {"[ \n ] 7", bits_of({})},
        {"[1.5,-2.0,0.125] 7", bits_of({1.5f, -2.0f, 0.125f})},
        {"[ 1.5 ,\n -2.0\t,\r\n0.125 ] 7", bits_of({1.5f, -2.0f, 0.125f})},
        {"[1.5, /* ] */ 2.0, // ,,\n 3.0] 7", bits_of({1.5f, 2.0f, 3.0f})},
        {"[1.0,2.0,] 7", bits_of({1.0f, 2.0f})},
        {"[1.0 , 2.0 , ] 7", bits_of({1.0f, 2.0f})},
        {"[inf,-inf,+inf,NaN,-NaN] 7", bits_of({INF, -INF, INF, NAN_, -NAN_})},
        {"[-0.0,-0,0,+0.0] 7", bits_of({-0.0f, -0.0f, 0.0f, 0.0f})},
        {"[1e3,2.5E-2,1.e2,-3e+1,12,00012.50] 7", bits_of({1000.0f, 0.025f, 100.0f, -30.0f, 12.0f, 12.5f})},
        {"[1e39,-1e39,1e-50,-1e-50,1000000000000000000000000000000000000000.0,0.000000000000000000000000000000000000000000000000001] 7",
         bits_of({INF, -INF, 0.0f, -0.0f, INF, 0.0f})},
        {"[340282350000000000000000000000000000000.0,0.0000001,16777217.0,0.1] 7",
         bits_of({FMAX, 1e-7f, 16777216.0f, 0.1f})},
        {"[1.5,,2]", std::nullopt},
        {"[1.5 2]", std::nullopt},
        {"[,]", std::nullopt},
        {"[.5]", std::nullopt},
        {"[1.5.2]", std::nullopt},
        {"[1e]", std::nullopt},
        {"[1e+]", std::nullopt},
        {"[infinity]", std::nullopt},
        {"[inf0]", std::nullopt},
        {"[nan]", std::nullopt},
        {"[--1]", std::nullopt},
        {"[1x]", std::nullopt},
        {"[1.0;2.0]", std::nullopt},
        {"[1.0,2.0", std::nullopt},
        {"[1.0,\n  2.0 x]", std::nullopt},
        {"[(1.0,2.0)]", std::nullopt},
        {"[[1.0]]", std::nullopt},
        {"1.5", std::nullopt},
        {"", std::nullopt},
        {"[1.0, /* unclosed ] 2.0]", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = f32_list_checked(c.text);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(*got, *c.want);
        }
    }
}

TEST(NotationReader, PairLists) {
    const float NAN_ = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* text;
        std::optional<std::vector<std::uint32_t>> want;  // re, im, re, im ...; nullopt: an error
    } cases[] = {
        {"[] 7", bits_of({})},
        {"[(1.5,-2.0),(0.25,4.0)] 7", bits_of({1.5f, -2.0f, 0.25f, 4.0f})},
        {"[ ( 1.5 , -2.0 ) ,\n(0.25,4.0,) , ] 7", bits_of({1.5f, -2.0f, 0.25f, 4.0f})},
        {"[(1.5,-2.0,),] 7", bits_of({1.5f, -2.0f})},
        {"[(inf,-inf),(NaN,-NaN),(-0.0,0)] 7", bits_of({INF, -INF, NAN_, -NAN_, -0.0f, 0.0f})},
        {"[(1e3,2.5E-2),(1e39,-1e-50)] 7", bits_of({1000.0f, 0.025f, INF, -0.0f})},
        {"[(1.0,/* c */2.0)] 7", bits_of({1.0f, 2.0f})},
        {"[(1.0)]", std::nullopt},
        {"[(1.0 2.0)]", std::nullopt},
        {"[(1.0,2.0]", std::nullopt},
        {"[(1.0,2.0,,)]", std::nullopt},
        {"[(1.0,2.0,3.0)]", std::nullopt},
        {"[1.0,2.0]", std::nullopt},
        {"[(1.0,2.0)(3.0,4.0)]", std::nullopt},
        {"[(1.0,2.0),,(3.0,4.0)]", std::nullopt},
        {"[(1.0,2.0)", std::nullopt},
        {"[(,)]", std::nullopt},
        {"[(1.0,x)]", std::nullopt},
        {"[(1.0,2.0x)]", std::nullopt},
        {"[[1.0,2.0]]", std::nullopt},
        {"[(1.0,\n 2.0) (3.0, 4.0)]", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = pair_list_checked(c.text);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(*got, *c.want);
        }
    }
}

// Long lists as the writer writes them (every float it can write, read back
// bit for bit), and lists that outgrow what is left of the memory budget:
// "Exceeded memory limit" where element-by-element reading gives it.
TEST(NotationReader, LongListsAndTheMemoryLimit) {
    std::mt19937 rng(11);
    std::string floats;
    std::string pairs;
    {
        Writer f(floats);
        Writer p(pairs);
        f.begin_list();
        p.begin_list();
        for (int i = 0; i < 300000; ++i) {
            const float a = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
            const float b = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
            f.f32(a);
            p.begin_tuple();
            p.f32(b);
            p.f32(a);
            p.end_tuple();
        }
        f.end_list();
        p.end_list();
    }
    ASSERT_EQ(f32_list_checked(floats)->size(), 300000u);
    ASSERT_EQ(pair_list_checked(pairs)->size(), 600000u);

    for (std::size_t room = 0; room < 14; ++room) {
        SCOPED_TRACE(room);
        EXPECT_EQ(f32_list_checked("[1.0,2.0,3.0] 7", room).has_value(), room >= 12);
        EXPECT_EQ(f32_list_checked("[ 1.0 , 2.0 , 3.0 ] 7", room).has_value(), room >= 12);
        EXPECT_EQ(pair_list_checked("[(1.0,2.0),(3.0,4.0)] 7", room).has_value(), room >= 16);
        EXPECT_EQ(i16_list_checked("[1,2,3,4,5,6,7] 7", room).has_value(), room >= 14);
    }
    Reader r("[1.0,2.0,3.0]");
    ASSERT_TRUE(r.charge(2 * 13 + Reader::MEMORY_SLACK - 8));
    EXPECT_EQ(r.f32_list().error().text(), "1:13: Exceeded memory limit");
}
