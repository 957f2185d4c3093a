// The stepper's display and parse table and its commits; the slider's grab
// distances, fill and ceiling.
#include <cmath>

#include <gtest/gtest.h>

#include "kit_page.h"
#include "shared-ui/components/slider.h"
#include "shared-ui/components/stepper.h"
#include "shared-ui/markup.h"

namespace shared_ui::components {
namespace {

using namespace reactive;
using testing::KitPage;

TEST(Stepper, DisplayText) {
    struct Case {
        double v;
        std::size_t decimals;
        const char* text;
    };
    const Case cases[] = {
        {2.50, 2, "2.5"}, {3.0, 1, "3"},     {12.7, 0, "13"},  {-0.04, 1, "0"}, {100, 0, "100"},  {1.25, 2, "1.25"},
        {0, 1, "0"},      {-0.0, 1, "0"},    {7.0, 3, "7"},    {2.5, 0, "2"},   {3.5, 0, "4"},    {-1.5, 1, "-1.5"},
        {0.125, 2, "0.12"}, {1e21, 0, "1000000000000000000000"}, {-2.0, 2, "-2"},
    };
    for (const Case& c : cases) EXPECT_EQ(stepper::display_text(c.v, c.decimals, false), c.text) << c.v;
    EXPECT_EQ(stepper::display_text(5, 1, true), "");
}

TEST(Stepper, ParseTable) {
    struct Case {
        const char* text;
        std::optional<double> v;
    };
    const Case cases[] = {
        {"12.5", 12.5}, {"-3", -3.0},          {"+4", 4.0},          {"1e3", 1000.0},  {"2.5E-1", 0.25},
        {".5", 0.5},    {"5.", 5.0},           {"0", 0.0},           {"", {}},         {" 1", {}},
        {"1 ", {}},     {"inf", {}},           {"-inf", {}},         {"nan", {}},      {"NaN", {}},
        {"Infinity", {}}, {"0x10", {}},        {"1e400", {}},        {"1e", {}},       {"abc", {}},
        {"1,5", {}},    {"+-1", {}},           {".", {}},            {"-", {}},        {"1e+", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_decimal(c.text), c.v) << '"' << c.text << '"';
}

TEST(Markup, NumbersAndScriptLiterals) {
    EXPECT_EQ(num_text(5.0f), "5");
    EXPECT_EQ(num_text(12.5f), "12.5");
    EXPECT_EQ(num_text(-3.25f), "-3.25");
    EXPECT_EQ(num_text(0.1f), "0.1");
    EXPECT_EQ(js_string("a\"b\\c\nd é"), "\"a\\\"b\\\\c\\nd é\"");
    EXPECT_EQ(js_string("\xff"), "\"\"");
}

struct Got {
    std::vector<double> values;
};

TEST(Stepper, ButtonsTypingAndFocusLoss) {
    KitPage pg;
    static Got got;
    got = {};
    static Callback<double> onchange([](double v) { got.values.push_back(v); });
    static Signal<bool> disabled(false);
    disabled = Signal<bool>(false);
    auto first = stepper::NEXT_ID.load();
    pg.mount(component(+[] {
        return div()(component(stepper::default_stepper, stepper::StepperProps{.value = 1.25,
                                                                                 .step = 0.25,
                                                                                 .disabled = disabled(),
                                                                                 .onchange = onchange,
                                                                                 .decimals = 2}),
                     component(stepper::default_stepper, stepper::StepperProps{.value = 7, .step = 5}));
    }));
    const auto* field = pg.by_tag("input");
    EXPECT_EQ(pg.attr(field, "id"), fmt::format("stepper-input-{}", first));
    EXPECT_NE(pg.doc.html().find(fmt::format("stepper-input-{}", first + 1)), std::string::npos);
    EXPECT_EQ(std::get<std::string>(field->props.at("value")), "1.25");
    EXPECT_EQ(pg.attr(field, "step"), "0.25");
    EXPECT_EQ(pg.attr(field, "type"), "number");
    EXPECT_EQ(pg.attr(field, "class"), "stepper");
    EXPECT_EQ(pg.attr(pg.by_class("stepper-wrapper"), "class"), "horizontal stepper-wrapper ");
    // The page effect wrote the text once, for a field not being typed in.
    auto writes = pg.scripts_with("el !== document.activeElement");
    ASSERT_GE(writes.size(), 1u);
    EXPECT_EQ(writes[0]->text, fmt::format("{{ const el = document.getElementById(\"stepper-input-{}\"); if (el && el "
                                           "!== document.activeElement && el.value !== \"1.25\") el.value = \"1.25\"; }}",
                                           first));

    pg.fire(pg.by_class("stepper-button-right")->children[0], "click");
    pg.fire(pg.by_class("stepper-button-left")->children[0], "click");
    pg.fire(field, "change", Json{{"value", "12.5"}});
    pg.fire(field, "change", Json{{"value", "inf"}});
    pg.fire(field, "change", Json{{"value", ""}});
    EXPECT_EQ(got.values, (std::vector<double>{1.5, 1.0, 12.5}));
    pg.fire(field, "focusout");
    EXPECT_EQ(pg.page.scripts.back().text,
              fmt::format("{{ const el = document.getElementById(\"stepper-input-{}\"); if (el) el.value = \"1.25\"; }}",
                          first));

    disabled.set(true);
    pg.settle();
    field = pg.by_tag("input");
    EXPECT_EQ(pg.attr(pg.by_class("stepper-wrapper"), "class"), "horizontal stepper-wrapper disabled");
    EXPECT_EQ(pg.attr(field, "disabled"), "");
    EXPECT_EQ(std::get<std::string>(field->props.at("value")), "1.25");  // set once, at creation
    EXPECT_NE(pg.page.scripts.back().text.find("el.value = \"\";"), std::string::npos);  // the page effect empties it
    pg.fire(pg.by_class("stepper-button-right")->children[0], "click");
    EXPECT_EQ(got.values.size(), 3u);
}

TEST(Slider, GrabDistancesAndFill) {
    using namespace slider;
    EXPECT_EQ(cap({.max = 1, .limit = 0.5}), 0.5);
    EXPECT_EQ(cap({.max = 1, .limit = 2}), 1);
    EXPECT_EQ(cap({.max = 1, .limit = std::nan("")}), 1);
    EXPECT_EQ(cap({.max = 1}), 1);
    EXPECT_EQ(fill_percent(0.25, 1, 0, 1), 25);
    EXPECT_EQ(fill_percent(1, 0.5, 0, 1), 50);
    EXPECT_EQ(fill_percent(-0.5, 1, 0, 1), -50);
    EXPECT_EQ(fill_percent(std::nan(""), 1, 0, 1), 100);  // the NaN is ignored
    // Track 222 wide at fill 50: thumb centre at 111.
    EXPECT_EQ(thumb_center(222, 50), 111);
    EXPECT_TRUE(pointer_grabs(111 + 14, 222, 50));
    EXPECT_TRUE(pointer_grabs(111 - 14, 222, 50));
    EXPECT_FALSE(pointer_grabs(111 + 14.5, 222, 50));
    EXPECT_FALSE(pointer_grabs(111 + 40, 222, 50));
    EXPECT_TRUE(pointer_grabs(500, 0, 50));  // not measured yet: any press grabs
    // Touch: 30 from the centre grabs (keeping the offset), 31 does not.
    EXPECT_EQ(touch_grab(100 + 111 + 30, 100, 222, 50), 30.0);
    EXPECT_EQ(touch_grab(100 + 111 - 30, 100, 222, 50), -30.0);
    EXPECT_EQ(touch_grab(100 + 111 + 31, 100, 222, 50), std::nullopt);
    // Touch drag: the grab offset is kept; past either end gives min or the ceiling.
    EXPECT_EQ(touch_value(100 + 111 + 30, 30, 100, 222, 0, 1, 1), 0.5);
    EXPECT_EQ(touch_value(100 + 161 + 30, 30, 100, 222, 0, 1, 1), 0.75);
    EXPECT_EQ(touch_value(0, 0, 100, 222, 0, 1, 1), 0);
    EXPECT_EQ(touch_value(1000, 0, 100, 222, 0, 1, 0.5), 0.5);
    // A wrapper at most 23 wide divides by 1.
    EXPECT_EQ(touch_value(100 + 11 + 0.5, 0, 100, 23, 0, 1, 1), 0.5);
}

TEST(Slider, MarkupPressesAndCeiling) {
    KitPage pg;
    static Got got;
    got = {};
    static Callback<double> onchange([](double v) { got.values.push_back(v); });
    pg.mount(component(slider::default_slider,
                       slider::default_sliderProps{.value = 0.25, .min = 0, .max = 1, .limit = 0.5, .onchange = onchange}));
    pg.mount_events();
    pg.answer_rect(100, 10, 222, 26);
    const auto* in = pg.by_tag("input");
    EXPECT_EQ(pg.attr(in, "class"), "slider ");
    EXPECT_EQ(pg.attr(in, "style"), "--slider-fill: 25");
    EXPECT_EQ(pg.attr(in, "min"), "0");
    EXPECT_EQ(pg.attr(in, "max"), "1");
    EXPECT_EQ(pg.attr(in, "step"), "any");
    EXPECT_EQ(std::get<std::string>(in->props.at("value")), "0.25");
    // Thumb centre: (222 - 22) * 25 / 100 + 11 = 61. A press 40 away is refused.
    auto r = pg.fire(in, "pointerdown", Json{{"offset_x", 101}, {"pointer_type", "mouse"}});
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->prevent_default);
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider ");
    r = pg.fire(in, "pointerdown", Json{{"offset_x", 70}, {"pointer_type", "mouse"}});
    EXPECT_FALSE(r->prevent_default);
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider dragging");
    pg.fire(in, "input", Json{{"value", "0.4"}});
    pg.fire(in, "input", Json{{"value", "0.9"}});
    pg.fire(in, "input", Json{{"value", "x"}});
    EXPECT_EQ(got.values, (std::vector<double>{0.4, 0.5}));
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "style"), "--slider-fill: 50");  // the drag value, stopped at the ceiling
    pg.fire(in, "pointerup", Json{{"pointer_type", "mouse"}});
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider ");
    EXPECT_FALSE(pg.scripts_with("document.activeElement.blur()").empty());
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "style"), "--slider-fill: 25");  // back to the parent's value
}

