#include <gtest/gtest.h>

#include "shared-ui/tests/kit_page.h"
#include "ui/main_window/core/name_prompt.h"
#include "ui/main_window/frame/sidebar.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using Prompts = testing::Window;
using testing::make_trace;

// ---- titles and starting texts ----------------------------------------------------

TEST_F(Prompts, TitlesAndStartingTexts) {
    s().sources.set({"Main", "Sub"});
    s().traces.set({make_trace("Main", "Main", "Pos A"), make_trace("Main 2", "Main", "Pos A"),
                    make_trace("Sub", "Sub", "Pos B")});
    engine::settings::SettingsStoreImplExt::update(s().settings, [](Settings& x) { x.wing_ip = "10.0.0.5"; });
    struct Case {
        Prompt p;
        std::string title, text;
    };
    const Case cases[] = {
        {{Prompt::NewPosition{}}, "New position", "Position 3"},
        {{Prompt::RenamePosition{"Pos A"}}, "Rename position", "Pos A"},
        {{Prompt::DeletePosition{"Pos A"}}, "Delete Pos A and its 2 traces?", ""},
        {{Prompt::NewSource{}}, "New source", "Source 3"},
        {{Prompt::RenameSource{"Sub"}}, "Rename source", "Sub"},
        {{Prompt::DeleteSource{"Main"}}, "Delete Main and its 2 traces?", ""},
        {{Prompt::Capture{"Main"}}, "Capture", ""},
        {{Prompt::RenameTrace{1}}, "Rename trace", "Main 2"},
        {{Prompt::RenameTrace{7}}, "Rename trace", ""},
        {{Prompt::DeleteTrace{2}}, "Delete Sub?", ""},
        {{Prompt::DeleteTrace{7}}, "Delete ?", ""},
        {{Prompt::SendToWing{"bus 1"}}, "Send Main to Wing", "10.0.0.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(prompt_title(s(), c.p), c.title) << c.title;
        EXPECT_EQ(prompt_text(s(), c.p), c.text) << c.title;
    }
}

TEST(CaptureName, CountsTheSourcesTracesAtThePosition) {
    const std::vector<Trace> traces{make_trace("Sub", "Sub", "A"), make_trace("x", "Sub", "A"),
                                    make_trace("Sub", "Sub", "B"), make_trace("Main", "Main", "A")};
    EXPECT_EQ(capture_name(traces, "Sub", "A"), "Sub 3");
    EXPECT_EQ(capture_name(traces, "Sub", "B"), "Sub 2");
    EXPECT_EQ(capture_name(traces, "Sub", "C"), "Sub");
    EXPECT_EQ(capture_name(traces, "Main L", "A"), "Main L");
}

// ---- the card ----------------------------------------------------------------------

std::string text_of(const reactive::dom::Node& n) {
    if (n.is_text) return n.text;
    std::string out;
    for (const auto* c : n.children) out += text_of(*c);
    return out;
}

reactive::Element card_root(const reactive::Signal<NamePromptProps>& props) {
    return reactive::component(name_prompt, props(), "name_prompt");
}

struct Card {
    shared_ui::testing::KitPage page;
    std::vector<Prompt> changes;
    std::vector<std::string> submits;
    int cancels = 0;
    reactive::Signal<NamePromptProps> props{NamePromptProps{}};

    explicit Card(NamePromptProps p) {
        p.onchange = [this](Prompt x) { changes.push_back(std::move(x)); };
        p.onsubmit = [this](std::string t) { submits.push_back(std::move(t)); };
        p.oncancel = [this] { ++cancels; };
        props.set(std::move(p));
        page.root.mount(reactive::component(card_root, props, "card"));
        page.settle();
    }
    const reactive::dom::Node* find_text(const std::string& tag, const std::string& text) {
        return page.find([&](const reactive::dom::Node& n) { return n.tag == tag && text_of(n) == text; });
    }
    const reactive::dom::Node* button(const std::string& label) { return find_text("button", label); }
};

TEST(NamePrompt, NamingPromptHasAFieldOkAndCancel) {
    Card c(NamePromptProps{.prompt = {Prompt::NewPosition{}}, .title = "New position", .text = "Position 3"});
    EXPECT_EQ(c.page.attr(c.page.by_class("alert-card"), "class"), "alert-card vertical");
    EXPECT_EQ(c.page.attr(c.page.by_class("alert-title"), "class"), "alert-title label");
    EXPECT_EQ(text_of(*c.page.by_class("alert-title")), "New position");
    const auto* field = c.page.by_tag("input");
    ASSERT_TRUE(field);
    EXPECT_EQ(c.page.attr(field, "value"), "Position 3");
    EXPECT_EQ(c.page.attr(field, "placeholder"), "");
    EXPECT_NE(c.page.attr(field, "class").find("fill"), std::string::npos);
    EXPECT_TRUE(c.button("Cancel"));
    EXPECT_TRUE(c.page.by_class("alert-button-submit"));
    EXPECT_FALSE(c.page.by_class("alert-button-danger"));
    EXPECT_FALSE(c.page.by_class("grid-2"));

    // OK submits what was typed; the untouched text is the starting text.
    c.page.fire(c.button("OK"), "click");
    c.page.fire(field, "input", {{"value", "Hall B"}});
    c.page.fire(c.button("OK"), "click");
    EXPECT_EQ(c.submits, (std::vector<std::string>{"Position 3", "Hall B"}));
    c.page.fire(c.button("Cancel"), "click");
    c.page.fire(c.page.by_class("alert-background"), "mousedown");
    EXPECT_EQ(c.cancels, 2);
}

TEST(NamePrompt, DeletionHasNoFieldAndDeleteSubmitsNothing) {
    Card c(NamePromptProps{.prompt = {Prompt::DeleteTrace{0}}, .title = "Delete Main?", .text = ""});
    EXPECT_FALSE(c.page.by_tag("input"));
    const auto* danger = c.page.by_class("alert-button-danger");
    ASSERT_TRUE(danger);
    EXPECT_EQ(text_of(*danger), "Delete");
    EXPECT_FALSE(c.button("OK"));
    c.page.fire(c.button("Delete"), "click");
    EXPECT_EQ(c.submits, (std::vector<std::string>{""}));
}

TEST(NamePrompt, CaptureOffersTheSourcesAndKeepsTheTypedNameWhenOneIsChosen) {
    Card c(NamePromptProps{
        .prompt = {Prompt::Capture{"Sub"}}, .title = "Capture", .text = "", .sources = {"Main", "Sub", "Fill"}});
    const auto* grid = c.page.by_class("grid-2");
    ASSERT_TRUE(grid);
    ASSERT_EQ(grid->children.size(), 3u);
    const auto toggled = [&](const std::string& label) {
        return c.page.attr(c.button(label), "class").find("toggled") != std::string::npos;
    };
    EXPECT_FALSE(toggled("Main"));
    EXPECT_TRUE(toggled("Sub"));
    EXPECT_EQ(c.page.attr(c.page.by_tag("input"), "placeholder"), "Trace name, the source name if empty");

    c.page.fire(c.page.by_tag("input"), "input", {{"value", "Left hang"}});
    c.page.fire(c.button("Main"), "click");
    ASSERT_EQ(c.changes.size(), 1u);
    EXPECT_EQ(c.changes[0], (Prompt{Prompt::Capture{"Main"}}));
    auto p = c.props.peek();
    p.prompt = c.changes[0];
    c.props.set(p);
    c.page.settle();
    EXPECT_TRUE(toggled("Main"));
    EXPECT_FALSE(toggled("Sub"));
    c.page.fire(c.button("OK"), "click");
    EXPECT_EQ(c.submits, (std::vector<std::string>{"Left hang"}));
}

TEST(NamePrompt, CaptureWithoutSourcesOrWithAnUnknownOne) {
    Card none(NamePromptProps{.prompt = {Prompt::Capture{""}}, .title = "Capture", .text = ""});
    EXPECT_TRUE(none.find_text("div", "Add a source in the sidebar first"));
    EXPECT_FALSE(none.page.by_class("grid-2"));
    EXPECT_TRUE(none.page.by_tag("input"));
    EXPECT_TRUE(none.button("OK"));

    Card unknown(
        NamePromptProps{.prompt = {Prompt::Capture{"Gone"}}, .title = "Capture", .text = "", .sources = {"Main"}});
    EXPECT_EQ(unknown.page.attr(unknown.button("Main"), "class").find("toggled"), std::string::npos);
}

TEST(NamePrompt, SendToWingChoosesTheTargetAndTakesTheAddress) {
    Card c(NamePromptProps{
        .prompt = {Prompt::SendToWing{"bus 3"}}, .title = "Send Main to Wing", .text = "10.0.0.5", .sources = {"Main"}});
    EXPECT_TRUE(c.page.by_class("dropdown-container"));
    EXPECT_NE(c.page.markup().find("bus 3"), std::string::npos);
    EXPECT_EQ(c.page.attr(c.page.by_tag("input"), "placeholder"), "Wing IP");
    EXPECT_EQ(c.page.attr(c.page.by_tag("input"), "value"), "10.0.0.5");
    EXPECT_FALSE(c.page.by_class("grid-2"));
}

// ---- what a confirmed prompt does ------------------------------------------------------

TEST_F(Prompts, CaptureNamesFromTheSourceUnticksTheOthersAndViewsTheNewTrace) {
    s().sources.set({"Main", "Sub"});
    s().position.set("A");
    s().traces.set({make_trace("Main", "Main", "A"), make_trace("Main 2", "Main", "A"), make_trace("Sub", "Sub", "A")});
    s().pending_capture.set(make_trace("", "", ""));
    s().prompt.set(Prompt{Prompt::Capture{"Main"}});
    submit_prompt(s(), "   ");
    const auto& t = s().traces.peek();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[3].name, "Main 3");
    EXPECT_EQ(t[3].source, "Main");
    EXPECT_EQ(t[3].position, "A");
    EXPECT_TRUE(t[3].used);
    EXPECT_FALSE(t[0].used);
    EXPECT_FALSE(t[1].used);
    EXPECT_TRUE(t[2].used);  // another source keeps its tick
    EXPECT_EQ(s().viewed_trace.peek(), std::optional<std::size_t>(3));
    EXPECT_EQ(s().selected_source.peek(), std::optional<std::string>("Main"));
    EXPECT_EQ(s().current_source_name.peek(), "Main");
    EXPECT_FALSE(s().pending_capture.peek());
    EXPECT_FALSE(s().prompt.peek());
    EXPECT_TRUE(s().unsaved.peek());
    ASSERT_EQ(autosaves.size(), 1u);
    EXPECT_EQ(autosaves[0].session.traces.size(), 4u);

    // A typed name is taken as it is, trimmed; at a new position the source name.
    s().pending_capture.set(make_trace("", "", ""));
    s().prompt.set(Prompt{Prompt::Capture{"Sub"}});
    submit_prompt(s(), "  Sub far  ");
    EXPECT_EQ(s().traces.peek().back().name, "Sub far");
    s().position.set("B");
    s().pending_capture.set(make_trace("", "", ""));
    s().prompt.set(Prompt{Prompt::Capture{"Sub"}});
    submit_prompt(s(), "");
    EXPECT_EQ(s().traces.peek().back().name, "Sub");
}

