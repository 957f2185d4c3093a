#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/client.h"
#include "base/tests/support.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) { return test_support::scratch("api", name); }
using test_support::Env;
using test_support::slurp;

}  // namespace

TEST(DataFolder, BundleIdEndsInTheProductIdAndReplacesSpaces) {
    EXPECT_EQ(api::client::bundle_id("veltrum"), "com.veltrum.veltrum");
    EXPECT_EQ(api::client::bundle_id("my product"), "com.veltrum.my-product");
    EXPECT_EQ(api::client::bundle_id(""), "com.veltrum");
}

TEST(DataFolder, FollowsXdgThenHomeAndIsRecreated) {
    const auto dir = scratch("config");
    {
        Env xdg("XDG_DATA_HOME", (dir / "xdg").c_str());
        auto p = api::client::Product::config_dir("veltrum");
        ASSERT_TRUE(p);
        EXPECT_EQ(*p, dir / "xdg" / "com.veltrum.veltrum");
        EXPECT_TRUE(fs::is_directory(*p));
        fs::remove_all(dir / "xdg");
        auto again = api::client::Product::config_dir("veltrum");
        ASSERT_TRUE(again);
        EXPECT_TRUE(fs::is_directory(*again));
    }
    {
        Env xdg("XDG_DATA_HOME", nullptr);
        Env home("HOME", (dir / "home").c_str());
        auto p = api::client::Product::config_dir("my product");
        ASSERT_TRUE(p);
        EXPECT_EQ(*p, dir / "home" / ".local" / "share" / "com.veltrum.my-product");
        EXPECT_TRUE(fs::is_directory(*p));
    }
    {
        // A parent that is a regular file: no data folder.
        std::ofstream(dir / "plain") << "x";
        Env xdg("XDG_DATA_HOME", (dir / "plain").c_str());
        EXPECT_FALSE(api::client::Product::config_dir("veltrum"));
    }
}

TEST(WriteAtomic, WritesReplacesAndReportsFailures) {
    const auto dir = scratch("write");
    const auto target = dir / "settings.ron";
    ASSERT_TRUE(api::client::write_atomic(target, "first"));
    EXPECT_EQ(slurp(target), "first");
    ASSERT_TRUE(api::client::write_atomic(target, ""));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    ASSERT_TRUE(api::client::write_atomic(target, "again"));
    EXPECT_EQ(slurp(target), "again");
    // No temporary file is left behind.
    EXPECT_FALSE(fs::exists(target.native() + "." + std::to_string(getpid()) + ".tmp"));

    // A folder that does not exist: the system's text and number.
    auto r = api::client::write_atomic(dir / "missing" / "x.ron", "x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(dir / "missing"));

    // A parent that is a regular file.
    r = api::client::write_atomic(target / "child", "x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Not a directory (os error 20)");
    EXPECT_EQ(slurp(target), "again");

    // A bare file name is written in the current folder.
    const auto cwd = fs::current_path();
    fs::current_path(dir);
    EXPECT_TRUE(api::client::write_atomic("bare.ron", "bare"));
    fs::current_path(cwd);
    EXPECT_EQ(slurp(dir / "bare.ron"), "bare");
}

TEST(WriteAtomic, PartsAreWrittenOneAfterTheOther) {
    const auto dir = scratch("parts");
    const auto target = dir / "autosave.vtproject";
    // Empty parts, small ones and ones of several MiB (written in several
    // calls, some parts split between calls).
    const std::string big(9 << 20, 'x');
    std::string mid(3 << 20, 'y');
    mid[0] = 'Y';
    mid.back() = 'Z';
    const std::vector<std::vector<std::string_view>> cases = {
        {},
        {"", ""},
        {"ab", "", "cd", "e"},
        {"head", big, mid, "", mid, "tail"},
        {mid, big},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        std::string want;
        for (auto p : cases[c]) want += p;
        ASSERT_TRUE(api::client::write_atomic(target, std::span<const std::string_view>(cases[c]))) << c;
        EXPECT_TRUE(slurp(target) == want) << c;
    }
    EXPECT_FALSE(fs::exists(target.native() + "." + std::to_string(getpid()) + ".tmp"));
    const std::vector<std::string_view> one = {"x"};
    auto r = api::client::write_atomic(dir / "missing" / "x.ron", std::span<const std::string_view>(one));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "No such file or directory (os error 2)");
}

