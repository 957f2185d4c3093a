// The operations of the settings store: every change reaches "settings.ron"
// at once (one write per change, counted with inotify on the data folder),
// subscribers of a changed field wake, and the recent-project list keeps its
// order and its limit.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/settings/settings_store.h"
#include "reactive/loop.h"
#include "reactive/root.h"
#include "fixture.h"

using namespace engine::settings;
using namespace settings_test;

namespace {

// Counts the files renamed onto "settings.ron" in a folder: one per atomic write.
class WriteCounter {
public:
    explicit WriteCounter(const fs::path& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
    }
    ~WriteCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    WriteCounter(const WriteCounter&) = delete;
    WriteCounter& operator=(const WriteCounter&) = delete;
    bool ok() const { return fd_ >= 0; }
    // Writes since the last call (events are queued before rename() returns).
    int take() {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t len = ::read(fd_, buf, sizeof buf);
            if (len <= 0) break;
            for (ssize_t at = 0; at < len;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                if (ev->len > 0 && std::string(ev->name) == "settings.ron") ++n;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        return n;
    }

private:
    int fd_;
};

class SettingsStoreOps : public DataFolder {
protected:
    void SetUp() override {
        DataFolder::SetUp();
        make_folder();
        counter_ = std::make_unique<WriteCounter>(folder_);
        ASSERT_TRUE(counter_->ok());
        calls_.clear();
        previous_hook_ = set_recent_menu_hook([this](const std::vector<fs::path>& list) { calls_.push_back(list); });
    }
    void TearDown() override {
        set_recent_menu_hook(std::move(previous_hook_));
        counter_.reset();
        DataFolder::TearDown();
    }
    Settings on_disk() {
        auto s = Settings::deserialize(slurp(file_));
        EXPECT_TRUE(s) << (s ? "" : s.error());
        return s ? *s : Settings{};
    }

