#include "shell/logging.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <glib.h>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/file_helper.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "api/client.h"
#include "api/product.h"
#include "base/log.h"

namespace shell {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string log_file_name(std::chrono::system_clock::time_point t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    return fmt::format("veltrum.{:%Y-%m-%d}.log", std::chrono::sys_seconds(day));
}

bool is_log_file_name(std::string_view name) { return name.starts_with("veltrum") && name.ends_with("log"); }

namespace {

// Creation time in nanoseconds; the modification time where the file
// system keeps no creation time.
std::int64_t created_ns(const fs::path& p) {
    struct statx sx {};
    if (statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
        const auto& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }
    return 0;
}

}  // namespace

void prune_log_files(const fs::path& folder) {
    struct Entry {
        std::int64_t created;
        fs::path path;
    };
    std::vector<Entry> logs;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (!it->is_regular_file(sec) || !is_log_file_name(it->path().filename().native())) continue;
        logs.push_back({created_ns(it->path()), it->path()});
    }
    if (logs.size() < LOG_FILES_KEPT) return;
    std::sort(logs.begin(), logs.end(),
              [](const Entry& a, const Entry& b) { return std::tie(a.created, a.path) < std::tie(b.created, b.path); });
    for (std::size_t i = 0; i + (LOG_FILES_KEPT - 1) < logs.size(); ++i) fs::remove(logs[i].path, ec);
}

namespace {

// The day's log file: opened (after pruning) at start and at the first line
// written on a new UTC day. Lines arrive already formatted.
class DailyFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    DailyFileSink(fs::path folder, WallClock clock) : folder_(std::move(folder)), clock_(std::move(clock)) {
        open_day(std::chrono::floor<std::chrono::days>(clock_()));
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const auto day = std::chrono::floor<std::chrono::days>(clock_());
        if (day != day_) {
            try {
                open_day(day);
            } catch (const spdlog::spdlog_ex&) {
                return;  // the line is lost; the next one tries again
            }
        }
        spdlog::memory_buf_t buf;
        formatter_->format(msg, buf);
        file_.write(buf);
        file_.flush();
    }
    void flush_() override { file_.flush(); }

private:
    void open_day(std::chrono::sys_days day) {
        file_.close();
        prune_log_files(folder_);
        file_.open((folder_ / log_file_name(day)).string(), false);
        day_ = day;
    }

    fs::path folder_;
    WallClock clock_;
    std::chrono::sys_days day_{};
    spdlog::details::file_helper file_;
};

// The line is formatted by the facade; this adds the newline and marks the
// level word for the console's colours.
class LineFormatter final : public spdlog::formatter {
public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        const auto text = msg.payload;
        // "YYYY-MM-DDTHH:MM:SS.ffffffZ " then the level in five characters.
        constexpr std::size_t level_at = 28;
        if (text.size() >= level_at + 5) {
            std::size_t start = level_at;
            while (start < level_at + 5 && text[start] == ' ') ++start;
            msg.color_range_start = dest.size() + start;
            msg.color_range_end = dest.size() + level_at + 5;
        }
        dest.append(text.data(), text.data() + text.size());
        dest.push_back('\n');
    }
    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<LineFormatter>(); }
};

spdlog::level::level_enum spdlog_level(base::log::Level l) {
    switch (l) {
        case base::log::Level::Error: return spdlog::level::err;
        case base::log::Level::Warn: return spdlog::level::warn;
        case base::log::Level::Info: return spdlog::level::info;
        case base::log::Level::Debug: return spdlog::level::debug;
        case base::log::Level::Trace: return spdlog::level::trace;
    }
    return spdlog::level::info;
}

// spdlog's default logger, for libraries that log through spdlog directly:
// its records go through the facade.
class FacadeSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit FacadeSink(std::string target) : target_(std::move(target)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        base::log::Level l = base::log::Level::Info;
        switch (msg.level) {
            case spdlog::level::critical:
            case spdlog::level::err: l = base::log::Level::Error; break;
            case spdlog::level::warn: l = base::log::Level::Warn; break;
            case spdlog::level::info: l = base::log::Level::Info; break;
            case spdlog::level::debug: l = base::log::Level::Debug; break;
            default: l = base::log::Level::Trace; break;
        }
        base::log::write(l, target_, std::string_view(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}

private:
    std::string target_;
};

// GLib's (and so GTK's and WebKit's) log records, by level: critical and
// error → ERROR, warning → WARN, message and info → INFO, debug dropped.
GLogWriterOutput glib_writer(GLogLevelFlags level, const GLogField* fields, gsize n, gpointer) {
    base::log::Level l;
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) l = base::log::Level::Error;
    else if (level & G_LOG_LEVEL_WARNING) l = base::log::Level::Warn;
    else if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) l = base::log::Level::Info;
    else return G_LOG_WRITER_HANDLED;
    std::string domain = "glib", message;
    for (gsize i = 0; i < n; ++i) {
        const auto* f = &fields[i];
        auto text = [&] {
            return f->length < 0 ? std::string(static_cast<const char*>(f->value))
                                 : std::string(static_cast<const char*>(f->value), static_cast<std::size_t>(f->length));
        };
        if (std::strcmp(f->key, "GLIB_DOMAIN") == 0 && f->value) domain = text();
        else if (std::strcmp(f->key, "MESSAGE") == 0 && f->value) message = text();
    }
    base::log::write(l, domain, message);
    return G_LOG_WRITER_HANDLED;
}

