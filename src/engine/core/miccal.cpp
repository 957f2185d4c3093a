#include "engine/core/miccal.h"

#include <fmt/format.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include "base/log.h"
#include "base/utf8.h"
#include "engine/core/tf.h"

namespace engine::miccal {

namespace {

constexpr std::string_view TARGET = "Veltrum::engine::miccal";
constexpr std::string_view NO_PAIRS = "no frequency / dB pairs found";

// One code point of UTF-8 at s[i]: its value and byte length (an ill-formed
// part counts as one U+FFFD).
std::pair<char32_t, std::size_t> decode(std::string_view s, std::size_t i) {
    const base::utf8::Decoded d = base::utf8::decode_one(s, i);
    return {d.valid ? d.cp : char32_t{0xFFFD}, d.len};
}

using base::utf8::is_space;
using base::utf8::trim;

// Cuts at white space and ";" (and "," too in the plain splitter); the
// comma-aware splitter strips commas from both ends of each piece instead.
std::vector<std::string_view> split(std::string_view line, bool comma_aware) {
    std::vector<std::string_view> out;
    auto push = [&](std::string_view piece) {
        if (comma_aware) {
            while (!piece.empty() && piece.front() == ',') piece.remove_prefix(1);
            while (!piece.empty() && piece.back() == ',') piece.remove_suffix(1);
        }
        if (!piece.empty()) out.push_back(piece);
    };
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size();) {
        auto [cp, len] = decode(line, i);
        if (is_space(cp) || cp == ';' || (!comma_aware && cp == ',')) {
            push(line.substr(start, i - start));
            start = i + len;
        }
        i += len;
    }
    push(line.substr(start));
    return out;
}

// The whole text as a decimal number: optional sign, digits with an
// optional point, optional exponent; rounded to the nearest float.
std::optional<float> parse_number(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;

    std::string_view body = s;
    const bool neg = !body.empty() && body.front() == '-';
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
    float v = 0.0f;
    const auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == body.data() + body.size()) return neg ? -v : v;
    if (r.ec != std::errc::result_out_of_range) return std::nullopt;
    // Past the float range either way: overflow gives infinity, underflow
    // the nearest subnormal or zero.
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    const std::string text(body);
    const double d = strtod_l(text.c_str(), nullptr, c_locale);
    float out;
    if (std::abs(d) > static_cast<double>(std::numeric_limits<float>::max()))
        out = std::numeric_limits<float>::infinity();
    else
        out = static_cast<float>(d);
    return neg ? -out : out;
}

}  // namespace

base::Result<std::vector<Pair>> parse(std::string_view text) {
    // A byte-order mark some editors write in front of UTF-8 text.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (nl != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        line = trim(line);
        if (!line.empty() && line.front() != '#' && line.front() != '*' && line.front() != ';') lines.push_back(line);
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }

    bool decimal_comma = false;
    const bool any_point = std::any_of(lines.begin(), lines.end(), [](std::string_view l) {
        return l.find('.') != std::string_view::npos;
    });
    if (!any_point) {
        for (std::string_view l : lines) {
            const auto fields = split(l, true);
            if (fields.size() >= 2 && fields[0].find(',') != std::string_view::npos &&
                fields[1].find(',') != std::string_view::npos) {
                decimal_comma = true;
                break;
            }
        }
    }

    std::vector<Pair> pairs;
    for (std::string_view l : lines) {
        const auto fields = split(l, decimal_comma);
        if (fields.size() < 2) continue;
        std::optional<float> hz, db;
        if (decimal_comma) {
            std::string a(fields[0]), b(fields[1]);
            std::replace(a.begin(), a.end(), ',', '.');
            std::replace(b.begin(), b.end(), ',', '.');
            hz = parse_number(a);
            db = parse_number(b);
        } else {
            hz = parse_number(fields[0]);
            db = parse_number(fields[1]);
        }
        if (!hz || !db) continue;
        if (!std::isfinite(*hz) || !(*hz > 0.0f) || !std::isfinite(*db)) continue;
        pairs.push_back(Pair{*hz, *db});
    }
    if (pairs.size() < 2) return base::fail(std::string(NO_PAIRS));
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.hz < b.hz; });
    return pairs;
}

std::vector<float> resample(const std::vector<Pair>& pairs) {
    if (pairs.empty()) return {};
    std::vector<float> out(tf::GRID_POINTS);
    const tf::Grid& grid = tf::point_freq();
    const Pair& first = pairs.front();
    const Pair& last = pairs.back();
    for (std::size_t i = 0; i < tf::GRID_POINTS; ++i) {
        const float g = grid[i];
        if (g <= first.hz) {
            out[i] = first.db;
        } else if (g >= last.hz) {
            out[i] = last.db;
        } else {
            std::size_t k = 0;
            while (pairs[k].hz <= g) ++k;
            const Pair& a = pairs[k - 1];
            const Pair& b = pairs[k];
            out[i] = a.db + std::log(g / a.hz) * (b.db - a.db) / std::log(b.hz / a.hz);
        }
    }
    return out;
}

std::vector<float> load(std::string_view path) {
    if (path.empty()) return {};
    const std::string p(path);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
        base::log::warn(TARGET, fmt::format("mic calibration not loaded: {}", std::strerror(EISDIR)));
        return {};
    }
    errno = 0;
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        const int err = errno;
        base::log::warn(TARGET, fmt::format("mic calibration not loaded: {}", std::strerror(err ? err : ENOENT)));
        return {};
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) {
        base::log::warn(TARGET, "mic calibration not loaded: read error");
        return {};
    }
    const std::string text = std::move(buf).str();
    if (!base::utf8::valid(text)) {
        base::log::warn(TARGET, "mic calibration not loaded: stream did not contain valid UTF-8");
        return {};
    }
    auto pairs = parse(text);
    if (!pairs) {
        base::log::warn(TARGET, fmt::format("mic calibration not loaded: {}", pairs.error()));
        return {};
    }
    return resample(*pairs);
}

}  // namespace engine::miccal
