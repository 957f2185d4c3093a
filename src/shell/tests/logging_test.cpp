// Logging: the line format, the day's files with an injected clock and
// folder, retention, the standard-error fallback and the fatal-error hook.
#include <gtest/gtest.h>

#include <glib.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "base/tests/support.h"
#include "shell/logging.h"

namespace shell {

// Outside the anonymous namespace: exported, so the report can name it.
[[gnu::noinline]] void throw_boom() { throw std::runtime_error("boom"); }

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

system_clock::time_point utc(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, int us = 0) {
    return sys_days(year(y) / month(m) / day(d)) + hours(hh) + minutes(mm) + seconds(ss) + microseconds(us);
}

TEST(LogLine, Format) {
    using base::log::Level;
    struct Case {
        base::log::Record rec;
        system_clock::time_point at;
        const char* line;
    };
    const Case cases[] = {
        {{Level::Info, "Veltrum", "started", {}}, utc(2026, 10, 13, 8, 15, 2, 123456),
         "2026-10-13T08:15:02.123456Z  INFO Veltrum: started"},
        {{Level::Warn, "Veltrum::ui::main_window", "autosave: disk full", {}}, utc(2026, 1, 2, 3, 4, 5, 7),
         "2026-01-02T03:04:05.000007Z  WARN Veltrum::ui::main_window: autosave: disk full"},
        {{Level::Error, "Veltrum", "update failed: timeout", {{"url", "http://x/y"}, {"tries", 3}}},
         utc(2026, 12, 31, 23, 59, 59, 999999),
         "2026-12-31T23:59:59.999999Z ERROR Veltrum: update failed: timeout url=http://x/y tries=3"},
        {{Level::Debug, "t", "m", {}}, utc(2027, 1, 1), "2027-01-01T00:00:00.000000Z DEBUG t: m"},
        {{Level::Trace, "t", "m", {{"on", true}}}, utc(2027, 1, 1), "2027-01-01T00:00:00.000000Z TRACE t: m on=true"},
    };
    for (const auto& c : cases) EXPECT_EQ(base::log::format_line(c.rec, c.at), c.line);
}

TEST(LogFiles, NameAndWhatCounts) {
    EXPECT_EQ(log_file_name(utc(2026, 10, 13, 23, 59, 59, 999999)), "veltrum.2026-10-13.log");
    EXPECT_EQ(log_file_name(utc(2026, 10, 14)), "veltrum.2026-10-14.log");
    const std::pair<const char*, bool> names[] = {
        {"veltrum.2026-10-13.log", true}, {"veltrum-old.log", true}, {"veltrumlog", true},
        {"veltrum.2026-10-13.log.gz", false}, {"Veltrum.log", false}, {"other.log", false}, {"veltrum.txt", false},
    };
    for (auto [n, counts] : names) EXPECT_EQ(is_log_file_name(n), counts) << n;
}

// A clock the test moves; read by the writer thread.
struct FakeClock {
    std::atomic<system_clock::rep> now{utc(2026, 10, 13, 10).time_since_epoch().count()};
    void set(system_clock::time_point t) { now = t.time_since_epoch().count(); }
    WallClock fn() {
        return [this] { return system_clock::time_point(system_clock::duration(now.load())); };
    }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// The line without its timestamp (taken from the real time).
std::string untimed(const std::string& line) { return line.size() > 28 ? line.substr(28) : line; }

std::vector<std::string> file_names(const fs::path& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

struct ErrFile {
    std::FILE* f = std::tmpfile();
    ~ErrFile() { std::fclose(f); }
    std::string text() const {
        std::fflush(f);
        std::string out;
        std::rewind(f);
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
        return out;
    }
};

TEST(LogFiles, DayFilesRotationAndRetention) {
    const fs::path data = test_support::scratch("shell-log", "rotation");
    const fs::path logs = data / "logs";
    fs::create_directories(logs / "veltrum-folder.log");  // a folder: never counts
    test_support::spit(logs / "notes.txt", "keep");
    test_support::spit(logs / "other.log", "keep");
    test_support::spit(logs / "veltrum-old.log", "oldest");  // counts toward the limit
    std::this_thread::sleep_for(10ms);

    FakeClock clock;
    ErrFile err;
    LogSetup setup;
    setup.data_dir = data;
    setup.clock = clock.fn();
    setup.err = err.f;
    auto handle = init_logging(setup);
    ASSERT_TRUE(handle.writes_files());
    EXPECT_EQ(handle.folder(), logs);

    struct Step {
        system_clock::time_point at;
        std::vector<std::string> files;  // log files afterwards
    };
    const Step steps[] = {
        {utc(2026, 10, 13, 10), {"veltrum-old.log", "veltrum.2026-10-13.log"}},
        {utc(2026, 10, 13, 23, 59, 59), {"veltrum-old.log", "veltrum.2026-10-13.log"}},
        {utc(2026, 10, 14, 0, 0, 0, 1), {"veltrum-old.log", "veltrum.2026-10-13.log", "veltrum.2026-10-14.log"}},
        {utc(2026, 10, 15, 9), {"veltrum.2026-10-13.log", "veltrum.2026-10-14.log", "veltrum.2026-10-15.log"}},
        {utc(2026, 10, 16, 9), {"veltrum.2026-10-14.log", "veltrum.2026-10-15.log", "veltrum.2026-10-16.log"}},
    };
    int n = 0;
    for (const auto& s : steps) {
        clock.set(s.at);
        base::log::info("Veltrum", "event", {{"n", n++}});
        handle.drain(20s);
        std::vector<std::string> logs_now;
        for (auto& name : file_names(logs))
            if (is_log_file_name(name) && fs::is_regular_file(logs / name)) logs_now.push_back(name);
        EXPECT_EQ(logs_now, s.files) << "after event " << n - 1;
        std::this_thread::sleep_for(5ms);  // distinct creation times
    }
    // Two events of one day in one file; other names untouched.
    auto day1 = lines_of(test_support::slurp(logs / "veltrum.2026-10-14.log"));
    EXPECT_EQ(day1.size(), 1u);
    auto day0 = logs / "veltrum.2026-10-13.log";
    EXPECT_FALSE(fs::exists(day0));
    EXPECT_EQ(test_support::slurp(logs / "notes.txt"), "keep");
    EXPECT_EQ(test_support::slurp(logs / "other.log"), "keep");
    EXPECT_TRUE(fs::is_directory(logs / "veltrum-folder.log"));
    EXPECT_EQ(untimed(day1[0]), " INFO Veltrum: event n=2");
}

TEST(LogFiles, LevelsStderrAndNoColours) {
    const fs::path data = test_support::scratch("shell-log", "levels");
    FakeClock clock;
    ErrFile err;
    LogSetup setup;
    setup.data_dir = data;
    setup.clock = clock.fn();
    setup.err = err.f;
    setup.colour = true;  // never used while files are written
    auto handle = init_logging(setup);
    base::log::error("Veltrum", "one", {{"path", "/tmp/a b"}});
    base::log::debug("Veltrum", "not written");
    base::log::warn("Veltrum::ui::main_window", "two");
    std::thread([] { base::log::info("engine", "three"); }).join();
    handle.drain(20s);

    const std::vector<std::string> want = {"ERROR Veltrum: one path=/tmp/a b", " WARN Veltrum::ui::main_window: two",
                                           " INFO engine: three"};
    for (const std::string& text : {test_support::slurp(data / "logs" / "veltrum.2026-10-13.log"), err.text()}) {
        std::vector<std::string> got;
        for (auto& l : lines_of(text)) got.push_back(untimed(l));
        EXPECT_EQ(got, want);
        EXPECT_EQ(text.find('\x1b'), std::string::npos);
    }
}

TEST(LogFallback, WarnsOnStderrWithColoursUnlessNoColor) {
    const fs::path data = test_support::scratch("shell-log", "blocked");
    test_support::spit(data / "logs", "a file where the folder should be");
    struct Case {
        std::optional<fs::path> dir;
        const char* no_color;
        bool colours;
    };
    const Case cases[] = {
        {std::nullopt, nullptr, true},
        {std::nullopt, "", true},
        {std::nullopt, "1", false},
        {data, nullptr, true},
    };
    for (const auto& c : cases) {
        test_support::Env env("NO_COLOR", c.no_color);
        ErrFile err;
        LogSetup setup;
        setup.data_dir = c.dir;
        setup.err = err.f;
        {
            auto handle = init_logging(setup);
            EXPECT_FALSE(handle.writes_files());
            base::log::debug("Veltrum", "not written");
        }
        const auto lines = lines_of(err.text());
        ASSERT_EQ(lines.size(), 1u);
        if (c.colours) {
            EXPECT_NE(lines[0].find("\x1b["), std::string::npos);
        } else {
            EXPECT_EQ(untimed(lines[0]), " WARN Veltrum: no log directory, logging to stderr only");
        }
        EXPECT_NE(lines[0].find("WARN"), std::string::npos);
        EXPECT_TRUE(lines[0].ends_with("Veltrum: no log directory, logging to stderr only"));
    }
}

TEST(LogBridge, GlibRecordsAtInfoAndAbove) {
    ErrFile err;
    LogSetup setup;
    setup.err = err.f;
    setup.colour = false;
    auto handle = init_logging(setup);
    g_log_structured("Gtk", G_LOG_LEVEL_WARNING, "MESSAGE", "something odd");
    g_log_structured("Gtk", G_LOG_LEVEL_DEBUG, "MESSAGE", "chatter");
    g_log_structured("WebKit", G_LOG_LEVEL_MESSAGE, "MESSAGE", "hello");
    auto lines = lines_of(err.text());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(untimed(lines[1]), " WARN Gtk: something odd");
    EXPECT_EQ(untimed(lines[2]), " INFO WebKit: hello");
}

TEST(LogPanic, LineWithLocationAndMessage) {
    base::log::Capture cap;
    log_panic({"src/engine/tf.cpp:120:9", "index out of range"});
    log_panic({"main.cpp:3:1", std::nullopt});
    auto recs = cap.records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].level, base::log::Level::Error);
    EXPECT_EQ(recs[0].target, "Veltrum");
    EXPECT_EQ(recs[0].message, "panicked at src/engine/tf.cpp:120:9:\nindex out of range");
    EXPECT_EQ(recs[1].message, "panicked at main.cpp:3:1:");
}

TEST(LogPanicDeathTest, EscapedExceptionIsLoggedThenTheKeptHandlerRuns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            LogSetup setup;
            setup.colour = false;
            auto handle = init_logging(setup);
            install_panic_hook();
            std::thread([] { throw_boom(); }).join();
        },
        "ERROR Veltrum: panicked at .*throw_boom.*:\nboom\n(.|\n)*terminate called after throwing.*runtime_error");
}

}  // namespace
}  // namespace shell
