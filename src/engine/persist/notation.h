#pragma once
// The structured text notation of the settings and project files.
//
//   record    (name:value,name:value)        optional leading type name on read
//   list      [a,b,c]
//   tuple     (a,b)                           fixed-size arrays and pairs
//   variant   Name  or  Name(value)
//   optional  None  or  Some(value)
//   bool      true / false
//   integer   plain decimal, "-" for negatives
//   float     shortest text that reads back to the same value, never an
//             exponent, ".0" after a whole number; inf, -inf, NaN, -NaN
//   string    "..." with \0 \t \n \r \" \' \\ and \u{hex} escapes
//
// Two layouts: compact (no blank or line break anywhere; projects) and
// indented (four blanks per level, one field or element per line, a comma
// after every one of them; settings).
//
// Writing: a Writer appends to a text and inserts separators itself; record
// writers call field() before each value; list and tuple elements are just
// written one after the other:
//   Writer w(text, Layout::Indented);
//   w.begin_record();
//   w.field("dark_mode"); w.boolean(true);
//   w.field("recent_projects"); w.begin_list(); w.string("/a.vtproject"); w.end_list();
//   w.field("last_project"); w.none();
//   w.end_record();
//   if (auto ok = w.result(); !ok) ... ok.error() is the first failure
// Reading: a Reader walks a text; record() does the common work of every
// record (type name, duplicates, unknown fields skipped, first missing
// required field) and calls back for each known field:
//   Reader r(text);
//   auto p = r.record("Parts", {{"eq", true}, {"zone_eq"}}, [&](std::size_t i, Reader& rd) {
//       return store(rd.boolean(), i == 0 ? parts.eq : parts.zone_eq);
//   });
//   if (p) p = r.finish();           // nothing but blanks and comments after
//   if (!p) ... p.error().text() is "line:column: message"
#include <complex>
#include <cstddef>
#include <cstdint>
#include <concepts>
#include <expected>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace engine::notation {

// ---- writing ----------------------------------------------------------------

enum class Layout { Compact, Indented };

class Writer {
public:
    explicit Writer(std::string& out, Layout layout = Layout::Compact) : out_(out), layout_(layout) {}

    // Containers. Every begin_* needs its end_*.
    void begin_record();  // "("
    void end_record();    // ")"
    void begin_list();    // "["
    void end_list();      // "]"
    void begin_tuple();   // "(" (elements stay on one line in the indented layout)
    void end_tuple();     // ")"

    // Inside a record: the separator, the key and ":" (": " when indented).
    // Inside a list or tuple the separator comes by itself before each value.
    void field(std::string_view key);

    // Values.
    void boolean(bool v);
    void f32(float v);
    void f64(double v);
    void u64(std::uint64_t v);
    void i64(std::int64_t v);
    // A quoted string. Text that is not valid UTF-8 is not written; the writer
    // then fails with "text is not valid UTF-8".
    void string(std::string_view v);
    // A bare variant name (also None).
    void name(std::string_view n);
    // Name(value): call begin_variant, write the value, end_variant.
    void begin_variant(std::string_view n);
    void end_variant();
    void none() { name("None"); }
    // A list of 16-bit integers (the samples of impulse responses), written
    // in one go.
    void i16_list(std::span<const std::int16_t> v);
    // A value already written in this writer's layout, at the top level
    // (lets record writers render large parts in parallel).
    void raw(std::string_view text);
    void begin_some() { begin_variant("Some"); }
    void end_some() { end_variant(); }

    // Sets the writer's error (the first one is kept).
    void fail(std::string message);
    bool ok() const { return error_.empty(); }
    // Nothing, or the first failure.
    base::Result<void> result() const;

private:
    enum class Kind { Record, List, Tuple, Variant };
    struct Frame {
        Kind kind;
        std::size_t count = 0;
    };
    void open(Kind k, char c);
    void close(Kind k, char c);
    void separator();
    void before_value();
    void newline_indent(std::size_t level);
    std::size_t block_depth() const;

