#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "base/log.h"
#include "base/tests/support.h"
#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"

using namespace engine;
using namespace engine::trace;
namespace fs = std::filesystem;

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();

std::string compact(const Session& s) {
    std::string out;
    notation::Writer w(out);
    s.serialize(w);
    EXPECT_TRUE(w.result());
    return out;
}

// Parses a session without the trace checks.
base::Result<Session> parse(std::string_view text) {
    notation::Reader r(text);
    auto s = Session::deserialize(r);
    if (s) {
        if (auto end = r.finish(); !end) return base::fail(end.error().text());
        return std::move(*s);
    }
    return base::fail(s.error().text());
}

std::string repeat(std::string_view item, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        out += item;
    }
    return out;
}

// A trace record with n values, and extra fields.
std::string trace_text(std::size_t n, std::string_view extra = "", std::uint32_t fs = 48000) {
    return "(name:\"T\",fs:" + std::to_string(fs) + ",h:[" + repeat("(1.0,0.0)", n) + "],confidence:[" +
           repeat("1.0", n) + "]" + std::string(extra) + ")";
}

const std::string FILTER = "(on:false,kind:LinkwitzRiley,slope_db:24,hz:100.0)";
const std::string SOURCE_CORE = "name:\"A\",gain_db:0.0,delay_ms:0.0,invert:false,hp:" + FILTER + ",lp:" + FILTER;

std::string with_source(std::string_view fields) {
    return "(design:(sources:[(" + std::string(fields) + ")]))";
}

Session small_session() {
    Session s;
    s.sources = {"Main"};
    Trace t;
    t.name = "Main 1";
    t.source = "Main";
    t.position = "Position 1";
    t.fs = 48000;
    t.delay_samples = 12;
    t.gate = 0.7f;
    t.h = {{1.0f, 0.0f}, {0.5f, -0.25f}};
    t.confidence = {1.0f, 0.9f};
    t.arrivals = {{1.5f, -6.0f}};
    t.layers = {Layer{1024, 0.001f, {-32768, 0, 32767}}};
    t.used = false;
    s.traces.push_back(t);
    design::Source src;
    src.name = "Main";
    src.gain_db = -3.0f;
    src.delay_ms = 1.25f;
    src.invert = true;
    src.hp = design::Filter{true, design::FilterKind::LinkwitzRiley, 24, 80.0f};
    src.shaping = eqfit::Shaping::defaults(eqfit::ShapingModel::Galileo);
    src.bands = {eqfit::Band{1000.0f, -3.0f, 2.0f, true, eqfit::BandKind::Peak}};
    src.zones = {design::Zone{"Position 1", {}, true, design::Air{}}};
    src.routes = {design::Route{"Position 1", design::Parts{}, design::Dest::wing("bus 1")}};
    s.design.sources.push_back(src);
    s.position = "Position 1";
    return s;
}

// A valid 240-point trace as the current program writes it.
Trace grid_trace(std::string name, std::string source) {
    std::vector<tf::Triple> bins(tf::GRID_POINTS, tf::Triple{1.0f, 0.0f, 1.0f});
    Trace t = Trace::make(std::move(name), 48000, 0, bins, 0.7f);
    t.source = std::move(source);
    return t;
}

fs::path scratch(const std::string& name) { return test_support::scratch("persist", name); }

}  // namespace

