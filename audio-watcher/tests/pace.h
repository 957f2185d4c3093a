#pragma once
// Test helpers for the device watcher: a pause between polls stepped by the
// test, and software devices built in one line.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "audio-watcher/software_host.h"
#include "audio-watcher/watcher.h"

namespace audio_watcher::test_support {

// The watcher's pause between polls, stepped by the test: each sleep reports
// that a poll (or the first snapshot) is done and waits for the next step.
class Pace {
public:
    audio_watcher::macos::Sleep sleep() {
        return [this](std::chrono::nanoseconds) {
            std::unique_lock lk(mu_);
            ++entered_;
            cv_.notify_all();
            cv_.wait(lk, [&] { return released_ >= entered_ || finished_; });
            return !finished_;
        };
    }
    // Waits for the first snapshot.
    void started() { wait(1); }
    // Lets one poll run and waits until it is done.
    void poll() {
        int target;
        {
            std::lock_guard lk(mu_);
            ++released_;
            target = released_ + 1;
        }
        cv_.notify_all();
        wait(target);
    }
    // Ends the watcher's polling thread at its next sleep.
    void finish() {
        {
            std::lock_guard lk(mu_);
            finished_ = true;
        }
        cv_.notify_all();
    }

private:
    void wait(int entered) {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return entered_ >= entered; });
    }
    std::mutex mu_;
    std::condition_variable cv_;
    int entered_ = 0;
    int released_ = 0;
    bool finished_ = false;
};

inline host::SoftDevice device(std::string id, std::string name, std::uint16_t in, std::uint16_t out) {
    host::SoftDevice d;
    d.id = std::move(id);
    d.name = std::move(name);
    d.input_channels = in;
    d.output_channels = out;
    return d;
}

}  // namespace audio_watcher::test_support
