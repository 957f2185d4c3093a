#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/log.h"
#include "base/tests/support.h"
#include "engine/core/miccal.h"
#include "engine/core/tf.h"

namespace miccal = engine::miccal;
using miccal::Pair;

namespace {

using GridCheck = std::function<void(const std::vector<float>&)>;

struct Case {
    const char* what;
    std::string text;
    std::optional<std::vector<Pair>> want;  // nothing: "no frequency / dB pairs found"
    GridCheck grid = nullptr;               // what the file gives on the grid, beyond the resampled pairs
};

const std::string B = "100 0\n";  // a second valid line where a case needs two

}  // namespace

namespace {

std::filesystem::path scratch_dir() {
    auto dir = test_support::scratch_root("miccal");
    std::filesystem::create_directories(dir);
    return dir;
}

std::string write_file(const std::string& name, const std::string& text) {
    const auto path = scratch_dir() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

}  // namespace

TEST(MicCal, ParseAndLoadCases) {
    const std::vector<Case> cases = {
        {"third field ignored", "20 -1.5 45\n" + B, {{{20, -1.5f}, {100, 0}}}},
        {"plain comma", "20,-1.5\n" + B, {{{20, -1.5f}, {100, 0}}}},
        {"plain semicolon", "20;-1.5\n" + B, {{{20, -1.5f}, {100, 0}}}},
        {"spaced comma", "20 , -1.5\n" + B, {{{20, -1.5f}, {100, 0}}}},
        {"commas without any point stay separators", "20,-1\n30,2\n", {{{20, -1}, {30, 2}}}},
        {"decimal commas", "1000,0;0,5\n2000,0;1,0\n", {{{1000, 0.5f}, {2000, 1}}}},
        {"decimal commas, spaces, extra field", "1000,0 0,5 12,0\n2000,0 1,0\n", {{{1000, 0.5f}, {2000, 1}}}},
        {"decimal commas, one joined field", "1000,0,0,5\n1000,0 0,5\n2000,0 1,0\n", {{{1000, 0.5f}, {2000, 1}}}},
        {"decimal commas, trailing commas", "1000,0, 0,5,\n2000,0 1,0\n", {{{1000, 0.5f}, {2000, 1}}}},
        {"a point in a header forces plain mode", "Sens. Hz dB\n1000,5 0,2\n2000 1\n", {{{1000, 5}, {2000, 1}}}},
        {"a point in a comment does not count", "# v1.2\n1000,0;0,5\n2000,0;1,0\n", {{{1000, 0.5f}, {2000, 1}}}},
        {"comments and a // data line", "#\n*x\n;x\n// 20 1\n20 1\n30 2\n", {{{20, 1}, {30, 2}}}},
        {"blank lines, CRLF, tabs and spaces", "\r\n  \t20\t1 \r\n\r\n 30 2\t\r\n", {{{20, 1}, {30, 2}}}},
        {"refused frequencies and levels",
         "0 1\n-0 1\n-20 1\ninf 1\nnan 1\n20 inf\n20 nan\n1e3 1\n+20 2\n1e-40 3\n", {{{1e-40f, 3}, {20, 2}, {1000, 1}}}},
        {"bad lines", "Hz dB\n20\nabc 1\n20 x\n20 1.2.3\n0x10 1\n20 1\n30 2\n", {{{20, 1}, {30, 2}}}},
        {"sorted, equal frequencies in file order", "300 3\n100 1\n200 2\n100 9\n", {{{100, 1}, {100, 9}, {200, 2}, {300, 3}}}},
        {"exponents and points", "1.5e2 -0.5\n.5 1.\n", {{{0.5f, 1}, {150, -0.5f}}}},
        {"one valid line", "20 1\n", std::nullopt},
        {"empty text", "", std::nullopt},
        {"only comments", "# a\n; b\n", std::nullopt},
        {"bare CR line ends make one line", "20 1\r30 2\r40 3\r", std::nullopt},
        {"no-break space and ideographic space separate", "20\u00A01\n30\u30002\n", {{{20, 1}, {30, 2}}}},
        // A byte-order mark in front of the text is dropped before reading.
        {"byte-order mark before a comment", "\xEF\xBB\xBF# Hz dB\n20 0\n30 1\n", {{{20, 0}, {30, 1}}}},
        {"byte-order mark before data", "\xEF\xBB\xBF" "20 0\n30 1\n", {{{20, 0}, {30, 1}}}},
        {"only one mark is dropped", "\xEF\xBB\xBF\xEF\xBB\xBF" "20 0\n30 1\n40 2\n", {{{30, 1}, {40, 2}}}},
        {"resampled: flat outside, straight over log frequency inside", "100 1\n1000 3\n", {{{100, 1}, {1000, 3}}},
         [](const std::vector<float>& cal) {
             const auto& g = engine::tf::point_freq();
             for (std::size_t i = 0; i < 240; ++i) {
                 if (g[i] <= 100.0f) {
                     EXPECT_EQ(cal[i], 1.0f) << g[i];
                 } else if (g[i] >= 1000.0f) {
                     EXPECT_EQ(cal[i], 3.0f) << g[i];
                 } else {
                     EXPECT_NEAR(cal[i], 1.0f + 2.0f * std::log10(g[i] / 100.0f), 1e-5f) << g[i];
                 }
             }
         }},
        {"resampled: equal frequencies end one segment and start the next", "100 0\n500 4\n500 -2\n1000 -2\n",
         {{{100, 0}, {500, 4}, {500, -2}, {1000, -2}}},
         [](const std::vector<float>& cal) {
             const auto& g = engine::tf::point_freq();
             for (std::size_t i = 0; i < 240; ++i) {
                 if (g[i] > 100.0f && g[i] < 500.0f) {
                     EXPECT_NEAR(cal[i], 4.0f * std::log(g[i] / 100.0f) / std::log(5.0f), 1e-5f) << g[i];
                 }
                 if (g[i] >= 500.0f) {
                     EXPECT_EQ(cal[i], -2.0f) << g[i];
                 }
             }
         }},
        {"resampled: equal lowest frequencies take the earlier level", "100 5\n100 7\n1000 7\n",
         {{{100, 5}, {100, 7}, {1000, 7}}}, [](const std::vector<float>& cal) { EXPECT_EQ(cal[0], 5.0f); }},
    };
    int file_no = 0;
    for (const Case& c : cases) {
        const auto got = miccal::parse(c.text);
        // The same text read from a file: its pairs on the grid, or nothing.
        base::log::Capture logs;
        const auto cal = miccal::load(write_file("case" + std::to_string(file_no++) + ".txt", c.text));
        if (c.want) {
            ASSERT_TRUE(got) << c.what << ": " << got.error();
            EXPECT_EQ(*got, *c.want) << c.what;
            ASSERT_EQ(cal.size(), 240u) << c.what;
            EXPECT_EQ(cal, miccal::resample(*c.want)) << c.what;
            EXPECT_TRUE(logs.records().empty()) << c.what;
            if (c.grid) c.grid(cal);
        } else {
            ASSERT_FALSE(got) << c.what;
            EXPECT_EQ(got.error(), "no frequency / dB pairs found") << c.what;
            EXPECT_TRUE(cal.empty()) << c.what;
            EXPECT_EQ(logs.with_message("mic calibration not loaded: no frequency / dB pairs found").size(), 1u) << c.what;
        }
    }
}

TEST(MicCalLoad, FailuresAreLoggedAndGiveNoCalibration) {
    {
        base::log::Capture logs;
        EXPECT_TRUE(miccal::load("").empty());
        EXPECT_TRUE(logs.records().empty());
    }
    struct Case { const char* what; std::string path; std::string message; };
    const Case cases[] = {
        {"missing file", (scratch_dir() / "missing.cal").string(), "mic calibration not loaded: No such file or directory"},
        {"one pair", write_file("one.txt", "20 1\n"), "mic calibration not loaded: no frequency / dB pairs found"},
        {"not UTF-8", write_file("latin1.txt", "20 1\n30 2 \xE9\n"), "mic calibration not loaded: stream did not contain valid UTF-8"},
        {"a folder", scratch_dir().string(), "mic calibration not loaded: Is a directory"},
    };
    for (const Case& c : cases) {
        base::log::Capture logs;
        EXPECT_TRUE(miccal::load(c.path).empty()) << c.what;
        const auto recs = logs.records();
        ASSERT_EQ(recs.size(), 1u) << c.what;
        EXPECT_EQ(recs[0].level, base::log::Level::Warn);
        EXPECT_EQ(recs[0].target, "Veltrum::engine::miccal");
        EXPECT_EQ(recs[0].message, c.message) << c.what;
        EXPECT_TRUE(recs[0].fields.empty()) << c.what;
    }
}