TEST_F(Prompts, CaptureWithNothingPendingAsksForAnotherEnter) {
    s().sources.set({"Main"});
    s().prompt.set(Prompt{Prompt::Capture{"Main"}});
    submit_prompt(s(), "");
    EXPECT_EQ(s().snapshot.peek().status, "Nothing captured, press Enter again");
    EXPECT_FALSE(s().prompt.peek());
    EXPECT_TRUE(s().traces.peek().empty());
    EXPECT_TRUE(autosaves.empty());

    // No source chosen: nothing happens and the capture keeps waiting.
    s().pending_capture.set(make_trace("", "", ""));
    s().prompt.set(Prompt{Prompt::Capture{""}});
    submit_prompt(s(), "x");
    EXPECT_FALSE(s().prompt.peek());
    EXPECT_TRUE(s().pending_capture.peek());
    EXPECT_TRUE(s().traces.peek().empty());
}

TEST_F(Prompts, EmptyNamesKeepNamingPromptsOpen) {
    for (const Prompt& p : {Prompt{Prompt::NewPosition{}}, Prompt{Prompt::RenamePosition{"A"}},
                            Prompt{Prompt::NewSource{}}, Prompt{Prompt::RenameSource{"Main"}},
                            Prompt{Prompt::RenameTrace{0}}, Prompt{Prompt::SendToWing{"bus 1"}}}) {
        s().prompt.set(p);
        submit_prompt(s(), " \t ");
        EXPECT_EQ(s().prompt.peek(), std::optional<Prompt>(p));
    }
    EXPECT_TRUE(autosaves.empty());
}

