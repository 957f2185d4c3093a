#include "base/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace base {
namespace {

template <class F>
std::string shortest_impl(F v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; they are
    // then laid out without an exponent (1e10 -> "10000000000.0").
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const auto e_pos = sci.find('e');
    int exp = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits += c;
    // value = 0.d1d2d3... x 10^(exp + 1)
    const int point = exp + 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::string shortest(float v) { return shortest_impl(v); }
std::string shortest(double v) { return shortest_impl(v); }

}  // namespace base
