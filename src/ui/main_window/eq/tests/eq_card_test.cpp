// The EQ tab's Zone row, EQ card and Shaping card headless, the plot
// handles they give, and the drag and wheel gestures with their autosaves.
#include <cmath>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/eq/eq_card.h"
#include "ui/main_window/tests/panel_fixture.h"

namespace ui::main_window {
namespace {

using testing::has_class;
using testing::text_of;

using engine::design::QConv;
using engine::design::Source;
using engine::design::Zone;
using engine::eqfit::Band;
using engine::eqfit::BandKind;
using engine::eqfit::Shaping;
using engine::eqfit::ShapingModel;
using ui::tf_plot::Handle;
using ui::tf_plot::HandleKind;
using namespace std::chrono_literals;

reactive::Element tab() {
    return reactive::div()(reactive::component(zone_row, "zone_row"), reactive::component(eq_card, "eq_card"),
                           reactive::component(shaping_card, "shaping_card"));
}

class EqCard : public testing::Panel {
protected:
    // "Main" with its own six bands and two zones of one band each.
    void two_zones() {
        Source src = Source::make("Main");
        src.zones = {Zone{.position = "Front", .bands = {Band{200.0f, -3.0f, 1.0f, true, BandKind::Peak}}},
                     Zone{.position = "Back", .bands = {Band{4000.0f, 2.0f, 2.0f, false, BandKind::Peak}}, .peq = false}};
        s().sources.set({"Main"});
        s().design.set(engine::design::Design{{src}});
    }
    const Source& src() { return s().design.peek().sources.at(0); }
    const testing::Node* eq() { return first("eq"); }
    const testing::Node* band(std::size_t j) { return by_class("band", eq()).at(j + 1); }  // after the head row
};

TEST(EqPieces, QConventionsBothWays) {
    struct Case {
        QConv conv;
        float q;
        double shown;
        double entered;
        float stored;
    };
    const Case cases[] = {
        {QConv::Rbj, 2.0f, 2.0, 3.0, 3.0f},
        {QConv::Wing, 2.0f, 2.5, 2.5, 2.0f},
        {QConv::Galileo, 2.0f, 0.5, 0.0, 20.0f},
        {QConv::Galileo, 4.0f, 0.25, 0.5, 2.0f},
        {QConv::AllenHeath, 1.41f, 1.0 / 3.0, 1.0, 0.40406f},
        {QConv::AllenHeath, 4.318f, 1.0 / 9.0, 1.0 / 9.0, 4.318f},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(q_shown(c.conv, c.q), c.shown, 2e-3) << q_label(c.conv);
        Band b{1000.0f, 0.0f, q_entered(c.conv, c.entered), true, BandKind::Peak};
        limit_band(b);
        EXPECT_NEAR(b.q, c.stored, 1e-3) << q_label(c.conv) << " " << c.entered;
    }
    // Every convention reads back what it shows.
    for (QConv c : {QConv::Rbj, QConv::Wing, QConv::AllenHeath, QConv::Galileo})
        for (float q : {0.3f, 0.7071f, 1.0f, 2.5f, 9.0f, 20.0f})
            EXPECT_NEAR(q_entered(c, q_shown(c, q)), q, q * 1e-4) << q_label(c) << " " << q;
    // A width of 0 octaves stands for 0.01 octave, then the Q limit.
    Band b{1000.0f, 0.0f, q_entered(QConv::AllenHeath, 0.0), true, BandKind::Peak};
    limit_band(b);
    EXPECT_EQ(b.q, 20.0f);
    EXPECT_EQ(q_step(QConv::Rbj), 0.1);
    EXPECT_EQ(q_step(QConv::Wing), 0.1);
    EXPECT_EQ(q_step(QConv::AllenHeath), 0.05);
    EXPECT_EQ(q_step(QConv::Galileo), 0.05);
    EXPECT_NEAR(bandwidth_octaves(1.41f), 1.0f, 5e-3f);
}

TEST(EqPieces, BandLimitsCountAndWheel) {
    struct Limit {
        Band in;
        Band out;
    };
    const Limit limits[] = {
        {{10.0f, 0.0f, 2.0f}, {20.0f, 0.0f, 2.0f}},       {{30000.0f, 0.0f, 2.0f}, {20000.0f, 0.0f, 2.0f}},
        {{1000.0f, 20.0f, 2.0f}, {1000.0f, 12.0f, 2.0f}}, {{1000.0f, -30.0f, 2.0f}, {1000.0f, -15.0f, 2.0f}},
        {{1000.0f, 0.0f, 40.0f}, {1000.0f, 0.0f, 20.0f}}, {{1000.0f, 0.0f, 0.1f}, {1000.0f, 0.0f, 0.3f}},
        {{20.0f, 12.0f, 0.3f}, {20.0f, 12.0f, 0.3f}},
    };
    for (const auto& c : limits) {
        Band b = c.in;
        limit_band(b);
        EXPECT_EQ(b, c.out) << c.in.hz << " " << c.in.gain_db << " " << c.in.q;
    }
    const std::pair<double, std::size_t> counts[] = {{17, 16}, {16, 16}, {0, 1}, {-3, 1}, {2.9, 2},
                                                     {1, 1},   {6.5, 6}, {std::nan(""), 1}, {1e9, 16}};
    for (auto [v, n] : counts) EXPECT_EQ(band_count(v), n) << v;
    EXPECT_FLOAT_EQ(wheel_factor(100.0f), std::pow(1.02f, -25.0f));
    EXPECT_NEAR(wheel_factor(100.0f), 0.6095f, 1e-4f);
    EXPECT_NEAR(wheel_factor(-100.0f), 1.6406f, 1e-4f);
    EXPECT_EQ(wheel_factor(0.0f), 1.0f);
}

TEST(EqPieces, ShapingNominalAndHandles) {
    Shaping sh;
    sh.on = true;
    sh.gain_db = {3, -2, 1, 4, 5};
    sh.model = ShapingModel::Callisto;
    nominal_shaping(sh);
    EXPECT_TRUE(sh.on);
    EXPECT_EQ(sh.model, ShapingModel::Callisto);
    EXPECT_EQ(sh.hz, (std::array<float, 4>{62, 250, 1000, 4000}));
    EXPECT_EQ(sh.slope_db, (std::array<std::uint8_t, 4>{12, 12, 12, 12}));
    EXPECT_EQ(sh.gain_db, (std::array<float, 5>{0, 0, 0, 0, 0}));

    // Galileo: four ranges from 20 Hz to 20 kHz around three knees, then the knees.
    Shaping g;
    g.gain_db = {2, -1, 3, -4, 9};
    const auto hs = shaping_handles(g);
    const std::vector<Handle> want = {
        {std::sqrt(20.0f * 125.0f), 2, "", "shaping off", "Gain 1: +2.0 dB; drag up or down", HandleKind::range(20, 125)},
        {std::sqrt(125.0f * 500.0f), -1, "", "shaping off", "Gain 2: -1.0 dB; drag up or down", HandleKind::range(125, 500)},
        {std::sqrt(500.0f * 4000.0f), 3, "", "shaping off", "Gain 3: +3.0 dB; drag up or down", HandleKind::range(500, 4000)},
        {std::sqrt(4000.0f * 20000.0f), -4, "", "shaping off", "Gain 4: -4.0 dB; drag up or down", HandleKind::range(4000, 20000)},
        {125, 0.5f, "", "xover off", "Knee 1: 125 Hz; drag left or right", HandleKind::line(2, -1)},
        {500, 1, "", "xover off", "Knee 2: 500 Hz; drag left or right", HandleKind::line(-1, 3)},
        {4000, -0.5f, "", "xover off", "Knee 3: 4000 Hz; drag left or right", HandleKind::line(3, -4)},
    };
    EXPECT_EQ(hs, want);
    g.on = true;
    g.model = ShapingModel::Callisto;
    const auto cs = shaping_handles(g);
    ASSERT_EQ(cs.size(), 9u);
    EXPECT_EQ(cs[4].kind, HandleKind::range(20000, 20000));  // knee 4 stored at 20 kHz
    EXPECT_EQ(cs[0].cls, "shaping");
    EXPECT_EQ(cs[8].cls, "xover");
    EXPECT_EQ(cs[8].db, 2.5f);
}

TEST_F(EqCard, HandlesFollowTheShownStrip) {
    two_zones();
    s().right_tab.set(1);
    EXPECT_TRUE(eq_handles(s()).empty());
    s().right_tab.set(2);
    auto hs = eq_handles(s());
    ASSERT_EQ(hs.size(), 6u);
    EXPECT_EQ(hs[0].label, "1");
    EXPECT_EQ(hs[0].cls, "off");
    EXPECT_EQ(hs[0].title, fmt::format("Band 1: {:.0f} Hz +0.0 dB Q 2.0; drag to move, wheel for Q", src().bands[0].hz));
    s().picked_zone.set(0);
    hs = eq_handles(s());
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0], (Handle{200, -3, "1", "", "Band 1: 200 Hz -3.0 dB Q 1.0; drag to move, wheel for Q"}));
    s().picked_zone.set(1);  // its PEQ is off: every handle is "off"
    EXPECT_EQ(eq_handles(s())[0].cls, "off");
    s().shaping_selected.set(true);
    EXPECT_EQ(eq_handles(s()).size(), 7u);
}