TEST_F(Prompts, NewPositionBecomesCurrentWithoutASave) {
    s().prompt.set(Prompt{Prompt::NewPosition{}});
    submit_prompt(s(), " Balcony ");
    EXPECT_EQ(s().position.peek(), "Balcony");
    EXPECT_TRUE(autosaves.empty());
}

TEST_F(Prompts, RenamingOntoAnotherPositionMergesKeepingOneTickPerSource) {
    s().position.set("B");
    s().traces.set({make_trace("Main", "Main", "A"), make_trace("Main", "Main", "B"), make_trace("Sub", "Sub", "B")});
    s().design.update([](engine::design::Design& d) {
        auto& src = d.source_mut("Main");
        src.zones.push_back(engine::design::Zone{.position = "B"});
        src.routes.push_back(engine::design::Route{.zone = "B", .parts = {}, .dest = engine::design::Dest::wing("bus 2")});
    });
    s().prompt.set(Prompt{Prompt::RenamePosition{"B"}});
    submit_prompt(s(), "A");
    const auto& t = s().traces.peek();
    for (const auto& x : t) EXPECT_EQ(x.position, "A");
    EXPECT_TRUE(t[0].used);
    EXPECT_FALSE(t[1].used);  // the first ticked Main trace in list order stays ticked
    EXPECT_TRUE(t[2].used);
    EXPECT_EQ(s().position.peek(), "A");
    const auto& src = s().design.peek().sources[0];
    EXPECT_EQ(src.zones[0].position, "A");
    EXPECT_EQ(src.routes[0].zone, "A");
    EXPECT_EQ(autosaves.size(), 1u);
}

