#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "engine/persist/gzip.h"
#include "engine/persist/notation.h"
#include "engine/persist/trace_file.h"

using namespace engine;
using namespace engine::trace;

namespace {

// A project with a bit of everything, as text.
std::string seed_text() {
    Session s;
    std::vector<tf::Triple> bins(tf::GRID_POINTS, tf::Triple{0.5f, -0.25f, 0.9f});
    Trace t = Trace::make("Main 1", 48000, 10, bins, 0.7f);
    Layer l;
    l.n = 1024;
    l.scale = 0.001f;
    for (int i = 0; i < 48 + 512; ++i) l.ir.push_back(static_cast<std::int16_t>((i * 97) % 2000 - 1000));
    t.layers = {l};
    t.arrivals = {{1.5f, -6.0f}};
    s.traces = {t, Trace::make("Sub 1", 96000, 0, bins, 0.5f)};
    design::Source src = design::Source::make("Main");
    src.zones = {design::Zone{"Position 1", {eqfit::Band{}}, true, design::Air{}}};
    src.routes = {design::Route{"Position 1", design::Parts{}, design::Dest::wing("ch 1")}};
    s.design.sources = {src};
    s.sources = {"Main"};
    s.position = "Position 1";
    std::string out;
    notation::Writer w(out);
    s.serialize(w);
    return out;
}

const char* const TOKENS[] = {"(", ")", "[", "]", ",", ":", "\"", "\\", "inf", "-inf", "NaN", "-", "1e39",
                              "99999999999999999999999", "8388608", "0", "-1", "Some(", "None", "Trace", "Layer",
                              "n:", "fs:", "layers:", "h:", "(n:1024,scale:NaN,ir:[1,2])", "/*", "//", "\xff",
                              "\xc3", "'", "{", "}", "r#\"", "Galileo", "LivePaB", "[[[[[[[[", "4294967296"};

const char* const NUMBERS[] = {"NaN", "-NaN", "inf", "-inf", "0", "-0.0", "1e39", "65535", "4294967295",
                               "1.5", "-32768", "1024", "256", "65536", "0.00000000000000000000000000000000000000001"};

std::string mutate(std::string s, std::mt19937& rng) {
    auto pick = [&](std::size_t n) { return n == 0 ? std::size_t(0) : std::size_t(rng() % n); };
    const int edits = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % 4) : 1;
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = pick(s.size() + 1);
        if (rng() % 2 == 0) {
            // A number replaced by another value of the notation.
            const auto d = s.find_first_of("0123456789", at);
            if (d == std::string::npos) continue;
            auto b = d;
            while (b > 0 && (std::isdigit(static_cast<unsigned char>(s[b - 1])) || s[b - 1] == '.' || s[b - 1] == '-')) --b;
            auto end = d;
            while (end < s.size() && (std::isdigit(static_cast<unsigned char>(s[end])) || s[end] == '.')) ++end;
            s.replace(b, end - b, NUMBERS[pick(std::size(NUMBERS))]);
            continue;
        }
        switch (rng() % 6) {
            case 0:
                if (!s.empty()) s[pick(s.size())] = static_cast<char>(rng());
                break;
            case 1: s.insert(at, TOKENS[pick(std::size(TOKENS))]); break;
            case 2: s.erase(at, pick(64)); break;
            case 3: {
                const std::size_t from = pick(s.size() + 1);
                const std::string piece = s.substr(from, pick(200));
                s.insert(at, piece);
                break;
            }
            case 4: s.resize(at); break;
            default:
                if (!s.empty()) s[pick(s.size())] ^= static_cast<char>(1u << (rng() % 8));
        }
    }
    return s;
}

}  // namespace

TEST(ProjectFuzz, ReadersReturnAnErrorOrASessionOnDamagedFiles) {
    const std::string text = seed_text();
    ASSERT_TRUE(Session::decode(text)) << Session::decode(text).error();
    const std::string gz = gzip::compress(text);
    std::mt19937 rng(20261210);
    int runs = 0, read_ok = 0;
    // A fixed count, so that a busy machine runs the same inputs.
    while (runs < 300) {
        ++runs;
        const bool compressed = runs % 3 == 0;
        const std::string bytes = compressed ? mutate(gz, rng) : mutate(text, rng);
        auto r = Session::decode(bytes, 1 << 22);
        if (r) {
            ++read_ok;
            // What was read is written again without failure.
            EXPECT_TRUE(r->encode());
        } else {
            EXPECT_FALSE(r.error().empty());
        }
        // The same for text that went through gzip after the damage.
        if (runs % 7 == 0) (void)Session::decode(gzip::compress(bytes), 1 << 22);
    }
    std::printf("fuzz: %d runs, %d read\n", runs, read_ok);
    RecordProperty("runs", runs);
    RecordProperty("read_ok", read_ok);
}
