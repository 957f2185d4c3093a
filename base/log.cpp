#include "base/log.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace base::log {
namespace {

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

void stderr_sink(const Record&, const std::string& line) {
    std::string l = line;
    l += '\n';
    std::fwrite(l.data(), 1, l.size(), stderr);
}

Sink& current_sink() {
    static Sink s = stderr_sink;
    return s;
}

struct CaptureList {
    std::mutex mu;
    std::vector<std::vector<Record>*> active;
};
CaptureList& captures() {
    static CaptureList c;
    return c;
}

}  // namespace

std::string_view level_name(Level l) {
    switch (l) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
    }
    return "INFO";
}

std::string Record::field(std::string_view name) const {
    for (const auto& f : fields)
        if (f.name == name) return f.value;
    return {};
}

bool enabled(Level l) { return l == Level::Error || l == Level::Warn || l == Level::Info; }

std::string format_line(const Record& rec) { return format_line(rec, std::chrono::system_clock::now()); }

std::string format_line(const Record& rec, std::chrono::system_clock::time_point at) {
    const auto secs = std::chrono::floor<std::chrono::seconds>(at);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at - secs).count();
    std::string line = fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:06}Z {:>5} {}: {}", secs, micros, level_name(rec.level),
                                   rec.target, rec.message);
    for (const auto& f : rec.fields) {
        line += ' ';
        line += f.name;
        line += '=';
        line += f.value;
    }
    return line;
}

void write(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
    if (!enabled(level)) return;
    write_record(Record{level, std::string(target), std::string(message), std::vector<Field>(fields)});
}

void write_record(Record rec) {
    if (!enabled(rec.level)) return;
    std::string line = format_line(rec);
    {
        auto& c = captures();
        std::lock_guard lk(c.mu);
        for (auto* v : c.active) v->push_back(rec);
    }
    Sink sink;
    {
        std::lock_guard lk(sink_mutex());
        sink = current_sink();
    }
    if (sink) sink(rec, line);
}

Sink set_sink(Sink sink) {
    std::lock_guard lk(sink_mutex());
    Sink old = std::move(current_sink());
    current_sink() = sink ? std::move(sink) : Sink(stderr_sink);
    return old;
}

struct Capture::Impl {
    std::vector<Record> records;
};

Capture::Capture() : impl_(new Impl) {
    auto& c = captures();
    std::lock_guard lk(c.mu);
    c.active.push_back(&impl_->records);
}

Capture::~Capture() {
    {
        auto& c = captures();
        std::lock_guard lk(c.mu);
        c.active.erase(std::remove(c.active.begin(), c.active.end(), &impl_->records), c.active.end());
    }
    delete impl_;
}

std::vector<Record> Capture::records() const {
    std::lock_guard lk(captures().mu);
    return impl_->records;
}

std::vector<Record> Capture::with_message(std::string_view message) const {
    std::vector<Record> out;
    for (auto& r : records())
        if (r.message == message) out.push_back(r);
    return out;
}

}  // namespace base::log
