// Context-menu offsets and round trip; the text field's attributes, scripts
// and commit rule.
#include <gtest/gtest.h>

#include "kit_page.h"
#include "shared-ui/components/context_menu.h"
#include "shared-ui/components/text_input.h"

namespace shared_ui::components {
namespace {

using namespace reactive;
using testing::KitPage;

TEST(ContextMenu, Offsets) {
    using context_menu::menu_shift;
    using P = std::pair<double, double>;
    struct Case {
        double x, y, w, h, l, t, r, b;
        P want;
    };
    const Case cases[] = {
        {100, 100, 150, 100, 0, 0, 800, 600, {0, 0}},        // fits
        {760, 100, 150, 100, 0, 0, 800, 600, {116, 0}},      // right edge 6 inside
        {100, 560, 150, 100, 0, 0, 800, 600, {0, 66}},       // bottom edge 6 inside
        {50, 20, 150, 100, 0, 0, 160, 600, {45, 0}},         // 10 spare: margin 5
        {3, 20, 900, 100, 0, 0, 800, 600, {0, 0}},           // too wide, anchor in the margin
        {100, 20, 900, 100, 0, 0, 800, 600, {94, 0}},        // too wide: left edge 6 inside
        {480, 60, 150, 100, 100, 50, 500, 450, {136, 0}},    // a clipping ancestor
        {700, 500, 150, 100, 0, 0, 800, 600, {56, 6}},
    };
    for (const Case& c : cases) EXPECT_EQ(menu_shift(c.x, c.y, c.w, c.h, c.l, c.t, c.r, c.b), c.want) << c.x << "," << c.y;
}

struct Log {
    std::vector<std::string> lines;
};

TEST(ContextMenu, OpensMeasuresAndCloses) {
    KitPage pg;
    static Log log;
    log = {};
    context_menu::Anchor anchor(std::nullopt);
    pg.root.provide_context(anchor);
    pg.mount(component(+[] {
        auto anchor = use_context<context_menu::Anchor>();
        static Callback<const MouseEvent&> copy([](const MouseEvent&) { log.lines.push_back("copy"); });
        return div()(component(
            context_menu::context_menu,
            context_menu::ContextMenuProps{
                .children = fragment(component(context_menu::context_menu_item,
                                               context_menu::ContextMenuItemProps{.label = "Copy", .onclick = copy})),
                .anchor = anchor}));
    }));
    EXPECT_EQ(pg.doc.html(), "<div></div>");
    anchor.set(std::pair(760.0, 87.5));
    pg.settle();
    const auto* popup = pg.by_class("context-menu-popup");
    EXPECT_EQ(pg.attr(popup, "style"), "left: 760px; top: 87.5px;");
    EXPECT_TRUE(pg.by_class("context-menu-overlay"));
    pg.mount_events();
    auto measure = pg.scripts_with("context-menu-popup");
    ASSERT_EQ(measure.size(), 1u);
    measure[0]->feed.push(Json::array({150, 100, Json::array({0, 0, 800, 600})}));
    pg.settle();
    EXPECT_EQ(pg.attr(pg.by_class("context-menu-popup"), "style"), "left: 644px; top: 87.5px;");
    // Decided in the page: stopped clicks, right-clicks without the system menu.
    popup = pg.by_class("context-menu-popup");
    const auto* overlay = pg.by_class("context-menu-overlay");
    EXPECT_EQ(popup->listeners.at("click"), LISTEN_STOP);
    EXPECT_EQ(popup->listeners.at("contextmenu"), LISTEN_STOP | LISTEN_PREVENT);
    EXPECT_EQ(overlay->listeners.at("click"), LISTEN_STOP);
    EXPECT_EQ(overlay->listeners.at("contextmenu"), LISTEN_STOP | LISTEN_PREVENT);
    // Right-click inside: stays open.
    pg.fire(popup, "contextmenu");
    EXPECT_TRUE(anchor.peek());
    // An entry: its callback, then the popup's click closes.
    pg.fire(pg.by_class("context-menu-item"), "click");
    EXPECT_EQ(log.lines, (std::vector<std::string>{"copy"}));
    pg.fire(pg.by_class("context-menu-popup"), "click");
    EXPECT_FALSE(anchor.peek());
    EXPECT_EQ(pg.doc.html(), "<div></div>");
    // Opened again elsewhere: starts from no shift; a right-click on the overlay closes.
    anchor.set(std::pair(10.0, 10.0));
    pg.settle();
    EXPECT_EQ(pg.attr(pg.by_class("context-menu-popup"), "style"), "left: 10px; top: 10px;");
    pg.fire(pg.by_class("context-menu-overlay"), "contextmenu");
    EXPECT_FALSE(anchor.peek());
}

TEST(TextInput, AttributesIdsAndMasking) {
    KitPage pg;
    auto first = text_input::NEXT_ID.load();
    static Signal<bool> masked(false);
    masked = Signal<bool>(false);
    pg.mount(component(+[] {
        return div()(component(text_input::text_input,
                               text_input::TextInputProps{.value = "Main L", .placeholder = "Name", .masked = masked()}),
                     component(text_input::text_input, text_input::TextInputProps{.value = "x", .cls = "wide"}));
    }));
    const auto* f = pg.by_tag("input");
    EXPECT_EQ(pg.markup(f),
              fmt::format("<input autocomplete=\"off\" class=\"\" id=\"text-input-{}\" placeholder=\"Name\" style=\"\" "
                          "type=\"text\" value=\"Main L\"></input>",
                          first));
    EXPECT_NE(pg.doc.html().find(fmt::format("text-input-{}", first + 1)), std::string::npos);
    EXPECT_TRUE(pg.scripts_with("CSS.supports").empty());  // not masked: no probe
    masked.set(true);
    pg.settle();
    f = pg.by_tag("input");
    EXPECT_EQ(pg.attr(f, "type"), "password");
    EXPECT_EQ(pg.attr(f, "spellcheck"), "false");
    EXPECT_EQ(pg.attr(f, "autocorrect"), "off");
    auto probe = pg.scripts_with("CSS.supports");
    ASSERT_EQ(probe.size(), 1u);
    probe[0]->feed.complete(Json(true));
    pg.settle();
    f = pg.by_tag("input");
    EXPECT_EQ(pg.attr(f, "type"), "text");
    EXPECT_EQ(pg.attr(f, "class"), " masked");
    masked.set(false);
    pg.settle();
    f = pg.by_tag("input");
    EXPECT_EQ(pg.attr(f, "autocorrect"), "<absent>");
    EXPECT_EQ(pg.attr(f, "class"), "");
}

struct Field {
    std::vector<std::string> events;
};

TEST(TextInput, ScriptsAndCommit) {
    EXPECT_EQ(text_input::sync_script("text-input-3", "a\"b", true, false),
              "{ const el = document.getElementById(\"text-input-3\"); if (el && (true || el !== "
              "document.activeElement) && el.value !== \"a\\\"b\") el.value = \"a\\\"b\"; if (el && false && el !== "
              "document.activeElement) el.scrollLeft = el.scrollWidth; }");
    EXPECT_EQ(text_input::focus_out_script("text-input-3", "x", true),
              "{ const el = document.getElementById(\"text-input-3\"); if (el) { el.value = \"x\"; if (true) "
              "el.scrollLeft = el.scrollWidth; } }");

    KitPage pg;
    static Field log;
    log = {};
    static Signal<std::string> value(std::string("a"));
    value = Signal<std::string>(std::string("a"));
    pg.mount(component(+[] {
        static Callback<std::string> oninput([](std::string s) { log.events.push_back("input " + s); });
        static Callback<> onenter([] { log.events.push_back("enter"); });
        static Callback<> onescape([] { log.events.push_back("escape"); });
        return component(text_input::text_input, text_input::TextInputProps{
                                                      .value = value(), .oninput = oninput, .onenter = onenter, .onescape = onescape});
    }));
    auto syncs = [&] { return pg.scripts_with("el.value !== ").size(); };
    EXPECT_EQ(syncs(), 1u);  // once after the first render
    const auto* f = pg.by_tag("input");
    pg.fire(f, "input", Json{{"value", "ab"}});
    pg.fire(f, "keydown", Json{{"key", "Enter"}, {"composing", true}});
    pg.fire(f, "keydown", Json{{"key", "Enter"}});
    pg.fire(f, "keydown", Json{{"key", "Escape"}});
    EXPECT_EQ(log.events, (std::vector<std::string>{"input ab", "enter", "escape"}));
    // After Enter the next value sync writes even into the focused field.
    value.set("AB");
    pg.settle();
    ASSERT_EQ(syncs(), 2u);
    EXPECT_NE(pg.page.scripts.back().text.find("(true || el"), std::string::npos);
    value.set("ABC");
    pg.settle();
    EXPECT_NE(pg.page.scripts.back().text.find("(false || el"), std::string::npos);
    value.set("ABC");  // the same text: no sync
    pg.settle();
    EXPECT_EQ(syncs(), 3u);
    pg.fire(pg.by_tag("input"), "focusout");
    EXPECT_NE(pg.page.scripts.back().text.find("el.value = \"ABC\""), std::string::npos);
}

}  // namespace
}  // namespace shared_ui::components
