#pragma once
// UTF-8 decoding, encoding and checking: every maximal sequence that is not
// well-formed UTF-8 decodes as one U+FFFD.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base::utf8 {

// One UTF-8 sequence at s[i] (i < s.size()). A well-formed sequence gives
// its code point and length; otherwise valid is false and len is the length
// of the maximal ill-formed part to skip (at least 1).
struct Decoded {
    char32_t cp = 0;
    std::size_t len = 0;
    bool valid = false;
};

inline Decoded decode_one(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned b = at(i);
    std::size_t len = 0;
    char32_t cp = 0;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b < 0x80) {
        return {b, 1, true};
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        cp = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        cp = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return {0, 1, false};
    }
    std::size_t k = 1;
    for (; k < len && i + k < s.size(); ++k) {
        const unsigned c = at(i + k);
        if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (k != len) return {0, k, false};
    return {cp, len, true};
}

inline std::vector<char32_t> code_points(std::string_view s) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const Decoded d = decode_one(s, i);
        out.push_back(d.valid ? d.cp : char32_t{0xFFFD});
        i += d.len;
    }
    return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The text with each ill-formed sequence replaced by U+FFFD.
inline std::string lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t cp : code_points(s)) append_utf8(out, cp);
    return out;
}

// Whether the bytes are well-formed UTF-8.
bool valid(std::string_view bytes);

// Unicode White_Space.
constexpr bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The byte length of the white-space character at s[i] (i < s.size()), or 0.
inline std::size_t space_len(std::string_view s, std::size_t i) {
    const Decoded d = decode_one(s, i);
    return d.valid && is_space(d.cp) ? d.len : 0;
}

// The text without leading and trailing white space.
std::string_view trim(std::string_view s);

// Nothing for valid UTF-8; otherwise "invalid utf-8 sequence of {} bytes
// from index {}" or "incomplete utf-8 byte sequence from index {}".
std::optional<std::string> check(std::string_view bytes);

}  // namespace base::utf8
