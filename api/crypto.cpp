#include "api/crypto.h"

#include <sodium.h>

#include <cstdlib>
#include <stdexcept>

namespace api {
namespace {

void init_sodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) throw std::runtime_error("libsodium could not be initialised");
}

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string_view trim(std::string_view s) {
    constexpr std::string_view ws = " \t\n\r\f\v";
    const auto b = s.find_first_not_of(ws);
    if (b == s.npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

}  // namespace

std::optional<std::string> base64_decode(std::string_view text) {
    init_sodium();
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t len = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(),
                          nullptr, &len, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    if (end != text.data() + text.size()) return std::nullopt;  // trailing characters
    out.resize(len);
    return out;
}

std::string base64_encode(std::string_view bytes) {
    init_sodium();
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes_of(bytes), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);  // the terminating zero
    return out;
}

std::optional<VerifyingKey> verifying_key_from_b64(std::string_view text) {
    auto raw = base64_decode(trim(text));
    if (!raw || raw->size() != 32) return std::nullopt;
    VerifyingKey key;
    std::copy(raw->begin(), raw->end(), key.bytes.begin());
    // A canonical point of the prime-order group: small-order points, which
    // no release key can be, are refused too.
    if (crypto_core_ed25519_is_valid_point(key.bytes.data()) != 1) return std::nullopt;
    return key;
}

Digest sha256_bytes(std::string_view bytes) {
    init_sodium();
    Digest d{};
    crypto_hash_sha256(d.data(), bytes_of(bytes), bytes.size());
    return d;
}

struct Sha256::State {
    crypto_hash_sha256_state s;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    init_sodium();
    crypto_hash_sha256_init(&state_->s);
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) { crypto_hash_sha256_update(&state_->s, bytes_of(bytes), bytes.size()); }

Digest Sha256::finish() {
    Digest d{};
    crypto_hash_sha256_final(&state_->s, d.data());
    return d;
}

std::string hex(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += DIGITS[b >> 4];
        out += DIGITS[b & 15];
    }
    return out;
}

std::string hex(const Digest& digest) {
    return hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

bool verify_signature(std::string_view message, std::string_view signature_b64, const VerifyingKey& key) {
    auto sig = base64_decode(signature_b64);
    if (!sig || sig->size() != crypto_sign_BYTES) return false;
    return crypto_sign_verify_detached(bytes_of(*sig), bytes_of(message), message.size(), key.bytes.data()) == 0;
}

bool verify_digest(const Digest& digest, std::string_view signature_b64, const VerifyingKey& key) {
    return verify_signature(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()),
                            signature_b64, key);
}

}  // namespace api