TEST(ProjectText, SmallSessionMatchesGoldenText) {
    const std::string golden =
        "(sources:[\"Main\"],traces:[(name:\"Main 1\",source:\"Main\",position:\"Position 1\",fs:48000,n:0,"
        "delay_samples:12,gate:0.7,h:[(1.0,0.0),(0.5,-0.25)],confidence:[1.0,0.9],ir:[],ir_ms:0.0,"
        "arrivals:[(ms:1.5,db:-6.0)],layers:[(n:1024,scale:0.001,ir:[-32768,0,32767])],cal:[],visible:true,"
        "used:false)],design:(sources:[(name:\"Main\",gain_db:-3.0,delay_ms:1.25,invert:true,"
        "hp:(on:true,kind:LinkwitzRiley,slope_db:24,hz:80.0),lp:(on:false,kind:LinkwitzRiley,slope_db:24,"
        "hz:100.0),shaping:(on:false,model:Galileo,gain_db:(0.0,0.0,0.0,0.0,0.0),hz:(125.0,500.0,4000.0,"
        "20000.0),slope_db:(6,6,6,6)),bands:[(hz:1000.0,gain_db:-3.0,q:2.0,on:true,kind:Peak)],q_as:Rbj,"
        "shelves:true,peq:true,zones:[(position:\"Position 1\",bands:[],peq:true,air:(on:false,"
        "strength_pct:100.0,distance_m:None,band:(hz:8000.0,gain_db:0.0,q:0.7,on:false,kind:Peak)))],"
        "split_hz:1000.0,routes:[(zone:\"Position 1\",parts:(eq:true,zone_eq:true,air:true,hp:true,lp:true,"
        "delay:true,polarity:true),dest:Wing(\"bus 1\"))],reflect_trust:1.0,reflect_shown:true)]),"
        "position:\"Position 1\",setup:(cycles:0.0,coherence_threshold:0.7,average_secs:3.0,"
        "target:Some(LivePa),bass_db:6.0,mic_cal_path:\"\"))";
    EXPECT_EQ(compact(small_session()), golden);
    auto back = parse(golden);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, small_session());
}

TEST(ProjectText, WriteReadWriteIsIdenticalForEveryFloatAndEscape) {
    Session s = small_session();
    const float sub = std::numeric_limits<float>::denorm_min();
    Trace& t = s.traces[0];
    t.name = std::string("every \"escape\" 'here' \\ \t\n\r ") + std::string(1, '\0') + "\x01\x7f e\xcc\x81 \xc2\xa0 \xf0\x9f\x8e\xb5";
    t.gate = -0.0f;
    t.h = {{INF, -INF}, {std::nanf(""), -std::nanf("")}, {sub, -sub}, {1.17549421e-38f, 3.4028235e38f}};
    t.confidence = {0.1f, -0.0f, 1e-7f, 123456.789f};
    t.ir = {-60.0f, 0.0f};
    t.ir_ms = 40.0f;
    t.cal = {sub};
    s.design.sources[0].zones[0].air.distance_m = 12.5f;
    s.design.sources[0].hp.kind = design::FilterKind::GalileoElliptic;
    s.design.sources[0].q_as = design::QConv::AllenHeath;
    s.setup.target.reset();
    s.setup.mic_cal_path = "/cal/\"mic\".txt";
    s.position = "Seat\t2";
    const std::string first = compact(s);
    auto back = parse(first);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(compact(*back), first);
    const Trace& r = back->traces[0];
    EXPECT_EQ(r.name, t.name);
    EXPECT_TRUE(std::signbit(r.gate));
    EXPECT_EQ(r.h[0], t.h[0]);
    EXPECT_TRUE(std::isnan(r.h[1].real()) && !std::signbit(r.h[1].real()));
    EXPECT_TRUE(std::isnan(r.h[1].imag()) && std::signbit(r.h[1].imag()));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.h[2].real()), std::bit_cast<std::uint32_t>(sub));
    EXPECT_EQ(r.h[3], t.h[3]);
    EXPECT_FALSE(back->setup.target.has_value());
    // Through the file container as well (a valid trace carrying the same oddities).
    Session file = s;
    Trace g = grid_trace(t.name, "Main");
    g.h[0] = {INF, -INF};
    g.h[1] = {std::nanf(""), sub};
    g.gate = -0.0f;
    file.traces = {g};
    auto bytes = file.encode();
    ASSERT_TRUE(bytes);
    auto read = Session::decode(*bytes);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(*read->encode(), *bytes);
}

