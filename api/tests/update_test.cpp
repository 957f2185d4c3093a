// Update records, keys, digests, the manifest and the verification of a
// downloaded image.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "api/product.h"
#include "api/tests/update_support.h"
#include "api/update.h"

using api::Platform;
using api::UpdateInfo;
using update_support::ReleaseKeys;
using update_support::signed_record;
namespace update = api::client::update;

TEST(Product, ThisBuild) {
    const auto& p = api::client::PRODUCT;
    EXPECT_EQ(p.name, "Veltrum");
    EXPECT_EQ(p.id, "veltrum");
    EXPECT_EQ(p.server_var, "VELTRUM_SERVER_URL");
    EXPECT_EQ(p.version_display, "2026.10.13-1126");
    EXPECT_EQ(p.version_epoch, 1791883566u);
    EXPECT_EQ(api::platform_key(p.platform), "veltrum-linux");
    for (auto platform : {Platform::VeltrumMacos, Platform::VeltrumWindows, Platform::VeltrumLinux})
        EXPECT_EQ(api::platform_from_key(api::platform_key(platform)), platform);
    EXPECT_FALSE(api::platform_from_key("linux"));
    EXPECT_EQ(update::up_to_date_text(p), "Veltrum 2026.10.13-1126 is the latest version.");
}

TEST(Product, ServerUrlFromTheVariableUnchanged) {
    {
        test_support::Env v("VELTRUM_TEST_SERVER", nullptr);
        EXPECT_EQ(api::client::Product::server_url("VELTRUM_TEST_SERVER"), api::client::DEFAULT_SERVER_URL);
    }
    for (const char* value : {"", " http://x/ ", "http://127.0.0.1:9"}) {
        test_support::Env v("VELTRUM_TEST_SERVER", value);
        EXPECT_EQ(api::client::Product::server_url("VELTRUM_TEST_SERVER"), value);
    }
    test_support::Env bad("VELTRUM_TEST_SERVER", "http://\xff");
    EXPECT_EQ(api::client::Product::server_url("VELTRUM_TEST_SERVER"), api::client::DEFAULT_SERVER_URL);
}

