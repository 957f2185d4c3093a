// The strip card and its filter rows headless: the option lists, key
// parsing, Reset field by field, and every control writing the design.
#include <gtest/gtest.h>

#include "ui/main_window/core/design_edit.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/frame/strip_card.h"
#include "ui/main_window/tests/panel_fixture.h"

namespace ui::main_window {
namespace {

using testing::has_class;
using testing::text_of;

using engine::design::Filter;
using engine::design::FilterKind;
using shared_ui::components::dropdown::Choice;

std::vector<std::string>* ALIGNED = nullptr;
int* EDITS = nullptr;

// One strip card per source name, as the Align tab places them.
reactive::Element cards() {
    const WindowState s = use_window_state();
    auto onedit = reactive::use_callback<>([s] {
        ++*EDITS;
        mark_unsaved(s);
    });
    auto onalign = reactive::use_callback<std::string>([](std::string n) { ALIGNED->push_back(std::move(n)); });
    std::vector<reactive::Element> out;
    for (const auto& n : s.sources())
        out.push_back(reactive::component(strip_card,
                                          StripCardProps{.name = n,
                                                         .source = source_or_new(s, n),
                                                         .can_align = s.sources().size() >= 2,
                                                         .design = s.design,
                                                         .onedit = onedit,
                                                         .onalign = onalign},
                                          "strip_card"));
    return reactive::div()(std::move(out));
}

class StripCard : public testing::Panel {
protected:
    void SetUp() override {
        Panel::SetUp();
        ALIGNED = &aligned;
        EDITS = &edits;
    }
    const engine::design::Source& src(std::size_t i = 0) { return s().design.peek().sources.at(i); }
    const testing::Node* card(std::size_t i = 0) { return by_class("vt-card").at(i); }
    const testing::Node* xover(std::size_t card_index, std::size_t i) { return by_class("xover", card(card_index)).at(i); }

