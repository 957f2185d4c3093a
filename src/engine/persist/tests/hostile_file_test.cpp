// Damaged and hostile project files, generated small: what a read may build
// is bounded by what the file can honestly describe, its work by the data it
// holds, its error texts by a short prefix of what they quote; only regular
// files are read; the autosave lock never follows a link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/tests/support.h"
#include "engine/persist/autosave.h"
#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"

using namespace engine;
using namespace engine::trace;
namespace fs = std::filesystem;

namespace {

std::string repeat(std::string_view item, std::size_t n) {
    std::string out;
    out.reserve((item.size() + 1) * n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        out += item;
    }
    return out;
}

// A trace record on the grid with extra fields.
std::string grid_trace_text(std::string_view name, std::string_view extra = "") {
    return "(name:\"" + std::string(name) + "\",fs:48000,h:[" + repeat("(1.0,0.0)", 240) + "],confidence:[" +
           repeat("1.0", 240) + "]" + std::string(extra) + ")";
}

fs::path scratch(const std::string& name) { return test_support::scratch("hostile", name); }

// One layer as the analyzer hands it over: n/2 bins of a gentle response.
LayerBins bins_of(std::size_t n) {
    LayerBins l;
    l.n = n;
    l.bins.resize(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const float ph = -0.01f * static_cast<float>(k);
        l.bins[k] = tf::Triple{std::cos(ph), std::sin(ph), 0.95f};
    }
    return l;
}

}  // namespace

