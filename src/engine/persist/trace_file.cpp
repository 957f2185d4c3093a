// The project file read: from disk (size cap), decompressed, parsed, each
// trace checked against the limits and older traces converted.
#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "api/client.h"
#include "base/cast.h"
#include "base/log.h"
#include "base/pages.h"
#include "base/result.h"
#include "base/utf8.h"
#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"
#include "engine/persist/internal/parallel.h"
#include "engine/persist/internal/trace_fields.h"

namespace engine::trace {

namespace {

// Checks one trace against the limits of the measurement model.
std::optional<std::string> check_trace(const Trace& t) {
    if (t.fs < 1 || t.fs > 1000000) return fmt::format("sample rate {}", t.fs);
    // P: the samples in 1 ms, as the layers count them.
    const auto p = base::saturating_cast<std::uint64_t>(static_cast<float>(t.fs) * 0.001f);
    auto fft_ok = [&](std::uint64_t n) { return n >= MIN_FFT && n <= MAX_FFT && n / 2 > p; };
    if (t.n != 0 && !fft_ok(t.n)) return fmt::format("FFT size {}", t.n);
    const std::size_t expected = t.n == 0 ? tf::GRID_POINTS : t.n / 2;
    if (t.h.size() != expected || t.confidence.size() != expected)
        return fmt::format("{} values and {} confidences, expected {}", t.h.size(), t.confidence.size(), expected);
    // A layer holds the 1 ms before time zero and the n/2 samples after it:
    // one with fewer samples claims a transform its data do not fill, and
    // rebuilding it would cost work the file does not pay for.
    for (const auto& l : t.layers)
        if (!fft_ok(l.n) || l.ir.size() > l.n || l.ir.size() < l.n / 2)
            return fmt::format("layer of {} with {} samples", l.n, l.ir.size());
    // The analysis takes at most four layers per trace.
    if (t.layers.size() > MAX_LAYERS) return fmt::format("{} layers, at most {}", t.layers.size(), MAX_LAYERS);
    return std::nullopt;
}

// Brings a trace of the older form (n/2 raw bins of one FFT) onto the grid.
void convert_older(Trace& t) {
    Trace fresh = Trace::from_bins(t.name, t.fs, t.delay_samples, t.n, std::move(t.h), std::move(t.confidence), t.gate);
    t.h = std::move(fresh.h);
    t.confidence = std::move(fresh.confidence);
    t.ir = std::move(fresh.ir);
    t.ir_ms = fresh.ir_ms;
    t.arrivals = std::move(fresh.arrivals);
    t.layers = std::move(fresh.layers);
    t.n = 0;
}

// The whole of an open file, at most INFLATE_LIMIT bytes ("file larger than
// 512 MB" past it); the buffer is sized from the file's length and its pages
// prepared at once (see base::pages::prepare).
base::Result<std::string> read_whole(int fd) {
    constexpr std::size_t cap = gzip::INFLATE_LIMIT;
    struct stat st {};
    std::size_t expect = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) expect = static_cast<std::size_t>(st.st_size);
    std::string out;
    out.reserve(std::min(expect, cap) + 1);
    base::pages::prepare(out.data(), out.capacity());
    for (;;) {
        if (out.size() == out.capacity()) out.reserve(std::min(2 * out.capacity(), cap + 1));
        const std::size_t before = out.size();
        const std::size_t room = out.capacity() - before;
        ssize_t got = -1;
        int err = 0;
        out.resize_and_overwrite(before + room, [&](char* buf, std::size_t) noexcept {
            do {
                got = ::read(fd, buf + before, room);
            } while (got < 0 && errno == EINTR);
            err = errno;
            return before + (got > 0 ? static_cast<std::size_t>(got) : 0);
        });
        if (got < 0) return base::fail(api::client::os_error_text(err));
        if (out.size() > cap) return base::fail("file larger than 512 MB");
        if (got == 0) return out;
    }
}

// The text of a file's bytes: inflated when they start with 1F 8B, plain
// otherwise; at most `cap` bytes of text either way; UTF-8 checked.
base::Result<std::string> load_text(std::string_view bytes, std::size_t cap) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
        static_cast<unsigned char>(bytes[1]) == 0x8B) {
        auto text = gzip::inflate(bytes, cap);
        if (!text) return base::fail("gzip: " + text.error());
        if (base::utf8::check(*text)) return base::fail("gzip: stream did not contain valid UTF-8");
        return text;
    }
    // Plain text obeys the same limit as inflated text.
    if (bytes.size() > cap) return base::fail("file larger than 512 MB");
    std::string text(bytes);
    if (auto bad = base::utf8::check(text)) return base::fail(*bad);
    return text;
}

base::Result<Session> parse_and_finish_text(std::string& text);

// The text's memory goes back once it is parsed, before the rebuilds.
base::Result<Session> parse_and_finish(std::string text) {
    // The reader's memory limit bounds what the text may build; running out
    // of memory all the same fails this read, not the program.
    try {
        return parse_and_finish_text(text);
    } catch (const std::bad_alloc&) {
        return base::fail("out of memory");
    } catch (const std::length_error&) {
        return base::fail("out of memory");
    }
}

