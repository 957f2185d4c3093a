#include "api/product.h"

#include <array>
#include <cstdlib>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/utf8.h"

namespace api {
namespace {

constexpr std::array<std::pair<Platform, std::string_view>, 3> PLATFORM_KEYS{{
    {Platform::VeltrumMacos, "veltrum-macos"},
    {Platform::VeltrumWindows, "veltrum-windows"},
    {Platform::VeltrumLinux, "veltrum-linux"},
}};

using Json = nlohmann::json;

std::string unknown_platform_text(std::string_view key) {
    std::string expected;
    for (const auto& [p, k] : PLATFORM_KEYS) {
        if (!expected.empty()) expected += ", ";
        expected += fmt::format("`{}`", k);
    }
    return fmt::format("unknown variant `{}`, expected one of {}", key, expected);
}

// Reads the fields of the top-level object in declaration order.
class FieldReader {
public:
    explicit FieldReader(const Json& obj) : obj_(obj) {}

    base::Result<std::uint64_t> u64(const char* name) const {
        auto it = obj_.find(name);
        if (it == obj_.end()) return base::fail(fmt::format("missing field `{}`", name));
        if (!it->is_number_unsigned() && !(it->is_number_integer() && it->get<std::int64_t>() >= 0))
            return base::fail(fmt::format("invalid type for field `{}`: expected an unsigned integer", name));
        return it->get<std::uint64_t>();
    }
    base::Result<std::string> text(const char* name) const {
        auto it = obj_.find(name);
        if (it == obj_.end()) return base::fail(fmt::format("missing field `{}`", name));
        if (!it->is_string()) return base::fail(fmt::format("invalid type for field `{}`: expected a string", name));
        return it->get<std::string>();
    }
    // Absent and null both read as nothing.
    base::Result<std::optional<std::string>> optional_text(const char* name) const {
        auto it = obj_.find(name);
        if (it == obj_.end() || it->is_null()) return std::optional<std::string>{};
        if (!it->is_string())
            return base::fail(fmt::format("invalid type for field `{}`: expected a string or null", name));
        return std::optional<std::string>(it->get<std::string>());
    }

private:
    const Json& obj_;
};

}  // namespace

std::string_view platform_key(Platform p) {
    for (const auto& [q, k] : PLATFORM_KEYS)
        if (q == p) return k;
    return {};
}

std::optional<Platform> platform_from_key(std::string_view key) {
    for (const auto& [p, k] : PLATFORM_KEYS)
        if (k == key) return p;
    return std::nullopt;
}

base::Result<UpdateInfo> UpdateInfo::from_json(std::string_view text) {
    // The parser keeps the last of two equal keys; the callback sees every
    // key of the top-level object and remembers the first duplicate.
    std::set<std::string> seen;
    std::optional<std::string> duplicate;
    const Json::parser_callback_t watch = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::key && depth == 1 && !duplicate) {
            auto key = parsed.get<std::string>();
            if (!seen.insert(key).second) duplicate = std::move(key);
        }
        return true;
    };
    Json doc;
    try {
        doc = Json::parse(text.begin(), text.end(), watch);
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at ..." without its tag.
        std::string_view what = e.what();
        if (auto close = what.find("] "); what.starts_with("[json.exception") && close != what.npos)
            what.remove_prefix(close + 2);
        return base::fail(std::string(what));
    }
    if (!doc.is_object()) return base::fail("invalid type: expected a JSON object");
    if (duplicate) return base::fail(fmt::format("duplicate field `{}`", *duplicate));

    const FieldReader r(doc);
    UpdateInfo info;
    auto epoch = r.u64("version_epoch");
    if (!epoch) return base::fail(epoch.error());
    info.version_epoch = *epoch;
    for (auto [name, field] : {std::pair{"version_display", &UpdateInfo::version_display},
                               std::pair{"filename", &UpdateInfo::filename}}) {
        auto v = r.text(name);
        if (!v) return base::fail(v.error());
        info.*field = std::move(*v);
    }
    auto size = r.u64("size");
    if (!size) return base::fail(size.error());
    info.size = *size;
    for (auto [name, field] :
         {std::pair{"sha256", &UpdateInfo::sha256}, std::pair{"signature", &UpdateInfo::signature}}) {
        auto v = r.text(name);
        if (!v) return base::fail(v.error());
        info.*field = std::move(*v);
    }
    if (doc.contains("notes")) {
        auto v = r.text("notes");
        if (!v) return base::fail(v.error());
        info.notes = std::move(*v);
    }
    auto platform = r.optional_text("platform");
    if (!platform) return base::fail(platform.error());
    if (*platform) {
        info.platform = platform_from_key(**platform);
        if (!info.platform) return base::fail(unknown_platform_text(**platform));
    }
    auto manifest = r.optional_text("manifest_signature");
    if (!manifest) return base::fail(manifest.error());
    info.manifest_signature = std::move(*manifest);
    return info;
}

}  // namespace api

namespace api::client {

std::string Product::server_url(std::string_view variable) {
    const char* value = std::getenv(std::string(variable).c_str());
    if (value && !base::utf8::check(value)) return std::string(value);
    return std::string(DEFAULT_SERVER_URL);
}

}  // namespace api::client