TEST(ProjectText, LenientReadCases) {
    using Check = std::function<void(const Session&)>;
    struct Case {
        const char* what;
        std::string text;
        std::string error;  // empty: reads
        Check check;
    };
    const std::string MISSING = "Unexpected missing field named ";
    const Case cases[] = {
        {"empty record", "()", "", [](const Session& s) {
             EXPECT_TRUE(s.sources.empty() && s.traces.empty() && s.design.sources.empty() && s.position.empty());
             EXPECT_EQ(s.setup, engine::trace::Setup{});
         }},
        {"leading type name", " Session ( ) ", "", nullptr},
        {"foreign type name", "Design()", "1:1-1:7: Expected struct `Session` but found `Design`", nullptr},
        {"trace with only fs, h and confidence", "(traces:[" + trace_text(2) + "])", "", [](const Session& s) {
             const Trace& t = s.traces.at(0);
             EXPECT_EQ(t.source, "");
             EXPECT_EQ(t.position, "Position 1");
             EXPECT_EQ(t.n, 0u);
             EXPECT_EQ(t.delay_samples, 0u);
             EXPECT_EQ(t.gate, 0.0f);
             EXPECT_TRUE(t.ir.empty() && t.arrivals.empty() && t.layers.empty() && t.cal.empty());
             EXPECT_EQ(t.ir_ms, 0.0f);
             EXPECT_TRUE(t.visible && t.used);
         }},
        {"first missing required field", "(traces:[(confidence:[])])", "1:24: " + MISSING + "`fs` in `Trace`", nullptr},
        {"layer missing scale and ir", "(traces:[" + trace_text(1, ",layers:[(n:1024)]") + "])",
         "1:75: " + MISSING + "`scale` in `Layer`", nullptr},
        {"layer sample out of range", "(traces:[" + trace_text(1, ",layers:[(n:1024,scale:1.0,ir:[40000])]") + "])",
         "1:90: Expected a signed 16-bit integer but found the unsigned integer `40000` instead", nullptr},
        {"unknown field skipped", "(traces:[" + trace_text(1, ",future:[(a:Some(X(1)),b:{\"k\":'c'})]") + "],x:1)", "",
         nullptr},
        {"duplicate field", "(traces:[" + trace_text(1, ",fs:44100") + "])",
         "1:60-1:62: Unexpected duplicate field named `fs` in `Trace`", nullptr},
        {"trace with its own type name", "(traces:[Trace" + trace_text(1) + "])", "", nullptr},
        {"trace with a foreign type name", "(traces:[Layer" + trace_text(1) + "])",
         "1:10-1:15: Expected struct `Trace` but found `Layer`", nullptr},
        {"design without sources", "(design:())", "1:10: " + MISSING + "`sources` in `Design`", nullptr},
        {"setup with only cycles", "(setup:(cycles:2.0))", "", [](const Session& s) {
             engine::trace::Setup want;
             want.cycles = 2.0f;
             EXPECT_EQ(s.setup, want);
         }},
        {"setup target None stays None", "(setup:(target:None,extra:[1,2]))", "",
         [](const Session& s) { EXPECT_FALSE(s.setup.target); }},
        {"alias LivePaB", "(setup:(target:Some(LivePaB)))", "",
         [](const Session& s) { EXPECT_EQ(s.setup.target, eqfit::Curve::LivePa); }},
        {"unknown curve", "(setup:(target:Some(Pink)))",
         "1:21-1:25: Unexpected variant named `Pink` in enum `Curve`, expected one of `Flat`, `LivePa`, or `LivePaB` instead",
         nullptr},
        {"duplicate setup field", "(setup:(bass_db:1.0,bass_db:1.0))",
         "1:21-1:28: Unexpected duplicate field named `bass_db` in `Setup`", nullptr},
        {"source with only the core fields", with_source(SOURCE_CORE), "", [](const Session& s) {
             const auto& src = s.design.sources.at(0);
             EXPECT_TRUE(src.bands.empty() && src.zones.empty() && src.routes.empty());
             EXPECT_EQ(src.shaping, eqfit::Shaping::defaults(eqfit::ShapingModel::Galileo));
             EXPECT_EQ(src.q_as, design::QConv::Rbj);
             EXPECT_TRUE(src.shelves && src.peq && src.reflect_shown);
             EXPECT_EQ(src.split_hz, 1000.0f);
             EXPECT_EQ(src.reflect_trust, 1.0f);
         }},
        {"source without invert",
         with_source("name:\"A\",gain_db:0.0,delay_ms:0.0,hp:" + FILTER + ",lp:" + FILTER),
         "1:161: " + MISSING + "`invert` in `Source`", nullptr},
        {"key in another case is unknown", with_source("Name:\"A\",gain_db:0.0,delay_ms:0.0,invert:false"),
         "1:66: " + MISSING + "`name` in `Source`", nullptr},
        {"duplicate equal values", with_source(SOURCE_CORE + ",gain_db:0.0"),
         "1:175-1:182: Unexpected duplicate field named `gain_db` in `Source`", nullptr},
        {"filter kind Galileo", with_source(SOURCE_CORE + ",future:1").replace(
             with_source(SOURCE_CORE + ",future:1").find("LinkwitzRiley"), 13, "Galileo"), "",
         [](const Session& s) { EXPECT_EQ(s.design.sources.at(0).hp.kind, design::FilterKind::GalileoHp); }},
        {"unknown filter kind", with_source("hp:(on:true,kind:Linkwitz,slope_db:24,hz:1.0)"),
         "1:37-1:45: Unexpected variant named `Linkwitz` in enum `FilterKind`, expected one of `Butterworth`, "
         "`LinkwitzRiley`, `Galileo`, `GalileoHp`, `GalileoLp`, or `GalileoElliptic` instead",
         nullptr},
        {"filter without slope", with_source("hp:(on:true,kind:Butterworth,hz:1.0)"),
         "1:55: " + MISSING + "`slope_db` in `Filter`", nullptr},
        {"filter slope 7", with_source(SOURCE_CORE + ",shelves:false").replace(
             with_source(SOURCE_CORE + ",shelves:false").find("slope_db:24"), 11, "slope_db:7"), "",
         [](const Session& s) { EXPECT_EQ(s.design.sources.at(0).hp.slope_db, 7); }},
        {"shaping Callisto with empty lists",
         with_source(SOURCE_CORE + ",shaping:(on:true,model:Callisto,gain_db:[],hz:())"), "", [](const Session& s) {
             const auto& sh = s.design.sources.at(0).shaping;
             EXPECT_TRUE(sh.on);
             EXPECT_EQ(sh.hz, (std::array<float, 4>{62.0f, 250.0f, 1000.0f, 4000.0f}));
             EXPECT_EQ(sh.slope_db, (std::array<std::uint8_t, 4>{12, 12, 12, 12}));
             EXPECT_EQ(sh.gain_db, (std::array<float, 5>{}));
         }},
        {"shaping lists longer and shorter, model last",
         with_source(SOURCE_CORE + ",shaping:ShapingFile(on:false,gain_db:[1.0,2.0,3.0,4.0,5.0,6.0,7.0],"
                                   "hz:(80.0,300.0),model:Callisto)"),
         "", [](const Session& s) {
             const auto& sh = s.design.sources.at(0).shaping;
             EXPECT_EQ(sh.gain_db, (std::array<float, 5>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f}));
             EXPECT_EQ(sh.hz, (std::array<float, 4>{80.0f, 300.0f, 1000.0f, 4000.0f}));
             EXPECT_EQ(sh.slope_db, (std::array<std::uint8_t, 4>{12, 12, 12, 12}));
         }},
        {"shaping gains as a single number", with_source("shaping:(on:true,gain_db:3.0,hz:[])"),
         "1:45: Expected a list of numbers but found the floating point number `3.0` instead", nullptr},
        {"shaping without hz", with_source("shaping:(on:true,gain_db:[])"),
         "1:47: " + MISSING + "`hz` in `ShapingFile`", nullptr},
        {"shaping without on", with_source("shaping:(gain_db:[],hz:[])"),
         "1:45: " + MISSING + "`on` in `ShapingFile`", nullptr},
        {"shaping under the name Shaping", with_source("shaping:Shaping(on:true,gain_db:[],hz:[])"),
         "1:28-1:35: Expected struct `ShapingFile` but found `Shaping`", nullptr},
        {"zone without air", with_source(SOURCE_CORE + ",zones:[(position:\"Position 1\",bands:[])]"), "",
         [](const Session& s) {
             const auto& z = s.design.sources.at(0).zones.at(0);
             EXPECT_TRUE(z.peq);
             EXPECT_FALSE(z.air.on);
             EXPECT_EQ(z.air.strength_pct, 100.0f);
             EXPECT_FALSE(z.air.distance_m);
             EXPECT_EQ(z.air.band, (eqfit::Band{8000.0f, 0.0f, 0.7f, false, eqfit::BandKind::Peak}));
         }},
        {"air without band", with_source("zones:[(position:\"P\",bands:[],air:(on:true,strength_pct:50.0))]"),
         "1:80: " + MISSING + "`band` in `Air`", nullptr},
        {"distance given", with_source(SOURCE_CORE + ",zones:[(position:\"P\",bands:[(hz:100.0,gain_db:2.0,q:1.0)],"
                                                     "air:(on:true,strength_pct:50.0,distance_m:Some(12.5),"
                                                     "band:(hz:1.0,gain_db:1.0,q:1.0)))]"),
         "", [](const Session& s) {
             const auto& z = s.design.sources.at(0).zones.at(0);
             EXPECT_EQ(z.air.distance_m, 12.5f);
             EXPECT_EQ(z.bands.at(0), (eqfit::Band{100.0f, 2.0f, 1.0f, true, eqfit::BandKind::Peak}));
         }},
        {"unknown band kind", with_source("bands:[(hz:1.0,gain_db:1.0,q:1.0,kind:Shelf)]"),
         "1:58-1:63: Unexpected variant named `Shelf` in enum `BandKind`, expected one of `Peak`, `LowShelf`, or "
         "`HighShelf` instead",
         nullptr},
        {"band without q", with_source("bands:[(hz:1.0,gain_db:1.0)]"), "1:46: " + MISSING + "`q` in `Band`", nullptr},
        {"route without dest", with_source("routes:[(zone:\"P\",parts:(eq:true,hp:true,lp:true,delay:true,"
                                           "polarity:true))]"),
         "1:94: " + MISSING + "`dest` in `Route`", nullptr},
        {"parts without zone_eq and air",
         with_source(SOURCE_CORE + ",routes:[(zone:\"Nowhere\",parts:(eq:false,hp:true,lp:true,delay:true,"
                                   "polarity:true),dest:Wing(\"mtx 2\"))]"),
         "", [](const Session& s) {
             const auto& r = s.design.sources.at(0).routes.at(0);
             EXPECT_EQ(r.parts, (design::Parts{false, true, true, true, true, true, true}));
             EXPECT_EQ(r.dest, design::Dest::wing("mtx 2"));
         }},
        {"parts without eq", with_source("routes:[(zone:\"P\",parts:(hp:true,lp:true,delay:true,polarity:true))]"),
         "1:85: " + MISSING + "`eq` in `Parts`", nullptr},
        {"unknown destination", with_source("routes:[(zone:\"P\",parts:(eq:true,hp:true,lp:true,delay:true,"
                                            "polarity:true),dest:Console(\"x\"))]"),
         "1:100-1:107: Unexpected variant named `Console` in enum `Dest`, expected `Wing` instead", nullptr},
        {"unknown Q convention", with_source("q_as:Bessel"),
         "1:25-1:31: Unexpected variant named `Bessel` in enum `QConv`, expected one of `Rbj`, `Wing`, `AllenHeath`, or "
         "`Galileo` instead",
         nullptr},
        {"h given as a list of tuples only", "(traces:[(fs:1,h:[1.0],confidence:[])])",
         "1:19: Expected a pair (re, im) but found the floating point number `1.0` instead", nullptr},
        {"text after the record", "()()", "1:3: Non-whitespace trailing characters", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = parse(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(s) << s.error();
            if (c.check) c.check(*s);
        } else {
            ASSERT_FALSE(s);
            EXPECT_EQ(s.error(), c.error);
        }
    }
}

