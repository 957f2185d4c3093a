// The JACK host on the JACK test server: listing opens no client, a change
// is heard at once, and a stream's connections are kept while a peer is
// away, restored when it returns and when the stream opens again. Runs only
// when VELTRUM_TEST_JACK=1.
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "audio-watcher/config.h"
#include "audio-watcher/host.h"
#include "base/tests/support.h"

using namespace audio_watcher::host;
using namespace std::chrono_literals;

namespace {

// A client of the test's own with audio output ports (a peer that plays into
// the program, like a simulated room), which can leave and come back.
class Peer {
public:
    Peer(std::string name, int outputs) : name_(std::move(name)), outputs_(outputs) { open(); }
    ~Peer() { close(); }

    void open() {
        client_ = jack_client_open(name_.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                                   nullptr);
        ASSERT_NE(client_, nullptr) << "cannot open " << name_;
        for (int i = 0; i < outputs_; ++i)
            jack_port_register(client_, ("out_" + std::to_string(i)).c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput,
                               0);
        ASSERT_EQ(jack_activate(client_), 0);
    }

    void close() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }

    jack_client_t* client() const { return client_; }
    std::string port(int i) const { return name_ + ":out_" + std::to_string(i); }

private:
    std::string name_;
    int outputs_;
    jack_client_t* client_ = nullptr;
};

// Counts the clients that register on the server while it is alive.
class Arrivals {
public:
    Arrivals() {
        client_ = jack_client_open("arrivals", JackNoStartServer, nullptr);
        if (client_ == nullptr) return;
        jack_set_client_registration_callback(
            client_,
            [](const char* name, int reg, void* arg) {
                if (reg != 0 && std::string(name).starts_with("veltrum"))
                    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
            },
            &count);
        jack_activate(client_);
    }
    ~Arrivals() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    std::atomic<int> count{0};
    jack_client_t* client_ = nullptr;
};

std::set<std::string> connections(jack_client_t* c, const std::string& port) {
    std::set<std::string> out;
    jack_port_t* p = jack_port_by_name(c, port.c_str());
    if (p == nullptr) return out;
    const char** names = jack_port_get_all_connections(c, p);
    if (names == nullptr) return out;
    for (const char** n = names; *n != nullptr; ++n) out.insert(*n);
    jack_free(static_cast<void*>(names));
    return out;
}

DeviceHandle device_named(Host& h, const std::string& name) {
    auto devices = h.devices();
    if (!devices) return nullptr;
    for (const auto& d : *devices)
        if (d->id_text() && *d->id_text() == name) return d;
    return nullptr;
}

bool listed(Host& h, const std::string& name) { return device_named(h, name) != nullptr; }

StreamHandle input_stream(Host& h, const std::string& device) {
    DeviceHandle d = device_named(h, device);
    if (!d) return nullptr;
    auto ranges = d->supported_configs(true);
    if (!ranges) return nullptr;
    auto config = audio_watcher::config::pick_config(*ranges, 48000);
    if (!config) return nullptr;
    auto s = d->build_input_stream(*config, [](const void*, std::size_t) {}, [](const AudioError&) {});
    if (!s || !(*s)->play()) return nullptr;
    return std::move(*s);
}

TEST(JackHost, ListingOpensNoClientAndHearsChangesAtOnce) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    HostHandle jack = platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    ASSERT_TRUE(jack->devices().has_value());  // the long-lived client is open from here on
    ASSERT_TRUE(jack->notifies_changes());
    Arrivals arrivals;
    ASSERT_NE(arrivals.client_, nullptr);
    for (int i = 0; i < 100; ++i) {
        auto devices = jack->devices();
        ASSERT_TRUE(devices.has_value());
        ASSERT_TRUE(device_named(*jack, "system") != nullptr);
    }
    EXPECT_EQ(arrivals.count.load(), 0) << "a listing opened a client";

    // A peer that stays a tenth of a second is heard coming and going.
    std::uint64_t seen = jack->changes();
    {
        Peer peer("brief-peer", 2);
        EXPECT_TRUE(test_support::wait_until([&] { return listed(*jack, "brief-peer"); }, 10s, 10ms));
        EXPECT_NE(jack->wait_for_change(seen, 10s), seen);
        auto d = device_named(*jack, "brief-peer");
        ASSERT_NE(d, nullptr);
        EXPECT_TRUE(d->supports_input());
        EXPECT_FALSE(d->supports_output());
        seen = jack->changes();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(jack->wait_for_change(seen, 10s), seen);
    EXPECT_TRUE(test_support::wait_until([&] { return !listed(*jack, "brief-peer"); }, 10s, 10ms));
}