TEST(Slider, TouchDragKeepsTheGrabOffset) {
    KitPage pg;
    static Got got;
    got = {};
    static Callback<double> onchange([](double v) { got.values.push_back(v); });
    pg.mount(component(slider::default_slider, slider::default_sliderProps{.value = 0.5, .onchange = onchange}));
    pg.mount_events();
    pg.answer_rect(100, 10, 222, 26);
    const auto* wrap = pg.by_class("slider-touch");
    auto touch = [](double x) { return Json{{"touches", Json::array({Json{{"id", 1}, {"client_x", x}, {"client_y", 5}}})}}; };
    // A touch ending before the rectangle arrives starts nothing.
    pg.fire(wrap, "touchstart", touch(211 + 10));
    pg.fire(wrap, "touchend", Json::object());
    pg.answer_rect(100, 10, 222, 26);
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider ");
    pg.fire(wrap, "touchstart", touch(211 + 10));
    pg.answer_rect(100, 10, 222, 26);
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider dragging");
    auto r = pg.fire(wrap, "touchmove", touch(261 + 10));
    EXPECT_TRUE(r->prevent_default);
    pg.fire(wrap, "touchmove", touch(5000));
    pg.fire(wrap, "touchend", Json::object());
    EXPECT_EQ(got.values, (std::vector<double>{0.75, 1.0}));
    EXPECT_EQ(pg.attr(pg.by_tag("input"), "class"), "slider ");
}

}  // namespace
}  // namespace shared_ui::components
