#include "shared-ui/markup.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "base/float_text.h"

namespace shared_ui {

std::string num_text(float v) {
    std::string s = base::shortest(v);
    if (s.ends_with(".0")) s.resize(s.size() - 2);
    return s;
}

std::string js_string(std::string_view s) {
    try {
        return nlohmann::json(std::string(s)).dump();
    } catch (const nlohmann::json::exception&) {
        return "\"\"";
    }
}

std::optional<double> parse_decimal(std::string_view text) {
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i - start;
    };
    bool plus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        plus = text[i] == '+';
        ++i;
    }
    std::size_t whole = digits();
    std::size_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        fraction = digits();
    }
    if (whole + fraction == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits() == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    std::string_view number = plus ? text.substr(1) : text;
    double v = 0;
    auto r = std::from_chars(number.data(), number.data() + number.size(), v);
    if (r.ec != std::errc() || r.ptr != number.data() + number.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace shared_ui
