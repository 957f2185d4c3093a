#pragma once
// Autosave: every edit queues the whole `Session`; one background thread
// encodes the newest one and writes "autosave.vtproject" in the data folder
// atomically. A one-slot mailbox collapses bursts. Every queued autosave,
// every removal and the start-up move of the file take a number from one
// counter; a file operation runs only when its number is not lower than the
// last one performed, so the file never goes back to an older state.
//
// "autosave.lock" in the data folder, held with an exclusive flock for the
// life of the process, keeps autosave to one running instance.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "engine/persist/trace_file.h"

namespace engine::trace {

inline constexpr std::string_view AUTOSAVE_FILE_NAME = "autosave.vtproject";
inline constexpr std::string_view AUTOSAVE_KEPT_NAME = "autosave.kept.vtproject";
inline constexpr std::string_view AUTOSAVE_LOCK_NAME = "autosave.lock";
// Beside each autosave file: the project file it was written for (the path's
// bytes; absent for a project without a file).
inline constexpr std::string_view AUTOSAVE_PROJECT_NAME = "autosave.project";
inline constexpr std::string_view AUTOSAVE_KEPT_PROJECT_NAME = "autosave.kept.project";

// The number of the last file operation performed, under its mutex.
struct AutosaveFileLock {
    std::mutex mu;
    std::uint64_t last = 0;
};

// The ordering state of one autosave file: the counter and the file lock.
struct AutosaveOrder {
    std::atomic<std::uint64_t> generation{0};
    AutosaveFileLock file;

    // The next number (1, 2, 3, ...).
    std::uint64_t next() { return generation.fetch_add(1, std::memory_order_seq_cst) + 1; }
    // Runs op() under the file lock when `number` is not lower than the last
    // one performed, recording it first; true when op ran.
    template <class F>
    bool run_if_current(std::uint64_t number, F&& op) {
        std::lock_guard lk(file.mu);
        if (number < file.last) return false;
        file.last = number;
        op();
        return true;
    }
};

// The mailbox and its writer thread, for any value that encodes to bytes
// (one string, or parts written one after the other). The process-wide
// autosave encodes a Session to parts; the thread starts on the first queue
// and is stopped and joined only when the queue is destroyed (the
// process-wide one never is).
// Writes through api::client::write_atomic.
base::Result<void> autosave_write(const std::filesystem::path& p, const std::string& bytes);
base::Result<void> autosave_write(const std::filesystem::path& p, const std::vector<std::string_view>& parts);
// Deletes a file; logs WARN "autosave: {}" unless it did not exist.
void autosave_remove_file(const std::filesystem::path& p);

template <class T, class Bytes = std::string>
class AutosaveQueue {
public:
    using Encode = std::function<base::Result<Bytes>(const T&)>;
    // The bytes of a small file written beside the main one with it, under
    // the same lock; nothing removes that file.
    using Companion = std::function<std::optional<std::string>(const T&)>;

    AutosaveQueue(AutosaveOrder& order, std::filesystem::path file, Encode encode,
                  std::filesystem::path companion_file = {}, Companion companion = {})
        : order_(order),
          file_(std::move(file)),
          encode_(std::move(encode)),
          companion_file_(std::move(companion_file)),
          companion_(std::move(companion)) {}
    AutosaveQueue(const AutosaveQueue&) = delete;
    AutosaveQueue& operator=(const AutosaveQueue&) = delete;
    ~AutosaveQueue() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        if (worker_.joinable()) worker_.join();
    }

    // Puts (number, value) in the mailbox, replacing a value not yet taken.
    // The number is taken under the mailbox lock, so the mailbox only ever
    // moves to newer numbers whatever the threads queueing.
    void queue(T value) {
        {
            std::lock_guard lk(mu_);
            const std::uint64_t number = order_.next();
            pending_.emplace(number, std::move(value));
            if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
        }
        cv_.notify_all();
    }

    // Deletes the file under the ordering rule.
    void remove() {
        const std::uint64_t number = order_.next();
        order_.run_if_current(number, [&] {
            autosave_remove_file(file_);
            if (!companion_file_.empty()) autosave_remove_file(companion_file_);
        });
    }

    // Tests and benchmarks: blocks until the mailbox is empty and the
    // worker is not encoding or writing.
    void wait_idle() {
        std::unique_lock lk(mu_);
        idle_cv_.wait(lk, [&] { return (!pending_ && !busy_) || ended_; });
    }

