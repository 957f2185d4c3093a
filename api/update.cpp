#include "api/update.h"

#include "api/client.h"

#include <unistd.h>

#include <cerrno>

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
    if (info->version_epoch <= product.version_epoch) return std::optional<UpdateInfo>{};
    if (!verifiable(*info)) return base::fail("update manifest signature verification failed");
    return std::optional<UpdateInfo>(std::move(*info));
}

base::Result<Downloaded> download(const Product& product, const UpdateInfo& info, int fd,
                                  const HttpClient& client) {
    const std::uint64_t size = info.size;
    Sha256 hasher;
    std::uint64_t written = 0;
    auto body = client.get(HttpGet{
        .url = download_url(product, info),
        .on_head = [size](const HttpHead& head) -> std::optional<std::string> {
            if (head.content_length && *head.content_length != size) return std::string(SIZE_MISMATCH);
            return std::nullopt;
        },
        .body_limit = size,
        .over_limit_text = std::string(SIZE_MISMATCH),
        .on_body = [&](std::string_view piece) -> std::optional<std::string> {
            hasher.update(piece);
            while (!piece.empty()) {
                const ssize_t n = ::write(fd, piece.data(), piece.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return os_error_text(n < 0 ? errno : EIO);
                piece.remove_prefix(static_cast<std::size_t>(n));
                written += static_cast<std::uint64_t>(n);
            }
            return std::nullopt;
        },
    });
    if (!body) return base::fail(body.error());
    return Downloaded{written, hasher.finish()};
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

bool verifiable(const UpdateInfo& info) { return info.manifest_signature.has_value() && info.platform.has_value(); }

base::Result<void> verify_record(std::uint64_t running_epoch, Platform running_platform, const UpdateInfo& info,
                                 const VerifyingKey& key) {
    if (info.version_epoch <= running_epoch) return base::fail("update is not newer than this version");
    if (info.platform && *info.platform != running_platform)
        return base::fail("update is for a different product or platform");
    // The manifest signature is what binds version, platform, file name and
    // size to the release key: a record without one could roll back to any
    // older signed image or claim any size, so it is required.
    if (!verifiable(info) || !verify_signature(manifest(*info.platform, info), *info.manifest_signature, key))
        return base::fail("update manifest signature verification failed");
    return {};
}

base::Result<void> verify_image(const UpdateInfo& info, const Downloaded& image, const VerifyingKey& key) {
    if (image.size != info.size) return base::fail(std::string(SIZE_MISMATCH));
    if (hex(image.digest) != info.sha256) return base::fail("update checksum mismatch");
    if (!verify_digest(image.digest, info.signature, key)) return base::fail("update signature verification failed");
    return {};
}

base::Result<std::string> verify(std::uint64_t running_epoch, Platform running_platform, const UpdateInfo& info,
                                 std::string_view image, const VerifyingKey& key) {
    if (auto r = verify_record(running_epoch, running_platform, info, key); !r) return base::fail(r.error());
    if (auto r = verify_image(info, Downloaded{image.size(), sha256_bytes(image)}, key); !r)
        return base::fail(r.error());
    auto name = file_name_of(info.filename);
    if (!name) return base::fail(std::string(NO_FILE_NAME));
    return std::move(*name);
}

std::string unpack_folder_name(std::string_view product_id) { return std::string(product_id) + "-update-mount"; }

std::string lock_file_name(std::string_view product_id) { return std::string(product_id) + "-update.lock"; }

base::Result<std::string> image_file_name(const UpdateInfo& info, std::string_view product_id) {
    auto name = file_name_of(info.filename);
    if (!name || *name == unpack_folder_name(product_id) || *name == lock_file_name(product_id))
        return base::fail(std::string(NO_FILE_NAME));
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