TEST_F(EqCard, DragEditsTheShownBandAndAutosavesOnRelease) {
    two_zones();
    s().right_tab.set(2);
    s().picked_zone.set(1);
    for (int i = 0; i < 20; ++i) drag_eq_handle(s(), 0, 1000.0f + 100.0f * i, -1.0f - i);
    EXPECT_TRUE(autosaves.empty());
    EXPECT_FALSE(s().unsaved.peek());
    const Band& b = src().zones[1].bands[0];
    EXPECT_TRUE(b.on);
    EXPECT_EQ(b.hz, 2900.0f);
    EXPECT_EQ(b.gain_db, -15.0f);  // limited
    EXPECT_EQ(src().zones[0].bands[0].hz, 200.0f);
    EXPECT_EQ(src().bands, Source::make("Main").bands);
    EXPECT_TRUE(s().show_predicted.peek());
    drag_eq_handle(s(), 5, 100.0f, 0.0f);  // past the band list: nothing
    EXPECT_EQ(src().zones[1].bands.size(), 1u);
    // The release: the plot's drag end marks the project and autosaves once.
    mark_unsaved(s());
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_EQ(autosaves[0].session.design.sources[0].zones[1].bands[0].hz, 2900.0f);

    // Shaping: a gain range switches the stage on; a knee moves within its limits.
    s().shaping_selected.set(true);
    drag_eq_handle(s(), 1, 300.0f, 4.0f);
    EXPECT_TRUE(src().shaping.on);
    EXPECT_EQ(src().shaping.gain_db[1], 4.0f);
    drag_eq_handle(s(), 4 + 1, 700.0f, 0.0f);
    EXPECT_EQ(src().shaping.hz[1], 700.0f);
    const auto before = src().shaping;
    drag_eq_handle(s(), 4 + 4, 700.0f, 0.0f);  // no such handle
    EXPECT_EQ(src().shaping, before);
    drag_eq_handle(s(), 0, 300.0f, 30.0f);
    EXPECT_EQ(src().shaping.gain_db[0], 12.0f);
    EXPECT_EQ(autosaves.size(), 1u);
}

