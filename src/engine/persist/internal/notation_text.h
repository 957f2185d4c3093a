#pragma once
// What the notation's writer and reader share: the nesting limit, UTF-8
// decoding, the set of characters written escaped, identifier characters and
// input quoted in messages. Private to engine_persist.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "engine/persist/escaped_table.h"
#include "engine/persist/notation.h"

namespace engine::notation {
namespace {

constexpr int RECURSION_LIMIT = 128;

// Decodes one UTF-8 sequence at s[i]; gives the code point and its length,
// or length 0 for an invalid sequence.
inline base::utf8::Decoded decode_utf8(std::string_view s, std::size_t i) {
    const base::utf8::Decoded d = base::utf8::decode_one(s, i);
    return d.valid ? d : base::utf8::Decoded{};
}

// Characters written as \u{...}: unassigned code points, controls, format
// characters, surrogates, private use, combining marks, separators other than
// the blank and default-ignorable code points (the table is generated from
// the Unicode character database).
inline bool escaped(char32_t cp) {
    const auto& table = unicode::ESCAPED;
    const auto* it = std::upper_bound(std::begin(table), std::end(table), cp,
                                      [](char32_t c, const unicode::Range& r) { return c < r.lo; });
    return it != std::begin(table) && cp <= (it - 1)->hi;
}

inline bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
inline bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9'); }
inline bool digit(char c) { return c >= '0' && c <= '9'; }

inline std::string backquoted(std::string_view s) {
    std::string out = "`";
    out += s;
    out += '`';
    return out;
}
// Input quoted in a message: a short prefix only, however long it is.
inline std::string quoted_input(std::string_view s) { return backquoted(base::utf8::excerpt(s)); }

}  // namespace

}  // namespace engine::notation
