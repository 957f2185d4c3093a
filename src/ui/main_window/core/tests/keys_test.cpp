#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/main_window/core/keys.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using testing::make_trace;

TEST(ProjectName, Table) {
    struct Case {
        std::optional<Path> path;
        std::string name;
    };
    const Case cases[] = {
        {std::nullopt, "Untitled"},
        {Path("/shows/Hall A.vtproject"), "Hall A"},
        {Path("/shows/.vtproject"), ".vtproject"},
        {Path("/shows/mix.final.vtproject"), "mix.final"},
        {Path("/shows/Show.final.vtproject"), "Show.final"},
        {Path("/shows/plain"), "plain"},
        {Path("/shows/mix."), "mix"},
        {Path("/"), "Untitled"},
        {Path("/shows/.."), "Untitled"},
        {Path("/shows/bad\xff.vtproject"), "bad\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(project_name(c.path), c.name) << (c.path ? c.path->string() : "none");
}

TEST(Positions, FirstAppearanceOrder) {
    std::vector<Trace> traces{make_trace("1", "s", "B"), make_trace("2", "s", "A"), make_trace("3", "s", "B"),
                              make_trace("4", "s", "C"), make_trace("5", "s", "")};
    EXPECT_EQ(positions(traces), (std::vector<std::string>{"B", "A", "C", ""}));
    EXPECT_TRUE(positions({}).empty());
}

TEST(UiKey, OnlyWhatTheControlsShow) {
    engine::analyzer::Snapshot a;
    a.mic_db = 41.4f;
    a.points.resize(240);
    auto b = a;
    b.points[3].db = 12.0f;  // live points are not in the key
    b.spectrum.resize(3);
    b.lost = true;
    EXPECT_EQ(ui_key(a), ui_key(b));

    struct Case {
        const char* what;
        std::function<void(engine::analyzer::Snapshot&)> before, after;
        bool differs;
    };
    const Case cases[] = {
        {"mic 41.4 -> 41.6", [](auto& s) { s.mic_db = 41.4f; }, [](auto& s) { s.mic_db = 41.6f; }, true},
        {"mic 41.6 -> 41.9", [](auto& s) { s.mic_db = 41.6f; }, [](auto& s) { s.mic_db = 41.9f; }, false},
        {"ref half away from zero", [](auto& s) { s.ref_db = -2.4f; }, [](auto& s) { s.ref_db = -2.5f; }, true},
        {"ir span truncated", [](auto& s) { s.ir_span_ms = 40.1f; }, [](auto& s) { s.ir_span_ms = 40.9f; }, false},
        {"conf tenths", [](auto& s) { s.find_conf = 0.51f; }, [](auto& s) { s.find_conf = 0.56f; }, true},
        {"conf same tenth", [](auto& s) { s.find_conf = 0.51f; }, [](auto& s) { s.find_conf = 0.54f; }, false},
        {"harmonic dB", [](auto& s) { s.harmonics = {{2, -40.2f}}; }, [](auto& s) { s.harmonics = {{2, -40.4f}}; },
         false},
        {"harmonic gone", [](auto& s) { s.harmonics = {{2, -40.2f}}; }, [](auto& s) { s.harmonics.clear(); }, true},
        {"arrivals exact", [](auto& s) { s.arrivals = {{1.0f, -3.0f}}; },
         [](auto& s) { s.arrivals = {{1.1f, -3.0f}}; }, true},
        {"found", [](auto&) {}, [](auto& s) { s.found = 12; }, true},
        {"status", [](auto&) {}, [](auto& s) { s.status = "Stopped"; }, true},
        {"accumulate", [](auto&) {}, [](auto& s) { s.accumulate = true; }, true},
        {"dropouts", [](auto&) {}, [](auto& s) { s.dropouts = 1; }, true},
        {"label", [](auto&) {}, [](auto& s) { s.label = "t"; }, false},
    };
    for (const auto& c : cases) {
        engine::analyzer::Snapshot x, y;
        c.before(x);
        c.before(y);
        c.after(y);
        EXPECT_EQ(ui_key(x) != ui_key(y), c.differs) << c.what;
    }
}

TEST(MeterKey, TenthsAndUnsetMaxima) {
    engine::meter::MeterSnapshot a;
    a.max_z_db = -std::numeric_limits<float>::infinity();
    auto b = a;
    b.max_z_db = -20.0f;
    EXPECT_NE(meter_key(a), meter_key(b));
    EXPECT_EQ(meter_key(a).levels[5], std::numeric_limits<std::int32_t>::min());

    a.z_db = 80.2f;
    auto c = a;
    c.z_db = 80.3f;
    EXPECT_EQ(meter_key(a).levels[0], 802);
    EXPECT_EQ(meter_key(c).levels[0], 803);
    c.z_db = 80.24f;
    EXPECT_EQ(meter_key(a), meter_key(c));
    c.frames = 99;  // left out
    c.rta.resize(3);
    EXPECT_EQ(meter_key(a), meter_key(c));
    c.rms_dbfs = 0.6f;
    EXPECT_NE(meter_key(a), meter_key(c));
}

TEST(StoredCurves, PositionSeatsHiddenAndViewed) {
    std::vector<Trace> traces{make_trace("a", "s", "P1"), make_trace("b", "s", "P2"), make_trace("c", "s", "P1"),
                              make_trace("d", "s", "P1")};
    traces[3].visible = false;
    auto idx = [](const std::vector<StoredCurve>& cs) {
        std::vector<std::size_t> out;
        for (const auto& c : cs) out.push_back(c.index);
        return out;
    };
    EXPECT_EQ(idx(stored_curves(traces, "P1", std::nullopt, std::nullopt)), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(idx(stored_curves(traces, "P1", 2, std::nullopt)), (std::vector<std::size_t>{0}));

    Seats seats;
    seats.seats = {Seat{.trace = 1, .position = "P2", .colour = 1, .db = -3.0f, .ticked = true},
                   Seat{.trace = 3, .position = "P1", .colour = 0, .db = 0.0f, .ticked = true}};
    seats.picked_db = 2.0f;
    const auto curves = stored_curves(traces, "P1", std::nullopt, seats);
    ASSERT_EQ(idx(curves), (std::vector<std::size_t>{1}));  // another position's seat; the hidden one is not drawn
    EXPECT_FLOAT_EQ(curves[0].points[10].db, 2.0f + (traces[1].points[10].db + 3.0f));
    EXPECT_EQ(curves[0].points[10].hz, traces[1].points[10].hz);
    EXPECT_EQ(curves[0].gate, traces[1].gate);
}

}  // namespace
}  // namespace ui::main_window