TEST(WriteAtomic, SavingOverALinkWritesTheFileItLeadsToAndKeepsTheLink) {
    const auto dir = scratch("link");
    fs::create_directories(dir / "real");
    test_support::spit(dir / "real" / "p.vtproject", "old");
    // A relative link, and a link to that link.
    fs::create_symlink("real/p.vtproject", dir / "link.vtproject");
    fs::create_symlink(dir / "link.vtproject", dir / "link2.vtproject");
    ASSERT_TRUE(api::client::write_atomic(dir / "link.vtproject", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.vtproject"));
    EXPECT_EQ(slurp(dir / "real" / "p.vtproject"), "new");
    ASSERT_TRUE(api::client::write_atomic(dir / "link2.vtproject", "newer"));
    EXPECT_TRUE(fs::is_symlink(dir / "link2.vtproject"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.vtproject"));
    EXPECT_EQ(slurp(dir / "real" / "p.vtproject"), "newer");
    // The temporary file lay beside the real file and is gone.
    for (const auto& e : fs::recursive_directory_iterator(dir))
        EXPECT_FALSE(e.path().native().ends_with(".tmp")) << e.path();
    // A link to a file not there yet creates it.
    fs::create_symlink("real/fresh.ron", dir / "dangling.ron");
    ASSERT_TRUE(api::client::write_atomic(dir / "dangling.ron", "fresh"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.ron"));
    EXPECT_EQ(slurp(dir / "real" / "fresh.ron"), "fresh");
    // A link to something that is not a regular file is neither followed
    // nor replaced.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "fifo", dir / "to-fifo.ron");
    auto r = api::client::write_atomic(dir / "to-fifo.ron", "x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "not a regular file");
    EXPECT_TRUE(fs::is_symlink(dir / "to-fifo.ron"));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
}

TEST(ReadFile, OnlyRegularFilesUpToTheCap) {
    const auto dir = scratch("read");
    test_support::spit(dir / "small", "abc");
    test_support::spit(dir / "big", std::string((1 << 20) + 1, 'x'));
    fs::create_symlink("small", dir / "link");
    fs::create_symlink("/dev/zero", dir / "zero");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(api::client::read_file(dir / "small").value(), "abc");
    EXPECT_EQ(api::client::read_file(dir / "link").value(), "abc");
    EXPECT_EQ(api::client::read_file(dir / "big", 1 << 20).error(), "file larger than 1 MB");
    EXPECT_EQ(api::client::read_file(dir / "big", (1 << 20) + 1).value().size(), (1u << 20) + 1);
    int err = 0;
    EXPECT_EQ(api::client::read_file(dir / "zero", 1 << 20, &err).error(), "not a regular file");
    EXPECT_EQ(api::client::read_file(dir / "fifo").error(), "not a regular file");
    EXPECT_EQ(api::client::read_file(dir).error(), "Is a directory (os error 21)");
    EXPECT_EQ(api::client::read_file(dir / "missing", 1 << 20, &err).error(), "No such file or directory (os error 2)");
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(api::client::READ_LIMIT, 536870912u);
}

TEST(WriteAtomic, ReadOnlyFolderKeepsTheOldFile) {
    // Root ignores permissions, so the write runs in a child that gave them up.
    char tmpl[] = "/tmp/veltrum-ro-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const fs::path dir = tmpl;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const auto target = dir / "autosave.vtproject";
    ASSERT_TRUE(api::client::write_atomic(target, "old"));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (getuid() == 0 && setuid(65534) != 0) _exit(3);
        auto r = api::client::write_atomic(target, "new");
        if (r) _exit(1);
        _exit(r.error() == "Permission denied (os error 13)" ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slurp(target), "old");
    fs::remove_all(dir);
}

TEST(WriteAtomic, KilledWriterLeavesTheOldOrTheNewFile) {
    const auto dir = scratch("crash");
    const auto target = dir / "project.vtproject";
    const std::string a(300000, 'a');
    const std::string b = "B" + std::string(200000, 'b') + "B";
    ASSERT_TRUE(api::client::write_atomic(target, a));
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i)
                if (!api::client::write_atomic(target, i % 2 ? a : b)) _exit(1);
        }
        usleep(std::uniform_int_distribution<int>(0, 20000)(rng));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed";
        const std::string now = slurp(target);
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    }
}

// Temporary files of atomic writes whose process has ended are removed; any
// other file is left: a temporary of a live process (this one, or pid 1), a
// name the caller does not own, a name that only looks alike, a link, a
// folder.
TEST(StaleTemporaries, OnlyOursOfEndedProcessesAreRemoved) {
    const auto dir = scratch("stale");
    // A process id that has just ended.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string dead = std::to_string(child);
    const std::string self = std::to_string(::getpid());
    auto spit = [&](const std::string& name) { test_support::spit(dir / name, "x"); };
    const std::vector<std::string> gone = {"settings.ron." + dead + ".tmp", "autosave.vtproject." + dead + ".tmp",
                                           "My Show.vtproject." + dead + ".tmp"};
    for (const auto& n : gone) spit(n);
    const std::vector<std::string> kept = {
        "settings.ron." + self + ".tmp",  // this process writes it
        "settings.ron.1.tmp",             // a process that runs
        "notes.txt." + dead + ".tmp",     // not a name of ours
        "settings.ron." + dead + "x.tmp", "settings.ron.0" + dead + ".tmp", "settings.ron..tmp", ".12.tmp",
        "settings.ron." + dead, "settings.ron",
    };
    for (const auto& n : kept) spit(n);
    fs::create_symlink(dir / "settings.ron", dir / ("link.vtproject." + dead + ".tmp"));
    fs::create_directories(dir / ("folder.vtproject." + dead + ".tmp"));
    auto ours = [](std::string_view name) { return name == "settings.ron" || name.ends_with(".vtproject"); };
    auto removed = api::client::remove_stale_temporaries(dir, ours);
    std::vector<std::string> names;
    for (const auto& p : removed) names.push_back(p.filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = gone;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
    for (const auto& n : gone) EXPECT_FALSE(fs::exists(dir / n)) << n;
    for (const auto& n : kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
    EXPECT_TRUE(fs::is_symlink(dir / ("link.vtproject." + dead + ".tmp")));
    EXPECT_TRUE(fs::is_directory(dir / ("folder.vtproject." + dead + ".tmp")));
    // A folder that is not there gives nothing.
    EXPECT_TRUE(api::client::remove_stale_temporaries(dir / "missing", ours).empty());
}
