// The real program installs an update from a local update server: Help >
// Check for Updates... offers it, Update (Enter) swaps the program folder and
// starts the new program, which here is a script that leaves a marker. An
// image whose signature does not verify shows "Update failed: …" and leaves
// the installed program as it was. The records and images are signed with the
// test key pair that the test build trusts.
#include <gdk/gdk.h>
#include <gtk/gtk.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "api/client.h"
#include "api/tests/update_support.h"
#include "api/update.h"
#include "base/tests/support.h"
#include "shell/tests/launch.h"
#include "shell/update_install.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace update = api::client::update;
using api::client::PRODUCT;
using launch::output_of;
using launch::screenshot;
using test_support::slurp;
using test_support::spit;

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    return launch::wait_for(done, limit);
}

std::optional<int> ended(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Stop {
    pid_t pid;
    bool done = false;
    ~Stop() {
        if (!done) launch::stop(pid);
    }
};

// What the program's day log holds so far.
std::string log_text(const fs::path& data) {
    std::string all;
    std::error_code ec;
    for (fs::directory_iterator it(data / "logs", ec), end; !ec && it != end; it.increment(ec)) all += slurp(it->path());
    return all;
}

class UpdateGui : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
        if (update::release_public_key() != keys.public_b64())
            GTEST_SKIP() << "this build does not trust the test signing key (scripts/test builds one that does)";
        root = test_support::scratch("update_gui", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        home = root / "home";
        data = home / api::client::bundle_id("veltrum");
        run_dir = root / "run";
        fs::create_directories(data);
        fs::create_directories(run_dir);
        ::chmod(run_dir.c_str(), 0700);

        // The installed program: the built executable (linked, not copied)
        // and the assets it serves, beside it in bin.
        program_folder = root / "opt" / "Veltrum";
        fs::create_directories(program_folder / "bin");
        const fs::path built(VELTRUM_EXE);
        std::error_code ec;
        fs::create_hard_link(built, program(), ec);
        if (ec) fs::copy_file(built, program());
        fs::create_directory_symlink(built.parent_path() / "assets", program_folder / "bin" / "assets");

        // The new version: a program that records that it was started.
        marker = root / "started";
        const fs::path pack = root / "pack";
        const fs::path script = pack / "veltrum-2027" / "bin" / "veltrum";
        fs::create_directories(script.parent_path());
        spit(script, fmt::format("#!/bin/sh\nprintf '%s' \"$0\" > '{0}.tmp' && mv '{0}.tmp' '{0}'\n", marker.native()));
        ::chmod(script.c_str(), 0755);
        const fs::path tgz = root / "veltrum-2027.tar.gz";
        auto packed = update::run("tar", {"-czf", tgz.native(), "-C", pack.native(), "veltrum-2027"});
        ASSERT_TRUE(packed) << packed.error();
        image = slurp(tgz);

        server.server.Get("/api/update/latest", [this](const httplib::Request&, httplib::Response& res) {
            // The automatic check at start finds nothing new; the menu's does.
            auto r = record;
            if (checks++ == 0) {
                r.version_epoch = PRODUCT.version_epoch;
                r.manifest_signature = keys.sign(update::manifest(*r.platform, r));
            }
            res.set_content(update_support::to_json(r), "application/json");
        });
        server.server.Get(R"(/api/download/.*)", [this](const httplib::Request&, httplib::Response& res) {
            ++downloads;
            res.set_content(image, "application/gzip");
        });
        server.start();
    }

    fs::path program() const { return program_folder / "bin" / "veltrum"; }

    std::optional<launch::Launched> start() {
        const std::map<std::string, std::string> env{{"XDG_DATA_HOME", home.string()},
                                                     {"XDG_RUNTIME_DIR", run_dir.string()},
                                                     {"VELTRUM_SERVER_URL", server.url()},
                                                     {"GSETTINGS_BACKEND", "memory"}};
        return launch::start_and_wait_mapped(program().native(), env, 60s);
    }

    void keys_to(unsigned long window, const std::string& keys_text) {
        output_of(fmt::format("xdotool windowfocus --sync {} key --delay 200 {}", window, keys_text));
    }

    // Help > Check for Updates... with the keyboard: F10 opens the menu bar's
    // first menu, Left wraps round to Help, whose second item is the check.
    // Tried again (after Escape closes whatever opened) while no check came.
    bool check_from_the_menu(unsigned long window) {
        const int before = checks.load();
        for (int attempt = 0; attempt < 5; ++attempt) {
            keys_to(window, "F10 Left Down Down Return");
            if (wait_for([&] { return checks.load() > before; }, 10s)) return true;
            keys_to(window, "Escape Escape");
        }
        return false;
    }
    // The offer's primary action, Enter, pressed until the download starts:
    // the offer is drawn a moment after the check's answer (Enter does
    // nothing in the plain window while nothing is measured).
    bool accept_offer(unsigned long window) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (downloads.load() > 0) return true;
            keys_to(window, "Return");
            if (wait_for([&] { return downloads.load() > 0; }, 5s)) return true;
        }
        return false;
    }

    fs::path root, home, data, run_dir, program_folder, marker;
    std::string image;
    update_support::ReleaseKeys keys = update_support::ReleaseKeys::test_build();
    api::UpdateInfo record;
    std::atomic<int> checks{0};
    std::atomic<int> downloads{0};
    update_support::LocalServer server;
};

