#include "base/utf8.h"

#include <fmt/format.h>

namespace base::utf8 {

bool valid(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = decode_one(bytes, i);
        if (!d.valid) return false;
        i += d.len;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    std::size_t start = 0;
    while (start < s.size()) {
        const std::size_t n = space_len(s, start);
        if (n == 0) break;
        start += n;
    }
    std::size_t end = start;
    for (std::size_t i = start; i < s.size();) {
        const std::size_t n = space_len(s, i);
        if (n != 0) {
            i += n;
            continue;
        }
        i += decode_one(s, i).len;
        end = i;
    }
    return s.substr(start, end - start);
}

std::optional<std::string> check(std::string_view s) {
    const std::size_t n = s.size();
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto invalid = [](std::size_t len, std::size_t at) {
        return fmt::format("invalid utf-8 sequence of {} bytes from index {}", len, at);
    };
    auto incomplete = [](std::size_t at) { return fmt::format("incomplete utf-8 byte sequence from index {}", at); };
    auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = b(i);
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            if (i + 1 >= n) return incomplete(i);
            if (!cont(b(i + 1))) return invalid(1, i);
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (i + 1 >= n) return incomplete(i);
            const unsigned char c1 = b(i + 1);
            const bool ok1 = c == 0xE0 ? (c1 >= 0xA0 && c1 <= 0xBF)
                             : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                         : cont(c1);
            if (!ok1) return invalid(1, i);
            if (i + 2 >= n) return incomplete(i);
            if (!cont(b(i + 2))) return invalid(2, i);
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (i + 1 >= n) return incomplete(i);
            const unsigned char c1 = b(i + 1);
            const bool ok1 = c == 0xF0 ? (c1 >= 0x90 && c1 <= 0xBF)
                             : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                         : cont(c1);
            if (!ok1) return invalid(1, i);
            if (i + 2 >= n) return incomplete(i);
            if (!cont(b(i + 2))) return invalid(2, i);
            if (i + 3 >= n) return incomplete(i);
            if (!cont(b(i + 3))) return invalid(3, i);
            i += 4;
        } else {
            return invalid(1, i);
        }
    }
    return std::nullopt;
}

}  // namespace base::utf8
