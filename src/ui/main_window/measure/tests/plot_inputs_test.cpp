// Where each input of the transfer view's path builders comes from.
#include <cmath>

#include "ui/main_window/measure/plot_inputs.h"
#include "ui/main_window/measure/seats.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using engine::analyzer::Snapshot;

Trace flat(std::string source, std::string position, float gain = 1.0f, bool used = true) {
    std::vector<engine::tf::Triple> bins(240, engine::tf::Triple{gain, 0.0f, 1.0f});
    Trace t = Trace::make(source + "@" + position, 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    t.used = used;
    return t;
}

std::vector<std::size_t> stored_indices(const ui::tf_plot::PathInputs& in) {
    std::vector<std::size_t> out;
    for (const auto& c : in.stored) out.push_back(c.n);
    return out;
}

class PlotInputs : public Window {
protected:
    ui::tf_plot::PathInputs inputs(const Snapshot* shown = nullptr) {
        return plot_inputs(s(), false, shown, seats_memo(s()), reflections);
    }
    std::vector<std::vector<float>> reflections;
};

TEST_F(PlotInputs, NothingShown) {
    s().settings.set(&Settings::coherence_threshold, 0.6f);
    s().settings.set(&Settings::show_rta, true);
    const auto in = inputs();
    EXPECT_TRUE(in.live.empty());
    EXPECT_FALSE(in.accumulated);
    EXPECT_EQ(in.octave_conf, (std::array<float, 10>{}));
    EXPECT_TRUE(in.ir.empty());
    EXPECT_FLOAT_EQ(in.threshold, 0.6f);
    EXPECT_TRUE(in.arrivals.empty());
    EXPECT_FALSE(in.rta);
    EXPECT_FALSE(in.fixed_ref);
    EXPECT_FLOAT_EQ(in.fixed_ref_db, 0.0f);
}

TEST_F(PlotInputs, TheViewedTraceIsTheMainCurveOnlyWithPredictedOff) {
    s().traces.set({flat("Main", "FOH"), flat("Sub", "FOH"), flat("Main", "Back")});
    s().traces.update([](std::vector<Trace>& t) { t[1].visible = false; });
    s().position.set("FOH");
    s().viewed_trace.set(0);
    EXPECT_EQ(stored_indices(inputs()), std::vector<std::size_t>{});
    s().show_predicted.set(true);
    EXPECT_EQ(stored_indices(inputs()), std::vector<std::size_t>{0});
}

TEST_F(PlotInputs, SeatCurvesAreLevelledToThePickedSeat) {
    s().sources.set({"Main"});
    s().traces.set({flat("Main", "A"), flat("Main", "B", 2.0f)});
    s().position.set("A");
    s().right_tab.set(2);
    const auto seats = seats_memo(s());
    const auto in = inputs();
    ASSERT_EQ(stored_indices(in), (std::vector<std::size_t>{0, 1}));
    // The seat at B is drawn at A's level: both land on A's curve.
    EXPECT_NEAR(in.stored[1].points[100].db, in.stored[0].points[100].db, 0.05f);
    EXPECT_NEAR(in.stored[0].points[100].db, 0.0f, 0.05f);
    ASSERT_TRUE(in.average);
    EXPECT_EQ(*in.average, seats->average);
}

TEST_F(PlotInputs, SeatSums) {
    s().sources.set({"Main"});
    s().traces.set({flat("Main", "A", 1.0f, false), flat("Main", "B", 2.0f, false)});
    s().position.set("A");
    s().right_tab.set(2);
    s().show_predicted.set(true);
    EXPECT_FALSE(inputs().sum);  // no seat picked, none ticked

    s().traces.update([](std::vector<Trace>& t) {
        t[0].used = true;
        t[1].used = true;
    });
    auto avg = inputs().sum;
    ASSERT_TRUE(avg);
    EXPECT_NEAR((*avg)[100].db, 0.0f, 0.1f);  // the levelled average, drawn where the seat of A is drawn

    s().picked_seat.set("B");
    const auto picked = inputs().sum;
    ASSERT_TRUE(picked);
    EXPECT_NEAR((*picked)[100].db, 0.0f, 0.1f);  // B levelled to the seat of A

    s().show_predicted.set(false);
    EXPECT_FALSE(inputs().sum);
}

TEST_F(PlotInputs, FixedLevel) {
    s().traces.set({flat("Main", "FOH", 2.0f), flat("Main", "Back")});
    s().settings.set(&Settings::target, std::optional<engine::eqfit::Curve>{engine::eqfit::Curve::Flat});
    s().position.set("FOH");
    s().viewed_trace.set(0);
    auto in = inputs();
    EXPECT_TRUE(in.fixed_ref);
    EXPECT_NEAR(in.fixed_ref_db, 6.02f, 0.05f);

    s().viewed_trace.set(1);  // at another position: no level outside Predicted
    in = inputs();
    EXPECT_FALSE(in.fixed_ref);
    EXPECT_FLOAT_EQ(in.fixed_ref_db, 0.0f);

    s().level_lock.set(std::pair{-10.0f, 4.0f});
    in = inputs();
    EXPECT_TRUE(in.fixed_ref);
    EXPECT_FLOAT_EQ(in.fixed_ref_db, -14.0f);
}

TEST_F(PlotInputs, SpectrumOverlayTop) {
    s().settings.set(&Settings::show_rta, true);
    Snapshot shown;
    shown.spectrum = {{1000.0f, -40.0f, 0.0f, 1.0f}};
    const std::pair<float, float> cases[] = {{0.0f, 0.0f}, {3.0f, 10.0f}, {-12.0f, -10.0f}, {20.0f, 20.0f}};
    for (const auto& [offset, top] : cases) {
        s().settings.set(&Settings::spl_offset_db, offset);
        const auto in = inputs(&shown);
        ASSERT_TRUE(in.rta);
        EXPECT_FLOAT_EQ(in.rta->second, top) << offset;
        EXPECT_FLOAT_EQ(in.rta->first[0].db, -40.0f + offset);
    }
}

TEST_F(PlotInputs, CrossoversAndEqCurvePerTab) {
    s().sources.set({"Main", "Sub", "Fill"});
    s().current_source_name.set("Sub");
    s().design.update([](engine::design::Design& d) {
        d.source_mut("Main").hp.on = true;
        d.source_mut("Sub").lp.on = true;
        d.source_mut("Fill");
    });
    struct Case {
        std::size_t tab;
        std::array<bool, 3> drawn;
        bool eq;
    };
    const Case cases[] = {{0, {false, false, false}, false}, {1, {true, true, false}, false}, {2, {false, true, false}, true}};
    for (const auto& c : cases) {
        s().right_tab.set(c.tab);
        const auto in = inputs();
        ASSERT_EQ(in.crossovers.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(in.crossovers[i].first, i);
            EXPECT_EQ(!in.crossovers[i].second.empty(), c.drawn[i]) << c.tab << " " << i;
        }
        EXPECT_EQ(in.eq_curve.has_value(), c.eq) << c.tab;
    }
}

TEST_F(PlotInputs, TargetCurve) {
    s().settings.set(&Settings::target, std::optional<engine::eqfit::Curve>{});
    EXPECT_FALSE(inputs().target);
    s().settings.set(&Settings::target, std::optional<engine::eqfit::Curve>{engine::eqfit::Curve::Flat});
    const auto t = inputs().target;
    ASSERT_TRUE(t);
    EXPECT_FLOAT_EQ((*t)[10].db, 0.0f);
    EXPECT_FLOAT_EQ((*t)[10].conf, 1.0f);
}

TEST_F(PlotInputs, PredictedCurve) {
    engine::design::Design design;
    design.source_mut("Sub").lp = engine::design::Filter{.on = true, .hz = 100.0f};
    const std::vector<Trace> traces{flat("Main", "FOH"), flat("Sub", "FOH"), flat("Sub", "Back")};
    const std::vector<std::vector<float>> none;
    const std::vector<std::string> summed{"Main", "Sub"};
    const PredictedContext ctx{traces, design, none, summed};
    EXPECT_FALSE(predicted_curve(ctx, 3, false, false));
    const auto both = predicted_curve(ctx, 0, true, false);
    ASSERT_TRUE(both);
    EXPECT_NEAR(both->points[200].db, 0.0f, 0.1f);  // the sub's low-pass is closed up there

    // Without the sub measured at Back, its pass band loses its confidence there.
    const std::vector<Trace> back{flat("Main", "Back"), flat("Sub", "FOH")};
    const PredictedContext ctx2{back, design, none, summed};
    const auto cleared = predicted_curve(ctx2, 0, true, false);
    const auto kept = predicted_curve(ctx2, 0, false, false);
    ASSERT_TRUE(cleared && kept);
    EXPECT_FLOAT_EQ(cleared->points[10].conf, 0.0f);   // ~25 Hz, inside the sub's band
    EXPECT_GT(cleared->points[230].conf, 0.5f);        // ~15 kHz, far above it
    EXPECT_GT(kept->points[10].conf, 0.5f);
}

TEST_F(PlotInputs, AtPosition) {
    const std::vector<Trace> traces{flat("Main", "A"), flat("Sub", "B"), flat("Sub", "A")};
    EXPECT_EQ(at_position(traces, "A"), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(at_position(traces, "a"), std::vector<std::size_t>{});
    EXPECT_TRUE(average_of({}, 3.0f).empty());
}

}  // namespace
}  // namespace ui::main_window::testing
