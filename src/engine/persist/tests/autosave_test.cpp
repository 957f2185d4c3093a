#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/tests/support.h"
#include "engine/persist/autosave.h"

using namespace engine::trace;
namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) { return test_support::scratch("autosave", name); }
using test_support::slurp;

// An encoder that records what it encodes and can be held at its start.
class Encoder {
public:
    base::Result<std::string> operator()(const std::string& v) {
        std::unique_lock lk(mu_);
        seen_.push_back(v);
        cv_.notify_all();
        cv_.wait(lk, [&] { return open_; });
        if (v == "bad") return base::fail("text is not valid UTF-8");
        return v;
    }
    void hold() {
        std::lock_guard lk(mu_);
        open_ = false;
    }
    void release() {
        {
            std::lock_guard lk(mu_);
            open_ = true;
        }
        cv_.notify_all();
    }
    // Waits until `v` has reached the encoder.
    void wait_for(const std::string& v) {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return std::find(seen_.begin(), seen_.end(), v) != seen_.end(); });
    }
    std::vector<std::string> seen() {
        std::lock_guard lk(mu_);
        return seen_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> seen_;
    bool open_ = true;
};

struct Fixture {
    explicit Fixture(const fs::path& file)
        : queue(order, file, [this](const std::string& v) { return encoder(v); }) {}
    AutosaveOrder order;
    Encoder encoder;
    AutosaveQueue<std::string> queue;
};

}  // namespace

TEST(AutosaveQueue, BurstWhileWritingWritesOnceTheNewest) {
    const auto dir = scratch("burst");
    Fixture f(dir / "autosave.vtproject");
    f.encoder.hold();
    f.queue.queue("s0");
    f.encoder.wait_for("s0");  // the worker is busy with s0
    for (int i = 1; i <= 10; ++i) f.queue.queue("s" + std::to_string(i));
    f.encoder.release();
    f.queue.wait_idle();
    EXPECT_EQ(f.encoder.seen(), (std::vector<std::string>{"s0", "s10"}));
    EXPECT_EQ(slurp(dir / "autosave.vtproject"), "s10");
}

TEST(AutosaveQueue, QueueThenRemoveLeavesNoFile) {
    const auto dir = scratch("queue-remove");
    const auto file = dir / "autosave.vtproject";
    Fixture f(file);
    // Removed while the worker encodes it.
    f.encoder.hold();
    f.queue.queue("a");
    f.encoder.wait_for("a");
    f.queue.remove();
    // Removed before the worker took it from the mailbox.
    f.queue.queue("b");
    f.queue.remove();
    f.encoder.release();
    f.queue.wait_idle();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(f.order.file.last, 4u);
}

TEST(AutosaveQueue, RemoveThenQueueWrites) {
    const auto dir = scratch("remove-queue");
    const auto file = dir / "autosave.vtproject";
    Fixture f(file);
    f.queue.queue("old");
    f.queue.wait_idle();
    f.queue.remove();
    EXPECT_FALSE(fs::exists(file));
    f.queue.queue("new");
    f.queue.wait_idle();
    EXPECT_EQ(slurp(file), "new");
    // Removing a file that is not there logs nothing.
    base::log::Capture cap;
    f.queue.remove();
    f.queue.remove();
    EXPECT_TRUE(cap.records().empty());
}

TEST(AutosaveQueue, CompanionFileFollowsEachWrite) {
    const auto dir = scratch("companion");
    const auto file = dir / "autosave.vtproject";
    const auto note = dir / "autosave.project";
    AutosaveOrder order;
    AutosaveQueue<std::string> queue(
        order, file, [](const std::string& v) -> base::Result<std::string> { return v; }, note,
        [](const std::string& v) -> std::optional<std::string> {
            if (v.starts_with("untitled")) return std::nullopt;
            return "/shows/" + v;
        });
    queue.queue("a");
    queue.wait_idle();
    EXPECT_EQ(slurp(file), "a");
    EXPECT_EQ(slurp(note), "/shows/a");
    // A session of no project file leaves no note behind.
    queue.queue("untitled");
    queue.wait_idle();
    EXPECT_EQ(slurp(file), "untitled");
    EXPECT_FALSE(fs::exists(note));
    queue.queue("b");
    queue.wait_idle();
    queue.remove();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(note));
}