TEST_F(UpdateGui, TheOfferInstallsAndStartsTheNewProgram) {
    record = update_support::signed_record(keys, image, PRODUCT.version_epoch + 1);
    auto app = start();
    ASSERT_TRUE(app) << "no window";
    Stop stop{app->pid};
    ASSERT_TRUE(wait_for([&] { return checks.load() >= 1; })) << "no automatic check";
    std::this_thread::sleep_for(1500ms);  // the page is drawn
    const fs::path shots(VELTRUM_ARTIFACT_DIR);
    fs::create_directories(shots);

    ASSERT_TRUE(check_from_the_menu(app->window)) << "the menu did not check";
    std::this_thread::sleep_for(1500ms);  // the offer is drawn
    EXPECT_TRUE(screenshot(shots / "update-offer.png"));
    EXPECT_EQ(downloads.load(), 0);

    // Enter is the offer's primary action, Update.
    ASSERT_TRUE(accept_offer(app->window)) << "Update did not download";
    std::optional<int> status;
    ASSERT_TRUE(wait_for([&] { return (status = ended(app->pid)).has_value(); })) << "the program did not relaunch";
    stop.done = true;
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(downloads.load(), 1);
    // The folder now holds the new program, which was started from there.
    ASSERT_TRUE(wait_for([&] { return fs::exists(marker); }, 30s)) << "the new program was not started";
    EXPECT_EQ(slurp(marker), program().native());
    EXPECT_TRUE(slurp(program()).starts_with("#!/bin/sh\n"));
    EXPECT_FALSE(fs::exists(program_folder.native() + ".old"));
    EXPECT_FALSE(fs::exists(program_folder.native() + ".new"));
    for (const auto& e : fs::directory_iterator(run_dir))
        EXPECT_FALSE(e.path().filename().native().starts_with("veltrum-dl-")) << e.path();
}

TEST_F(UpdateGui, ABadSignatureIsReportedAndChangesNothing) {
    record = update_support::signed_record(keys, image, PRODUCT.version_epoch + 1);
    // The image's own signature by another key; the record is still signed.
    record.signature = update_support::ReleaseKeys().sign_digest(api::sha256_bytes(image));
    record.manifest_signature = keys.sign(update::manifest(*record.platform, record));
    struct stat before {};
    ASSERT_EQ(::stat(program().c_str(), &before), 0);

    auto app = start();
    ASSERT_TRUE(app) << "no window";
    Stop stop{app->pid};
    ASSERT_TRUE(wait_for([&] { return checks.load() >= 1; })) << "no automatic check";
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(check_from_the_menu(app->window)) << "the menu did not check";
    ASSERT_TRUE(accept_offer(app->window)) << "Update did not download";

    ASSERT_TRUE(wait_for([&] {
        return log_text(data).find("update failed: update signature verification failed") != std::string::npos;
    })) << log_text(data);
    std::this_thread::sleep_for(1000ms);  // the message is drawn
    const fs::path shots(VELTRUM_ARTIFACT_DIR);
    EXPECT_TRUE(screenshot(shots / "update-failed.png"));
    EXPECT_FALSE(ended(app->pid)) << "the program ended";
    EXPECT_EQ(downloads.load(), 1);
    struct stat after {};
    ASSERT_EQ(::stat(program().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the installed program was replaced";
    EXPECT_FALSE(fs::exists(marker));
    for (const auto& e : fs::directory_iterator(run_dir))
        EXPECT_FALSE(e.path().filename().native().starts_with("veltrum-dl-")) << e.path();
    // OK closes the message; the program goes on.
    keys_to(app->window, "Return");
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(ended(app->pid));
}

}  // namespace
