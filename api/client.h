#pragma once
// The per-user data folder and atomic whole-file writes (the product record,
// whose config_dir gives the data folder, is in api/product.h).
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "api/product.h"
#include "base/result.h"

namespace api::client {

// The two fixed leading parts of the bundle-style identifier of the data
// folder; the product id completes it ("com.veltrum.veltrum").
inline constexpr std::string_view QUALIFIER = "com";
inline constexpr std::string_view ORGANIZATION = "veltrum";

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
