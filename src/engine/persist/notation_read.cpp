// Reading the notation: the reader's tokens, values, records and variants,
// skipping unknown fields, and its error messages with their place.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "base/pages.h"
#include "base/utf8.h"
#include "engine/persist/notation.h"
#include "engine/persist/internal/notation_text.h"

namespace engine::notation {

std::string Error::text() const {
    if (end_line == 0) return fmt::format("{}:{}: {}", line, column, message);
    return fmt::format("{}:{}-{}:{}: {}", line, column, end_line, end_column, message);
}

Error Reader::error_at(std::size_t offset, std::string message) const {
    Error e;
    e.message = std::move(message);
    offset = std::min(offset, text_.size());
    for (std::size_t i = 0; i < offset; ++i) {
        const char c = text_[i];
        if (c == '\n') {
            ++e.line;
            e.column = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++e.column;
        }
    }
    return e;
}

Error Reader::error(std::string message) const { return error_at(pos_, std::move(message)); }

Error Reader::error_over(std::size_t from, std::size_t to, std::string message) const {
    Error e = error_at(from, std::move(message));
    if (to > from) {
        const Error end = error_at(to, {});
        e.end_line = end.line;
        e.end_column = end.column;
    }
    return e;
}

void Reader::skip_ws() {
    for (;;) {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r'))
            ++pos_;
        if (pos_ + 1 < text_.size() && text_[pos_] == '/' && text_[pos_ + 1] == '/') {
            while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            continue;
        }
        if (pos_ + 1 < text_.size() && text_[pos_] == '/' && text_[pos_ + 1] == '*') {
            pos_ += 2;
            int depth = 1;
            while (pos_ < text_.size() && depth > 0) {
                if (pos_ + 1 < text_.size() && text_[pos_] == '/' && text_[pos_ + 1] == '*') {
                    ++depth;
                    pos_ += 2;
                } else if (pos_ + 1 < text_.size() && text_[pos_] == '*' && text_[pos_ + 1] == '/') {
                    --depth;
                    pos_ += 2;
                } else {
                    ++pos_;
                }
            }
            continue;
        }
        return;
    }
}

bool Reader::peek(char c) {
    skip_ws();
    return pos_ < text_.size() && text_[pos_] == c;
}

bool Reader::eat(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
}

bool Reader::at_end() {
    skip_ws();
    return pos_ >= text_.size();
}

Parsed<void> Reader::finish() {
    if (at_end()) return {};
    return std::unexpected(error("Non-whitespace trailing characters"));
}

std::string_view Reader::identifier() {
    skip_ws();
    if (pos_ >= text_.size() || !ident_start(text_[pos_])) return {};
    const std::size_t start = pos_;
    while (pos_ < text_.size() && ident_char(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
}

// A number token: [+-] then digits with an optional fraction and exponent, or
// inf / NaN. Gives the token text (empty when no number starts here).
Parsed<std::string_view> Reader::number_token() {
    skip_ws();
    std::size_t p = pos_;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
    const std::size_t body = p;
    // inf and NaN, compared by hand (this runs for every number read).
    auto word = [&](char a, char b, char c) {
        return text_.size() - body >= 3 && text_[body] == a && text_[body + 1] == b && text_[body + 2] == c;
    };
    if (p < text_.size() && (text_[p] == 'i' || text_[p] == 'N') && (word('i', 'n', 'f') || word('N', 'a', 'N'))) {
        p += 3;
        if (p < text_.size() && ident_char(text_[p])) return std::string_view();
    } else {
        while (p < text_.size() && digit(text_[p])) ++p;
        if (p == body) return std::string_view();
        if (p < text_.size() && text_[p] == '.') {
            ++p;
            while (p < text_.size() && digit(text_[p])) ++p;
        }
        if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
            std::size_t q = p + 1;
            if (q < text_.size() && (text_[q] == '+' || text_[q] == '-')) ++q;
            if (q < text_.size() && digit(text_[q])) {
                while (q < text_.size() && digit(text_[q])) ++q;
                p = q;
            }
        }
        if (p < text_.size() && (ident_char(text_[p]) || text_[p] == '.')) return std::string_view();
    }
    return text_.substr(pos_, p - pos_);
}

namespace {

bool is_integer_token(std::string_view t) {
    return t.find_first_of(".eEin") == std::string_view::npos && t.find('N') == std::string_view::npos;
}

// The value of the digits of a well-formed float token (its sign taken off).
template <class F>
F decimal_value(const char* first, const char* last) {
    F v;
    const auto r = std::from_chars(first, last, v, std::chars_format::general);
    if (r.ec == std::errc()) [[likely]]
        return v;
    if (r.ec != std::errc::result_out_of_range) return F(0);
    // Too large gives infinity, too small zero (as a decimal parser rounding
    // to the nearest value does).
    const std::string_view body(first, static_cast<std::size_t>(last - first));
    const auto e = body.find_first_of("eE");
    bool tiny;
    if (e != std::string_view::npos) {
        tiny = e + 1 < body.size() && body[e + 1] == '-';
    } else {
        const auto dot = body.find('.');
        const auto int_part = body.substr(0, dot);
        tiny = int_part.find_first_not_of('0') == std::string_view::npos;
    }
    return tiny ? F(0) : std::numeric_limits<F>::infinity();
}

// Parses a float token that is known to be well formed.
template <class F>
F parse_float(std::string_view t) {
    bool neg = false;
    std::string_view body = t;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        neg = body.front() == '-';
        body.remove_prefix(1);
    }
    F v;
    if (body == "inf") {
        v = std::numeric_limits<F>::infinity();
    } else if (body == "NaN") {
        v = std::numeric_limits<F>::quiet_NaN();
    } else {
        v = decimal_value<F>(body.data(), body.data() + body.size());
    }
    return neg ? -v : v;
}

// ---- the fast paths of long lists --------------------------------------------
//
// They read the text between a list's "[" and the first "]" after it, which
// stands at the end of what they scan: every scan below stops there by itself
// (no "]" is a digit, a blank, a sign or a letter looked for), so none needs
// a bound. Anything they do not take (comments, other forms, errors) goes
// back to element-by-element reading.

inline bool fast_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline const char* skip_blanks(const char* s) {
    while (*s == ' ' || *s == '\n' || *s == '\t' || *s == '\r') ++s;
    return s;
}

// A float token at s as number_token takes it ([+-] then digits with an
// optional fraction and exponent, or inf / NaN), read as f32() reads it;
// gives its end, or nullptr when none starts here. What follows it is the
// caller's to check: only a blank, a comma, a parenthesis or the bracket may
// (so "1e", "1.5.2" or "infinity" go to element-by-element reading).
inline const char* scan_f32(const char* s, float& out) {
    const bool neg = *s == '-';
    if (neg || *s == '+') ++s;
    const char* const body = s;
    float v;
    if (fast_digit(*s)) {
        ++s;
        while (fast_digit(*s)) ++s;
        if (*s == '.') {
            ++s;
            while (fast_digit(*s)) ++s;
        }
        if (*s == 'e' || *s == 'E') {
            const char* q = s + 1;
            if (*q == '+' || *q == '-') ++q;
            if (fast_digit(*q)) {
                while (fast_digit(*q)) ++q;
                s = q;
            }
        }
        v = decimal_value<float>(body, s);
    } else if (s[0] == 'i' && s[1] == 'n' && s[2] == 'f') {
        s += 3;
        v = std::numeric_limits<float>::infinity();
    } else if (s[0] == 'N' && s[1] == 'a' && s[2] == 'N') {
        s += 3;
        v = std::numeric_limits<float>::quiet_NaN();
    } else {
        return nullptr;
    }
    out = neg ? -v : v;
    return s;
}

// Blanks are skipped only where the element reader takes them.
template <bool Blanks>
const char* blanks_if(const char* s) {
    if constexpr (Blanks) return skip_blanks(s);
    else return s;
}

// "-123" (at most six digits, as written), or nullptr.
template <bool Blanks>
const char* scan_i16(const char* s, std::int16_t& out) {
    s = blanks_if<Blanks>(s);
    const bool neg = *s == '-';
    s += neg ? 1 : 0;
    const char* const digits_at = s;
    std::int32_t v = 0;
    while (s - digits_at < 6 && fast_digit(*s)) v = v * 10 + (*s++ - '0');
    if (s == digits_at) return nullptr;
    if (neg) v = -v;
    if (v < -32768 || v > 32767) return nullptr;
    out = static_cast<std::int16_t>(v);
    return s;
}

template <bool Blanks>
const char* scan_f32_element(const char* s, float& out) {
    return scan_f32(blanks_if<Blanks>(s), out);
}

// "(re,im)", with a comma allowed after im.
template <bool Blanks>
const char* scan_pair(const char* s, std::complex<float>& out) {
    s = blanks_if<Blanks>(s);
    if (*s != '(') return nullptr;
    float re;
    float im;
    s = scan_f32(blanks_if<Blanks>(s + 1), re);
    if (!s) return nullptr;
    s = blanks_if<Blanks>(s);
    if (*s != ',') return nullptr;
    s = scan_f32(blanks_if<Blanks>(s + 1), im);
    if (!s) return nullptr;
    s = blanks_if<Blanks>(s);
    if (*s == ',') s = blanks_if<Blanks>(s + 1);
    if (*s != ')') return nullptr;
    out = {re, im};
    return s + 1;
}

}  // namespace

namespace {

// From just inside an opening parenthesis at `at`: whether the parenthesis
// holds more than one value, scanning to its first comma or its close at the
// same depth (strings and nested brackets passed over; an unclosed one counts
// as one value).
bool holds_several(std::string_view text, std::size_t at) {
    int depth = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth-- == 0) return false;
        } else if (c == ',' && depth == 0) {
            // A comma before the close alone does not make a second value.
            std::size_t j = i + 1;
            while (j < text.size() && (text[j] == ' ' || text[j] == '\t' || text[j] == '\n' || text[j] == '\r')) ++j;
            return j < text.size() && text[j] != ')';
        }
    }
    return false;
}

}  // namespace

