#include "api/update.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#ifndef VELTRUM_RELEASE_PUBLIC_KEY
#define VELTRUM_RELEASE_PUBLIC_KEY ""
#endif

namespace api::client::update {

std::string_view release_public_key() { return VELTRUM_RELEASE_PUBLIC_KEY; }

std::string check_url(const Product& product) {
    return Product::server_url(product.server_var) + "/api/update/latest?platform=" +
           std::string(platform_key(product.platform));
}

std::string download_url(const Product& product, const UpdateInfo& info) {
    return fmt::format("{}/api/download/{}/{}/{}", Product::server_url(product.server_var),
                       platform_key(product.platform), info.version_display, info.filename);
}

base::Result<std::optional<UpdateInfo>> fetch_latest(const Product& product, const HttpClient& client) {
    // A record is a few hundred bytes: a body past the limit is not one.
    auto body = client.get(HttpGet{.url = check_url(product),
                                   .body_limit = RECORD_SIZE_LIMIT,
                                   .over_limit_text = "error decoding response body"});
    if (!body) return base::fail(body.error());
    auto info = UpdateInfo::from_json(*body);
    if (!info) return base::fail("error decoding response body");
    if (info->version_epoch > product.version_epoch) return std::optional<UpdateInfo>(std::move(*info));
    return std::optional<UpdateInfo>{};
}

base::Result<std::string> download(const Product& product, const UpdateInfo& info, const HttpClient& client) {
    const std::uint64_t size = info.size;
    return client.get(HttpGet{
        .url = download_url(product, info),
        .on_head = [size](const HttpHead& head) -> std::optional<std::string> {
            if (head.content_length && *head.content_length != size) return std::string(SIZE_MISMATCH);
            return std::nullopt;
        },
        .body_limit = size,
        .over_limit_text = std::string(SIZE_MISMATCH),
    });
}

std::string manifest(Platform platform, const UpdateInfo& info) {
    // nlohmann writes compact JSON with the escapes the signer uses: quote,
    // backslash, \b \f \n \r \t, other control characters as \u00xx, all
    // else (non-ASCII, "/") unchanged. The record's texts are valid UTF-8,
    // since the reader accepts nothing else.
    const nlohmann::ordered_json m{
        {"platform", platform_key(platform)}, {"version_epoch", info.version_epoch},
        {"version_display", info.version_display}, {"filename", info.filename},
        {"size", info.size}, {"sha256", info.sha256},
    };
    return m.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<std::string> file_name_of(std::string_view path) {
    std::string_view last;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == path.npos) j = path.size();
        const auto part = path.substr(i, j - i);
        if (!part.empty() && part != ".") last = part;
        i = j + 1;
    }
    // A NUL would cut the name short on the way to the file system.
    if (last.empty() || last == ".." || last.find('\0') != last.npos) return std::nullopt;
    return std::string(last);
}

base::Result<std::string> verify(std::uint64_t running_epoch, Platform running_platform, const UpdateInfo& info,
                                 std::string_view image, const VerifyingKey& key) {
    if (info.version_epoch <= running_epoch) return base::fail("update is not newer than this version");
    if (info.platform && *info.platform != running_platform)
        return base::fail("update is for a different product or platform");
    // The manifest signature is what binds version, platform and file name to
    // the release key: a record without one could roll back to any older
    // signed image, so it is required.
    if (!info.manifest_signature || !info.platform ||
        !verify_signature(manifest(*info.platform, info), *info.manifest_signature, key))
        return base::fail("update manifest signature verification failed");
    if (image.size() != info.size) return base::fail(std::string(SIZE_MISMATCH));
    const Digest digest = sha256_bytes(image);
    if (hex(digest) != info.sha256) return base::fail("update checksum mismatch");
    if (!verify_digest(digest, info.signature, key)) return base::fail("update signature verification failed");
    auto name = file_name_of(info.filename);
    if (!name) return base::fail("update has no usable file name");
    return std::move(*name);
}

std::string check_failed_text(std::string_view error) { return fmt::format("Update check failed: {}", error); }

std::string up_to_date_text(const Product& product) {
    return fmt::format("{} {} is the latest version.", product.name, product.version_display);
}

std::string offer_title(const UpdateInfo& info) { return fmt::format("Update available: {}", info.version_display); }

std::string busy_title(const UpdateInfo& info) { return fmt::format("Updating to {}\u2026", info.version_display); }

std::string install_failed_text(std::string_view error) { return fmt::format("Update failed: {}", error); }

}  // namespace api::client::update