    std::string& out_;
    Layout layout_;
    std::vector<Frame> stack_;
    std::string error_;
};

// The written forms of single values (what Writer emits).
std::string float_text(float v);
std::string double_text(double v);
std::string quote(std::string_view utf8);

// Fields of a record, written by hand in the common way:
//   w.begin_record(); w.field("on"); w.boolean(x.on); ... w.end_record();

// ---- reading ----------------------------------------------------------------

// A reader error: where it arose (1-based line and column, in characters) and
// the problem. An error about one word of the text (a variant or type name,
// a key) covers it: end_line and end_column then give the position just after
// it, and text() is "line:column-line:column: message"; otherwise they are 0
// and text() is "line:column: message".
struct Error {
    std::size_t line = 1;
    std::size_t column = 1;
    std::size_t end_line = 0;
    std::size_t end_column = 0;
    std::string message;
    std::string text() const;
};

template <class T>
using Parsed = std::expected<T, Error>;

// A record's field: its key and whether the record needs it.
struct FieldSpec {
    std::string_view key;
    bool required = false;
};

class Reader {
public:
    // What the values read from a text may occupy in memory: twice the
    // text's length, plus this much. A text written by the program needs
    // about its own length; the rest is slack.
    static constexpr std::size_t MEMORY_SLACK = std::size_t{16} << 20;

    explicit Reader(std::string_view text)
        : text_(text), budget_(text.size() > (std::numeric_limits<std::size_t>::max() - MEMORY_SLACK) / 2
                                   ? std::numeric_limits<std::size_t>::max()
                                   : 2 * text.size() + MEMORY_SLACK) {}

    // Skips blanks, line breaks and comments (// to the end of the line,
    // /* ... */ nested).
    void skip_ws();
    // After skip_ws: true when c is next (not consumed).
    bool peek(char c);
    // Consumes c when it is next.
    bool eat(char c);
    // True at the end of the text (after skip_ws).
    bool at_end();
    // Fails unless only blanks and comments are left.
    Parsed<void> finish();

    // An error at the current position (or at a given byte offset).
    Error error(std::string message) const;
    Error error_at(std::size_t offset, std::string message) const;
    // An error covering the text from byte offset `from` up to `to`.
    Error error_over(std::size_t from, std::size_t to, std::string message) const;
    std::size_t offset() const { return pos_; }

    // Values. Each skips leading blanks first.
    Parsed<bool> boolean();
    Parsed<float> f32();
    Parsed<double> f64();
    Parsed<std::uint64_t> u64(std::uint64_t max = std::numeric_limits<std::uint64_t>::max(),
                              std::string_view what = "an unsigned 64-bit integer");
    Parsed<std::int64_t> i64(std::int64_t min = std::numeric_limits<std::int64_t>::min(),
                             std::int64_t max = std::numeric_limits<std::int64_t>::max(),
                             std::string_view what = "a signed 64-bit integer");
    template <std::unsigned_integral U>
    Parsed<U> unsigned_int();
    template <std::signed_integral S>
    Parsed<S> signed_int();
    Parsed<std::string> string();
    // An identifier ([A-Za-z_][A-Za-z0-9_]*), or nothing when none is next.
    std::string_view identifier();
    // A bare variant name of enumeration `enum_name`; gives the index into
    // `accepted`. A name outside the list fails with
    // "Unexpected variant named `X` in enum `E`, expected ... instead".
    Parsed<std::size_t> variant(std::string_view enum_name, std::span<const std::string_view> accepted);
    Parsed<std::size_t> variant(std::string_view enum_name, std::initializer_list<std::string_view> accepted) {
        return variant(enum_name, std::span<const std::string_view>(accepted.begin(), accepted.size()));
    }
    // Optional: true for Some (the "(" is consumed: read the value, then
    // call end_some()), false for None.
    Parsed<bool> begin_optional();
    Parsed<void> end_some();
    // Any well-formed value, thrown away (recursion limited to 128 levels).
    Parsed<void> skip_value();

