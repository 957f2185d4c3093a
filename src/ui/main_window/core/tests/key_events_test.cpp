#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/key_events.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using engine::settings::View;
using nlohmann::json;
using testing::make_trace;

json key(std::string code, bool ctrl = false, bool typing = false) {
    return json{{"type", "keydown"}, {"code", std::move(code)}, {"ctrl", ctrl}, {"shift", false},
                {"alt", false},      {"meta", false},           {"typing", typing}};
}

// What a key changed, as the cases look at it.
struct Obs {
    WindowState* st;
    int captures;
    WindowState& s() const { return *st; }
    std::string status() const { return st->snapshot.peek().status; }
};

class Keys : public testing::Window {
protected:
    void SetUp() override {
        testing::Window::SetUp();
        captures = 0;
        exits = 0;
        s().capture_trace = [this] { ++captures; };
        host_->exit = [this] { ++exits; };
    }
    std::string status() const { return state_->snapshot.peek().status; }
    int captures = 0;
    int exits = 0;
};

// Who takes a key: an open dialog, then an open prompt, then the Find-delay
// panel, then a text field, then the shown view.
TEST_F(Keys, DispatchPrecedence) {
    struct Case {
        std::string what;
        std::function<void(WindowState&)> setup;
        json event;
        std::function<bool(const Obs&)> outcome;
    };
    const auto dialog = [](Dialog d) { return [d](WindowState& st) { st.dialog.set(d); }; };
    const auto prompt = [](Prompt p) { return [p](WindowState& st) { st.prompt.set(p); }; };
    const auto nothing_happened = [](const Obs& k) {
        return k.captures == 0 && k.status().empty() && k.s().settings.peek().view == View::Transfer &&
               k.s().settings.peek().left_pane && k.s().settings.peek().dark_mode;  // dark by default
    };
    const Case cases[] = {
        {"Escape answers a dialog Cancel", dialog(Dialog{Dialog::Message{"t", "h"}}), key("Escape"),
         [](const Obs& k) { return !k.s().dialog.peek(); }},
        {"Enter runs its primary action", dialog(Dialog{Dialog::Message{"t", "h"}}), key("Enter"),
         [](const Obs& k) { return !k.s().dialog.peek() && k.captures == 0; }},
        {"Escape leaves Busy alone", dialog(Dialog{Dialog::Busy{"Updating", "wait"}}), key("Escape"),
         [](const Obs& k) { return k.s().dialog.peek().has_value(); }},
        {"Enter does nothing for Busy", dialog(Dialog{Dialog::Busy{"Updating", "wait"}}), key("Enter"),
         [](const Obs& k) { return k.s().dialog.peek().has_value(); }},
        {"a dialog swallows Space", dialog(Dialog{Dialog::Message{"t", "h"}}), key("Space"),
         [&](const Obs& k) { return k.s().dialog.peek().has_value() && nothing_happened(k); }},
        {"a dialog comes before a prompt",
         [](WindowState& st) {
             st.prompt.set(Prompt{Prompt::NewSource{}});
             st.dialog.set(Dialog{Dialog::Message{"t", "h"}});
         },
         key("Escape"), [](const Obs& k) { return !k.s().dialog.peek() && k.s().prompt.peek().has_value(); }},
        {"Escape closes a prompt and the open list",
         [](WindowState& st) {
             st.prompt.set(Prompt{Prompt::NewSource{}});
             st.open_dropdown.set(shared_ui::components::dropdown::OpenDropdown{});
         },
         key("Escape"), [](const Obs& k) { return !k.s().prompt.peek() && !k.s().open_dropdown.peek(); }},
        {"Enter confirms a deletion", prompt(Prompt{Prompt::DeleteTrace{0}}), key("Enter"),
         [](const Obs& k) { return !k.s().prompt.peek() && k.s().traces.peek().empty(); }},
        {"Enter leaves a naming prompt to its field", prompt(Prompt{Prompt::RenameTrace{0}}), key("Enter"),
         [&](const Obs& k) { return k.s().prompt.peek().has_value() && nothing_happened(k); }},
        {"a prompt swallows Space and letters", prompt(Prompt{Prompt::Capture{"Main"}}), key("KeyQ"),
         [&](const Obs& k) { return k.s().prompt.peek().has_value() && nothing_happened(k); }},
        {"an alignment takes Escape: it reverts", [](WindowState& st) { st.align_session.set(AlignSession{.aligned = "Main"}); },
         key("Escape"), [](const Obs& k) { return !k.s().align_session.peek(); }},
        {"an alignment swallows Space and Enter",
         [](WindowState& st) { st.align_session.set(AlignSession{.aligned = "Main"}); }, key("Enter"),
         [&](const Obs& k) { return k.s().align_session.peek().has_value() && nothing_happened(k); }},
        {"the Find-delay panel takes Enter", [](WindowState& st) { st.delay_panel.set(true); }, key("Enter"),
         [](const Obs& k) { return !k.s().delay_panel.peek() && k.captures == 0; }},
        {"the Find-delay panel takes Escape", [](WindowState& st) { st.delay_panel.set(true); }, key("Escape"),
         [](const Obs& k) { return !k.s().delay_panel.peek(); }},
        {"the Find-delay panel swallows Space", [](WindowState& st) { st.delay_panel.set(true); }, key("Space"),
         [&](const Obs& k) { return k.s().delay_panel.peek() && nothing_happened(k); }},
        {"typing drops letters", {}, key("KeyQ", false, true), nothing_happened},
        {"typing drops Cmd+V", {}, key("KeyV", true, true), nothing_happened},
        {"typing passes Escape", [](WindowState& st) { st.open_dropdown.set(shared_ui::components::dropdown::OpenDropdown{}); },
         key("Escape", false, true), [](const Obs& k) { return !k.s().open_dropdown.peek(); }},
        {"Space starts a run", {}, key("Space"), [](const Obs& k) { return k.status() == "Pick an input device first"; }},
        {"Space stops a running one",
         [](WindowState& st) { st.snapshot.update([](engine::analyzer::Snapshot& x) { x.running = true; }); },
         key("Space"), [](const Obs& k) { return k.status() == "Stopped"; }},
        {"Enter captures", {}, key("Enter"), [](const Obs& k) { return k.captures == 1; }},
        {"Ctrl+Enter does not", {}, key("Enter", true), nothing_happened},
        {"Q folds the sidebar", {}, key("KeyQ"), [](const Obs& k) { return !k.s().settings.peek().left_pane; }},
        {"E folds the right pane", {}, key("KeyE"), [](const Obs& k) { return !k.s().settings.peek().right_pane; }},
        {"I hides the impulse response", {}, key("KeyI"), [](const Obs& k) { return !k.s().settings.peek().show_ir; }},
        {"A switches accumulation", {}, key("KeyA"), [](const Obs& k) { return !k.s().settings.peek().accumulate; }},
        {"X switches Predicted", {}, key("KeyX"), [](const Obs& k) { return k.s().show_predicted.peek(); }},
        {"L locks the level", {}, key("KeyL"), [](const Obs& k) { return k.s().level_lock.peek().has_value(); }},
        {"Cmd+V switches dark mode", {}, key("KeyV", true), [](const Obs& k) { return !k.s().settings.peek().dark_mode; }},
        {"V alone does not", {}, key("KeyV"), nothing_happened},
        {"Cmd+S is the menu's", {}, key("KeyS", true), nothing_happened},
        {"S shows the SPL view", {}, key("KeyS"), [](const Obs& k) { return k.s().settings.peek().view == View::Spl; }},
        {"Escape clears a prompt in the view too", {}, key("Escape"), nothing_happened},
        {"not a keydown", {}, json{{"type", "keyup"}, {"code", "Space"}}, nothing_happened},
        {"not an object", {}, json::array({"keydown", "Space"}), nothing_happened},
        {"no code", {}, json{{"type", "keydown"}, {"code", 5}}, nothing_happened},
        {"in the SPL view S goes back",
         [](WindowState& st) {
             engine::settings::SettingsStoreImplExt::update(st.settings, [](Settings& x) { x.view = View::Spl; });
         },
         key("KeyS"), [](const Obs& k) { return k.s().settings.peek().view == View::Transfer; }},
        {"in the SPL view Space and Enter do nothing",
         [](WindowState& st) {
             engine::settings::SettingsStoreImplExt::update(st.settings, [](Settings& x) { x.view = View::Spl; });
         },
         key("Space"), [](const Obs& k) { return k.status().empty() && k.captures == 0; }},
        {"in the SPL view Cmd+V switches dark mode",
         [](WindowState& st) {
             engine::settings::SettingsStoreImplExt::update(st.settings, [](Settings& x) { x.view = View::Spl; });
         },
         key("KeyV", true), [](const Obs& k) { return !k.s().settings.peek().dark_mode; }},
    };
    for (const auto& c : cases) {
        SetUp();
        s().traces.set({make_trace("Main", "Main", "Position 1")});
        if (c.setup) c.setup(s());
        on_key_event(s(), c.event);
        settle();
        EXPECT_TRUE(c.outcome(Obs{&s(), captures})) << c.what;
    }
}

