#include <gtest/gtest.h>

#include "reactive/dom.h"
#include "shared-ui/components/button.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using Dialogs = testing::Window;

reactive::Task<void> ask_into(WindowState s, Dialog d, std::optional<Answer>& out) {
    auto asking = ask(s, std::move(d));
    out = co_await std::move(asking);
}

TEST_F(Dialogs, ASecondQuestionCancelsTheFirst) {
    std::optional<Answer> first, second;
    reactive::spawn(ask_into(s(), Dialog{Dialog::UnsavedChanges{"A"}}, first));
    reactive::spawn(ask_into(s(), Dialog{Dialog::RecoverChanges{}}, second));
    settle();
    EXPECT_EQ(first, Answer::Cancel);
    EXPECT_FALSE(second);
    answer_dialog(s(), Answer::Decline);
    settle();
    EXPECT_EQ(second, Answer::Decline);
    EXPECT_FALSE(s().dialog.peek());
}

TEST_F(Dialogs, AMessageReplacesAWaitingQuestion) {
    std::optional<Answer> a;
    reactive::spawn(ask_into(s(), Dialog{Dialog::UnsavedChanges{"A"}}, a));
    show_message(s(), "Open failed", "Could not read x");
    settle();
    EXPECT_EQ(a, Answer::Cancel);
    EXPECT_EQ(s().dialog.peek(), (Dialog{Dialog::Message{"Open failed", "<p>Could not read x</p>"}}));
    answer_dialog(s(), Answer::Confirm);  // nobody waits: only closes
    EXPECT_FALSE(s().dialog.peek());
}

TEST_F(Dialogs, PrimaryActions) {
    int starts = 0;
    s().start_analyzer = [&] { ++starts; };
    dialog_action(s());  // none: nothing

    show_dialog(s(), Dialog{Dialog::Message{"t", "h"}});
    dialog_action(s());
    EXPECT_FALSE(s().dialog.peek());

    std::optional<api::UpdateInfo> installing;
    s().install_update = [&](api::UpdateInfo i) { installing = i; };
    show_dialog(s(), Dialog{Dialog::UpdateAvailable{api::UpdateInfo{.version_display = "2.0"}}});
    dialog_action(s());
    EXPECT_FALSE(s().dialog.peek());
    ASSERT_TRUE(installing);
    EXPECT_EQ(installing->version_display, "2.0");

    show_dialog(s(), Dialog{Dialog::Busy{"Installing", "wait"}});
    dialog_action(s());
    EXPECT_TRUE(s().dialog.peek());

    show_dialog(s(), Dialog{Dialog::StartMeasurement{}});
    dialog_action(s());
    EXPECT_FALSE(s().dialog.peek());
    EXPECT_EQ(starts, 1);

    std::optional<Answer> a;
    reactive::spawn(ask_into(s(), Dialog{Dialog::RecoverChanges{}}, a));
    dialog_action(s());
    settle();
    EXPECT_EQ(a, Answer::Confirm);
}


// An element as the page gets it.
std::string render(reactive::Element e) {
    reactive::ManualLoop loop;
    reactive::dom::Document doc;
    reactive::Root root(loop, [&](reactive::EditBatch b) { EXPECT_TRUE(doc.apply(b)); });
    root.mount(std::move(e));
    return doc.html();
}
std::string render(const Dialog& d) {
    return render(reactive::component(message_dialog, MessageDialogProps{d, {}, {}, {}}));
}

TEST(MessageDialog, Markup) {
    const auto row = [](std::string dismiss, std::string alt, std::string primary) {
        return "<div class=\"horizontal space-between\">" + dismiss + "<div class=\"horizontal\">" + alt +
               "<div class=\"alert-button-submit\">" + primary + "</div></div></div>";
    };
    // The kit's flat button.
    const auto btn = [](std::string label) {
        using namespace shared_ui::components::button;
        return render(reactive::component(
            default_button, ButtonProps{.button_type = ButtonType::Flat, .label = label, .onclick = [](const auto&) {}}));
    };
    const auto card = [](std::string title, std::string body, std::string buttons) {
        return "<div class=\"alert-background\"><div class=\"alert-card vertical\"><div class=\"alert-title label\">" +
               title + "</div><div class=\"alert-content label\">" + body + "</div>" + buttons + "</div></div>";
    };
    struct Case {
        Dialog d;
        std::string html;
    };
    const Case cases[] = {
        {Dialog{Dialog::Message{"Open failed", "<p>x</p>"}}, card("Open failed", "<p>x</p>", row("<div></div>", "", btn("OK")))},
        {Dialog{Dialog::UpdateAvailable{api::UpdateInfo{.version_epoch = 2, .version_display = "1.4", .notes = "Faster plots"}}},
         card("Update available: 1.4", "<p>Faster plots</p><p>The app will restart to apply the update.</p>",
              row(btn("Later"), "", btn("Update")))},
        {Dialog{Dialog::Busy{"Updating", "Installing"}}, card("Updating", "<p>Installing</p>", "")},
        {Dialog{Dialog::StartMeasurement{}},
         card("Start Measurement",
              "<p>Find on start is on: the measurement will search for the delay and replace the current one.</p>",
              row(btn("Cancel"), "", btn("Start")))},
        {Dialog{Dialog::UnsavedChanges{"a<b & c"}},
         card("Unsaved Changes", "<p>Save changes to a&lt;b &amp; c?</p>",
              row(btn("Cancel"), btn("Don't Save"), btn("Save")))},
        {Dialog{Dialog::RecoverChanges{}},
         card("Recover Changes", "<p>The last run ended with unsaved changes. Recover them?</p>",
              row("<div></div>", btn("Discard"), btn("Recover")))},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.d), c.html);
}

reactive::Task<void> save_twice(WindowState st, std::vector<std::optional<base::Result<Path>>>& out) {
    const std::string title = "Export strips", name = "veltrum-strips.txt", filter = "Text";
    const std::vector<std::string> ext{"txt"};
    auto first = save_as(st, title, name, filter, ext, "new");
    out.push_back(co_await std::move(first));
    auto second = save_as(st, title, name, filter, ext, "never");
    out.push_back(co_await std::move(second));
}

TEST_F(Dialogs, SaveAsWritesOnePlainFile) {
    const Path target = home_ / "strips.txt";
    test_support::spit(target, "older and longer content");
    panel_answers->push_back(target);
    panel_answers->push_back(std::nullopt);
    std::vector<std::optional<base::Result<Path>>> results;
    reactive::spawn(save_twice(s(), results));
    loop.advance(DIALOG_PAUSE - std::chrono::milliseconds(1));
    EXPECT_TRUE(panels->empty());  // the pause comes first
    loop.advance(std::chrono::milliseconds(1) + DIALOG_PAUSE);
    ASSERT_EQ(results.size(), 2u);
    ASSERT_TRUE(results[0] && *results[0]);
    EXPECT_EQ(**results[0], target);
    EXPECT_EQ(test_support::slurp(target), "new");
    EXPECT_FALSE(results[1]);
    EXPECT_EQ((*panels)[0].title, "Export strips");
    EXPECT_EQ((*panels)[0].suggested_name, "veltrum-strips.txt");
    EXPECT_FALSE((*panels)[0].folder);
}

}  // namespace
}  // namespace ui::main_window