    // Counts `bytes` of memory taken by values read against the reader's
    // budget; fails with "Exceeded memory limit" once the values would take
    // more than the text can honestly describe.
    Parsed<void> charge(std::size_t bytes);
    // Appends a value read to a list, charging its size.
    template <class T>
    Parsed<void> push(std::vector<T>& out, T&& v) {
        if (auto c = charge(sizeof(T)); !c) return c;
        out.push_back(std::move(v));
        return {};
    }

    // A pair of floats "(re, im)" (a comma after im is allowed).
    Parsed<std::complex<float>> pair();

    // Lists in square brackets of signed 16-bit integers, of floats and of
    // pairs: fast for long lists (samples, spectra), with the values, errors
    // and memory limit of element-by-element reading.
    Parsed<std::vector<std::int16_t>> i16_list();
    Parsed<std::vector<float>> f32_list();
    Parsed<std::vector<std::complex<float>>> pair_list();

    // Lists and tuples: list reads "[" ... "]", tuple "(" ... ")",
    // list_or_tuple either; each calls fn(Reader&) -> Parsed<void> for every
    // element; a trailing comma is allowed. `what` names the expected value
    // in the error when something else stands there.
    template <class F>
    Parsed<void> list(F&& fn, std::string_view what = "a sequence");
    template <class F>
    Parsed<void> tuple(F&& fn, std::string_view what = "a tuple");
    template <class F>
    Parsed<void> list_or_tuple(F&& fn, std::string_view what);

    // A record of type `type_name`: an optional leading type name (which must
    // be type_name), "(", fields "key:value" separated by commas up to ")".
    // For a known key, on_field(index into fields, Reader&) reads the value;
    // unknown keys are skipped with their values; a key given twice fails.
    // At ")" the first absent required field, in the order of `fields`, fails
    // the read. `present` (optional) receives which fields were given.
    template <class F>
    Parsed<void> record(std::string_view type_name, std::span<const FieldSpec> fields, F&& on_field,
                        std::vector<bool>* present = nullptr);
    template <class F>
    Parsed<void> record(std::string_view type_name, std::initializer_list<FieldSpec> fields, F&& on_field,
                        std::vector<bool>* present = nullptr) {
        return record(type_name, std::span<const FieldSpec>(fields.begin(), fields.size()),
                      std::forward<F>(on_field), present);
    }

    // "Expected {what} but found {description of the next value} instead".
    Error expected(std::string_view what);
    // A description of the value that starts here ("the boolean `true`").
    std::string describe();

    // Used by the templates below.
    Parsed<void> open_record(std::string_view type_name);
    Parsed<void> key(std::string_view& out);
    Parsed<void> separator_or_end(char close);

private:
    Parsed<void> skip_value_at(int depth);
    Parsed<std::string_view> number_token();
    // The lists of numbers above (defined where they are used).
    template <class T, class Element, class One>
    Parsed<std::vector<T>> long_list(std::size_t commas_each, Element element, One one);
    template <class T, class Element>
    bool fast_list(std::vector<T>& out, std::size_t commas_each, Element element);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t budget_;
};

// Joins accepted names as the unknown-variant message does:
// "expected `A` instead", "expected either `A` or `B` instead",
// "expected one of `A`, `B`, or `C` instead".
std::string expected_names(std::span<const std::string_view> names);

// ---- templates --------------------------------------------------------------

template <std::unsigned_integral U>
Parsed<U> Reader::unsigned_int() {
    static constexpr std::string_view names[] = {"an unsigned 8-bit integer", "an unsigned 16-bit integer",
                                                 "an unsigned 32-bit integer", "an unsigned 64-bit integer"};
    constexpr std::size_t idx = sizeof(U) == 1 ? 0 : sizeof(U) == 2 ? 1 : sizeof(U) == 4 ? 2 : 3;
    auto v = u64(std::numeric_limits<U>::max(), names[idx]);
    if (!v) return std::unexpected(v.error());
    return static_cast<U>(*v);
}