std::string Reader::describe() {
    skip_ws();
    const std::size_t save = pos_;
    std::string out;
    if (pos_ >= text_.size()) {
        out = "the end of the text";
    } else if (auto tok = number_token(); tok && !tok->empty()) {
        const std::string_view t = *tok;
        if (!is_integer_token(t)) out = "the floating point number " + quoted_input(t);
        else if (t[0] == '-') out = "the signed integer " + quoted_input(t);
        else out = "the unsigned integer " + quoted_input(t);
    } else if (text_[pos_] == '"') {
        auto s = string();
        out = s ? "the string " + quote(base::utf8::excerpt(*s)) : "a string";
    } else if (text_[pos_] == '\'') {
        out = "a character";
        if (pos_ + 2 < text_.size() && text_[pos_ + 2] == '\'')
            out = "the UTF-8 character `" + std::string(1, text_[pos_ + 1]) + "`";
    } else if (text_[pos_] == '[') {
        out = "a sequence";
    } else if (text_[pos_] == '{') {
        out = "a map";
    } else if (text_[pos_] == '(') {
        ++pos_;
        skip_ws();
        const std::size_t inside = pos_;
        if (pos_ < text_.size() && text_[pos_] == ')') {
            out = "a unit value";
        } else if (auto id = identifier(); !id.empty() && peek(':')) {
            out = "a struct";
        } else {
            out = holds_several(text_, inside) ? "a tuple" : "a newtype struct";
        }
    } else if (auto id = identifier(); !id.empty()) {
        if (id == "true" || id == "false") {
            out = "the boolean `" + std::string(id) + "`";
        } else if (id == "None" || id == "Some") {
            out = "an optional value";
        } else if (peek('(')) {
            ++pos_;  // the '(' peek found after any blanks
            skip_ws();
            const std::size_t inside = pos_;
            if (auto field = identifier(); !field.empty() && peek(':')) out = "a struct variant";
            else if (holds_several(text_, inside)) out = "a tuple variant";
            else out = "a newtype variant";
        } else {
            out = "a unit variant";
        }
    } else {
        out = "the character `" + std::string(1, text_[pos_]) + "`";
    }
    pos_ = save;
    return out;
}