void bridge_library_logging() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_writer_func(glib_writer, nullptr, nullptr);
        auto lg = std::make_shared<spdlog::logger>("spdlog", std::make_shared<FacadeSink>("spdlog"));
        lg->set_level(spdlog::level::info);
        spdlog::set_default_logger(std::move(lg));
    });
}

bool colour_by_default() {
    const char* v = std::getenv("NO_COLOR");
    return !(v && *v);
}

// The handle of the current setup, for the fatal-error hook.
std::mutex CURRENT_MU;
std::weak_ptr<LogHandle::State> CURRENT;

}  // namespace

struct LogHandle::State {
    std::shared_ptr<spdlog::logger> err;  // synchronous, on the logging thread
    std::optional<fs::path> folder;       // set when lines also go to the files
    std::shared_ptr<spdlog::sinks::sink> file_sink;

    // The writer's queue is allocated whole (LOG_QUEUE_LINES slots, tens of
    // megabytes), which takes a noticeable part of a second: it is built on
    // a thread of its own so that start-up does not wait for it. Lines
    // logged meanwhile are kept in `early` and queued first.
    std::mutex mu;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::async_logger> file;
    std::vector<std::pair<spdlog::level::level_enum, std::string>> early;
    std::thread builder;

    ~State() {
        if (builder.joinable()) builder.join();
    }

    void start_writer() {
        builder = std::thread([this] {
            auto p = std::make_shared<spdlog::details::thread_pool>(LOG_QUEUE_LINES, 1);
            auto f = std::make_shared<spdlog::async_logger>("veltrum", file_sink, p,
                                                            spdlog::async_overflow_policy::overrun_oldest);
            f->set_level(spdlog::level::info);
            std::lock_guard lk(mu);
            for (auto& [level, line] : early) f->log(level, line);
            early.clear();
            pool = std::move(p);
            file = std::move(f);
        });
    }

    void write(const base::log::Record& rec, const std::string& line) {
        const auto level = spdlog_level(rec.level);
        err->log(level, line);
        if (!folder) return;
        std::lock_guard lk(mu);
        // Never waits for the writer: a line that does not fit is dropped.
        if (!file) {
            if (early.size() < LOG_QUEUE_LINES) early.emplace_back(level, line);
        } else if (pool->queue_size() < LOG_QUEUE_LINES) {
            file->log(level, line);
        }
    }

