// The button's class strings and children, its hint in the shared bubble or
// the native title, and the tooltip's newest-request-wins rule and placement.
#include <gtest/gtest.h>

#include "kit_page.h"
#include "shared-ui/components/button.h"
#include "shared-ui/components/tooltip.h"
#include "shared-ui/icons.h"

namespace shared_ui::components {
namespace {

using namespace reactive;
using button::ButtonProps;
using button::ButtonType;
using button::LabelAlign;
using testing::KitPage;
using tooltip::TooltipState;

TEST(Button, ClassStrings) {
    struct Case {
        ButtonProps p;
        const char* cls;
    };
    const Case cases[] = {
        {{}, "button horizontal    "},
        {{.button_type = ButtonType::FlatMini, .toggled = true, .fill = true}, "button horizontal toggled flat mini  fill"},
        {{.button_type = ButtonType::Flat, .toggled = true, .hint = "Save"}, "button horizontal toggled flat hint "},
        {{.hint = "Run"}, "button horizontal   hint "},
        {{.fill = true}, "button horizontal    fill"},
        {{.button_type = ButtonType::Flat}, "button horizontal  flat  "},
    };
    for (const Case& c : cases) EXPECT_EQ(button::button_class(c.p), c.cls);
    EXPECT_STREQ(button::align_class(LabelAlign::Center), "text-center");
    EXPECT_STREQ(button::align_class(LabelAlign::Left), "text-left");
    EXPECT_STREQ(button::align_class(LabelAlign::Right), "text-right");
}

// Markup of the button without its listeners.
std::string markup(const ButtonProps& p, bool with_store) {
    KitPage pg;
    if (with_store) pg.root.provide_context(Store<TooltipState>());
    pg.mount(component(button::default_button, p));
    return pg.markup();
}

TEST(Button, ChildrenAndTitle) {
    std::string plus = icons::PLUS.url(), down = icons::DOWN.url();
    EXPECT_EQ(markup({}, true), "<button class=\"button horizontal    \" title=\"\"></button>");
    EXPECT_EQ(markup({.icon = icons::PLUS}, true),
              "<button class=\"button horizontal    \" title=\"\"><img draggable=\"false\" src=\"" + plus +
                  "\"></img></button>");
    EXPECT_EQ(markup({.chevron = true}, true),
              "<button class=\"button horizontal    \" title=\"\"><div class=\"label no-min-width nowrap-elipsis fill "
              "text-center\"></div><img class=\"padding-right\" draggable=\"false\" src=\"" +
                  down + "\"></img></button>");
    EXPECT_EQ(markup({.label = "<b>Run</b>", .disabled = true, .align = LabelAlign::Left}, true),
              "<button class=\"button horizontal    \" disabled=\"\" title=\"\"><div class=\"label no-min-width "
              "nowrap-elipsis fill text-left\">&lt;b&gt;Run&lt;/b&gt;</div></button>");
    // The hint: in the bubble with a store, as the native title without one.
    EXPECT_EQ(markup({.hint = "Start"}, true), "<button class=\"button horizontal   hint \" title=\"\"></button>");
    EXPECT_EQ(markup({.hint = "Start"}, false), "<button class=\"button horizontal   hint \" title=\"Start\"></button>");
}

struct Clicks {
    int click = 0, down = 0;
};

TEST(Button, ClickStopsPropagationAndOnlyTheMainButtonPresses) {
    KitPage pg;
    Clicks n;
    pg.mount(component(button::default_button,
                       ButtonProps{.label = "Go",
                                   .onclick = [&](const MouseEvent&) { ++n.click; },
                                   .onmousedown = [&](const MouseEvent&) { ++n.down; }}));
    const auto* b = pg.by_tag("button");
    // The page stops the click at the button without waiting for the host.
    EXPECT_EQ(b->listeners.at("click"), LISTEN_STOP);
    EXPECT_EQ(b->listeners.at("mousedown"), 0);
    pg.fire(b, "click");
    EXPECT_EQ(n.click, 1);
    pg.fire(b, "mousedown", Json{{"button", 2}});
    pg.fire(b, "mousedown", Json{{"button", 1}});
    EXPECT_EQ(n.down, 0);
    pg.fire(b, "mousedown", Json{{"button", 0}});
    EXPECT_EQ(n.down, 1);
}

TEST(Tooltip, HoverShowsLeaveBeforeTheRectNeverShows) {
    KitPage base;
    Store<TooltipState> store;
    Signal<bool> shown(true);
    base.root.provide_context(store);
    base.root.provide_context(shown);
    base.mount(component(+[] {
        auto shown = use_context<Signal<bool>>();
        return div()(component(tooltip::global_tooltip),
                     component(button::default_button, ButtonProps{.label = "A", .hint = "First <hint>"}),
                     when(shown(), [] {
                         return component(button::default_button, ButtonProps{.label = "B", .hint = "Second"});
                     }));
    }));
    base.mount_events();
    auto button_at = [&](int i) {
        int k = 0;
        return base.find([&](const dom::Node& n) { return n.tag == "button" && k++ == i; });
    };
    Json mouse{{"pointer_type", "mouse"}};
    // Hover A, leave before its rectangle arrives: nothing shows, ever.
    base.fire(button_at(0), "pointerenter", mouse);
    ASSERT_EQ(base.page.queries.size(), 1u);
    base.fire(button_at(0), "mouseleave");
    base.answer_rect(10, 20, 40, 24);
    EXPECT_FALSE(store.peek().visible);
    EXPECT_EQ(store.peek().text, "");
    // Touch and pen hovers ask nothing.
    base.fire(button_at(0), "pointerenter", Json{{"pointer_type", "touch"}});
    EXPECT_EQ(base.page.queries.size(), 1u);
    // Two quick hovers: only the second writes, whatever order the rects come in.
    base.fire(button_at(0), "pointerenter", mouse);
    base.fire(button_at(1), "pointerenter", mouse);
    ASSERT_EQ(base.page.queries.size(), 3u);
    base.answer_rect(100, 50, 60, 24);  // A's rectangle: a later show came in, dropped
    base.answer_rect(200, 50, 60, 20);
    EXPECT_TRUE(store.peek().visible);
    EXPECT_EQ(store.peek().text, "Second");
    EXPECT_EQ(store.peek().center_x, 230.0f);
    EXPECT_EQ(store.peek().top_y, 50.0f);
    EXPECT_EQ(store.peek().bottom_y, 70.0f);
    // The bubble shows the text as text, opaque.
    const auto* bubble = base.by_class("tooltip");
    EXPECT_EQ(bubble->styles.at("opacity"), "1");
    EXPECT_EQ(bubble->children.at(0)->text, "Second");
    // Removing a button while the mouse is over it hides the bubble.
    shown.set(false);
    base.settle();
    EXPECT_FALSE(store.peek().visible);
}

TEST(Tooltip, HideWithoutAStoreStillCountsAndEmptyShowsDoNot) {
    auto before = tooltip::GENERATION.load();
    TooltipState::hide(std::nullopt);
    EXPECT_EQ(tooltip::GENERATION.load(), before + 1);
}

TEST(Tooltip, BubbleBelowOrAboveAtTheBoundary) {
    // bottom 700 + 8 + 92 = 800 = window height: below; one more pixel: above.
    auto below = tooltip::bubble_place(100, 680, 700, 50, 92, 800);
    EXPECT_EQ(below.left, "clamp(var(--padding), 75px, calc(100vw - 50px - var(--padding)))");
    EXPECT_EQ(below.top, "calc(700px + var(--padding))");
    auto above = tooltip::bubble_place(100, 680, 700, 50, 93, 800);
    EXPECT_EQ(above.top, "calc(680px - var(--padding) - 93px)");
    auto frac = tooltip::bubble_place(12.5f, -3.25f, 10, 41, 18.5f, 20);
    EXPECT_EQ(frac.left, "clamp(var(--padding), -8px, calc(100vw - 41px - var(--padding)))");
    EXPECT_EQ(frac.top, "calc(-3.25px - var(--padding) - 18.5px)");
}

TEST(Tooltip, PlacementTaskMeasuresThenPlaces) {
    KitPage pg;
    Store<TooltipState> store;
    pg.root.provide_context(store);
    pg.mount(component(tooltip::global_tooltip));
    pg.mount_events();
    store.set(TooltipState{true, "Hello", 300, 680, 700});
    pg.settle();
    auto measure = pg.scripts_with("createRange");
    ASSERT_EQ(measure.size(), 1u);
    measure[0]->feed.complete(Json());
    pg.settle();
    pg.answer_rect(0, 0, 50, 93);  // the bubble
    auto height = pg.scripts_with("innerHeight");
    ASSERT_EQ(height.size(), 1u);
    height[0]->feed.push(Json("tall"));  // not a number: 800
    pg.settle();
    const auto* bubble = pg.by_class("tooltip");
    EXPECT_EQ(bubble->styles.at("left"), "clamp(var(--padding), 275px, calc(100vw - 50px - var(--padding)))");
    EXPECT_EQ(bubble->styles.at("top"), "calc(680px - var(--padding) - 93px)");
    EXPECT_EQ(bubble->children.at(0)->text, "Hello");
}

TEST(Tooltip, HintSpanShowsForTheMouseOnly) {
    KitPage pg;
    Store<TooltipState> store;
    pg.root.provide_context(store);
    pg.mount(component(tooltip::hint_span, tooltip::hint_spanProps{.cls = "name", .text = "<i>Main L</i>"}));
    pg.mount_events();
    EXPECT_NE(pg.doc.html().find("class=\"name\""), std::string::npos);
    EXPECT_NE(pg.doc.html().find("&lt;i&gt;Main L&lt;/i&gt;"), std::string::npos);
    const auto* s = pg.by_tag("span");
    pg.fire(s, "pointerenter", Json{{"pointer_type", "pen"}});
    EXPECT_TRUE(pg.page.queries.empty());
    pg.fire(s, "pointerenter", Json{{"pointer_type", "mouse"}});
    pg.answer_rect(0, 0, 10, 10);
    EXPECT_TRUE(store.peek().visible);
    EXPECT_EQ(store.peek().text, "<i>Main L</i>");
    pg.fire(s, "mouseleave");
    EXPECT_FALSE(store.peek().visible);
}

}  // namespace
}  // namespace shared_ui::components
