#pragma once
// Test helpers for the update client: a release key pair made for the test,
// fully signed update records, and a local HTTP server playing the update
// server.
#include <sodium.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "api/crypto.h"
#include "api/product.h"
#include "api/update.h"
#include "base/tests/support.h"

namespace update_support {

// An Ed25519 key pair made at run time.
struct ReleaseKeys {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};

    ReleaseKeys() {
        if (sodium_init() < 0) throw std::runtime_error("sodium_init");
        crypto_sign_keypair(pk.data(), sk.data());
    }
    // The pair of a 32-byte seed.
    explicit ReleaseKeys(std::string_view seed) {
        if (sodium_init() < 0 || seed.size() != crypto_sign_SEEDBYTES) throw std::runtime_error("seed");
        crypto_sign_seed_keypair(pk.data(), sk.data(), reinterpret_cast<const unsigned char*>(seed.data()));
    }
    // The key pair the test build of the program trusts (scripts/test gives
    // its public key to the build as the release key).
    static ReleaseKeys test_build() { return ReleaseKeys("veltrum-update-test-signing-seed"); }
    std::string public_b64() const {
        return api::base64_encode(std::string_view(reinterpret_cast<const char*>(pk.data()), pk.size()));
    }
    api::VerifyingKey key() const { return *api::verifying_key_from_b64(public_b64()); }
    // Base64 of the detached signature of the message.
    std::string sign(std::string_view message) const {
        std::array<unsigned char, crypto_sign_BYTES> sig{};
        crypto_sign_detached(sig.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size(), sk.data());
        return api::base64_encode(std::string_view(reinterpret_cast<const char*>(sig.data()), sig.size()));
    }
    std::string sign_digest(const api::Digest& d) const {
        return sign(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
    }
};

// A record describing `image`, with its digest, signature and manifest
// signature made with `keys`.
inline api::UpdateInfo signed_record(const ReleaseKeys& keys, std::string_view image, std::uint64_t epoch,
                                     api::Platform platform = api::Platform::VeltrumLinux,
                                     std::string filename = "veltrum-linux.tar.gz") {
    api::UpdateInfo info;
    info.version_epoch = epoch;
    info.version_display = "2027.01.02-0304";
    info.filename = std::move(filename);
    info.size = image.size();
    const auto digest = api::sha256_bytes(image);
    info.sha256 = api::hex(digest);
    info.signature = keys.sign_digest(digest);
    info.notes = "# New\n- faster";
    info.platform = platform;
    info.manifest_signature = keys.sign(api::client::update::manifest(platform, info));
    return info;
}

// The record as the server sends it.
inline std::string to_json(const api::UpdateInfo& info) {
    nlohmann::json j{{"version_epoch", info.version_epoch}, {"version_display", info.version_display},
                     {"filename", info.filename},           {"size", info.size},
                     {"sha256", info.sha256},               {"signature", info.signature},
                     {"notes", info.notes}};
    if (info.platform) j["platform"] = std::string(api::platform_key(*info.platform));
    if (info.manifest_signature) j["manifest_signature"] = *info.manifest_signature;
    return j.dump();
}

// A cpp-httplib server on 127.0.0.1 at a free port, listening on its own
// thread from construction until destruction. Routes are added before
// start().
class LocalServer {
public:
    httplib::Server server;

    void start() {
        // Enough workers for handlers that the tests keep waiting.
        server.new_task_queue = [] { return new httplib::ThreadPool(16); };
        port_ = server.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) throw std::runtime_error("no free port");
        thread_ = std::thread([this] { server.listen_after_bind(); });
        // stop() only reaches a server that is already running.
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LocalServer() {
        server.stop();
        if (thread_.joinable()) thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int port_ = 0;
    std::thread thread_;
};

}  // namespace update_support

namespace update_support {

// A latch the test opens; server handlers wait on it. Shared with the
// handlers so that it outlives them.
struct Gate {
    std::atomic<bool> open{false};
    // Waits until opened or until the peer has gone; true when opened.
    bool wait(const std::function<bool()>& peer_alive) const {
        while (!open.load()) {
            if (peer_alive && !peer_alive()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

// Opens the gate when the scope ends, before the server (declared earlier)
// is stopped.
struct OpenOnExit {
    std::shared_ptr<Gate> gate;
    ~OpenOnExit() { gate->open = true; }
};

}  // namespace update_support