TEST_F(Prompts, DeletingAPositionRemovesItsTracesOnly) {
    s().position.set("B");
    s().traces.set({make_trace("Main", "Main", "A"), make_trace("Main", "Main", "B"), make_trace("Sub", "Sub", "C")});
    s().design.update([](engine::design::Design& d) {
        d.source_mut("Main").zones.push_back(engine::design::Zone{.position = "B"});
    });
    s().prompt.set(Prompt{Prompt::DeletePosition{"B"}});
    submit_prompt(s(), "ignored");
    ASSERT_EQ(s().traces.peek().size(), 2u);
    EXPECT_EQ(s().traces.peek()[1].position, "C");
    EXPECT_EQ(s().design.peek().sources[0].zones.size(), 1u);  // zones naming it stay
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_FALSE(s().prompt.peek());
}

TEST_F(Prompts, DeletingTheCurrentPositionFallsBackToTheLastLeft) {
    struct Case {
        std::vector<std::string> at;  // positions of the traces, in list order
        std::string current, deleted, after;
    };
    const Case cases[] = {
        {{"A", "B", "C", "B"}, "B", "B", "C"},  // the last of the rest, in order of first appearance
        {{"C", "A", "B"}, "B", "B", "A"},
        {{"A", "B"}, "A", "B", "A"},            // another position: the current one stays
        {{"A"}, "A", "A", "Position 1"},        // none left
        {{"A"}, "Empty", "Empty", "A"},         // a position without traces
    };
    for (const auto& c : cases) {
        std::vector<Trace> traces;
        for (const auto& p : c.at) traces.push_back(make_trace("Main", "Main", p));
        s().traces.set(traces);
        s().position.set(c.current);
        s().viewed_trace.set(0);
        s().prompt.set(Prompt{Prompt::DeletePosition{c.deleted}});
        submit_prompt(s(), "");
        EXPECT_EQ(s().position.peek(), c.after) << c.deleted;
        EXPECT_FALSE(s().viewed_trace.peek()) << c.deleted;
    }
}

