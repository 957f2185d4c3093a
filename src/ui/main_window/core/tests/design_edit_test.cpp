#include <gtest/gtest.h>

#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using DesignEdit = testing::Window;

engine::design::Zone zone(std::string position, float gain) {
    engine::design::Zone z;
    z.position = std::move(position);
    z.bands = {engine::eqfit::Band{1000.0f, gain, 1.0f, true, engine::eqfit::BandKind::Peak}};
    return z;
}

TEST_F(DesignEdit, CurrentSource) {
    struct Case {
        std::vector<std::string> sources;
        std::string selected;
        std::string current;
    };
    const Case cases[] = {{{}, "", ""}, {{"A", "B"}, "B", "B"}, {{"A", "B"}, "Gone", "A"}, {{"A"}, "", "A"}};
    for (const auto& c : cases) {
        s().sources.set(c.sources);
        s().current_source_name.set(c.selected);
        EXPECT_EQ(current_source(s()), c.current) << c.selected;
    }
}

TEST_F(DesignEdit, NoSourceChangesNothing) {
    s().picked_zone.set(0);
    edit_current_source(s(), [](Source& src) { src.gain_db = 5.0f; });
    current_source_mut(s(), [](Source& src) { src.gain_db = 5.0f; });
    EXPECT_TRUE(s().design.peek().sources.empty());
    EXPECT_FALSE(s().unsaved.peek());
    EXPECT_TRUE(autosaves.empty());
    EXPECT_FALSE(current_zone(s()));
}

TEST_F(DesignEdit, AnEditWithAZonePickedLandsInTheZone) {
    s().sources.set({"Main"});
    // First edit: the strip is created at the end of the design.
    edit_current_source(s(), [](Source& src) { src.zones = {zone("Row 1", -1.0f), zone("Row 2", -2.0f)}; });
    EXPECT_EQ(autosaves.size(), 1u);
    const auto own = s().design.peek().sources[0].bands;
    s().picked_zone.set(1);
    ASSERT_EQ(current_zone(s()), (std::pair<std::size_t, std::string>{1, "Row 2"}));
    edit_current_source(s(), [](Source& src) {
        src.peq = false;
        src.bands[0].gain_db = 4.0f;
        src.gain_db = -6.0f;  // not a zone field: the source's own
    });
    const auto& src = s().design.peek().sources[0];
    EXPECT_EQ(src.zones[1].bands[0].gain_db, 4.0f);
    EXPECT_FALSE(src.zones[1].peq);
    EXPECT_TRUE(src.peq);
    EXPECT_EQ(src.bands, own);
    EXPECT_EQ(src.gain_db, -6.0f);
    EXPECT_EQ(src.zones[0].bands[0].gain_db, -1.0f);

    // The same change through current_source_mut reaches the source itself.
    current_source_mut(s(), [](Source& x) { x.peq = false; });
    EXPECT_FALSE(s().design.peek().sources[0].peq);
    EXPECT_EQ(autosaves.size(), 3u);
    EXPECT_TRUE(s().unsaved.peek());

    // A picked index past the zones is no zone.
    s().picked_zone.set(2);
    EXPECT_FALSE(current_zone(s()));
}

TEST_F(DesignEdit, AChangeThatMovesZonesIsRefused) {
    s().sources.set({"Main"});
    edit_current_source(s(), [](Source& src) { src.zones = {zone("Row 1", -1.0f), zone("Row 2", -2.0f)}; });
    s().picked_zone.set(1);
    const auto before = s().design.peek();
    const auto saves = autosaves.size();
    edit_current_source(s(), [](Source& src) { src.zones.erase(src.zones.begin()); });
    edit_current_source(s(), [](Source& src) { std::swap(src.zones[0], src.zones[1]); });
    EXPECT_EQ(s().design.peek(), before);
    EXPECT_EQ(autosaves.size(), saves);
}

TEST_F(DesignEdit, SourceOrNewDoesNotStore) {
    s().sources.set({"Main"});
    const auto fresh = source_or_new(s(), "Main");
    EXPECT_EQ(fresh, Source::make("Main"));
    EXPECT_TRUE(s().design.peek().sources.empty());
}

TEST_F(DesignEdit, TraceThroughStripUsesTheFirstTickedTraceHere) {
    s().sources.set({"Main"});
    auto a = testing::make_trace("a", "Main", "P1");
    a.used = false;
    auto b = testing::make_trace("b", "Main", "P1");
    auto c = testing::make_trace("c", "Main", "P1");
    s().traces.set({a, b, c, testing::make_trace("d", "Main", "P2")});
    s().position.set("P1");
    current_source_mut(s(), [](Source& x) { x.gain_db = 6.0f; });
    const auto t = trace_through_strip(s(), "Main");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->name, "b");
    EXPECT_NEAR(t->points[100].db, b.points[100].db + 6.0f, 1e-3f);
    EXPECT_FALSE(trace_through_strip_unfiltered(s(), "Other"));
}

}  // namespace
}  // namespace ui::main_window
