#pragma once
// Small helpers shared by the test programs and benchmarks: scratch folders
// under $VELTRUM_TEST_TMP, whole-file reads and writes, an environment
// variable set for a scope, a clock that only moves when slept on, and
// seeded white noise.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
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

}  // namespace test_support