TEST(UpdateInfo, Reading) {
    const std::string base =
        R"("version_epoch":5,"version_display":"v","filename":"f.tar.gz","size":3,"sha256":"ab","signature":"c2ln")";
    auto read = [](const std::string& body) { return UpdateInfo::from_json(body); };

    auto minimal = read("{" + base + "}");
    ASSERT_TRUE(minimal) << minimal.error();
    EXPECT_EQ(minimal->version_epoch, 5u);
    EXPECT_EQ(minimal->filename, "f.tar.gz");
    EXPECT_EQ(minimal->size, 3u);
    EXPECT_EQ(minimal->notes, "");
    EXPECT_FALSE(minimal->platform);
    EXPECT_FALSE(minimal->manifest_signature);

    auto full = read("{" + base +
                     R"(,"notes":"n","platform":"veltrum-windows","manifest_signature":"bQ==","extra":{"a":[1]}})");
    ASSERT_TRUE(full) << full.error();
    EXPECT_EQ(full->notes, "n");
    EXPECT_EQ(full->platform, Platform::VeltrumWindows);
    EXPECT_EQ(full->manifest_signature, "bQ==");

    for (const char* key : {"veltrum-macos", "veltrum-windows", "veltrum-linux"}) {
        auto r = read("{" + base + R"(,"platform":")" + key + "\"}");
        ASSERT_TRUE(r) << key;
        EXPECT_EQ(api::platform_key(*r->platform), key);
    }
    auto nulls = read("{" + base + R"(,"platform":null,"manifest_signature":null})");
    ASSERT_TRUE(nulls);
    EXPECT_FALSE(nulls->platform);

    struct Case {
        std::string body;
        std::string error;
    };
    const std::vector<Case> failures = {
        {R"({"version_display":"v","filename":"f","size":3,"sha256":"ab","signature":"s"})",
         "missing field `version_epoch`"},
        {R"({"version_epoch":5,"version_display":"v","filename":"f","size":3,"signature":"s"})",
         "missing field `sha256`"},
        {R"({"version_epoch":5,"version_display":"v","filename":"f","size":3,"sha256":"ab"})",
         "missing field `signature`"},
        {"{" + base + R"(,"size":4})", "duplicate field `size`"},
        {"{" + base + R"(,"notes":"a","notes":"b"})", "duplicate field `notes`"},
        {"{" + base + R"(,"platform":"linux"})",
         "unknown variant `linux`, expected one of `veltrum-macos`, `veltrum-windows`, `veltrum-linux`"},
        {R"({"version_epoch":"5","version_display":"v","filename":"f","size":3,"sha256":"ab","signature":"s"})",
         "invalid type for field `version_epoch`: expected an unsigned integer"},
        {R"({"version_epoch":-5,"version_display":"v","filename":"f","size":3,"sha256":"ab","signature":"s"})",
         "invalid type for field `version_epoch`: expected an unsigned integer"},
        {R"({"version_epoch":5,"version_display":"v","filename":"f","size":3.5,"sha256":"ab","signature":"s"})",
         "invalid type for field `size`: expected an unsigned integer"},
        {"{" + base + R"(,"notes":null})", "invalid type for field `notes`: expected a string"},
        {"{" + base + R"(,"platform":7})", "invalid type for field `platform`: expected a string or null"},
        {"[1]", "invalid type: expected a JSON object"},
    };
    for (const auto& c : failures) {
        auto r = read(c.body);
        ASSERT_FALSE(r) << c.body;
        EXPECT_EQ(r.error(), c.error) << c.body;
    }
    EXPECT_FALSE(read("{" + base));  // not JSON
    // A duplicate inside a skipped value is not a duplicate field.
    EXPECT_TRUE(read("{" + base + R"(,"x":{"a":1,"a":2}})"));
}

