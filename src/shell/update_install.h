#pragma once
// The update check and the installation as tasks of the UI thread: a
// verified update installed over the running program folder, and the
// relaunch into it.
//
// The program folder is the folder that holds bin/<product id> (beside it in
// bin only the "assets" folder the program serves its pages from) and
// whatever else the program brings. An update image is a .tar.gz holding such
// a folder. The record is checked before anything is fetched; the image is
// streamed into a private folder, checked, and only then unpacked there
// (regular files, folders and links that stay inside, no setuid or setgid
// bit, bounded in size). Staging copies
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
#include <cstdint>
#include <functional>
#include <utility>
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
// links; failures ignored). Failure: the system error's text. The
// installation calls it only while it holds the InstallLock, so that it never
// deletes the folder of an installation under way.
base::Result<std::filesystem::path> private_temp_dir(std::string_view product_id);

inline constexpr std::string_view ALREADY_INSTALLING = "an update is already being installed";

// One installation at a time, across processes: an exclusive lock (flock) on
// "<product id>-update.lock" in the user's temporary folder, held as long as
// this value lives. The relaunched program does not inherit it.
class InstallLock {
public:
    // Fails with "an update is already being installed" while another holds
    // it, or with the system error's text.
    static base::Result<InstallLock> take(std::string_view product_id);
    InstallLock(InstallLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    InstallLock& operator=(InstallLock&&) = delete;
    ~InstallLock();

private:
    explicit InstallLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The folder beside the program in bin that may be swapped with it.
inline constexpr std::string_view ASSETS_FOLDER = "assets";

// The most an image of `image_size` bytes may unpack to (its tar stream,
// headers included): 16 times its size, and 1 MiB more for the headers and
// padding of a small image.
constexpr std::uint64_t unpack_limit(std::uint64_t image_size) { return 16 * image_size + (std::uint64_t{1} << 20); }

// Reads the whole gzip-compressed tar image before anything of it is
// unpacked, and admits it only when every entry is a regular file, a folder
// or a symbolic link, at a relative path without ".." that passes through no
// link, a link leads to a place inside the image without passing through
// another link, no entry has the setuid or setgid bit or comes twice, and the
// tar stream up to its end marker stays within `limit` bytes. Refusals:
//   "update image holds {path}, which is not a regular file, folder or link"
//   "update image holds {path} with the setuid or setgid bit"
//   "update image holds {path}, outside the image" (absolute, "..", below a link)
//   "update image holds {path}, a link leading outside the image"
//   "update image holds {path} twice"
//   "update image unpacks to more than {limit} bytes"
//   "update image uses a tar extension that is not admitted: {pax key}"
//   "update image is not a gzip-compressed tar archive", "update image is damaged"
// or the system error's text when it cannot be read.
base::Result<void> check_image(const std::filesystem::path& image, std::uint64_t limit);

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

// Installs the image (already written to `image`, in the private download
// folder) over the running program folder (blocking; for the blocking pool):
//  1. check_image with unpack_limit of the image's size;
//  2. removes a leftover unpack folder "<product id>-update-mount" beside it;
//  3. unpacks the image there with tar, owned by the running user, with the
//     image's modes less the umask;
//  4. takes the first entry that is a folder holding bin/<product id>
//     ("no program folder found in update image");
//  5. finds the running program folder, whose bin holds only the program
//     and its assets ("running binary is not inside a program folder");
//  6. removes leftover "<folder>.new" and "<folder>.old";
//  7. copies the new folder to "<folder>.new" with `cp -a`;
//  8. renames the folder to "<folder>.old" ("swap out old bundle: {}");
//  9. renames "<folder>.new" to the folder ("swap in new bundle: {}", after
//     renaming the old one back);
// 10. removes "<folder>.old".
// Every outcome removes the unpack folder, the image and the download folder
// when it is then empty.
base::Result<Restart> stage(const std::filesystem::path& image, std::string_view product_id,
                            const StageOptions& options = {});

// True while an installation stages (from the start of the download to the
// relaunch or a failure).
bool is_staging();

struct InstallOptions {
    HttpClient http{DOWNLOAD_TIME_LIMIT};
    std::string release_key{release_public_key()};
    StageOptions stage{};
    // What ends the installation; Restart::run by default.
    std::function<std::string(const Restart&)> relaunch{};
};

// Checks the record (verify_record and image_file_name of api/update.h), then
// on the blocking pool takes the InstallLock, makes the private download
// folder, streams the image into it, checks it (verify_image) and stages it;
// then runs `before_relaunch` on the calling (UI) thread and relaunches.
// Returns only on failure, with its text: "no release public key baked into
// this build", the verification texts, "an update is already being
// installed", the HTTP layer's texts, "update size mismatch", the system
// error's text, the staging texts, or the relaunch's. Every failure leaves
// no download folder behind.
reactive::Task<std::string> download_and_install_with(Product product, UpdateInfo info,
                                                      std::function<void()> before_relaunch,
                                                      InstallOptions options = {});

}  // namespace api::client::update