TEST_F(EqCard, FiveWheelStepsGiveOneAutosaveAfterTheLast) {
    two_zones();
    s().right_tab.set(2);
    const float q = src().bands[2].q;
    for (int i = 0; i < 5; ++i) {
        wheel_eq_handle(s(), 2, 20.0f);
        loop.advance(50ms);
    }
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_TRUE(src().bands[2].on);
    EXPECT_NEAR(src().bands[2].q, q * std::pow(wheel_factor(20.0f), 5.0f), 1e-4f);
    EXPECT_EQ(s().wheel_generation.peek(), 5u);
    EXPECT_TRUE(autosaves.empty());
    loop.advance(WHEEL_SETTLE - 50ms - 1ms);
    EXPECT_TRUE(autosaves.empty());
    loop.advance(1ms);
    ASSERT_EQ(autosaves.size(), 1u);
    EXPECT_EQ(autosaves[0].session.design, s().design.peek());
    loop.advance(1s);
    EXPECT_EQ(autosaves.size(), 1u);
    // Down to the Q limit; nothing while the Shaping card is selected.
    for (int i = 0; i < 40; ++i) wheel_eq_handle(s(), 2, 100.0f);
    EXPECT_EQ(src().bands[2].q, 0.3f);
    s().shaping_selected.set(true);
    const auto gen = s().wheel_generation.peek();
    wheel_eq_handle(s(), 2, -100.0f);
    EXPECT_EQ(src().bands[2].q, 0.3f);
    EXPECT_EQ(s().wheel_generation.peek(), gen);
}