TEST(HostileProject, ListsThatWouldOutgrowTheFileAreRefused) {
    // Each text is a few MB that would build twenty times its size: the
    // read stops at its memory limit with the reader's error.
    struct Case {
        const char* what;
        std::string head, item, tail;
        std::size_t count;
    };
    const Case cases[] = {
        {"empty source names", "(sources:[", "\"\"", "])", 800'000},
        {"empty traces", "(traces:[", "(fs:1,h:[],confidence:[])", "])", 70'000},
        {"empty zones", "(design:(sources:[(name:\"A\",gain_db:0,delay_ms:0,invert:false,"
                        "hp:(on:false,kind:Butterworth,slope_db:0,hz:0),lp:(on:false,kind:Butterworth,slope_db:0,hz:0),"
                        "zones:[",
         "(position:\"\",bands:[])", "])]))", 400'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = c.head + repeat(c.item, c.count) + c.tail;
        auto r = Session::decode(text);
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().ends_with(": Exceeded memory limit")) << r.error();
    }
    // Compressed alike: a gzip of some 60 kB.
    const std::string bomb = gzip::compress("(sources:[" + repeat("\"\"", 800'000) + "])");
    EXPECT_LT(bomb.size(), 64'000u);
    auto r = Session::decode(bomb);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().ends_with(": Exceeded memory limit")) << r.error();
    // The same lists of a size a project has read as before.
    r = Session::decode("(sources:[" + repeat("\"\"", 1000) + "],traces:[" +
                             repeat(grid_trace_text("T"), 20) + "])");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->sources.size(), 1001u);
    EXPECT_EQ(r->traces.size(), 20u);
}

TEST(HostileProject, LayersMustFillTheTransformTheyClaim) {
    // Layers of the largest size (and odd ones) that hold no samples: refused
    // at once, before any transform of that size is made.
    for (const std::size_t n : {std::size_t{8388608}, std::size_t{8388607}, std::size_t{6000001}, std::size_t{1024}}) {
        SCOPED_TRACE(n);
        const std::string layer = "(n:" + std::to_string(n) + ",scale:1.0,ir:[])";
        const std::string text = "(traces:[" + repeat(grid_trace_text("T", ",layers:[" + layer + "]"), 50) + "])";
        auto r = Session::decode(gzip::compress(text));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "trace \"T\": layer of " + std::to_string(n) + " with 0 samples");
    }
    // One sample short of half the size is short; half of it is enough.
    const std::string short_layer = "(n:1024,scale:1.0,ir:[" + repeat("1", 511) + "])";
    const std::string half_layer = "(n:1024,scale:1.0,ir:[" + repeat("1", 512) + "])";
    auto r = Session::decode("(traces:[" + grid_trace_text("T", ",layers:[" + short_layer + "]") + "])");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "trace \"T\": layer of 1024 with 511 samples");
    r = Session::decode("(traces:[" + grid_trace_text("T", ",layers:[" + half_layer + "]") + "])");
    EXPECT_TRUE(r) << r.error();
}

TEST(HostileProject, LargeHonestProjectStillOpens) {
    // What the program writes: four-layer traces at 96 kHz and sweep traces
    // whose single layer is as long as the sweep (sizes that are not powers
    // of two), read back whole.
    Session s;
    const std::vector<LayerBins> four = {bins_of(65536), bins_of(32768), bins_of(8192), bins_of(2048)};
    for (int i = 0; i < 6; ++i)
        s.traces.push_back(Trace::from_layers("Four " + std::to_string(i), 96000, 10, four, {}, 0.7f));
    const std::vector<LayerBins> sweep = {bins_of(48000 * 4)};  // a 4 s sweep at 48 kHz
    const std::vector<LayerBins> chirp = {bins_of(44100 / 2)};  // a chirp at 44.1 kHz
    s.traces.push_back(Trace::from_layers("Sweep", 48000, 0, sweep, {}, 0.7f));
    s.traces.push_back(Trace::from_layers("Chirp", 44100, 0, chirp, {}, 0.7f));
    auto bytes = s.encode();
    ASSERT_TRUE(bytes) << bytes.error();
    auto back = Session::decode(*bytes);
    ASSERT_TRUE(back) << back.error();
    ASSERT_EQ(back->traces.size(), s.traces.size());
    for (std::size_t i = 0; i < s.traces.size(); ++i) {
        EXPECT_EQ(back->traces[i].layers, s.traces[i].layers) << i;
        EXPECT_EQ(back->traces[i].h, s.traces[i].h) << i;
    }
}

TEST(HostileProject, TracesWithLongLayersAreAllRebuiltAndAFaultAfterThemStillRefuses) {
    // Several traces whose layers are longer than the rebuilds that may run
    // side by side: each is rebuilt, in whatever order the workers take them.
    Session s;
    for (int i = 0; i < 3; ++i)
        s.traces.push_back(Trace::from_layers("Long " + std::to_string(i), 48000, 0,
                                              std::vector<LayerBins>{bins_of(std::size_t{1} << 21)}, {}, 0.7f));
    s.traces.push_back(Trace::from_layers("Short", 48000, 0, std::vector<LayerBins>{bins_of(4096)}, {}, 0.7f));
    auto bytes = s.encode();
    ASSERT_TRUE(bytes) << bytes.error();
    auto back = Session::decode(*bytes);
    ASSERT_TRUE(back) << back.error();
    ASSERT_EQ(back->traces.size(), s.traces.size());
    for (std::size_t i = 0; i < s.traces.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back->traces[i].layers, s.traces[i].layers);
        EXPECT_EQ(back->traces[i].ir.size(), s.traces[i].ir.size());
        EXPECT_FALSE(back->traces[i].ir.empty());
        EXPECT_EQ(back->traces[i].points.size(), tf::GRID_POINTS);
    }
    // The same long traces followed by a trace that breaks a limit, or by
    // text that does not parse: the file is refused with that fault.
    const std::string layer = "(n:2097152,scale:1.0,ir:[" + repeat("1", 1048576) + "])";
    const std::string longs = repeat(grid_trace_text("Long", ",layers:[" + layer + "]"), 3);
    auto r = Session::decode(gzip::compress("(traces:[" + longs + ",(name:\"Bad\",fs:0,h:[],confidence:[])])"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "trace \"Bad\": sample rate 0");
    r = Session::decode(gzip::compress("(traces:[" + longs + "],sources:7)"));
    EXPECT_FALSE(r);
}

TEST(HostileProject, ErrorsQuoteOnlyAShortPrefixOfTheInput) {
    const std::string big(1 << 20, 'x');
    const std::string digits(1 << 20, '7');
    struct Case {
        const char* what;
        std::string text;
        std::string start;  // how the message begins after the position
    };
    const Case cases[] = {
        {"a string where a number belongs", "(setup:(cycles:\"" + big + "\"))",
         "Expected a floating point number but found the string \"xxxx"},
        {"a number where a string belongs", "(position:" + digits + ")",
         "Expected a string but found the unsigned integer `7777"},
        {"a huge variant name", "(setup:(target:Some(" + big + ")))", "Unexpected variant named `xxxx"},
        {"a huge type name", big + "()", "Expected struct `Session` but found `xxxx"},
        {"a huge field name", "(" + big + ")", "Expected `:` after the field name `xxxx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Session::decode(c.text);
        ASSERT_FALSE(r);
        EXPECT_LT(r.error().size(), 200u) << r.error().substr(0, 300);
        EXPECT_NE(r.error().find(c.start), std::string::npos) << r.error().substr(0, 300);
        EXPECT_NE(r.error().find("\u2026"), std::string::npos) << r.error().substr(0, 300);
    }
    // A variant found where it does not belong is named by its kind alone.
    auto v = Session::decode("(setup:(cycles:" + big + "))");
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), "1:16: Expected a floating point number but found a unit variant instead");
    // A trace that fails its checks is named by the start of its name.
    auto r = Session::decode("(traces:[(name:\"" + big + "\",fs:0,h:[],confidence:[])])");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "trace \"" + std::string(40, 'x') + "\u2026\": sample rate 0");
}