TEST_F(Keys, AQuestionIsAnsweredCancelByEscape) {
    s().unsaved.set(true);
    reactive::spawn(quit(s()));
    settle();
    ASSERT_TRUE(s().dialog.peek() && s().dialog.peek()->is<Dialog::UnsavedChanges>());
    on_key_event(s(), key("Escape"));
    settle();
    EXPECT_FALSE(s().dialog.peek());
    EXPECT_EQ(exits, 0);
}

TEST(RecentIds, ReadTheEntryNumber) {
    struct Case {
        std::string id;
        std::optional<std::size_t> entry;
    };
    const Case cases[] = {
        {"recent_0", 0},          {"recent_2", 2},       {"recent_+2", 2},          {"recent_3", std::nullopt},
        {"recent_", std::nullopt}, {"recent_+", std::nullopt}, {"recent_-1", std::nullopt}, {"recent_x", std::nullopt},
        {"recent_2x", std::nullopt}, {"recent_ 2", std::nullopt}, {"recent_++2", std::nullopt},
        {"recent_99999999999999999999999", std::nullopt}, {"recent2", std::nullopt}, {"file_recent_1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(recent_index(c.id, 3), c.entry) << c.id;
}

TEST_F(Keys, RecentMenuIdsOpenTheirEntry) {
    const std::vector<Path> recent{home_ / "a.vtproject", home_ / "b.vtproject", home_ / "c.vtproject"};
    engine::settings::SettingsStoreImplExt::update(s().settings, [&](Settings& x) { x.recent_projects = recent; });
    for (const char* id : {"recent_3", "recent_", "recent_-1", "recent_x", "help_version", "nonsense"}) {
        on_menu_event(s(), id);
        settle();
        EXPECT_FALSE(s().dialog.peek()) << id;
    }
    for (const char* id : {"recent_2", "recent_+2"}) {
        on_menu_event(s(), id);
        // The third file does not exist: opening it fails with its path.
        ASSERT_TRUE(drive([&] { return s().dialog.peek().has_value(); })) << id;
        const auto* m = std::get_if<Dialog::Message>(&s().dialog.peek()->kind);
        ASSERT_TRUE(m) << id;
        EXPECT_EQ(m->title, "Open failed");
        EXPECT_NE(m->html.find("c.vtproject"), std::string::npos) << m->html;
        s().dialog.set(std::nullopt);
    }
}

TEST_F(Keys, OpenedFilesOpenTheLastLocalOne) {
    on_open_urls(s(), {"file://otherhost/x/one.vtproject", "https://example.com/two.vtproject"});
    settle();
    EXPECT_FALSE(s().dialog.peek());
    on_open_urls(s(), {"file:///x/first.vtproject", "file://localhost/x/sec%20ond.vtproject",
                       "file://10.0.0.1/x/third.vtproject"});
    ASSERT_TRUE(drive([&] { return s().dialog.peek().has_value(); }));
    const auto* m = std::get_if<Dialog::Message>(&s().dialog.peek()->kind);
    ASSERT_TRUE(m);
    EXPECT_NE(m->html.find("/x/sec ond.vtproject"), std::string::npos) << m->html;
}

TEST_F(Keys, CloseAsksAboutUnsavedChangesAndCancelKeepsRunning) {
    bool installed = false;
    std::function<bool()> handler;
    host_->set_close_handler = [&](std::function<bool()> f) {
        installed = true;
        handler = std::move(f);
    };
    install_key_and_menu_handlers(s());
    ASSERT_TRUE(installed);

    s().unsaved.set(true);
    EXPECT_FALSE(handler());
    settle();
    ASSERT_TRUE(s().dialog.peek() && s().dialog.peek()->is<Dialog::UnsavedChanges>());
    EXPECT_FALSE(handler());  // a second request while the question is open changes nothing
    settle();
    answer_dialog(s(), Answer::Cancel);
    settle();
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(autosave_removals, 0);
    EXPECT_TRUE(s().unsaved.peek());

    EXPECT_FALSE(handler());
    settle();
    answer_dialog(s(), Answer::Decline);  // Don't Save
    settle();
    EXPECT_EQ(autosave_removals, 1);
    EXPECT_EQ(exits, 1);
}

TEST_F(Keys, QuitWithoutChangesEndsAtOnceAndTheMenuQuitGoesThroughTheWindow) {
    int close_requests = 0;
    host_->request_close = [&] { ++close_requests; };
    on_menu_event(s(), "app_quit");
    EXPECT_EQ(close_requests, 1);
    EXPECT_EQ(exits, 0);
    EXPECT_FALSE(on_close_requested(s()));
    settle();
    EXPECT_EQ(exits, 1);
    EXPECT_FALSE(s().dialog.peek());
}

TEST_F(Keys, MenuAndOpenedFilesReachTheWindowThroughItsHost) {
    std::function<void(const std::string&)> menu;
    std::function<void(const std::vector<std::string>&)> open;
    host_->set_menu_handler = [&](auto f) { menu = std::move(f); };
    host_->set_open_handler = [&](auto f) { open = std::move(f); };
    install_key_and_menu_handlers(s());
    ASSERT_TRUE(menu && open);
    s().unsaved.set(true);
    menu("file_new");
    settle();
    EXPECT_TRUE(s().dialog.peek() && s().dialog.peek()->is<Dialog::UnsavedChanges>());
    answer_dialog(s(), Answer::Cancel);
    settle();
    open({"file:///nowhere/x.vtproject"});
    settle();
    EXPECT_TRUE(s().dialog.peek() && s().dialog.peek()->is<Dialog::UnsavedChanges>());
}

}  // namespace
}  // namespace ui::main_window
