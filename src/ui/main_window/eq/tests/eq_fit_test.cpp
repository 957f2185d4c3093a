#include <gtest/gtest.h>

#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/eq/eq_fit.h"
#include "ui/main_window/eq/eq_tab.h"
#include "ui/main_window/eq/zones.h"
#include "ui/main_window/tests/eq_page.h"

namespace ui::main_window {
namespace {

using engine::design::FilterKind;
using engine::eqfit::Band;
using engine::eqfit::BandKind;

// A measurement at `position` with a peak of `db` at 1 kHz (confidence `conf`).
Trace peaked(std::string position, float db = 8.0f, float conf = 1.0f, std::string source = "Main") {
    const Band peak{1000.0f, db, 2.0f, true, BandKind::Peak};
    std::vector<engine::tf::Triple> bins;
    for (float f : engine::tf::point_freq()) {
        const auto v = peak.response(f);
        bins.push_back({v.real(), v.imag(), conf});
    }
    Trace t = Trace::make("m", 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    return t;
}

// n bands spread over the range, off.
std::vector<Band> fresh(std::size_t n) {
    std::vector<Band> b;
    engine::eqfit::resize_bands(b, n);
    return b;
}

class Fit : public testing::EqWindow {
protected:
    void SetUp() override {
        EqWindow::SetUp();
        s().sources.set({"Main"});
        s().position.set("A");
        s().design.set(engine::design::Design{{Source::make("Main")}});
    }
    Source& edit() {
        auto w = s().design.write();
        return w->sources[0];
    }
    void set_source(const std::function<void(Source&)>& f) {
        s().design.update([&](engine::design::Design& d) { f(d.sources[0]); });
    }
    const Source& main() { return s().design.peek().sources.at(0); }
};

TEST_F(Fit, TraceFilterTakesTheFirstTickedTracePerPosition) {
    auto a1 = peaked("A"), a2 = peaked("A"), b = peaked("B"), other = peaked("B", 8, 1, "Sub");
    a1.used = false;
    const std::vector<Trace> traces{a1, other, b, a2};
    EXPECT_EQ(fit_trace_filter(traces, {"A", "B"}, "Main", std::nullopt), (std::vector<std::size_t>{3, 2}));
    EXPECT_EQ(fit_trace_filter(traces, {"A", "B"}, "Main", std::string("B")), (std::vector<std::size_t>{2}));
}

TEST_F(Fit, RangeMessages) {
    EXPECT_FALSE(s().unsaved.peek());
    fit_eq(s());
    EXPECT_EQ(s().notice.peek(), "No trace of Main to fit");

    // Nothing confident: the message names the range.
    s().traces.set({peaked("A", 8.0f, 0.0f)});
    struct Case {
        bool hp_on;
        float hp, lp;
        bool lp_on;
        const char* text;
    };
    const Case cases[] = {
        {true, 80.0f, 0, false, "Nothing confident to fit between 80 and 16000 Hz; check the crossover"},
        {true, 20.0f, 0, false, "Nothing confident to fit between 40 and 16000 Hz; check the crossover"},
        {true, 80.6f, 0, false, "Nothing confident to fit between 81 and 16000 Hz; check the crossover"},
        {false, 0, 12000.0f, true, "Nothing confident to fit between 40 and 12000 Hz; check the crossover"},
    };
    for (const auto& c : cases) {
        set_source([&](Source& x) {
            x.hp = {c.hp_on, FilterKind::LinkwitzRiley, 24, c.hp};
            x.lp = {c.lp_on, FilterKind::LinkwitzRiley, 24, c.lp};
        });
        const auto before = s().design.peek();
        fit_eq(s());
        EXPECT_EQ(s().notice.peek(), c.text);
        EXPECT_EQ(s().design.peek(), before);
    }
}

TEST_F(Fit, AZoneWithoutATraceHasNothingToFit) {
    s().traces.set({peaked("A")});
    set_source([](Source& x) { x.zones = {new_zone("A"), new_zone("B")}; });
    s().picked_zone.set(1);
    fit_eq(s());
    EXPECT_EQ(s().notice.peek(), "No trace of Main to fit");
}

TEST_F(Fit, HighPassAboveLowPassChangesNothing) {
    s().traces.set({peaked("A")});
    set_source([](Source& x) {
        x.hp = {true, FilterKind::LinkwitzRiley, 24, 5000.0f};
        x.lp = {true, FilterKind::LinkwitzRiley, 24, 1000.0f};
        x.zones = {new_zone("A")};
    });
    for (std::optional<std::size_t> zone : {std::optional<std::size_t>(), std::optional<std::size_t>(0)}) {
        s().picked_zone.set(zone);
        const auto before = s().design.peek();
        fit_eq(s());
        EXPECT_EQ(s().notice.peek(), "Nothing confident to fit between 5000 and 1000 Hz; check the crossover");
        EXPECT_EQ(s().design.peek(), before);
    }
    // A high-pass above 16 kHz as well.
    set_source([](Source& x) {
        x.lp.on = false;
        x.hp.hz = 18000.0f;
    });
    s().picked_zone.set(0);
    fit_eq(s());
    EXPECT_EQ(s().notice.peek(), "Nothing confident to fit between 18000 and 16000 Hz; check the crossover");
}

TEST_F(Fit, AFitWritesTheBandsAndShowsPredicted) {
    s().traces.set({peaked("A"), peaked("B", 6.0f)});
    set_source([](Source& x) { x.bands = fresh(8); });
    fit_eq(s());
    const auto& notice = s().notice.peek();
    ASSERT_TRUE(notice.starts_with("EQ fit for Main: ")) << notice;
    EXPECT_NE(notice.find(" dB rms down to "), std::string::npos);
    // Eight bands stay eight, whatever number the fit returned.
    ASSERT_EQ(main().bands.size(), 8u);
    EXPECT_TRUE(main().peq);
    const auto cut = std::find_if(main().bands.begin(), main().bands.end(), [](const Band& b) {
        return b.on && b.gain_db < -3.0f && b.hz > 700.0f && b.hz < 1400.0f;
    });
    EXPECT_NE(cut, main().bands.end()) << "a cut near the 1 kHz peak";
    EXPECT_EQ(s().fit_curve.peek().first, "Main");
    EXPECT_TRUE(s().show_predicted.peek());
    EXPECT_TRUE(s().unsaved.peek());
}

TEST_F(Fit, FewerFittedBandsAreFilledUp) {
    // A gentle peak needs few bands: the result is shorter than the list.
    s().traces.set({peaked("A", 3.0f)});
    set_source([](Source& x) {
        x.bands = fresh(8);
        x.bands[7].on = true;  // replaced by the fit
    });
    fit_eq(s());
    ASSERT_TRUE(s().notice.peek().starts_with("EQ fit for Main")) << s().notice.peek();
    ASSERT_EQ(main().bands.size(), 8u);
    const auto on = std::count_if(main().bands.begin(), main().bands.end(), [](const Band& b) { return b.on; });
    EXPECT_LT(on, 8);
}

TEST_F(Fit, BandsOffFitsTheShapingOnly) {
    s().traces.set({peaked("A")});
    s().fit_what.set({true, true, false});
    set_source([](Source& x) {
        x.shaping.on = true;
        x.peq = false;
        x.bands = {Band{300.0f, 2.0f, 1.0f, true, BandKind::Peak}};
    });
    const auto bands = main().bands;
    fit_eq(s());
    ASSERT_TRUE(s().notice.peek().starts_with("EQ fit for Main")) << s().notice.peek();
    EXPECT_EQ(main().bands, bands);
    EXPECT_FALSE(main().peq);
}

TEST_F(Fit, AZoneFitPlacesTheZonesBandsOnly) {
    s().traces.set({peaked("A")});
    set_source([](Source& x) {
        x.zones = {new_zone("A")};
        x.split_hz = 400.0f;
    });
    s().picked_zone.set(0);
    s().fit_what.set({true, false, false});  // a zone fit ignores the Move row
    const auto own = main();
    fit_eq(s());
    ASSERT_TRUE(s().notice.peek().starts_with("EQ fit for Main")) << s().notice.peek();
    EXPECT_EQ(main().bands, own.bands);
    EXPECT_EQ(main().shaping, own.shaping);
    EXPECT_EQ(main().zones[0].bands.size(), 3u);
    EXPECT_TRUE(std::any_of(main().zones[0].bands.begin(), main().zones[0].bands.end(),
                            [](const Band& b) { return b.on && b.hz >= 400.0f; }));
}

TEST_F(Fit, EnablingAndSmallControls) {
    s().fit_what.set({true, false, false});
    EXPECT_FALSE(fit_enabled(s()));  // only gains, shaping off
    set_source([](Source& x) { x.shaping.on = true; });
    EXPECT_TRUE(fit_enabled(s()));
    set_source([](Source& x) {
        x.shaping.on = false;
        x.zones = {new_zone("A")};
    });
    s().picked_zone.set(0);
    EXPECT_TRUE(fit_enabled(s()));
    s().sources.set({});
    EXPECT_FALSE(fit_enabled(s()));

    step_max_boost(s(), -1);
    EXPECT_EQ(s().max_boost.peek(), 0.0f);
    step_max_boost(s(), 13);
    EXPECT_EQ(s().max_boost.peek(), 12.0f);
    s().sources.set({"Main"});
    s().picked_zone.set(std::nullopt);
    slide_reflect_trust(s(), 1.5);
    EXPECT_EQ(main().reflect_trust, 1.0f);
    toggle_fit_bands(s());
    EXPECT_TRUE(s().fit_what.peek().bands);

    set_source([](Source& x) {
        x.bands = {Band{300.0f, 2.0f, 1.0f, true, BandKind::Peak}, Band{3000.0f, 2.0f, 1.0f, true, BandKind::Peak}};
        x.shaping.on = true;
        x.shaping.gain_db = {1, 2, 3, 4, 5};
    });
    reset_eq_and_shaping(s());
    EXPECT_EQ(main().bands, fresh(2));
    auto flat = engine::eqfit::Shaping::defaults(engine::eqfit::ShapingModel::Galileo);
    flat.on = true;
    EXPECT_EQ(main().shaping, flat);
}

}  // namespace
}  // namespace ui::main_window

namespace ui::main_window {
namespace {

using EqTab = testing::EqWindow;

TEST_F(EqTab, CardsInOrderAndTheFitCard) {
    s().sources.set({"Main"});
    mount(reactive::component(eq_tab, "eq_tab"));
    const auto page = html();
    const auto fit = page.find(">Fit<"), zones = page.find(">Zones<"), exp = page.find(">Export<");
    ASSERT_NE(fit, std::string::npos);
    EXPECT_LT(fit, zones);
    EXPECT_LT(zones, exp);
    // The Fit card's rows in order; the Reflections row holds the slider,
    // then its switch.
    const auto move = page.find(">Move<"), boost = page.find(">Boost dB<"), refl = page.find(">Reflections<");
    EXPECT_LT(fit, move);
    EXPECT_LT(move, boost);
    EXPECT_LT(boost, refl);
    const auto slider = page.find("slider-touch", refl), shown_switch = page.find("<button", refl);
    ASSERT_NE(slider, std::string::npos) << page;
    ASSERT_NE(shown_switch, std::string::npos);
    EXPECT_LT(slider, shown_switch);
    EXPECT_LT(shown_switch, zones);
    // Fit with only the gains to move and the shaping off has nothing to move.
    const auto fit_button = [&] {
        return find([&](const reactive::dom::Node& n) {
            return n.tag == "button" && holds_text(n, "Fit") && !holds_text(n, "Reset");
        });
    };
    ASSERT_TRUE(fit_button());
    EXPECT_EQ(fit_button()->attrs.count("disabled"), 0u);
    click(button("PEQ"));
    click(button("Knees"));
    EXPECT_EQ(s().fit_what.peek(), (engine::eqfit::FitWhat{true, false, false}));
    EXPECT_EQ(fit_button()->attrs.count("disabled"), 1u);
    click(button("Reset"));
    EXPECT_EQ(s().design.peek().sources.at(0).bands, fresh(6));
}

}  // namespace
}  // namespace ui::main_window