TEST(Crypto, DigestHexAndKeys) {
    EXPECT_EQ(api::hex(api::sha256_bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(api::hex(std::string_view("\x00\x0f\xf0\xff", 4)), "000ff0ff");

    const ReleaseKeys keys;
    const std::string text = keys.public_b64();
    ASSERT_EQ(text.size(), 44u);
    EXPECT_EQ(text.back(), '=');
    for (const std::string& accepted : {text, "\n" + text, text + "\n", "  " + text + "\r\n"}) {
        auto k = api::verifying_key_from_b64(accepted);
        ASSERT_TRUE(k);
        EXPECT_EQ(k->bytes, keys.pk);
    }
    const std::string not_a_point = api::base64_encode(std::string(32, '\xff'));
    for (const std::string& refused : {std::string(), text.substr(0, 43), text + "=", text.substr(0, 20) + " " +
                                      text.substr(20), api::base64_encode(std::string(31, 'a')),
                                      api::base64_encode(std::string(33, 'a')), not_a_point, "*" + text.substr(1)})
        EXPECT_FALSE(api::verifying_key_from_b64(refused)) << refused;

    const auto digest = api::sha256_bytes("image");
    EXPECT_TRUE(api::verify_digest(digest, keys.sign_digest(digest), keys.key()));
    EXPECT_FALSE(api::verify_digest(digest, keys.sign(api::hex(digest)), keys.key()));
    EXPECT_FALSE(api::verify_digest(digest, keys.sign("image"), keys.key()));
    EXPECT_FALSE(api::verify_digest(digest, ReleaseKeys().sign_digest(digest), keys.key()));
    EXPECT_FALSE(api::verify_digest(digest, keys.sign_digest(digest).substr(4), keys.key()));
    EXPECT_FALSE(api::verify_digest(digest, "not base64!", keys.key()));
}

TEST(Manifest, CompactJsonInFixedOrder) {
    UpdateInfo info;
    info.version_epoch = 1791883567;
    info.version_display = "2027 \"\xce\xb2\"/\\\n\t\b\f\r\x01\x1f";
    info.filename = "dl/veltrum.tar.gz";
    info.size = 1234;
    info.sha256 = "00ff";
    EXPECT_EQ(update::manifest(Platform::VeltrumLinux, info),
              R"({"platform":"veltrum-linux","version_epoch":1791883567,"version_display":"2027 \")"
              "\xce\xb2"
              R"(\"/\\\n\t\b\f\r\u0001\u001f","filename":"dl/veltrum.tar.gz","size":1234,"sha256":"00ff"})");
}

TEST(Verify, EveryCheckInOrder) {
    const ReleaseKeys keys;
    const ReleaseKeys other;
    const std::string image = "a program folder, packed";
    const std::uint64_t running = 1000;
    const auto good = signed_record(keys, image, running + 1);

    // A record changed after signing (the manifest signature stays that of
    // `good` unless the change re-signs it).
    auto changed = [&](std::function<void(UpdateInfo&)> edit) {
        UpdateInfo r = good;
        edit(r);
        return r;
    };
    auto resigned = [&](std::function<void(UpdateInfo&)> edit) {
        UpdateInfo r = good;
        edit(r);
        r.manifest_signature = keys.sign(update::manifest(*r.platform, r));
        return r;
    };
    const std::string respaced =
        R"({"platform": "veltrum-linux", "version_epoch": 1001, "version_display": "2027.01.02-0304", )"
        R"("filename": "veltrum-linux.tar.gz", "size": 24, "sha256": ")" +
        good.sha256 + "\"}";
    ASSERT_EQ(image.size(), 24u);
    const std::string reordered = R"({"version_epoch":1001,"platform":"veltrum-linux","version_display":)"
                                  R"("2027.01.02-0304","filename":"veltrum-linux.tar.gz","size":24,"sha256":")" +
                                  good.sha256 + "\"}";

    constexpr auto NOT_NEWER = "update is not newer than this version";
    constexpr auto PLATFORM = "update is for a different product or platform";
    constexpr auto MANIFEST = "update manifest signature verification failed";
    constexpr auto SIZE = "update size mismatch";
    constexpr auto CHECKSUM = "update checksum mismatch";
    constexpr auto SIGNATURE = "update signature verification failed";
    constexpr auto NO_NAME = "update has no usable file name";
    struct Case {
        const char* what;
        UpdateInfo info;
        std::string image;
        std::string result;  // the file name, or the failure text
    };
    const std::string short_image = image.substr(0, image.size() - 1);
    const std::vector<Case> cases = {
        {"valid", good, image, "veltrum-linux.tar.gz"},
        {"equal epoch", signed_record(keys, image, running), image, NOT_NEWER},
        {"older epoch", signed_record(keys, image, running - 1), image, NOT_NEWER},
        {"other platform", signed_record(keys, image, running + 1, Platform::VeltrumWindows), image, PLATFORM},
        {"macOS platform", signed_record(keys, image, running + 1, Platform::VeltrumMacos), image, PLATFORM},
        {"no manifest signature", changed([](auto& r) { r.manifest_signature.reset(); }), image, MANIFEST},
        {"no platform", changed([](auto& r) { r.platform.reset(); }), image, MANIFEST},
        {"manifest over re-spaced JSON", changed([&](auto& r) { r.manifest_signature = keys.sign(respaced); }),
         image, MANIFEST},
        {"manifest with members reordered",
         changed([&](auto& r) { r.manifest_signature = keys.sign(reordered); }), image, MANIFEST},
        {"manifest by another key",
         changed([&](auto& r) { r.manifest_signature = other.sign(update::manifest(*r.platform, r)); }), image,
         MANIFEST},
        {"manifest not Base64", changed([](auto& r) { r.manifest_signature = "%%%"; }), image, MANIFEST},
        {"manifest signature too short",
         changed([](auto& r) { r.manifest_signature = r.manifest_signature->substr(4); }), image, MANIFEST},
        {"version changed after signing", changed([](auto& r) { r.version_display = "2099.01.01-0000"; }), image,
         MANIFEST},
        {"file name changed after signing", changed([](auto& r) { r.filename = "other.tar.gz"; }), image, MANIFEST},
        {"one byte short", good, short_image, SIZE},
        {"one byte long", good, image + "x", SIZE},
        {"upper-case digest", resigned([](auto& r) {
             for (auto& c : r.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         }),
         image, CHECKSUM},
        {"other bytes of the same size", good, std::string(image.size(), 'x'), CHECKSUM},
        {"signature over the hex digest",
         resigned([&](auto& r) { r.signature = keys.sign(r.sha256); }), image, SIGNATURE},
        {"signature over the file", resigned([&](auto& r) { r.signature = keys.sign(image); }), image, SIGNATURE},
        {"signature by another key",
         resigned([&](auto& r) { r.signature = other.sign_digest(api::sha256_bytes(image)); }), image, SIGNATURE},
        {"signature not Base64", resigned([](auto& r) { r.signature = "@"; }), image, SIGNATURE},
        {"name climbing up", resigned([](auto& r) { r.filename = "../../Veltrum.tar.gz"; }), image,
         "Veltrum.tar.gz"},
        {"name in a folder, trailing slash and dots", resigned([](auto& r) { r.filename = "dl/./v.tar.gz/./"; }),
         image, "v.tar.gz"},
        {"name ..", resigned([](auto& r) { r.filename = ".."; }), image, NO_NAME},
        {"name ending in ..", resigned([](auto& r) { r.filename = "dl/.."; }), image, NO_NAME},
        {"name /", resigned([](auto& r) { r.filename = "/"; }), image, NO_NAME},
        {"empty name", resigned([](auto& r) { r.filename = ""; }), image, NO_NAME},
        {"name with a NUL", resigned([](auto& r) { r.filename = std::string("a\0b", 3); }), image, NO_NAME},
    };
    for (const auto& c : cases) {
        auto r = update::verify(running, Platform::VeltrumLinux, c.info, c.image, keys.key());
        EXPECT_EQ(r ? *r : r.error(), c.result) << c.what;
    }
    // A record naming no platform is for every platform, but only a signed
    // manifest (which names one) is accepted: the check above covers it.
    // Equal epochs fail first even when everything else is wrong too.
    auto worst = changed([](auto& r) {
        r.version_epoch = running;
        r.platform = Platform::VeltrumWindows;
        r.manifest_signature.reset();
    });
    EXPECT_EQ(update::verify(running, Platform::VeltrumLinux, worst, "", keys.key()).error(), NOT_NEWER);
}

