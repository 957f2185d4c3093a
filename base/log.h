#pragma once
// The logging facade. A line reads
//   <RFC 3339 UTC> <LEVEL> <target>: <message> name=value ...
// ERROR, WARN and INFO are written; DEBUG and TRACE are filtered out.
// Lines go to the installed sink (standard error until one is installed).
#include <chrono>
#include <concepts>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/float_text.h"

namespace base::log {

enum class Level { Error, Warn, Info, Debug, Trace };

std::string_view level_name(Level l);

struct Field {
    std::string name;
    std::string value;

    Field(std::string_view n, std::string_view v) : name(n), value(v) {}
    Field(std::string_view n, const char* v) : name(n), value(v) {}
    Field(std::string_view n, const std::string& v) : name(n), value(v) {}
    Field(std::string_view n, bool v) : name(n), value(v ? "true" : "false") {}
    template <std::integral I>
        requires(!std::same_as<I, bool>)
    Field(std::string_view n, I v) : name(n), value(std::to_string(v)) {}
    template <std::floating_point F>
    Field(std::string_view n, F v) : name(n), value(base::shortest(v)) {}
};

struct Record {
    Level level;
    std::string target;
    std::string message;
    std::vector<Field> fields;

    // The value of a named field, or empty.
    std::string field(std::string_view name) const;
};

// True for the levels that are written.
bool enabled(Level l);

void write(Level level, std::string_view target, std::string_view message,
           std::initializer_list<Field> fields = {});
void write_record(Record rec);

inline void error(std::string_view target, std::string_view msg, std::initializer_list<Field> f = {}) {
    write(Level::Error, target, msg, f);
}
inline void warn(std::string_view target, std::string_view msg, std::initializer_list<Field> f = {}) {
    write(Level::Warn, target, msg, f);
}
inline void info(std::string_view target, std::string_view msg, std::initializer_list<Field> f = {}) {
    write(Level::Info, target, msg, f);
}
inline void debug(std::string_view target, std::string_view msg, std::initializer_list<Field> f = {}) {
    write(Level::Debug, target, msg, f);
}

// The text of one line (without the newline), stamped with the current
// time or with `at`: "2026-10-13T08:15:02.123456Z  INFO target: message k=v",
// the level right-aligned in five characters.
std::string format_line(const Record& rec);
std::string format_line(const Record& rec, std::chrono::system_clock::time_point at);

// Where written lines go. The sink receives the record and its formatted line;
// it may be called from any thread. Returns the previous sink.
using Sink = std::function<void(const Record&, const std::string& line)>;
Sink set_sink(Sink sink);

// Tests: collects every written record while alive (lines still reach the sink).
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::vector<Record> records() const;
    // Records with this message.
    std::vector<Record> with_message(std::string_view message) const;

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace base::log
