// Writing the notation: the written forms of numbers and strings, and the
// writer's records, lists, tuples, variants and their layout.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "base/float_text.h"
#include "base/result.h"
#include "base/utf8.h"
#include "engine/persist/notation.h"
#include "engine/persist/internal/notation_text.h"

namespace engine::notation {

namespace {

// The shortest digits that read back to the same value, laid out without an
// exponent, ".0" after a whole number (the form of base::shortest, without
// a heap allocation per number).
template <class F>
void append_float(std::string& out, F v) {
    if (std::isnan(v)) {
        out += std::signbit(v) ? "-NaN" : "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    const char* e = std::find(p, static_cast<const char*>(r.ptr), 'e');
    int exp = 0;
    {
        const char* q = e + 1;
        bool neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        for (; q < r.ptr; ++q) exp = exp * 10 + (*q - '0');
        if (neg) exp = -exp;
    }
    char digits[64];
    std::size_t nd = 0;
    for (const char* q = p; q < e; ++q)
        if (*q != '.') digits[nd++] = *q;
    const int point = exp + 1;  // value = 0.d1d2... x 10^point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, nd);
    } else if (static_cast<std::size_t>(point) >= nd) {
        out.append(digits, nd);
        out.append(static_cast<std::size_t>(point) - nd, '0');
        out += ".0";
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, nd - static_cast<std::size_t>(point));
    }
}

}  // namespace

std::string float_text(float v) {
    std::string out;
    append_float(out, v);
    return out;
}

std::string double_text(double v) {
    std::string out;
    append_float(out, v);
    return out;
}

std::string quote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        const base::utf8::Decoded d = decode_utf8(s, i);
        if (d.len == 0) {  // callers validate first; keep going byte-wise
            out += fmt::format("\\u{{{:x}}}", 0xFFFD);
            ++i;
            continue;
        }
        switch (d.cp) {
            case 0: out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\'': out += "\\'"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (escaped(d.cp)) out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(d.cp));
                else out.append(s.substr(i, d.len));
        }
        i += d.len;
    }
    out += '"';
    return out;
}


std::size_t Writer::block_depth() const {
    std::size_t n = 0;
    for (const auto& f : stack_)
        if (f.kind == Kind::Record || f.kind == Kind::List) ++n;
    return n;
}

void Writer::newline_indent(std::size_t level) {
    out_ += '\n';
    out_.append(level * 4, ' ');
}

void Writer::separator() {
    if (stack_.empty()) return;
    Frame& f = stack_.back();
    if (f.kind == Kind::Variant) return;
    if (layout_ == Layout::Compact || f.kind == Kind::Tuple) {
        if (f.count > 0) out_ += layout_ == Layout::Compact ? "," : ", ";
    } else {
        if (f.count > 0) out_ += ',';
        newline_indent(block_depth());
    }
    ++f.count;
}

void Writer::before_value() {
    if (!stack_.empty() && (stack_.back().kind == Kind::List || stack_.back().kind == Kind::Tuple)) separator();
}

void Writer::open(Kind k, char c) {
    before_value();
    out_ += c;
    stack_.push_back({k, 0});
}

void Writer::close(Kind k, char c) {
    if (stack_.empty() || stack_.back().kind != k) {
        fail("notation writer: unbalanced containers");
        return;
    }
    const Frame f = stack_.back();
    if (layout_ == Layout::Indented && (k == Kind::Record || k == Kind::List) && f.count > 0) {
        out_ += ',';
        newline_indent(block_depth() - 1);
    }
    stack_.pop_back();
    out_ += c;
}

void Writer::begin_record() { open(Kind::Record, '('); }
void Writer::end_record() { close(Kind::Record, ')'); }
void Writer::begin_list() { open(Kind::List, '['); }
void Writer::end_list() { close(Kind::List, ']'); }
void Writer::begin_tuple() { open(Kind::Tuple, '('); }
void Writer::end_tuple() { close(Kind::Tuple, ')'); }

void Writer::field(std::string_view key) {
    if (stack_.empty() || stack_.back().kind != Kind::Record) {
        fail("notation writer: field outside a record");
        return;
    }
    separator();
    out_ += key;
    out_ += layout_ == Layout::Compact ? ":" : ": ";
}

void Writer::boolean(bool v) {
    before_value();
    out_ += v ? "true" : "false";
}
void Writer::f32(float v) {
    before_value();
    append_float(out_, v);
}
void Writer::f64(double v) {
    before_value();
    append_float(out_, v);
}
void Writer::i16_list(std::span<const std::int16_t> v) {
    if (layout_ == Layout::Indented) {
        begin_list();
        for (std::int16_t x : v) i64(x);
        end_list();
        return;
    }
    before_value();
    const std::size_t old = out_.size();
    // "-32768," is the longest element.
    out_.resize(old + 2 + v.size() * 7);
    char* p = out_.data() + old;
    char* const end = out_.data() + out_.size();
    *p++ = '[';
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) *p++ = ',';
        p = std::to_chars(p, end, v[i]).ptr;
    }
    *p++ = ']';
    out_.resize(static_cast<std::size_t>(p - out_.data()));
}

void Writer::raw(std::string_view text) {
    before_value();
    out_ += text;
}
void Writer::u64(std::uint64_t v) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}
void Writer::i64(std::int64_t v) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
}
void Writer::string(std::string_view v) {
    before_value();
    for (std::size_t i = 0; i < v.size();) {
        const base::utf8::Decoded d = decode_utf8(v, i);
        if (d.len == 0) {
            fail("text is not valid UTF-8");
            out_ += "\"\"";
            return;
        }
        i += d.len;
    }
    out_ += quote(v);
}
void Writer::name(std::string_view n) {
    before_value();
    out_ += n;
}
void Writer::begin_variant(std::string_view n) {
    before_value();
    out_ += n;
    out_ += '(';
    stack_.push_back({Kind::Variant, 0});
}
void Writer::end_variant() { close(Kind::Variant, ')'); }

void Writer::fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
}

base::Result<void> Writer::result() const {
    if (!error_.empty()) return base::fail(error_);
    if (!stack_.empty()) return base::fail("notation writer: unclosed containers");
    return {};
}

}  // namespace engine::notation