TEST(ProjectContainer, GzipHeaderPlainTextAndEncodingErrors) {
    const Session s = [] {
        Session x;
        x.traces = {grid_trace("A 1", "A")};
        x.sources = {"A"};
        return x;
    }();
    auto bytes = s.encode();
    ASSERT_TRUE(bytes);
    const std::string header("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10);
    EXPECT_EQ(bytes->substr(0, 10), header);
    auto inflated = gzip::inflate(*bytes);
    ASSERT_TRUE(inflated);
    EXPECT_EQ(*inflated, compact(s));

    struct Case {
        const char* what;
        std::string bytes;
        std::string error;  // empty: reads
    };
    std::string damaged = *bytes;
    damaged[12] = static_cast<char>(damaged[12] ^ 0xFF);
    damaged[13] = static_cast<char>(damaged[13] ^ 0x5A);
    const std::string cases_text = compact(s);
    const Case cases[] = {
        {"gzip", *bytes, ""},
        {"plain text", cases_text, ""},
        {"plain text with type name", "Session" + cases_text, ""},
        {"empty file", "", "1:1: Expected opening `(` for struct `Session`"},
        {"a lone 1F byte", "\x1f", "1:1: Expected opening `(` for struct `Session`"},
        {"truncated gzip", bytes->substr(0, bytes->size() / 2), "gzip: unexpected end of file"},
        {"damaged deflate data", damaged, ""},  // checked below: starts with "gzip: "
        {"gzip of text that is not UTF-8", gzip::compress("(position:\"\xff\")"),
         "gzip: stream did not contain valid UTF-8"},
        {"plain text not UTF-8", "(position:\"\xc3\x28\")", "invalid utf-8 sequence of 1 bytes from index 11"},
        {"plain text with a surrogate", "(position:\"\xed\xa0\x80\")", "invalid utf-8 sequence of 1 bytes from index 11"},
        {"plain text cut inside a character", "(position:\"\xe2\x82", "incomplete utf-8 byte sequence from index 11"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Session::decode(c.bytes);
        if (std::string(c.what) == "damaged deflate data") {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().rfind("gzip: ", 0), 0u) << r.error();
            continue;
        }
        if (c.error.empty()) {
            ASSERT_TRUE(r) << r.error();
            EXPECT_EQ(r->traces.size(), 1u);
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error(), c.error);
        }
    }
}

