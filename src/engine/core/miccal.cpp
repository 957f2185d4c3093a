#include "engine/core/miccal.h"

#include <fmt/format.h>
#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "api/client.h"
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

// The first two fields of a line (only they are read; count tells whether
// there were two). Cuts at white space and ";" (and "," too in the plain
// splitter); the comma-aware splitter strips commas from both ends of each
// piece instead.
struct Fields {
    std::string_view f[2];
    std::size_t count = 0;
};

Fields split(std::string_view line, bool comma_aware) {
    Fields out;
    auto push = [&](std::string_view piece) {
        if (comma_aware) {
            while (!piece.empty() && piece.front() == ',') piece.remove_prefix(1);
            while (!piece.empty() && piece.back() == ',') piece.remove_suffix(1);
        }
        if (!piece.empty()) out.f[out.count++] = piece;
    };
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size() && out.count < 2;) {
        auto [cp, len] = decode(line, i);
        if (is_space(cp) || cp == ';' || (!comma_aware && cp == ',')) {
            push(line.substr(start, i - start));
            start = i + len;
        }
        i += len;
    }
    if (out.count < 2) push(line.substr(start));
    return out;
}

// Calls fn(line number, trimmed text) for every data line (not blank, not a
// comment), in file order; stops when fn returns false.
template <class F>
void for_each_data_line(std::string_view text, F&& fn) {
    std::size_t start = 0;
    for (std::size_t number = 1; start <= text.size(); ++number) {
        const std::size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (nl != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        line = trim(line);
        if (!line.empty() && line.front() != '#' && line.front() != '*' && line.front() != ';')
            if (!fn(number, line)) return;
        if (nl == std::string_view::npos) return;
        start = nl + 1;
    }
}

// What a microphone's calibration can sensibly hold. Values past these give
// levels that overflow (or frequency ratios that do) on the grid.
constexpr float MIN_HZ = 0.001f;
constexpr float MAX_HZ = 1.0e6f;
constexpr float MAX_DB = 200.0f;

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

namespace {
base::Result<std::vector<Pair>> parse_text(std::string_view text);
}

base::Result<std::vector<Pair>> parse(std::string_view text) {
    try {
        return parse_text(text);
    } catch (const std::bad_alloc&) {
        return base::fail("out of memory");
    }
}

namespace {

base::Result<std::vector<Pair>> parse_text(std::string_view text) {
    // A byte-order mark some editors write in front of UTF-8 text.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    bool decimal_comma = false;
    bool any_point = false;
    for_each_data_line(text, [&](std::size_t, std::string_view l) {
        any_point = l.find('.') != std::string_view::npos;
        return !any_point;
    });
    if (!any_point) {
        for_each_data_line(text, [&](std::size_t, std::string_view l) {
            const Fields fields = split(l, true);
            decimal_comma = fields.count >= 2 && fields.f[0].find(',') != std::string_view::npos &&
                            fields.f[1].find(',') != std::string_view::npos;
            return !decimal_comma;
        });
    }

    std::vector<Pair> pairs;
    std::optional<std::string> refused;
    for_each_data_line(text, [&](std::size_t number, std::string_view l) {
        const Fields fields = split(l, decimal_comma);
        if (fields.count < 2) return true;
        std::optional<float> hz, db;
        if (decimal_comma) {
            std::string a(fields.f[0]), b(fields.f[1]);
            std::replace(a.begin(), a.end(), ',', '.');
            std::replace(b.begin(), b.end(), ',', '.');
            hz = parse_number(a);
            db = parse_number(b);
        } else {
            hz = parse_number(fields.f[0]);
            db = parse_number(fields.f[1]);
        }
        if (!hz || !db) return true;
        if (!std::isfinite(*hz) || !(*hz > 0.0f) || !std::isfinite(*db)) return true;
        // A finite value past what a microphone can have would make the
        // calibration on the grid infinite or NaN: the file is refused.
        if (*hz < MIN_HZ || *hz > MAX_HZ || std::fabs(*db) > MAX_DB) {
            refused = fmt::format("calibration out of range on line {}: {} Hz, {} dB", number, *hz, *db);
            return false;
        }
        pairs.push_back(Pair{*hz, *db});
        return true;
    });
    if (refused) return base::fail(*refused);
    if (pairs.size() < 2) return base::fail(std::string(NO_PAIRS));
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.hz < b.hz; });
    return pairs;
}

}  // namespace

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
    auto not_loaded = [&](const std::string& why) {
        base::log::warn(TARGET, fmt::format("mic calibration not loaded: {}", why));
        return std::vector<float>();
    };
    try {
        // Only a regular file, capped like every file the program reads: a
        // link to a device or a FIFO is refused, not read for ever.
        const auto text = api::client::read_file(p);
        if (!text) return not_loaded(text.error());
        if (base::utf8::check(*text)) return not_loaded("stream did not contain valid UTF-8");
        auto pairs = parse(*text);
        if (!pairs) return not_loaded(pairs.error());
        std::vector<float> grid = resample(*pairs);
        // Never hand on a calibration that is not a number everywhere.
        if (!std::all_of(grid.begin(), grid.end(), [](float v) { return std::isfinite(v); }))
            return not_loaded("calibration is not finite on the grid");
        return grid;
    } catch (const std::bad_alloc&) {
        return not_loaded("out of memory");
    }
}

}  // namespace engine::miccal