Error Reader::expected(std::string_view what) {
    skip_ws();
    return error(fmt::format("Expected {} but found {} instead", what, describe()));
}

Parsed<bool> Reader::boolean() {
    skip_ws();
    const std::size_t save = pos_;
    const auto id = identifier();
    if (id == "true") return true;
    if (id == "false") return false;
    pos_ = save;
    return std::unexpected(expected("a boolean"));
}

Parsed<float> Reader::f32() {
    auto tok = number_token();
    if (!tok || tok->empty()) return std::unexpected(expected("a floating point number"));
    pos_ += tok->size();
    return parse_float<float>(*tok);
}

Parsed<double> Reader::f64() {
    auto tok = number_token();
    if (!tok || tok->empty()) return std::unexpected(expected("a floating point number"));
    pos_ += tok->size();
    return parse_float<double>(*tok);
}

Parsed<std::uint64_t> Reader::u64(std::uint64_t max, std::string_view what) {
    auto tok = number_token();
    if (!tok || tok->empty() || !is_integer_token(*tok) || (*tok)[0] == '-') {
        // A negative zero is still zero.
        if (tok && *tok == "-0") {
            pos_ += 2;
            return 0;
        }
        return std::unexpected(expected(what));
    }
    std::string_view digits = *tok;
    if (digits.front() == '+') digits.remove_prefix(1);
    std::uint64_t v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec != std::errc() || v > max) return std::unexpected(expected(what));
    pos_ += tok->size();
    return v;
}