    const std::filesystem::path& file() const { return file_; }

private:
    void run() {
        try {
            for (;;) {
                std::optional<std::pair<std::uint64_t, T>> job;
                {
                    std::unique_lock lk(mu_);
                    cv_.wait(lk, [&] { return pending_.has_value() || stop_; });
                    if (stop_) break;
                    job = std::move(pending_);
                    pending_.reset();
                    busy_ = true;
                }
                // Encoding holds no lock: queueing never waits for it. A
                // failure (even out of memory) is this job's, not the thread's.
                base::Result<Bytes> bytes = base::fail("encoding failed");
                try {
                    bytes = encode_(job->second);
                } catch (const std::exception& e) {
                    bytes = base::fail(e.what());
                }
                order_.run_if_current(job->first, [&] {
                    if (!bytes) {
                        base::log::warn("Veltrum::engine::trace", "autosave: " + bytes.error());
                        return;
                    }
                    if (auto ok = api_write(file_, *bytes); !ok) {
                        base::log::warn("Veltrum::engine::trace", "autosave: " + ok.error());
                        return;
                    }
                    if (companion_file_.empty()) return;
                    if (auto extra = companion_ ? companion_(job->second) : std::nullopt) {
                        if (auto ok = autosave_write(companion_file_, *extra); !ok)
                            base::log::warn("Veltrum::engine::trace", "autosave: " + ok.error());
                    } else {
                        autosave_remove_file(companion_file_);
                    }
                });
                job.reset();
                {
                    std::lock_guard lk(mu_);
                    busy_ = false;
                }
                idle_cv_.notify_all();
            }
        } catch (const std::exception& e) {
            base::log::error("Veltrum::engine::trace", std::string("autosave: writer thread ended: ") + e.what(),
                             {{"location", "engine::trace::AutosaveQueue::run"}});
        } catch (...) {
            base::log::error("Veltrum::engine::trace", "autosave: writer thread ended",
                             {{"location", "engine::trace::AutosaveQueue::run"}});
        }
        {
            std::lock_guard lk(mu_);
            busy_ = false;
            ended_ = true;
        }
        idle_cv_.notify_all();
    }

    static base::Result<void> api_write(const std::filesystem::path& p, const Bytes& bytes) {
        return autosave_write(p, bytes);
    }

    AutosaveOrder& order_;
    const std::filesystem::path file_;
    Encode encode_;
    const std::filesystem::path companion_file_;
    Companion companion_;
    std::mutex mu_;  // AUTOSAVE_PENDING
    std::condition_variable cv_;
    std::condition_variable idle_cv_;
    std::optional<std::pair<std::uint64_t, T>> pending_;
    bool busy_ = false;
    bool stop_ = false;
    bool ended_ = false;
    std::thread worker_;  // AUTOSAVE_WORKER
};

// ---- the process-wide autosave ---------------------------------------------------

// The autosave home: the data folder while this process holds "autosave.lock"
// in it; nothing when autosave is off (no data folder, no lock file, or
// another instance holds the lock). Computed once, on first use.
class AutosaveDir {
public:
    const std::optional<std::filesystem::path>& get() const;
    const std::optional<std::filesystem::path>& operator*() const { return get(); }
    const std::optional<std::filesystem::path>* operator->() const { return &get(); }
    bool on() const { return get().has_value(); }
};
extern const AutosaveDir AUTOSAVE_DIR;

// The counter and the file lock of "autosave.vtproject"; the main window's
// start-up move of the file uses them too:
//   AUTOSAVE.run_if_current(AUTOSAVE.next(), [&] { rename(...); });
extern AutosaveOrder& AUTOSAVE;
extern std::atomic<std::uint64_t>& AUTOSAVE_GENERATION;
extern AutosaveFileLock& AUTOSAVE_FILE_LOCK;

// Queues the session for the autosave file; returns at once. Does nothing
// when autosave is off. `project` is the project file the session belongs
// to; it is written to "autosave.project" together with the session (a
// session without one removes that file), so that a recovered autosave is
// applied under the project it was made for.
void autosave(Session session, std::optional<std::filesystem::path> project = std::nullopt);
// Deletes "autosave.vtproject" and "autosave.project" under the ordering
// rule (off: nothing).
void remove_autosave();
// Deletes "autosave.kept.vtproject" and "autosave.kept.project" (off: nothing).
void remove_kept_autosave();
// Tests and benchmarks: waits until every queued autosave is written.
void autosave_wait_idle();

// Opens and locks "autosave.lock" in `dir`: the folder when the lock is
// ours, nothing (after the WARN line) otherwise. What AUTOSAVE_DIR runs once.
std::optional<std::filesystem::path> take_autosave_lock(const std::filesystem::path& dir);

}  // namespace engine::trace
