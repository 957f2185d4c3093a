#pragma once
// The digests, keys and signatures of release images: SHA-256, standard
// Base64 and Ed25519 (libsodium).
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace api {

using Digest = std::array<unsigned char, 32>;

// An Ed25519 public key that decodes as a valid curve point.
struct VerifyingKey {
    std::array<unsigned char, 32> bytes{};
    bool operator==(const VerifyingKey&) const = default;
};

// The key of a Base64 text: surrounding white space trimmed, standard Base64
// (RFC 4648 alphabet, "=" fill where the length needs it) of exactly 32
// bytes that form a valid Ed25519 point; nothing otherwise.
std::optional<VerifyingKey> verifying_key_from_b64(std::string_view text);

// The SHA-256 digest of the bytes.
Digest sha256_bytes(std::string_view bytes);

// The SHA-256 digest of bytes given in pieces (a file as it arrives).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    void update(std::string_view bytes);
    // The digest of everything given; the hasher is used up.
    Digest finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Two lowercase hexadecimal digits per byte.
std::string hex(std::string_view bytes);
std::string hex(const Digest& digest);

// Standard Base64 with fill characters, nothing else (no white space).
std::optional<std::string> base64_decode(std::string_view text);
std::string base64_encode(std::string_view bytes);

// True when the Base64 text decodes to exactly 64 bytes that are a valid
// Ed25519 signature of the message under the key.
bool verify_signature(std::string_view message, std::string_view signature_b64, const VerifyingKey& key);

// verify_signature over the 32 raw digest bytes (not their hexadecimal text).
bool verify_digest(const Digest& digest, std::string_view signature_b64, const VerifyingKey& key);

}  // namespace api
