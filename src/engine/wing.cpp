// Wing console targets and the text command of a processing strip.
#include "engine/wing.h"

#include <array>
#include <charconv>
#include <optional>
#include <cstdint>

#include <fmt/format.h>

namespace engine::wing {
namespace {

struct Kind {
    std::string_view name;
    std::uint32_t count;
};

constexpr std::array<Kind, 4> KINDS{{{"ch", 40}, {"bus", 16}, {"main", 4}, {"mtx", 8}}};

// Length of the white-space character at s[i] (Unicode White_Space), or 0.
std::size_t space_len(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b == ' ' || (b >= 0x09 && b <= 0x0D)) return 1;
    auto at = [&](std::size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    if (b == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;           // U+0085, U+00A0
    if (b == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;             // U+1680
    if (b == 0xE2 && at(1) == 0x80) {
        const unsigned c = at(2);
        if ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) return 3;  // U+2000..200A, 2028, 2029, 202F
    }
    if (b == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;             // U+205F
    if (b == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;             // U+3000
    return 0;
}

// The first `max` words of s.
std::vector<std::string_view> words(std::string_view s, std::size_t max) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size() && out.size() < max) {
        if (std::size_t n = space_len(s, i)) {
            i += n;
            continue;
        }
        const std::size_t begin = i;
        while (i < s.size() && space_len(s, i) == 0) ++i;
        out.push_back(s.substr(begin, i - begin));
    }
    return out;
}

// An unsigned 32-bit decimal with an optional leading "+".
std::optional<std::uint32_t> parse_u32(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace

std::string Target::path() const { return fmt::format("{}.{}", kind, number); }

std::vector<std::string> targets() {
    std::vector<std::string> out;
    for (const auto& k : KINDS)
        for (std::uint32_t n = 1; n <= k.count; ++n) out.push_back(fmt::format("{} {}", k.name, n));
    return out;
}

base::Result<Target> parse_target(std::string_view text) {
    const auto w = words(text, 2);
    if (w.size() == 2) {
        for (const auto& k : KINDS) {
            if (w[0] != k.name) continue;
            if (auto n = parse_u32(w[1]); n && *n >= 1 && *n <= k.count) return Target{std::string(k.name), *n};
        }
    }
    return base::fail(fmt::format("no such Wing target: {}", text));
}

}  // namespace engine::wing