TEST(Verify, TheInstallationsOwnNamesAreNoImageNames) {
    UpdateInfo info;
    for (const auto& [filename, result] : std::vector<std::pair<std::string, std::string>>{
             {"dl/veltrum-linux.tar.gz", "veltrum-linux.tar.gz"},
             {"veltrum-update-mount", "update has no usable file name"},
             {"dl/veltrum-update-mount/", "update has no usable file name"},
             {"veltrum-update.lock", "update has no usable file name"},
             {"..", "update has no usable file name"},
             {"veltrum-update-mount.tar.gz", "veltrum-update-mount.tar.gz"},
         }) {
        info.filename = filename;
        auto r = update::image_file_name(info, "veltrum");
        EXPECT_EQ(r ? *r : r.error(), result) << filename;
    }
}

TEST(UpdateTexts, WhatTheWindowShows) {
    UpdateInfo info;
    info.version_display = "2027.01.02-0304";
    EXPECT_EQ(update::offer_title(info), "Update available: 2027.01.02-0304");
    EXPECT_EQ(update::busy_title(info), "Updating to 2027.01.02-0304\xe2\x80\xa6");
    EXPECT_EQ(update::check_failed_text("x"), "Update check failed: x");
    EXPECT_EQ(update::install_failed_text("update size mismatch"), "Update failed: update size mismatch");
}
