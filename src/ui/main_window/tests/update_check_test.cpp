#include <gtest/gtest.h>

#include <atomic>

#include "api/tests/update_support.h"
#include "ui/main_window/dialogs.h"
#include "ui/main_window/update_check.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

// Help > Check for Updates... and the automatic check against a local
// update server.
class UpdateCheck : public testing::Window {
protected:
    void SetUp() override {
        testing::Window::SetUp();
        server.server.Get("/api/update/latest", [this](const httplib::Request&, httplib::Response& res) {
            ++requests;
            if (status != 200) {
                res.status = status;
                return;
            }
            res.set_content(update_support::to_json(record), "application/json");
        });
        server.start();
        env.emplace("VELTRUM_SERVER_URL", server.url().c_str());
    }
    static reactive::Task<void> counted(reactive::Task<void> task, int& done) {
        auto t = std::move(task);
        co_await std::move(t);
        ++done;
    }
    // Runs one check until it ends, or until it waits for the open dialog.
    void run_check(bool manual) {
        const int before = requests;
        const int finished = checks;
        reactive::spawn(counted(check_for_updates(s(), manual), checks));
        ASSERT_TRUE(drive([&] { return checks > finished || (requests > before && waiting()); }));
    }
    // The automatic check found an update and waits: the request was
    // answered, the check has not ended and its timer is pending.
    bool waiting() { return loop.pending_timers() > 0; }
    std::optional<Dialog> dialog() { return s().dialog.peek(); }

    int checks = 0;
    update_support::LocalServer server;
    std::optional<test_support::Env> env;
    std::atomic<int> requests{0};
    std::atomic<int> status{200};
    api::UpdateInfo record{.version_epoch = api::client::PRODUCT.version_epoch + 1, .version_display = "2027.01.02-0304"};
};

TEST_F(UpdateCheck, FromTheMenuEveryOutcomeIsShown) {
    run_check(true);
    ASSERT_TRUE(dialog());
    ASSERT_TRUE(dialog()->is<Dialog::UpdateAvailable>());
    EXPECT_EQ(std::get<Dialog::UpdateAvailable>(dialog()->kind).info.version_display, "2027.01.02-0304");

    record.version_epoch = api::client::PRODUCT.version_epoch;  // same build, whatever its display text
    run_check(true);
    EXPECT_EQ(dialog(), (Dialog{Dialog::Message{"Up to date", "<p>Veltrum 2026.10.13-1126 is the latest version.</p>"}}));

    status = 404;
    run_check(true);
    const auto failed = dialog();
    const auto* m = std::get_if<Dialog::Message>(&failed->kind);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->title, "Update");
    EXPECT_TRUE(m->html.starts_with("<p>Update check failed: HTTP status client error (404 Not Found) for url (")) << m->html;
}

TEST_F(UpdateCheck, TheAutomaticCheckOnlyLogsFailuresAndWaitsForAnOpenDialog) {
    status = 500;
    run_check(false);
    EXPECT_FALSE(dialog());
    status = 200;
    record.version_epoch = api::client::PRODUCT.version_epoch;
    run_check(false);
    EXPECT_FALSE(dialog());

    record.version_epoch = api::client::PRODUCT.version_epoch + 5;
    show_dialog(s(), Dialog{Dialog::RecoverChanges{}});
    run_check(false);
    EXPECT_TRUE(dialog()->is<Dialog::RecoverChanges>());  // not replaced
    answer_dialog(s(), Answer::Decline);
    loop.advance(NO_DIALOG_POLL);
    settle();
    ASSERT_TRUE(dialog());
    EXPECT_TRUE(dialog()->is<Dialog::UpdateAvailable>());
}

}  // namespace
}  // namespace ui::main_window