TEST(AutosaveQueue, FailuresAreLoggedAndTheWorkerGoesOn) {
    const auto dir = scratch("failures");
    // The folder of the file is a regular file at first.
    std::ofstream(dir / "sub") << "x";
    const auto file = dir / "sub" / "autosave.vtproject";
    Fixture f(file);
    base::log::Capture cap;
    f.queue.queue("a");
    f.queue.wait_idle();
    f.queue.queue("bad");
    f.queue.wait_idle();
    auto warn = cap.records();
    ASSERT_EQ(warn.size(), 2u);
    EXPECT_EQ(warn[0].level, base::log::Level::Warn);
    EXPECT_EQ(warn[0].target, "Veltrum::engine::trace");
    EXPECT_EQ(warn[0].message, "autosave: Not a directory (os error 20)");
    EXPECT_EQ(warn[1].message, "autosave: text is not valid UTF-8");
    EXPECT_TRUE(warn[0].fields.empty() && warn[1].fields.empty());
    fs::remove(dir / "sub");
    fs::create_directory(dir / "sub");
    f.queue.queue("b");
    f.queue.wait_idle();
    EXPECT_EQ(slurp(file), "b");
}

TEST(AutosaveLock, UnopenableLockFileTurnsAutosaveOff) {
    const auto dir = scratch("lock-dir");
    fs::create_directory(dir / "autosave.lock");  // a folder where the file should be
    base::log::Capture cap;
    EXPECT_FALSE(take_autosave_lock(dir));
    auto lines = cap.with_message("autosave: off, no lock file: Is a directory (os error 21)");
    EXPECT_EQ(lines.size(), 1u);
}

// Runs only in the child process that the next test starts.
TEST(AutosaveLock, ChildBody) {
    if (!std::getenv("VELTRUM_AUTOSAVE_CHILD")) GTEST_SKIP() << "runs as the second instance only";
    base::log::Capture cap;
    EXPECT_FALSE(AUTOSAVE_DIR.on());
    EXPECT_EQ(cap.with_message("autosave: off, another instance is running").size(), 1u);
    autosave(Session{});
    remove_autosave();
    remove_kept_autosave();
    autosave_wait_idle();
    EXPECT_EQ(cap.records().size(), 1u);
}

TEST(AutosaveLock, SecondInstanceRunsWithoutAutosave) {
    if (std::getenv("VELTRUM_AUTOSAVE_CHILD")) GTEST_SKIP();
    const auto xdg = scratch("second-instance");
    const auto data = xdg / "com.veltrum.veltrum";
    fs::create_directories(data);
    std::ofstream(data / "autosave.kept.vtproject") << "kept";
    // This process plays the first instance.
    const int fd = ::open((data / "autosave.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("VELTRUM_AUTOSAVE_CHILD", "1", 1);
        setenv("XDG_DATA_HOME", xdg.c_str(), 1);
        execl("/proc/self/exe", "autosave-child", "--gtest_filter=AutosaveLock.ChildBody", nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(data / "autosave.vtproject"));
    EXPECT_TRUE(fs::exists(data / "autosave.kept.vtproject"));
    ::close(fd);
}

TEST(Autosave, ProcessWideQueueWritesReadableProjects) {
    if (std::getenv("VELTRUM_AUTOSAVE_CHILD")) GTEST_SKIP();
    // The first use decides the folder for the whole process.
    const auto xdg = scratch("process");
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    ASSERT_TRUE(AUTOSAVE_DIR.on());
    const auto data = xdg / "com.veltrum.veltrum";
    EXPECT_EQ(**AUTOSAVE_DIR, data);
    EXPECT_TRUE(fs::exists(data / "autosave.lock"));
    const auto file = data / "autosave.vtproject";

    Session s;
    s.position = "Position 1";
    s.sources = {"Main"};
    for (int i = 1; i <= 10; ++i) {
        s.position = "Position " + std::to_string(i);
        autosave(s);
    }
    autosave_wait_idle();
    auto back = Session::try_read(file);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back->position, "Position 10");

    // Queue then remove: whatever the worker was doing, no file is left.
    autosave(s);
    remove_autosave();
    autosave_wait_idle();
    EXPECT_FALSE(fs::exists(file));
    // Remove then queue: written.
    remove_autosave();
    autosave(s);
    autosave_wait_idle();
    EXPECT_TRUE(fs::exists(file));
    // The start-up move takes its number and the file lock the same way.
    const bool moved = AUTOSAVE.run_if_current(AUTOSAVE_GENERATION.fetch_add(1) + 1,
                                               [&] { fs::rename(file, data / AUTOSAVE_KEPT_NAME); });
    EXPECT_TRUE(moved);
    EXPECT_TRUE(fs::exists(data / AUTOSAVE_KEPT_NAME));
    remove_kept_autosave();
    EXPECT_FALSE(fs::exists(data / AUTOSAVE_KEPT_NAME));
}
