// Verification of a downloaded update image (SHA-256 of the whole image and
// two Ed25519 checks): how long the installation spends on it, off the UI
// thread, for images of program-folder size.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <string>

#include "api/crypto.h"
#include "api/update.h"

namespace {

std::string sign(std::string_view message, const unsigned char* sk) {
    std::array<unsigned char, crypto_sign_BYTES> sig{};
    crypto_sign_detached(sig.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         sk);
    return api::base64_encode(std::string_view(reinterpret_cast<const char*>(sig.data()), sig.size()));
}

void BM_verify(benchmark::State& state) {
    if (sodium_init() < 0) state.SkipWithError("libsodium");
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};
    crypto_sign_keypair(pk.data(), sk.data());
    const auto key = *api::verifying_key_from_b64(
        api::base64_encode(std::string_view(reinterpret_cast<const char*>(pk.data()), pk.size())));

    const std::string image(static_cast<std::size_t>(state.range(0)) << 20, '\x5a');
    api::UpdateInfo info;
    info.version_epoch = 2;
    info.version_display = "2027.01.02-0304";
    info.filename = "veltrum-linux.tar.gz";
    info.size = image.size();
    const auto digest = api::sha256_bytes(image);
    info.sha256 = api::hex(digest);
    info.signature = sign(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()), sk.data());
    info.platform = api::Platform::VeltrumLinux;
    info.manifest_signature = sign(api::client::update::manifest(api::Platform::VeltrumLinux, info), sk.data());

    for (auto _ : state)
        benchmark::DoNotOptimize(api::client::update::verify(1, api::Platform::VeltrumLinux, info, image, key));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_verify)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