TEST(ProjectContainer, SizeLimitHoldsForGzipAndPlainText) {
    EXPECT_EQ(gzip::INFLATE_LIMIT, 536870912u);
    // The same limit logic, with a small cap: exactly the cap is read, one
    // byte more is refused, compressed or not.
    const std::size_t cap = 4096;
    const std::string fits = "()" + std::string(cap - 2, ' ');
    const std::string over = fits + " ";
    EXPECT_TRUE(Session::decode(gzip::compress(fits), cap));
    EXPECT_TRUE(Session::decode(fits, cap));
    EXPECT_EQ(Session::decode(gzip::compress(over), cap).error(), "gzip: inflates past 512 MB");
    EXPECT_EQ(Session::decode(over, cap).error(), "file larger than 512 MB");
    // A gzip bomb (8 MB of blanks in some 36 kB) is stopped at the cap.
    const std::string bomb = gzip::compress("()" + std::string(8 << 20, ' '));
    EXPECT_LT(bomb.size(), 64000u);
    EXPECT_EQ(Session::decode(bomb, 1 << 20).error(), "gzip: inflates past 512 MB");
}

TEST(ProjectContainer, TraceChecks) {
    struct Case {
        const char* what;
        std::string trace;
        std::string error;  // empty: reads
    };
    const std::string layer1024 = ",layers:[(n:1024,scale:1.0,ir:[" + repeat("1", 1024) + "])]";
    const Case cases[] = {
        {"sample rate 0", trace_text(240, "", 0), "trace \"T\": sample rate 0"},
        {"sample rate 1000001", trace_text(240, "", 1000001), "trace \"T\": sample rate 1000001"},
        {"sample rate 1", trace_text(240, "", 1), ""},
        {"sample rate 1000000", trace_text(240, "", 1000000), ""},
        {"FFT size 255", trace_text(127, ",n:255"), "trace \"T\": FFT size 255"},
        {"FFT size 8388609", trace_text(240, ",n:8388609"), "trace \"T\": FFT size 8388609"},
        {"FFT size 256 at 48 kHz", trace_text(128, ",n:256"), ""},
        {"FFT size 256 at 256 kHz", trace_text(128, ",n:256", 256000), "trace \"T\": FFT size 256"},
        {"239 values", "(name:\"T\",fs:48000,h:[" + repeat("(1.0,0.0)", 239) + "],confidence:[" + repeat("1.0", 240) + "])",
         "trace \"T\": 239 values and 240 confidences, expected 240"},
        {"layer with one sample too many", trace_text(240, ",layers:[(n:1024,scale:1.0,ir:[" + repeat("1", 1025) + "])]"),
         "trace \"T\": layer of 1024 with 1025 samples"},
        {"layer of 1024 samples", trace_text(240, layer1024), ""},
        {"layer FFT too small for the rate", trace_text(240, ",layers:[(n:256,scale:1.0,ir:[])]", 256000),
         "trace \"T\": layer of 256 with 0 samples"},
        {"five layers", trace_text(240, ",layers:[" + repeat("(n:256,scale:1.0,ir:[" + repeat("1", 128) + "])", 5) + "]"),
         "trace \"T\": 5 layers, at most 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Session::decode("(traces:[" + c.trace + "])");
        if (c.error.empty()) {
            ASSERT_TRUE(r) << r.error();
            EXPECT_EQ(r->traces.at(0).n, 0u);
            EXPECT_EQ(r->traces.at(0).h.size(), 240u);
            EXPECT_EQ(r->traces.at(0).points.size(), 240u);
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error(), c.error);
        }
    }
    // One bad trace fails the whole file.
    auto r = Session::decode("(traces:[" + trace_text(240) + "," + trace_text(240) + "," + trace_text(240, "", 0) + "])");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "trace \"T\": sample rate 0");
}

