#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "api/tests/update_support.h"
#include "base/log.h"
#include "shell/update_install.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/key_events.h"
#include "ui/main_window/core/update_check.h"
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
        server.server.Get(R"(/api/download/.*)", [this, gate = gate](const httplib::Request&, httplib::Response& res) {
            ++downloads;
            gate->wait(nullptr);
            res.set_content(image, "application/gzip");
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
    // Offered records carry what verification needs.
    api::UpdateInfo record{.version_epoch = api::client::PRODUCT.version_epoch + 1,
                           .version_display = "2027.01.02-0304",
                           .platform = api::Platform::VeltrumLinux,
                           .manifest_signature = "c2ln"};
    // The installation's download: held back until the gate opens.
    std::shared_ptr<update_support::Gate> gate = std::make_shared<update_support::Gate>();
    update_support::OpenOnExit open_at_end{gate};
    std::string image;
    std::atomic<int> downloads{0};
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

TEST_F(UpdateCheck, UpdateAsksFirstShowsItsWorkAndReportsAFailure) {
    namespace update = api::client::update;
    const auto run_dir = test_support::scratch("main_window", "update-run");
    test_support::Env runtime("XDG_RUNTIME_DIR", run_dir.c_str());
    const update_support::ReleaseKeys keys;
    image = "a program folder, packed";
    // Signed record, but the image's own signature is by another key.
    auto offered = update_support::signed_record(keys, image, api::client::PRODUCT.version_epoch + 1);
    offered.signature = update_support::ReleaseKeys().sign_digest(api::sha256_bytes(image));
    offered.manifest_signature = keys.sign(update::manifest(*offered.platform, offered));
    auto options = [&] {
        update::InstallOptions o;
        o.release_key = keys.public_b64();
        o.relaunch = [](const update::Restart&) { return std::string("relaunch"); };
        return o;
    };

    // Unsaved changes are asked about first; Cancel ends it, nothing fetched.
    s().unsaved.set(true);
    int done = 0;
    reactive::spawn(counted(install_update(s(), offered, options()), done));
    settle();
    ASSERT_TRUE(dialog());
    EXPECT_TRUE(dialog()->is<Dialog::UnsavedChanges>());
    answer_dialog(s(), Answer::Cancel);
    ASSERT_TRUE(drive([&] { return done == 1; }));
    EXPECT_FALSE(dialog());
    EXPECT_EQ(downloads.load(), 0);

    // Saved: the busy dialog stays while the download is held back; neither
    // Escape nor Enter closes it.
    s().unsaved.set(false);
    base::log::Capture log;
    reactive::spawn(counted(install_update(s(), offered, options()), done));
    const Dialog busy{Dialog::Busy{"Updating to 2027.01.02-0304\u2026", "Downloading and installing the update."}};
    ASSERT_TRUE(drive([&] { return downloads.load() == 1; }));
    EXPECT_EQ(dialog(), busy);
    for (const char* code : {"Escape", "Enter"}) {
        on_key_event(s(), nlohmann::json{{"type", "keydown"}, {"code", code}, {"ctrl", false}, {"shift", false},
                                         {"alt", false}, {"meta", false}, {"typing", false}});
        settle();
        EXPECT_EQ(dialog(), busy) << code;
    }

    gate->open = true;
    ASSERT_TRUE(drive([&] { return done == 2; }));
    EXPECT_EQ(dialog(), (Dialog{Dialog::Message{"Update", "<p>Update failed: update signature verification failed</p>"}}));
    const auto logged = log.with_message("update failed: update signature verification failed");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, base::log::Level::Error);
    EXPECT_EQ(logged[0].target, "Veltrum::ui::main_window");
    // Nothing of the attempt is left in the temporary folder.
    namespace fs = std::filesystem;
    EXPECT_TRUE(std::none_of(fs::directory_iterator(run_dir), fs::directory_iterator(), [](const auto& e) {
        return e.path().filename().native().starts_with("veltrum-dl-");
    }));
}

}  // namespace
}  // namespace ui::main_window
