// A JACK server that dies under running streams: the streams report their
// device as gone and are torn down without calling into the dead client,
// round after round, and a listing without a server fails instead of
// answering with no devices. Each round starts a JACK server of its own (so
// the shared test server is never the one killed). Runs only when
// VELTRUM_TEST_JACK=1 and jackd is installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "audio-watcher/config.h"
#include "audio-watcher/host.h"
#include "base/tests/support.h"

using namespace audio_watcher::host;
using namespace std::chrono_literals;

namespace {

pid_t start_server(const std::string& name) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open(std::getenv("VELTRUM_TEST_JACKD_LOG") ? std::getenv("VELTRUM_TEST_JACKD_LOG") : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execlp("jackd", "jackd", "-n", name.c_str(), "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "2048",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

DeviceHandle system_device(Host& h) {
    auto devices = h.devices();
    if (!devices) return nullptr;
    for (const auto& d : *devices)
        if (d->id_text() && *d->id_text() == "system") return d;
    return nullptr;
}

TEST(JackServerDeath, StreamsOfADeadServerCloseCleanlyRoundAfterRound) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    if (std::system("command -v jackd >/dev/null 2>&1") != 0) GTEST_SKIP() << "no jackd";
    HostHandle jack = platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    for (int round = 0; round < 6; ++round) {
        // One name for every round: the JACK library gives a dead server's
        // place to the next server of the same name, while every new name
        // would take one of its few places for good.
        const std::string name = "veltrum-death-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
        const pid_t server = start_server(name);
        ASSERT_GT(server, 0);
        DeviceHandle system;
        ASSERT_TRUE(test_support::wait_until([&] { return (system = system_device(*jack)) != nullptr; }, 60s))
            << "round " << round << ": the server did not come up";

        std::atomic<int> lost{0};
        auto on_error = [&](const AudioError& e) {
            if (e.kind == ErrorKind::DeviceNotAvailable) lost.fetch_add(1);
        };
        const auto in_cfg = audio_watcher::config::pick_config(*system->supported_configs(true), 48000);
        const auto out_cfg = audio_watcher::config::pick_config(*system->supported_configs(false), 48000);
        ASSERT_TRUE(in_cfg && out_cfg);
        std::atomic<std::size_t> heard{0};
        auto in = system->build_input_stream(*in_cfg, [&](const void*, std::size_t n) { heard.fetch_add(n); },
                                             on_error);
        auto out = system->build_output_stream(
            *out_cfg, [](void* data, std::size_t n) { std::fill_n(static_cast<float*>(data), n, 0.25f); }, on_error);
        ASSERT_TRUE(in && out) << "round " << round;
        ASSERT_TRUE((*in)->play());
        ASSERT_TRUE((*out)->play());
        EXPECT_TRUE(test_support::wait_until([&] { return heard.load() > 0; }, 30s));

        // Killed outright in some rounds, told to stop in the others.
        kill(server, round % 2 == 0 ? SIGKILL : SIGTERM);
        int status = 0;
        waitpid(server, &status, 0);
        EXPECT_TRUE(test_support::wait_until([&] { return lost.load() >= 2; }, 30s))
            << "round " << round << ": the streams did not report their server gone";
        // The teardown of the analyzer's streams: output, then input.
        out->reset();
        in->reset();
        // No server: the listing fails; it never says that no device is there.
        EXPECT_FALSE(jack->devices().has_value());
    }
}

}  // namespace