    void drain(std::chrono::milliseconds limit) {
        if (!folder) return;
        const auto end = std::chrono::steady_clock::now() + limit;
        auto ready = [&] {
            std::lock_guard lk(mu);
            return file != nullptr;
        };
        while (!ready() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        std::shared_ptr<spdlog::details::thread_pool> p;
        std::shared_ptr<spdlog::async_logger> f;
        {
            std::lock_guard lk(mu);
            p = pool;
            f = file;
        }
        if (!f) return;
        // The queue empties when the writer took the last line; a short
        // pause lets it finish writing that line.
        while (p->queue_size() > 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        // The flush is queued behind the last line on the one writer thread: once
        // the writer has taken it, that line is written (and its day's file made).
        f->flush();
        while (p->queue_size() > 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(5ms);
    }
};

LogHandle::LogHandle() = default;
LogHandle::LogHandle(std::shared_ptr<State> s) : s_(std::move(s)) {}
LogHandle::LogHandle(LogHandle&&) noexcept = default;
LogHandle& LogHandle::operator=(LogHandle&& o) noexcept {
    if (this != &o) {
        LogHandle dropped(std::move(*this));
        s_ = std::move(o.s_);
    }
    return *this;
}

LogHandle::~LogHandle() {
    if (!s_) return;
    bool current = false;
    {
        std::lock_guard lk(CURRENT_MU);
        current = CURRENT.lock() == s_;
        if (current) CURRENT.reset();
    }
    if (current) base::log::set_sink(nullptr);
}

bool LogHandle::writes_files() const { return s_ && s_->folder; }
std::optional<fs::path> LogHandle::folder() const { return s_ ? s_->folder : std::nullopt; }

void LogHandle::drain(std::chrono::milliseconds limit) const {
    if (s_) s_->drain(limit);
}

LogHandle init_logging() {
    LogSetup s;
    s.data_dir = api::client::Product::config_dir(api::client::PRODUCT.id);
    return init_logging(std::move(s));
}

LogHandle init_logging(LogSetup setup) {
    bridge_library_logging();
    if (!setup.clock) setup.clock = [] { return std::chrono::system_clock::now(); };
    auto state = std::make_shared<LogHandle::State>();

    std::shared_ptr<spdlog::sinks::sink> file_sink;
    if (setup.data_dir) {
        const fs::path folder = *setup.data_dir / "logs";
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (!ec && fs::is_directory(folder, ec)) {
            try {
                file_sink = std::make_shared<DailyFileSink>(folder, setup.clock);
            } catch (const spdlog::spdlog_ex&) {
                file_sink.reset();
            }
        }
    }

    const bool colour = !file_sink && setup.colour.value_or(colour_by_default());
    auto err_sink = std::make_shared<spdlog::sinks::ansicolor_sink<spdlog::details::console_mutex>>(
        setup.err, colour ? spdlog::color_mode::always : spdlog::color_mode::never);
    err_sink->set_formatter(std::make_unique<LineFormatter>());
    state->err = std::make_shared<spdlog::logger>("stderr", err_sink);
    state->err->set_level(spdlog::level::info);

    if (file_sink) {
        file_sink->set_formatter(std::make_unique<LineFormatter>());
        state->file_sink = file_sink;
        state->folder = *setup.data_dir / "logs";
        state->start_writer();
    }

    {
        std::lock_guard lk(CURRENT_MU);
        CURRENT = state;
    }
    base::log::set_sink([st = state](const base::log::Record& rec, const std::string& line) { st->write(rec, line); });
    if (!file_sink) base::log::warn(LOG_TARGET, "no log directory, logging to stderr only");
    return LogHandle(std::move(state));
}

// ---- fatal errors -----------------------------------------------------------------

void log_panic(const PanicInfo& info) {
    if (!base::log::enabled(base::log::Level::Error)) return;
    std::string msg = "panicked at " + info.location + ":";
    if (info.message) msg += "\n" + *info.message;
    base::log::error(LOG_TARGET, msg);
    std::shared_ptr<LogHandle::State> st;
    {
        std::lock_guard lk(CURRENT_MU);
        st = CURRENT.lock();
    }
    // The process ends next: the line should reach the file first.
    if (st) st->drain(500ms);
}

namespace {

std::terminate_handler KEPT_HANDLER = nullptr;

bool cxx_runtime(const char* object) {
    std::string_view o = object ? object : "";
    return o.find("libstdc++") != std::string_view::npos || o.find("libgcc_s") != std::string_view::npos;
}

// The frame that threw, as "function+0xoffset (object)" or "object+0xoffset".
// An exception nobody caught reaches std::terminate without unwinding, so
// the frame below the C++ runtime's own frames (the throw) is the place.
std::string throw_site() {
    void* frames[48];
    const int n = backtrace(frames, 48);
    int i = 0;
    Dl_info info{};
    auto object_of = [&](int k) { return dladdr(frames[k], &info) ? info.dli_fname : nullptr; };
    while (i < n && !cxx_runtime(object_of(i))) ++i;  // this handler's frames
    while (i < n && cxx_runtime(object_of(i))) ++i;   // std::terminate, __cxa_throw
    if (i >= n || !dladdr(frames[i], &info)) return "unknown";
    const auto* addr = static_cast<const char*>(frames[i]);
    const std::string object = info.dli_fname ? fs::path(info.dli_fname).filename().string() : "?";
    if (info.dli_sname && info.dli_saddr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
        return fmt::format("{}+{:#x} ({})", name, addr - static_cast<const char*>(info.dli_saddr), object);
    }
    return fmt::format("{}+{:#x}", object, addr - static_cast<const char*>(info.dli_fbase));
}

[[noreturn]] void terminate_hook() {
    PanicInfo info;
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    info.location = fmt::format("{} (thread '{}')", throw_site(), name);
    if (auto e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            info.message = ex.what();
        } catch (const std::string& s) {
            info.message = s;
        } catch (const char* s) {
            info.message = s;
        } catch (...) {
        }
    }
    log_panic(info);
    if (KEPT_HANDLER) KEPT_HANDLER();
    std::abort();
}

}  // namespace

void install_panic_hook() {
    std::terminate_handler prev = std::set_terminate(terminate_hook);
    if (prev != terminate_hook) KEPT_HANDLER = prev;
}

}  // namespace shell
