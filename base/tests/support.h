#pragma once
// Small helpers shared by the test programs and benchmarks: scratch folders
// under $VELTRUM_TEST_TMP, whole-file reads and writes, an environment
// variable set for a scope, a clock that only moves when slept on, seeded
// white noise, and the ports of the JACK test server.
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace test_support {

// <$VELTRUM_TEST_TMP or the system temp folder>/<prefix>-<pid>, absolute.
inline std::filesystem::path scratch_root(std::string_view prefix) {
    namespace fs = std::filesystem;
    const char* base = std::getenv("VELTRUM_TEST_TMP");
    return fs::absolute(base && *base ? fs::path(base) : fs::temp_directory_path()) /
           (std::string(prefix) + "-" + std::to_string(getpid()));
}

// A fresh, empty folder <scratch_root(prefix)>/<name>.
inline std::filesystem::path scratch(std::string_view prefix, const std::string& name) {
    const auto dir = scratch_root(prefix) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::filesystem::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Sets an environment variable (or unsets it for nullptr) for the life of
// the object.
class Env {
public:
    Env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~Env() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A clock whose sleeps only advance its own time; it starts at one second.
class ManualClock final : public base::Clock {
public:
    std::chrono::nanoseconds now() override { return t; }
    void sleep(std::chrono::nanoseconds d) override { t += d; }
    std::chrono::nanoseconds t{std::chrono::seconds(1)};
};

// n samples of Gaussian white noise with the given RMS, the same for a seed.
inline std::vector<float> noise(std::size_t n, unsigned seed, float rms = 0.3f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> nd(0.0f, rms);
    std::vector<float> out(n);
    for (auto& v : out) v = nd(rng);
    return out;
}

// ---- the JACK test server

// True when the test script started a JACK server (VELTRUM_TEST_JACK=1).
inline bool jack_available() {
    const char* flag = std::getenv("VELTRUM_TEST_JACK");
    return flag != nullptr && std::string(flag) == "1";
}

// The JACK command-line tools run under a time limit: a server that stops
// answering fails the test with a message instead of holding it until the
// test runner's own limit.
inline constexpr const char* JACK_TOOL_LIMIT = "timeout -k 5 30 ";

// The server's ports, name -> true for an input port (jack_lsp -p).
inline std::map<std::string, bool> jack_ports() {
    std::map<std::string, bool> out;
    FILE* p = popen((std::string(JACK_TOOL_LIMIT) + "jack_lsp -p 2>/dev/null").c_str(), "r");
    if (p == nullptr) return out;
    char line[512];
    std::string port;
    while (std::fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s.empty()) continue;
        if (s[0] != ' ' && s[0] != '\t') {
            port = s;
            out[port] = false;
        } else if (!port.empty() && s.find("properties:") != std::string::npos) {
            out[port] = s.find("input") != std::string::npos;
        }
    }
    pclose(p);
    return out;
}

// A port that is not in `before`, of a client whose name starts with `client`
// (other programs may use the same server), an input or an output; empty when
// there is none yet.
inline std::string new_jack_port(const std::map<std::string, bool>& before, std::string_view client, bool input) {
    for (const auto& [name, is_input] : jack_ports())
        if (!before.contains(name) && name.starts_with(client) && is_input == input) return name;
    return {};
}

// Connects two ports with jack_connect; true on success.
inline bool jack_connect(const std::string& from, const std::string& to) {
    const std::string cmd = std::string(JACK_TOOL_LIMIT) + "jack_connect '" + from + "' '" + to + "'";
    return std::system(cmd.c_str()) == 0;
}

// Polls `done` every `step` until it holds or `limit` has passed; its last answer.
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit,
                       std::chrono::milliseconds step = std::chrono::milliseconds(100)) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < give_up) {
        if (done()) return true;
        std::this_thread::sleep_for(step);
    }
    return done();
}

// `limit`, or what is left before `deadline` when that is less (never below zero).
inline std::chrono::milliseconds capped(std::chrono::steady_clock::time_point deadline,
                                       std::chrono::milliseconds limit) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), limit);
}

// The first output port of "veltrum-output" and the first input port of
// "veltrum-input" that are new since `before`, once `opened` holds (at most
// `limit` for each); empty names when they did not come.
//
// `opened` tells when the program under test has opened both streams: the
// ports are listed only then. Each listing is a JACK client of its own, and
// a client that arrives while a program opens or closes clients of its own
// can stall that program inside the JACK library.
inline std::pair<std::string, std::string> jack_stream_ports(const std::map<std::string, bool>& before,
                                                            const std::function<bool()>& opened,
                                                            std::chrono::milliseconds limit) {
    std::string out_port, in_port;
    if (!wait_until(opened, limit)) return {};
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (out_port.empty() || in_port.empty()) {
        if (out_port.empty()) out_port = new_jack_port(before, "veltrum-output", false);
        if (in_port.empty()) in_port = new_jack_port(before, "veltrum-input", true);
        if (!out_port.empty() && !in_port.empty()) break;
        if (std::chrono::steady_clock::now() > give_up) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return {out_port, in_port};
}

// Waits (as jack_stream_ports) for the measurement's two streams and
// connects the generator's output into the measurement input: the loop
// back. False when the ports did not come or the connection failed.
inline bool jack_loop_back(const std::map<std::string, bool>& before, const std::function<bool()>& opened,
                           std::chrono::milliseconds limit) {
    const auto [out_port, in_port] = jack_stream_ports(before, opened, limit);
    return !out_port.empty() && !in_port.empty() && jack_connect(out_port, in_port);
}

}  // namespace test_support
