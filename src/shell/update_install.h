#pragma once
// The update check and the installation as tasks of the UI thread: a
// verified update installed over the running program folder, and the
// relaunch into it.
//
// The program folder is the folder that holds bin/<product id> and the
// program's assets (what `cmake --install` lays out). An update image is a
// .tar.gz holding such a folder. Staging unpacks it in a private folder, copies
// the new program folder beside the running one as "<folder>.new", swaps the
// two by renaming (the old one set aside as "<folder>.old" until the new one
// is in place) and relaunches bin/<product id> of the new folder.
//
// The window calls, from tasks on the UI thread:
//   auto latest = co_await check(PRODUCT);   // error text, nothing, or a newer record
//   auto failure = co_await download_and_install_with(PRODUCT, info, [&] { stop workers });
// which returns only on failure (the text goes into "Update failed: {}").
// While it stages, is_staging() is true: the window's close handler refuses
// to quit then, so that the program folder is never left half swapped.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/http.h"
#include "api/product.h"
#include "api/update.h"
#include "base/result.h"
#include "reactive/task.h"

namespace api::client::update {

// Asks the update server for a newer build (fetch_latest on the blocking
// pool): an error text, nothing when the server's build is not newer, or the
// newer record.
reactive::Task<base::Result<std::optional<UpdateInfo>>> check(Product product, HttpClient client = http());

// The user's temporary folder: $XDG_RUNTIME_DIR when set (private to the
// user), else $TMPDIR, else /tmp.
std::filesystem::path user_temp_dir();

// A new private download folder "<product id>-dl-<16 hex digits>" (mode 0700,
// created exclusively) in the user's temporary folder, after deleting the
// folders of that name pattern that this user owns there (real folders, not
// links; failures ignored). Failure: the system error's text.
base::Result<std::filesystem::path> private_temp_dir(std::string_view product_id);

// Runs a program found on PATH with exactly these arguments, no standard
// input, its output captured, and waits for it. Failures:
// "<program>: <system error>" when it cannot start, "<program> failed:
// <its standard error>" when it does not end with success.
base::Result<void> run(std::string_view program, const std::vector<std::string>& args);

// The success of staging: the program folder, now holding the new version.
struct Restart {
    std::filesystem::path folder;
    std::string product_id = "veltrum";

    // <folder>/bin/<product id>
    std::filesystem::path program() const;
    // Starts `sh -c 'sleep 1; exec "$0"' <program>` with the standard streams
    // inherited and no other open files, without waiting for it.
    base::Result<pid_t> start() const;
    // start(), then ends this process with status 0 at once. Returns only
    // when sh cannot be started, with the system error's text.
    std::string run() const;

    bool operator==(const Restart&) const = default;
};

struct StageOptions {
    // The running executable (read from /proc/self/exe by default).
    std::function<base::Result<std::filesystem::path>()> running_executable;
};

// Installs the image over the running program folder (blocking; for the
// blocking pool):
//  1. writes the bytes to `image`;
//  2. removes a leftover unpack folder "<product id>-update-mount" beside it;
//  3. unpacks the image there with tar;
//  4. takes the first entry that is a folder holding bin/<product id>
//     ("no program folder found in update image");
//  5. finds the running program folder, whose bin holds only the program
//     ("running binary is not inside a program folder");
//  6. removes leftover "<folder>.new" and "<folder>.old";
//  7. copies the new folder to "<folder>.new" with `cp -a`;
//  8. renames the folder to "<folder>.old" ("swap out old bundle: {}");
//  9. renames "<folder>.new" to the folder ("swap in new bundle: {}", after
//     renaming the old one back);
// 10. removes "<folder>.old".
// Once step 3 succeeded, every outcome removes the unpack folder, the image
// and the download folder when it is then empty.
base::Result<Restart> stage(const std::filesystem::path& image, std::string_view bytes,
                            std::string_view product_id, const StageOptions& options = {});

// True while an installation stages (from the download folder's creation to
// the relaunch or a failure).
bool is_staging();

struct InstallOptions {
    HttpClient http{DOWNLOAD_TIME_LIMIT};
    std::string release_key{release_public_key()};
    StageOptions stage{};
    // What ends the installation; Restart::run by default.
    std::function<std::string(const Restart&)> relaunch{};
};

// Downloads, verifies and stages the offered update, then runs
// `before_relaunch` on the calling (UI) thread and relaunches. The download,
// verification and staging run on the blocking pool. Returns only on
// failure, with its text: the HTTP layer's texts, "update size mismatch",
// "no release public key baked into this build", the verification texts, the
// staging texts, or the relaunch's.
reactive::Task<std::string> download_and_install_with(Product product, UpdateInfo info,
                                                      std::function<void()> before_relaunch,
                                                      InstallOptions options = {});

}  // namespace api::client::update