Parsed<std::int64_t> Reader::i64(std::int64_t min, std::int64_t max, std::string_view what) {
    auto tok = number_token();
    if (!tok || tok->empty() || !is_integer_token(*tok)) return std::unexpected(expected(what));
    std::string_view digits = *tok;
    if (digits.front() == '+') digits.remove_prefix(1);
    std::int64_t v = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec != std::errc() || v < min || v > max) return std::unexpected(expected(what));
    pos_ += tok->size();
    return v;
}

Parsed<std::string> Reader::string() {
    skip_ws();
    const std::size_t start = pos_;
    // Raw strings: r"..." and r#"..."#.
    if (pos_ < text_.size() && text_[pos_] == 'r') {
        std::size_t p = pos_ + 1;
        std::size_t hashes = 0;
        while (p < text_.size() && text_[p] == '#') ++hashes, ++p;
        if (p < text_.size() && text_[p] == '"') {
            ++p;
            const std::string close = "\"" + std::string(hashes, '#');
            const auto end = text_.find(close, p);
            if (end == std::string_view::npos) return std::unexpected(error("Unterminated raw string"));
            pos_ = end + close.size();
            if (auto c = charge(end - p); !c) return std::unexpected(c.error());
            return std::string(text_.substr(p, end - p));
        }
    }
    if (pos_ >= text_.size() || text_[pos_] != '"') return std::unexpected(expected("a string"));
    ++pos_;
    std::string out;
    for (;;) {
        if (pos_ >= text_.size()) return std::unexpected(error_at(start, "Unterminated string"));
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            // Texts beyond the size kept inside the string object take heap.
            if (out.size() > 15)
                if (auto ch = charge(out.size()); !ch) return std::unexpected(ch.error());
            return out;
        }
        if (c != '\\') {
            out += c;
            ++pos_;
            continue;
        }
        const std::size_t esc_at = pos_;
        ++pos_;
        if (pos_ >= text_.size()) return std::unexpected(error_at(start, "Unterminated string"));
        const char e = text_[pos_++];
        switch (e) {
            case '0': out += '\0'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case '"': out += '"'; break;
            case '\'': out += '\''; break;
            case '\\': out += '\\'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case '/': out += '/'; break;
            case 'x': {
                unsigned v = 0;
                if (pos_ + 2 > text_.size()) return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                auto r = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 2, v, 16);
                if (r.ptr != text_.data() + pos_ + 2 || v > 0x7F)
                    return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                pos_ += 2;
                out += static_cast<char>(v);
                break;
            }
            case 'u': {
                std::uint32_t v = 0;
                if (pos_ < text_.size() && text_[pos_] == '{') {
                    const auto close = text_.find('}', pos_);
                    if (close == std::string_view::npos || close == pos_ + 1 || close - pos_ - 1 > 6)
                        return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                    auto r = std::from_chars(text_.data() + pos_ + 1, text_.data() + close, v, 16);
                    if (r.ptr != text_.data() + close)
                        return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                    pos_ = close + 1;
                } else {
                    if (pos_ + 4 > text_.size()) return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                    auto r = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, v, 16);
                    if (r.ptr != text_.data() + pos_ + 4)
                        return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                    pos_ += 4;
                }
                if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
                    return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
                base::utf8::append_utf8(out, static_cast<char32_t>(v));
                break;
            }
            default: return std::unexpected(error_at(esc_at, "Invalid escape sequence"));
        }
    }
}