TEST_F(Prompts, SourcesAreAddedOnceRenamedWithTheirTracesAndDeletedWithThem) {
    s().sources.set({"Main"});
    s().prompt.set(Prompt{Prompt::NewSource{}});
    submit_prompt(s(), "Main");  // exists: closed, nothing added
    EXPECT_FALSE(s().prompt.peek());
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Main"}));
    EXPECT_TRUE(autosaves.empty());

    s().prompt.set(Prompt{Prompt::NewSource{}});
    submit_prompt(s(), "Sub");
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Main", "Sub"}));
    ASSERT_EQ(s().design.peek().sources.size(), 1u);
    EXPECT_EQ(s().design.peek().sources[0].name, "Sub");
    EXPECT_EQ(s().current_source_name.peek(), "Sub");
    EXPECT_EQ(autosaves.size(), 1u);

    s().traces.set({make_trace("Sub", "Sub", "A"), make_trace("Main", "Main", "A")});
    s().selected_source.set("Sub");
    s().prompt.set(Prompt{Prompt::RenameSource{"Sub"}});
    submit_prompt(s(), "Main");  // onto an existing name: nothing
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Main", "Sub"}));
    s().prompt.set(Prompt{Prompt::RenameSource{"Sub"}});
    submit_prompt(s(), "Fill");
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Main", "Fill"}));
    EXPECT_EQ(s().traces.peek()[0].source, "Fill");
    EXPECT_EQ(s().traces.peek()[0].name, "Sub");  // trace names stay
    EXPECT_EQ(s().design.peek().sources[0].name, "Fill");
    EXPECT_EQ(s().current_source_name.peek(), "Fill");
    EXPECT_EQ(s().selected_source.peek(), std::optional<std::string>("Fill"));
    EXPECT_EQ(autosaves.size(), 2u);

    s().prompt.set(Prompt{Prompt::DeleteSource{"Fill"}});
    submit_prompt(s(), "");
    EXPECT_EQ(s().sources.peek(), (std::vector<std::string>{"Main"}));
    ASSERT_EQ(s().traces.peek().size(), 1u);
    EXPECT_EQ(s().traces.peek()[0].source, "Main");
    EXPECT_TRUE(s().design.peek().sources.empty());
    EXPECT_FALSE(s().selected_source.peek());
    EXPECT_EQ(autosaves.size(), 3u);
}

TEST_F(Prompts, TracesAreRenamedAndDeletedByIndexAndAStaleIndexStillSaves) {
    s().traces.set({make_trace("Main", "Main", "A"), make_trace("Sub", "Sub", "A")});
    s().prompt.set(Prompt{Prompt::RenameTrace{1}});
    submit_prompt(s(), "Sub low");
    EXPECT_EQ(s().traces.peek()[1].name, "Sub low");
    s().prompt.set(Prompt{Prompt::RenameTrace{5}});
    submit_prompt(s(), "x");
    s().prompt.set(Prompt{Prompt::DeleteTrace{0}});
    submit_prompt(s(), "");
    ASSERT_EQ(s().traces.peek().size(), 1u);
    EXPECT_EQ(s().traces.peek()[0].name, "Sub low");
    s().prompt.set(Prompt{Prompt::DeleteTrace{5}});
    submit_prompt(s(), "");
    EXPECT_EQ(s().traces.peek().size(), 1u);
    EXPECT_EQ(autosaves.size(), 4u);
}

TEST_F(Prompts, SendToWingKeepsTheAddressAndTarget) {
    s().prompt.set(Prompt{Prompt::SendToWing{"mtx 2"}});
    submit_prompt(s(), " 192.168.1.20 ");
    EXPECT_FALSE(s().prompt.peek());
    EXPECT_EQ(s().settings.peek().wing_ip, "192.168.1.20");
    EXPECT_EQ(s().settings.peek().wing_target, "mtx 2");
    EXPECT_EQ(Settings::load().wing_target, "mtx 2");  // written to the file
}

TEST_F(Prompts, ARightClickOpensTheListMenuForTheRow) {
    reactive::MouseEvent e;
    e.client_x = 120;
    e.client_y = 48.5;
    open_context_menu(s(), e, Prompt{Prompt::RenameTrace{2}});
    EXPECT_EQ(s().menu_target.peek(), std::optional<Prompt>(Prompt{Prompt::RenameTrace{2}}));
    EXPECT_EQ(s().menu_position.peek(), (std::optional<std::pair<double, double>>(std::pair{120.0, 48.5})));
}

}  // namespace
}  // namespace ui::main_window
