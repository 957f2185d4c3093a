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

// <server>/api/update/latest?platform=<key of the product's platform>
std::string check_url(const Product& product);
// <server>/api/download/<platform key>/<version_display>/<filename>, the
// record's texts inserted unchanged.
std::string download_url(const Product& product, const UpdateInfo& info);

// Asks the server for its latest build of the product's platform: the record
// when its version_epoch is greater than the product's, nothing when it is
// not, or the HTTP layer's error text ("error decoding response body" for a
// record that cannot be read or an answer longer than RECORD_SIZE_LIMIT).
// Blocking.
base::Result<std::optional<UpdateInfo>> fetch_latest(const Product& product, const HttpClient& client = http());

// Downloads the image the record describes: a stated Content-Length other
// than `size`, or more than `size` bytes arriving, fails with "update size
// mismatch" at once; otherwise the HTTP layer's text. Blocking.
base::Result<std::string> download(const Product& product, const UpdateInfo& info,
                                   const HttpClient& client = HttpClient(DOWNLOAD_TIME_LIMIT));

// The manifest a manifest signature covers: compact JSON of platform,
// version_epoch, version_display, filename, size and sha256 in this order.
std::string manifest(Platform platform, const UpdateInfo& info);

// Whether a downloaded image may be installed over the running build. The
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