// A list of numbers in square brackets, read by `one` element by element,
// with a fast path for long lists: "[" elements "]" up to the first "]",
// read by element.template operator()<blanks>(s, value) (see scan_i16). At
// least `commas_each` commas stand between one element's start and the next
// one's, which bounds the count. Anything the fast path does not take is
// read again element by element from the "[".
template <class T, class Element, class One>
Parsed<std::vector<T>> Reader::long_list(std::size_t commas_each, Element element, One one) {
    skip_ws();
    const std::size_t start = pos_;
    std::vector<T> out;
    if (fast_list(out, commas_each, element)) return out;
    pos_ = start;
    auto r = list([&](Reader& rd) -> Parsed<void> {
        auto v = one(rd);
        if (!v) return std::unexpected(v.error());
        return rd.push(out, std::move(*v));
    });
    if (!r) return std::unexpected(r.error());
    return out;
}

// The fast path: true with the list read, its memory charged and the reader
// after it; false (out emptied, the reader unmoved) for anything else.
template <class T, class Element>
bool Reader::fast_list(std::vector<T>& out, std::size_t commas_each, Element element) {
    if (pos_ >= text_.size() || text_[pos_] != '[') return false;
    const char* const first = text_.data() + pos_ + 1;
    const void* close = std::memchr(first, ']', text_.size() - pos_ - 1);
    if (!close) return false;
    const char* const end = static_cast<const char*>(close);
    auto done = [&] {
        pos_ = static_cast<std::size_t>(end - text_.data()) + 1;
        // Within the budget by the bound on the reservation.
        budget_ -= out.size() * sizeof(T);
        return true;
    };
    const char* s = skip_blanks(first);
    if (s == end) return done();
    // Room for every element up to the bracket at once, but never more than
    // element-by-element reading could charge: beyond that it fails, and the
    // slow path says where.
    const auto commas = static_cast<std::size_t>(std::count(s, end, ','));
    const std::size_t most = std::min(commas / commas_each + 1, budget_ / sizeof(T));
    // Reserved, not filled: each element is written once; a large list gets
    // large pages.
    out.reserve(most);
    base::pages::prepare(out.data(), most * sizeof(T));
    // The compact form as written ("1.5,-2.0"): straight through, no blanks.
    const char* const elements = s;
    for (;;) {
        T v;
        s = out.size() < most ? element.template operator()<false>(s, v) : nullptr;
        if (!s) break;
        out.push_back(v);
        if (s == end) return done();
        if (*s != ',') break;
        if (++s == end) return done();  // a trailing comma
    }
    // With blanks and line breaks anywhere between the tokens.
    out.clear();
    s = elements;
    for (;;) {
        T v;
        s = out.size() < most ? element.template operator()<true>(s, v) : nullptr;
        if (!s) break;
        out.push_back(v);
        s = skip_blanks(s);
        if (s == end) return done();
        if (*s != ',') break;
        s = skip_blanks(s + 1);
        if (s == end) return done();  // a trailing comma
    }
    out.clear();
    return false;
}