TEST(HostileProject, OnlyRegularFilesAreRead) {
    const auto dir = scratch("special");
    const auto link = dir / "zero.vtproject";
    fs::create_symlink("/dev/zero", link);
    const auto fifo = dir / "fifo.vtproject";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& p : {link, fifo, fs::path("/dev/null")}) {
        SCOPED_TRACE(p.string());
        auto r = Session::try_read(p);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "not a regular file");
    }
    // A link to a regular project reads as the project.
    Session s;
    s.sources = {"Main"};
    test_support::spit(dir / "real.vtproject", *s.encode());
    fs::create_symlink("real.vtproject", dir / "link.vtproject");
    auto r = Session::try_read(dir / "link.vtproject");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->sources, s.sources);
}

TEST(HostileProject, TheLockFileIsNeverOpenedThroughALink) {
    base::log::Capture logs;
    const auto dir = scratch("lock-link");
    test_support::spit(dir / "precious.txt", "keep me");
    fs::create_symlink(dir / "precious.txt", dir / std::string(AUTOSAVE_LOCK_NAME));
    EXPECT_FALSE(take_autosave_lock(dir));
    EXPECT_EQ(test_support::slurp(dir / "precious.txt"), "keep me");
    EXPECT_TRUE(fs::is_symlink(dir / std::string(AUTOSAVE_LOCK_NAME)));
    ASSERT_EQ(logs.records().size(), 1u);
    EXPECT_TRUE(logs.records()[0].message.starts_with("autosave: off, no lock file: ")) << logs.records()[0].message;

    // A FIFO in its place neither blocks nor is taken.
    const auto fifo_dir = scratch("lock-fifo");
    ASSERT_EQ(::mkfifo((fifo_dir / std::string(AUTOSAVE_LOCK_NAME)).c_str(), 0600), 0);
    EXPECT_FALSE(take_autosave_lock(fifo_dir));
    ASSERT_EQ(logs.records().size(), 2u);
    EXPECT_TRUE(logs.records()[1].message.starts_with("autosave: off, no lock file: ")) << logs.records()[1].message;
    EXPECT_TRUE(fs::is_fifo(fifo_dir / std::string(AUTOSAVE_LOCK_NAME)));
}
