#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "audio-watcher/config.h"

using namespace audio_watcher;
using host::SampleFormat;
using host::SupportedRange;

TEST(Config, FormatPreference) {
    const std::vector<std::pair<SampleFormat, std::uint32_t>> table = {
        {SampleFormat::I8, 1},  {SampleFormat::I16, 7}, {SampleFormat::I24, 8},  {SampleFormat::I32, 9},
        {SampleFormat::I64, 5}, {SampleFormat::U8, 1},  {SampleFormat::U16, 3},  {SampleFormat::U24, 3},
        {SampleFormat::U32, 4}, {SampleFormat::U64, 2}, {SampleFormat::F32, 10}, {SampleFormat::F64, 6},
        {static_cast<SampleFormat>(12), 0}};
    for (auto [f, p] : table) EXPECT_EQ(config::format_preference(f), p) << host::format_name(f);
}

TEST(Config, RateScore) {
    struct Case { std::uint32_t cand, desired, score; };
    const std::vector<Case> table = {
        {48000, 48000, std::numeric_limits<std::uint32_t>::max()},
        {0, 0, std::numeric_limits<std::uint32_t>::max()},
        {0, 48000, 0},
        {48000, 0, 0},
        {96000, 48000, 98},
        {24000, 48000, 98},
        {44100, 48000, 0},
        {100, 1, 0},
        {99, 1, 1},
        {101, 1, 0},
    };
    for (auto c : table) EXPECT_EQ(config::rate_score(c.cand, c.desired), c.score) << c.cand << " " << c.desired;
}

TEST(Config, BestRateInRange) {
    struct Case { std::uint32_t desired, min, max, want; };
    const std::vector<Case> table = {
        {44100, 88200, 192000, 88200},  // the multiple
        {96000, 44100, 48000, 48000},   // the submultiple
        {44100, 48000, 48000, 48000},   // clamped, score 0
        {48000, 8000, 32000, 24000},    // range below 44100: the submultiple beats the clamp
        {8000, 22050, 96000, 48000},    // multiples below 44100 are skipped
        {22050, 8000, 48000, 22050},    // inside the range: unchanged even below 44100
        {48000, 48000, 48000, 48000},
        {192000, 8000, 16000, 16000},   // 192000 / 12
        {7, 44100, 44100, 44100},
    };
    for (auto c : table)
        EXPECT_EQ(config::best_rate_in_range(c.desired, c.min, c.max), c.want)
            << c.desired << " in " << c.min << ".." << c.max;
}

TEST(Config, BestRateInRangeRejectsMinAboveMax) {
    try {
        config::best_rate_in_range(48000, 50000, 40000);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "min > max. min = 50000, max = 40000");
    }
    // The lower bound is named: 44100 when the range reaches it.
    EXPECT_THROW(config::best_rate_in_range(10, 96000, 50000), std::invalid_argument);
}

namespace {
SupportedRange range(std::uint32_t lo, std::uint32_t hi, std::uint16_t ch, SampleFormat f,
                     std::optional<host::BufferRange> buf = std::nullopt) {
    return SupportedRange{buf, lo, hi, ch, f};
}
}  // namespace

TEST(Config, PickConfig) {
    struct Case {
        const char* what;
        std::vector<SupportedRange> ranges;
        std::uint32_t desired;
        std::optional<host::StreamConfig> want;
    };
    const host::BufferRange b1{64, 4096}, b2{32, 1024};
    const std::vector<Case> table = {
        {"empty list", {}, 48000, std::nullopt},
        {"equal keys: the later range", {range(44100, 96000, 2, SampleFormat::F32, b1), range(44100, 96000, 2, SampleFormat::F32, b2)},
         48000, host::StreamConfig{b2, 2, SampleFormat::F32, 48000}},
        {"F32 beats I32 whatever the channels", {range(44100, 48000, 8, SampleFormat::I32), range(44100, 48000, 2, SampleFormat::F32)},
         48000, host::StreamConfig{std::nullopt, 2, SampleFormat::F32, 48000}},
        {"F32 beats I32, other order", {range(44100, 48000, 2, SampleFormat::F32), range(44100, 48000, 8, SampleFormat::I32)},
         48000, host::StreamConfig{std::nullopt, 2, SampleFormat::F32, 48000}},
        {"more channels win at equal format and rate", {range(44100, 48000, 8, SampleFormat::I16), range(44100, 48000, 2, SampleFormat::I16)},
         48000, host::StreamConfig{std::nullopt, 8, SampleFormat::I16, 48000}},
        {"low range: submultiple, first key false", {range(8000, 32000, 2, SampleFormat::F32)},
         48000, host::StreamConfig{std::nullopt, 2, SampleFormat::F32, 24000}},
        {"reaching 44100 beats the better format", {range(44100, 48000, 2, SampleFormat::I16), range(8000, 32000, 2, SampleFormat::F32)},
         48000, host::StreamConfig{std::nullopt, 2, SampleFormat::I16, 48000}},
        {"exact rate beats a multiple", {range(96000, 96000, 2, SampleFormat::F32), range(48000, 48000, 2, SampleFormat::F32)},
         96000, host::StreamConfig{std::nullopt, 2, SampleFormat::F32, 96000}},
        {"unknown format loses to I8", {range(44100, 48000, 2, SampleFormat::I8), range(44100, 48000, 2, static_cast<SampleFormat>(40))},
         48000, host::StreamConfig{std::nullopt, 2, SampleFormat::I8, 48000}},
        {"only 48000: every standard rate chooses it", {range(48000, 48000, 4, SampleFormat::F32)},
         192000, host::StreamConfig{std::nullopt, 4, SampleFormat::F32, 48000}},
    };
    for (const auto& c : table) EXPECT_EQ(config::pick_config(c.ranges, c.desired), c.want) << c.what;
}