Parsed<std::vector<std::int16_t>> Reader::i16_list() {
    return long_list<std::int16_t>(
        1, []<bool B>(const char* s, std::int16_t& v) { return scan_i16<B>(s, v); },
        [](Reader& rd) { return rd.signed_int<std::int16_t>(); });
}

Parsed<std::vector<float>> Reader::f32_list() {
    return long_list<float>(
        1, []<bool B>(const char* s, float& v) { return scan_f32_element<B>(s, v); },
        [](Reader& rd) { return rd.f32(); });
}

Parsed<std::complex<float>> Reader::pair() {
    if (!eat('(')) return std::unexpected(expected("a pair (re, im)"));
    auto re = f32();
    if (!re) return std::unexpected(re.error());
    if (!eat(',')) return std::unexpected(error("Expected `,` between the two parts of a pair"));
    auto im = f32();
    if (!im) return std::unexpected(im.error());
    eat(',');
    if (!eat(')')) return std::unexpected(error("Expected closing `)` of a pair"));
    return std::complex<float>(*re, *im);
}

Parsed<std::vector<std::complex<float>>> Reader::pair_list() {
    // Each pair holds a comma and is followed by one, but the last.
    return long_list<std::complex<float>>(
        2, []<bool B>(const char* s, std::complex<float>& v) { return scan_pair<B>(s, v); },
        [](Reader& rd) { return rd.pair(); });
}

std::string expected_names(std::span<const std::string_view> names) {
    if (names.empty()) return "there are no variants";
    if (names.size() == 1) return "expected " + backquoted(names[0]) + " instead";
    if (names.size() == 2) return "expected either " + backquoted(names[0]) + " or " + backquoted(names[1]) + " instead";
    std::string out = "expected one of " + backquoted(names[0]);
    for (std::size_t i = 1; i + 1 < names.size(); ++i) out += ", " + backquoted(names[i]);
    out += ", or " + backquoted(names.back()) + " instead";
    return out;
}

Parsed<std::size_t> Reader::variant(std::string_view enum_name, std::span<const std::string_view> accepted) {
    skip_ws();
    const std::size_t start = pos_;
    const auto id = identifier();
    if (id.empty()) return std::unexpected(expected("enum " + backquoted(enum_name)));
    for (std::size_t i = 0; i < accepted.size(); ++i)
        if (accepted[i] == id) return i;
    return std::unexpected(error_over(start, start + id.size(),
                                      "Unexpected variant named " + quoted_input(id) + " in enum " +
                                          backquoted(enum_name) + ", " + expected_names(accepted)));
}

Parsed<bool> Reader::begin_optional() {
    skip_ws();
    const std::size_t start = pos_;
    const auto id = identifier();
    if (id == "None") return false;
    if (id == "Some") {
        if (!eat('(')) return std::unexpected(error("Expected opening `(` after `Some`"));
        return true;
    }
    pos_ = start;
    return std::unexpected(expected("an optional value"));
}

