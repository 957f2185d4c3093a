#pragma once
// The per-user data folder, atomic whole-file writes and bounded reads of
// regular files (the product record, whose config_dir gives the data
// folder, is in api/product.h).
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// path and the folder is synced. A path that is a symbolic link stays one:
// the file it leads to is written that way (its temporary file beside it).
// On failure the temporary file is removed and the error reads
// "<system text> (os error <n>)".
base::Result<void> write_atomic(const std::filesystem::path& path, std::string_view bytes);
// The same for bytes given in parts, written one after the other (a large
// file made of pieces kept elsewhere is written without joining them first).
base::Result<void> write_atomic(const std::filesystem::path& path, std::span<const std::string_view> parts);

// Temporary files of write_atomic ("<name>.<pid>.tmp") in `folder` (not
// its subfolders) whose writing process has ended, for the names `ours`
// accepts (given the target's file name, "<name>"): removed. Only regular
// files of this user are removed; one whose process id is alive, this
// process's included, is left. Gives the paths removed.
std::vector<std::filesystem::path> remove_stale_temporaries(const std::filesystem::path& folder,
                                                            const std::function<bool(std::string_view)>& ours);

// Files the program reads (projects, settings, calibration files) are
// refused past this size (512 MiB).
inline constexpr std::size_t READ_LIMIT = std::size_t{512} << 20;

// Opens a file for reading when it is a regular file (links followed): a
// folder, FIFO, device or socket gives "not a regular file", and the open
// never waits for a FIFO's writer. The caller closes the descriptor.
// Errors: "<system text> (os error <n>)" with its errno in `err` when given.
base::Result<int> open_regular(const std::filesystem::path& path, int* err = nullptr);

// The whole of a regular file (see open_regular), at most `cap` bytes:
// a longer one gives "file larger than <cap in MB> MB".
base::Result<std::string> read_file(const std::filesystem::path& path, std::size_t cap = READ_LIMIT,
                                    int* err = nullptr);

// "<system text> (os error <n>)" for an errno value.
std::string os_error_text(int err);

}  // namespace api::client