TEST(ProjectContainer, OlderTracesAreConvertedAndSourcesCompleted) {
    // An older trace: 512 raw bins of one 1024-point FFT.
    const std::string older = "(name:\"Old\",source:\"Sub\",fs:48000,n:1024,delay_samples:5,gate:0.5,h:[" +
                              repeat("(0.5,0.0)", 512) + "],confidence:[" + repeat("1.0", 512) + "],cal:[1.0],used:false)";
    const std::string nameless = trace_text(240);  // name "T", no source
    auto r = Session::decode("(sources:[\"Main\"],traces:[" + older + "," + nameless + "," + nameless + "])");
    ASSERT_TRUE(r) << r.error();
    const Trace& t = r->traces.at(0);
    EXPECT_EQ(t.n, 0u);
    EXPECT_EQ(t.h.size(), 240u);
    EXPECT_EQ(t.confidence.size(), 240u);
    EXPECT_EQ(t.layers.size(), 1u);
    EXPECT_EQ(t.layers.at(0).n, 1024u);
    EXPECT_EQ(t.ir.size(), 600u);
    EXPECT_NEAR(std::abs(t.h[120]), 0.5f, 1e-3f);
    // Its own fields are kept.
    EXPECT_EQ(t.name, "Old");
    EXPECT_EQ(t.source, "Sub");
    EXPECT_EQ(t.delay_samples, 5u);
    EXPECT_EQ(t.gate, 0.5f);
    EXPECT_EQ(t.cal, std::vector<float>{1.0f});
    EXPECT_FALSE(t.used);
    // Sources: listed ones kept, the rest appended in trace order, once.
    EXPECT_EQ(r->traces.at(1).source, "T");
    EXPECT_EQ(r->sources, (std::vector<std::string>{"Main", "Sub", "T"}));
    // Saved again, it is written in the current form.
    auto bytes = r->encode();
    ASSERT_TRUE(bytes);
    auto text = gzip::inflate(*bytes);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("name:\"Old\",source:\"Sub\",position:\"Position 1\",fs:48000,n:0,"), std::string::npos);
}

