#pragma once
// The per-user data folder and atomic whole-file writes.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace api::client {

// The two fixed leading parts of the bundle-style identifier of the data
// folder; the product id completes it ("com.veltrum.veltrum").
inline constexpr std::string_view QUALIFIER = "com";
inline constexpr std::string_view ORGANIZATION = "veltrum";

struct Product {
    // The data folder of a product id: $XDG_DATA_HOME/<bundle id>, by default
    // ~/.local/share/<bundle id>, created with its missing parents at every
    // call. Nothing when there is no home folder or the folder cannot be
    // created. Spaces in the id become "-"; empty parts are left out.
    static std::optional<std::filesystem::path> config_dir(std::string_view product_id);
};

// The bundle-style identifier of a product id ("com.veltrum.veltrum").
std::string bundle_id(std::string_view product_id);

// Writes `bytes` to `path` so that the path holds either its previous
// content or exactly these bytes, whatever happens: the bytes go to
// "<path>.<pid>.tmp", are synced to the disk, the file is renamed over the
// path and the folder is synced. On failure the temporary file is removed
// and the error reads "<system text> (os error <n>)".
base::Result<void> write_atomic(const std::filesystem::path& path, std::string_view bytes);

// "<system text> (os error <n>)" for an errno value.
std::string os_error_text(int err);

}  // namespace api::client