Parsed<void> Reader::end_some() {
    if (!eat(')')) return std::unexpected(error("Expected closing `)`"));
    return {};
}

Parsed<void> Reader::open_record(std::string_view type_name) {
    skip_ws();
    const std::size_t start = pos_;
    const auto id = identifier();
    if (!id.empty() && id != type_name)
        return std::unexpected(
            error_over(start, start + id.size(),
                       "Expected struct " + backquoted(type_name) + " but found " + quoted_input(id)));
    if (!eat('('))
        return std::unexpected(error("Expected opening `(` for struct " + backquoted(type_name)));
    return {};
}

Parsed<void> Reader::key(std::string_view& out) {
    skip_ws();
    out = identifier();
    if (out.empty()) return std::unexpected(expected("a field name"));
    if (!eat(':')) return std::unexpected(error("Expected `:` after the field name " + quoted_input(out)));
    return {};
}

Parsed<void> Reader::separator_or_end(char close) {
    if (eat(',')) return {};
    if (peek(close)) return {};
    return std::unexpected(error(fmt::format("Expected `,` or `{}`", close)));
}

Parsed<void> Reader::skip_value() { return skip_value_at(0); }

Parsed<void> Reader::charge(std::size_t bytes) {
    if (bytes > budget_) return std::unexpected(error("Exceeded memory limit"));
    budget_ -= bytes;
    return {};
}

Parsed<void> Reader::skip_value_at(int depth) {
    if (depth >= RECURSION_LIMIT) return std::unexpected(error("Exceeded recursion limit"));
    skip_ws();
    if (pos_ >= text_.size()) return std::unexpected(expected("a value"));
    const char c = text_[pos_];
    // Contents of "(...)": a unit, a tuple or the fields of a struct.
    auto paren_body = [&]() -> Parsed<void> {
        for (;;) {
            skip_ws();
            if (eat(')')) return {};
            const std::size_t save = pos_;
            const auto id = identifier();
            if (!(!id.empty() && eat(':'))) pos_ = save;
            if (auto r = skip_value_at(depth + 1); !r) return r;
            if (auto r = separator_or_end(')'); !r) return r;
        }
    };
    if (c == '(') {
        ++pos_;
        return paren_body();
    }
    if (c == '[') {
        ++pos_;
        for (;;) {
            skip_ws();
            if (eat(']')) return {};
            if (auto r = skip_value_at(depth + 1); !r) return r;
            if (auto r = separator_or_end(']'); !r) return r;
        }
    }
    if (c == '{') {
        ++pos_;
        for (;;) {
            skip_ws();
            if (eat('}')) return {};
            if (auto r = skip_value_at(depth + 1); !r) return r;
            if (!eat(':')) return std::unexpected(error("Expected `:` in a map"));
            if (auto r = skip_value_at(depth + 1); !r) return r;
            if (auto r = separator_or_end('}'); !r) return r;
        }
    }
    if (c == '"' || (c == 'r' && pos_ + 1 < text_.size() && (text_[pos_ + 1] == '"' || text_[pos_ + 1] == '#'))) {
        auto s = string();
        if (!s) return std::unexpected(s.error());
        return {};
    }
    if (c == '\'') {
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '\\') {
            pos_ += 2;
            while (pos_ < text_.size() && text_[pos_] != '\'') ++pos_;
        } else if (pos_ < text_.size()) {
            const base::utf8::Decoded d = decode_utf8(text_, pos_);
            pos_ += d.len == 0 ? 1 : d.len;
        }
        if (pos_ >= text_.size() || text_[pos_] != '\'') return std::unexpected(error("Expected `'`"));
        ++pos_;
        return {};
    }
    if (auto tok = number_token(); tok && !tok->empty()) {
        pos_ += tok->size();
        return {};
    }
    const auto id = identifier();
    if (id.empty()) return std::unexpected(expected("a value"));
    if (eat('(')) return paren_body();
    return {};
}

}  // namespace engine::notation