    std::vector<std::string> aligned;
    int edits = 0;
};

TEST(FilterOptions, KeysAndLabels) {
    const std::vector<Choice> high = {
        {"LR 12", "LR 12  180°"}, {"LR 24", "LR 24  360°"}, {"LR 36", "LR 36  540°"}, {"LR 48", "LR 48  720°"},
        {"BW 6", "BW 6  90°"},    {"BW 12", "BW 12  180°"}, {"BW 18", "BW 18  270°"}, {"BW 24", "BW 24  360°"},
        {"BW 30", "BW 30  450°"}, {"BW 36", "BW 36  540°"}, {"BW 42", "BW 42  630°"}, {"BW 48", "BW 48  720°"},
        {"2nd 12", "Galileo 2nd  180°"}, {"ell 24", "Galileo ell  120°"},
    };
    std::vector<Choice> low(high.begin(), high.begin() + 12);
    low.push_back({"lp 24", "Galileo lp  150°"});
    EXPECT_EQ(filter_options(false), high);
    EXPECT_EQ(filter_options(true), low);
}

TEST(FilterOptions, KeyCaptionAndParsing) {
    struct Shown {
        FilterKind kind;
        std::uint8_t slope;
        const char* key;
        const char* caption;
    };
    const Shown shown[] = {{FilterKind::LinkwitzRiley, 24, "LR 24", "LR 24"},
                           {FilterKind::Butterworth, 12, "BW 12", "BW 12"},
                           {FilterKind::GalileoHp, 12, "2nd 12", "2nd"},
                           {FilterKind::GalileoLp, 24, "lp 24", "lp"},
                           {FilterKind::GalileoElliptic, 24, "ell 24", "ell"},
                           {FilterKind::LinkwitzRiley, 18, "LR 18", "LR 18"}};
    for (const auto& c : shown) {
        const Filter f{.kind = c.kind, .slope_db = c.slope};
        EXPECT_EQ(filter_key(f), c.key);
        EXPECT_EQ(filter_caption(f), c.caption);
    }

    struct Parse {
        const char* key;
        FilterKind kind;
        std::uint8_t slope;
    };
    // From a GalileoHp filter at 12 dB/oct.
    const Parse parses[] = {
        {"BW 6", FilterKind::Butterworth, 6},      {"LR 48", FilterKind::LinkwitzRiley, 48},
        {"lp 24", FilterKind::GalileoLp, 24},      {"ell 24", FilterKind::GalileoElliptic, 24},
        {"2nd 12", FilterKind::GalileoHp, 12},     {"LR +18", FilterKind::LinkwitzRiley, 18},
        {"LR 255", FilterKind::LinkwitzRiley, 255}, {"LR 256", FilterKind::LinkwitzRiley, 24},
        {"LR ", FilterKind::LinkwitzRiley, 24},    {"LR +", FilterKind::LinkwitzRiley, 24},
        {"LR -6", FilterKind::LinkwitzRiley, 24},  {"LR 1a", FilterKind::LinkwitzRiley, 24},
        {"lr 12", FilterKind::GalileoHp, 12},      {"XX 36", FilterKind::GalileoHp, 36},
        {"Galileo lp 6", FilterKind::GalileoHp, 6}, {"BW  6", FilterKind::GalileoHp, 6},
        {"LR", FilterKind::GalileoHp, 12},         {"", FilterKind::GalileoHp, 12},
    };
    for (const auto& c : parses) {
        Filter f{.on = true, .kind = FilterKind::GalileoHp, .slope_db = 12, .hz = 85.0f};
        apply_filter_key(f, c.key);
        EXPECT_EQ(f.kind, c.kind) << '"' << c.key << '"';
        EXPECT_EQ(f.slope_db, c.slope) << '"' << c.key << '"';
        EXPECT_TRUE(f.on);
        EXPECT_EQ(f.hz, 85.0f);
    }
}

TEST_F(StripCard, ResetFieldByField) {
    s().sources.set({"Main", "Sub"});
    engine::design::Source before = engine::design::Source::make("Main");
    before.gain_db = 3.5f;
    before.delay_ms = 12.0f;
    before.invert = true;
    before.hp = Filter{.on = true, .kind = FilterKind::Butterworth, .slope_db = 12, .hz = 80.0f};
    before.lp = Filter{.on = true, .kind = FilterKind::GalileoLp, .slope_db = 24, .hz = 900.0f};
    before.bands[2] = engine::eqfit::Band{300.0f, -4.0f, 3.0f, true, engine::eqfit::BandKind::Peak};
    before.zones.push_back(engine::design::Zone{.position = "Row 5"});
    before.shaping.on = true;
    before.shaping.gain_db[1] = 2.0f;
    before.q_as = engine::design::QConv::Wing;
    before.shelves = false;
    before.peq = false;
    before.split_hz = 700.0f;
    before.routes.push_back(engine::design::Route{.zone = "Row 5"});
    before.reflect_trust = 0.5f;
    before.reflect_shown = false;
    s().design.set(engine::design::Design{{before}});
    mount(cards);

    click(button_labelled("Reset", card(0)));
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(autosaves.size(), 1u);
    const auto& after = src();
    EXPECT_EQ(after.gain_db, 0.0f);
    EXPECT_EQ(after.delay_ms, 0.0f);
    EXPECT_FALSE(after.invert);
    for (const Filter& f : {after.hp, after.lp}) {
        EXPECT_FALSE(f.on);
        EXPECT_EQ(f.kind, FilterKind::LinkwitzRiley);
        EXPECT_EQ(f.slope_db, 24);
        EXPECT_EQ(f.hz, 100.0f);
    }
    // Everything else is as it was.
    auto kept = after;
    kept.gain_db = before.gain_db;
    kept.delay_ms = before.delay_ms;
    kept.invert = before.invert;
    kept.hp = before.hp;
    kept.lp = before.lp;
    EXPECT_EQ(kept, before);
    EXPECT_NE(text_of(*card(0)).find("Normal"), std::string::npos);
}

TEST_F(StripCard, StepperAndPolarityEdits) {
    s().sources.set({"Main", "Sub"});
    mount(cards);
    EXPECT_EQ(text_of(*first("name", card(1))), "Sub");
    // The first edit of "Sub" appends its strip.
    type(row("Gain dB", card(1)), "-40");
    ASSERT_EQ(s().design.peek().sources.size(), 1u);
    EXPECT_EQ(src().name, "Sub");
    EXPECT_EQ(src().gain_db, -40.0f);
    type(row("Gain dB", card(1)), "200");
    EXPECT_EQ(src().gain_db, 200.0f);
    type(row("Gain dB", card(1)), "1e300");  // not a 32-bit number: ignored
    EXPECT_EQ(src().gain_db, 200.0f);

    const auto* delay = row("Delay ms", card(1));
    type(delay, "-3");
    EXPECT_EQ(src().delay_ms, 0.0f);
    plus(row("Delay ms", card(1)));
    EXPECT_EQ(src().delay_ms, 0.1f);
    type(row("Delay ms", card(1)), "0.05");
    minus(row("Delay ms", card(1)));
    EXPECT_EQ(src().delay_ms, 0.0f);
    type(row("Delay ms", card(1)), "12.34");
    EXPECT_EQ(src().delay_ms, 12.34f);
    EXPECT_EQ(std::get<std::string>(stepper_field(row("Delay ms", card(1)))->props.at("value")), "0");  // set at creation
    plus(row("Gain dB", card(1)));  // the stepper's value is the stored one
    EXPECT_EQ(src().gain_db, 200.5f);

    const auto* polarity = row("Polarity", card(1));
    EXPECT_EQ(text_of(*polarity), "PolarityNormal");
    EXPECT_FALSE(has_class(*button_labelled("Normal", polarity), "toggled"));
    click(button_labelled("Normal", polarity));
    EXPECT_TRUE(src().invert);
    polarity = row("Polarity", card(1));
    EXPECT_TRUE(has_class(*button_labelled("Inverted", polarity), "toggled"));
    // Nine edits, each once.
    EXPECT_EQ(edits, 9);
    EXPECT_EQ(autosaves.size(), 9u);
}

TEST_F(StripCard, AlignButton) {
    s().sources.set({"Main"});
    mount(cards);
    EXPECT_EQ(attr(button_labelled("Align", card(0)), "disabled"), "");
    s().sources.set({"Main", "Sub"});
    show();
    EXPECT_EQ(attr(button_labelled("Align", card(1)), "disabled"), "<absent>");
    click(button_labelled("Align", card(1)));
    EXPECT_EQ(aligned, (std::vector<std::string>{"Sub"}));
    EXPECT_EQ(edits, 0);
    EXPECT_TRUE(s().design.peek().sources.empty());
}

TEST_F(StripCard, FilterRows) {
    s().sources.set({"Main", "Sub"});
    mount(cards);
    const auto* hp = xover(0, 0);
    EXPECT_EQ(text_of(*hp), "HPLR 24Hz");  // off: the frequency field is empty
    EXPECT_EQ(attr(stepper_field(hp), "disabled"), "");
    EXPECT_EQ(open(hp).size(), 14u);
    s().open_dropdown.set(std::nullopt);
    EXPECT_EQ(open(xover(0, 1)), filter_options(true));
    EXPECT_EQ(s().open_dropdown.peek()->value, "LR 24");
    s().open_dropdown.set(std::nullopt);
    show();

    // The LP row of a source without a strip: a default strip, low-pass on.
    click(button_labelled("LP", xover(1, 1)));
    ASSERT_EQ(s().design.peek().sources.size(), 1u);
    EXPECT_EQ(src().name, "Sub");
    EXPECT_EQ(src().lp, (Filter{.on = true, .kind = FilterKind::LinkwitzRiley, .slope_db = 24, .hz = 100.0f}));
    EXPECT_FALSE(src().hp.on);
    EXPECT_TRUE(has_class(*button_labelled("LP", xover(1, 1)), "toggled"));
    EXPECT_EQ(attr(stepper_field(xover(1, 1)), "disabled"), "<absent>");

    // Frequency: at least 10 Hz, no upper bound.
    type(xover(1, 1), "5");
    EXPECT_EQ(src().lp.hz, 10.0f);
    type(xover(1, 1), "15");
    minus(xover(1, 1));
    EXPECT_EQ(src().lp.hz, 10.0f);
    type(xover(1, 1), "30000");
    EXPECT_EQ(src().lp.hz, 30000.0f);

    // A choice sets kind and slope, never on or hz.
    choose(xover(1, 1), "BW 6");
    EXPECT_EQ(src().lp, (Filter{.on = true, .kind = FilterKind::Butterworth, .slope_db = 6, .hz = 30000.0f}));
    choose(xover(1, 1), "lp 24");
    EXPECT_EQ(src().lp.kind, FilterKind::GalileoLp);
    EXPECT_EQ(text_of(*first("dropdown-container", xover(1, 1))).substr(0, 2), "lp");
    choose(xover(1, 0), "2nd 12");
    EXPECT_EQ(src().hp.kind, FilterKind::GalileoHp);
    EXPECT_FALSE(src().hp.on);
    EXPECT_EQ(edits, 8);
    EXPECT_TRUE(s().unsaved.peek());
}

}  // namespace
}  // namespace ui::main_window
