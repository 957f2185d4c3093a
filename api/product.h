#pragma once
// The records the update client shares with the window: this build's product
// record, the update platform key, and the update server's description of an
// available build.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace api {

// The update platform key, written in JSON and URLs as its key text.
enum class Platform { VeltrumMacos, VeltrumWindows, VeltrumLinux };

// "veltrum-macos", "veltrum-windows", "veltrum-linux".
std::string_view platform_key(Platform p);
// The platform of a key text; nothing for any other text.
std::optional<Platform> platform_from_key(std::string_view key);

// The update server's description of an available build.
struct UpdateInfo {
    std::uint64_t version_epoch = 0;  // build time of the offered version, Unix seconds
    std::string version_display;      // shown to the user; a segment of the download path
    std::string filename;             // the image's name; its last component names the local copy
    std::uint64_t size = 0;           // exact length of the image in bytes
    std::string sha256;               // 64 lowercase hexadecimal digits of the image's SHA-256
    std::string signature;            // Base64 Ed25519 signature of the raw 32-byte digest
    std::string notes;                // release notes in the dialog-text notation
    std::optional<Platform> platform;
    std::optional<std::string> manifest_signature;  // Base64 Ed25519 signature of the manifest

    bool operator==(const UpdateInfo&) const = default;

    // Reads one JSON object. Keys it does not define are skipped. Fails on a
    // missing required field ("missing field `size`"), a field given twice
    // ("duplicate field `size`"), a value of the wrong type or a platform
    // text that is not a defined key.
    static base::Result<UpdateInfo> from_json(std::string_view text);
};

}  // namespace api

namespace api::client {

// The record that describes a build to the update client.
struct Product {
    std::string_view name;        // product name, for the user ("Veltrum")
    std::string_view id;          // product id: data folder, download folder names, executable name
    std::string_view server_var;  // environment variable that overrides the server address
    std::string_view app_name;    // not read by the update client
    std::string_view version_display;
    std::uint64_t version_epoch = 0;  // the only value compared to decide whether an update is newer
    Platform platform = Platform::VeltrumLinux;

    // The data folder of a product id: $XDG_DATA_HOME/<bundle id>, by default
    // ~/.local/share/<bundle id>, created with its missing parents at every
    // call. Nothing when there is no home folder or the folder cannot be
    // created. Spaces in the id become "-"; empty parts are left out.
    static std::optional<std::filesystem::path> config_dir(std::string_view product_id);
    // The same, or why there is none: NO_HOME_FOLDER, or the folder and the
    // system's error creating it ("<folder>: <system text> (os error <n>)",
    // for instance when the folder is a link that leads nowhere).
    static base::Result<std::filesystem::path> data_dir(std::string_view product_id);

    // The update server's base URL: the variable's value when it is set and
    // valid UTF-8, unchanged (even when empty); otherwise the built-in one.
    // Read again at every call.
    static std::string server_url(std::string_view variable);
};

// Why Product::data_dir gives no folder when there is no home folder.
inline constexpr std::string_view NO_HOME_FOLDER = "no home folder";

// The vendor's update server.
inline constexpr std::string_view DEFAULT_SERVER_URL = "https://updates.veltrum.app";

// This build.
inline constexpr Product PRODUCT{
    .name = "Veltrum",
    .id = "veltrum",
    .server_var = "VELTRUM_SERVER_URL",
    .app_name = "veltrum",
    .version_display = "2026.10.13-1126",
    .version_epoch = 1791883566,
    .platform = Platform::VeltrumLinux,
};

}  // namespace api::client