// Connections made by hand: a peer wired to the input in place of the
// device's port. The peer leaves and returns (after 0.5 s and after 5 s):
// its connection comes back. The stream closes and opens again: the same
// wiring, not the device's ports.
TEST(JackHost, WiringIsKeptAcrossPeerGapsAndReopens) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    HostHandle jack = platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    Peer peer("room-peer", 2);
    Arrivals probe;  // a client to read the graph with
    ASSERT_NE(probe.client_, nullptr);
    jack_client_t* c = probe.client_;

    StreamHandle s = input_stream(*jack, "system");
    ASSERT_NE(s, nullptr);
    // A first start connects the device's ports in order.
    std::string in0, in1;
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            for (const auto& [name, is_input] : test_support::jack_ports()) {
                if (name.starts_with("veltrum-input") && name.ends_with("inport 0")) in0 = name;
                if (name.starts_with("veltrum-input") && name.ends_with("inport 1")) in1 = name;
            }
            return !in0.empty() && !in1.empty();
        },
        10s));
    EXPECT_EQ(connections(c, in0), std::set<std::string>{"system:capture_1"});
    EXPECT_EQ(connections(c, in1), std::set<std::string>{"system:capture_2"});

    // By hand: the peer's first port in place of the system's on inport 0.
    ASSERT_EQ(jack_disconnect(c, "system:capture_1", in0.c_str()), 0);
    ASSERT_EQ(jack_connect(c, peer.port(0).c_str(), in0.c_str()), 0);
    const std::set<std::string> wired0{peer.port(0)};
    const std::set<std::string> wired1{"system:capture_2"};
    std::this_thread::sleep_for(500ms);  // the memory follows the server's word

    for (auto gap : {500ms, 5000ms}) {
        peer.close();
        EXPECT_TRUE(test_support::wait_until([&] { return connections(c, in0).empty(); }, 10s));
        std::this_thread::sleep_for(gap);
        peer.open();
        EXPECT_TRUE(test_support::wait_until([&] { return connections(c, in0) == wired0; }, 20s))
            << "gap " << gap.count() << " ms";
        EXPECT_EQ(connections(c, in1), wired1);
    }

    // Reopen: the wiring as it was, on the same ports.
    s.reset();
    EXPECT_TRUE(test_support::wait_until([&] { return connections(c, in0).empty(); }, 10s));
    s = input_stream(*jack, "system");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(test_support::wait_until([&] { return connections(c, in0) == wired0; }, 20s));
    EXPECT_EQ(connections(c, in1), wired1);

    // A connection taken away by hand stays away.
    ASSERT_EQ(jack_disconnect(c, "system:capture_2", in1.c_str()), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(connections(c, in1).empty());
    s.reset();
    s = input_stream(*jack, "system");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(test_support::wait_until([&] { return connections(c, in0) == wired0; }, 20s));
    EXPECT_TRUE(connections(c, in1).empty());
}

// The two streams of a measurement on the JACK server: in every cycle the
// input runs after the output, in whichever order they open, and before as
// after a loop is wired between them by hand. At each of its blocks the
// input sees how many frames the output has played: that count stays the
// same distance ahead of its own throughout.
TEST(JackHost, TheInputRunsAfterTheOutputInEveryCycle) {
    if (!test_support::jack_available()) GTEST_SKIP() << "no JACK server (VELTRUM_TEST_JACK unset)";
    HostHandle jack = platform_host("JACK");
    ASSERT_NE(jack, nullptr);
    Arrivals probe;  // a client to read and wire the graph with
    ASSERT_NE(probe.client_, nullptr);
    jack_client_t* c = probe.client_;
    DeviceHandle d = device_named(*jack, "system");
    ASSERT_NE(d, nullptr);
    for (const bool output_first : {true, false}) {
        SCOPED_TRACE(output_first ? "output opened first" : "input opened first");
        std::atomic<std::int64_t> played{0};
        std::atomic<bool> armed{false};
        std::mutex mu;
        std::set<std::int64_t> leads;  // output frames ahead of the input's, per input block
        int blocks = 0;
        const auto open_output = [&]() -> StreamHandle {
            auto config = d->default_config(false);
            if (!config) return nullptr;
            const std::size_t ch = config->channels;
            auto s = d->build_output_stream(
                *config, [&, ch](void*, std::size_t samples) { played.fetch_add(static_cast<std::int64_t>(samples / ch)); },
                [](const AudioError&) {});
            if (!s || !(*s)->play()) return nullptr;
            return std::move(*s);
        };
        const auto open_input = [&]() -> StreamHandle {
            auto config = d->default_config(true);
            if (!config) return nullptr;
            const std::size_t ch = config->channels;
            auto s = d->build_input_stream(
                *config,
                [&, ch, heard = std::int64_t{0}](const void*, std::size_t samples) mutable {
                    heard += static_cast<std::int64_t>(samples / ch);
                    if (!armed.load()) return;
                    std::lock_guard lk(mu);  // the test's own bookkeeping, not a real-time path
                    leads.insert(played.load() - heard);
                    ++blocks;
                },
                [](const AudioError&) {});
            if (!s || !(*s)->play()) return nullptr;
            return std::move(*s);
        };
        StreamHandle first = output_first ? open_output() : open_input();
        StreamHandle second = output_first ? open_input() : open_output();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_TRUE(test_support::wait_until(
            [&] { return connections(c, "veltrum-input:sync") == std::set<std::string>{"veltrum-output:sync"}; }, 10s));
        std::this_thread::sleep_for(300ms);  // the server takes a new graph at a cycle's start
        armed.store(true);
        const auto counted = [&] {
            std::lock_guard lk(mu);
            return blocks;
        };
        EXPECT_TRUE(test_support::wait_until([&] { return counted() >= 20; }, 60s)) << counted();
        // The loop, by hand, after the start (the second round finds it
        // restored from the first).
        const std::string out_port = "veltrum-output:outport 0", in_port = "veltrum-input:inport 0";
        const int wired = jack_connect(c, out_port.c_str(), in_port.c_str());
        ASSERT_TRUE(wired == 0 || wired == EEXIST) << wired;
        const int before = counted();
        EXPECT_TRUE(test_support::wait_until([&] { return counted() >= before + 20; }, 60s)) << counted();
        armed.store(false);
        std::lock_guard lk(mu);
        EXPECT_EQ(leads.size(), 1u) << "the input ran before the output in some cycles (" << leads.size()
                                    << " distances in " << blocks << " blocks)";
        second.reset();
        first.reset();
    }
}

}  // namespace
