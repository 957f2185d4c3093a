#pragma once
// The update client: asks the server for a newer build, downloads its image
// and decides whether the image may be installed. Installing it is
// src/shell/update_install.h.
//
// fetch_latest and download block on the network: they run on the blocking
// pool (the window awaits `check` and `download_and_install_with` of
// shell/update_install.h, which do so). verify is pure computation.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/crypto.h"
#include "api/http.h"
#include "api/product.h"
#include "base/result.h"

namespace api::client::update {

// Total time limit of an image download, body included.
inline constexpr std::chrono::milliseconds DOWNLOAD_TIME_LIMIT = 30s;

// The release key compiled into this build (Base64 of the Ed25519 public key,
// from the VELTRUM_RELEASE_PUBLIC_KEY build option; empty when none was given).
std::string_view release_public_key();

// The most an update check reads of the server's answer.
inline constexpr std::uint64_t RECORD_SIZE_LIMIT = 1 << 20;

inline constexpr std::string_view NO_RELEASE_KEY = "no release public key baked into this build";
inline constexpr std::string_view SIZE_MISMATCH = "update size mismatch";
inline constexpr std::string_view NO_FILE_NAME = "update has no usable file name";

// <server>/api/update/latest?platform=<key of the product's platform>
std::string check_url(const Product& product);
// <server>/api/download/<platform key>/<version_display>/<filename>, the
// record's texts inserted unchanged.
std::string download_url(const Product& product, const UpdateInfo& info);

// Asks the server for its latest build of the product's platform: the record
// when its version_epoch is greater than the product's, nothing when it is
// not, or the HTTP layer's error text ("error decoding response body" for a
// record that cannot be read or an answer longer than RECORD_SIZE_LIMIT). A
// newer record that cannot be verified (see `verifiable`) is not offered: it
// fails with "update manifest signature verification failed". Blocking.
base::Result<std::optional<UpdateInfo>> fetch_latest(const Product& product, const HttpClient& client = http());

// What a download wrote: its length and SHA-256.
struct Downloaded {
    std::uint64_t size = 0;
    Digest digest{};
};

// Downloads the image the record describes into the open file `fd`, piece
// by piece as it arrives (never whole in memory), hashing it on the way: a
// stated Content-Length other than `size`, or more than `size` bytes
// arriving, fails with "update size mismatch" at once; a failed write with
// the system error's text; otherwise the HTTP layer's text. Blocking.
base::Result<Downloaded> download(const Product& product, const UpdateInfo& info, int fd,
                                  const HttpClient& client = HttpClient(DOWNLOAD_TIME_LIMIT));

// The manifest a manifest signature covers: compact JSON of platform,
// version_epoch, version_display, filename, size and sha256 in this order.
std::string manifest(Platform platform, const UpdateInfo& info);

// Whether a downloaded image may be installed over the running build: the
// checks of verify_record, then of verify_image, then the file name. The
// first failed check gives its text:
//   "update is not newer than this version"
//   "update is for a different product or platform"
//   "update manifest signature verification failed" (also when the record has none)
//   "update size mismatch"
//   "update checksum mismatch"
//   "update signature verification failed"
//   "update has no usable file name"
// Success gives the local file name of the image.
base::Result<std::string> verify(std::uint64_t running_epoch, Platform running_platform, const UpdateInfo& info,
                                 std::string_view image, const VerifyingKey& key);

// The checks a record passes before any of its image is fetched, in this
// order: newer than the running build ("update is not newer than this
// version"), for this platform ("update is for a different product or
// platform"), and a manifest signature by the key over a record that names
// its platform ("update manifest signature verification failed").
base::Result<void> verify_record(std::uint64_t running_epoch, Platform running_platform, const UpdateInfo& info,
                                 const VerifyingKey& key);
// The checks of the downloaded image against the record, in this order:
// "update size mismatch", "update checksum mismatch", "update signature
// verification failed".
base::Result<void> verify_image(const UpdateInfo& info, const Downloaded& image, const VerifyingKey& key);

// Whether a record carries what verification needs (a manifest signature and
// the platform it covers). A record without them is never offered.
bool verifiable(const UpdateInfo& info);

// The names the installation itself uses in its folders: the unpack folder
// "<product id>-update-mount" beside the image, and the lock
// "<product id>-update.lock" in the user's temporary folder.
std::string unpack_folder_name(std::string_view product_id);
std::string lock_file_name(std::string_view product_id);

// The local file name of the record's image (file_name_of its filename),
// refused with "update has no usable file name" when there is none or it is
// one of the installation's own names above.
base::Result<std::string> image_file_name(const UpdateInfo& info, std::string_view product_id);

// The last component of a "/"-separated path, ignoring empty and "."
// components; nothing when there is none or it is "..".
std::optional<std::string> file_name_of(std::string_view path);

// ---- what the window shows ---------------------------------------------------------

inline constexpr std::string_view MESSAGE_TITLE = "Update";          // failures
inline constexpr std::string_view UP_TO_DATE_TITLE = "Up to date";
inline constexpr std::string_view OFFER_RESTART_NOTE = "<p>The app will restart to apply the update.</p>";
inline constexpr std::string_view BUSY_TEXT = "Downloading and installing the update.";

// "Update check failed: {}"
std::string check_failed_text(std::string_view error);
// "Veltrum 2026.10.13-1126 is the latest version."
std::string up_to_date_text(const Product& product);
// "Update available: {}" with the offered version_display.
std::string offer_title(const UpdateInfo& info);
// "Updating to {}…" with the offered version_display.
std::string busy_title(const UpdateInfo& info);
// "Update failed: {}"
std::string install_failed_text(std::string_view error);

}  // namespace api::client::update