TEST_F(EqCard, BandRowsAndStepper) {
    two_zones();
    s().design.update([](auto& d) {
        d.sources[0].bands[1].on = true;
        d.sources[0].bands[1].q = 1.41f;
        d.sources[0].q_as = QConv::AllenHeath;
    });
    mount(tab);
    EXPECT_TRUE(has_class(*first("folder", eq()), "selected"));
    EXPECT_EQ(text_of(*first("head", eq())), "TypeHzdBWidth");
    EXPECT_EQ(attr(band(0), "class"), "band off");
    EXPECT_EQ(attr(band(1), "class"), "band");
    EXPECT_EQ(attr(band(1), "title"), "1.00 oct");
    // With the EQ off every row reads off; the bands keep their own flags.
    click(button_labelled("On", eq()));
    ASSERT_FALSE(src().peq);
    EXPECT_EQ(attr(band(0), "class"), "band off");
    EXPECT_EQ(attr(band(1), "class"), "band off");
    EXPECT_TRUE(src().bands[1].on);
    click(button_labelled("On", eq()));
    EXPECT_EQ(attr(band(1), "class"), "band");
    EXPECT_EQ(std::get<std::string>(stepper_field(band(1), 2)->props.at("value")), "0.3");

    // Width 1 (three octaves) gives q 0.404.
    type(band(1), "1", 2);
    EXPECT_NEAR(src().bands[1].q, 0.40406f, 1e-4f);
    type(band(1), "10", 0);
    EXPECT_EQ(src().bands[1].hz, 20.0f);
    type(band(1), "20", 1);
    EXPECT_EQ(src().bands[1].gain_db, 12.0f);
    // Choosing LS sets q 1/sqrt 2; PK keeps it.
    choose(band(3), "LS");
    EXPECT_EQ(src().bands[3].kind, BandKind::LowShelf);
    EXPECT_EQ(src().bands[3].q, 0.70710677f);
    choose(band(3), "PK");
    EXPECT_EQ(src().bands[3].q, 0.70710677f);
    click(button_labelled("4", band(3)));
    EXPECT_TRUE(src().bands[3].on);

    // Bands: 16 + is 16, 1 - is 1, 2.9 is 2.
    type(row("Bands", eq()), "16");
    EXPECT_EQ(src().bands.size(), 16u);
    plus(row("Bands", eq()));
    EXPECT_EQ(src().bands.size(), 16u);
    type(row("Bands", eq()), "1");
    minus(row("Bands", eq()));
    EXPECT_EQ(src().bands.size(), 1u);
    type(row("Bands", eq()), "2.9");
    EXPECT_EQ(src().bands.size(), 2u);
    EXPECT_EQ(by_class("band", eq()).size(), 3u);

    choose(row("Q as", eq()), "Q (Wing)");
    EXPECT_EQ(src().q_as, QConv::Wing);
    choose(row("Q as", eq()), "Q (Nothing)");
    EXPECT_EQ(src().q_as, QConv::Wing);
    click(button_labelled("Allowed", row("Shelves", eq())));
    EXPECT_FALSE(src().shelves);
    EXPECT_NE(button_labelled("Peaks only", row("Shelves", eq())), nullptr);
}

