// Wing console targets: the list and the parser.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "engine/exports/wing.h"

namespace engine::wing {
namespace {

TEST(Targets, EveryKindInOrder) {
    const auto all = targets();
    ASSERT_EQ(all.size(), 68u);
    EXPECT_EQ(all.front(), "ch 1");
    EXPECT_EQ(all[39], "ch 40");
    EXPECT_EQ(all[40], "bus 1");
    EXPECT_EQ(all[55], "bus 16");
    EXPECT_EQ(all[56], "main 1");
    EXPECT_EQ(all[59], "main 4");
    EXPECT_EQ(all[60], "mtx 1");
    EXPECT_EQ(all.back(), "mtx 8");
    // Each listed name parses back to its own kind and number.
    for (const auto& name : all) {
        auto t = parse_target(name);
        ASSERT_TRUE(t.has_value()) << name;
        EXPECT_EQ(fmt::format("{} {}", t->kind, t->number), name);
    }
}

TEST(Targets, RangesOfEachKind) {
    struct Kind {
        const char* name;
        std::uint32_t count;
    };
    for (const Kind k : {Kind{"ch", 40}, Kind{"bus", 16}, Kind{"main", 4}, Kind{"mtx", 8}}) {
        for (std::uint32_t n = 0; n <= k.count + 1; ++n) {
            const auto text = fmt::format("{} {}", k.name, n);
            auto t = parse_target(text);
            if (n >= 1 && n <= k.count) {
                ASSERT_TRUE(t.has_value()) << text;
                EXPECT_EQ(t->path(), fmt::format("{}.{}", k.name, n));
                EXPECT_EQ(t->is_channel(), std::string_view(k.name) == "ch");
            } else {
                ASSERT_FALSE(t.has_value()) << text;
                EXPECT_EQ(t.error(), "no such Wing target: " + text);
            }
        }
    }
}

TEST(Targets, TextAsTyped) {
    struct Case {
        const char* text;
        const char* path;  // nullptr: rejected
    };
    const Case cases[] = {
        {"ch 5", "ch.5"},
        {"ch +5", "ch.5"},
        {"ch 05 extra", "ch.5"},
        {"  ch\t5  ", "ch.5"},
        {"mtx\xC2\xA0" "8", "mtx.8"},  // a no-break space separates too
        {"main 4 5", "main.4"},
        {"ch 0", nullptr},
        {"ch 41", nullptr},
        {"bus 17", nullptr},
        {"main 5", nullptr},
        {"mtx 9", nullptr},
        {"ch", nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {"CH 5", nullptr},
        {"Bus 1", nullptr},
        {"ch -5", nullptr},
        {"ch five", nullptr},
        {"ch +", nullptr},
        {"ch ++5", nullptr},
        {"ch 5.0", nullptr},
        {"ch 4294967297", nullptr},
        {"ch5", nullptr},
        {"aux 1", nullptr},
        {"dca 1", nullptr},
    };
    for (const auto& c : cases) {
        auto t = parse_target(c.text);
        if (c.path) {
            ASSERT_TRUE(t.has_value()) << c.text;
            EXPECT_EQ(t->path(), c.path);
        } else {
            ASSERT_FALSE(t.has_value()) << c.text;
            EXPECT_EQ(t.error(), fmt::format("no such Wing target: {}", c.text));
        }
    }
}

}  // namespace
}  // namespace engine::wing