template <std::signed_integral S>
Parsed<S> Reader::signed_int() {
    static constexpr std::string_view names[] = {"a signed 8-bit integer", "a signed 16-bit integer",
                                                 "a signed 32-bit integer", "a signed 64-bit integer"};
    constexpr std::size_t idx = sizeof(S) == 1 ? 0 : sizeof(S) == 2 ? 1 : sizeof(S) == 4 ? 2 : 3;
    auto v = i64(std::numeric_limits<S>::min(), std::numeric_limits<S>::max(), names[idx]);
    if (!v) return std::unexpected(v.error());
    return static_cast<S>(*v);
}

template <class F>
Parsed<void> Reader::list(F&& fn, std::string_view what) {
    skip_ws();
    if (!eat('[')) return std::unexpected(expected(what));
    for (;;) {
        skip_ws();
        if (eat(']')) return {};
        if (auto r = fn(*this); !r) return r;
        if (auto r = separator_or_end(']'); !r) return r;
    }
}

template <class F>
Parsed<void> Reader::tuple(F&& fn, std::string_view what) {
    skip_ws();
    if (!eat('(')) return std::unexpected(expected(what));
    for (;;) {
        skip_ws();
        if (eat(')')) return {};
        if (auto r = fn(*this); !r) return r;
        if (auto r = separator_or_end(')'); !r) return r;
    }
}

template <class F>
Parsed<void> Reader::list_or_tuple(F&& fn, std::string_view what) {
    skip_ws();
    if (peek('[')) return list(std::forward<F>(fn), what);
    if (peek('(')) return tuple(std::forward<F>(fn), what);
    return std::unexpected(expected(what));
}

template <class F>
Parsed<void> Reader::record(std::string_view type_name, std::span<const FieldSpec> fields, F&& on_field,
                            std::vector<bool>* present) {
    if (auto r = open_record(type_name); !r) return r;
    std::vector<bool> seen(fields.size(), false);
    for (;;) {
        skip_ws();
        if (eat(')')) break;
        const std::size_t key_at = pos_;
        std::string_view k;
        if (auto r = key(k); !r) return r;
        std::size_t idx = fields.size();
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].key == k) { idx = i; break; }
        if (idx == fields.size()) {
            if (auto r = skip_value(); !r) return r;
        } else {
            if (seen[idx])
                return std::unexpected(error_over(key_at, key_at + k.size(),
                                                  "Unexpected duplicate field named `" + std::string(k) + "` in `" +
                                                      std::string(type_name) + "`"));
            seen[idx] = true;
            if (auto r = on_field(idx, *this); !r) return r;
        }
        if (auto r = separator_or_end(')'); !r) return r;
    }
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].required && !seen[i])
            return std::unexpected(error_at(pos_ == 0 ? 0 : pos_ - 1,
                                            "Unexpected missing field named `" + std::string(fields[i].key) +
                                                "` in `" + std::string(type_name) + "`"));
    if (present) *present = std::move(seen);
    return {};
}

// Stores a value read into `out`, or passes the error on:
//   return store(r.f32(), band.hz);
template <class T, class U>
Parsed<void> store(Parsed<T>&& r, U& out) {
    if (!r) return std::unexpected(std::move(r.error()));
    out = std::move(*r);
    return {};
}
// Drops a value read, or passes the error on.
template <class T>
Parsed<void> discard(Parsed<T>&& r) {
    if (!r) return std::unexpected(std::move(r.error()));
    return {};
}

// Turns a reader error into a text "line:column: message".
inline base::Result<void> as_result(const Parsed<void>& p) {
    if (p) return {};
    return base::fail(p.error().text());
}

}  // namespace engine::notation
