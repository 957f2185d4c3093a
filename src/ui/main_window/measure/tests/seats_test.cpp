// Seat data, the shown snapshot (viewed trace, Predicted) and the two view
// switches, on a window state without a page.
#include <cmath>

#include "ui/main_window/measure/seats.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

// A flat trace of `gain` (linear) for `source` at `position`.
Trace flat(std::string source, std::string position, float gain = 1.0f, bool used = true) {
    std::vector<engine::tf::Triple> bins(240, engine::tf::Triple{gain, 0.0f, 1.0f});
    Trace t = Trace::make(source + "@" + position, 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    t.used = used;
    return t;
}

class Seats_ : public Window {
protected:
    void eq_tab(std::vector<Trace> traces, std::string source = "Main") {
        s().sources.set({source});
        s().current_source_name.set(source);
        s().traces.set(std::move(traces));
        s().right_tab.set(2);
    }
};

TEST_F(Seats_, OnlyOnTheEqTabWithoutAZone) {
    eq_tab({flat("Main", "A")});
    EXPECT_TRUE(seats_memo(s()));
    for (std::size_t tab : {0u, 1u}) {
        s().right_tab.set(tab);
        EXPECT_FALSE(seats_memo(s())) << tab;
    }
    s().right_tab.set(2);
    s().design.update([](engine::design::Design& d) { d.source_mut("Main").zones.push_back({.position = "A"}); });
    s().picked_zone.set(0);
    EXPECT_FALSE(seats_memo(s()));
}

TEST_F(Seats_, SeatsFollowThePositionListForColours) {
    // Positions A, B, C; Main was measured at A and C; at C its second trace is ticked.
    const std::vector<Trace> traces{flat("Main", "A"), flat("Sub", "B"), flat("Main", "C", 1.0f, false),
                                    flat("Main", "C")};
    EXPECT_EQ(seats_of({"A", "B", "C"}, traces, "Main"),
              (std::vector<SeatOf>{{0, "A", 0}, {3, "C", 2}}));
    // With neither ticked, the first trace stands for the seat.
    auto unticked = traces;
    unticked[3].used = false;
    EXPECT_EQ(seats_of({"A", "B", "C"}, unticked, "Main")[1], (SeatOf{2, "C", 2}));
}

TEST_F(Seats_, Levels) {
    // Levels 0 dB at A, +6 dB at B, -6 dB at C (unticked).
    eq_tab({flat("Main", "A"), flat("Main", "B", 2.0f), flat("Main", "C", 0.5f, false)});
    s().position.set("B");
    const auto seats = seats_memo(s());
    ASSERT_TRUE(seats);
    ASSERT_EQ(seats->seats.size(), 3u);
    EXPECT_NEAR(seats->seats[0].db, -3.01f, 0.05f);
    EXPECT_NEAR(seats->seats[1].db, 3.01f, 0.05f);
    EXPECT_NEAR(seats->seats[2].db, -9.03f, 0.05f);  // against the mean of the ticked ones (+3 dB)
    EXPECT_FALSE(seats->seats[2].ticked);
    EXPECT_FLOAT_EQ(seats->picked_db, seats->seats[1].db);
    ASSERT_EQ(seats->average.size(), 240u);

    // One ticked seat: 0 dB, the others their difference from it.
    s().traces.update([](std::vector<Trace>& t) { t[1].used = false; });
    const auto one = seats_memo(s());
    EXPECT_FLOAT_EQ(one->seats[0].db, 0.0f);
    EXPECT_NEAR(one->seats[1].db, 6.02f, 0.05f);

    // None ticked: every level 0, no average; a position that is no seat: level 0.
    s().traces.update([](std::vector<Trace>& t) { t[0].used = false; });
    s().position.set("Elsewhere");
    const auto none = seats_memo(s());
    for (const auto& seat : none->seats) EXPECT_FLOAT_EQ(seat.db, 0.0f);
    EXPECT_TRUE(none->average.empty());
    EXPECT_FLOAT_EQ(none->picked_db, 0.0f);
}

TEST_F(Seats_, ViewedTraceCountsTheSeatsOfItsSource) {
    struct Case {
        std::vector<Trace> traces;
        std::string ending;
    };
    const Case cases[] = {
        {{flat("Main", "A"), flat("Main", "A", 2.0f, false)}, ", 1 seat"},
        {{flat("Main", "A", 1.0f, false)}, ", 0 seats"},
        {{flat("Main", "B"), flat("Main", "A"), flat("Sub", "C")}, ", 2 seats"},
    };
    for (const auto& c : cases) {
        s().traces.set(c.traces);
        s().viewed_trace.set(0);
        const auto shown = predicted_memo(s());
        ASSERT_TRUE(shown);
        EXPECT_TRUE(shown->status.ends_with(c.ending)) << shown->status;
    }
    s().viewed_trace.set(7);
    EXPECT_FALSE(predicted_memo(s()));
}

TEST_F(Seats_, PredictedDesignSumHoldsTheDesignSourcesOnly) {
    s().design.update([](engine::design::Design& d) {
        d.source_mut("Left");
        d.source_mut("Right");
    });
    s().traces.set({flat("Right", "FOH"), flat("Other", "FOH", 4.0f), flat("Left", "FOH"), flat("Left", "Back", 8.0f)});
    s().position.set("FOH");
    s().show_predicted.set(true);
    const auto sum = predicted_memo(s());
    ASSERT_TRUE(sum);
    EXPECT_NEAR(sum->points[100].db, 6.02f, 0.05f);  // two unit traces in phase

    s().traces.update([](std::vector<Trace>& t) {
        t[0].used = false;
        t[2].used = false;
    });
    EXPECT_FALSE(predicted_memo(s()));
}

TEST_F(Seats_, PredictedOnTheEqTab) {
    eq_tab({flat("Main", "A"), flat("Main", "Z", 2.0f)});
    s().show_predicted.set(true);
    EXPECT_FALSE(predicted_memo(s()));  // seats present: the plot draws from them
    s().design.update([](engine::design::Design& d) { d.source_mut("Main").zones.push_back({.position = "Z"}); });
    s().picked_zone.set(0);
    const auto through = predicted_memo(s());
    ASSERT_TRUE(through);
    EXPECT_EQ(through->label, "Main@Z through its strip");
    EXPECT_NEAR(through->points[100].db, 6.02f, 0.05f);
}

TEST_F(Seats_, PredictedSwitch) {
    s().sources.set({"Main", "Sub"});
    s().current_source_name.set("Main");
    s().traces.set({flat("Sub", "FOH")});
    s().position.set("FOH");
    s().viewed_trace.set(0);

    s().snapshot.update([](auto& snap) { snap.running = true; });
    set_predicted(s(), true);
    EXPECT_FALSE(s().show_predicted.peek());
    EXPECT_EQ(s().viewed_trace.peek(), 0u);
    EXPECT_EQ(s().notice.peek(), "");
    s().show_predicted.set(true);
    set_predicted(s(), false);
    EXPECT_FALSE(s().show_predicted.peek());

    s().snapshot.update([](auto& snap) { snap.running = false; });
    set_predicted(s(), true);  // Config tab: any source's ticked trace will do
    EXPECT_TRUE(s().show_predicted.peek());
    EXPECT_EQ(s().viewed_trace.peek(), std::nullopt);
    EXPECT_EQ(s().notice.peek(), "");

    s().right_tab.set(2);
    set_predicted(s(), true);
    EXPECT_TRUE(s().show_predicted.peek());
    EXPECT_EQ(s().notice.peek(), "Predicted is empty: tick a trace at this position");
}

TEST_F(Seats_, LevelLockToggles) {
    s().draw_level.set(-12.5f);
    toggle_level_lock(s());
    EXPECT_EQ(s().level_lock.peek(), (std::pair{-12.5f, 0.0f}));
    toggle_level_lock(s());
    EXPECT_EQ(s().level_lock.peek(), std::nullopt);
}

}  // namespace
}  // namespace ui::main_window::testing