TEST_F(EqCard, ZoneRowAndZoneEdits) {
    two_zones();
    mount(tab);
    const auto* zone = row("Zone");
    ASSERT_TRUE(zone);
    EXPECT_EQ(open(zone), (std::vector<shared_ui::components::dropdown::Choice>{
                              {"", "Shared by all"}, {"0", "Front"}, {"1", "Back"}}));
    EXPECT_EQ(s().open_dropdown.peek()->value, "");
    s().open_dropdown.set(std::nullopt);
    choose(row("Zone"), "1");
    EXPECT_EQ(s().picked_zone.peek(), 1u);
    EXPECT_EQ(by_class("band", eq()).size(), 2u);  // head and the zone's one band
    EXPECT_FALSE(has_class(*button_labelled("On", eq()), "toggled"));

    // Reset, On and Bands reach the zone; the source's bands stay.
    click(button_labelled("Reset", eq()));
    click(button_labelled("On", eq()));
    type(row("Bands", eq()), "3");
    ASSERT_EQ(src().zones[1].bands.size(), 3u);
    EXPECT_FLOAT_EQ(src().zones[1].bands[0].hz, 800.0f);  // the fresh single band, kept
    EXPECT_FLOAT_EQ(src().zones[1].bands[2].hz, 40.0f * std::pow(400.0f, 2.5f / 3.0f));
    EXPECT_TRUE(src().zones[1].peq);
    EXPECT_EQ(src().bands, Source::make("Main").bands);
    EXPECT_EQ(autosaves.size(), 3u);

    choose(row("Zone"), "+0");
    EXPECT_EQ(s().picked_zone.peek(), 0u);
    choose(row("Zone"), "");
    EXPECT_FALSE(s().picked_zone.peek());
    EXPECT_EQ(autosaves.size(), 3u);
}

TEST_F(EqCard, ShapingCard) {
    two_zones();
    s().design.update([](auto& d) { d.sources[0].shaping.gain_db = {1, 2, 3, 4, 5}; });
    s().right_tab.set(2);
    mount(tab);
    const auto* card = first("shaping");
    EXPECT_FALSE(has_class(*first("folder", card), "selected"));
    // A press anywhere in a card selects it (the page brings a press on a
    // row or a control up to the card); the plot's handles follow.
    EXPECT_EQ(eq_handles(s()).size(), src().bands.size());
    fire(card, "mousedown");
    EXPECT_TRUE(s().shaping_selected.peek());
    EXPECT_FALSE(has_class(*first("folder", eq()), "selected"));
    card = first("shaping");
    EXPECT_TRUE(has_class(*first("folder", card), "selected"));
    EXPECT_EQ(eq_handles(s()).size(), 4u + 3u);  // Galileo: four gains, three knees
    fire(eq(), "mousedown");
    EXPECT_FALSE(s().shaping_selected.peek());
    EXPECT_EQ(eq_handles(s()).size(), src().bands.size());
    fire(first("shaping"), "mousedown");
    card = first("shaping");
    // Galileo: four rows, three knee fields.
    auto rows = by_class("band", card);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(text_of(*rows[0]), "BanddBKnee Hz");
    EXPECT_EQ(attr(rows[1], "class"), "band shaping off");
    EXPECT_EQ(all([](const testing::Node& n) { return n.tag == "input"; }, card).size(), 4u + 3u);

    choose(row("Model", card), "Callisto");
    EXPECT_EQ(src().shaping.model, ShapingModel::Callisto);
    EXPECT_EQ(src().shaping.hz, (std::array<float, 4>{62, 250, 1000, 4000}));
    EXPECT_EQ(src().shaping.slope_db, (std::array<std::uint8_t, 4>{12, 12, 12, 12}));
    EXPECT_EQ(src().shaping.gain_db, (std::array<float, 5>{0, 0, 0, 0, 0}));
    EXPECT_FALSE(src().shaping.on);
    card = first("shaping");
    rows = by_class("band", card);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(text_of(*rows[0]), "BanddBKnee HzdB/oct");
    EXPECT_EQ(attr(rows[3], "class"), "band shaping callisto off");

    click(button_labelled("On", card));
    EXPECT_TRUE(src().shaping.on);
    type(rows[2], "30");
    EXPECT_EQ(src().shaping.gain_db[1], 12.0f);
    choose(by_class("band", first("shaping"))[2], "24");
    EXPECT_EQ(src().shaping.slope_db[1], 24);
    click(button_labelled("Reset", first("shaping")));
    EXPECT_EQ(src().shaping.gain_db[1], 0.0f);
    EXPECT_EQ(src().shaping.slope_db[1], 12);
    EXPECT_TRUE(src().shaping.on);
}

}  // namespace
}  // namespace ui::main_window