    std::unique_ptr<WriteCounter> counter_;
    std::vector<std::vector<fs::path>> calls_;
    RecentMenuHook previous_hook_;
};

std::vector<fs::path> paths(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

}  // namespace

TEST_F(SettingsStoreOps, UpdateWritesOncePerChangeEvenWhenNothingChanged) {
    SettingsStore store;
    SettingsStoreImplExt::update(store, [](Settings& s) { s.left_pane = !s.left_pane; });
    EXPECT_EQ(counter_->take(), 1);
    EXPECT_FALSE(store.peek().left_pane);
    EXPECT_EQ(on_disk(), store.peek());

    SettingsStoreImplExt::update(store, [](Settings& s) {
        s.show_ir = false;
        s.right_pane = false;
        s.set_input(true, Input{"h", "d", "n", 1, 96000, ""});
    });
    EXPECT_EQ(counter_->take(), 1);
    EXPECT_EQ(on_disk(), store.peek());

    SettingsStoreImplExt::update(store, [](Settings&) {});
    EXPECT_EQ(counter_->take(), 1);
    EXPECT_EQ(on_disk(), store.peek());
    EXPECT_TRUE(calls_.empty());
}

TEST_F(SettingsStoreOps, ReadersOfAChangedFieldWake) {
    reactive::ManualLoop loop;
    reactive::Root root(loop, nullptr);
    SettingsStore store;
    std::vector<bool> dark, left;
    reactive::Effect on_dark([&] { dark.push_back(store.field(&Settings::dark_mode)()); });
    reactive::Effect on_left([&] { left.push_back(store.get(&Settings::left_pane)); });
    loop.run_until_idle();

    SettingsStoreImplExt::toggle_dark_mode(store);
    loop.run_until_idle();
    EXPECT_EQ(dark, (std::vector<bool>{true, false}));
    EXPECT_EQ(left, (std::vector<bool>{true}));  // another field: asleep
    SettingsStoreImplExt::update(store, [](Settings& s) { s.left_pane = false; });
    loop.run_until_idle();
    EXPECT_EQ(left, (std::vector<bool>{true, false}));
    EXPECT_EQ(dark.size(), 2u);
}

TEST_F(SettingsStoreOps, ToggleDarkModeTwiceRestoresItAndWritesTwice) {
    SettingsStore store;
    SettingsStoreImplExt::toggle_dark_mode(store);
    EXPECT_EQ(counter_->take(), 1);
    EXPECT_FALSE(on_disk().dark_mode);
    SettingsStoreImplExt::toggle_dark_mode(store);
    EXPECT_EQ(counter_->take(), 1);
    EXPECT_TRUE(store.peek().dark_mode);
    EXPECT_EQ(on_disk(), Settings{});
}

TEST_F(SettingsStoreOps, AddRecentProject) {
    struct Case {
        const char* label;
        std::vector<fs::path> before;
        const char* added;
        std::vector<fs::path> after;
    };
    const Case cases[] = {
        {"into an empty list", {}, "/p/a.vtproject", paths({"/p/a.vtproject"})},
        {"third of four moves to the front", paths({"/a", "/b", "/c", "/d"}), "/c", paths({"/c", "/a", "/b", "/d"})},
        {"a sixth drops the oldest", paths({"/a", "/b", "/c", "/d", "/e"}), "/f", paths({"/f", "/a", "/b", "/c", "/d"})},
        {"seven read from a file are cut to five", paths({"/1", "/2", "/3", "/4", "/5", "/6", "/7"}), "/new",
         paths({"/new", "/1", "/2", "/3", "/4"})},
        {"the same path once more", paths({"/a", "/b"}), "/a", paths({"/a", "/b"})},
        {"doubled separator replaces the plain form", paths({"/x", "/p//a.vtproject", "/y"}), "/p/a.vtproject",
         paths({"/p/a.vtproject", "/x", "/y"})},
        {"plain form replaces a trailing separator and a dot", paths({"/p/./a/", "/x"}), "/p/a",
         paths({"/p/a", "/x"})},
        {"every equal entry goes", paths({"/p/a", "/x", "/p//a", "/p/a/"}), "/p/a", paths({"/p/a", "/x"})},
        {"'..' is not resolved", paths({"/p/q/../a", "/x"}), "/p/a", paths({"/p/a", "/p/q/../a", "/x"})},
        {"case matters", paths({"/P/A"}), "/p/a", paths({"/p/a", "/P/A"})},
        {"relative paths", paths({"./a", "a", "b//"}), "b", paths({"b", "./a", "a"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Settings start;
        start.recent_projects = c.before;
        start.last_project = fs::path("/old");
        start.dark_mode = false;
        SettingsStore store(start);
        calls_.clear();
        counter_->take();

        SettingsStoreImplExt::add_recent_project(store, c.added);

        Settings want = start;
        want.recent_projects = c.after;
        want.last_project = fs::path(c.added);
        EXPECT_EQ(store.peek(), want);
        EXPECT_EQ(counter_->take(), 1);
        EXPECT_EQ(on_disk(), want);
        ASSERT_EQ(calls_.size(), 1u);
        EXPECT_EQ(calls_[0], c.after);
    }
}

TEST_F(SettingsStoreOps, AFailedSaveKeepsTheChangeAndStillRebuildsTheMenu) {
    SettingsStore store;
    SettingsStoreImplExt::add_recent_project(store, fs::path("/p/\xFF.vtproject"));
    EXPECT_EQ(counter_->take(), 0);
    EXPECT_EQ(store.peek().recent_projects, paths({"/p/\xFF.vtproject"}));
    EXPECT_EQ(calls_.size(), 1u);
}

TEST(SettingsRecentMenu, WithoutAHookTheRebuildIsCounted) {
    auto previous = set_recent_menu_hook({});
    const auto before = unhooked_recent_menu_calls();
    update_recent_menu(paths({"/a"}));
    EXPECT_EQ(unhooked_recent_menu_calls(), before + 1);
    set_recent_menu_hook(std::move(previous));
}

TEST(SettingsPaths, Equality) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"/p/a", "/p/a", true},     {"/p//a", "/p/a", true},   {"/p/a/", "/p/a", true},
        {"/p/./a", "/p/a", true},   {"/./p", "/p", true},      {"./a", "a", false},
        {"./a", ".//a", true},      {"/p/../a", "/a", false},  {"/p/a", "p/a", false},
        {"/P/a", "/p/a", false},    {"", "", true},            {"a/.", "a", true},
        {"//p", "/p", true},        {"/", "//", true},         {"a", "b", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(same_path(c.a, c.b), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(same_path(c.b, c.a), c.equal) << c.b << " vs " << c.a;
    }
}