TEST(ProjectContainer, ReadsFilesAndLogsFailures) {
    const auto dir = scratch("files");
    Session s;
    s.traces = {grid_trace("A 1", "A")};
    s.sources = {"A"};
    s.position = "Position 1";
    auto bytes = s.encode();
    ASSERT_TRUE(bytes);
    std::ofstream(dir / "p.vtproject", std::ios::binary) << *bytes;
    auto r = Session::try_read(dir / "p.vtproject");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->traces.at(0).h, s.traces.at(0).h);
    EXPECT_EQ(r->traces.at(0).points, s.traces.at(0).points);

    EXPECT_EQ(Session::try_read(dir / "missing.vtproject").error(), "No such file or directory (os error 2)");
    base::log::Capture cap;
    EXPECT_FALSE(Session::read(dir / "missing.vtproject"));
    auto lines = cap.records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, base::log::Level::Warn);
    EXPECT_EQ(lines[0].target, "Veltrum::engine::trace");
    EXPECT_EQ(lines[0].message, (dir / "missing.vtproject").string() + ": No such file or directory (os error 2)");
}

TEST(ProjectContainer, CompressedInPiecesReadsBackWhole) {
    // Texts compressed in several runs (and from several pieces) read back
    // whole, with the trailer's check and length right.
    std::string big;
    std::mt19937 rng(3);
    while (big.size() < (3u << 20) + 12345) big += std::to_string(rng()) + ",";
    const std::string_view pieces[] = {std::string_view(big).substr(0, 1000), std::string_view(big).substr(1000)};
    for (const std::string& gz : {gzip::compress(big), gzip::compress(pieces), gzip::compress(std::string())}) {
        auto back = gzip::inflate(gz);
        ASSERT_TRUE(back) << back.error();
        EXPECT_TRUE(*back == big || (back->empty() && gz.size() < 100));
        EXPECT_EQ(gz.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10));
    }
}