// Rebuilds traces on worker threads once the whole file has been parsed and
// every trace has passed its check: a file refused anywhere costs no rebuild.
// The traces rebuilt at once hold at most REBUILD_POINTS transform points
// between them (one trace at a time past that), which bounds the memory of
// the transforms whatever the file claims: four of the largest (about 140 MB
// each at a prime size, about 130 MB at a power of two) run side by side. A
// trace with a transform larger than LARGE_POINTS is rebuilt on the first
// LARGE_WORKERS workers only, as the buffers a thread keeps for its
// transforms stay with it until the pool ends. While the file is still
// parsed, those workers prepare the transforms of the large sizes met so far.
class RebuildPool {
public:
    static constexpr std::size_t REBUILD_POINTS = 4 * MAX_FFT;
    static constexpr std::size_t LARGE_POINTS = MAX_FFT / 8;
    static constexpr std::size_t LARGE_WORKERS = 4;

    RebuildPool() {
        const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t count = std::min<std::size_t>(7, hw > 1 ? hw - 1 : 1);
        try {
            for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this, i] { work(i < LARGE_WORKERS); });
        } catch (const std::system_error&) {
            // fewer threads, or none: finish does the work
        }
    }
    ~RebuildPool() {
        try {
            finish(false);
        } catch (...) {
        }
    }
    RebuildPool(const RebuildPool&) = delete;
    RebuildPool& operator=(const RebuildPool&) = delete;

    // `t` and `bad` stay where they are until finish returns. Traces are
    // checked here, in file order: once one fails, the file is refused
    // whatever follows, and nothing is rebuilt.
    void add(Trace* t, std::optional<std::string>* bad) {
        if (refused_) return;
        *bad = check_trace(*t);
        if (*bad) {
            refused_ = true;
            std::lock_guard lk(mu_);
            queue_.clear();
            return;
        }
        std::lock_guard lk(mu_);
        queue_.emplace_back(t);
        const std::size_t want = points(*t);
        if (want <= LARGE_POINTS) {
            ++small_;
            return;
        }
        // The transform tables of the first large size are made while the
        // parse goes on (a size done by chirp takes long to prepare); they
        // are all a refused file costs. Only one: a worker keeps the tables
        // it prepared until the pool ends.
        if (!prepared_) {
            prepared_ = true;
            prepare_.emplace_back(want, t->fs);
            cv_.notify_one();
        }
    }

    bool refused() const { return refused_; }

    // Rebuilds every added trace when `rebuild` (the parse succeeded), else
    // drops them; rethrows the first failure of a worker.
    void finish(bool rebuild) {
        {
            std::lock_guard lk(mu_);
            if (!rebuild || refused_) queue_.clear();
            prepare_.clear();
            closing_ = true;
        }
        cv_.notify_all();
        if (threads_.empty()) {
            for (Trace* t : queue_) rebuild_trace(*t);
            queue_.clear();
        }
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    // The transform size the rebuild of a trace works on, and what it counts
    // against REBUILD_POINTS (a trace of the older form too: its conversion
    // frees its raw bins before its transforms and works in the buffers the
    // display then uses).
    static std::size_t points(const Trace& t) {
        if (t.n != 0) return t.n;
        return t.layers.empty() ? 0 : t.layers.front().n;
    }

    static void rebuild_trace(Trace& t) {
        // The conversion renders the response already.
        if (t.n != 0)
            convert_older(t);
        else
            t.render_ir();
        t.rebuild_points();
    }

    void work(bool large) {
        for (;;) {
            Trace* item = nullptr;
            std::size_t size = 0;
            {
                std::unique_lock lk(mu_);
                // The first queued trace this worker may rebuild now, or
                // queue_.end().
                auto next = [&] {
                    return std::find_if(queue_.begin(), queue_.end(), [&](const Trace* t) {
                        if (!large && points(*t) > LARGE_POINTS) return false;
                        return busy_ == 0 || busy_ + points(*t) <= REBUILD_POINTS;
                    });
                };
                // Other workers end once only large traces are left.
                auto done = [&] { return queue_.empty() || (!large && small_ == 0); };
                cv_.wait(lk, [&] { return (large && !prepare_.empty()) || (closing_ && (done() || next() != queue_.end())); });
                if (large && !prepare_.empty()) {
                    const auto [n, fs] = prepare_.front();
                    prepare_.pop_front();
                    lk.unlock();
                    try {
                        tf::prepare_ir_display(n, static_cast<float>(fs));
                    } catch (...) {
                        // the rebuild meets the same failure and reports it
                    }
                    continue;
                }
                if (done()) return;
                const auto it = next();
                item = *it;
                queue_.erase(it);
                if (points(*item) <= LARGE_POINTS) --small_;
                if (error_) continue;
                size = points(*item);
                busy_ += size;
            }
            try {
                rebuild_trace(*item);
            } catch (...) {
                std::lock_guard lk(mu_);
                if (!error_) error_ = std::current_exception();
            }
            {
                std::lock_guard lk(mu_);
                busy_ -= size;
            }
            cv_.notify_all();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Trace*> queue_;
    // The size and sample rate of a large transform to prepare, and whether one was asked for.
    std::deque<std::pair<std::size_t, std::uint32_t>> prepare_;
    bool prepared_ = false;
    bool closing_ = false;
    bool refused_ = false;  // a trace failed its check (parse thread only)
    std::size_t busy_ = 0;   // points of the rebuilds running
    std::size_t small_ = 0;  // queued traces of at most LARGE_POINTS
    std::exception_ptr error_;
    std::vector<std::thread> threads_;
};

// The source list completed in trace order.
void complete_sources(Session& s) {
    for (auto& t : s.traces) {
        if (t.source.empty()) t.source = t.name;
        if (std::find(s.sources.begin(), s.sources.end(), t.source) == s.sources.end())
            s.sources.push_back(t.source);
    }
}

base::Result<Session> parse_and_finish_text(std::string& text) {
    // Traces parsed so far and their check results: a deque keeps each where
    // it is while the workers rebuild it. Declared before the pool, which
    // joins its workers first.
    std::deque<Trace> traces;
    std::deque<std::optional<std::string>> bad;
    RebuildPool pool;
    Reader r(text);
    Session s;
    auto p = r.record("Session", {{"sources"}, {"traces"}, {"design"}, {"position"}, {"setup"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(read_string_list(rd), s.sources);
                              case 1:
                                  return rd.list([&](Reader& item) -> Parsed<void> {
                                      auto t = read_trace(item);
                                      if (!t) return std::unexpected(t.error());
                                      if (auto c = item.charge(sizeof(Trace)); !c) return c;
                                      // After a refused trace the rest is only parsed.
                                      if (pool.refused()) return {};
                                      traces.push_back(std::move(*t));
                                      bad.emplace_back();
                                      pool.add(&traces.back(), &bad.back());
                                      return {};
                                  });
                              case 2: return store(read_design(rd), s.design);
                              case 3: return store(rd.string(), s.position);
                              default: return store(read_setup(rd), s.setup);
                          }
                      });
    if (p) {
        if (auto end = r.finish(); !end) p = std::unexpected(end.error());
    }
    // Nothing reads the text after this; the rebuilds take its memory.
    if (p) std::string().swap(text);
    pool.finish(p.has_value());
    if (!p) return base::fail(p.error().text());
    for (std::size_t i = 0; i < traces.size(); ++i)
        if (bad[i]) return base::fail(fmt::format("trace \"{}\": {}", base::utf8::excerpt(traces[i].name), *bad[i]));
    s.traces.assign(std::make_move_iterator(traces.begin()), std::make_move_iterator(traces.end()));
    complete_sources(s);
    return s;
}

}  // namespace

base::Result<void> finish_read(Session& s) {
    for (const auto& t : s.traces)
        if (auto bad = check_trace(t))
            return base::fail(fmt::format("trace \"{}\": {}", base::utf8::excerpt(t.name), *bad));
    // The rebuild of each trace (FFTs on the calling thread's own plans) runs
    // on several threads; the source list is completed in trace order.
    persist::parallel_for(s.traces.size(), [&](std::size_t i) {
        Trace& t = s.traces[i];
        // The conversion renders the response already.
        if (t.n != 0)
            convert_older(t);
        else
            t.render_ir();
        t.rebuild_points();
    });
    complete_sources(s);
    return {};
}

base::Result<Session> Session::decode(std::string_view bytes, std::size_t cap) {
    base::Result<std::string> text = base::fail("out of memory");
    try {
        text = load_text(bytes, cap);
    } catch (const std::bad_alloc&) {
    }
    if (!text) return base::fail(text.error());
    return parse_and_finish(std::move(*text));
}

base::Result<Session> Session::try_read(const std::filesystem::path& path) {
    // Only a regular file (a link to a device would never end, a FIFO would
    // block the reader), read whole: the inflate then runs in one pass into
    // a buffer of the trailer's length.
    auto opened = api::client::open_regular(path);
    if (!opened) return base::fail(opened.error());
    const int fd = *opened;
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close_fd{fd};
    base::Result<std::string> bytes = base::fail("out of memory");
    try {
        bytes = read_whole(fd);
    } catch (const std::bad_alloc&) {
    }
    if (!bytes) return base::fail(bytes.error());
    return decode(*bytes);
}

std::optional<Session> Session::read(const std::filesystem::path& path) {
    auto s = try_read(path);
    if (!s) {
        base::log::warn(LOG_TARGET, fmt::format("{}: {}", path.string(), s.error()));
        return std::nullopt;
    }
    return std::move(*s);
}

}  // namespace engine::trace
