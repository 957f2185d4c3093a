#include <gtest/gtest.h>

#include "shared-ui/icons.h"

#include "engine/tuning/air.h"
#include "ui/main_window/config/readout_card.h"
#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/eq/zones.h"
#include "ui/main_window/tests/eq_page.h"

namespace ui::main_window {
namespace {

using engine::design::QConv;
using engine::design::Zone;
using engine::eqfit::Band;
using engine::eqfit::BandKind;
using testing::make_trace;

class Zones : public testing::EqWindow {
protected:
    const Source& main() { return s().design.peek().sources.at(0); }
    void with_zones(std::vector<Zone> zones) {
        s().sources.set({"Main"});
        auto src = Source::make("Main");
        src.zones = std::move(zones);
        s().design.set(engine::design::Design{{src}});
    }
};

Trace ticked(std::string source, std::string position, bool used = true, std::size_t delay = 0) {
    auto t = make_trace("t", std::move(source), std::move(position));
    t.used = used;
    t.delay_samples = delay;
    return t;
}

TEST_F(Zones, FromPositionsAddsTheMissingZones) {
    s().sources.set({"Main"});
    s().traces.set({ticked("Main", "A"), ticked("Sub", "D"), ticked("Main", "B"), ticked("Main", "C", false)});
    with_zones({new_zone("A")});
    add_zones_from_positions(s());
    ASSERT_EQ(main().zones.size(), 2u);
    const auto& z = main().zones[1];
    EXPECT_EQ(z.position, "B");
    ASSERT_EQ(z.bands.size(), 3u);
    const float hz[] = {108.576706f, 800.0f, 5894.449f};
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(z.bands[j], (Band{hz[j], 0.0f, 2.0f, false, BandKind::Peak}));
    EXPECT_TRUE(z.peq);
    EXPECT_FALSE(z.air.on);
    EXPECT_EQ(z.air.strength_pct, 100.0f);
    EXPECT_FALSE(z.air.distance_m);
    EXPECT_EQ(z.air.band, (Band{8000.0f, 0.0f, 0.7f, false, BandKind::Peak}));
    EXPECT_TRUE(s().unsaved.peek());
}

TEST_F(Zones, FromPositionsWithOnlyUntickedTracesStillCreatesTheSource) {
    s().sources.set({"Main"});
    s().traces.set({ticked("Main", "A", false)});
    add_zones_from_positions(s());
    ASSERT_EQ(s().design.peek().sources.size(), 1u);
    EXPECT_TRUE(main().zones.empty());
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_EQ(autosaves.size(), 1u);
}

TEST_F(Zones, RemovingZoneZeroOfThreeClearsThePick) {
    with_zones({new_zone("A"), new_zone("B"), new_zone("C")});
    s().picked_zone.set(2);
    remove_zone(s(), 0);
    EXPECT_FALSE(s().picked_zone.peek());
    ASSERT_EQ(main().zones.size(), 2u);
    EXPECT_EQ(main().zones[0].position, "B");
    EXPECT_EQ(main().zones[1].position, "C");
    // With no source the pick is still cleared.
    s().sources.set({});
    s().picked_zone.set(0);
    remove_zone(s(), 0);
    EXPECT_FALSE(s().picked_zone.peek());
}

TEST_F(Zones, Clamps) {
    with_zones({new_zone("A")});
    set_zone_air_strength(s(), 0, 150);
    EXPECT_EQ(main().zones[0].air.strength_pct, 100.0f);
    set_zone_air_strength(s(), 0, -3);
    EXPECT_EQ(main().zones[0].air.strength_pct, 0.0f);
    set_zone_throw(s(), 0, -5);
    EXPECT_EQ(main().zones[0].air.distance_m, 0.0f);
    set_zone_throw(s(), 0, 2000);
    EXPECT_EQ(main().zones[0].air.distance_m, 1000.0f);
    reset_zone_throw(s(), 0);
    EXPECT_FALSE(main().zones[0].air.distance_m);
    set_split_hz(s(), 10);
    EXPECT_EQ(main().split_hz, 40.0f);
    set_split_hz(s(), 20000);
    EXPECT_EQ(main().split_hz, 16000.0f);
    set_air_temperature(s(), 80);
    EXPECT_EQ(s().settings.peek().temperature_c, 50.0f);
    set_air_temperature(s(), -40);
    EXPECT_EQ(s().settings.peek().temperature_c, -30.0f);
    set_air_humidity(s(), 120);
    EXPECT_EQ(s().settings.peek().humidity_pct, 100.0f);
    set_air_humidity(s(), -1);
    EXPECT_EQ(s().settings.peek().humidity_pct, 0.0f);
    // An index past the list changes nothing but is still an edit.
    const auto saves = autosaves.size();
    toggle_zone_air(s(), 5);
    EXPECT_EQ(autosaves.size(), saves + 1);
    EXPECT_FALSE(main().zones[0].air.on);
    set_zone_position(s(), 0, {"B", "B"});
    EXPECT_EQ(main().zones[0].position, "B");
}

TEST_F(Zones, Throw) {
    Settings st;
    st.temperature_c = 20.0f;
    st.latency_ms = 2.0f;
    Zone z = new_zone("A");
    // 4800 samples at 48 kHz = 100 ms, less 2 ms latency.
    EXPECT_NEAR(measured_throw(z, "Main", {ticked("Main", "A", false, 10), ticked("Main", "A", true, 4800)}, st),
                (331.3f + 12.12f) / 1000.0f * 98.0f, 1e-4f);
    EXPECT_EQ(measured_throw(z, "Main", {ticked("Main", "B", true, 4800)}, st), 0.0f);
    EXPECT_EQ(measured_throw(z, "Main", {ticked("Main", "A", true, 48)}, st), 0.0f);  // shorter than the latency
    z.air.distance_m = 1234.0f;
    EXPECT_EQ(measured_throw(z, "Main", {}, st), 1234.0f);
}

TEST(ZoneTexts, AirBand) {
    const Band pk{8000.0f, 3.3f, 0.7f, true, BandKind::Peak};
    EXPECT_EQ(air_band_text(pk, QConv::Rbj), "PK 8000 Hz +3.3 dB Q 0.70");
    EXPECT_EQ(air_band_text(pk, QConv::Galileo), "PK 8000 Hz +3.3 dB B/W 1.43");
    EXPECT_EQ(air_band_text(pk, QConv::Wing), "PK 8000 Hz +3.3 dB Q 0.88");
    EXPECT_EQ(air_band_text(Band{9000.0f, 4.0f, 0.70710677f, true, BandKind::HighShelf}, QConv::Rbj),
              "HS 9000 Hz +4.0 dB Q 0.71");
    EXPECT_EQ(air_band_text(Band{9000.0f, 4.0f, 0.70710677f, true, BandKind::HighShelf}, QConv::Galileo),
              "HS 9000 Hz +4.0 dB B/W 1.41");
    EXPECT_EQ(air_band_text(engine::air::neutral_band(), QConv::Rbj), "under 1 dB, no band");
}

TEST_F(Zones, AirCompensationFitsWritesOnceAndLeavesTheProjectSaved) {
    Zone far = new_zone("A"), off = new_zone("B");
    far.air.on = true;
    far.air.distance_m = 40.0f;
    off.air.distance_m = 40.0f;
    with_zones({far, off});
    AirCache cache;
    EXPECT_EQ(compensate_air(s(), cache), 1u);
    const Band first = main().zones[0].air.band;
    EXPECT_TRUE(first.on);
    EXPECT_EQ(main().zones[1].air.band, engine::air::neutral_band());  // air off: untouched
    // A second run finds everything in the cache.
    EXPECT_EQ(compensate_air(s(), cache), 0u);
    EXPECT_FALSE(s().unsaved.peek());
    EXPECT_TRUE(autosaves.empty());
}

reactive::Element air_effect() {
    zone_air_compensation(use_window_state());
    return reactive::Element();
}

TEST_F(Zones, AWeatherChangeRefitsWithoutMarkingTheProject) {
    Zone far = new_zone("A");
    far.air.on = true;
    far.air.distance_m = 40.0f;
    with_zones({far});
    mount(reactive::component(air_effect, "air_effect"));
    const Band at20 = main().zones[0].air.band;
    EXPECT_TRUE(at20.on);
    set_air_humidity(s(), 10);
    flush();
    EXPECT_NE(main().zones[0].air.band, at20);
    EXPECT_FALSE(s().unsaved.peek());
    EXPECT_TRUE(autosaves.empty());
    // A strength edit refits that zone; the unsaved mark comes from the edit.
    const Band before = main().zones[0].air.band;
    set_zone_air_strength(s(), 0, 50);
    flush();
    EXPECT_NE(main().zones[0].air.band, before);
    EXPECT_TRUE(s().unsaved.peek());
}

TEST_F(Zones, CardRows) {
    s().sources.set({"Main"});
    s().traces.set({ticked("Main", "A")});
    mount(reactive::component(zones_card, "zones_card"));
    EXPECT_EQ(html().find("Split Hz"), std::string::npos);
    click(button("From positions"));
    EXPECT_NE(html().find("Split Hz"), std::string::npos);
    EXPECT_NE(html().find("Air %RH"), std::string::npos);
    EXPECT_EQ(html().find("Air band"), std::string::npos);
    click(button("Air"));
    EXPECT_TRUE(main().zones[0].air.on);
    EXPECT_NE(html().find("under 1 dB, no band"), std::string::npos) << html();
    // The zone's rows first, then what every zone shares.
    {
        const std::string shown = html();
        std::size_t at = 0;
        for (const char* label : {"Air %<", "Throw m<", "Air band<", "Split Hz<", "Air °C<", "Air %RH<"}) {
            const std::size_t next = shown.find(label, at);
            ASSERT_NE(next, std::string::npos) << label << "\n" << shown;
            at = next;
        }
    }
    click(icon_button(shared_ui::icons::DELETE));
    EXPECT_TRUE(main().zones.empty());
    EXPECT_EQ(html().find("Split Hz"), std::string::npos);
}

}  // namespace
}  // namespace ui::main_window