TEST(ProjectContainer, CachedEncodingReusesUnchangedTracesAndStaysOneGzipMember) {
    Session s = small_session();
    s.traces.clear();
    for (int i = 0; i < 4; ++i) s.traces.push_back(grid_trace("Fill " + std::to_string(i), "Main"));
    s.traces[3].name = "Fill 0";  // names may repeat

    EncodeCache cache;
    // A run of edits: first file, unchanged, one trace changed, one removed,
    // one added in front. Each file is the gzip of the text and equal to an
    // encoding without kept pieces (the pieces do not depend on each other).
    std::vector<std::function<void(Session&)>> edits = {
        [](Session&) {},
        [](Session&) {},
        [](Session& x) { x.traces[2].h[5] = {0.25f, 0.5f}; },
        // Equal as numbers but written differently ("-0"): compressed again.
        [](Session& x) { x.traces[1].h[3] = {x.traces[1].h[3].real(), -0.0f}; },
        // Only derived data changed: the kept piece is still right.
        [](Session& x) { x.traces[2].points.clear(); },
        [](Session& x) { x.traces.erase(x.traces.begin() + 1); },
        [](Session& x) { x.traces.insert(x.traces.begin(), grid_trace("New", "Main")); },
    };
    for (std::size_t e = 0; e < edits.size(); ++e) {
        edits[e](s);
        auto bytes = s.encode(cache);
        ASSERT_TRUE(bytes) << bytes.error();
        EXPECT_EQ(cache.size(), s.traces.size());
        EncodeCache fresh;
        EXPECT_EQ(*bytes, *s.encode(fresh)) << e;
        // The same file as parts (what the autosave writes), every piece kept.
        auto parts = s.encode_parts(cache);
        ASSERT_TRUE(parts) << parts.error();
        std::string joined;
        for (auto p : *parts) joined += p;
        EXPECT_EQ(joined, *bytes) << e;
        EXPECT_EQ(bytes->substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10));
        std::string want;
        Writer ww(want);
        s.serialize(ww);
        auto back = gzip::inflate(*bytes);
        ASSERT_TRUE(back) << back.error();
        EXPECT_EQ(*back, want) << e;
        // The stream-wise decoder (what older copies of the program use) reads it too.
        auto streamed = gzip::inflate(*bytes, gzip::Source(), gzip::INFLATE_LIMIT, 0);
        ASSERT_TRUE(streamed) << streamed.error();
        EXPECT_EQ(*streamed, want);
        auto decoded = Session::decode(*bytes);
        ASSERT_TRUE(decoded) << decoded.error();
        EXPECT_EQ(decoded->traces.size(), s.traces.size());
    }
    // The gzip tool accepts the file.
    const auto file = scratch("cached") / "autosave.vtproject";
    test_support::spit(file, *s.encode(cache));
    EXPECT_EQ(std::system(("gzip -t '" + file.string() + "'").c_str()), 0);
}
