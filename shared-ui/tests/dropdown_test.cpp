// The drop-down's placement table and its open/choose/close round trip.
#include <gtest/gtest.h>

#include "kit_page.h"
#include "shared-ui/components/dropdown.h"

namespace shared_ui::components::dropdown {
namespace {

using namespace reactive;
using testing::KitPage;

TEST(Dropdown, Placement) {
    struct Case {
        Rect c;
        double w, h;
        ListPlace want;
    };
    const Case cases[] = {
        // The worked example: little room below, the list opens upward.
        {{1000, 700, 120, 28}, 1280, 800, {1000, 104, 160, 320, true}},
        // Exactly 320 below and more above: downward.
        {{50, 400, 120, 20}, 1280, 752, {50, 424, 160, 320, false}},
        // 319 below, 388 above: upward.
        {{50, 400, 120, 20}, 1280, 751, {50, 355, 160, 320, true}},
        // 50 below, 40 above: downward, never lower than 80.
        {{50, 52, 120, 20}, 1280, 134, {50, 76, 160, 80, false}},
        // Kept 8 inside the right edge at its minimum width, and 8 from the left.
        {{150, 10, 100, 20}, 200, 800, {32, 34, 160, 320, false}},
        {{150, 10, 100, 20}, 150, 800, {8, 34, 160, 320, false}},
        // A wide container sets the minimum width.
        {{10, 10, 300, 20}, 1280, 800, {10, 34, 300, 320, false}},
    };
    for (const Case& c : cases) EXPECT_EQ(place_list(c.c, c.w, c.h), c.want) << c.c.x << "," << c.c.y << " in " << c.h;
}

TEST(Dropdown, WindowSizeReply) {
    EXPECT_EQ(window_size(Json::array({900, 600.5})), std::make_pair(900.0, 600.5));
    for (const Json& bad : {Json::array({900}), Json::array({1, 2, 3}), Json::array({"900", "600"}), Json(5), Json()})
        EXPECT_EQ(window_size(bad), std::make_pair(1280.0, 800.0)) << bad.dump();
    EXPECT_EQ(window_size(std::nullopt), std::make_pair(1280.0, 800.0));
}

TEST(Dropdown, CaptionAndStyle) {
    DropdownProps p{.options = {{"a", "Alpha"}, {"b", "Beta"}, {"b", "Beta 2"}}, .value = "b"};
    EXPECT_EQ(caption(p), "Beta");
    p.value = "zz";
    EXPECT_EQ(caption(p), "");
    p.value = "a";
    p.text = "";
    EXPECT_EQ(caption(p), "");
    OpenDropdown r{.left = 1000, .offset = 104, .min_width = 160, .max_height = 320, .upward = true};
    EXPECT_EQ(list_style(r), "left: 1000px; top: auto; bottom: 104px; min-width: 160px; max-height: 320px;");
    r.upward = false;
    r.offset = 12.5;
    EXPECT_EQ(list_style(r), "left: 1000px; top: 12.5px; bottom: auto; min-width: 160px; max-height: 320px;");
}

struct Picked {
    std::vector<Choice> got;
};

TEST(Dropdown, OpenChooseAndClose) {
    KitPage pg;
    OpenList open(std::nullopt);
    Signal<bool> shown(true);
    pg.root.provide_context(open);
    pg.root.provide_context(shown);
    static Picked picked;
    picked = {};
    static Callback<Choice> onchange([](Choice c) { picked.got.push_back(std::move(c)); });
    pg.mount(component(+[] {
        auto shown = use_context<Signal<bool>>();
        return div()(when(shown(),
                          [] {
                              return component(dropdown, DropdownProps{.options = {{"pink", "Pink noise"}, {"sine", "Sine"}},
                                                                       .fill = true,
                                                                       .value = "sine",
                                                                       .onchange = onchange});
                          }),
                     component(global_dropdown));
    }));
    pg.mount_events();
    const auto* container = pg.by_class("dropdown-container");
    EXPECT_EQ(pg.attr(container, "class"), "dropdown-container dropdown no-min-width fill");
    EXPECT_EQ(pg.attr(pg.by_tag("button"), "class"), "button horizontal    ");
    EXPECT_NE(pg.doc.html().find(">Sine</div>"), std::string::npos);

    pg.fire(pg.by_tag("button"), "click");
    pg.answer_rect(1000, 700, 120, 28);
    auto size = pg.scripts_with("innerWidth");
    ASSERT_EQ(size.size(), 1u);
    size[0]->feed.push(Json::array({1280, 800}));
    pg.settle();
    ASSERT_TRUE(open.peek());
    const auto* list = pg.by_class("dropdown-global");
    EXPECT_EQ(pg.attr(list, "style"), "left: 1000px; top: auto; bottom: 104px; min-width: 160px; max-height: 320px;");
    ASSERT_EQ(list->children.size(), 2u);
    EXPECT_EQ(pg.attr(list->children[0], "class"), "dropdown-link");
    EXPECT_EQ(pg.attr(list->children[1], "class"), "dropdown-link dropdown-current");

    // An item: the list closes, then the choice is reported once.
    pg.fire(list->children[0], "click");
    EXPECT_FALSE(open.peek());
    EXPECT_EQ(picked.got, (std::vector<Choice>{{"pink", "Pink noise"}}));
    EXPECT_FALSE(pg.by_class("dropdown-global"));

    // A click on the button while a list is open only closes it.
    open.set(OpenDropdown{.options = {{"x", "X"}}});
    pg.settle();
    auto queries = pg.page.queries.size();
    pg.fire(pg.by_tag("button"), "click");
    EXPECT_FALSE(open.peek());
    EXPECT_EQ(pg.page.queries.size(), queries);

    // The overlay closes; removing the owner closes its list; another's stays.
    open.set(OpenDropdown{.onchange = onchange});
    pg.settle();
    pg.fire(pg.by_class("dropdown-global-overlay"), "click");
    EXPECT_FALSE(open.peek());
    open.set(OpenDropdown{.options = {{"x", "X"}}});
    shown.set(false);
    pg.settle();
    EXPECT_TRUE(open.peek());  // not this drop-down's list
    shown.set(true);
    pg.settle();
    open.set(OpenDropdown{.onchange = onchange});
    shown.set(false);
    pg.settle();
    EXPECT_FALSE(open.peek());
}

}  // namespace
}  // namespace shared_ui::components::dropdown
